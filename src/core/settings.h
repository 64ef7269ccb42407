// The settings of the configuration file, as texts exactly as read.
#ifndef KVX_CORE_SETTINGS_H_
#define KVX_CORE_SETTINGS_H_

#include <cstdint>
#include <string>

namespace kvx {

// Written once by ServiceStart before the listener starts, then read-only
// and read without a lock from every thread.
struct Settings {
  std::string FKey;
  std::string FTOSID;
  std::string FVersie;
  std::string FProtocol;
  std::string FVerzender;
  std::string FOntvanger;
  std::string FOutputDirectory;
  std::string FOutputToFile;
  std::string FSQLServer;
  std::string FSQLDatabase;
  std::string FSQLInlognaam;
  std::string FSQLPaswoord;

  // Optional elements (absent: the designed behaviour).
  bool FArchiveSync = false;               // ArchiveSync exactly "True"
  std::int32_t FMinFreeDiskMB = 1024;      // MinFreeDiskMB; 0 or less: off
  std::int32_t FArchiveRetentionDays = 0;  // 0: keep everything
  std::int32_t FLogRetentionDays = 0;      // 0: keep everything
  bool FTrafficLogDaily = false;           // TrafficLogDaily exactly "True"
  // Optional: the receive buffers of all connections together, in MiB.
  std::string FMaxReceiveBufferMB;
  // Optional elements for networks the operator does not control; each is
  // empty (off) when its element is missing.
  std::string FTLSCertificate;  // PEM certificate chain; with FTLSKey: TLS
  std::string FTLSKey;          // PEM private key
  std::string FTLSClientCA;     // PEM CA; set: clients need its certificate
  std::string FAllowedClients;  // addresses and CIDR prefixes
  std::string FMaxConnections;  // number rule; 0 or less: no limit
  std::string FMaxConnectionsPerClient;  // number rule; 0 or less: no limit
  std::string FReceiveTimeout;           // number rule, seconds; 0 or less: off
  bool FProxyProtocol = false;  // ProxyProtocol exactly "True": a PROXY header
};

// The archive switch of decoded messages: on only when OutputToFile is
// exactly "True" (case and blanks count).
inline bool DecodedArchiveOn(const Settings& settings) {
  return settings.FOutputToFile == "True";
}

}  // namespace kvx

#endif  // KVX_CORE_SETTINGS_H_
