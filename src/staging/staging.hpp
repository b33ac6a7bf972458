#pragma once

#include <cstdint>
#include <optional>
#include <memory>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/held_folder.hpp"
#include "staging/archive.hpp"

namespace korvo {

// The backup opened in place with the password: the key derived, the
// records indexed and the first one opened, the archive's manifest read
// through `check_manifest` and every entry found readable and safe.
// Nothing is written.
Result<std::unique_ptr<BackupArchive>> open_backup(const std::string& backup_path, std::string_view password,
                                                   const ManifestCheck& check_manifest);

// What a restore reads from: the backup, open in place, and the folder its
// personal data (browser data, Wi-Fi, settings, the app list) was unpacked
// into; the user's files stay in the archive until they are copied.
struct StagedBackup {
  std::unique_ptr<BackupArchive> archive;
  std::string root;  // the canonical "Backup" folder in the staging directory
};

// Opens the backup folder's Backup.enc and unpacks its personal data into a
// fresh staging directory in `temp_dir`. `staging_dir` holds that directory
// as soon as it exists, success or not, so that the run can remove it.
Result<StagedBackup> stage_backup(const std::string& temp_dir, const std::string& backup_folder,
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
