#include "server/admission.h"

#include <utility>

namespace kvx {

std::string ClientKey(const asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6())
        .to_string();
  }
  return address.to_string();
}

ConnectionSlot::ConnectionSlot(ConnectionSlot&& other) noexcept
    : owner_(std::exchange(other.owner_, nullptr)),
      client_(std::move(other.client_)) {}

ConnectionSlot& ConnectionSlot::operator=(ConnectionSlot&& other) noexcept {
  if (this != &other) {
    Release();
    owner_ = std::exchange(other.owner_, nullptr);
    client_ = std::move(other.client_);
  }
  return *this;
}

void ConnectionSlot::Release() {
  if (owner_ == nullptr) return;
  std::exchange(owner_, nullptr)->Release(client_);
}

ConnectionLimits::Verdict ConnectionLimits::Admit(
    const asio::ip::address& client, ConnectionSlot& slot) {
  slot.Release();
  std::string key = ClientKey(client);
  MutexLock lock(mutex_);
  if (max_total_ > 0 && total_ >= max_total_) return Verdict::kTotalLimit;
  std::int32_t& count = per_client_[key];
  if (max_per_client_ > 0 && count >= max_per_client_) {
    return Verdict::kClientLimit;
  }
  ++count;
  ++total_;
  slot = ConnectionSlot(this, std::move(key));
  return Verdict::kAdmitted;
}

void ConnectionLimits::Release(const std::string& client) {
  MutexLock lock(mutex_);
  const auto it = per_client_.find(client);
  if (it == per_client_.end()) return;
  if (--it->second == 0) per_client_.erase(it);
  --total_;
}

std::int32_t ConnectionLimits::total() const {
  MutexLock lock(mutex_);
  return total_;
}

std::int32_t ConnectionLimits::of(const asio::ip::address& client) const {
  MutexLock lock(mutex_);
  const auto it = per_client_.find(ClientKey(client));
  return it == per_client_.end() ? 0 : it->second;
}

}  // namespace kvx
