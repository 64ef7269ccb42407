// Fuzzes the PROXY header parser as a connection drives it: the input
// arrives in pieces (the first byte chooses the piece sizes) and the parser
// is asked again after each one. Whatever the split, the answers must agree
// with the answer for the whole input, a kDone or kBad must never change
// once given, and a whole header must never claim bytes it was not shown.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "server/proxy_header.h"

namespace {

using kvx::ProxyHeader;
using Parse = ProxyHeader::Parse;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

bool Same(const ProxyHeader& a, const ProxyHeader& b) {
  return a.parse == b.parse && a.reason == b.reason && a.length == b.length &&
         a.keep_peer == b.keep_peer && (a.keep_peer || a.source == b.source);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size == 0) return 0;
  const unsigned seed = data[0];
  const std::string_view input(reinterpret_cast<const char*>(data) + 1,
                               size - 1);
  const ProxyHeader whole = kvx::ParseProxyHeader(input);
  if (whole.parse == Parse::kDone) {
    Check(whole.length > 0 && whole.length <= input.size(),
          "a header lies within the bytes shown");
    Check(whole.length <= kvx::kProxyV2FixedLength + 65535,
          "a header is at most 16 + 65535 bytes");
    // The bytes after the header do not change it.
    Check(Same(kvx::ParseProxyHeader(input.substr(0, whole.length)), whole),
          "the header alone reads the same");
  }
  Check((whole.parse == Parse::kBad) == !whole.reason.empty(),
        "a reason exactly with kBad");

  // Pieces of 1 to 16 bytes, sizes drawn from the seed.
  std::size_t shown = 0;
  unsigned state = seed | 1u;
  bool settled = false;
  ProxyHeader first_final;
  while (shown < input.size()) {
    state = state * 1103515245u + 12345u;
    shown = std::min(input.size(), shown + 1 + ((state >> 16) % 16));
    const ProxyHeader part = kvx::ParseProxyHeader(input.substr(0, shown));
    if (settled) {
      Check(Same(part, first_final), "a final answer never changes");
      continue;
    }
    if (part.parse != Parse::kNeedMore) {
      settled = true;
      first_final = part;
      Check(Same(part, whole), "the first final answer is the whole one");
    }
  }
  if (!settled) {
    Check(whole.parse == Parse::kNeedMore, "no answer before the end");
  }
  return 0;
}
