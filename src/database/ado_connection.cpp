#include "database/ado_connection.h"

#include <optional>
#include <utility>

#include "database/connection_string.h"
#include "platform/error.h"

namespace kvx {

TADOConnection::TADOConnection(std::unique_ptr<OdbcConnection> connection,
                               const Settings& settings, EventLog& events,
                               std::string driver)
    : FConnection(std::move(connection)),
      FSettings(settings),
      FEvents(events),
      FDriver(std::move(driver)) {}

bool TADOConnection::IsOpen() { return FConnection->IsConnected(); }

void TADOConnection::Open() {
  if (IsOpen()) return;
  ADOBeforeConnect();
  FConnection->Connect(FConnectionString, kLoginTimeoutSeconds);
  ADOAfterConnect();
}

void TADOConnection::Close() {
  if (!IsOpen()) return;
  FConnection->Disconnect();
  ADOAfterDisconnect();
}

void TADOConnection::ADOBeforeConnect() {
  // All or nothing: a value of blanks counts as present.
  if (FSettings.FSQLServer.empty() || FSettings.FSQLDatabase.empty() ||
      FSettings.FSQLPaswoord.empty() || FSettings.FSQLInlognaam.empty()) {
    FEvents.WriteEventLog(kSettingsIncomplete, EventType::kWarning);
    throw Abort();
  }
  std::optional<std::string> text = BuildConnectionString(FSettings, FDriver);
  if (!text) {
    // Sending it would hand the driver a different value than configured.
    FEvents.WriteEventLog(kSettingsUnwritable, EventType::kWarning);
    throw Abort();
  }
  FConnectionString = std::move(*text);
}

void TADOConnection::ADOAfterConnect() {
  FEvents.WriteEventLog(kDatabaseConnected, EventType::kInformation);
}

void TADOConnection::ADOAfterDisconnect() {
  FEvents.WriteEventLog(kDatabaseDisconnected, EventType::kInformation);
}

}  // namespace kvx
