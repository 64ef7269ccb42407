#include "tls_load.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "core/frame.h"
#include "core/message_texts.h"
#include "platform/error.h"

namespace kvx::bench {
namespace {

using Clock = std::chrono::steady_clock;

struct Outstanding {
  std::string tag;
  Clock::time_point sent;
};

// Holds every connection until all have finished their handshake.
class StartGate {
 public:
  explicit StartGate(int parties) : waiting_(parties) {}
  void ArriveAndWait() {
    std::unique_lock lock(mutex_);
    if (--waiting_ == 0) {
      start_ = Clock::now();
      cv_.notify_all();
    }
    cv_.wait(lock, [this] { return waiting_ <= 0; });
  }
  Clock::time_point start() {
    std::scoped_lock lock(mutex_);
    return start_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int waiting_;
  Clock::time_point start_;
};

class TlsConnection {
 public:
  TlsConnection(int index, const LoadOptions& options)
      : index_(index), options_(options) {}

  void Run(const Target& target, const TlsClientOptions& tls, StartGate& gate) {
    bool ready = false;
    try {
      const auto deadline =
          Clock::now() + std::chrono::seconds(options_.timeout_seconds);
      client_.Connect(target.host, target.port, deadline);
      client_.StartTls(tls, deadline);
      ready = true;
      gate.ArriveAndWait();
      Exchange(deadline);
    } catch (const std::exception& e) {
      if (!ready) gate.ArriveAndWait();
      Fail(e.what());
    }
    end = Clock::now();
  }

  LoadResult result;
  Clock::time_point end;

 private:
  std::string Tag(int seq) const {
    return std::to_string(index_) + "-" + std::to_string(seq);
  }

  void Exchange(Clock::time_point deadline) {
    const std::string want = options_.type == "COM" ? "INF" : "ACK";
    std::string in;
    while (queued_ < options_.frames || !waiting_.empty()) {
      std::string out;
      while (queued_ < options_.frames &&
             static_cast<int>(waiting_.size()) < options_.pipeline) {
        const int seq = queued_++;
        out += BuildFrame(BenchMessage(index_, seq, options_.type));
        waiting_.push_back({Tag(seq), Clock::now()});
      }
      if (!out.empty()) client_.SendAll(out, deadline);
      std::size_t eot;
      while ((eot = in.find(EOT)) == std::string::npos &&
             (in.empty() || in[0] != NAK)) {
        if (client_.ReadSome(in, deadline) != TcpClient::Read::kData) {
          throw KvxError("no reply");
        }
      }
      const std::size_t size = in[0] == NAK ? 1 : eot + 1;  // NAK: no frame
      UnpackedFrame frame =
          UnpackFirstFrame(std::string_view(in).substr(0, size));
      in.erase(0, size);
      Check(want, frame.message);
    }
  }

  void Check(const std::string& want, const std::string& message) {
    const Outstanding front = waiting_.front();
    waiting_.pop_front();
    const std::string type = ExtractMsgType(message);
    const std::string tag = ExtractMsgTag(message);
    if (type != want || tag != front.tag) {
      ++result.errors;
      if (result.first_error.empty()) {
        result.first_error = "connection " + std::to_string(index_) +
                             " wanted " + want + " tag " + front.tag +
                             ", got " + type + " tag " + tag;
      }
      return;
    }
    ++result.replies;
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
        Clock::now() - front.sent);
    result.latencies_us.push_back(static_cast<std::uint32_t>(us.count()));
  }

  void Fail(const std::string& what) {
    if (result.first_error.empty()) {
      result.first_error = "connection " + std::to_string(index_) + ": " + what;
    }
    result.errors += static_cast<std::int64_t>(waiting_.size()) +
                     (options_.frames - queued_);
    waiting_.clear();
  }

  const int index_;
  const LoadOptions& options_;
  TcpClient client_;
  int queued_ = 0;
  std::deque<Outstanding> waiting_;
};

}  // namespace

LoadResult RunTlsLoad(const Target& target, const LoadOptions& options,
                      const TlsClientOptions& tls) {
  std::vector<std::unique_ptr<TlsConnection>> conns;
  for (int i = 0; i < options.connections; ++i) {
    conns.push_back(std::make_unique<TlsConnection>(i, options));
  }
  StartGate gate(options.connections);
  std::vector<std::thread> threads;
  for (auto& c : conns) {
    threads.emplace_back([&, conn = c.get()] { conn->Run(target, tls, gate); });
  }
  for (auto& t : threads) t.join();
  LoadResult total;
  Clock::time_point last = gate.start();
  for (auto& c : conns) {
    total.replies += c->result.replies;
    total.errors += c->result.errors;
    if (total.first_error.empty()) total.first_error = c->result.first_error;
    total.latencies_us.insert(total.latencies_us.end(),
                              c->result.latencies_us.begin(),
                              c->result.latencies_us.end());
    last = std::max(last, c->end);
  }
  total.seconds = std::chrono::duration<double>(last - gate.start()).count();
  return total;
}

}  // namespace kvx::bench
