// The connection server over real loopback sockets.
#include "server/tcp_server.h"

#include <gtest/gtest.h>

#include <asio.hpp>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/event_log.h"
#include "core/frame.h"
#include "core/message_texts.h"
#include "core/settings.h"
#include "fakes/fake_clock.h"
#include "fakes/mem_file_system.h"
#include "fakes/recording_event_sink.h"
#include "fakes/wait_for.h"
#include "observability/metrics.h"
#include "platform/error.h"
#include "server/server_observer.h"
#include "server/server_settings.h"

namespace kvx {
namespace {

using namespace std::chrono_literals;
using tcp = asio::ip::tcp;

constexpr char kDir[] = "/srv/XML";

std::string Message(const std::string& tag, const std::string& type) {
  return "<MSG tag=\"" + tag + "\" type=\"" + type +
         "\"><Verzender>ab</Verzender><Ontvanger>cd</Ontvanger></MSG>";
}

// A blocking client with deadlines on its reads.
class Client {
 public:
  explicit Client(std::uint16_t port) {
    socket_.connect(tcp::endpoint(asio::ip::address_v4::loopback(), port));
  }
  void Send(std::string_view bytes) {
    asio::write(socket_, asio::buffer(bytes));
  }
  // What arrives until `n` bytes are in, the connection ends or the time
  // is up.
  std::string Read(std::size_t n, std::chrono::milliseconds timeout = 10s) {
    std::string data(n, '\0');
    std::size_t got = 0;
    asio::async_read(socket_, asio::buffer(data),
                     [&](const std::error_code& ec, std::size_t size) {
                       got = size;
                       ended_ = ec && ec != asio::error::operation_aborted;
                     });
    Run(timeout);
    data.resize(got);
    return data;
  }
  // True when the server ends the connection within the time.
  bool WaitClosed(std::chrono::milliseconds timeout = 10s) {
    Read(1 << 20, timeout);
    return ended_;
  }
  std::string LocalId() const {
    const auto e = socket_.local_endpoint();
    return e.address().to_string() + ":" + std::to_string(e.port());
  }
  tcp::socket& socket() { return socket_; }

 private:
  void Run(std::chrono::milliseconds timeout) {
    io_.restart();
    if (io_.run_for(timeout) == 0 || !io_.stopped()) {
      std::error_code ignored;
      socket_.cancel(ignored);
      io_.restart();
      io_.run();
    }
  }

  asio::io_context io_;
  tcp::socket socket_{io_};
  bool ended_ = false;
};

// Keeps every trace record as "<peer> <event>[:<bytes>]".
class RecordingObserver final : public ServerObserver {
 public:
  class Trace final : public ConnectionTrace {
   public:
    Trace(RecordingObserver& owner, std::string peer)
        : owner_(owner), peer_(std::move(peer)) {}
    void Connected() override {
      if (owner_.fail_connected) throw KvxError("cannot open traffic log");
      owner_.Add(peer_ + " Connected");
    }
    void Received(std::string_view b) override {
      owner_.Add(peer_ + " Recv:" + std::string(b));
    }
    void Sent(std::string_view b) override {
      if (owner_.fail_sent) throw KvxError("Stream write error: disk full");
      owner_.Add(peer_ + " Sent:" + std::string(b));
    }
    void Disconnected() override { owner_.Add(peer_ + " Disconnected"); }

   private:
    RecordingObserver& owner_;
    std::string peer_;
  };

  std::unique_ptr<ConnectionTrace> MakeTrace(const std::string& peer) override {
    return std::make_unique<Trace>(*this, peer);
  }
  void ConnectionException(const std::exception& e) override {
    Add(std::string("exception ") + e.what());
  }
  void ListenException(const std::exception& e) override {
    Add(std::string("listen ") + e.what());
  }
  void Add(std::string record) {
    std::scoped_lock lock(mutex_);
    records_.push_back(std::move(record));
  }
  std::vector<std::string> Records() const {
    std::scoped_lock lock(mutex_);
    return records_;
  }
  std::atomic<bool> fail_connected{false};
  std::atomic<bool> fail_sent{false};

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> records_;
};

class TCPServerTest : public ::testing::Test {
 protected:
  TCPServerTest() {
    files_.AddDirectory("/srv");
    files_.AddDirectory(kDir);
    server_.SetBinding("127.0.0.1", 0);
    server_.Start();
    port_ = server_.LocalPorts().at(0);
  }

