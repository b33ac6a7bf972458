#include "restore/file_copy.hpp"

#include <algorithm>
#include <optional>

#include <fmt/format.h>

#include "common/files.hpp"
#include "common/process.hpp"
#include "common/text.hpp"
#include "hashing/sha256.hpp"
#include "staging/paths.hpp"
#include "common/i18n.hpp"

namespace korvo {
namespace {

constexpr std::string_view kWifiPasswordsFile = "WiFi-Passwords.txt";

Result<std::string> valid_home(const std::optional<std::string>& home) {
  if (!home) return Error(tr("HOME not set"), Error(tr("environment variable not found")));
  if (!is_valid_utf8(*home)) return Error(tr("HOME not set"), Error(tr("environment variable was not valid unicode")));
  return *home;
}

// What xdg-user-dir names as the desktop, when that is a real folder of its own.
std::optional<std::string> desktop_from_xdg(const std::string& home) {
  Command command;
  command.argv = {"xdg-user-dir", "DESKTOP"};
  command.in = Stream::kNull;
  command.out = Stream::kCapture;
  command.err = Stream::kCapture;
  auto output = run_process(command);
  if (!output || !output->status.success()) return std::nullopt;
  std::string path(trim_unicode(utf8_lossy(output->out)));
  // Without a configured desktop it answers with the home folder itself.
  if (path == home || !is_directory(path)) return std::nullopt;
  return path;
}

// The file of Wi-Fi keys in clear is for this user's eyes only, whatever
// the umask or the bits it came with.
std::optional<mode_t> private_mode(std::string_view destination) {
  const std::size_t slash = destination.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? destination : destination.substr(slash + 1);
  if (name == kWifiPasswordsFile) return mode_t{0600};
  return std::nullopt;
}

// Checks, copies and checks again one entry; a failure is its report line.
Result<void> restore_entry(const std::string& staging_root, const std::string& restored_dir,
                           const ManifestEntryView& entry, FolderMaker& folders, CopyProgress& progress) {
  auto relative = normalise_backup_path(entry.backup_path);
  if (!relative) return Error(trf("Unsafe backup path {}: {}", entry.original_path, relative.error().message()));
  const std::string source = join_path(staging_root, *relative);
  const std::string destination = join_path(restored_dir, *relative);
  if (!ensure_within_root(staging_root, source) || !ensure_within_root(restored_dir, destination)) {
    return Error(trf("Unsafe backup path: {}", entry.original_path));
  }
  // Kept open for the copy, which reads it again from the start.
  auto hashed = sha256_file_kept_open(source);
  if (!hashed) return Error(trf("Cannot read {}: {}", entry.original_path, hashed.error().message()));
  if (hashed->digest != entry.sha256) {
    return Error(trf("Checksum mismatch: {} (expected {}, got {})", entry.original_path, entry.sha256,
                             hashed->digest));
  }
  if (const std::string parent = parent_path(destination); !parent.empty()) {
    if (auto made = folders.make(parent); !made) {
      return Error(trf("Cannot create folder for {}: {}", entry.original_path, made.error().message()),
                   made.error().kind());
    }
  }
  progress.begin_file(entry.original_path, entry.size_bytes);
  auto copied = copy_open_file(hashed->file.get(), destination, private_mode(destination),
                               [&](std::uint64_t bytes) { progress.wrote(bytes); });
  hashed->file.reset();
  const Result<void> verified = [&]() -> Result<void> {
    if (!copied) {
      return Error(trf("Copy failed for {}: {}", entry.original_path, copied.error().message()),
                   copied.error().kind());
    }
    auto digest = sha256_file(destination);
    if (!digest) {
      return Error(trf("Cannot verify {} after copy: {}", entry.original_path, digest.error().message()));
    }
    if (*digest != entry.sha256) {
      return Error(trf("Copy verification failed for {} (expected {}, got {})", entry.original_path,
                               entry.sha256, *digest));
    }
    return Ok{};
  }();
  return verified;
}

}  // namespace

Result<std::string> find_desktop_dir(const std::optional<std::string>& home_variable) {
  auto home = valid_home(home_variable);
  if (!home) return home.error();
  if (auto desktop = desktop_from_xdg(*home)) return *desktop;
  const std::string fallback = join_path(*home, "Desktop");
  if (is_directory(fallback)) return fallback;
  return home;
}

Result<std::string> normalise_backup_path(std::string_view backup_path) {
  const Error invalid("Invalid relative path");
  const std::string path = replace_all(trim_unicode(backup_path), "\\", "/");
  // A leading drive letter ("C:") is as absolute as a leading "/".
  // A NUL would cut the path short where the OS reads it, after our checks.
  if (path.empty() || path.front() == '/' || (path.size() > 1 && path[1] == ':')) return invalid;
  if (path.find('\0') != std::string::npos) return invalid;
  std::size_t start = 0;
  while (true) {
    // An empty piece is a "//" or a trailing "/".
    const std::size_t slash = path.find('/', start);
    const std::string_view piece = std::string_view(path).substr(start, slash - start);
    if (piece.empty() || piece == "." || piece == "..") return invalid;
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return path;
}

Result<FileRestoreOutcome> restore_files(const std::string& staging_root, const ManifestFiles& entries,
                                         const std::string& restored_dir, Progress& progress, ProgressClock clock) {
  KORVO_RETURN_IF_ERROR(create_directories(restored_dir));

  FileRestoreOutcome outcome;
  FolderMaker folders;
  CopyProgress copy_progress(progress, copy_total(entries), std::move(clock));
  std::uint64_t processed = 0;
  for (std::size_t index = 0; index < entries.size(); ++index) {
    const ManifestEntryView entry = entries[index];
    ++processed;
    auto restored = restore_entry(staging_root, restored_dir, entry, folders, copy_progress);
    copy_progress.file_done(entry.size_bytes, restored.ok());
    if (restored) {
      ++outcome.restored;
      continue;
    }
    outcome.failures.push_back(restored.error().message());
    // Every later file would fail the same way: stop, and say so once.
    if (restored.error().kind() == ErrorKind::kNoSpace) {
      outcome.not_tried = entries.size() - processed;
      outcome.disk_full = true;
      break;
    }
  }
  outcome.copied = copy_progress.finish();
  return outcome;
}

}  // namespace korvo
