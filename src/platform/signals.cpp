// The signal thread: a signalfd for the control signals and an eventfd that
// the destructor uses to wake and end the thread.
#include "platform/signals.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <thread>

#include "platform/error.h"
#include "platform/unique_fd.h"

namespace kvx {
namespace {

sigset_t ControlSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int sig :
       {SIGTERM, SIGINT, SIGTSTP, SIGCONT, SIGUSR1, SIGPWR, SIGHUP}) {
    sigaddset(&set, sig);
  }
  return set;
}

int ControlCodeOf(int sig) {
  switch (sig) {
    case SIGTERM:
    case SIGINT:
      return kControlStop;
    case SIGTSTP:
      return kControlPause;
    case SIGCONT:
      return kControlContinue;
    case SIGUSR1:
      return kControlInterrogate;
    case SIGPWR:
      return kControlShutdown;
    case SIGHUP:
      return kControlReload;
    default:
      return 0;
  }
}

}  // namespace

void BlockControlSignals() {
  const sigset_t set = ControlSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  // A file size limit (RLIMIT_FSIZE) then fails the write with EFBIG, which
  // is reported like any failed write, instead of ending the process.
  std::signal(SIGXFSZ, SIG_IGN);
}

struct SignalThread::Impl {
  explicit Impl(std::function<void(int)> post_in)
      : post(std::move(post_in)),
        signal_fd([] {
          const sigset_t set = ControlSignals();
          return ::signalfd(-1, &set, SFD_CLOEXEC);
        }()),
        stop_fd(::eventfd(0, EFD_CLOEXEC)) {
    if (!signal_fd.valid() || !stop_fd.valid()) throw PosixError({}, errno);
    thread = std::thread([this] { Run(); });
  }

  // Reads signals until the stop event is set. Nothing here runs inside a
  // signal handler: the signals stay blocked and are read as data.
  void Run() {
    pollfd fds[2] = {{signal_fd.get(), POLLIN, 0}, {stop_fd.get(), POLLIN, 0}};
    for (;;) {
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0) return;
      if (fds[0].revents == 0) continue;
      signalfd_siginfo info{};
      const ssize_t n = ::read(signal_fd.get(), &info, sizeof info);
      if (n != static_cast<ssize_t>(sizeof info)) continue;
      const int code = ControlCodeOf(static_cast<int>(info.ssi_signo));
      if (code != 0) post(code);
    }
  }

  void Stop() {
    const std::uint64_t one = 1;
    WriteAll(stop_fd.get(),
             std::string_view(reinterpret_cast<const char*>(&one), sizeof one));
    thread.join();
  }

  std::function<void(int)> post;
  UniqueFd signal_fd;
  UniqueFd stop_fd;
  std::thread thread;
};

SignalThread::SignalThread(std::function<void(int control_code)> post)
    : impl_(std::make_unique<Impl>(std::move(post))) {}

SignalThread::~SignalThread() { impl_->Stop(); }

}  // namespace kvx