  std::size_t CountEvents(std::string_view prefix) const {
    std::size_t n = 0;
    for (const auto& t : sink_.Texts()) n += t.rfind(prefix, 0) == 0;
    return n;
  }
  std::string Ack(const std::string& tag) const {
    return BuildFrame(AckReply(tag, settings_));
  }

  Settings settings_ = TemplateSettings(kDir);
  RecordingEventSink sink_;
  EventLog events_{sink_};
  MemFileSystem files_;
  FakeClock clock_;
  RecordingObserver observer_;
  Metrics metrics_;
  TCPServer server_{settings_, events_, files_, clock_, observer_, metrics_};
  std::uint16_t port_ = 0;
};

TEST_F(TCPServerTest, AnswersTwoFramesSentTogether) {
  Client client(port_);
  client.Send(BuildFrame(Message("8", "ABC")) +
              BuildFrame(Message("7", "COM")));
  EXPECT_EQ(client.Read(202), Ack("8"));
  EXPECT_EQ(client.Read(262), BuildFrame(InfReply("7", "1.0", "cd", "ab")));
}

TEST_F(TCPServerTest, AnswersAFrameSentInPiecesOnlyOnceComplete) {
  Client client(port_);
  const std::string frame = BuildFrame(Message("8", "ABC"));
  for (char c : frame) client.Send(std::string(1, c));
  EXPECT_EQ(client.Read(202), Ack("8"));
  EXPECT_EQ(client.Read(1, 200ms), "") << "exactly one reply";
}

TEST_F(TCPServerTest, TracesOneExchangeWithThePeerId) {
  const std::string frame = BuildFrame(Message("8", "ABC"));
  std::string id;
  {
    Client client(port_);
    id = client.LocalId();
    client.Send(frame);
    ASSERT_EQ(client.Read(202), Ack("8"));
  }
  ASSERT_TRUE(WaitFor([&] { return observer_.Records().size() >= 4; }));
  std::string received;
  std::vector<std::string> others;
  for (const auto& r : observer_.Records()) {
    if (r.rfind(id + " Recv:", 0) == 0) {
      received += r.substr(id.size() + 6);
    } else {
      others.push_back(r);
    }
  }
  EXPECT_EQ(received, frame);
  EXPECT_EQ(others, (std::vector<std::string>{id + " Connected",
                                              id + " Sent:" + Ack("8"),
                                              id + " Disconnected"}));
}

TEST_F(TCPServerTest, AFailedConnectEndsTheConnectionUnserved) {
  observer_.fail_connected = true;
  Client client(port_);
  client.Send(BuildFrame(Message("8", "ABC")));
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_EQ(observer_.Records(),
            std::vector<std::string>{"exception cannot open traffic log"});
}

TEST_F(TCPServerTest, AnswersAlsoWhenTheTrafficLogCannotBeWritten) {
  observer_.fail_sent = true;
  Client client(port_);
  client.Send(BuildFrame(Message("8", "ABC")) +
              BuildFrame(Message("7", "COM")));
  EXPECT_EQ(client.Read(202), Ack("8"));
  EXPECT_EQ(client.Read(262), BuildFrame(InfReply("7", "1.0", "cd", "ab")));
  // The second failure within the second is held back: one entry.
  EXPECT_EQ(CountEvents("Ontvanger: Stream write error: disk full"), 1u);
}

TEST_F(TCPServerTest, AnswersEachClientOnItsOwnConnection) {
  constexpr int kFrames = 25;
  Client a(port_);
  Client b(port_);
  std::string to_a;
  std::string to_b;
  for (int i = 0; i < kFrames; ++i) {
    to_a += BuildFrame(Message("A" + std::to_string(i), "ABC"));
    to_b += BuildFrame(Message("B" + std::to_string(i), "ABC"));
  }
  std::thread sender([&] { a.Send(to_a); });
  b.Send(to_b);
  sender.join();
  std::string want_a;
  std::string want_b;
  for (int i = 0; i < kFrames; ++i) {
    want_a += Ack("A" + std::to_string(i));
    want_b += Ack("B" + std::to_string(i));
  }
  EXPECT_EQ(a.Read(want_a.size()), want_a);
  EXPECT_EQ(b.Read(want_b.size()), want_b);

  // The raw and decoded files of one frame carry the same number.
  const auto files = files_.Files();
  ASSERT_EQ(files.size(), 2u * 2 * kFrames);
  for (int n = 1; n <= 2 * kFrames; ++n) {
    const std::string suffix = "2505201014030757_" + std::to_string(n);
    const std::string raw =
        files.at(std::string(kDir) + "/TCP_COMx_" + suffix + ".TXT");
    const std::string decoded =
        files.at(std::string(kDir) + "/TCP_DIV_" + suffix + ".XML");
    EXPECT_EQ(UnpackFirstFrame(raw).message + "\r\n", decoded) << n;
  }
}

TEST_F(TCPServerTest, ReportsAResetAndServesOthers) {
  {
    Client gone(port_);
    gone.Send(
        "\x01"
        "108\x02PE1T");
    ASSERT_TRUE(WaitFor([&] { return observer_.Records().size() >= 2; }));
    gone.socket().set_option(asio::socket_base::linger(true, 0));
    gone.socket().close();
  }
  ASSERT_TRUE(WaitFor([&] { return CountEvents("Data ontvanger: ") == 1; }));
  EXPECT_EQ(sink_.Texts().back(),
            "Data ontvanger: Socket Error # 104\r\n" + SystemErrorText(104));
  Client client(port_);
  client.Send(BuildFrame(Message("8", "ABC")));
  EXPECT_EQ(client.Read(202), Ack("8"));
}

TEST_F(TCPServerTest, ClosesAConnectionPastTheBufferLimitOnly) {
  Client flood(port_);
  Client client(port_);
  std::thread sender([&] {
    const std::string chunk(1 << 20, 'x');
    std::error_code ec;
    for (int i = 0; i < 20 && !ec; ++i) {
      asio::write(flood.socket(), asio::buffer(chunk), ec);
    }
  });
  sender.join();  // the socket is not shared between threads
  EXPECT_TRUE(flood.WaitClosed(30s));
  ASSERT_TRUE(WaitFor([&] { return CountEvents("Ontvanger: ") == 1; }));
  const std::string text = sink_.Texts().back();
  EXPECT_EQ(text.rfind("Ontvanger: Ontvangstbuffer van 127.0.0.1:", 0), 0u)
      << text;
  EXPECT_NE(text.find(" groter dan 16777216 bytes"), std::string::npos);
  client.Send(BuildFrame(Message("8", "ABC")));
  EXPECT_EQ(client.Read(202), Ack("8"));
}

TEST_F(TCPServerTest, RetriesAnUnwritableArchiveAboutOnceASecond) {
  files_.FailWritesUnder(kDir);
  const auto start = std::chrono::steady_clock::now();
  Client client(port_);
  client.Send(BuildFrame(Message("8", "ABC")));
  ASSERT_TRUE(WaitFor([&] { return CountEvents("Ontvanger: ") >= 2; }));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, 900ms);
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
  EXPECT_LE(CountEvents("Ontvanger: "), static_cast<std::size_t>(seconds + 2));
  EXPECT_EQ(client.Read(1, 10ms), "") << "no reply while failing";
  files_.ClearFailures();
  EXPECT_EQ(client.Read(202, 5s), Ack("8"));
}

// Every answered frame moves exactly its own reply kind, the byte counters
// match what crossed the socket, and the connection gauge follows the
// connection.
TEST_F(TCPServerTest, CountsRepliesBytesAndConnections) {
  const std::string sent = BuildFrame(Message("8", "ABC")) +
                           BuildFrame(Message("7", "COM")) +
                           BuildFrame("<MSG type=\"ABC\"></MSG>");
  const std::string want = Ack("8") +
                           BuildFrame(InfReply("7", "1.0", "cd", "ab")) +
                           std::string(1, NAK);
  {
    Client client(port_);
    client.Send(sent);
    EXPECT_EQ(client.Read(want.size()), want);
    EXPECT_EQ(metrics_.connections_open.Value(), 1);
  }
  ASSERT_TRUE(WaitFor([&] { return metrics_.connections_open.Value() == 0; }));
  EXPECT_EQ(metrics_.connections_accepted.Value(), 1u);
  EXPECT_EQ(metrics_.replies_ack.Value(), 1u);
  EXPECT_EQ(metrics_.replies_inf.Value(), 1u);
  EXPECT_EQ(metrics_.replies_nak.Value(), 1u);
  EXPECT_EQ(metrics_.bytes_received.Value(), sent.size());
  EXPECT_EQ(metrics_.bytes_sent.Value(), want.size());
  EXPECT_EQ(metrics_.frame_reply_seconds.Read().count, 3u);
  EXPECT_EQ(metrics_.archive_write_seconds.Read().count, 3u);
  EXPECT_EQ(metrics_.archive_queue.Value(), 0);
  // Archiving is on: raw and decoded files for the two tagged frames and
  // the untagged ABC frame alike.
  EXPECT_EQ(metrics_.archive_files_written.Value(), 6u);
  EXPECT_EQ(metrics_.archive_failures.Value(), 0u);
}

// A failing archive shows as a failed last write and a step waiting for its
// retry; both clear with the first good write.
TEST_F(TCPServerTest, CountsAFailingArchiveUntilItRecovers) {
  files_.FailWritesUnder(kDir);
  Client client(port_);
  client.Send(BuildFrame(Message("8", "ABC")));
  ASSERT_TRUE(WaitFor([&] { return metrics_.archive_failures.Value() >= 1; }));
  ASSERT_TRUE(
      WaitFor([&] { return metrics_.steps_waiting_retry.Value() == 1; }));
  EXPECT_EQ(metrics_.archive_last_write_ok.Value(), 0);
  EXPECT_EQ(metrics_.archive_files_written.Value(), 0u);
  files_.ClearFailures();
  EXPECT_EQ(client.Read(202, 5s), Ack("8"));
  ASSERT_TRUE(
      WaitFor([&] { return metrics_.steps_waiting_retry.Value() == 0; }));
  EXPECT_EQ(metrics_.archive_last_write_ok.Value(), 1);
  EXPECT_EQ(metrics_.replies_ack.Value(), 1u);
}

// The entry names the real cause; an address in use keeps its own text.
TEST_F(TCPServerTest, RefusesABindingWithItsCause) {
  const std::string in_use =
      "Could not bind socket. Address and port are already in use.";
  const std::string where = " poort " + std::to_string(port_) + ": ";
  const struct {
    std::string address;
    std::string want;
  } kCases[] = {
      {"127.0.0.1", in_use},
      {"not an address", "Kan de TCP server niet starten op not an address" +
                             where + "geen IPv4-adres"},
      {"::1",
       "Kan de TCP server niet starten op ::1" + where + "geen IPv4-adres"},
      {"999.1.1.1", "Kan de TCP server niet starten op 999.1.1.1" + where +
                        "geen IPv4-adres"},
      // Not an address of this host.
      {"192.0.2.1", "Kan de TCP server niet starten op 192.0.2.1" + where +
                        SystemErrorText(EADDRNOTAVAIL)},
  };
  for (const auto& c : kCases) {
    TCPServer other(settings_, events_, files_, clock_, observer_, metrics_);
    other.SetBinding(c.address, port_);
    try {
      other.Start();
      ADD_FAILURE() << c.address;
    } catch (const KvxError& e) {
      EXPECT_EQ(e.what(), c.want) << c.address;
    }
    EXPECT_FALSE(other.Active()) << c.address;
  }
}

TEST_F(TCPServerTest, StartsStopsAndStartsAgain) {
  EXPECT_TRUE(server_.Active());
  server_.Start();  // no-op while active
  EXPECT_EQ(server_.LocalPorts(), std::vector<std::uint16_t>{port_});
  Client idle(port_);
  server_.Stop();
  server_.Stop();
  EXPECT_FALSE(server_.Active());
  EXPECT_TRUE(idle.WaitClosed());

  // Without a binding nothing listens: no port the system picks.
  TCPServer unbound(settings_, events_, files_, clock_, observer_, metrics_);
  unbound.Start();
  EXPECT_FALSE(unbound.Active());
  EXPECT_TRUE(unbound.LocalPorts().empty());

  server_.Start();
  Client again(server_.LocalPorts().at(0));
  again.Send(BuildFrame(Message("9", "ABC")));
  EXPECT_EQ(again.Read(202), Ack("9"));
}

}  // namespace
}  // namespace kvx
