// The database driver connection: a narrow interface over ODBC, so that the
// database link can be tested with a fake.
#ifndef KVX_PLATFORM_ODBC_H_
#define KVX_PLATFORM_ODBC_H_

#include <memory>
#include <string>
#include <string_view>

namespace kvx {

// One connection through the ODBC driver manager. Not thread-safe: used on
// the service thread only.
class OdbcConnection {
 public:
  virtual ~OdbcConnection() = default;
  // Connects synchronously with `connection_string` (a text, handed to the
  // driver as UTF-16), giving the login at most `login_timeout_s` seconds.
  // A connection still held (one the driver reported dead) is released
  // first. On failure throws KvxError with the text of the driver's first
  // diagnostic record and holds no connection.
  virtual void Connect(std::string_view connection_string,
                       int login_timeout_s) = 0;
  // True while connected and the driver does not report the connection
  // dead; sends nothing to the server.
  virtual bool IsConnected() = 0;
  // Ends the connection, if any. Never throws.
  virtual void Disconnect() noexcept = 0;
};

// The real connection through unixODBC.
std::unique_ptr<OdbcConnection> MakeOdbcConnection();

// Makes the driver connections of the database link, so that the service
// module can be given fake ones. Used on the service thread only.
class OdbcConnectionFactory {
 public:
  virtual ~OdbcConnectionFactory() = default;
  virtual std::unique_ptr<OdbcConnection> NewConnection() = 0;
};

// Makes real connections (MakeOdbcConnection).
class UnixOdbcConnectionFactory final : public OdbcConnectionFactory {
 public:
  std::unique_ptr<OdbcConnection> NewConnection() override;
};

// The driver named by the environment variable KVX_ODBC_DRIVER, or
// "FreeTDS" when it is unset or empty.
std::string OdbcDriverName();

}  // namespace kvx

#endif  // KVX_PLATFORM_ODBC_H_
