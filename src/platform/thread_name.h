// Names of the program's own threads, as ps, top and the journal show them.
#ifndef KVX_PLATFORM_THREAD_NAME_H_
#define KVX_PLATFORM_THREAD_NAME_H_

#include <string_view>

namespace kvx {

// Names the calling thread. The system keeps at most 15 bytes; a longer
// name is cut. A name the system refuses is passed over: the name only
// helps the operator, it changes nothing in the work.
void SetThreadName(std::string_view name) noexcept;

}  // namespace kvx

#endif  // KVX_PLATFORM_THREAD_NAME_H_
