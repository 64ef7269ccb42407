// kvx-monitor: receives, deciphers and prints status datagrams.
#include <chrono>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "core/codepage.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/file_system.h"
#include "platform/udp_receiver.h"
#include "tools/arguments.h"
#include "tools/monitor_tool.h"

namespace {

int Monitor(const kvx::MonitorOptions& options, const std::string& key) {
  kvx::UdpReceiver receiver(options.bind);
  kvx::SystemClock clock;
  const auto deadline =
      options.timeout ? std::chrono::steady_clock::now() + *options.timeout
                      : std::chrono::steady_clock::time_point::max();
  int received = 0;
  while (options.count == 0 || received < options.count) {
    std::optional<kvx::ReceivedDatagram> d = receiver.Receive(deadline);
    if (!d) {
      if (options.count == 0) return 0;
      std::cerr << "kvx-monitor: timed out after " << received << " of "
                << options.count << " datagrams\n";
      return 1;
    }
    kvx::LocalTime now = clock.Now();
    std::cout << (options.json
                      ? kvx::FormatDatagramJson(now, d->from, d->payload, key)
                      : kvx::FormatDatagramLine(now, d->from, d->payload, key))
              << std::endl;
    ++received;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  kvx::MonitorOptions options;
  try {
    options = kvx::ParseMonitorArguments(
        std::vector<std::string>(argv + 1, argv + argc));
  } catch (const kvx::UsageError& e) {
    std::cerr << "kvx-monitor: " << e.what()
              << "\nTry 'kvx-monitor --help' for more information.\n";
    return kvx::kExitUsage;
  }
  if (options.help) {
    std::cout << kvx::kMonitorHelp;
    return 0;
  }
  try {
    kvx::PosixFileSystem files;
    return Monitor(options, kvx::MonitorKey(options, files));
  } catch (const std::exception& e) {
    std::cerr << "kvx-monitor: " << kvx::Cp1252ToUtf8(e.what()) << '\n';
    return 1;
  }
}
