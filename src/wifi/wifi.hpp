#pragma once

#include <string>
#include <vector>

namespace korvo {

// Adds the Wi-Fi profiles of the staging root's "WiFi" folder to
// NetworkManager; returns zero to three lines. Never fails.
std::vector<std::string> migrate_wifi(const std::string& staging_root);

}  // namespace korvo
