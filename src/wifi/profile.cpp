#include "wifi/profile.hpp"

#include <fmt/format.h>

#include "common/text.hpp"
#include "common/unicode_case.hpp"

namespace korvo {

std::optional<std::string> xml_element_text(std::string_view xml, std::string_view element) {
  const std::string start_tag = fmt::format("<{}>", element);
  const std::string end_tag = fmt::format("</{}>", element);
  const std::size_t start = xml.find(start_tag);
  if (start == std::string_view::npos) return std::nullopt;
  const std::size_t content = start + start_tag.size();
  const std::size_t end = xml.find(end_tag, content);
  if (end == std::string_view::npos) return std::nullopt;

  std::string text(trim_unicode(xml.substr(content, end - content)));
  // One pass each, "&amp;" last, so "&amp;lt;" ends as "&lt;" and not "<".
  text = replace_all(text, "&lt;", "<");
  text = replace_all(text, "&gt;", ">");
  text = replace_all(text, "&quot;", "\"");
  text = replace_all(text, "&apos;", "'");
  return replace_all(text, "&amp;", "&");
}

namespace {

WifiSecurity security_kind(const std::optional<std::string>& authentication) {
  if (!authentication) return WifiSecurity::Other;
  const std::string kind = unicode_lower(trim_unicode(*authentication));
  if (kind == "open") return WifiSecurity::Open;
  if (kind == "wpa2psk" || kind == "wpapsk") return WifiSecurity::WpaPersonal;
  if (kind == "wpa3sae") return WifiSecurity::Wpa3Personal;
  return WifiSecurity::Other;
}

}  // namespace

std::optional<WifiProfile> read_wifi_profile(std::string_view xml) {
  auto name = xml_element_text(xml, "name");
  if (!name) return std::nullopt;
  WifiProfile profile;
  profile.name = std::move(*name);
  profile.key = xml_element_text(xml, "keyMaterial");
  if (profile.key && profile.key->empty()) profile.key.reset();
  profile.security = security_kind(xml_element_text(xml, "authentication"));
  return profile;
}

}  // namespace korvo
