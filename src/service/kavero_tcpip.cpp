#include "service/kavero_tcpip.h"

#include "core/config.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/file_system.h"
#include "platform/line_list_file.h"
#include "platform/odbc.h"
#include "platform/stamps.h"
#include "server/exposure_texts.h"
#include "service/working_tree.h"
#include "status/computer_pakket.h"

namespace kvx {
namespace {

// Operator texts of the lifecycle handlers (Windows-1252).
constexpr char kInstalledConfig[] =
    "Kavero TCP/IP server werd met succes ge\xEF"
    "nstalleerd (KvxTCPConfig.xml)";
constexpr char kInstalled[] =
    "Kavero TCP/IP server werd met succes ge\xEF"
    "nstalleerd";
constexpr char kUninstalled[] =
    "De installatie van Kavero TCP/IP server werd verwijderd";
constexpr char kStarted[] = "Kavero TCP/IP server werd normaal gestart";
constexpr char kStopped[] = "Kavero TCP/IP server werd normaal gestopt";
constexpr char kPaused[] =
    "Kavero TCP/IP server werd onderbroken door pauze actie";
constexpr char kContinued[] = "Kavero TCP/IP server werd na een pauze gestart";
constexpr char kListening[] =
    "Kavero TCP/IP server werd met succes gestart op ";
constexpr char kOnPort[] = " op poort ";
constexpr char kSyncedPrefix[] =
    "Kavero TCP/IP server heeft de archiefbestanden ";
constexpr char kSyncedSuffix[] = " keer naar schijf gesynchroniseerd";
constexpr char kNoListener[] =
    "Geen TCP poort ingesteld; Kavero TCP/IP server luistert niet";
constexpr char kPortOutOfRange[] =
    " ligt buiten 1..65535; Kavero TCP/IP "
    "server luistert niet";
constexpr char kEmptyOutputDirectory[] =
    "OutputDirectory is leeg; berichten worden gearchiveerd in ";
constexpr char kShutdown[] =
    "Kavero TCP/IP server werd gestopt wegens het afsluiten van de computer";

}  // namespace

TKaveroTCPIP::TKaveroTCPIP(const Platform& platform)
    : FPlatform(platform),
      FEventRecorder(FMetrics, platform.clock),
      FEventLog(platform.events, &FEventRecorder),
      FStatusReporter(FSettings, platform.clock, platform.system_info,
                      platform.lan_udp),
      FADO(platform.odbc.NewConnection(), FSettings, FEventLog,
           OdbcDriverName()),
      FTimers(platform.clock, platform.ticks, FEventLog, platform.events,
              TimerJobs{[this] { return DatabaseLinked(); },
                        [this] { OpenDatabase(); },
                        [this] { return FTCPServer.Active(); },
                        [this] {
                          // Only the listener ServiceStart configured.
                          if (FListenerBound && PrepareListener()) {
                            FTCPServer.Start();
                          }
                        },
                        [this] { SendStatusDatagram(kStatusHeartbeat); }}),
      ServerInterceptLogFile1(platform.files, platform.clock,
                              platform.program_path + ".log"),
      FExceptionFiles(platform.files, platform.clock,
                      platform.program_directory),
      FServerObserver(ServerInterceptLogFile1, FExceptionFiles),
      FDiskHousekeeping(
          FSettings, platform.files, platform.clock, FEventLog,
          platform.program_directory + "KvxTCPIP/Logs",
          [this] { return ServerInterceptLogFile1.CurrentFilename(); }),
      FTCPServer(FSettings, FEventLog, platform.files, platform.clock,
                 FServerObserver, FMetrics),
      FWatch(WatchSources{FMetrics, FEventRecorder, FTCPServer, FSettings,
                          platform.clock, FEventLog, FDiskHousekeeping}) {}

// The database connection ends with the process; it is closed here, while
// the reporter still exists, so that its disconnect entry is written.
TKaveroTCPIP::~TKaveroTCPIP() {
  try {
    FADO.Close();
  } catch (...) {
  }
}

void TKaveroTCPIP::ServiceStart(bool& /*started*/) {
  // Not guarded: a template that cannot be written ends the start.
  if (PrepareWorkingTree(FPlatform.files, FPlatform.program_directory)) {
    WriteEventLog(kInstalledConfig, EventType::kInformation);
  }
  try {
    WriteEventLog(kStarted, EventType::kInformation);
    // Named before any listener starts, so that the first connection's
    // records go to this start's traffic log.
    NameTrafficLog();
    ActivateTimerList();
    // Receive buffers belong to the connections and start empty with each.
    const std::string config_path =
        FPlatform.program_directory + kConfigFileName;
    if (FPlatform.files.FileExists(config_path)) {
      const LineList config = LoadLineList(FPlatform.files, config_path);
      LoadSettings(config);
      FDiskHousekeeping.Start();
      EnableTimers(config);
      StartListener(config);
      FWatch.Start(config);
      SendStatusDatagram(kStatusStarted);
      // Read after the start datagram, which therefore carries no version.
      ReadProgramVersion();
    } else {
      WriteEventLog(kNoListener, EventType::kWarning);
    }
  } catch (const Abort&) {
  } catch (const std::exception& e) {
    WriteEventLog(e.what(), EventType::kWarning);
  }
}

void TKaveroTCPIP::LoadSettings(const LineList& config) {
  FSettings.FOutputDirectory = ReadXMLTag(config, "OutputDirectory");
  FSettings.FOutputToFile = ReadXMLTag(config, "OutputToFile");
  FSettings.FKey = ReadXMLTag(config, "Key");
  FSettings.FTOSID = ReadXMLTag(config, "TOSID");
  FSettings.FVersie = ReadXMLTag(config, "Versie");
  FSettings.FProtocol = ReadXMLTag(config, "Protocol");
  FSettings.FVerzender = ReadXMLTag(config, "Verzender");
  FSettings.FOntvanger = ReadXMLTag(config, "Ontvanger");
  FSettings.FSQLServer = ReadXMLTag(config, "SQLServer");
  FSettings.FSQLDatabase = ReadXMLTag(config, "SQLDatabase");
  FSettings.FSQLInlognaam = ReadXMLTag(config, "SQLInlognaam");
  FSettings.FSQLPaswoord = ReadXMLTag(config, "SQLPaswoord");
  ReadDiskSettings(config, FSettings);
  FSettings.FMaxReceiveBufferMB = ReadXMLTag(config, "MaxReceiveBufferMB");
  FSettings.FTLSCertificate = ReadXMLTag(config, "TLSCertificate");
  FSettings.FTLSKey = ReadXMLTag(config, "TLSKey");
  FSettings.FTLSClientCA = ReadXMLTag(config, "TLSClientCA");
  FSettings.FAllowedClients = ReadXMLTag(config, "AllowedClients");
  FSettings.FMaxConnections = ReadXMLTag(config, "MaxConnections");
  FSettings.FMaxConnectionsPerClient =
      ReadXMLTag(config, "MaxConnectionsPerClient");
  FSettings.FReceiveTimeout = ReadXMLTag(config, "ReceiveTimeout");
  FSettings.FProxyProtocol = ReadXMLTag(config, "ProxyProtocol") == "True";
  ResolveOutputDirectory();
}

// An empty OutputDirectory would archive into the root directory: the
// working tree's archive directory instead, with a warning. A relative one
// is taken from the program directory, not from wherever the service was
// started.
void TKaveroTCPIP::ResolveOutputDirectory() {
  std::string& dir = FSettings.FOutputDirectory;
  if (dir.empty()) {
    dir = FPlatform.program_directory + "KvxTCPIP/XML";
    WriteEventLog(kEmptyOutputDirectory + dir, EventType::kWarning);
  } else if (dir.front() != '/') {
    dir = FPlatform.program_directory + dir;
  }
}

// The steps below join the subsystems to the lifecycle; each one is filled
// in where its subsystem is wired to the module.
void TKaveroTCPIP::ActivateTimerList() { FTimers.ActivateTimers(); }

void TKaveroTCPIP::EnableTimers(const LineList& config) {
  FTimers.EnableDatabaseTimer();
  FTimers.ApplyHTTPTimer(NumberRule(ReadXMLTag(config, "HTTPTimer")));
}

void TKaveroTCPIP::TimerTick() {
  FTimers.TimerList1.Tick();
  FDiskHousekeeping.Tick();
}

bool TKaveroTCPIP::DatabaseLinked() {
  const bool open = FADO.IsOpen();
  FMetrics.database_linked.Set(open ? 1 : 0);
  return open;
}

// An attempt counts when the four settings are given; a failed open throws
// to the timer, which reports it.
void TKaveroTCPIP::OpenDatabase() {
  if (!FSettings.FSQLServer.empty() && !FSettings.FSQLDatabase.empty() &&
      !FSettings.FSQLInlognaam.empty() && !FSettings.FSQLPaswoord.empty()) {
    FMetrics.database_link_attempts.Add();
  }
  FADO.Open();
  FMetrics.database_linked.Set(FADO.IsOpen() ? 1 : 0);
}

// Each start names a new traffic log; the file is opened by the first
// record, normally the first connection's.
void TKaveroTCPIP::NameTrafficLog() {
  ServerInterceptLogFile1.SetFilename(
      FPlatform.program_directory + "KvxTCPIP/Logs/TCP_IC" +
      FileStamp(FPlatform.clock.Now()) + ".txt");
  if (FSettings.FTrafficLogDaily) {
    ServerInterceptLogFile1.EnableDailyFiles(FPlatform.program_directory +
                                             "KvxTCPIP/Logs/TCP_IC");
  }
}

// Binds and starts the listener when the Port setting is 1 to 65535: the
// Binding text exactly as read. Without a Port a warning, outside the range
// an error says that nothing listens; the listener gets no binding then, so
// the watchdog starts nothing either. A failure to start is written as
// information and the start goes on.
void TKaveroTCPIP::StartListener(const LineList& config) {
  const std::string port_text = ReadXMLTag(config, "Port");
  if (port_text.empty()) {
    WriteEventLog(kNoListener, EventType::kWarning);
    return;
  }
  const std::int32_t port = NumberRule(port_text);
  if (port < 1 || port > 65535) {
    WriteEventLog("Poort " + std::to_string(port) + kPortOutOfRange,
                  EventType::kError);
    return;
  }
  try {
    FTCPServer.SetBinding(ReadXMLTag(config, "Binding"),
                          static_cast<std::uint16_t>(port));
    FListenerBound = true;
    if (!PrepareListener()) return;
    FTCPServer.Start();
    WriteEventLog(kListening + ReadXMLTag(config, "Binding") + kOnPort +
                      std::to_string(port),
                  EventType::kInformation);
  } catch (const Abort&) {
  } catch (const std::exception& e) {
    WriteEventLog(e.what(), EventType::kInformation);
  }
}

// Reads the listener's guards from the settings and hands them to the
// server. An allow-list item that is not an address or prefix, or TLS
// files that cannot be used, are written as an error and keep the listener
// stopped: never a listener that lets in more than asked, nor one in clear
// text where TLS was asked. The TLS files are read anew each time, so that
// a retry picks up corrected files.
bool TKaveroTCPIP::PrepareListener() {
  ListenerGuards guards;
  const AllowList::ParseResult allow =
      guards.allow.Parse(FSettings.FAllowedClients);
  if (!allow.ok) {
    WriteEventLog(InvalidAllowListText(allow.bad_item), EventType::kError);
    return false;
  }
  guards.max_connections = NumberRule(FSettings.FMaxConnections);
  guards.max_connections_per_client =
      NumberRule(FSettings.FMaxConnectionsPerClient);
  guards.receive_timeout_seconds = NumberRule(FSettings.FReceiveTimeout);
  const TlsSettings tls{FSettings.FTLSCertificate, FSettings.FTLSKey,
                        FSettings.FTLSClientCA};
  if (TlsWanted(tls)) {
    try {
      FTLS =
          std::make_shared<TlsContextHolder>(tls, FPlatform.program_directory);
    } catch (const std::exception& e) {
      FTLS.reset();
      WriteEventLog(TlsLoadFailedText(e.what()), EventType::kError);
      return false;
    }
    guards.tls = FTLS;
  }
  FTCPServer.SetGuards(std::move(guards));
  return true;
}

// The result is not looked at: a datagram that cannot be sent is dropped
// without a word. A failure while building the record reaches the handler.
void TKaveroTCPIP::SendStatusDatagram(int code) {
  bool sent = false;
  try {
    sent = FStatusReporter.SendStatus(code, FProgramVersion);
  } catch (...) {
    FMetrics.datagrams_failed.Add();
    throw;
  }
  (sent ? FMetrics.datagrams_sent : FMetrics.datagrams_failed).Add();
}

void TKaveroTCPIP::ReadProgramVersion() {
  FProgramVersion = GetVersionString();
}

void TKaveroTCPIP::ServiceStop(bool& /*stopped*/) {
  // With ArchiveSync the operator sees that the syncs were really issued.
  if (FSettings.FArchiveSync) {
    WriteEventLog(kSyncedPrefix + std::to_string(FPlatform.files.SyncCount()) +
                      kSyncedSuffix,
                  EventType::kInformation);
  }
  WriteEventLog(kStopped, EventType::kInformation);
}

void TKaveroTCPIP::ServicePause(bool& /*paused*/) {
  FMetrics.paused.Set(1);
  SendStatusDatagram(kStatusPaused);
  WriteEventLog(kPaused, EventType::kInformation);
}

void TKaveroTCPIP::ServiceContinue(bool& continued) {
  FMetrics.paused.Set(0);
  WriteEventLog(kContinued, EventType::kInformation);
  SendStatusDatagram(kStatusStarted);
  continued = true;
}

void TKaveroTCPIP::ServiceShutdown() {
  SendStatusDatagram(kStatusShutdown);
  WriteEventLog(kShutdown, EventType::kInformation);
}

// Reads the TLS files again for connections accepted from now on; open
// connections keep the context they started with. One entry says whether it
// worked; a failure keeps what was loaded before.
void TKaveroTCPIP::ServiceReload() {
  const TlsSettings tls{FSettings.FTLSCertificate, FSettings.FTLSKey,
                        FSettings.FTLSClientCA};
  if (!TlsWanted(tls)) {
    WriteEventLog(ReloadWithoutTlsText(), EventType::kInformation);
    return;
  }
  try {
    if (FTLS) {
      FTLS->Reload();
    } else {
      FTLS =
          std::make_shared<TlsContextHolder>(tls, FPlatform.program_directory);
    }
    WriteEventLog(TlsReloadedText(), EventType::kInformation);
  } catch (const std::exception& e) {
    WriteEventLog(TlsReloadFailedText(e.what()), EventType::kError);
  }
}

void TKaveroTCPIP::ServiceAfterInstall() {
  PrepareWorkingTree(FPlatform.files, FPlatform.program_directory);
  WriteEventLog(kInstalled, EventType::kInformation);
}

UnitOptions TKaveroTCPIP::ServiceUnitOptions() {
  const std::string& dir = FPlatform.program_directory;
  const std::string tree = dir + "KvxTCPIP";
  const std::string config_path = dir + kConfigFileName;
  UnitOptions options;
  options.read_write_paths = {tree, config_path, dir + "KvxTCPData"};
  if (!FPlatform.files.FileExists(config_path)) return options;
  const LineList config = LoadLineList(FPlatform.files, config_path);
  // A relative or empty directory is not made writable: the service starts
  // in "/", where it must not write.
  const std::string archive = ReadXMLTag(config, "OutputDirectory");
  if (!archive.empty() && archive.front() == '/' && archive != tree &&
      archive.rfind(tree + "/", 0) != 0) {
    options.read_write_paths.push_back(archive);
  }
  // As StartListener reads it: 1 or more, its low 16 bits (0: any port).
  const std::int32_t port = NumberRule(ReadXMLTag(config, "Port"));
  const std::int32_t bound = port & 0xFFFF;
  options.bind_low_port = port >= 1 && bound >= 1 && bound < 1024;
  return options;
}

void TKaveroTCPIP::ServiceBeforeUninstall() {
  WriteEventLog(kUninstalled, EventType::kInformation);
}

}  // namespace kvx
