#pragma once

#include <string>
#include <vector>

namespace korvo {

// Applies dark/light mode and the wallpaper from the backup's "Settings"
// folder through gsettings; returns zero or one line. Never fails.
std::vector<std::string> apply_look_and_feel(const std::string& settings_folder);

}  // namespace korvo
