// Line lists saved to and loaded from files.
#ifndef KVX_PLATFORM_LINE_LIST_FILE_H_
#define KVX_PLATFORM_LINE_LIST_FILE_H_

#include <string>
#include <string_view>

#include "core/line_list.h"

namespace kvx {

class FileSystem;

// Saves the joined text (Windows-1252, no byte-order mark), creating or
// truncating the file. Throws KvxError "Cannot create file ...".
void SaveLineList(FileSystem& files, const std::string& path,
                  const LineList& list);

// Saves the line list set from `data` as SaveLineList does, without
// building the list.
void SaveLineListText(FileSystem& files, const std::string& path,
                      std::string_view data);

// Loads a file, decoding it by its byte-order mark (core/codepage.h). Throws
// KvxError "Cannot open file ...".
LineList LoadLineList(FileSystem& files, const std::string& path);

}  // namespace kvx

#endif  // KVX_PLATFORM_LINE_LIST_FILE_H_
