// The service module: owns every component and all run-time state, and
// carries the lifecycle handlers of the service.
#ifndef KVX_SERVICE_KAVERO_TCPIP_H_
#define KVX_SERVICE_KAVERO_TCPIP_H_

#include <memory>
#include <string>

#include "core/event_log.h"
#include "core/settings.h"
#include "database/ado_connection.h"
#include "diagnostics/diagnostics_observer.h"
#include "diagnostics/exception_files.h"
#include "diagnostics/traffic_log.h"
#include "observability/event_recorder.h"
#include "observability/metrics.h"
#include "platform/tls_context.h"
#include "platform/unit_installer.h"
#include "server/tcp_server.h"
#include "service/disk_housekeeping.h"
#include "service/service_thread.h"
#include "service/watch_endpoint.h"
#include "status/status_datagram.h"
#include "timers/kavero_timers.h"

namespace kvx {

class Clock;
class EventSink;
class FileSystem;
class LineList;
class OdbcConnectionFactory;
class SystemInfo;
class TickScheduler;
class UdpBroadcaster;
class WorkerProgress;

// The platform objects the module works through; all must outlive it.
struct Platform {
  Clock& clock;
  FileSystem& files;
  EventSink& events;
  TickScheduler& ticks;
  std::string program_directory;  // a text ending in '/'
  SystemInfo& system_info;        // SysInfo1 of the status datagrams
  UdpBroadcaster& lan_udp;        // LanUDP, the status datagram socket
  std::string program_path;       // the program file, a text
  OdbcConnectionFactory& odbc;    // makes the connection of the link ADO
};

// One instance per process, created by the service host at program start.
// The lifecycle handlers run on the service thread, one at a time; the
// settings are written by ServiceStart before the listener starts and are
// read-only afterwards.
class TKaveroTCPIP final : public ServiceHandlers {
 public:
  explicit TKaveroTCPIP(const Platform& platform);
  ~TKaveroTCPIP() override;
  TKaveroTCPIP(const TKaveroTCPIP&) = delete;
  TKaveroTCPIP& operator=(const TKaveroTCPIP&) = delete;

  // Lifecycle handlers (service thread).
  void ServiceStart(bool& started) override;
  void ServiceStop(bool& stopped) override;
  void ServicePause(bool& paused) override;
  void ServiceContinue(bool& continued) override;
  void ServiceShutdown() override;
  void ServiceReload() override;
  void TimerTick() override;

  // Install and uninstall handlers (main thread of the installing process).
  // ServiceAfterInstall throws when a template cannot be written.
  void ServiceAfterInstall();
  void ServiceBeforeUninstall();

  // What the systemd unit must allow, from the configuration as it is now
  // (the template's values when it is missing): the working tree, the
  // configuration file, KvxTCPData and the archive directory when it lies
  // outside the working tree may be written; binding a port below 1024 keeps
  // that capability. Leaves program_path and user empty. Throws KvxError
  // when the configuration cannot be read.
  UnitOptions ServiceUnitOptions();

  void WriteEventLog(std::string_view text, EventType type) {
    FEventLog.WriteEventLog(text, type);
  }

  const Settings& settings() const { return FSettings; }
  const std::string& program_version() const { return FProgramVersion; }
  // Thread-safe; lives as long as the module.
  const WorkerProgress& archive_progress() const {
    return FTCPServer.ArchiveProgress();
  }

 private:
  void LoadSettings(const LineList& config);
  void ResolveOutputDirectory();
  void ActivateTimerList();
  void EnableTimers(const LineList& config);
  void StartListener(const LineList& config);
  bool PrepareListener();
  void SendStatusDatagram(int code);
  void ReadProgramVersion();
  void NameTrafficLog();
  bool DatabaseLinked();
  void OpenDatabase();

  Platform FPlatform;
  Metrics FMetrics;
  EventRecorder FEventRecorder;
  EventLog FEventLog;
  Settings FSettings;
  std::string FProgramVersion;
  StatusReporter FStatusReporter;  // service thread only
  TADOConnection FADO;             // service thread only
  KaveroTimers FTimers;            // TimerList1; service thread only
  TServerInterceptLogFile ServerInterceptLogFile1;  // the traffic log
  ExceptionFiles FExceptionFiles;
  DiagnosticsObserver FServerObserver;
  DiskHousekeeping FDiskHousekeeping;  // service thread only
  // The listener's TLS context while TLSCertificate and TLSKey are set;
  // made anew by each start of the listener, reloaded on request; shared
  // with the listener, which hands its context to new connections.
  std::shared_ptr<TlsContextHolder> FTLS;
  // A binding was set: the watchdog's starts prepare and start the listener.
  bool FListenerBound = false;  // service thread only
  // Stopped and destroyed before everything it uses.
  TCPServer FTCPServer;
  // Last: reads every component above from its own threads.
  WatchEndpoint FWatch;
};

}  // namespace kvx

#endif  // KVX_SERVICE_KAVERO_TCPIP_H_
