// The two time stamps of file names and status datagrams.
#ifndef KVX_PLATFORM_STAMPS_H_
#define KVX_PLATFORM_STAMPS_H_

#include <string>

#include "platform/clock.h"

namespace kvx {

// "ddmmyyyyhhnnss", then the month and the second again without leading
// zero: 25 May 2010 14:03:07 gives "2505201014030757". No milliseconds; not
// unique within a second and not sortable by time.
std::string FileStamp(const LocalTime& t);

// "yyyymmddhhnnss": 25 May 2010 14:03:07 gives "20100525140307".
std::string DatagramStamp(const LocalTime& t);

// Appends "hh:nn:ss" of `t`.
void AppendClockTime(std::string& out, const LocalTime& t);

}  // namespace kvx

#endif  // KVX_PLATFORM_STAMPS_H_
