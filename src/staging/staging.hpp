#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "staging/archive.hpp"

namespace korvo {

// Decrypts and unpacks the backup folder's Backup.enc into a fresh staging
// directory in `temp_dir`; returns the canonical "Backup" folder inside it.
// `staging_dir` names that directory as soon as it exists, success or not,
// so that the run can remove it: it holds the decrypted backup.
Result<std::string> stage_backup(const std::string& temp_dir, const std::string& backup_folder,
                                 std::string_view password, std::string& staging_dir,
                                 const ManifestCheck& check_manifest);

// Canonical form of an existing path (and a check that the temporary
// directory resolves).
Result<std::string> resolve_backup_dir(const std::string& temp_dir, const std::string& path);

// Makes the private staging directory "korvo-restore-{milliseconds}" in the
// temporary directory and returns its canonical path. A directory of that
// name that already exists is refused: it could belong to someone else.
Result<std::string> resolve_staging_dir(const std::string& temp_dir);
Result<std::string> resolve_staging_dir(const std::string& temp_dir, std::uint64_t epoch_millis);

}  // namespace korvo
