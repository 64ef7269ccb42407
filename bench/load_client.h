// The client side of the benchmark: connections that send frames and check
// every reply, and connections that only stay open.
#ifndef KVX_BENCH_LOAD_CLIENT_H_
#define KVX_BENCH_LOAD_CLIENT_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kvx::bench {

struct Target {
  std::string host = "127.0.0.1";
  std::uint16_t port = 9200;
  int source_addresses = 1;  // 127.0.0.1 .. 127.0.0.<n> as local addresses
};

struct LoadOptions {
  int connections = 1;
  int frames = 1000;  // per connection
  int pipeline = 1;   // outstanding frames per connection
  std::string type = "COM";
  int timeout_seconds = 120;
};

struct LoadResult {
  std::int64_t replies = 0;  // correct replies
  std::int64_t errors = 0;   // wrong, missing or refused replies
  double seconds = 0;        // from the first send to the last reply
  std::vector<std::uint32_t> latencies_us;  // one per correct reply
  std::string first_error;
};

// The message text of frame `seq` on connection `connection`: a tag unique
// per frame, the given type, a sender and a receiver.
std::string BenchMessage(int connection, int seq, const std::string& type);

// Opens the connections, sends `frames` frames on each with up to `pipeline`
// outstanding, and checks every reply: the INF type for COM and ACK for any
// other, the tag sent, on the connection that sent it, in order.
LoadResult RunLoad(const Target& target, const LoadOptions& options);

// Connected sockets that send nothing; closed with the object.
class IdleConnections {
 public:
  IdleConnections() = default;
  ~IdleConnections();
  IdleConnections(const IdleConnections&) = delete;
  IdleConnections& operator=(const IdleConnections&) = delete;

  // Opens `count` connections, spreading them over the source addresses,
  // in batches of `batch`; after each batch `settle(opened so far)` may wait
  // for the service to accept them, since the listen backlog is short and a
  // connection it drops costs a one-second SYN retry. Returns the number
  // opened; `error` tells why it stopped short.
  int Open(const Target& target, int count, int batch,
           const std::function<void(int)>& settle, std::string& error);

 private:
  std::vector<int> fds_;
};

// Raises this process's open-file limit to its hard limit.
void RaiseFileLimit();

}  // namespace kvx::bench

#endif  // KVX_BENCH_LOAD_CLIENT_H_
