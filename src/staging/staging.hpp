#pragma once

#include <string>
#include <string_view>

#include "common/error.hpp"

namespace korvo {

// Decrypts and unpacks the backup folder's Backup.enc into a fresh staging
// directory; returns the canonical "Backup" folder inside it.
Result<std::string> stage_backup(const std::string& backup_folder, std::string_view password);

// Canonical form of an existing path (and a check that the temporary
// directory resolves).
Result<std::string> resolve_backup_dir(const std::string& path);

}  // namespace korvo
