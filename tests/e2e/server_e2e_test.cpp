// The message server of the running program: the configured binding, the
// exchanges over loopback, the archive files and the event-log entries.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>

#include "e2e/exchange.h"
#include "e2e/harness.h"
#include "e2e/operator_texts.h"
#include "e2e/traffic_records.h"

namespace kvx::e2e {
namespace {

namespace fs = std::filesystem;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::StartsWith;

const std::string kNakReply(1, kNak);

const std::string kAbcMessage = Message("8", "ABC");
const std::string kAbcFrame = Frame(kAbcMessage);
// The ACK answer: tag 8 and the service's own identifiers.
const std::string kAckFrame = Frame(AckMessage("8"));

// The archive names, stamp and counter, e.g. TCP_COMx_2505201014030757_1.TXT.
const std::regex kArchiveName(
    R"((TCP_COMx_|TCP_COM_|TCP_DIV_)(\d{16,18})_(\d+)\.(TXT|XML))");

// Each archive name as "<prefix><counter>.<extension>" (the stamp checked
// and left out), so a whole directory compares as one list.
std::vector<std::string> ArchiveKinds(const std::string& dir) {
  std::vector<std::string> kinds;
  for (const auto& name : FileNames(dir)) {
    std::smatch m;
    if (!std::regex_match(name, m, kArchiveName) || !IsFileStamp(m[2])) {
      ADD_FAILURE() << "not an archive name: " << name;
      continue;
    }
    kinds.push_back(m[1].str() + m[3].str() + "." + m[4].str());
  }
  std::sort(kinds.begin(), kinds.end());
  return kinds;
}

// The content of the one file in `dir` whose name fits `pattern`.
std::string OnlyFileMatching(const std::string& dir,
                             const std::string& pattern) {
  const std::regex re(pattern);
  std::vector<std::string> found;
  for (const auto& name : FileNames(dir)) {
    if (std::regex_match(name, re)) found.push_back(name);
  }
  if (found.size() != 1) {
    ADD_FAILURE() << found.size() << " files fit " << pattern;
    return "";
  }
  return ReadWholeFile(dir + "/" + found[0]);
}

std::vector<std::string> ReceivedEntries(const ServiceProcess& service) {
  std::vector<std::string> texts;
  for (const auto& e : service.EventsSinceStart()) {
    if (e.text.rfind(kReceived, 0) == 0) {
      EXPECT_EQ(e.type, 4) << e.text;
      texts.push_back(e.text);
    }
  }
  return texts;
}

TEST(ServerE2eTest, AnswersBothWorkedExchangesByteExactAndArchivesThem) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ASSERT_EQ(Frame(kComMessage), kComFrame);
  ASSERT_EQ(kComFrame.size(), 114u);
  ASSERT_EQ(kInfFrame.size(), 262u);
  ASSERT_EQ(kAckFrame.size(), 202u);
  ServiceProcess service;
  const std::uint16_t port = service.StartListening();
  ASSERT_NE(port, 0);
  const std::string xml = service.dir() + "KvxTCPIP/XML";
  const std::string com_entry =
      std::string(kReceived) + "108: True " + kComMessage;

  TcpClient client(port);
  ASSERT_TRUE(client.Send(kComFrame));
  EXPECT_EQ(client.ReadExactly(kInfFrame.size()), kInfFrame);
  EXPECT_THAT(ArchiveKinds(xml),
              ElementsAre("TCP_COM_1.XML", "TCP_COMx_1.TXT"));
  EXPECT_THAT(ReceivedEntries(service),
              ElementsAre(com_entry, com_entry, com_entry, com_entry));

  ASSERT_TRUE(client.Send(kAbcFrame));
  EXPECT_EQ(client.ReadExactly(kAckFrame.size()), kAckFrame);
  EXPECT_THAT(ArchiveKinds(xml),
              ElementsAre("TCP_COM_1.XML", "TCP_COMx_1.TXT", "TCP_COMx_2.TXT",
                          "TCP_DIV_2.XML"));
  EXPECT_EQ(ReceivedEntries(service).size(), 5u);
  EXPECT_EQ(ReceivedEntries(service).back(),
            std::string(kReceived) + "108: True " + kAbcMessage);

