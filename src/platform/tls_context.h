// The TLS context of the message listener: certificate chain, key and the
// optional client CA, loaded from PEM files and replaceable while running.
#ifndef KVX_PLATFORM_TLS_CONTEXT_H_
#define KVX_PLATFORM_TLS_CONTEXT_H_

#include <memory>
#include <string>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"

namespace asio::ssl {
class context;
}

namespace kvx {

// The three file settings, as texts (Windows-1252) exactly as read.
struct TlsSettings {
  std::string certificate;  // TLSCertificate
  std::string key;          // TLSKey
  std::string client_ca;    // TLSClientCA; empty: no client certificates
};

// True when either TLSCertificate or TLSKey is given: the listener must then
// speak TLS or not listen at all (one of the two alone is an error, never a
// reason to fall back to clear text).
bool TlsWanted(const TlsSettings& settings);

// A setting's path made absolute: as it is when it begins with '/', else
// relative to `program_directory` (a text ending in '/').
std::string ResolveProgramPath(const std::string& program_directory,
                               const std::string& path);

// The texts of OpenSSL's queued errors, joined by "; " (empty when none);
// the queue is empty after.
std::string OpenSslErrors();
// A pass phrase callback that refuses every prompt: OpenSSL would otherwise
// ask on the terminal and hang.
int RefusePassphrase(char* buf, int size, int rwflag, void* user);

// Builds a server context: TLS 1.2 and 1.3 only, the system's default
// ciphers, the certificate chain and the key (which must match); with a
// client CA, every client must present a certificate signed by it.
// Encrypted keys are refused (there is nobody to type a pass phrase).
// Throws KvxError with a text naming the setting, the file and the reason.
std::shared_ptr<asio::ssl::context> MakeServerTlsContext(
    const TlsSettings& settings, const std::string& program_directory);

// Holds the context new connections take. Each connection keeps the
// shared_ptr it took for its lifetime, so Reload never touches open
// connections. Thread-safe.
class TlsContextHolder {
 public:
  // Loads the files; throws KvxError as MakeServerTlsContext.
  TlsContextHolder(TlsSettings settings, std::string program_directory);
  TlsContextHolder(const TlsContextHolder&) = delete;
  TlsContextHolder& operator=(const TlsContextHolder&) = delete;

  // The context for a new connection.
  std::shared_ptr<asio::ssl::context> Current() const;

  // Reads the same files again into a new context for connections accepted
  // from now on. On failure throws KvxError and keeps the current one.
  void Reload();

  bool verifies_clients() const { return !settings_.client_ca.empty(); }

 private:
  const TlsSettings settings_;
  const std::string program_directory_;
  mutable Mutex mutex_;
  std::shared_ptr<asio::ssl::context> current_ GUARDED_BY(mutex_);
};

}  // namespace kvx

#endif  // KVX_PLATFORM_TLS_CONTEXT_H_
