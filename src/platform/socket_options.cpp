#include "platform/socket_options.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <cerrno>

namespace kvx {

void RaiseOpenFileLimit() noexcept {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  if (limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

int EnableKeepAlive(int socket_fd) noexcept {
  constexpr int kIdleSeconds = 60;
  constexpr int kIntervalSeconds = 10;
  constexpr int kProbes = 5;
  const int on = 1;
  struct Option {
    int level;
    int name;
    const int* value;
  };
  const Option options[] = {{SOL_SOCKET, SO_KEEPALIVE, &on},
                            {IPPROTO_TCP, TCP_KEEPIDLE, &kIdleSeconds},
                            {IPPROTO_TCP, TCP_KEEPINTVL, &kIntervalSeconds},
                            {IPPROTO_TCP, TCP_KEEPCNT, &kProbes}};
  for (const auto& o : options) {
    if (setsockopt(socket_fd, o.level, o.name, o.value, sizeof(int)) != 0) {
      return errno;
    }
  }
  return 0;
}

}  // namespace kvx
