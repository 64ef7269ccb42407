// The status datagrams of the running program, as a monitor on UDP port
// 54200 receives them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e/harness.h"
#include "e2e/operator_texts.h"
#include "status/xor_cipher.h"

namespace kvx::e2e {
namespace {

using ::testing::ElementsAre;

// The program version as the build sets it.
std::string ProgramVersion() {
  return std::to_string(KVX_VERSION_MAJOR) + "." +
         std::to_string(KVX_VERSION_MINOR) + "." +
         std::to_string(KVX_VERSION_PATCH) + "." +
         std::to_string(KVX_VERSION_TWEAK);
}

// The host name up to its first '.', at most 15 characters, upper case.
std::string ComputerName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "(UNKNOWN)";
  std::string text = name;
  text = text.substr(0, std::min(text.find('.'), std::size_t{15}));
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// The kernel release as major.minor.
std::string KernelVersion() {
  utsname u{};
  ::uname(&u);
  const std::string release = u.release;
  const auto second_dot = release.find('.', release.find('.') + 1);
  return release.substr(0, second_dot);
}

bool AllDigits(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c));
  });
}

// Seconds between a "yyyymmddhhnnss" local stamp and now; a large number
// when the stamp is malformed.
double SecondsFromNow(const std::string& stamp) {
  if (stamp.size() != 14 || !AllDigits(stamp)) return 1e9;
  std::tm t{};
  t.tm_year = std::stoi(stamp.substr(0, 4)) - 1900;
  t.tm_mon = std::stoi(stamp.substr(4, 2)) - 1;
  t.tm_mday = std::stoi(stamp.substr(6, 2));
  t.tm_hour = std::stoi(stamp.substr(8, 2));
  t.tm_min = std::stoi(stamp.substr(10, 2));
  t.tm_sec = std::stoi(stamp.substr(12, 2));
  t.tm_isdst = -1;
  return std::difftime(std::mktime(&t), std::time(nullptr));
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const auto end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

// Checks one deciphered datagram: "code,stamp,NAME,TOSID,##record##" with
// the nine values of the host record, and `version` as its eighth.
void ExpectDatagram(const std::optional<std::string>& datagram,
                    const std::string& code, const std::string& version) {
  ASSERT_TRUE(datagram.has_value()) << "no datagram " << code;
  SCOPED_TRACE(*datagram);
  const auto fields = Split(*datagram, ',');
  ASSERT_EQ(fields.size(), 5u);
  EXPECT_EQ(fields[0], code);
  EXPECT_LE(std::abs(SecondsFromNow(fields[1])), 2.0) << fields[1];
  EXPECT_EQ(fields[2], ComputerName());
  EXPECT_EQ(fields[3], "FFFFFFFFFF");
  // "#" before and after the record, which begins and ends with "#" itself.
  const std::string& wrapped = fields[4];
  ASSERT_GE(wrapped.size(), 4u);
  ASSERT_EQ(wrapped.substr(0, 2), "##");
  ASSERT_EQ(wrapped.substr(wrapped.size() - 2), "##");
  const auto record = Split(wrapped.substr(2, wrapped.size() - 4), '#');
  ASSERT_EQ(record.size(), 9u) << "ten '#' in the record";
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(AllDigits(record[i])) << i;
  if (AllDigits(record[0]) && AllDigits(record[1])) {
    EXPECT_LE(std::stoull(record[1]), std::stoull(record[0]));
  }
  if (AllDigits(record[2]) && AllDigits(record[3])) {
    EXPECT_LE(std::stoull(record[3]), std::stoull(record[2]));
  }
  EXPECT_EQ(record[4], KernelVersion());
  ASSERT_TRUE(AllDigits(record[5]));
  EXPECT_LE(std::stoi(record[5]), 100);
  EXPECT_EQ(record[6], "V1.0");
  EXPECT_EQ(record[7], version);
  EXPECT_EQ(record[8], "1");
}

// A configuration without a listener and with the given key.
void WriteConfig(const ServiceProcess& service, const std::string& key) {
  service.WriteFile("KvxTCPConfig.xml",
                    ConfigWith(service.dir(), {{"Port", "0"}, {"Key", key}}));
}

struct KeyCase {
  const char* label;
  const char* key;
};
void PrintTo(const KeyCase& c, std::ostream* os) { *os << c.label; }

class StatusE2eTest : public ::testing::TestWithParam<KeyCase> {};

TEST_P(StatusE2eTest, EachLifecycleStepSendsItsDatagram) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  const std::string key = GetParam().key;
  UdpReceiver receiver;
  ASSERT_TRUE(receiver.bound());
  auto next = [&receiver, &key] {
    auto datagram = receiver.Receive();
    if (datagram) XorTransform(*datagram, key);
    return datagram;
  };
  ServiceProcess service;
  WriteConfig(service, key);
  service.Start();

  // The start datagram goes before the version is read.
  ExpectDatagram(next(), "3000", "");
  service.Signal(SIGTSTP);
  ExpectDatagram(next(), "3002", ProgramVersion());
  ASSERT_TRUE(service.WaitForEvent(kPaused));
  service.Signal(SIGCONT);
  ExpectDatagram(next(), "3000", ProgramVersion());
  ASSERT_TRUE(service.WaitForEvent(kContinued));
  service.Signal(SIGPWR);
  ExpectDatagram(next(), "3001", ProgramVersion());
  EXPECT_EQ(service.WaitForExit(), 0);

  EXPECT_EQ(receiver.Receive(milliseconds(100)), std::nullopt);
  EXPECT_THAT(service.Texts(),
              ElementsAre(kStarted, kPortZero, kPaused, kContinued, kShutdown));
}

