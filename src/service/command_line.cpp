#include "service/command_line.h"

#include <strings.h>

namespace kvx {

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine cmd;
  for (const std::string& arg : args) {
    std::size_t skip = arg.starts_with("--")                            ? 2
                       : (arg.starts_with("-") || arg.starts_with("/")) ? 1
                                                                        : 0;
    if (skip == 0) {
      if (cmd.not_a_switch.empty())
        cmd.not_a_switch = arg.empty() ? "\"\"" : arg;
      continue;
    }
    const char* name = arg.c_str() + skip;
    if (strcasecmp(name, "INSTALL") == 0) cmd.install = true;
    if (strcasecmp(name, "UNINSTALL") == 0) cmd.uninstall = true;
    if (strcasecmp(name, "SILENT") == 0) cmd.silent = true;
    if (strcasecmp(name, "HELP") == 0) cmd.help = true;
    if (strcasecmp(name, "VERSION") == 0) cmd.version = true;
  }
  return cmd;
}

}  // namespace kvx
