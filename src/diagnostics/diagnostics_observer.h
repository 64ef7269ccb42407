// The server observer that writes exception files and the traffic log.
#ifndef KVX_DIAGNOSTICS_DIAGNOSTICS_OBSERVER_H_
#define KVX_DIAGNOSTICS_DIAGNOSTICS_OBSERVER_H_

#include "diagnostics/exception_files.h"
#include "diagnostics/traffic_log.h"
#include "server/server_observer.h"

namespace kvx {

// Connects the server's hooks to `ServerInterceptLogFile1` and the
// exception files. Thread-safe; both must outlive it.
class DiagnosticsObserver final : public ServerObserver {
 public:
  DiagnosticsObserver(TServerInterceptLogFile& log, ExceptionFiles& files)
      : log_(log), files_(files) {}

  std::unique_ptr<ConnectionTrace> MakeTrace(
      const std::string& peer_id) override;
  // A file that cannot be written is dropped: a diagnostic file never ends
  // the listener or a connection thread.
  void ConnectionException(const std::exception& e) override;
  void ListenException(const std::exception& e) override;

 private:
  TServerInterceptLogFile& log_;
  ExceptionFiles& files_;
};

}  // namespace kvx

#endif  // KVX_DIAGNOSTICS_DIAGNOSTICS_OBSERVER_H_
