// The service module: owns every component and all run-time state.
#ifndef KVX_SERVICE_KAVERO_TCPIP_H_
#define KVX_SERVICE_KAVERO_TCPIP_H_

#include "service/settings.h"

namespace kvx {

// One instance per process, created by the service host at program start.
class TKaveroTCPIP {
 public:
  TKaveroTCPIP() = default;
  TKaveroTCPIP(const TKaveroTCPIP&) = delete;
  TKaveroTCPIP& operator=(const TKaveroTCPIP&) = delete;

  const Settings& settings() const { return FSettings; }

 private:
  Settings FSettings;
};

}  // namespace kvx

#endif  // KVX_SERVICE_KAVERO_TCPIP_H_
