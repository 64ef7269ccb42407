// The status datagram: its text, its cipher and the socket steps of a send.
#include "status/status_datagram.h"

#include <gtest/gtest.h>

#include "fakes/fake_clock.h"
#include "fakes/fake_system_info.h"
#include "fakes/fake_udp_broadcaster.h"
#include "status/xor_cipher.h"

namespace kvx {
namespace {

constexpr char kHeartbeat[] =
    "3003,20100525143000,SERVER1,FFFFFFFFFF,"
    "##2097024#1802240#1047532#524288#5.1#50#V1.0#9.0.0.7#1##";
constexpr LocalTime kMoment{2010, 5, 25, 14, 30, 0, 0};

class StatusDatagramTest : public ::testing::Test {
 protected:
  StatusDatagramTest() {
    settings_.FKey = "Morvek";
    settings_.FTOSID = "FFFFFFFFFF";
    clock_.SetNow(kMoment);
  }

  // The single datagram sent so far, deciphered with the key.
  std::string Deciphered(std::string_view key = "Morvek") const {
    EXPECT_EQ(socket_.sent.size(), 1u);
    if (socket_.sent.empty()) return "";
    std::string text = socket_.sent.back().payload;
    XorTransform(text, key);
    return text;
  }

  Settings settings_;
  FakeClock clock_;
  FakeSystemInfo info_;
  FakeUdpBroadcaster socket_;
  StatusReporter reporter_{settings_, clock_, info_, socket_};
};

TEST_F(StatusDatagramTest, TextJoinsTheFiveFields) {
  std::string text =
      DatagramText(3003, kMoment, "SERVER1", "FFFFFFFFFF",
                   "#2097024#1802240#1047532#524288#5.1#50#V1.0#9.0.0.7#1#");
  EXPECT_EQ(text, kHeartbeat);
  EXPECT_EQ(text.size(), 95u);
  // An empty TOSID: two commas, then the two hashes before the record.
  EXPECT_EQ(DatagramText(3000, {2010, 12, 9, 8, 5, 42, 0}, "X", "", "#r#"),
            "3000,20101209080542,X,,##r##");
}

TEST_F(StatusDatagramTest, ComputerNameUpperCasesOnlyAToZ) {
  EXPECT_EQ(UpperCaseComputerName("server1-\xE9z_{}"), "SERVER1-\xE9Z_{}");
  EXPECT_EQ(UpperCaseComputerName("(Unknown)"), "(UNKNOWN)");
}

TEST_F(StatusDatagramTest, SendStatusBroadcastsTheEncipheredHeartbeat) {
  EXPECT_TRUE(reporter_.SendStatus(kStatusHeartbeat, "9.0.0.7"));
  EXPECT_EQ(Deciphered(), kHeartbeat);
  const auto& datagram = socket_.sent[0];
  EXPECT_NE(datagram.payload, kHeartbeat);
  EXPECT_EQ(datagram.to.address, 0xFFFFFFFFu);
  EXPECT_EQ(datagram.to.port, 54200);
  EXPECT_TRUE(datagram.broadcast) << "permission on for the send";
  EXPECT_FALSE(socket_.broadcast()) << "and off after it";
  EXPECT_TRUE(socket_.is_open()) << "kept open until the next datagram";
}

TEST_F(StatusDatagramTest, EmptyKeySendsThePlainText) {
  settings_.FKey = "";
  EXPECT_TRUE(reporter_.SendStatus(kStatusHeartbeat, "9.0.0.7"));
  EXPECT_EQ(socket_.sent.at(0).payload, kHeartbeat);
}

TEST_F(StatusDatagramTest, BytesFrom0x80UpGoOutAsQuestionMarks) {
  // 'S' ^ 0xD3 = 0x80; a plain byte equal to the key byte gives 0x00,
  // which is sent as it is.
  settings_.FKey = std::string("\xD3", 1);
  ASSERT_TRUE(reporter_.SendUDPKavero(3000, kMoment, "S\xD3", "", "#"));
  std::string plain = "3000,20100525143000,S\xD3,,###";
  std::string want = plain;
  XorTransform(want, settings_.FKey);
  for (char& c : want)
    if (static_cast<unsigned char>(c) >= 0x80) c = '?';
  const std::string& payload = socket_.sent.at(0).payload;
  EXPECT_EQ(payload, want);
  ASSERT_EQ(payload.size(), plain.size());
  EXPECT_EQ(payload[20], '?');
  EXPECT_EQ(payload[21], '\0');
}

TEST_F(StatusDatagramTest, EveryDatagramHasANewSocketAndTheOldOneIsClosed) {
  info_.name = "(Unknown)";
  settings_.FTOSID = "";
  ASSERT_TRUE(reporter_.SendStatus(kStatusStarted, ""));
  // The key is read afresh: a changed key takes effect at once.
  settings_.FKey = "K";
  ASSERT_TRUE(reporter_.SendStatus(kStatusPaused, "9.0.0.7"));
  ASSERT_EQ(socket_.sent.size(), 2u);
  EXPECT_EQ(socket_.sockets_opened, 2);
  EXPECT_EQ(socket_.opened_while_open, 0);
  EXPECT_EQ(socket_.sent[0].socket, 1);
  EXPECT_EQ(socket_.sent[1].socket, 2);
  std::string first = socket_.sent[0].payload;
  XorTransform(first, "Morvek");
  EXPECT_EQ(first,
            "3000,20100525143000,(UNKNOWN),,"
            "##2097024#1802240#1047532#524288#5.1#50#V1.0##1##");
  std::string second = socket_.sent[1].payload;
  XorTransform(second, "K");
  EXPECT_EQ(second.substr(0, 5), "3002,");
}

TEST_F(StatusDatagramTest, EachFailingStepReturnsFalseAndSendsNothingMore) {
  using Step = FakeUdpBroadcaster::Step;
  for (Step step : {Step::kOpen, Step::kBroadcastOn, Step::kSend}) {
    FakeUdpBroadcaster socket;
    socket.fail_at = step;
    StatusReporter reporter(settings_, clock_, info_, socket);
    EXPECT_FALSE(reporter.SendStatus(kStatusHeartbeat, ""))
        << static_cast<int>(step);
    EXPECT_TRUE(socket.sent.empty()) << static_cast<int>(step);
    // The next call starts again with a new socket and succeeds.
    socket.fail_at = Step::kNone;
    EXPECT_TRUE(reporter.SendStatus(kStatusHeartbeat, ""));
    EXPECT_EQ(socket.sent.size(), 1u);
    EXPECT_EQ(socket.opened_while_open, 0) << static_cast<int>(step);
  }
  // Permission that cannot be switched off again is a failure too, though
  // the datagram has gone.
  FakeUdpBroadcaster socket;
  socket.fail_at = Step::kBroadcastOff;
  StatusReporter reporter(settings_, clock_, info_, socket);
  EXPECT_FALSE(reporter.SendStatus(kStatusHeartbeat, ""));
  EXPECT_EQ(socket.sent.size(), 1u);
}

TEST_F(StatusDatagramTest, DestroyingTheReporterClosesTheSocket) {
  FakeUdpBroadcaster socket;
  {
    StatusReporter reporter(settings_, clock_, info_, socket);
    ASSERT_TRUE(reporter.SendStatus(kStatusShutdown, ""));
    EXPECT_TRUE(socket.is_open());
  }
  EXPECT_FALSE(socket.is_open());
}

}  // namespace
}  // namespace kvx
