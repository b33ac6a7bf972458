#pragma once

#include <string>
#include <vector>

namespace korvo {

// The networks by name only: never a key.
struct WifiOutcome {
  std::vector<std::string> added;
  std::vector<std::string> not_added;  // a sign-in network among them
};

// Adds the Wi-Fi profiles of the staging root's "WiFi" folder to
// NetworkManager; returns zero to three lines. Never fails.
std::vector<std::string> migrate_wifi(const std::string& staging_root, WifiOutcome* outcome = nullptr);

}  // namespace korvo
