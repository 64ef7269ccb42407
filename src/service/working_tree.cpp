// The working tree beside the program and the configuration template.
#include "service/working_tree.h"

#include "platform/file_system.h"
#include "platform/line_list_file.h"

namespace kvx {

LineList ConfigTemplate(const std::string& program_directory) {
  LineList lines;
  for (const char* line : {
           "<?xml version=\"1.0\" encoding=\"UTF-8\"?>",
           "<KaveroMMserver>",
           "<Timers>",
           "<HTTPTimer>10000</HTTPTimer>",
           "</Timers>",
           "<TCPServer>",
           "<Binding>127.0.0.1</Binding>",
           "<Port>9200</Port>",
           "</TCPServer>",
           "<TNCP>",
           "<Key>Morvek</Key>",
           "<TOSID>FFFFFFFFFF</TOSID>",
           "</TNCP>",
           "<Output>",
           "<OutputToFile>True</OutputToFile>",
       }) {
    lines.Add(line);
  }
  lines.Add("<OutputDirectory>" + program_directory +
            "KvxTCPIP/XML</OutputDirectory>");
  for (const char* line : {
           "</Output>",
           "<SQL>",
           "<SQLServer>127.0.0.1</SQLServer>",
           "<SQLInlognaam>sa</SQLInlognaam>",
           "<SQLPaswoord>****</SQLPaswoord>",
           "<SQLDatabase></SQLDatabase>",
           "</SQL>",
           "<Serverdata>",
           "<Verzender>kav</Verzender>",
           "<Ontvanger>kav</Ontvanger>",
           "<Protocol>CON_KV</Protocol>",
           "<Versie>1.0</Versie>",
           "</Serverdata>",
           "</KaveroMMserver>",
       }) {
    lines.Add(line);
  }
  return lines;
}

bool PrepareWorkingTree(FileSystem& files,
                        const std::string& program_directory) {
  // One level at a time, parents first; a directory that cannot be made is
  // passed over here and shows up as the failed template write below.
  for (const char* dir :
       {"KvxTCPIP", "KvxTCPIP/Logs", "KvxTCPIP/Config", "KvxTCPIP/XML"}) {
    const std::string path = program_directory + dir;
    if (!files.DirectoryExists(path)) files.CreateDirectory(path);
  }
  const std::string readme = program_directory + "KvxTCPIP/Config/readme.xml";
  if (!files.FileExists(readme)) {
    SaveLineList(files, readme, ConfigTemplate(program_directory));
  }
  const std::string config = program_directory + kConfigFileName;
  if (files.FileExists(config)) return false;
  SaveLineList(files, config, ConfigTemplate(program_directory));
  return true;
}

}  // namespace kvx
