// The load balancer of the several-gateway layout (haproxy), run by the
// end-to-end tests with the recipe in deploy/haproxy, its addresses and
// ports rewritten for loopback. Like the service, it is only ever started
// inside the private network namespace.
#ifndef KVX_TESTS_E2E_BALANCER_H_
#define KVX_TESTS_E2E_BALANCER_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "e2e/loopback.h"
#include "fakes/temp_dir.h"

namespace kvx::e2e {

// The installed haproxy program; "" when it is not installed.
std::string BalancerProgram();

// The recipe's text, as shipped.
std::string BalancerRecipe();

// The recipe made runnable by an unprivileged test on loopback: the
// frontend binds 127.0.0.1:`port`; the first "server" line becomes one line
// per gateway port (gw1, gw2, ... on 127.0.0.1) and the recipe's other
// server lines go; without `send_proxy` the gateways get no PROXY header
// (send-proxy-v2 and check-send-proxy are taken out). The machine's part of
// "global" (system log, chroot, user, group, daemon) goes and maxconn
// shrinks to what the test's open-file limit allows. A recipe without a
// bind or server line is a test failure.
std::string BalancerConfig(std::string_view recipe, std::uint16_t port,
                           const std::vector<std::uint16_t>& gateways,
                           bool send_proxy);

// True when a TCP socket of this namespace listens on 127.0.0.1:`port`
// (read from /proc/net/tcp, so the check makes no connection of its own).
bool Listening(std::uint16_t port);

// One haproxy process, in the foreground, with a configuration file of its
// own. Killed, if still running, with the object.
class BalancerProcess {
 public:
  BalancerProcess();
  ~BalancerProcess();
  BalancerProcess(const BalancerProcess&) = delete;
  BalancerProcess& operator=(const BalancerProcess&) = delete;

  // Writes `config`, starts haproxy with it and waits until it listens on
  // `port`. False (and a test failure) when it ends or does not listen in
  // time. REQUIRES: inside the private network namespace.
  bool Start(const std::string& config, std::uint16_t port,
             milliseconds timeout = kTimeout);
  // Ends it (SIGTERM) and waits; true when it ended in time.
  bool Stop();
  // What haproxy wrote on standard error (alerts, warnings).
  std::string Stderr() const;

 private:
  TempDir dir_;
  pid_t pid_ = -1;
};

}  // namespace kvx::e2e

#endif  // KVX_TESTS_E2E_BALANCER_H_
