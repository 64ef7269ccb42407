// kvx-send: the options, the composed message and the reading of replies of
// the message sender.
#ifndef KVX_TOOLS_SEND_TOOL_H_
#define KVX_TOOLS_SEND_TOOL_H_

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvx {

struct SendOptions {
  std::string host = "127.0.0.1";
  std::uint16_t port = 9200;
  std::chrono::milliseconds timeout{5000};  // connect, and each reply
  bool hex = false;
  // TLS: verify the gateway by `ca` (empty: the system's CAs) and present
  // `cert` with `key` when given (UTF-8 paths).
  bool tls = false;
  std::string ca, cert, key;
  bool help = false;
  // The parts of a composed message (Windows-1252); a message is composed
  // when any of them is given.
  std::optional<std::string> type, tag, sender, receiver, body;
  // Message files in sending order; "-" is standard input.
  std::vector<std::string> files;
};

extern const char kSendHelp[];

// Exit statuses.
inline constexpr int kExitAnswered = 0;  // every reply INF or ACK
inline constexpr int kExitFailed = 1;    // connection, timeout, bad reply
inline constexpr int kExitRefused = 2;   // a NAK among the replies

// Throws UsageError; refuses a tag or type holding a double quote, which
// would end the attribute early, --ca, --cert or --key without --tls, and
// --cert without --key or the other way round.
SendOptions ParseSendArguments(const std::vector<std::string>& args);

bool ComposesMessage(const SendOptions& options);
// <MSG tag="T" type="Y"><Verzender>S</Verzender><Ontvanger>R</Ontvanger>B</MSG>
// The type defaults to COM; a part not given is left out (no tag: the
// gateway refuses the message). Values go in unchanged, as the gateway
// copies them.
std::string ComposeMessage(const SendOptions& options);

// What the bytes received so far begin with.
struct Reply {
  enum class Kind {
    kIncomplete,  // nothing yet, or a frame without its EOT
    kNak,         // the refusal byte
    kFrame,       // a whole frame, decoded into `message`
    kUnexpected,  // anything else: not a reply of the gateway
  };
  Kind kind = Kind::kIncomplete;
  std::size_t size = 0;  // bytes of `received` that make the reply
  std::string message;
};
Reply ScanReply(std::string_view received);

// Sends `messages` in order on one connection, each framed as the gateway
// frames its replies, reading each reply before the next is sent. Prints
// each reply's text (or its bytes in hex) on `out`, failures and refusals on
// `err`. Returns kExitFailed at the first failure, else kExitRefused when
// any reply was NAK, else kExitAnswered.
int SendMessages(const SendOptions& options,
                 const std::vector<std::string>& messages, std::ostream& out,
                 std::ostream& err);

}  // namespace kvx

#endif  // KVX_TOOLS_SEND_TOOL_H_
