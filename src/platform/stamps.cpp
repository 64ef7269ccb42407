#include "platform/stamps.h"

#include <cstdio>

namespace kvx {

std::string FileStamp(const LocalTime& t) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%02d%02d%04d%02d%02d%02d%d%d", t.day,
                t.month, t.year, t.hour, t.minute, t.second, t.month, t.second);
  return buffer;
}

std::string DatagramStamp(const LocalTime& t) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d%02d%02d%02d%02d%02d", t.year,
                t.month, t.day, t.hour, t.minute, t.second);
  return buffer;
}

}  // namespace kvx
