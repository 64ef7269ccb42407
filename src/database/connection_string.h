// The ODBC connection string of the database link, built from the four
// database settings.
#ifndef KVX_DATABASE_CONNECTION_STRING_H_
#define KVX_DATABASE_CONNECTION_STRING_H_

#include <optional>
#include <string>
#include <string_view>

#include "core/settings.h"

namespace kvx {

// The driver's SERVER value for a Data Source setting: blanks around it
// trimmed, a "tcp:" prefix dropped, "host" sent as "host,1433" and
// "host\instance,port" as "host,port" (a port makes the instance name
// redundant, and asking the server's browser for it only costs time);
// "host\instance" without a port is kept for the driver to resolve.
std::string ServerAddress(std::string_view data_source);

// DRIVER={driver};SERVER={...};DATABASE={...};UID={...};PWD={...}; with
// every value brace-quoted, so no value can end the string early or add an
// attribute. A FreeTDS driver also gets TDS_Version=7.4 (without it a
// server that accepts the connection and never answers hangs the open).
// Returns nothing when a value cannot be written so that the driver reads
// it back intact (see IsFreeTds).
std::optional<std::string> BuildConnectionString(const Settings& settings,
                                                 std::string_view driver);

// Whether `driver` names the FreeTDS driver (its name or its library).
// FreeTDS ends a braced value at the first "}" followed by ";" and does not
// read "}}" as one "}", so its values are braced without doubling and a
// value containing "};" cannot be written at all.
bool IsFreeTds(std::string_view driver);

}  // namespace kvx

#endif  // KVX_DATABASE_CONNECTION_STRING_H_
