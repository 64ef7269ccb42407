// kvx-send: sends messages to a Kavero TCP gateway and prints the replies.
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tools/arguments.h"
#include "tools/send_tool.h"

namespace {

// The whole of a message file, or of standard input for "-"; the bytes as
// they are.
bool ReadMessage(const std::string& path, std::string& message) {
  std::ostringstream bytes;
  if (path == "-") {
    bytes << std::cin.rdbuf();
  } else {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    bytes << file.rdbuf();
    if (file.bad()) return false;
  }
  message = std::move(bytes).str();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  kvx::SendOptions options;
  try {
    options = kvx::ParseSendArguments(
        std::vector<std::string>(argv + 1, argv + argc));
  } catch (const kvx::UsageError& e) {
    std::cerr << "kvx-send: " << e.what()
              << "\nTry 'kvx-send --help' for more information.\n";
    return kvx::kExitUsage;
  }
  if (options.help) {
    std::cout << kvx::kSendHelp;
    return 0;
  }
  std::vector<std::string> messages;
  if (kvx::ComposesMessage(options)) {
    messages.push_back(kvx::ComposeMessage(options));
  }
  if (messages.empty() && options.files.empty()) options.files.push_back("-");
  for (const std::string& path : options.files) {
    if (!ReadMessage(path, messages.emplace_back())) {
      std::cerr << "kvx-send: cannot read " << path << '\n';
      return kvx::kExitFailed;
    }
  }
  return kvx::SendMessages(options, messages, std::cout, std::cerr);
}
