#include "diagnostics/diagnostics_observer.h"

namespace kvx {

std::unique_ptr<ConnectionTrace> DiagnosticsObserver::MakeTrace(
    const std::string& peer_id) {
  return std::make_unique<TServerInterceptLogFileConnection>(log_, peer_id);
}

void DiagnosticsObserver::ConnectionException(const std::exception& e) {
  try {
    files_.TCPServerException(e);
  } catch (const std::exception&) {
  }
}

void DiagnosticsObserver::ListenException(const std::exception& e) {
  try {
    files_.TCPServerListenException(e);
  } catch (const std::exception&) {
  }
}

}  // namespace kvx
