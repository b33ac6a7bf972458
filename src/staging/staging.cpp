#include "staging/staging.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

#include <fmt/format.h>

#include "common/disk_space.hpp"
#include "common/files.hpp"
#include "common/text.hpp"
#include "crypto/key.hpp"
#include "crypto/stream.hpp"
#include "staging/archive.hpp"
#include "staging/paths.hpp"
#include "common/i18n.hpp"

namespace korvo {
namespace {

constexpr std::string_view kTempAdvice =
    N_("Free some space, or set TMPDIR to a folder on a larger disk, and run Korvo again.");
// What the stages after the file copy read from the staging folder.
const std::vector<std::string_view> kPersonalData = {"BrowserData", "WiFi", "Settings", "linux-install.json"};
// Only this user may look into the unpacked backup.
constexpr mode_t kStagingDirMode = 0700;
constexpr std::string_view kStagingPrefix = "korvo-restore-";
// Names taken by someone else are passed over, but not without end.
constexpr std::uint64_t kStagingNameTries = 64;

std::uint64_t now_epoch_millis() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count();
  return millis < 0 ? 0 : static_cast<std::uint64_t>(millis);
}

}  // namespace

Result<std::string> resolve_backup_dir(const std::string& temp_dir, const std::string& path) {
  auto canonical = canonical_path(path);
  if (!canonical) return Error(trf("Backup directory does not exist: {}", path), canonical.error());
  if (auto temp = canonical_path(temp_dir); !temp) {
    return Error(tr("Cannot resolve temp directory"), temp.error(), ErrorKind::kTempFolder);
  }
  return canonical;
}

Result<HeldFolder> resolve_staging_dir(const std::string& temp_dir) {
  return resolve_staging_dir(temp_dir, now_epoch_millis());
}

Result<HeldFolder> resolve_staging_dir(const std::string& temp_dir, std::uint64_t epoch_millis) {
  constexpr std::string_view kCannotCreate = N_("Cannot create restore staging directory");
  if (const std::string parent = parent_path(join_path(temp_dir, kStagingPrefix)); !parent.empty()) {
    if (auto made = create_directories(parent); !made) {
      return Error(tr(kCannotCreate), made.error(), ErrorKind::kTempFolder);
    }
  }
  sweep_unheld_folders(temp_dir, kStagingPrefix);
  // A fresh directory only: one that exists already may have been planted.
  std::string staging_dir;
  for (std::uint64_t tried = 0;; ++tried) {
    staging_dir = join_path(temp_dir, fmt::format("{}{}", kStagingPrefix, epoch_millis + tried));
    if (::mkdir(staging_dir.c_str(), kStagingDirMode) == 0) break;
    const int error = errno;
    if (error != EEXIST || tried + 1 == kStagingNameTries) {
      return Error(tr(kCannotCreate), os_error(error), ErrorKind::kTempFolder);
    }
  }
  auto held = HeldFolder::hold(staging_dir);
  if (!held) return Error(tr(kCannotCreate), held.error(), ErrorKind::kTempFolder);
  auto temp_root = canonical_path(temp_dir);
  if (!temp_root) return Error(tr("Cannot resolve temp directory"), temp_root.error(), ErrorKind::kTempFolder);
  KORVO_RETURN_IF_ERROR(ensure_within_root(*temp_root, held->path()));
  return held;
}

Result<std::unique_ptr<BackupArchive>> open_backup(const std::string& backup_path, std::string_view password,
                                                   const ManifestCheck& check_manifest) {
  auto key = derive_backup_key(join_path(backup_path, "backup.salt"), password);
  if (!key) return key.error();
  auto stream = SealedStream::open(join_path(backup_path, "Backup.enc"), std::move(*key));
  if (!stream) return stream.error();
  auto archive = BackupArchive::open(std::move(*stream));
  if (!archive) {
    if (archive.error().kind() == ErrorKind::kDamaged) return archive.error();
    return Error(tr("Decrypted backup is missing a valid manifest"), archive.error());
  }
  KORVO_RETURN_IF_ERROR((*archive)->read_manifest(check_manifest));
  KORVO_RETURN_IF_ERROR((*archive)->check_entries());
  return archive;
}

Result<StagedBackup> stage_backup(const std::string& temp_dir, const std::string& backup_folder,
                                  std::string_view password, std::optional<HeldFolder>& staging_dir,
                                  const ManifestCheck& check_manifest) {
  auto backup_path = resolve_backup_dir(temp_dir, utf8_lossy(backup_folder));
  if (!backup_path) return backup_path.error();
  auto staging = resolve_staging_dir(temp_dir);
  if (!staging) return staging.error();
  staging_dir = std::move(*staging);
  const std::string& staging_path = staging_dir->path();

  auto archive = open_backup(*backup_path, password, check_manifest);
  if (!archive) return archive.error();
  // Only what the later stages read is unpacked; the reader holds each
  // entry to its declared size, so the sum bounds what is written.
  KORVO_RETURN_IF_ERROR(check_room(temp_dir, (*archive)->size_below(kPersonalData), kTempAdvice));
  auto root = (*archive)->unpack_below(kPersonalData, staging_path);
  if (!root) return root.error();
  return StagedBackup{std::move(*archive), std::move(*root)};
}

}  // namespace korvo
