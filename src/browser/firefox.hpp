#pragma once

#include <string>
#include <vector>

namespace korvo {

// Moves places.sqlite, logins.json and key4.db from the backup's Firefox
// folder (staging root/BrowserData/Firefox) into the local profile; returns
// zero or one line. Never fails.
std::vector<std::string> migrate_firefox(const std::string& backup_firefox_folder, bool gui);

}  // namespace korvo
