#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "dialogs/dialogs.hpp"
#include "restore/copy_progress.hpp"
#include "restore/manifest.hpp"
#include "staging/archive.hpp"

namespace korvo {

// The desktop folder: xdg-user-dir DESKTOP, else $HOME/Desktop, else $HOME;
// `home` is HOME as the environment had it.
Result<std::string> find_desktop_dir(const std::optional<std::string>& home);

// A manifest "backup_path" as a safe relative path, or "Invalid relative path".
Result<std::string> normalise_backup_path(std::string_view backup_path);

struct FileRestoreOutcome {
  std::uint64_t restored = 0;           // written and verified, or kept
  std::uint64_t kept = 0;               // of those, already right in Restored
  std::vector<std::string> failures;  // one message per failed entry, in manifest order
  bool disk_full = false;               // the copy stopped at a file the disk had no room for
  std::uint64_t not_tried = 0;          // the entries after that file
  CopySummary copied;
};

// Writes every entry from the archive straight to its place in the
// Restored folder (made when missing): hashed as it is written under a
// private temporary name, renamed into place only when its digest matches,
// then read back and checked. A file already there and right is kept.
// The bytes done are shown on `progress`.
Result<FileRestoreOutcome> restore_files(BackupArchive& archive, const ManifestFiles& entries,
                                         const std::string& restored_dir, Progress& progress,
                                         ProgressClock clock = {});

// Room the copy needs on the desktop's disk: each file by the size its
// entry declares, which a read never passes, less the files already there
// at that size (kept when right).
std::uint64_t room_needed(BackupArchive& archive, const ManifestFiles& entries, const std::string& restored_dir);

struct FileCheckOutcome {
  std::uint64_t files = 0;  // manifest files that match their digest
  std::uint64_t bytes = 0;  // their size
  std::vector<std::string> failures;  // the files that would not come back, then other damage
};

// Reads every manifest file and checks its digest, then every other entry
// and record of the backup; writes nothing.
FileCheckOutcome check_files(BackupArchive& archive, const ManifestFiles& entries, Progress& progress,
                             ProgressClock clock = {});

// The start of the names the copy writes to: the next run removes any it finds.
inline constexpr std::string_view kPartialPrefix = ".korvo-partial-";

}  // namespace korvo
