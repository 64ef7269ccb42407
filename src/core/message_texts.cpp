#include "core/message_texts.h"

#include <initializer_list>

#include "core/settings.h"

namespace kvx {
namespace {

constexpr std::string_view kTypeMarker = "type=\"";
constexpr std::string_view kTagMarker = "<MSG tag=\"";

std::string ExtractAfter(std::string_view message, std::string_view marker) {
  const std::size_t at = message.find(marker);
  if (at == std::string_view::npos) return {};
  std::string_view rest = message.substr(at + marker.size());
  return std::string(rest.substr(0, rest.find('"')));
}

std::string Cat(std::initializer_list<std::string_view> parts) {
  std::string text;
  for (const auto part : parts) text += part;
  return text;
}

}  // namespace

std::string ExtractMsgType(std::string_view message) {
  return ExtractAfter(message, kTypeMarker);
}

std::string ExtractMsgTag(std::string_view message) {
  return ExtractAfter(message, kTagMarker);
}

std::string InfReply(std::string_view tag, std::string_view versie,
                     std::string_view receiver, std::string_view sender) {
  return Cat({"<?xml version=\"1.0\" ?>\r\n", "<MSG tag=\"", tag,
              "\" type=\"INF\" protocol=\"CON_KV\" versie=\"", versie,
              "\">\r\n", "<Verzender>", receiver, "</Verzender>\r\n",
              "<Ontvanger>", sender, "</Ontvanger>\r\n", "<Kavero>\r\n",
              "<KaveroInfo></KaveroInfo>\r\n", "</Kavero>\r\n", "</MSG>\r\n"});
}

std::string AckReply(std::string_view tag, const Settings& settings) {
  return Cat({"<?xml version=\"1.0\" ?>\r\n", "<MSG tag=\"", tag,
              "\" type=\"ACK\" protocol=\"", settings.FProtocol, "\" versie=\"",
              settings.FVersie, "\">\r\n", "<Verzender>", settings.FVerzender,
              "</Verzender>\r\n", "<Ontvanger>", settings.FOntvanger,
              "</Ontvanger>\r\n", "</MSG>\r\n"});
}

}  // namespace kvx
