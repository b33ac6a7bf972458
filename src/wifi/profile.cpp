#include "wifi/profile.hpp"

#include <fmt/format.h>

#include "common/text.hpp"
#include "common/unicode_case.hpp"

namespace korvo {
namespace {

// The bytes between the first "<element>" and the first "</element>" after it, as they are.
std::optional<std::string_view> element_content(std::string_view xml, std::string_view element) {
  const std::string start_tag = fmt::format("<{}>", element);
  const std::string end_tag = fmt::format("</{}>", element);
  const std::size_t start = xml.find(start_tag);
  if (start == std::string_view::npos) return std::nullopt;
  const std::size_t content = start + start_tag.size();
  const std::size_t end = xml.find(end_tag, content);
  if (end == std::string_view::npos) return std::nullopt;
  return xml.substr(content, end - content);
}

// One pass each, "&amp;" last, so "&amp;lt;" ends as "&lt;" and not "<".
std::string unescape_entities(std::string_view text) {
  std::string plain = replace_all(text, "&lt;", "<");
  plain = replace_all(plain, "&gt;", ">");
  plain = replace_all(plain, "&quot;", "\"");
  plain = replace_all(plain, "&apos;", "'");
  return replace_all(plain, "&amp;", "&");
}

}  // namespace

std::optional<std::string> xml_element_text(std::string_view xml, std::string_view element) {
  const auto content = element_content(xml, element);
  if (!content) return std::nullopt;
  return unescape_entities(trim_unicode(*content));
}

namespace {

std::string lowered(const std::optional<std::string>& text) { return text ? unicode_lower(trim_unicode(*text)) : ""; }

WifiSecurity security_kind(const std::optional<std::string>& authentication,
                           const std::optional<std::string>& encryption) {
  const std::string kind = lowered(authentication);
  const bool wep = lowered(encryption) == "wep";
  if (kind == "open") return wep ? WifiSecurity::Wep : WifiSecurity::Open;
  if (kind == "shared") return wep ? WifiSecurity::WepSharedKey : WifiSecurity::Other;
  if (kind == "owe") return WifiSecurity::EnhancedOpen;
  if (kind == "wpa2psk" || kind == "wpapsk") return WifiSecurity::WpaPersonal;
  if (kind == "wpa3sae") return WifiSecurity::Wpa3Personal;
  return WifiSecurity::Other;
}

// The network's own name and whether it hides it live in the SSIDConfig
// block; of several SSID entries the first counts.
void read_ssid_config(std::string_view xml, WifiProfile& profile) {
  const auto ssid_config = element_content(xml, "SSIDConfig");
  if (!ssid_config) return;
  if (const auto ssid_entry = element_content(*ssid_config, "SSID")) {
    auto ssid = xml_element_text(*ssid_entry, "name");
    if (ssid && !ssid->empty()) profile.ssid = std::move(*ssid);
  }
  // The boolean's two spellings of true; anything else is a broadcast network.
  const auto non_broadcast = xml_element_text(*ssid_config, "nonBroadcast");
  profile.hidden = non_broadcast == "true" || non_broadcast == "1";
}

}  // namespace

std::optional<WifiProfile> read_wifi_profile(std::string_view xml) {
  auto name = xml_element_text(xml, "name");
  if (!name) return std::nullopt;
  WifiProfile profile;
  profile.name = std::move(*name);
  profile.ssid = profile.name;
  read_ssid_config(xml, profile);
  // Blanks are legal in a passphrase: the key is unescaped, never trimmed.
  if (const auto key = element_content(xml, "keyMaterial"); key && !key->empty()) profile.key = unescape_entities(*key);
  profile.security = security_kind(xml_element_text(xml, "authentication"), xml_element_text(xml, "encryption"));
  return profile;
}

}  // namespace korvo
