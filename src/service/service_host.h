// The service host: command line, install and uninstall, and running the
// module on its service thread with signals as control requests.
#ifndef KVX_SERVICE_SERVICE_HOST_H_
#define KVX_SERVICE_SERVICE_HOST_H_

#include <string>
#include <vector>

#include "service/command_line.h"

namespace kvx {

// Runs the program for its command line; returns the exit status.
int RunServiceHost(const std::vector<std::string>& args);

}  // namespace kvx

#endif  // KVX_SERVICE_SERVICE_HOST_H_
