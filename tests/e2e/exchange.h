// Frames and replies as a client of the message server builds and reads
// them, for the end-to-end tests. The codec is written here on its own, so
// the tests do not check the service with its own code.
#ifndef KVX_TESTS_E2E_EXCHANGE_H_
#define KVX_TESTS_E2E_EXCHANGE_H_

#include <optional>
#include <string>
#include <string_view>

#include "e2e/loopback.h"

namespace kvx::e2e {

inline constexpr char kNak = '\x15';

// A message of `type` with `tag`, a sender and a receiver, on one line.
std::string Message(std::string_view tag, std::string_view type);
// The ACK the service answers a message with `tag` with under the template's
// settings (its own sender and receiver, protocol CON_KV, version 1.0).
std::string AckMessage(std::string_view tag);
// SOH, the decimal length of the base64 payload, STX, the payload, EOT.
std::string Frame(std::string_view message);

// One reply read from the connection: the NAK byte or a frame.
struct Reply {
  bool nak = false;
  std::string message;  // the decoded envelope of a frame
  // The envelope's type and tag attributes ("" when absent).
  std::string Type() const;
  std::string Tag() const;
};

// The next reply, or nullopt when none arrives in time, the connection ends
// or the bytes are neither NAK nor a well-formed frame.
std::optional<Reply> ReadReply(TcpClient& client,
                               milliseconds timeout = kTimeout);

// The value of the first attribute `name="` in `text` up to its closing
// quote; "" when there is none.
std::string Attribute(std::string_view text, std::string_view name);

}  // namespace kvx::e2e

#endif  // KVX_TESTS_E2E_EXCHANGE_H_
