// A Windows WLAN profile file. Element texts must be what a plain search
// for "<x>" … "</x>" with the five entity replacements gives, UTF-8 in must
// stay UTF-8 out, and the profile's name, network name, key and hidden flag
// must come from those texts.

#include <optional>

#include "fuzz_support.hpp"
#include "wifi/profile.hpp"

namespace {

std::string replaced(std::string_view text, std::string_view from, std::string_view to) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    if (text.compare(i, from.size(), from) == 0) {
      out += to;
      i += from.size();
    } else {
      out += text[i++];
    }
  }
  return out;
}

std::optional<std::string_view> reference_content(std::string_view xml, std::string_view element) {
  const std::string open = "<" + std::string(element) + ">";
  const std::string close = "</" + std::string(element) + ">";
  const std::size_t start = xml.find(open);
  if (start == std::string_view::npos) return std::nullopt;
  const std::size_t end = xml.find(close, start + open.size());
  if (end == std::string_view::npos) return std::nullopt;
  return xml.substr(start + open.size(), end - start - open.size());
}

std::string unescaped(std::string_view text) {
  std::string out = replaced(text, "&lt;", "<");
  out = replaced(out, "&gt;", ">");
  out = replaced(out, "&quot;", "\"");
  out = replaced(out, "&apos;", "'");
  return replaced(out, "&amp;", "&");
}

std::optional<std::string> reference_element(std::string_view xml, std::string_view element) {
  const auto content = reference_content(xml, element);
  if (!content) return std::nullopt;
  return unescaped(korvo::fuzz::reference_trim(*content));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view xml = korvo::fuzz::as_text(data, size);
  const bool utf8 = korvo::fuzz::reference_valid_utf8(xml);
  for (const char* element : {"name", "keyMaterial", "authentication", "encryption", "SSID", "hex",
                              "connectionMode", "nonBroadcast", "protected", "keyType"}) {
    const auto text = korvo::xml_element_text(xml, element);
    if (utf8) {
      const auto expected = reference_element(xml, element);
      FUZZ_CHECK(text == expected, element);
      if (text) FUZZ_CHECK(korvo::fuzz::reference_valid_utf8(*text), element);
    }
  }

  const auto profile = korvo::read_wifi_profile(xml);
  if (!utf8) return 0;
  const auto name = reference_element(xml, "name");
  FUZZ_CHECK(profile.has_value() == name.has_value(), "a profile exactly when there is a name element");
  if (!profile) return 0;
  FUZZ_CHECK(profile->name == *name, "name");
  // A passphrase may hold blanks: the key is unescaped but not trimmed.
  const auto key = reference_content(xml, "keyMaterial");
  FUZZ_CHECK(profile->key == (key && !key->empty() ? std::optional(unescaped(*key)) : std::nullopt), "key");

  std::string ssid = *name;
  bool hidden = false;
  if (const auto config = reference_content(xml, "SSIDConfig")) {
    if (const auto entry = reference_content(*config, "SSID")) {
      const auto inner = reference_element(*entry, "name");
      if (inner && !inner->empty()) ssid = *inner;
    }
    const auto broadcast = reference_element(*config, "nonBroadcast");
    hidden = broadcast == "true" || broadcast == "1";
  }
  FUZZ_CHECK(profile->ssid == ssid, "ssid");
  FUZZ_CHECK(profile->hidden == hidden, "hidden");
  FUZZ_CHECK(korvo::fuzz::reference_valid_utf8(profile->ssid), "ssid is not UTF-8");
  return 0;
}
