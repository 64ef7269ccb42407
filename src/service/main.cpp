// Program entry of KvxTCPServer.
#include <exception>
#include <string>
#include <vector>

#include "platform/signals.h"
#include "service/service_host.h"

int main(int argc, char** argv) {
  // Before any thread starts, so that every thread inherits the mask and
  // only the signal thread receives control requests.
  kvx::BlockControlSignals();
  return kvx::RunServiceHost(std::vector<std::string>(argv + 1, argv + argc));
}
