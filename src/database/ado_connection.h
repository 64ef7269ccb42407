// The database link ADO: one ODBC connection to SQL Server, opened by the
// database timer and kept; no statement is ever sent over it.
#ifndef KVX_DATABASE_ADO_CONNECTION_H_
#define KVX_DATABASE_ADO_CONNECTION_H_

#include <memory>
#include <string>
#include <string_view>

#include "core/event_log.h"
#include "core/settings.h"
#include "platform/odbc.h"

namespace kvx {

inline constexpr std::string_view kSettingsIncomplete =
    "Kavero TCPIP database gegevens onvolledig";
inline constexpr std::string_view kSettingsUnwritable =
    "Kavero TCPIP database gegevens bevatten \"};\", dat de ODBC-driver niet "
    "ongeschonden kan doorgeven";
inline constexpr std::string_view kDatabaseConnected =
    "Kavero Zefo database gekoppeld";
inline constexpr std::string_view kDatabaseDisconnected =
    "Kavero Zefo database verbinding verbroken";
inline constexpr int kLoginTimeoutSeconds = 15;

// Owned by the service module and used on the service thread only (no
// lock). `settings` and `events` must outlive it. The module calls Close()
// at process end while its reporter still exists; the destructor ends a
// connection still open without writing anything.
class TADOConnection {
 public:
  TADOConnection(std::unique_ptr<OdbcConnection> connection,
                 const Settings& settings, EventLog& events,
                 std::string driver);
  TADOConnection(const TADOConnection&) = delete;
  TADOConnection& operator=(const TADOConnection&) = delete;
  ~TADOConnection() = default;

  // The driver's own view of the connection; nothing is sent.
  bool IsOpen();
  // Does nothing when open. Otherwise ADOBeforeConnect, the driver's open
  // and ADOAfterConnect; an exception (Abort when the settings are
  // incomplete, KvxError with the driver's message) ends it there and the
  // connection stays closed.
  void Open();
  // When open: disconnects, then ADOAfterDisconnect.
  void Close();

  // The string of the last open attempt (empty before the first).
  const std::string& ConnectionString() const { return FConnectionString; }

  // Checks the four settings (all present, or a warning and Abort) and
  // builds the connection string.
  void ADOBeforeConnect();
  void ADOAfterConnect();
  void ADOAfterDisconnect();

 private:
  std::unique_ptr<OdbcConnection> FConnection;
  const Settings& FSettings;
  EventLog& FEvents;
  std::string FDriver;
  std::string FConnectionString;
};

}  // namespace kvx

#endif  // KVX_DATABASE_ADO_CONNECTION_H_
