#include "staging/staging.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

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

// Deletion failures are of no interest: a leftover only costs disk space.
void remove_quietly(const std::string& path) { (void)::unlink(path.c_str()); }

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

Result<std::string> stage_backup(const std::string& temp_dir, const std::string& backup_folder,
                                 std::string_view password, std::optional<HeldFolder>& staging_dir,
                                 const ManifestCheck& check_manifest) {
  auto backup_path = resolve_backup_dir(temp_dir, utf8_lossy(backup_folder));
  if (!backup_path) return backup_path.error();
  // The decrypted archive is smaller than Backup.enc, which bounds it.
  if (auto sealed = file_size(join_path(*backup_path, "Backup.enc"))) {
    KORVO_RETURN_IF_ERROR(check_room(temp_dir, *sealed, kTempAdvice));
  }
  auto staging = resolve_staging_dir(temp_dir);
  if (!staging) return staging.error();
  staging_dir = std::move(*staging);
  const std::string& staging_path = staging_dir->path();

  const std::string encrypted_path = join_path(*backup_path, "Backup.enc");
  const std::string salt_path = join_path(*backup_path, "backup.salt");
  const std::string archive_path = join_path(staging_path, "Backup.zip.tmp");
  remove_quietly(archive_path);

  auto key = derive_backup_key(salt_path, password);
  if (!key) return key.error();
  if (auto decrypted = decrypt_backup_stream(encrypted_path, archive_path, std::move(*key)); !decrypted) {
    return decrypted.error();
  }
  KORVO_RETURN_IF_ERROR(check_archive_manifest(archive_path, check_manifest));
  // The archive stays until the unpacking is done, so only the unpacked files need room now.
  auto destination = extract_backup_archive(archive_path, staging_path, [&](std::uint64_t unpacked) {
    return check_room(temp_dir, unpacked, kTempAdvice);
  });
  if (!destination) return destination.error();
  remove_quietly(archive_path);
  return destination;
}

}  // namespace korvo
