// What the gateway reads from a message and the reply envelopes it builds:
// plain text search and plain joining, no XML parsing.
#ifndef KVX_CORE_MESSAGE_TEXTS_H_
#define KVX_CORE_MESSAGE_TEXTS_H_

#include <string>
#include <string_view>

namespace kvx {

struct Settings;

// The text after the first `type="` up to the next double quote (the rest of
// the text when there is none); empty when the marker is absent.
std::string ExtractMsgType(std::string_view message);
// The same for the marker `<MSG tag="`.
std::string ExtractMsgTag(std::string_view message);

// The two reply envelopes, every line ended by CR LF; values are inserted
// unchanged, without escaping.
std::string InfReply(std::string_view tag, std::string_view versie,
                     std::string_view receiver, std::string_view sender);
std::string AckReply(std::string_view tag, const Settings& settings);

}  // namespace kvx

#endif  // KVX_CORE_MESSAGE_TEXTS_H_
