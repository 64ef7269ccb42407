// HTTP for the end-to-end tests of the watch endpoint: a plain GET over a
// loopback socket and the real peers that read it (a Prometheus server, a
// headless browser), started as children of the test.
#ifndef KVX_TESTS_E2E_HTTP_PEERS_H_
#define KVX_TESTS_E2E_HTTP_PEERS_H_

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "e2e/loopback.h"

namespace kvx::e2e {

struct HttpResponse {
  int status = 0;  // 0: no response
  std::string head;
  std::string body;
};

// `method` `target` to 127.0.0.1:port, "Connection: close"; the response
// read to the close.
HttpResponse HttpRequest(std::uint16_t port, const std::string& method,
                         const std::string& target);

// The samples of a text exposition, "name{labels}" -> value text.
std::map<std::string, std::string> Samples(const std::string& exposition);

// The full path of `name` found on PATH, or "" when it is not installed.
std::string FindProgram(const std::string& name);

// A child process that runs until the object goes (SIGTERM, then SIGKILL),
// its output to `log`.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& args, const std::string& log);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

}  // namespace kvx::e2e

#endif  // KVX_TESTS_E2E_HTTP_PEERS_H_
