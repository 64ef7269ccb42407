#include "server/exposure_texts.h"

namespace kvx {
namespace {

constexpr std::string_view kReceiverPrefix = "Ontvanger: ";
constexpr std::string_view kServerPrefix = "Kavero TCP/IP server ";

std::string HeldBack(std::uint64_t held_back) {
  if (held_back == 0) return {};
  return " (nog " + std::to_string(held_back) +
         " keer geweigerd sinds de vorige melding)";
}

}  // namespace

std::string NotAllowedText(std::string_view client, std::uint64_t held_back) {
  return std::string(kReceiverPrefix) + "Verbinding van " +
         std::string(client) +
         " geweigerd; het adres staat niet in AllowedClients" +
         HeldBack(held_back);
}

std::string LimitReachedText(std::string_view client, bool per_client,
                             std::int32_t limit, std::uint64_t held_back) {
  std::string text = std::string(kReceiverPrefix) + "Verbinding van " +
                     std::string(client) + " geweigerd; maximum van " +
                     std::to_string(limit);
  text += per_client ? " verbindingen per client bereikt "
                       "(MaxConnectionsPerClient)"
                     : " verbindingen bereikt (MaxConnections)";
  return text + HeldBack(held_back);
}

std::string ReceiveTimeoutText(std::string_view client, std::size_t bytes,
                               std::int32_t seconds) {
  return std::string(kReceiverPrefix) + "Verbinding van " +
         std::string(client) + " verbroken; onvolledig pakket van " +
         std::to_string(bytes) + " bytes langer dan " +
         std::to_string(seconds) +
         " seconden in de ontvangstbuffer (ReceiveTimeout)";
}

std::string HandshakeFailedText(std::string_view client,
                                std::string_view reason,
                                std::uint64_t held_back) {
  return std::string(kReceiverPrefix) + "TLS handshake met " +
         std::string(client) + " mislukt: " + std::string(reason) +
         "; verbinding verbroken" + HeldBack(held_back);
}

std::string InvalidAllowListText(std::string_view item) {
  return std::string(kServerPrefix) +
         "kan niet luisteren: ongeldig adres in AllowedClients: \"" +
         std::string(item) + "\"";
}

std::string TlsLoadFailedText(std::string_view detail) {
  return std::string(kServerPrefix) +
         "kan niet luisteren: TLS certificaat, sleutel of CA niet bruikbaar: " +
         std::string(detail);
}

std::string TlsReloadedText() {
  return std::string(kServerPrefix) +
         "heeft TLS certificaat, sleutel en CA opnieuw geladen voor nieuwe "
         "verbindingen";
}

std::string TlsReloadFailedText(std::string_view detail) {
  return std::string(kServerPrefix) +
         "kon TLS certificaat, sleutel of CA niet opnieuw laden: " +
         std::string(detail) + "; de vorige blijven in gebruik";
}

std::string ReloadWithoutTlsText() {
  return std::string(kServerPrefix) +
         "kreeg een verzoek tot herladen; er is geen TLS ingesteld, er "
         "verandert niets";
}

}  // namespace kvx
