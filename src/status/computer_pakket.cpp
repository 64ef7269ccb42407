#include "status/computer_pakket.h"

#include <cstdio>

namespace kvx {
namespace {

// Every occurrence of `what` removed from `text`.
std::string RemoveAll(std::string text, std::string_view what) {
  for (std::size_t pos = text.find(what); pos != std::string::npos;
       pos = text.find(what, pos))
    text.erase(pos, what.size());
  return text;
}

}  // namespace

std::string ComputerPakket(SystemInfo& info, std::string_view program_version) {
  // Separate statements keep the order of the queries fixed.
  std::string record = "#" + std::to_string(info.MemVirtTotal());
  record += "#" + std::to_string(info.MemVirtFree());
  record += "#" + std::to_string(info.MemPhysTotal());
  record += "#" + std::to_string(info.MemPhysFree());
  record += "#" + info.VersionWIN();
  record += "#" + RemoveAll(info.MemoryLoaded(), " %");
  record += "#V1.0#";
  record += program_version;
  record += "#1#";
  return record;
}

std::string GetVersionString() {
  char text[64];
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", KVX_VERSION_MAJOR,
                KVX_VERSION_MINOR, KVX_VERSION_PATCH, KVX_VERSION_TWEAK);
  return text;
}

}  // namespace kvx
