// A datagram socket that records what would have been broadcast and fails
// at a step the test chooses.
#ifndef KVX_TESTS_FAKES_FAKE_UDP_BROADCASTER_H_
#define KVX_TESTS_FAKES_FAKE_UDP_BROADCASTER_H_

#include <string>
#include <string_view>
#include <vector>

#include "platform/udp_broadcaster.h"

namespace kvx {

class FakeUdpBroadcaster final : public UdpBroadcaster {
 public:
  enum class Step { kNone, kOpen, kBroadcastOn, kSend, kBroadcastOff };

  struct Datagram {
    std::string payload;
    Ipv4Endpoint to;
    int socket = 0;          // 1 for the first socket opened, 2 for the next
    bool broadcast = false;  // permission at the moment of sending
  };

  bool Open() override {
    if (fail_at == Step::kOpen) return false;
    if (open_) ++opened_while_open;
    open_ = true;
    broadcast_ = false;
    ++sockets_opened;
    return true;
  }
  bool SetBroadcast(bool on) override {
    if (!open_ || fail_at == (on ? Step::kBroadcastOn : Step::kBroadcastOff))
      return false;
    broadcast_ = on;
    return true;
  }
  bool SendTo(std::string_view payload, const Ipv4Endpoint& to) override {
    if (!open_ || fail_at == Step::kSend) return false;
    sent.push_back({std::string(payload), to, sockets_opened, broadcast_});
    return true;
  }
  void Close() override {
    open_ = false;
    broadcast_ = false;
  }

  bool is_open() const { return open_; }
  bool broadcast() const { return broadcast_; }

  Step fail_at = Step::kNone;
  std::vector<Datagram> sent;
  int sockets_opened = 0;
  int opened_while_open = 0;  // opens while the previous socket was open

 private:
  bool open_ = false;
  bool broadcast_ = false;
};

}  // namespace kvx

#endif  // KVX_TESTS_FAKES_FAKE_UDP_BROADCASTER_H_
