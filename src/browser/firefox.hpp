#pragma once

#include <optional>
#include <string>
#include <vector>

#include "dialogs/dialogs.hpp"

namespace korvo {

enum class FirefoxOutcome { kNothingToMove, kMoved, kKept, kNotSetUp, kFirefoxOpen, kCopyFailed };

// Moves places.sqlite, logins.json and key4.db from the backup's Firefox
// folder (staging root/BrowserData/Firefox) into the local profile; returns
// zero or one line. Never fails.
std::vector<std::string> migrate_firefox(const std::string& backup_firefox_folder, const std::string& home,
                                         Dialogs& dialogs, FirefoxOutcome* outcome = nullptr);

// The Firefox roots below the home folder, in the order they are searched:
// snap, classic, then the XDG location of newer releases.
std::vector<std::string> firefox_roots(const std::string& home);

// The local profile folder that the first root with a readable profiles.ini
// and a usable entry names; nothing when none does, or when that folder is
// missing (later roots are then not tried).
std::optional<std::string> find_firefox_profile(const std::vector<std::string>& roots);

}  // namespace korvo
