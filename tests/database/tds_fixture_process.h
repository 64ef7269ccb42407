// Runs tds_fixture.py (the TDS login stand-in) as a child process for one
// test and reads back the logins it recorded.
#ifndef KVX_TESTS_DATABASE_TDS_FIXTURE_PROCESS_H_
#define KVX_TESTS_DATABASE_TDS_FIXTURE_PROCESS_H_

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "core/codepage.h"

namespace kvx {

// One login record: user, password, database, server, app, host (texts).
using TdsLogin = std::map<std::string, std::string>;

class TdsFixtureProcess {
 public:
  // `mode`: accept, refuse or silent. port() is 0 when the start failed.
  explicit TdsFixtureProcess(const std::string& mode) {
    static std::atomic<int> counter{0};
    record_ = std::filesystem::temp_directory_path() /
              ("kvx_tds_" + std::to_string(getpid()) + "_" +
               std::to_string(counter++) + ".jsonl");
    std::filesystem::remove(record_);
    const std::string script = KVX_TESTS_DIR "/database/tds_fixture.py";
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      close(out[1]);
      execlp("python3", "python3", script.c_str(), "--mode", mode.c_str(),
             "--record", record_.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    port_ = std::atoi(line.c_str());
  }
  TdsFixtureProcess(const TdsFixtureProcess&) = delete;
  TdsFixtureProcess& operator=(const TdsFixtureProcess&) = delete;
  ~TdsFixtureProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    std::filesystem::remove(record_);
  }

  int port() const { return port_; }

  // The logins received so far, in order.
  std::vector<TdsLogin> Logins() const {
    std::vector<TdsLogin> logins;
    std::ifstream in(record_);
    std::string line;
    while (std::getline(in, line)) logins.push_back(ParseRecord(line));
    return logins;
  }

 private:
  // Reads the flat JSON object the fixture writes: string values only,
  // ASCII with \uXXXX escapes; values become Windows-1252 texts.
  static TdsLogin ParseRecord(const std::string& line) {
    TdsLogin login;
    std::size_t i = 0;
    std::vector<std::string> strings;
    while ((i = line.find('"', i)) != std::string::npos) {
      std::string text;
      for (++i; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] != '\\') {
          text += line[i];
          continue;
        }
        const char e = line[++i];
        if (e == 'u') {
          const auto cp = static_cast<char32_t>(
              std::stoul(line.substr(i + 1, 4), nullptr, 16));
          text += cp == 0 ? '\0' : CodePointToCp1252(cp);
          i += 4;
        } else {
          text += e == 'n' ? '\n' : e == 't' ? '\t' : e;
        }
      }
      ++i;
      strings.push_back(text);
    }
    for (std::size_t k = 0; k + 1 < strings.size(); k += 2) {
      login[strings[k]] = strings[k + 1];
    }
    return login;
  }

  std::filesystem::path record_;
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace kvx

#endif  // KVX_TESTS_DATABASE_TDS_FIXTURE_PROCESS_H_
