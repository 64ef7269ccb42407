// The client allow-list: the addresses and prefixes that may connect.
#ifndef KVX_SERVER_ALLOW_LIST_H_
#define KVX_SERVER_ALLOW_LIST_H_

#include <array>
#include <asio/ip/address.hpp>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kvx {

// A set of IPv4 and IPv6 addresses and CIDR prefixes. IPv4 is kept in its
// IPv4-mapped IPv6 form (::ffff:a.b.c.d), so that "10.0.0.0/8" also admits a
// client that a dual-stack listener sees as ::ffff:10.1.2.3, and the other
// way round. Immutable after Parse; safe to read from any thread.
class AllowList {
 public:
  // No items: everyone may connect.
  AllowList() = default;

  struct ParseResult {
    bool ok = false;
    std::string bad_item;  // the first item that is not an address or prefix
  };
  // Reads a list of items separated by commas or blanks (space, tab, line
  // breaks): "192.168.1.20, 10.0.0.0/8 2001:db8::/32 ::1". A prefix length
  // is 0..32 after an IPv4 and 0..128 after an IPv6 address; bits beyond it
  // are ignored. Zone indices ("fe80::1%eth0") are refused. On failure the
  // list is left empty and `bad_item` names the offending item.
  ParseResult Parse(std::string_view text);

  // True when no item was read; the check is then off.
  bool empty() const { return ranges_.empty(); }
  std::size_t size() const { return ranges_.size(); }

  // True when the list is empty or one of its items holds `address`.
  bool Allows(const asio::ip::address& address) const;

 private:
  struct Range {
    std::array<std::uint8_t, 16> bytes;
    int prefix;  // in bits of the IPv6 form
  };
  std::vector<Range> ranges_;
};

}  // namespace kvx

#endif  // KVX_SERVER_ALLOW_LIST_H_
