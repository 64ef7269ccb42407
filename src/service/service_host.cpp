#include "service/service_host.h"

#include <cstdio>
#include <memory>
#include <thread>

#include "core/codepage.h"
#include "core/event_log.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/event_sinks.h"
#include "platform/file_system.h"
#include "platform/program.h"
#include "platform/service_notifier.h"
#include "platform/signals.h"
#include "platform/system_info.h"
#include "platform/udp_broadcaster.h"
#include "platform/unit_installer.h"
#include "service/kavero_tcpip.h"
#include "service/service_thread.h"

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
  ServiceTickSource ticks;
  LinuxSystemInfo system_info;
  PosixUdpBroadcaster lan_udp;
  std::unique_ptr<TKaveroTCPIP> module;

  Host() {
    module = std::make_unique<TKaveroTCPIP>(
        Platform{clock, files, *events, ticks, ProgramDirectory(), system_info,
                 lan_udp, ProgramPath()});
  }
};

// Install and uninstall reports go to the terminal: success to standard
// output, failure to standard error.
void Say(std::FILE* stream, const std::string& text) {
  std::fprintf(stream, "%s\n", Cp1252ToUtf8(text).c_str());
}

int Install(Host& host, bool silent) {
  try {
    InstallUnit(ProgramPath());
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

int RunService(Host& host) {
  SdNotifier notifier;
  ServiceThread service(*host.module, host.ticks, notifier, *host.events);
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
