#include "e2e/http_peers.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

extern char** environ;

namespace kvx::e2e {

HttpResponse HttpRequest(std::uint16_t port, const std::string& method,
                         const std::string& target) {
  HttpResponse r;
  TcpClient client(port);
  if (!client.connected()) return r;
  client.Send(method + " " + target +
              " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
  std::string all;
  client.WaitForClose(kTimeout, &all);
  const std::size_t end = all.find("\r\n\r\n");
  if (all.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos) return r;
  r.status = std::atoi(all.c_str() + 9);
  r.head = all.substr(0, end + 2);
  r.body = all.substr(end + 4);
  return r;
}

std::map<std::string, std::string> Samples(const std::string& exposition) {
  std::map<std::string, std::string> samples;
  std::istringstream in(exposition);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t space = line.rfind(' ');
    samples[line.substr(0, space)] = line.substr(space + 1);
  }
  return samples;
}

std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const std::string candidate = dir + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

ChildProcess::ChildProcess(const std::vector<std::string>& args,
                           const std::string& log) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) !=
      0) {
    pid_ = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
}

ChildProcess::~ChildProcess() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  for (int i = 0; i < 250; ++i) {
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

}  // namespace kvx::e2e
