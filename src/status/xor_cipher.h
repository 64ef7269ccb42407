// The repeating-key XOR cipher of the status datagrams.
#ifndef KVX_STATUS_XOR_CIPHER_H_
#define KVX_STATUS_XOR_CIPHER_H_

#include <span>
#include <string>
#include <string_view>

namespace kvx {

// Transforms `buffer` in place: byte i becomes byte i XOR key[i mod key
// length], the key starting again at its first byte for every buffer. An
// empty key or buffer leaves the buffer unchanged. Enciphering and
// deciphering are the same operation, so a receiver of the datagrams uses
// this function too.
void XorTransform(std::span<char> buffer, std::string_view key) noexcept;

// The cipher component XORCipher1 of the service module: set the key, assign
// the plain text, read the enciphered bytes. All three are byte strings with
// an explicit length; the enciphered text may hold zero bytes.
// Not thread-safe: used by the status sender on the service thread only.
class TXORCipher {
 public:
  TXORCipher() = default;
  TXORCipher(const TXORCipher&) = delete;
  TXORCipher& operator=(const TXORCipher&) = delete;

  const std::string& Key() const { return FKey; }
  void SetKey(std::string_view key) { FKey.assign(key); }

  // The last plain text assigned.
  const std::string& Decoded() const { return FDecoded; }
  // Stores `plain` and enciphers it with the current key into Encoded(),
  // which then has exactly as many bytes as `plain`.
  void SetDecoded(std::string_view plain);

  const std::string& Encoded() const { return FEncoded; }

 private:
  std::string FKey;
  std::string FDecoded;
  std::string FEncoded;
};

}  // namespace kvx

#endif  // KVX_STATUS_XOR_CIPHER_H_
