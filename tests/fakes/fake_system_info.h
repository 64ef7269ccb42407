// System information whose values the test sets; counts the queries.
#ifndef KVX_TESTS_FAKES_FAKE_SYSTEM_INFO_H_
#define KVX_TESTS_FAKES_FAKE_SYSTEM_INFO_H_

#include <cstdint>
#include <string>

#include "platform/system_info.h"

namespace kvx {

// Defaults are the figures of a typical status record:
// #2097024#1802240#1047532#524288#5.1#50#... on a computer named server1.
class FakeSystemInfo final : public SystemInfo {
 public:
  std::uint64_t MemVirtTotal() override { return Count(virt_total); }
  std::uint64_t MemVirtFree() override { return Count(virt_free); }
  std::uint64_t MemPhysTotal() override { return Count(phys_total); }
  std::uint64_t MemPhysFree() override { return Count(phys_free); }
  std::string VersionWIN() override { return Count(version); }
  std::string MemoryLoaded() override { return Count(load); }
  std::string Computername() override { return Count(name); }

  std::uint64_t virt_total = 2097024;
  std::uint64_t virt_free = 1802240;
  std::uint64_t phys_total = 1047532;
  std::uint64_t phys_free = 524288;
  std::string version = "5.1";
  std::string load = "50 %";
  std::string name = "server1";
  int queries = 0;  // reads of any value so far

 private:
  template <typename T>
  T Count(const T& value) {
    ++queries;
    return value;
  }
};

}  // namespace kvx

#endif  // KVX_TESTS_FAKES_FAKE_SYSTEM_INFO_H_
