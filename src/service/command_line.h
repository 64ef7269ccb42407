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
  // The first argument that is not a switch, if any: the program then
  // refuses to run (a bare "INSTALL" must not start the gateway).
  std::string not_a_switch;
};

// A switch begins with "/", "-" or "--"; its name is compared without regard
// to case and position does not matter. Switches of other names are ignored.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

}  // namespace kvx

#endif  // KVX_SERVICE_COMMAND_LINE_H_
