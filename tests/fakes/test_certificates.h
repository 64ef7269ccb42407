// Certificates for TLS tests, made with the openssl command in a temporary
// directory: a CA, a server certificate it signed for 127.0.0.1, ::1 and
// localhost, a client certificate it signed, and a second CA with a client
// certificate of its own (one the first CA does not know).
#ifndef KVX_TESTS_FAKES_TEST_CERTIFICATES_H_
#define KVX_TESTS_FAKES_TEST_CERTIFICATES_H_

#include <string>

#include "fakes/temp_dir.h"

namespace kvx {

// Throws std::runtime_error when openssl fails. Each file is PEM; keys are
// unencrypted P-256 keys, valid for two days.
class TestCertificates {
 public:
  TestCertificates();
  TestCertificates(const TestCertificates&) = delete;
  TestCertificates& operator=(const TestCertificates&) = delete;

  const std::string& dir() const { return dir_.path(); }
  std::string Path(const std::string& name) const {
    return dir_.path() + "/" + name;
  }

  // Files made by the constructor.
  std::string ca() const { return Path("ca.pem"); }
  std::string server_cert() const { return Path("server.pem"); }
  std::string server_key() const { return Path("server.key"); }
  std::string client_cert() const { return Path("client.pem"); }
  std::string client_key() const { return Path("client.key"); }
  std::string other_ca() const { return Path("other_ca.pem"); }
  std::string other_client_cert() const { return Path("other_client.pem"); }
  std::string other_client_key() const { return Path("other_client.key"); }

  // Makes <name>.pem and <name>.key: a server certificate signed by the CA
  // with the common name `common_name` (for renewals: a new serial and key).
  void MakeServer(const std::string& name, const std::string& common_name);
  // Makes <name>.pem and <name>.key: a client certificate signed by `ca`
  // ("ca" or "other_ca").
  void MakeClient(const std::string& name, const std::string& ca,
                  const std::string& common_name);
  // Makes <name>.pem (a self-signed CA) and <name>.key.
  void MakeCA(const std::string& name, const std::string& common_name);

  // The subject's common name of a PEM certificate file.
  static std::string CommonName(const std::string& pem_file);

 private:
  TempDir dir_{"kvx-certs"};
};

}  // namespace kvx

#endif  // KVX_TESTS_FAKES_TEST_CERTIFICATES_H_
