#include "fakes/test_certificates.h"

#include <stdio.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace kvx {
namespace {

// Runs a shell command; its output is kept out of the test's log unless it
// fails.
void Run(const std::string& command) {
  const std::string full = command + " >/dev/null 2>&1";
  if (std::system(full.c_str()) != 0) {
    throw std::runtime_error("failed: " + command);
  }
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

}  // namespace

TestCertificates::TestCertificates() {
  MakeCA("ca", "Kavero test CA");
  MakeServer("server", "kvx-test-server");
  MakeClient("client", "ca", "kvx-test-client");
  MakeCA("other_ca", "Another test CA");
  MakeClient("other_client", "other_ca", "kvx-other-client");
}

void TestCertificates::MakeCA(const std::string& name,
                              const std::string& common_name) {
  Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
      "-nodes -days 2 -subj " +
      Quote("/CN=" + common_name) + " -keyout " + Quote(Path(name + ".key")) +
      " -out " + Quote(Path(name + ".pem")));
}

void TestCertificates::MakeServer(const std::string& name,
                                  const std::string& common_name) {
  const std::string ext = Path(name + ".ext");
  std::ofstream(ext) << "subjectAltName=IP:127.0.0.1,IP:::1,DNS:localhost\n"
                        "extendedKeyUsage=serverAuth\n";
  Run("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
      "-nodes -subj " +
      Quote("/CN=" + common_name) + " -keyout " + Quote(Path(name + ".key")) +
      " -out " + Quote(Path(name + ".csr")));
  Run("openssl x509 -req -days 2 -in " + Quote(Path(name + ".csr")) + " -CA " +
      Quote(ca()) + " -CAkey " + Quote(Path("ca.key")) +
      " -CAcreateserial -extfile " + Quote(ext) + " -out " +
      Quote(Path(name + ".pem")));
}

void TestCertificates::MakeClient(const std::string& name,
                                  const std::string& ca,
                                  const std::string& common_name) {
  const std::string ext = Path(name + ".ext");
  std::ofstream(ext) << "extendedKeyUsage=clientAuth\n";
  Run("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
      "-nodes -subj " +
      Quote("/CN=" + common_name) + " -keyout " + Quote(Path(name + ".key")) +
      " -out " + Quote(Path(name + ".csr")));
  Run("openssl x509 -req -days 2 -in " + Quote(Path(name + ".csr")) + " -CA " +
      Quote(Path(ca + ".pem")) + " -CAkey " + Quote(Path(ca + ".key")) +
      " -CAcreateserial -extfile " + Quote(ext) + " -out " +
      Quote(Path(name + ".pem")));
}

std::string TestCertificates::CommonName(const std::string& pem_file) {
  const std::string command =
      "openssl x509 -noout -subject -nameopt "
      "multiline -in " +
      Quote(pem_file) + " 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("popen failed");
  std::string out;
  std::array<char, 256> buf{};
  while (std::fgets(buf.data(), buf.size(), pipe) != nullptr) out += buf.data();
  ::pclose(pipe);
  const std::string key = "commonName";
  const std::size_t at = out.find(key);
  if (at == std::string::npos) return {};
  std::size_t start = out.find("= ", at);
  if (start == std::string::npos) return {};
  start += 2;
  const std::size_t end = out.find('\n', start);
  return out.substr(start, end - start);
}

}  // namespace kvx
