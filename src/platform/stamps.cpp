#include "platform/stamps.h"

#include <cstdio>

#include "core/digits.h"

namespace kvx {

// "%02d%02d%04d%02d%02d%02d%d%d": day, month, year, hour, minute, second,
// then the month and the second again unpadded.
std::string FileStamp(const LocalTime& t) {
  std::string stamp;
  stamp.reserve(24);
  AppendPadded(stamp, t.day, 2);
  AppendPadded(stamp, t.month, 2);
  AppendPadded(stamp, t.year, 4);
  AppendPadded(stamp, t.hour, 2);
  AppendPadded(stamp, t.minute, 2);
  AppendPadded(stamp, t.second, 2);
  AppendPadded(stamp, t.month);
  AppendPadded(stamp, t.second);
  return stamp;
}

void AppendClockTime(std::string& out, const LocalTime& t) {
  AppendPadded(out, t.hour, 2);
  out += ':';
  AppendPadded(out, t.minute, 2);
  out += ':';
  AppendPadded(out, t.second, 2);
}

std::string DatagramStamp(const LocalTime& t) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d%02d%02d%02d%02d%02d", t.year,
                t.month, t.day, t.hour, t.minute, t.second);
  return buffer;
}

}  // namespace kvx
