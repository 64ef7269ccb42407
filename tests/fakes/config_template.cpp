#include "fakes/config_template.h"

namespace kvx {

std::string TemplateText(std::string_view program_directory) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
         "<KaveroMMserver>\r\n"
         "<Timers>\r\n"
         "<HTTPTimer>10000</HTTPTimer>\r\n"
         "</Timers>\r\n"
         "<TCPServer>\r\n"
         "<Binding>127.0.0.1</Binding>\r\n"
         "<Port>9200</Port>\r\n"
         "</TCPServer>\r\n"
         "<TNCP>\r\n"
         "<Key>Morvek</Key>\r\n"
         "<TOSID>FFFFFFFFFF</TOSID>\r\n"
         "</TNCP>\r\n"
         "<Output>\r\n"
         "<OutputToFile>True</OutputToFile>\r\n"
         "<OutputDirectory>" +
         std::string(program_directory) +
         "KvxTCPIP/XML</OutputDirectory>\r\n"
         "</Output>\r\n"
         "<SQL>\r\n"
         "<SQLServer>127.0.0.1</SQLServer>\r\n"
         "<SQLInlognaam>sa</SQLInlognaam>\r\n"
         "<SQLPaswoord>****</SQLPaswoord>\r\n"
         "<SQLDatabase></SQLDatabase>\r\n"
         "</SQL>\r\n"
         "<Serverdata>\r\n"
         "<Verzender>kav</Verzender>\r\n"
         "<Ontvanger>kav</Ontvanger>\r\n"
         "<Protocol>CON_KV</Protocol>\r\n"
         "<Versie>1.0</Versie>\r\n"
         "</Serverdata>\r\n"
         "</KaveroMMserver>\r\n";
}

}  // namespace kvx
