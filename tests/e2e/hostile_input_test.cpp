// Hostile clients against the running program: stray frame ends, pipelined
// and huge frames, a client that never reads, a trickling client and a
// half-closed one while the archive fails, and configurations that must not
// open a listener nobody asked for. What a client sends must cost the
// gateway work and memory in proportion, never more.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "core/frame.h"
#include "core/message_texts.h"
#include "e2e/exchange.h"
#include "e2e/harness.h"
#include "e2e/operator_texts.h"

namespace kvx::e2e {
namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

const std::string kEot(1, '\x04');

// Growth of the resident memory allowed while a client does not read: the
// 1 MiB reply queue, a read or two and the allocator's own slack.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long kRssSlackKiB = 24 * 1024;
#else
constexpr long kRssSlackKiB = 4 * 1024;
#endif

std::size_t CountFiles(const std::string& dir, const std::string& prefix) {
  std::size_t n = 0;
  for (const auto& name : FileNames(dir)) n += name.rfind(prefix, 0) == 0;
  return n;
}

std::size_t BytesOfFiles(const std::string& dir, const std::string& prefix) {
  std::size_t n = 0;
  for (const auto& name : FileNames(dir)) {
    if (name.rfind(prefix, 0) == 0) n += fs::file_size(dir + name);
  }
  return n;
}

// The bytes of the entry texts written since the latest start.
std::size_t EntryBytes(ServiceProcess& service) {
  std::size_t n = 0;
  for (const auto& e : service.EventsSinceStart()) n += e.text.size();
  return n;
}

std::size_t CountTexts(ServiceProcess& service, const std::string& prefix) {
  std::size_t n = 0;
  for (const auto& e : service.EventsSinceStart()) {
    n += e.text.rfind(prefix, 0) == 0;
  }
  return n;
}

// Resident memory of a process in KiB, from /proc.
long RssKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// The local ports of every listening TCP socket (IPv4 and IPv6) of this
// network namespace.
std::set<unsigned> ListeningPorts() {
  std::set<unsigned> ports;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // the header
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      if (state != "0A") continue;  // LISTEN
      ports.insert(std::stoul(local.substr(local.rfind(':') + 1), nullptr, 16));
    }
  }
  return ports;
}

// Three stray EOTs before one COM frame: one INF, one archive pair, and the
// stray bytes archived with the frame.
TEST(HostileInputTest, StrayEotsBeforeAFrameGetOneReplyAndOneArchivePair) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  const std::uint16_t port = service.StartListening();
  ASSERT_NE(port, 0);
  TcpClient client(port);
  ASSERT_TRUE(client.Send(kEot + kEot + kEot + kComFrame));
  EXPECT_EQ(client.ReadExactly(kInfFrame.size()), kInfFrame);
  EXPECT_EQ(client.ReadExactly(1, milliseconds(500)), "") << "one reply only";
  const std::string xml = service.dir() + "KvxTCPIP/XML/";
  EXPECT_EQ(CountFiles(xml, "TCP_COMx_"), 1u);
  EXPECT_EQ(CountFiles(xml, "TCP_COM_"), 1u);
  EXPECT_EQ(BytesOfFiles(xml, "TCP_COMx_"), 3 + kComFrame.size() + 2);
  EXPECT_TRUE(service.Stop());
}

// 16 KiB of EOTs, a SOH and a frame: the EOTs and the SOH before the frame
// make at most one refused frame, answered at once.
TEST(HostileInputTest, AFloodOfEotsCostsAtMostOneStep) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  const std::uint16_t port = service.StartListening();
  ASSERT_NE(port, 0);
  TcpClient client(port);
  const auto start = SteadyClock::now();
  ASSERT_TRUE(client.Send(std::string(16384, '\x04') + "\x01" + kComFrame));
  // The SOH and the frame behind it run to the frame's EOT: one frame.
  const auto reply = ReadReply(client, milliseconds(3000));
  ASSERT_TRUE(reply);
  EXPECT_LT(SteadyClock::now() - start, std::chrono::seconds(3));
  EXPECT_FALSE(ReadReply(client, milliseconds(500))) << "at most two replies";
  EXPECT_LE(CountFiles(service.dir() + "KvxTCPIP/XML/", "TCP_COMx_"), 2u);
  EXPECT_TRUE(service.Stop());
}

