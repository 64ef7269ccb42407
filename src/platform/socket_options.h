// Process and socket settings of the connection server that need the
// system's own headers.
#ifndef KVX_PLATFORM_SOCKET_OPTIONS_H_
#define KVX_PLATFORM_SOCKET_OPTIONS_H_

namespace kvx {

// Raises the soft limit of open file descriptors to the hard limit, so that
// many simultaneous connections do not run out of descriptors. Failure is
// ignored: the server then works within the old limit.
void RaiseOpenFileLimit() noexcept;

// Switches TCP keepalive on for a connected socket, with probes after 60 s
// of silence, every 10 s, 5 at most: the connection of a peer that vanished
// ends within about two minutes. Returns the errno value of the first option
// that failed, or 0.
int EnableKeepAlive(int socket_fd) noexcept;

}  // namespace kvx

#endif  // KVX_PLATFORM_SOCKET_OPTIONS_H_
