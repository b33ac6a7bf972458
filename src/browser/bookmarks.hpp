#pragma once

#include <string>
#include <vector>

namespace korvo {

// Writes one bookmark HTML file per Chromium-family profile found in the
// staging root's "BrowserData" into restored_folder/"Browser bookmarks";
// returns zero or one note line. Never fails.
std::vector<std::string> migrate_bookmarks(const std::string& staging_root, const std::string& restored_folder);

}  // namespace korvo