  EXPECT_EQ(OnlyFileMatching(xml, R"(TCP_COMx_\d+_1\.TXT)"),
            kComFrame + "\r\n");
  EXPECT_EQ(OnlyFileMatching(xml, R"(TCP_COM_\d+_1\.XML)"),
            kComMessage + "\r\n");
  EXPECT_EQ(OnlyFileMatching(xml, R"(TCP_COMx_\d+_2\.TXT)"),
            kAbcFrame + "\r\n");
  EXPECT_EQ(OnlyFileMatching(xml, R"(TCP_DIV_\d+_2\.XML)"),
            kAbcMessage + "\r\n");
  EXPECT_TRUE(service.Stop());
}

// What one connection sends, piece by piece, and every block the service
// must write back.
struct ExchangeCase {
  const char* label;
  std::vector<std::string> pieces;
  std::vector<std::string> replies;
};

std::vector<std::string> Split(const std::string& bytes, std::size_t size) {
  std::vector<std::string> pieces;
  for (std::size_t i = 0; i < bytes.size(); i += size) {
    pieces.push_back(bytes.substr(i, size));
  }
  return pieces;
}

std::string Concat(const std::vector<std::string>& parts) {
  std::string all;
  for (const auto& p : parts) all += p;
  return all;
}

const ExchangeCase kExchanges[] = {
    {"one frame in one send", {kComFrame}, {kInfFrame}},
    {"two frames in one send", {kComFrame + kAbcFrame}, {kInfFrame, kAckFrame}},
    {"one frame in many sends", Split(kAbcFrame, 25), {kAckFrame}},
    {"no tag",
     {Frame("<MSG type=\"COM\"><Verzender>ab</Verzender></MSG>")},
     {kNakReply}},
    {"tag not the first attribute",
     {Frame("<MSG type=\"COM\" tag=\"7\"></MSG>")},
     {kNakReply}},
    {"frame without STX", {"\x01PE1TRyB0YWc9IjgiLz4=\x04"}, {kNakReply}},
    {"data with CR LF and no frame", {"ab\r\ncd\r\n\r\nef"}, {}},
};

// Each exchange on a connection of its own: the bytes on the wire, and the
// connection's records in the traffic log in the order of its events.
TEST(ServerE2eTest, AnswersEachExchangeAndLogsItsTraffic) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  const std::uint16_t port = service.StartListening();
  ASSERT_NE(port, 0);
  const std::string logs = service.dir() + "KvxTCPIP/Logs";
  const auto records_of = [&](const std::string& id) {
    return RecordsOf(ReadTrafficLog(logs), id);
  };
  const auto received_so_far = [&](const std::string& id) {
    std::string data;
    for (const auto& r : records_of(id)) {
      if (r.kind == "Recv") data += r.data;
    }
    return data;
  };

  for (const auto& c : kExchanges) {
    SCOPED_TRACE(c.label);
    TcpClient client(port);
    ASSERT_TRUE(client.connected());
    const std::string id = client.PeerId();
    std::string sent;
    for (const auto& piece : c.pieces) {
      ASSERT_TRUE(client.Send(piece));
      sent += piece;
      // The next piece only once this one has been read.
      ASSERT_TRUE(WaitFor([&] { return received_so_far(id) == sent; }));
    }
    const std::string want = Concat(c.replies);
    EXPECT_EQ(client.ReadExactly(want.size()), want);
    client.Close();
    ASSERT_TRUE(WaitFor([&] {
      const auto r = records_of(id);
      return !r.empty() && r.back().data == "Disconnected.";
    }));

    const auto records = records_of(id);
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records.front().kind + " " + records.front().data,
              "Stat Connected.");
    std::vector<std::string> recv;
    std::vector<std::string> replies;
    for (std::size_t i = 1; i + 1 < records.size(); ++i) {
      const auto& r = records[i];
      ASSERT_NE(r.kind, "Stat") << r.data;
      (r.kind == "Recv" ? recv : replies).push_back(r.data);
      // Every reply follows the last bytes it answers.
      if (r.kind == "Recv") {
        EXPECT_TRUE(replies.empty()) << r.data;
      }
    }
    EXPECT_EQ(recv, c.pieces);
    EXPECT_EQ(replies, c.replies);
  }
  EXPECT_TRUE(service.Stop());
}

class ArchiveSwitchTest : public ::testing::TestWithParam<std::string> {};

// Anything but exactly "True" leaves only the raw archive, always number 1.
TEST_P(ArchiveSwitchTest, WritesOnlyRawArchivesUnlessExactlyTrue) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  const std::uint16_t port =
      service.StartListening({{"OutputToFile", GetParam()}});
  ASSERT_NE(port, 0);
  TcpClient client(port);
  ASSERT_TRUE(client.Send(kComFrame));
  EXPECT_EQ(client.ReadExactly(kInfFrame.size()), kInfFrame);
  ASSERT_TRUE(client.Send(kAbcFrame));
  EXPECT_EQ(client.ReadExactly(kAckFrame.size()), kAckFrame);

  const std::string xml = service.dir() + "KvxTCPIP/XML";
  const auto kinds = ArchiveKinds(xml);
  // Each frame keeps its raw file: in one second they take 1 and 2, in two
  // seconds both 1.
  ASSERT_EQ(kinds.size(), 2u);
  EXPECT_EQ(kinds[0], "TCP_COMx_1.TXT");
  EXPECT_THAT(kinds[1], ::testing::AnyOf("TCP_COMx_1.TXT", "TCP_COMx_2.TXT"));
  EXPECT_EQ(ReceivedEntries(service).back(),
            std::string(kReceived) + "108: " + GetParam() + " " + kAbcMessage);
  EXPECT_TRUE(service.Stop());
}

INSTANTIATE_TEST_SUITE_P(Switch, ArchiveSwitchTest,
                         ::testing::Values("true", "True "),
                         [](const auto& info) {
                           return info.index == 0 ? "LowerCase"
                                                  : "TrailingBlank";
                         });