// 1 MB of pipelined frames: every frame answered, and the raw archive about
// as large as what was sent.
TEST(HostileInputTest, PipelinedFramesAreArchivedOnce) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  const std::uint16_t port = service.StartListening();
  ASSERT_NE(port, 0);
  const std::string frame = Frame(Message("5", "ABC"));
  const std::size_t n = 1000000 / frame.size();
  std::string all;
  for (std::size_t i = 0; i < n; ++i) all += frame;
  TcpClient client(port);
  std::thread sender([&] { client.Send(all); });
  std::size_t replies = 0;
  while (replies < n && ReadReply(client)) ++replies;
  sender.join();
  EXPECT_EQ(replies, n);
  const std::size_t raw =
      BytesOfFiles(service.dir() + "KvxTCPIP/XML/", "TCP_COMx_");
  // Each raw file is one frame and a line end; a file that shares its
  // stamp and number with another is not counted twice.
  EXPECT_LE(raw, all.size() + 2 * n);
  EXPECT_TRUE(service.Stop());
}

// A client that sends 10,000 frames and reads nothing: the gateway stops
// reading once 1 MiB of replies waits, so its memory stays flat; every reply
// arrives once the client reads.
// Shrinks the kernel's TCP buffers of the test's private network namespace
// for its lifetime, so that replies a client does not read pile up in the
// gateway rather than in the kernel; restores them after.
class SmallTcpBuffers {
 public:
  SmallTcpBuffers() {
    for (const char* name : {"tcp_wmem", "tcp_rmem"}) {
      const std::string path = std::string("/proc/sys/net/ipv4/") + name;
      saved_.emplace_back(path, ReadWholeFile(path));
      std::ofstream(path) << "4096 16384 65536\n";
    }
  }
  ~SmallTcpBuffers() {
    for (const auto& [path, text] : saved_) std::ofstream(path) << text;
  }
  SmallTcpBuffers(const SmallTcpBuffers&) = delete;
  SmallTcpBuffers& operator=(const SmallTcpBuffers&) = delete;

 private:
  std::vector<std::pair<std::string, std::string>> saved_;
};

// A client that sends and never reads: with unbounded replies the gateway
// would hold all 2,000 replies (about 11 MiB), here at most the 1 MiB queue;
// every reply still arrives once the client reads.
TEST(HostileInputTest, AClientThatNeverReadsIsHeldByFlowControl) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  const SmallTcpBuffers small_buffers;
  ServiceProcess service;
  const std::uint16_t port = FreeTcpPort();
  service.WriteFile("KvxTCPConfig.xml",
                    ConfigWith(service.dir(), {{"Port", std::to_string(port)},
                                               {"OutputToFile", "False"}}));
  // A small quarantine keeps the address sanitizer's own memory flat.
  const char* asan = std::getenv("ASAN_OPTIONS");
  service.Start({}, {{"ASAN_OPTIONS", std::string(asan ? asan : "") +
                                          ":quarantine_size_mb=4"}});
  ASSERT_TRUE(service.WaitForEvent(ListenerStartedText("127.0.0.1", port)));
  TcpClient client(port);
  ASSERT_TRUE(client.connected());
  const long rss_start = RssKiB(service.pid());
  // Large replies: the INF envelope carries the message's receiver.
  const std::string receiver(4096, 'r');
  const std::string frame = Frame(R"(<MSG tag="1" type="COM"><Ontvanger>)" +
                                  receiver + "</Ontvanger></MSG>");
  const std::string reply = BuildFrame(InfReply("1", "1.0", receiver, ""));
  constexpr int kFrames = 2000;
  std::string all;
  for (int i = 0; i < kFrames; ++i) all += frame;
  std::thread sender([&] { client.Send(all); });
  std::this_thread::sleep_for(milliseconds(1500));
  const long rss_paused = RssKiB(service.pid());
  std::this_thread::sleep_for(milliseconds(1500));
  const long rss_later = RssKiB(service.pid());
  EXPECT_LT(rss_later - rss_start, kRssSlackKiB)
      << "RSS " << rss_start << " KiB at the start, " << rss_later
      << " KiB while the client does not read";
  EXPECT_LT(rss_later - rss_paused, kRssSlackKiB) << "flat while paused";
  int replies = 0;
  while (replies < kFrames && client.ReadExactly(reply.size()) == reply) {
    ++replies;
  }
  sender.join();
  EXPECT_EQ(replies, kFrames);
  EXPECT_TRUE(service.Stop());
}

