#include "restore/file_copy.hpp"

#include <algorithm>
#include <optional>

#include <fmt/format.h>

#include "common/files.hpp"
#include "common/process.hpp"
#include "common/text.hpp"
#include "hashing/sha256.hpp"
#include "staging/paths.hpp"

namespace korvo {
namespace {

constexpr std::string_view kRestoredFolder = "Restored";

Result<std::string> home_dir() {
  const char* home = env_value("HOME");
  if (home == nullptr) return Error("HOME not set", Error("environment variable not found"));
  if (!is_valid_utf8(home)) return Error("HOME not set", Error("environment variable was not valid unicode"));
  return std::string(home);
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

// One manifest entry; a failure comes back as its report line.
class EntryRestore {
 public:
  EntryRestore(const std::string& staging_root, const std::string& restored_dir, const ManifestEntryView& entry)
      : staging_root_(staging_root), restored_dir_(restored_dir), entry_(entry) {}

  // Steps that leave nothing behind; they end the entry without progress.
  std::optional<std::string> check_source() {
    auto relative = normalise_backup_path(entry_.backup_path);
    if (!relative) return fmt::format("Unsafe backup path {}: {}", entry_.original_path, relative.error().message());
    source_ = join_path(staging_root_, *relative);
    destination_ = join_path(restored_dir_, *relative);
    if (!ensure_within_root(staging_root_, source_) || !ensure_within_root(restored_dir_, destination_)) {
      return fmt::format("Unsafe backup path: {}", entry_.original_path);
    }
    // Kept open for the copy, which reads it again from the start.
    auto hashed = sha256_file_kept_open(source_);
    if (!hashed) return fmt::format("Cannot read {}: {}", entry_.original_path, hashed.error().message());
    if (hashed->digest != entry_.sha256) {
      return fmt::format("Checksum mismatch: {} (expected {}, got {})", entry_.original_path, entry_.sha256,
                         hashed->digest);
    }
    source_file_ = std::move(hashed->file);
    return std::nullopt;
  }

  std::optional<std::string> prepare_folder(FolderMaker& folders) {
    const std::string parent = parent_path(destination_);
    if (parent.empty()) return std::nullopt;
    if (auto made = folders.make(parent); !made) {
      return fmt::format("Cannot create folder for {}: {}", entry_.original_path, made.error().message());
    }
    return std::nullopt;
  }

  std::optional<std::string> copy_and_verify() {
    auto copied = copy_open_file(source_file_.get(), destination_);
    source_file_.reset();
    if (!copied) return fmt::format("Copy failed for {}: {}", entry_.original_path, copied.error().message());
    auto digest = sha256_file(destination_);
    if (!digest) return fmt::format("Cannot verify {} after copy: {}", entry_.original_path, digest.error().message());
    if (*digest != entry_.sha256) {
      return fmt::format("Copy verification failed for {} (expected {}, got {})", entry_.original_path, entry_.sha256,
                         *digest);
    }
    return std::nullopt;
  }

 private:
  const std::string& staging_root_;
  const std::string& restored_dir_;
  const ManifestEntryView& entry_;
  std::string source_;
  std::string destination_;
  Fd source_file_;
};

}  // namespace

Result<std::string> find_desktop_dir() {
  auto home = home_dir();
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
  if (path.empty() || path.front() == '/' || (path.size() > 1 && path[1] == ':')) return invalid;
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
                                         ProgressDialog& progress) {
  auto desktop = find_desktop_dir();
  if (!desktop) return desktop.error();
  const std::string restored_dir = join_path(*desktop, kRestoredFolder);
  if (auto made = create_directories(restored_dir); !made) return made.error();

  FileRestoreOutcome outcome;
  FolderMaker folders;
  const std::uint64_t total = std::max<std::uint64_t>(entries.size(), 1);
  std::uint64_t processed = 0;
  for (std::size_t index = 0; index < entries.size(); ++index) {
    const ManifestEntryView entry = entries[index];
    ++processed;
    EntryRestore restore(staging_root, restored_dir, entry);
    if (auto failure = restore.check_source()) {
      outcome.failures.push_back(std::move(*failure));
      continue;
    }
    if (auto failure = restore.prepare_folder(folders)) {
      outcome.failures.push_back(std::move(*failure));
      continue;
    }
    if (auto failure = restore.copy_and_verify()) {
      outcome.failures.push_back(std::move(*failure));
    } else {
      ++outcome.restored;
    }
    progress_percent(progress, static_cast<unsigned>(processed * 100 / total), entry.original_path);
  }
  return outcome;
}

}  // namespace korvo
