// The switches of the program's command line.
#ifndef KVX_SERVICE_COMMAND_LINE_H_
#define KVX_SERVICE_COMMAND_LINE_H_

#include <string>
#include <vector>

namespace kvx {

struct CommandLine {
  bool install = false;
  bool uninstall = false;
  bool silent = false;
  bool help = false;
  bool version = false;
};

// A switch begins with "/", "-" or "--"; its name is compared without regard
// to case; position does not matter and other arguments are ignored.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

}  // namespace kvx

#endif  // KVX_SERVICE_COMMAND_LINE_H_
