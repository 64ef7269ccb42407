#include "status/xor_cipher.h"

#include <utility>

namespace kvx {

void XorTransform(std::span<char> buffer, std::string_view key) noexcept {
  if (key.empty()) return;
  std::size_t k = 0;
  for (char& byte : buffer) {
    byte = static_cast<char>(byte ^ key[k]);
    if (++k == key.size()) k = 0;
  }
}

void TXORCipher::SetDecoded(std::string_view plain) {
  std::string work(plain);
  XorTransform(work, FKey);
  FDecoded.assign(plain);
  FEncoded = std::move(work);
}

}  // namespace kvx
