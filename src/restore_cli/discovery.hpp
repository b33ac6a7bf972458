#pragma once

#include <string>
#include <vector>

#include "common/error.hpp"
#include "dialogs/dialogs.hpp"

namespace korvo {

// The folder holding Backup.enc and backup.salt: the first non-option
// argument, else the first candidate that looks like a backup, else (with
// dialogs) the folder chooser. Announced in terminal mode.
Result<std::string> find_backup_folder(Dialogs& dialogs, const std::vector<std::string>& args);

// Both files present as regular files (symbolic links followed).
bool looks_like_backup(const std::string& folder);

// The executable's folder (when known) and every directory one and two
// levels below each root, a second-level one before its parent.
std::vector<std::string> candidate_folders(const std::string& executable_path, const std::vector<std::string>& roots);

}  // namespace korvo
