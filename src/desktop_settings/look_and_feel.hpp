#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"

namespace korvo {

// The backup's "Settings/settings.json". Null and a missing key both leave
// the setting alone.
struct PersonalSettings {
  std::optional<bool> dark_mode;
  std::optional<std::string> wallpaper;  // file name inside the Settings folder
};

// One JSON object; a key given twice or a wrong type for a known key is an error.
Result<PersonalSettings> parse_personal_settings(std::string_view json_text);

// "wallpaper." followed by 1 to 5 ASCII letters or digits.
bool is_wallpaper_name(std::string_view name);

// "file://" + path with each space written as "%20", nothing else escaped.
std::string picture_uri(std::string_view path);

// What was applied: the mode set, if any, and whether the wallpaper was.
struct LookOutcome {
  std::optional<bool> dark_mode;
  bool wallpaper = false;
};

// Applies dark/light mode and the wallpaper from the backup's "Settings"
// folder through gsettings; returns zero or one line. Never fails.
std::vector<std::string> apply_look_and_feel(const std::string& settings_folder, const std::string& home,
                                             LookOutcome* outcome = nullptr);

}  // namespace korvo
