// The running program file and its directory.
#ifndef KVX_PLATFORM_PROGRAM_H_
#define KVX_PLATFORM_PROGRAM_H_

#include <string>

namespace kvx {

// Full path of the running program (/proc/self/exe, links resolved), as a
// text (Windows-1252).
std::string ProgramPath();
// Its directory, ending in '/'.
std::string ProgramDirectory();

}  // namespace kvx

#endif  // KVX_PLATFORM_PROGRAM_H_
