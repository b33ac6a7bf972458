#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "dialogs/dialogs.hpp"
#include "restore/manifest.hpp"
#include "staging/archive.hpp"

namespace korvo {

// The desktop folder: xdg-user-dir DESKTOP, else $HOME/Desktop, else $HOME;
// `home` is HOME as the environment had it.
Result<std::string> find_desktop_dir(const std::optional<std::string>& home);

// A manifest "backup_path" as a safe relative path, or "Invalid relative path".
Result<std::string> normalise_backup_path(std::string_view backup_path);

// What the copy tells about its work, file by file; the one place that
// decides what a person sees of it.
class CopyProgress {
 public:
  virtual ~CopyProgress() = default;
  // A file is about to be written; `size` is what its entry declares.
  virtual void writing(std::string_view original_path, std::uint64_t size) = 0;
  // Another piece of the file being written.
  virtual void wrote(std::uint64_t bytes) = 0;
  // A file already in its place and right: kept, not written again.
  virtual void kept(std::string_view original_path, std::uint64_t size) = 0;
  // One entry of the manifest done, whatever came of it; `shown` is false
  // for one that stopped before its copy.
  virtual void done(std::string_view original_path, bool shown) = 0;
};

// Percent by files, with the file's original path, on a progress display.
class FileCountProgress final : public CopyProgress {
 public:
  FileCountProgress(Progress& display, std::uint64_t files) : display_(display), total_(files == 0 ? 1 : files) {}
  void writing(std::string_view, std::uint64_t) override {}
  void wrote(std::uint64_t) override {}
  void kept(std::string_view, std::uint64_t) override {}
  void done(std::string_view original_path, bool shown) override;

 private:
  Progress& display_;
  std::uint64_t total_;
  std::uint64_t processed_ = 0;
};

struct FileRestoreOutcome {
  std::uint64_t restored = 0;           // written and verified, or kept
  std::uint64_t kept = 0;               // of those, already right in Restored
  std::vector<std::string> failures;  // one message per failed entry, in manifest order
  bool disk_full = false;               // the copy stopped at a file the disk had no room for
  std::uint64_t not_tried = 0;          // the entries after that file
};

// Writes every entry from the archive straight to its place in the
// Restored folder (made when missing): hashed as it is written under a
// private temporary name, renamed into place only when its digest matches,
// then read back and checked. A file already there and right is kept.
Result<FileRestoreOutcome> restore_files(BackupArchive& archive, const ManifestFiles& entries,
                                         const std::string& restored_dir, CopyProgress& progress);

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
FileCheckOutcome check_files(BackupArchive& archive, const ManifestFiles& entries, CopyProgress& progress);

// The start of the names the copy writes to: the next run removes any it finds.
inline constexpr std::string_view kPartialPrefix = ".korvo-partial-";

}  // namespace korvo
