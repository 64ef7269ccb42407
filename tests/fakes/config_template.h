// The configuration template as the service writes it on its first start,
// written out by hand here so the tests check the service's text against an
// expected copy and not against itself.
#ifndef KVX_TESTS_FAKES_CONFIG_TEMPLATE_H_
#define KVX_TESTS_FAKES_CONFIG_TEMPLATE_H_

#include <string>
#include <string_view>

namespace kvx {

// The 30 lines of the template for `program_directory` (ending in '/'; its
// bytes are copied as they are), each ended by CR LF.
std::string TemplateText(std::string_view program_directory);

}  // namespace kvx

#endif  // KVX_TESTS_FAKES_CONFIG_TEMPLATE_H_
