// Control requests as signals, caught on a dedicated thread.
#ifndef KVX_PLATFORM_SIGNALS_H_
#define KVX_PLATFORM_SIGNALS_H_

#include <functional>
#include <memory>

namespace kvx {

// Control codes of the service host.
enum ControlCode : int {
  kControlStop = 1,
  kControlPause = 2,
  kControlContinue = 3,
  kControlInterrogate = 4,
  kControlShutdown = 5,
  kControlReload = 6,
};

// Blocks SIGTERM, SIGINT, SIGTSTP, SIGCONT, SIGUSR1, SIGPWR and SIGHUP in the
// calling thread (and so in every thread it starts afterwards) and ignores
// SIGPIPE and SIGXFSZ. Call first thing in main.
void BlockControlSignals();

// Waits for the blocked signals on a thread of its own and hands each to
// `post` as a control code: SIGTERM/SIGINT stop, SIGTSTP pause, SIGCONT
// continue, SIGUSR1 interrogate, SIGPWR shutdown, SIGHUP reload. No logic runs
// in a signal handler. The destructor ends and joins the thread. REQUIRES:
// BlockControlSignals() was called before any thread started, so that
// process-directed signals stay pending for this thread to read. `post` runs on
// the signal thread. Throws KvxError when the thread's descriptors cannot be
// made.
class SignalThread {
 public:
  explicit SignalThread(std::function<void(int control_code)> post);
  ~SignalThread();
  SignalThread(const SignalThread&) = delete;
  SignalThread& operator=(const SignalThread&) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kvx

#endif  // KVX_PLATFORM_SIGNALS_H_