// How the archive directory is broken, and how it is mended.
struct BrokenArchiveCase {
  const char* label;
  const char* system_text;
  void (*do_break)(const std::string& dir);
  void (*mend)(const std::string& dir);
};

const BrokenArchiveCase kBrokenArchives[] = {
    {"removed", "No such file or directory.",
     [](const std::string& dir) { fs::remove_all(dir); },
     [](const std::string& dir) { fs::create_directory(dir); }},
    {"a regular file in its place", "Not a directory.",
     [](const std::string& dir) {
       fs::remove_all(dir);
       std::ofstream(dir) << "x";
     },
     [](const std::string& dir) {
       fs::remove(dir);
       fs::create_directory(dir);
     }},
};

// A frame the archive cannot take is reported and not answered; once the
// directory is back it is answered without further bytes from the client.
TEST(ServerE2eTest, AnswersAFrameOnceItsArchiveDirectoryIsBack) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  const std::string out = service.dir() + "out";
  fs::create_directory(out);
  const std::uint16_t port = service.StartListening({{"OutputDirectory", out}});
  ASSERT_NE(port, 0);
  for (const auto& c : kBrokenArchives) {
    SCOPED_TRACE(c.label);
    c.do_break(out);
    const std::size_t before = service.EventsSinceStart().size();
    TcpClient client(port);
    ASSERT_TRUE(client.Send(kComFrame));
    const std::string system_text = c.system_text;
    const auto failure = service.WaitForEventMatching([&](const JsonEvent& e) {
      return e.text.rfind("Ontvanger: ", 0) == 0 &&
             e.text.size() > system_text.size() &&
             e.text.compare(e.text.size() - system_text.size(),
                            system_text.size(), system_text) == 0;
    });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->type, 1);
    EXPECT_THAT(failure->text, StartsWith("Ontvanger: Cannot create file \"" +
                                          out + "/TCP_COMx_"));
    EXPECT_THAT(failure->text, EndsWith(".TXT\". " + system_text));
    EXPECT_EQ(client.ReadExactly(1, milliseconds(200)), "") << "no reply";

    c.mend(out);
    EXPECT_EQ(client.ReadExactly(kInfFrame.size(), milliseconds(3000)),
              kInfFrame);
    EXPECT_EQ(OnlyFileMatching(out, R"(TCP_COMx_\d+_\d+\.TXT)"),
              kComFrame + "\r\n");
    // The failures in between are the same entry again, about once a second.
    const auto events = service.EventsSinceStart();
    std::size_t failures = 0;
    for (std::size_t i = before; i < events.size(); ++i) {
      if (events[i].text.rfind("Ontvanger: ", 0) == 0) ++failures;
    }
    EXPECT_GE(failures, 1u);
    EXPECT_LE(failures, 4u);
    fs::remove_all(out);
    fs::create_directory(out);
    client.Close();
  }
  EXPECT_TRUE(service.Stop());
}

// A client that sends 20 MiB without a frame is closed at the buffer limit,
// while another client is answered.
TEST(ServerE2eTest, ClosesAClientPastTheBufferLimitAndServesAnother) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  ServiceProcess service;
  const std::uint16_t port = service.StartListening();
  ASSERT_NE(port, 0);
  TcpClient flood(port);
  TcpClient other(port);
  ASSERT_TRUE(flood.connected() && other.connected());
  const std::string flood_id = flood.PeerId();

  // The sends fail once the service has closed the connection; whatever
  // the kernel buffers still counts as sent.
  std::thread sender([&flood] {
    const std::string chunk(1 << 20, 'x');
    for (int i = 0; i < 20 && flood.Send(chunk); ++i) {
    }
  });
  ASSERT_TRUE(other.Send(kComFrame));
  EXPECT_EQ(other.ReadExactly(kInfFrame.size()), kInfFrame);
  sender.join();
  EXPECT_TRUE(flood.WaitForClose());
  const auto entry = service.WaitForEvent(
      "Ontvanger: Ontvangstbuffer van " + flood_id +
      " groter dan 16777216 bytes zonder verwerkt pakket; verbinding "
      "verbroken");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->type, 1);
  ASSERT_TRUE(other.Send(kAbcFrame));
  EXPECT_EQ(other.ReadExactly(kAckFrame.size()), kAckFrame);
  EXPECT_TRUE(service.Stop());
}

TEST(ServerE2eTest, ReportsAPortInUseAsInformationAndGoesOn) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  PortHolder holder;
  ASSERT_NE(holder.port(), 0);
  const std::string port = std::to_string(holder.port());

  ServiceProcess service;
  service.WriteFile("KvxTCPConfig.xml",
                    ConfigWith(service.dir(), {{"Port", port}}));
  service.Start();
  const auto failure = service.WaitForEvent(kBindFailure);
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->type, 4);
  EXPECT_TRUE(service.Running());
  for (const auto& text : service.Texts()) {
    EXPECT_EQ(text.find("werd met succes gestart op"), std::string::npos);
  }
  EXPECT_TRUE(service.Stop());
}

}  // namespace
}  // namespace kvx::e2e
