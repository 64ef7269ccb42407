// Admission of new connections under the limits in total and per client.
#ifndef KVX_SERVER_ADMISSION_H_
#define KVX_SERVER_ADMISSION_H_

#include <asio/ip/address.hpp>
#include <cstdint>
#include <map>
#include <string>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"

namespace kvx {

class ConnectionLimits;

// The place of one admitted connection; gives it back when destroyed or
// moved from. Move-only. The ConnectionLimits it came from must outlive it.
class ConnectionSlot {
 public:
  ConnectionSlot() = default;
  ~ConnectionSlot() { Release(); }
  ConnectionSlot(ConnectionSlot&& other) noexcept;
  ConnectionSlot& operator=(ConnectionSlot&& other) noexcept;
  ConnectionSlot(const ConnectionSlot&) = delete;
  ConnectionSlot& operator=(const ConnectionSlot&) = delete;

  bool held() const { return owner_ != nullptr; }
  // Gives the place back now; nothing when not held.
  void Release();

 private:
  friend class ConnectionLimits;
  ConnectionSlot(ConnectionLimits* owner, std::string client)
      : owner_(owner), client_(std::move(client)) {}

  ConnectionLimits* owner_ = nullptr;
  std::string client_;
};

// Counts the open connections, in total and per source address, against
// MaxConnections and MaxConnectionsPerClient (0: no limit). An IPv4-mapped
// IPv6 address counts as its IPv4 address. Thread-safe.
class ConnectionLimits {
 public:
  enum class Verdict { kAdmitted, kTotalLimit, kClientLimit };

  ConnectionLimits(std::int32_t max_total, std::int32_t max_per_client)
      : max_total_(max_total), max_per_client_(max_per_client) {}
  ConnectionLimits(const ConnectionLimits&) = delete;
  ConnectionLimits& operator=(const ConnectionLimits&) = delete;

  // Takes a place for a new connection from `client` when both limits allow
  // it; `slot` then holds it. Otherwise `slot` is left empty and the verdict
  // says which limit was reached (the total one when both are).
  Verdict Admit(const asio::ip::address& client, ConnectionSlot& slot);

  std::int32_t total() const;
  std::int32_t of(const asio::ip::address& client) const;

 private:
  friend class ConnectionSlot;
  void Release(const std::string& client);

  const std::int32_t max_total_;
  const std::int32_t max_per_client_;
  mutable Mutex mutex_;
  std::int32_t total_ GUARDED_BY(mutex_) = 0;
  std::map<std::string, std::int32_t> per_client_ GUARDED_BY(mutex_);
};

// The key of a client address in counts and entries: IPv4 in dotted form
// (also for an IPv4-mapped IPv6 address), IPv6 in its canonical form.
std::string ClientKey(const asio::ip::address& address);

}  // namespace kvx

#endif  // KVX_SERVER_ADMISSION_H_
