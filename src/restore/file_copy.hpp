#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "restore/copy_progress.hpp"
#include "restore/manifest.hpp"
#include "dialogs/dialogs.hpp"

namespace korvo {

// The desktop folder: xdg-user-dir DESKTOP, else $HOME/Desktop, else $HOME;
// `home` is HOME as the environment had it.
Result<std::string> find_desktop_dir(const std::optional<std::string>& home);

// A manifest "backup_path" as a safe relative path, or "Invalid relative path".
Result<std::string> normalise_backup_path(std::string_view backup_path);

struct FileRestoreOutcome {
  std::uint64_t restored = 0;
  std::vector<std::string> failures;  // one message per failed entry, in manifest order
  bool disk_full = false;               // the copy stopped at a file the disk had no room for
  std::uint64_t not_tried = 0;          // the entries after that file
  CopySummary copied;
};

// Copies and verifies every entry from the staging root into the Restored
// folder (made when missing), showing the bytes done on `progress`.
Result<FileRestoreOutcome> restore_files(const std::string& staging_root, const ManifestFiles& entries,
                                         const std::string& restored_dir, Progress& progress,
                                         ProgressClock clock = {});

}  // namespace korvo
