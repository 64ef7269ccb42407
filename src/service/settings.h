// The settings of the configuration file, as texts exactly as read.
#ifndef KVX_SERVICE_SETTINGS_H_
#define KVX_SERVICE_SETTINGS_H_

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

  // Optional: the receive buffers of all connections together, in MiB.
  std::string FMaxReceiveBufferMB;
};

}  // namespace kvx

#endif  // KVX_SERVICE_SETTINGS_H_
