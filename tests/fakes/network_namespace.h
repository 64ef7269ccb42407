// Whether the test runs inside a private network namespace, where a
// broadcast cannot leave the machine, and whether that namespace has a route.
#ifndef KVX_TESTS_FAKES_NETWORK_NAMESPACE_H_
#define KVX_TESTS_FAKES_NETWORK_NAMESPACE_H_

#include <fstream>
#include <sstream>
#include <string>

namespace kvx {

// True when /proc/net/dev lists the loopback interface and nothing else,
// as in `unshare -rn`.
inline bool InPrivateNetworkNamespace() {
  std::ifstream dev("/proc/net/dev");
  std::string line;
  int interfaces = 0;
  bool loopback = false;
  while (std::getline(dev, line)) {
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;  // the two header lines
    std::size_t start = line.find_first_not_of(' ');
    std::string name = line.substr(start, colon - start);
    ++interfaces;
    loopback = loopback || name == "lo";
  }
  return loopback && interfaces == 1;
}

// True when /proc/net/route has a default route (destination and mask 0).
inline bool HasDefaultRoute() {
  std::ifstream routes("/proc/net/route");
  std::string iface, destination, gateway, flags, refcnt, use, metric, mask;
  std::string line;
  std::getline(routes, line);  // the header
  while (std::getline(routes, line)) {
    std::istringstream fields(line);
    fields >> iface >> destination >> gateway >> flags >> refcnt >> use >>
        metric >> mask;
    if (destination == "00000000" && mask == "00000000") return true;
  }
  return false;
}

}  // namespace kvx

#endif  // KVX_TESTS_FAKES_NETWORK_NAMESPACE_H_
