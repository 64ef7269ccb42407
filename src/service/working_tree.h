// The working tree beside the program and its configuration template.
#ifndef KVX_SERVICE_WORKING_TREE_H_
#define KVX_SERVICE_WORKING_TREE_H_

#include <string>

#include "core/line_list.h"

namespace kvx {

class FileSystem;

inline constexpr char kConfigFileName[] = "KvxTCPConfig.xml";

// The 30 template lines; line 16 names `program_directory` + "KvxTCPIP/XML".
LineList ConfigTemplate(const std::string& program_directory);

// Creates the missing directories KvxTCPIP, KvxTCPIP/Logs, KvxTCPIP/Config,
// KvxTCPIP/XML (silently passing over failures), writes
// KvxTCPIP/Config/readme.xml and KvxTCPConfig.xml from the template when
// absent. Returns true when it wrote KvxTCPConfig.xml. Throws KvxError
// "Cannot create file ..." when a template cannot be written.
bool PrepareWorkingTree(FileSystem& files,
                        const std::string& program_directory);

}  // namespace kvx

#endif  // KVX_SERVICE_WORKING_TREE_H_
