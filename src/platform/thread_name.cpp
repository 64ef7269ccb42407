#include "platform/thread_name.h"

#include <pthread.h>

#include <algorithm>
#include <cstring>

namespace kvx {

void SetThreadName(std::string_view name) noexcept {
  constexpr std::size_t kMaxName = 15;  // the kernel's 16 bytes less the NUL
  char text[kMaxName + 1] = {};
  std::memcpy(text, name.data(), std::min(name.size(), kMaxName));
  pthread_setname_np(pthread_self(), text);
}

}  // namespace kvx
