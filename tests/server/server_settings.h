// The settings of the configuration template, with archives in a test
// directory.
#ifndef KVX_TESTS_SERVER_SERVER_SETTINGS_H_
#define KVX_TESTS_SERVER_SERVER_SETTINGS_H_

#include <string>

#include "core/settings.h"

namespace kvx {

inline Settings TemplateSettings(const std::string& output_directory) {
  Settings settings;
  settings.FVersie = "1.0";
  settings.FProtocol = "CON_KV";
  settings.FVerzender = "kav";
  settings.FOntvanger = "kav";
  settings.FOutputToFile = "True";
  settings.FOutputDirectory = output_directory;
  return settings;
}

}  // namespace kvx

#endif  // KVX_TESTS_SERVER_SERVER_SETTINGS_H_
