#include "e2e/balancer.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "e2e/harness.h"
#include "fakes/network_namespace.h"
#include "fakes/read_file.h"

namespace kvx::e2e {
namespace {

constexpr char kRecipe[] = KVX_BALANCER_RECIPE;

std::string FirstWord(const std::string& line) {
  std::istringstream words(line);
  std::string word;
  words >> word;
  return word;
}

// `line` without the blank-separated word `word`, wherever it stands.
std::string WithoutWord(const std::string& line, const std::string& word) {
  std::istringstream words(line);
  std::string out = line.substr(0, line.find_first_not_of(' '));
  std::string w;
  bool first = true;
  while (words >> w) {
    if (w == word) continue;
    out += (first ? "" : " ") + w;
    first = false;
  }
  return out;
}

}  // namespace

std::string BalancerProgram() {
  for (const char* path : {"/usr/sbin/haproxy", "/usr/bin/haproxy"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return "";
}

std::string BalancerRecipe() { return ReadWholeFile(kRecipe); }

std::string BalancerConfig(std::string_view recipe, std::uint16_t port,
                           const std::vector<std::uint16_t>& gateways,
                           bool send_proxy) {
  std::istringstream in{std::string(recipe)};
  std::ostringstream out;
  std::string section;
  bool bound = false;
  bool servers = false;
  for (std::string line; std::getline(in, line);) {
    const std::string word = FirstWord(line);
    if (!line.empty() && line[0] != ' ' && !word.empty() && word[0] != '#') {
      section = word;
    }
    const std::string indent = "    ";
    // No system log ("log global" included), no chroot or user switch:
    // the test's namespace maps no user but root.
    if (word == "log" ||
        (section == "global" && (word == "chroot" || word == "user" ||
                                 word == "group" || word == "daemon"))) {
      continue;
    }
    if (word == "maxconn") {
      out << indent << "maxconn 1000\n";
    } else if (word == "bind") {
      out << indent << "bind 127.0.0.1:" << port << "\n";
      bound = true;
    } else if (word == "server") {
      if (servers) continue;
      for (std::size_t i = 0; i < gateways.size(); ++i) {
        out << indent << "server gw" << i + 1 << " 127.0.0.1:" << gateways[i]
            << "\n";
      }
      servers = true;
    } else if (word == "default-server" && !send_proxy) {
      out << WithoutWord(WithoutWord(line, "send-proxy-v2"), "check-send-proxy")
          << "\n";
    } else {
      out << line << "\n";
    }
  }
  if (!bound || !servers) {
    ADD_FAILURE() << "the recipe has no bind or no server line";
  }
  return out.str();
}

bool Listening(std::uint16_t port) {
  // Local address 127.0.0.1 as the kernel writes it, and state 0A (LISTEN).
  char local[16];
  std::snprintf(local, sizeof local, "0100007F:%04X", port);
  std::ifstream tcp("/proc/net/tcp");
  std::string line;
  std::getline(tcp, line);  // the header
  while (std::getline(tcp, line)) {
    std::istringstream fields(line);
    std::string slot, address, remote, state;
    fields >> slot >> address >> remote >> state;
    if (address == local && state == "0A") return true;
  }
  return false;
}

// BalancerProcess

BalancerProcess::BalancerProcess() : dir_("kvx-balancer") {}

BalancerProcess::~BalancerProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    WaitForProgram(pid_);
  }
}

bool BalancerProcess::Start(const std::string& config, std::uint16_t port,
                            milliseconds timeout) {
  if (!InPrivateNetworkNamespace()) {
    ADD_FAILURE() << "the balancer is only started in a private namespace";
    return false;
  }
  const std::string path = dir_.path() + "/haproxy.cfg";
  std::ofstream(path) << config;
  // -db: stay in the foreground, so the test owns the process.
  pid_ = StartProgram(BalancerProgram(), {"-db", "-f", path},
                      dir_.path() + "/stdout", dir_.path() + "/stderr");
  if (pid_ < 0) return false;
  std::optional<int> ended;
  WaitFor(
      [&] {
        if (Listening(port)) return true;
        ended = WaitForProgram(pid_, milliseconds(0));
        return ended.has_value();
      },
      timeout);
  if (ended) {
    pid_ = -1;
    ADD_FAILURE() << "haproxy ended with status " << *ended
                  << "; stderr: " << Stderr();
    return false;
  }
  if (!Listening(port)) {
    ADD_FAILURE() << "haproxy does not listen on " << port
                  << "; stderr: " << Stderr();
    return false;
  }
  return true;
}

bool BalancerProcess::Stop() {
  if (pid_ < 0) return true;
  ::kill(pid_, SIGTERM);
  const bool ended = WaitForProgram(pid_).has_value();
  if (ended) pid_ = -1;
  return ended;
}

std::string BalancerProcess::Stderr() const {
  return ReadWholeFile(dir_.path() + "/stderr");
}

}  // namespace kvx::e2e
