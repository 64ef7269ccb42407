#include "platform/odbc.h"

#include <sql.h>
#include <sqlext.h>

#include <cstdlib>
#include <vector>

#include "core/codepage.h"
#include "platform/error.h"

namespace kvx {
namespace {

static_assert(sizeof(SQLWCHAR) == 2, "the driver manager must use UTF-16");

bool Succeeded(SQLRETURN rc) {
  return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

// Owns one ODBC handle.
class OdbcHandle {
 public:
  OdbcHandle() = default;
  OdbcHandle(SQLSMALLINT type, SQLHANDLE handle)
      : type_(type), handle_(handle) {}
  OdbcHandle(const OdbcHandle&) = delete;
  OdbcHandle& operator=(const OdbcHandle&) = delete;
  ~OdbcHandle() { Reset(); }

  SQLHANDLE get() const { return handle_; }
  SQLSMALLINT type() const { return type_; }
  explicit operator bool() const { return handle_ != SQL_NULL_HANDLE; }
  void Reset() {
    if (handle_ != SQL_NULL_HANDLE) SQLFreeHandle(type_, handle_);
    handle_ = SQL_NULL_HANDLE;
  }
  void Assign(SQLSMALLINT type, SQLHANDLE handle) {
    Reset();
    type_ = type;
    handle_ = handle;
  }

 private:
  SQLSMALLINT type_ = SQL_HANDLE_ENV;
  SQLHANDLE handle_ = SQL_NULL_HANDLE;
};

std::vector<SQLWCHAR> ToUtf16(std::string_view text) {
  std::vector<SQLWCHAR> units;
  units.reserve(text.size() + 1);
  // Every Windows-1252 character lies in the Basic Multilingual Plane.
  for (unsigned char c : text) {
    units.push_back(static_cast<SQLWCHAR>(Cp1252ToCodePoint(c)));
  }
  units.push_back(0);
  return units;
}

std::string FromUtf16(const SQLWCHAR* units, std::size_t count) {
  std::string bytes;
  bytes.reserve(count * 2);
  for (std::size_t i = 0; i < count; ++i) {
    bytes += static_cast<char>(units[i] & 0xFF);
    bytes += static_cast<char>(units[i] >> 8);
  }
  return Utf16ToCp1252(bytes, false);
}

// The message of the first diagnostic record of `handle`, or `fallback`.
std::string DiagnosticText(const OdbcHandle& handle,
                           std::string_view fallback) {
  SQLWCHAR state[6];
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  std::vector<SQLWCHAR> message(512);
  SQLRETURN rc = SQLGetDiagRecW(
      handle.type(), handle.get(), 1, state, &native, message.data(),
      static_cast<SQLSMALLINT>(message.size()), &length);
  if (Succeeded(rc) && static_cast<std::size_t>(length) >= message.size()) {
    message.resize(static_cast<std::size_t>(length) + 1);
    rc = SQLGetDiagRecW(handle.type(), handle.get(), 1, state, &native,
                        message.data(),
                        static_cast<SQLSMALLINT>(message.size()), &length);
  }
  if (!Succeeded(rc) || length <= 0) return std::string(fallback);
  return FromUtf16(message.data(), static_cast<std::size_t>(length));
}

class UnixOdbcConnection final : public OdbcConnection {
 public:
  ~UnixOdbcConnection() override { Disconnect(); }

  void Connect(std::string_view connection_string,
               int login_timeout_s) override {
    Disconnect();
    if (!env_) AllocateEnvironment();
    SQLHANDLE dbc = SQL_NULL_HANDLE;
    if (!Succeeded(SQLAllocHandle(SQL_HANDLE_DBC, env_.get(), &dbc))) {
      throw KvxError(
          DiagnosticText(env_, "Cannot allocate an ODBC connection"));
    }
    dbc_.Assign(SQL_HANDLE_DBC, dbc);
    SQLSetConnectAttrW(
        dbc, SQL_ATTR_LOGIN_TIMEOUT,
        reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(login_timeout_s)),
        SQL_IS_UINTEGER);
    std::vector<SQLWCHAR> text = ToUtf16(connection_string);
    SQLSMALLINT out_length = 0;
    const SQLRETURN rc =
        SQLDriverConnectW(dbc, nullptr, text.data(), SQL_NTS, nullptr, 0,
                          &out_length, SQL_DRIVER_NOPROMPT);
    if (!Succeeded(rc)) {
      std::string message = DiagnosticText(dbc_, "Cannot connect");
      dbc_.Reset();
      throw KvxError(message);
    }
    connected_ = true;
  }

  bool IsConnected() override {
    if (!connected_) return false;
    SQLUINTEGER dead = SQL_CD_FALSE;
    const SQLRETURN rc = SQLGetConnectAttrW(
        dbc_.get(), SQL_ATTR_CONNECTION_DEAD, &dead, SQL_IS_UINTEGER, nullptr);
    return !(Succeeded(rc) && dead == SQL_CD_TRUE);
  }

  void Disconnect() noexcept override {
    if (connected_) SQLDisconnect(dbc_.get());
    connected_ = false;
    dbc_.Reset();
  }

 private:
  void AllocateEnvironment() {
    SQLHANDLE env = SQL_NULL_HANDLE;
    if (!Succeeded(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) {
      throw KvxError("Cannot allocate an ODBC environment");
    }
    env_.Assign(SQL_HANDLE_ENV, env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION,
                  reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  }

  OdbcHandle env_;
  OdbcHandle dbc_;  // held while connected, or during a connect
  bool connected_ = false;
};

}  // namespace

std::unique_ptr<OdbcConnection> MakeOdbcConnection() {
  return std::make_unique<UnixOdbcConnection>();
}

std::unique_ptr<OdbcConnection> UnixOdbcConnectionFactory::NewConnection() {
  return MakeOdbcConnection();
}

std::string OdbcDriverName() {
  const char* name = std::getenv("KVX_ODBC_DRIVER");
  return name != nullptr && *name != '\0' ? std::string(name) : "FreeTDS";
}

}  // namespace kvx