INSTANTIATE_TEST_SUITE_P(Keys, StatusE2eTest,
                         ::testing::Values(KeyCase{"TemplateKey", "Morvek"},
                                           KeyCase{"EmptyKeyPlainText", ""}),
                         [](const auto& info) {
                           return std::string(info.param.label);
                         });

std::string NetworkNamespace(const std::string& pid) {
  std::error_code ec;
  return std::filesystem::read_symlink("/proc/" + pid + "/ns/net", ec).string();
}

TEST(StatusE2eNoRouteTest, WithoutARouteTheServiceRunsOnSilently) {
  KVX_REQUIRE_PRIVATE_NETWORK();
  const std::string unshare = "/usr/bin/unshare";
  if (!std::filesystem::exists(unshare)) GTEST_SKIP() << "needs " << unshare;
  UdpReceiver receiver;
  ASSERT_TRUE(receiver.bound());
  ServiceProcess service;
  WriteConfig(service, "Morvek");
  // A network namespace of the service's own: only a loopback that is down,
  // no route, so every datagram fails to go out.
  service.StartUnder({unshare, "-n"});
  ASSERT_TRUE(service.WaitForEvent(kStarted)) << service.Stderr();
  const std::string own = NetworkNamespace("self");
  const std::string its = NetworkNamespace(std::to_string(service.pid()));
  ASSERT_FALSE(its.empty());
  ASSERT_NE(its, own) << "the service must run in a namespace of its own";

  // Start, pause and continue each try to send.
  service.Signal(SIGTSTP);
  ASSERT_TRUE(service.WaitForEvent(kPaused));
  service.Signal(SIGCONT);
  ASSERT_TRUE(service.WaitForEvent(kContinued));
  service.Signal(SIGTERM);
  EXPECT_EQ(service.WaitForExit(), 0);

  EXPECT_THAT(service.Texts(),
              ElementsAre(kStarted, kPortZero, kPaused, kContinued, kStopped));
  EXPECT_EQ(service.Stderr(), "");
  EXPECT_EQ(receiver.Receive(milliseconds(100)), std::nullopt);
}

}  // namespace
}  // namespace kvx::e2e