// A 4 MiB COM frame: archived whole, but its entries hold only the first
// 64 KiB of the message and its length.
TEST(HostileInputTest, AHugeFrameIsCutInTheEventLogOnly) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  const std::uint16_t port = service.StartListening();
  ASSERT_NE(port, 0);
  const std::size_t log_before = EntryBytes(service);
  std::string message = R"(<MSG tag="9" type="COM"><Verzender>ab</Verzender>)";
  message += std::string(4 * 1024 * 1024, 'x');
  message += "</MSG>";
  TcpClient client(port);
  ASSERT_TRUE(client.Send(Frame(message)));
  const auto reply = ReadReply(client);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->Type(), "INF");
  const auto entry = service.WaitForEventMatching(
      [](const JsonEvent& e) { return e.text.rfind(kReceived, 0) == 0; });
  ASSERT_TRUE(entry);
  EXPECT_NE(entry->text.find(" ... (ingekort; volledige lengte " +
                             std::to_string(message.size()) + " bytes)"),
            std::string::npos);
  EXPECT_LT(EntryBytes(service) - log_before, 1024 * 1024u);
  EXPECT_GE(BytesOfFiles(service.dir() + "KvxTCPIP/XML/", "TCP_COM_"),
            message.size());
  EXPECT_TRUE(service.Stop());
}

// With the archive directory gone, a client trickling a byte every 10 ms
// behind its stuck frame gets about one retry and one entry a second.
TEST(HostileInputTest, ATricklingClientGetsOneRetryASecond) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  const std::uint16_t port = service.StartListening();
  ASSERT_NE(port, 0);
  fs::remove_all(service.dir() + "KvxTCPIP/XML");
  TcpClient client(port);
  ASSERT_TRUE(client.Send(kComFrame));
  const auto start = SteadyClock::now();
  while (SteadyClock::now() - start < std::chrono::seconds(3)) {
    client.Send(" ");
    std::this_thread::sleep_for(milliseconds(10));
  }
  const std::size_t errors = CountTexts(service, "Ontvanger: ");
  EXPECT_GE(errors, 1u);
  EXPECT_LE(errors, 5u) << "about one a second over three seconds";
  EXPECT_TRUE(service.Stop());
}

// A client that sends a frame and shuts down its sending side while the
// archive fails: the frame waits for its retry and the reply arrives once
// the directory is back.
TEST(HostileInputTest, AHalfClosedClientStillGetsItsReply) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  const std::uint16_t port = service.StartListening();
  ASSERT_NE(port, 0);
  const std::string xml = service.dir() + "KvxTCPIP/XML";
  fs::remove_all(xml);
  TcpClient client(port);
  ASSERT_TRUE(client.Send(kComFrame));
  ASSERT_TRUE(client.ShutdownSending());
  EXPECT_EQ(client.ReadExactly(1, milliseconds(1500)), "");
  fs::create_directory(xml);
  EXPECT_EQ(client.ReadExactly(kInfFrame.size()), kInfFrame);
  EXPECT_TRUE(client.WaitForClose()) << "and then the connection ends";
  EXPECT_TRUE(service.Stop());
}

