#include "service/service_host.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <thread>

#include "core/codepage.h"
#include "core/event_log.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/event_sinks.h"
#include "platform/file_system.h"
#include "platform/odbc.h"
#include "platform/program.h"
#include "platform/service_notifier.h"
#include "platform/signals.h"
#include "platform/system_info.h"
#include "platform/udp_broadcaster.h"
#include "platform/unit_installer.h"
#include "service/kavero_tcpip.h"
#include "service/liveness.h"
#include "service/service_thread.h"
#include "service/watchdog.h"

namespace kvx {
namespace {

constexpr char kDisplayName[] = "Kavero TCP Server";
// Exit status of a command line that is refused (sysexits' EX_USAGE).
constexpr int kExitUsage = 64;

constexpr char kUsage[] =
    "Usage: KvxTCPServer [-INSTALL | -UNINSTALL] [-SILENT] [-HELP] [-VERSION]\n"
    "\n"
    "Without a switch the Kavero TCP/IP message gateway runs in the\n"
    "foreground as a systemd service (Type=notify). Its working tree and\n"
    "KvxTCPConfig.xml live beside the program.\n"
    "\n"
    "  -INSTALL    install the systemd unit KaveroTCPIP.service (in\n"
    "              $KVX_SYSTEMD_UNIT_DIR, default /etc/systemd/system)\n"
    "  -UNINSTALL  disable and remove the unit\n"
    "  -SILENT     with -INSTALL or -UNINSTALL: report failures only\n"
    "  -HELP       print this text\n"
    "  -VERSION    print the program version\n"
    "\n"
    "Switches may start with '/', '-' or '--' and are not case-sensitive;\n"
    "an argument that is not a switch is refused (exit status 64).\n"
    "Signals: TERM/INT stop, TSTP pause, CONT continue, USR1 interrogate,\n"
    "PWR shutdown. KVX_EVENT_LOG chooses the event log: journal, stderr or\n"
    "the path of a JSON-lines file.\n";

// The platform objects of one process, in the order they must outlive
// each other: the event sink outlives the module, whose components may still
// write entries while they are destroyed.
struct Host {
  SystemClock clock;
  PosixFileSystem files;
  std::unique_ptr<EventSink> events = MakeEventSinkFromEnvironment();
  ServiceTickSource ticks{clock};
  LinuxSystemInfo system_info;
  PosixUdpBroadcaster lan_udp;
  UnixOdbcConnectionFactory odbc;
  std::unique_ptr<TKaveroTCPIP> module;

  Host() {
    module = std::make_unique<TKaveroTCPIP>(
        Platform{clock, files, *events, ticks, ProgramDirectory(), system_info,
                 lan_udp, ProgramPath(), odbc});
  }
};

// Install and uninstall reports go to the terminal: success to standard
// output, failure to standard error.
void Say(std::FILE* stream, const std::string& text) {
  std::fprintf(stream, "%s\n", Cp1252ToUtf8(text).c_str());
}

int Install(Host& host, bool silent) {
  try {
    UnitOptions unit = host.module->ServiceUnitOptions();
    unit.program_path = ProgramPath();
    unit.user = ServiceUser();
    InstallUnit(unit);
    try {
      host.module->ServiceAfterInstall();
    } catch (...) {
      DeleteUnitQuietly();
      throw;
    }
  } catch (const std::exception& e) {
    Say(stderr, "Service \"" + std::string(kDisplayName) +
                    "\" failed to install with error: \"" + e.what() + "\"");
    return 1;
  }
  if (!silent) Say(stdout, "Service installed successfully");
  return 0;
}

int Uninstall(Host& host, bool silent) {
  try {
    host.module->ServiceBeforeUninstall();
    UninstallUnit();
  } catch (const std::exception& e) {
    Say(stderr, "Service \"" + std::string(kDisplayName) +
                    "\" failed to uninstall with error: \"" + e.what() + "\"");
    return 1;
  }
  if (!silent) Say(stdout, "Service uninstalled successfully");
  return 0;
}

// Names of the watched threads in the watchdog's entries.
constexpr char kServiceThreadName[] = "de service thread";
constexpr char kArchiveThreadName[] = "de archief thread";

// The watchdog, when the service manager watches this process: a ping every
// half interval while the service thread and the archive thread are idle or
// moving; either one busy for longer than the interval stops them.
std::unique_ptr<Watchdog> StartWatchdog(Host& host,
                                        const ServiceThread& service,
                                        std::unique_ptr<Liveness>& liveness,
                                        WatchdogNotifier& notifier,
                                        EventLog& events) {
  const auto interval = WatchdogInterval();
  if (!interval) return nullptr;
  const auto limit =
      std::chrono::duration_cast<std::chrono::milliseconds>(*interval);
  // Tick counts wrap at 2^32 ms; a limit beyond half of that cannot be told.
  const auto limit_ms = static_cast<std::uint32_t>(
      std::min<std::int64_t>(limit.count(), 0x7FFFFFFF));
  liveness = std::make_unique<Liveness>(host.clock, limit_ms);
  liveness->Watch(kServiceThreadName, service.progress());
  liveness->Watch(kArchiveThreadName, host.module->archive_progress());
  return std::make_unique<Watchdog>(
      *liveness, notifier, events,
      [&service] { return std::string(ServiceStateName(service.state())); },
      std::max(limit / 2, std::chrono::milliseconds(1)));
}

int RunService(Host& host) {
  SdNotifier notifier;
  ServiceThread service(*host.module, host.ticks, notifier, *host.events);
  SdWatchdogNotifier watchdog_notifier;
  EventLog watchdog_events(*host.events);
  std::unique_ptr<Liveness> liveness;
  const std::unique_ptr<Watchdog> watchdog = StartWatchdog(
      host, service, liveness, watchdog_notifier, watchdog_events);
  bool ran = false;
  {
    SignalThread signals([&service](int code) { service.Post(code); });
    std::thread thread([&] {
      try {
        ran = service.Run();
      } catch (const std::exception& e) {
        WriteHostEvent(*host.events,
                       "Service failed on execute: " + std::string(e.what()));
      }
    });
    thread.join();
  }
  return ran ? 0 : 1;
}

}  // namespace

int RunServiceHost(const std::vector<std::string>& args) {
  const CommandLine cmd = ParseCommandLine(args);
  if (!cmd.not_a_switch.empty()) {
    std::fprintf(stderr, "KvxTCPServer: %s is not a switch.\n",
                 cmd.not_a_switch.c_str());
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  if (cmd.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (cmd.version) {
    std::printf("KvxTCPServer %d.%d.%d.%d\n", KVX_VERSION_MAJOR,
                KVX_VERSION_MINOR, KVX_VERSION_PATCH, KVX_VERSION_TWEAK);
    return 0;
  }
  Host host;
  try {
    if (cmd.install) return Install(host, cmd.silent);
    if (cmd.uninstall) return Uninstall(host, cmd.silent);
    return RunService(host);
  } catch (const std::exception& e) {
    WriteApplicationEvent(*host.events, e.what());
    return 1;
  }
}

}  // namespace kvx
