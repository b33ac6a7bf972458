#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/held_folder.hpp"
#include "staging/archive.hpp"

namespace korvo {

// Decrypts and unpacks the backup folder's Backup.enc into a fresh staging
// directory in `temp_dir`; returns the canonical "Backup" folder inside it.
// `staging_dir` holds that directory as soon as it exists, success or not,
// so that the run can remove it: it holds the decrypted backup.
Result<std::string> stage_backup(const std::string& temp_dir, const std::string& backup_folder,
                                 std::string_view password, std::optional<HeldFolder>& staging_dir,
                                 const ManifestCheck& check_manifest);

// Canonical form of an existing path (and a check that the temporary
// directory resolves).
Result<std::string> resolve_backup_dir(const std::string& temp_dir, const std::string& path);

// Makes the private staging directory "korvo-restore-{milliseconds}" in the
// temporary directory and holds it; its path is canonical. Staging folders
// that earlier runs left behind go first. A directory of that name that
// already exists is not taken over (it could belong to someone else): the
// next millisecond's name is tried instead, a bounded number of times.
Result<HeldFolder> resolve_staging_dir(const std::string& temp_dir);
Result<HeldFolder> resolve_staging_dir(const std::string& temp_dir, std::uint64_t epoch_millis);

}  // namespace korvo
