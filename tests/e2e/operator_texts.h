// The service's operator texts as the end-to-end tests expect them in the
// event log: UTF-8, as the JSON sink writes them. Written out here, apart from
// the service's own constants, so the tests do not check it against itself.
#ifndef KVX_TESTS_E2E_OPERATOR_TEXTS_H_
#define KVX_TESTS_E2E_OPERATOR_TEXTS_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace kvx::e2e {

inline constexpr char kInstalled[] =
    "Kavero TCP/IP server werd met succes ge\xC3\xAFnstalleerd";
inline constexpr char kInstalledConfig[] =
    "Kavero TCP/IP server werd met succes ge\xC3\xAFnstalleerd "
    "(KvxTCPConfig.xml)";
inline constexpr char kUninstalled[] =
    "De installatie van Kavero TCP/IP server werd verwijderd";
inline constexpr char kStarted[] = "Kavero TCP/IP server werd normaal gestart";
inline constexpr char kStopped[] = "Kavero TCP/IP server werd normaal gestopt";
inline constexpr char kPaused[] =
    "Kavero TCP/IP server werd onderbroken door pauze actie";
inline constexpr char kContinued[] =
    "Kavero TCP/IP server werd na een pauze gestart";
inline constexpr char kShutdown[] =
    "Kavero TCP/IP server werd gestopt wegens het afsluiten van de computer";
inline constexpr char kBindFailure[] =
    "Could not bind socket. Address and port are already in use.";
// The error entry of a configuration whose Port is 0: no listener.
inline constexpr char kPortZero[] =
    "Poort 0 ligt buiten 1..65535; Kavero TCP/IP server luistert niet";
// The start of the entry for each frame received with a length field.
inline constexpr char kReceived[] = "Pakket ontvangen met lengte van: ";

// The entry of a listener that started on `binding` and `port`.
inline std::string ListenerStartedText(std::string_view binding,
                                       std::uint16_t port) {
  return "Kavero TCP/IP server werd met succes gestart op " +
         std::string(binding) + " op poort " + std::to_string(port);
}

}  // namespace kvx::e2e

#endif  // KVX_TESTS_E2E_OPERATOR_TEXTS_H_