// Configurations that ask for no listener, or for one that cannot be made:
// the right entry, and no socket listening anywhere, also after the
// watchdog (every 200 ms here) has had its chance.
TEST(HostileInputTest, OnlyTheConfiguredListenerEverListens) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  const struct {
    const char* port;  // nullptr: no Port element
    const char* binding;
    std::string entry;
    int type;
  } kCases[] = {
      {"0", "127.0.0.1",
       "Poort 0 ligt buiten 1..65535; Kavero TCP/IP server luistert niet", 1},
      {"-5", "127.0.0.1",
       "Poort -5 ligt buiten 1..65535; Kavero TCP/IP server luistert niet", 1},
      {"65536", "127.0.0.1",
       "Poort 65536 ligt buiten 1..65535; Kavero TCP/IP server luistert niet",
       1},
      {nullptr, "127.0.0.1",
       "Geen TCP poort ingesteld; Kavero TCP/IP server luistert niet", 2},
      {"9200", "999.1.1.1",
       "Kan de TCP server niet starten op 999.1.1.1 poort 9200: geen "
       "IPv4-adres",
       4},
      {"9200", "localhost",
       "Kan de TCP server niet starten op localhost poort 9200: geen "
       "IPv4-adres",
       4},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.port ? c.port : "no Port");
    const std::set<unsigned> before = ListeningPorts();
    ServiceProcess service;
    std::string config = ConfigWith(
        service.dir(), {{"HTTPTimer", "200"}, {"Binding", c.binding}});
    const std::size_t at = config.find("<Port>");
    const std::size_t end = config.find("</Port>");
    config.replace(at, end + 7 - at,
                   c.port ? "<Port>" + std::string(c.port) + "</Port>" : "");
    service.WriteFile("KvxTCPConfig.xml", config);
    service.Start();
    const auto entry = service.WaitForEvent(c.entry);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->type, c.type);
    std::this_thread::sleep_for(milliseconds(700));
    EXPECT_EQ(ListeningPorts(), before) << c.entry;
    EXPECT_TRUE(service.Stop());
  }
}

// An empty OutputDirectory archives into the working tree, with a warning;
// a relative one is taken from the program directory.
TEST(HostileInputTest, OutputDirectoryEmptyOrRelative) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  const struct {
    const char* setting;
    const char* archive;  // relative to the program directory
    bool warning;
  } kCases[] = {{"", "KvxTCPIP/XML/", true}, {"archief", "archief/", false}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.setting);
    ServiceProcess service;
    fs::create_directories(service.dir() + c.archive);
    const std::uint16_t port =
        service.StartListening({{"OutputDirectory", c.setting}});
    ASSERT_NE(port, 0);
    TcpClient client(port);
    ASSERT_TRUE(client.Send(kComFrame));
    EXPECT_EQ(client.ReadExactly(kInfFrame.size()), kInfFrame);
    EXPECT_EQ(CountFiles(service.dir() + c.archive, "TCP_COMx_"), 1u);
    EXPECT_EQ(CountTexts(service,
                         "OutputDirectory is leeg; berichten worden "
                         "gearchiveerd in " +
                             service.dir() + "KvxTCPIP/XML"),
              c.warning ? 1u : 0u);
    EXPECT_TRUE(service.Stop());
  }
}

// A client that connects the moment the listener opens: its records go to
// the traffic log of the working tree, never to one beside the program.
TEST(HostileInputTest, AnEagerClientIsTracedInTheWorkingTree) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  const std::uint16_t port = FreeTcpPort();
  service.WriteFile(
      "KvxTCPConfig.xml",
      ConfigWith(service.dir(), {{"Port", std::to_string(port)}}));
  service.Start();
  TcpClient client(port);
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.Send(kComFrame));
  EXPECT_EQ(client.ReadExactly(kInfFrame.size()), kInfFrame);
  client.Close();
  EXPECT_TRUE(service.Stop());
  EXPECT_FALSE(fs::exists(service.program() + ".log"));
  EXPECT_EQ(CountFiles(service.dir() + "KvxTCPIP/Logs/", "TCP_IC"), 1u);
}

// An event log that is a FIFO nobody reads: the start does not wait for a
// reader, and the service starts and stops as usual.
TEST(HostileInputTest, AFifoEventLogNeitherHangsTheStartNorTheStop) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  const std::string fifo = service.dir() + "events.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::uint16_t port = FreeTcpPort();
  service.WriteFile(
      "KvxTCPConfig.xml",
      ConfigWith(service.dir(), {{"Port", std::to_string(port)}}));
  service.Start({}, {{"KVX_EVENT_LOG", fifo}});
  TcpClient client(port);
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.Send(kComFrame));
  EXPECT_EQ(client.ReadExactly(kInfFrame.size()), kInfFrame);
  EXPECT_TRUE(service.Stop());
}

}  // namespace
}  // namespace kvx::e2e
