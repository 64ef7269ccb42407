// The connection server: listens on one binding, serves every connection.
#ifndef KVX_SERVER_TCP_SERVER_H_
#define KVX_SERVER_TCP_SERVER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "server/listener_guards.h"

namespace kvx {

class Clock;
class EventLog;
class FileSystem;
class ServerObserver;
class WorkerProgress;
struct Metrics;
struct Settings;

inline constexpr char kBindFailureText[] =
    "Could not bind socket. Address and port are already in use.";

// The TCP front of the service. Each connection has its own receive buffer
// and is answered on itself; connections share only the archive counter.
// Start, Stop and Active are called from the service thread (any one thread
// at a time); they must not be called from an observer hook. The
// constructor's arguments must outlive the server; `metrics` is counted by
// every connection.
class TCPServer {
 public:
  TCPServer(const Settings& settings, EventLog& events, FileSystem& files,
            Clock& clock, ServerObserver& observer, Metrics& metrics);
  TCPServer(const TCPServer&) = delete;
  TCPServer& operator=(const TCPServer&) = delete;
  // Stops the server.
  ~TCPServer();

  // The one binding: a dotted IPv4 address (empty: every IPv4 address) and
  // a port (0: the system picks one). Takes effect at the next Start.
  void SetBinding(std::string address, std::uint16_t port);

  // The allow-list, the connection limits, the receive timeout and TLS of
  // the listener. Takes effect at the next Start; none until set.
  void SetGuards(ListenerGuards guards);

  // Does nothing while active or without a binding. Otherwise binds,
  // listens (backlog SOMAXCONN) and accepts; the receive buffers of all its
  // connections together are bounded by MaxReceiveBufferMB. Throws
  // KvxError(kBindFailureText) when the address and port are in use, and
  // KvxError("Kan de TCP server niet starten op <address> poort <port>:
  // <cause>") for any other failure, an address text that is not an IPv4
  // address included; the server stays inactive.
  void Start();

  // True while listening.
  bool Active() const;

  // Closes the listeners and every connection and waits until they are gone.
  // Idempotent.
  void Stop();

  // The ports listened on (one per listener); empty while inactive.
  std::vector<std::uint16_t> LocalPorts() const;

  // The progress marks of the archive thread; thread-safe, lives as long as
  // the server.
  const WorkerProgress& ArchiveProgress() const;
  // The number the next archive file carries. Thread-safe.
  int FileCounter();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kvx

#endif  // KVX_SERVER_TCP_SERVER_H_
