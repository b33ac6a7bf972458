// Settings/settings.json. An accepted file must be one JSON object whose
// "dark_mode" and "wallpaper" are what a plain parse finds; a wallpaper name
// is accepted exactly when it is "wallpaper." and 1 to 5 ASCII letters or
// digits; the picture's URI has every space as "%20" and nothing else
// changed.

#include "common/json.hpp"
#include "desktop_settings/look_and_feel.hpp"
#include "fuzz_support.hpp"

namespace {

using korvo::Json;

bool reference_wallpaper_name(std::string_view name) {
  constexpr std::string_view kPrefix = "wallpaper.";
  if (name.substr(0, kPrefix.size()) != kPrefix) return false;
  const std::string_view extension = name.substr(kPrefix.size());
  if (extension.size() < 1 || extension.size() > 5) return false;
  for (const unsigned char c : extension) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
  }
  return true;
}

void check_name(std::string_view name) {
  FUZZ_CHECK(korvo::is_wallpaper_name(name) == reference_wallpaper_name(name), std::string(name));
  std::string expected = "file://";
  for (const char c : name) expected += c == ' ' ? std::string("%20") : std::string(1, c);
  FUZZ_CHECK(korvo::picture_uri(name) == expected, expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = korvo::fuzz::as_text(data, size);
  check_name(text);
  const auto settings = korvo::parse_personal_settings(text);
  if (!settings) return 0;

  const Json plain = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  FUZZ_CHECK(plain.is_object(), "accepted text that is no JSON object");
  const auto dark = plain.find("dark_mode");
  if (dark == plain.end() || dark->is_null()) {
    FUZZ_CHECK(!settings->dark_mode, "dark_mode from nowhere");
  } else {
    FUZZ_CHECK(dark->is_boolean() && settings->dark_mode == dark->get<bool>(), "dark_mode");
  }
  const auto wallpaper = plain.find("wallpaper");
  if (wallpaper == plain.end() || wallpaper->is_null()) {
    FUZZ_CHECK(!settings->wallpaper, "wallpaper from nowhere");
  } else {
    FUZZ_CHECK(wallpaper->is_string() && settings->wallpaper == wallpaper->get<std::string>(), "wallpaper");
    check_name(*settings->wallpaper);
  }
  return 0;
}
