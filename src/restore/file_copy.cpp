#include "restore/file_copy.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include <fmt/format.h>

#include "common/files.hpp"
#include "common/process.hpp"
#include "common/text.hpp"
#include "hashing/sha256.hpp"
#include "restore/file_writer.hpp"
#include "staging/paths.hpp"
#include "common/i18n.hpp"

namespace korvo {
namespace {

constexpr std::size_t kCopyBufferSize = 1 << 20;
// Small enough that reading and writing overlap within a file of a few hundred KiB.
constexpr std::size_t kPieceSize = 256 * 1024;
constexpr std::string_view kDamagedHere = N_("the backup is damaged where this file is stored");
constexpr std::string_view kNotHeld = N_("the backup does not hold this file");

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

// Why an entry could not be read, as the failure line says it: the drive's
// own failure, or damage in the backup.
std::string read_failure(const Error& error) {
  if (error.message() == tr("Cannot read Backup.enc")) return error.message();
  return tr(kDamagedHere);
}

// The folders of restored files. A folder it made for a file that did not
// come back goes again at the end, when nothing else went into it, so a
// failed file leaves no folder behind. The first time it meets a folder
// that was there, it removes the temporary files a stopped run left in it.
class Folders {
 public:
  // The folders made, outermost first; the OS error otherwise.
  Result<std::vector<std::string>> make(const std::string& path) {
    std::vector<std::string> missing;
    std::string at = path;
    while (!at.empty() && known_.count(at) == 0) {
      struct stat info;
      if (::stat(at.c_str(), &info) == 0) {
        if (!S_ISDIR(info.st_mode)) return os_error(EEXIST);
        sweep(at);
        known_.insert(at);
        break;
      }
      if (errno != ENOENT) return os_error(errno);
      missing.push_back(at);
      at = parent_path(at);
    }
    std::vector<std::string> made;
    for (auto folder = missing.rbegin(); folder != missing.rend(); ++folder) {
      if (::mkdir(folder->c_str(), 0777) != 0 && errno != EEXIST) {
        const int error = errno;
        undo(made);
        return os_error(error);
      }
      known_.insert(*folder);
      made.push_back(*folder);
    }
    return made;
  }

  void undo(const std::vector<std::string>& made) {
    for (auto folder = made.rbegin(); folder != made.rend(); ++folder) {
      (void)::rmdir(folder->c_str());
      known_.erase(*folder);
    }
  }

  // Made for a file that may still fail: kept until the end, as the writer
  // may be putting a later file into it.
  void made_for(std::size_t position, std::vector<std::string> made) {
    if (!made.empty()) pending_.emplace(position, std::move(made));
  }
  void landed(std::size_t position) { pending_.erase(position); }
  void lost(std::size_t position) {
    if (auto found = pending_.find(position); found != pending_.end()) {
      lost_.push_back(std::move(found->second));
      pending_.erase(found);
    }
  }
  // Those of lost files that stayed empty.
  void remove_lost() {
    for (auto made = lost_.rbegin(); made != lost_.rend(); ++made) undo(*made);
    lost_.clear();
  }

 private:
  static void sweep(const std::string& folder) {
    auto names = list_directory(folder);
    if (!names) return;
    for (const std::string& name : *names) {
      if (starts_with(name, kPartialPrefix)) (void)::unlink(join_path(folder, name).c_str());
    }
  }

  std::unordered_set<std::string> known_;
  std::unordered_map<std::size_t, std::vector<std::string>> pending_;
  std::vector<std::vector<std::string>> lost_;
};

using Piece = std::vector<char>;

// An entry read to its end and hashed on the way: each piece is read into
// a buffer from `next`, then handed to `take` with the bytes read, the last
// with none; every buffer comes back, whatever happens. The digest, or why
// the entry could not be read.
Result<std::string> read_hashed(BackupArchive& archive, std::uint64_t index, const std::function<Piece()>& next,
                                const std::function<void(Piece, std::size_t)>& take) {
  auto reader = archive.open_entry(index);
  if (!reader) return reader.error();
  Sha256 hash;
  while (true) {
    Piece piece = next();
    auto got = reader->read(piece.data(), piece.size());
    if (got && *got > 0) {
      if (auto hashed = hash.update(std::string_view(piece.data(), *got)); !hashed) got = hashed.error();
    }
    take(std::move(piece), got ? *got : 0);
    if (!got) return got.error();
    if (*got == 0) return hash.hex();
  }
}

// A manifest file's failure line, from what reading it gave; nothing when
// it came back whole and right.
std::optional<std::string> failure_line(const ManifestEntryView& entry, const Result<std::string>& digest) {
  if (!digest) return trf("Cannot read {}: {}", entry.original_path, read_failure(digest.error()));
  if (*digest != entry.sha256) {
    return trf("Checksum mismatch: {} (expected {}, got {})", entry.original_path, entry.sha256, *digest);
  }
  return std::nullopt;
}

// A manifest entry and the archive entry it names, in the order the copy
// takes them: the archive's, so that the drive is read front to back.
struct Planned {
  std::uint64_t entry = 0;
  std::size_t manifest_index = 0;
};

// The manifest's files in archive order, so that the drive is read front to
// back. Each that cannot come back (an unsafe path, a file the backup does
// not hold) goes to `failed` with its line instead. With `restored_dir`, a
// path must also stay inside that folder.
std::vector<Planned> plan_in_archive_order(BackupArchive& archive, const ManifestFiles& entries,
                                           const std::string* restored_dir,
                                           const std::function<void(std::size_t, std::string)>& failed) {
  std::vector<Planned> planned;
  for (std::size_t index = 0; index < entries.size(); ++index) {
    const ManifestEntryView entry = entries[index];
    auto relative = normalise_backup_path(entry.backup_path);
    if (!relative) {
      failed(index, trf("Unsafe backup path {}: {}", entry.original_path, relative.error().message()));
      continue;
    }
    if (restored_dir != nullptr && !ensure_within_root(*restored_dir, join_path(*restored_dir, *relative))) {
      failed(index, trf("Unsafe backup path: {}", entry.original_path));
      continue;
    }
    const auto found = archive.find_file(*relative);
    if (!found) {
      failed(index, trf("Cannot read {}: {}", entry.original_path, tr(kNotHeld)));
      continue;
    }
    planned.push_back({*found, index});
  }
  std::stable_sort(planned.begin(), planned.end(), [](const Planned& a, const Planned& b) { return a.entry < b.entry; });
  return planned;
}

class Copy {
 public:
  Copy(BackupArchive& archive, const std::string& restored_dir, CopyProgress& progress)
      : archive_(archive), restored_dir_(restored_dir), progress_(progress), writer_(kPieceSize) {}

  std::vector<Planned> plan(const ManifestFiles& entries) {
    return plan_in_archive_order(archive_, entries, &restored_dir_,
                                 [this](std::size_t index, std::string line) { fail(index, std::move(line)); });
  }

  // Once a disk is full, every later file would fail the same way.
  bool stopped() const { return disk_full_ || writer_.stopped(); }

  void restore(const ManifestEntryView& entry, std::size_t manifest_index, std::uint64_t index,
               std::size_t position) {
    absorb(writer_.take_outcomes());
    const std::string destination = join_path(restored_dir_, *normalise_backup_path(entry.backup_path));
    const std::uint64_t size = archive_.entry_size(index);
    if (already_right(destination, size, entry.sha256)) {
      ++outcome_.restored;
      ++outcome_.kept;
      progress_.file_kept(entry.original_path, size);
      return;
    }
    auto made = folders_.make(parent_path(destination));
    if (!made) {
      failures_.emplace_back(manifest_index,
                             trf("Cannot create folder for {}: {}", entry.original_path, made.error().message()));
      progress_.file_done(size, false);
      if (made.error().kind() == ErrorKind::kNoSpace) disk_full_ = true;
      return;
    }
    folders_.made_for(position, std::move(*made));
    writer_.begin({position, manifest_index, destination, std::string(entry.original_path), std::string(entry.sha256)});
    progress_.begin_file(entry.original_path, size);
    std::optional<Error> verdict = read_into_writer(entry, index);
    progress_.file_done(size, !verdict);
    writer_.finish(std::move(verdict));
  }

  void fail(std::size_t manifest_index, std::string message) {
    failures_.emplace_back(manifest_index, std::move(message));
    progress_.file_done(0, false);
  }

  // `reached`: the files of the plan that were handed over or kept.
  FileRestoreOutcome finish(std::size_t planned, std::size_t reached) {
    absorb(writer_.drain());
    folders_.remove_lost();
    outcome_.disk_full = stopped();
    outcome_.not_tried = skipped_ + (planned - reached);
    outcome_.copied = progress_.finish();
    std::stable_sort(failures_.begin(), failures_.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& failure : failures_) outcome_.failures.push_back(std::move(failure.second));
    return std::move(outcome_);
  }

 private:
  // A file left by an earlier run is kept when it is exactly what the manifest holds.
  static bool already_right(const std::string& destination, std::uint64_t size, std::string_view sha256) {
    struct stat info;
    if (::lstat(destination.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    if (static_cast<std::uint64_t>(info.st_size) != size) return false;
    auto digest = sha256_file(destination);
    return digest && *digest == sha256;
  }

  // Reads and hashes the entry, handing each piece to the writer; what is
  // wrong with what was read, as the file's failure line.
  std::optional<Error> read_into_writer(const ManifestEntryView& entry, std::uint64_t index) {
    const auto digest = read_hashed(
        archive_, index, [this] { return writer_.take_buffer(); },
        [this](Piece piece, std::size_t size) {
          writer_.write(std::move(piece), size);
          progress_.wrote(size);
        });
    if (auto line = failure_line(entry, digest)) return Error(std::move(*line));
    return std::nullopt;
  }

  // What the writer made of the files handed to it. A file counted as back
  // when its content was read whole is taken off again if it did not land.
  void absorb(std::vector<WriteOutcome> outcomes) {
    for (WriteOutcome& done : outcomes) {
      switch (done.state) {
        case WriteOutcome::State::kPlaced:
          ++outcome_.restored;
          folders_.landed(done.position);
          continue;
        case WriteOutcome::State::kFailed:
          failures_.emplace_back(done.manifest_index, done.error->message());
          break;
        case WriteOutcome::State::kSkipped:
          ++skipped_;
          break;
      }
      folders_.lost(done.position);
      if (done.verdict_ok) progress_.file_lost(done.bytes);
    }
  }

  BackupArchive& archive_;
  const std::string& restored_dir_;
  CopyProgress& progress_;
  FileWriter writer_;
  Folders folders_;
  bool disk_full_ = false;  // a folder could not be made
  FileRestoreOutcome outcome_;
  std::vector<std::pair<std::size_t, std::string>> failures_;
  std::uint64_t skipped_ = 0;
};

}  // namespace

namespace {

// The bytes the progress counts: each file as its entry declares, at least
// one byte, so that empty files and ones that fail at once move the bar too.
std::uint64_t progress_total(BackupArchive& archive, const ManifestFiles& entries) {
  std::uint64_t total = 0;
  for (std::size_t index = 0; index < entries.size(); ++index) {
    std::uint64_t size = 0;
    if (auto relative = normalise_backup_path(entries[index].backup_path)) {
      if (const auto found = archive.find_file(*relative)) size = archive.entry_size(*found);
    }
    size = std::max<std::uint64_t>(size, 1);
    total = size > UINT64_MAX - total ? UINT64_MAX : total + size;
  }
  return total;
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

Result<FileRestoreOutcome> restore_files(BackupArchive& archive, const ManifestFiles& entries,
                                         const std::string& restored_dir, Progress& display, ProgressClock clock) {
  KORVO_RETURN_IF_ERROR(create_directories(restored_dir));
  CopyProgress progress(display, progress_total(archive, entries), std::move(clock));
  Copy copy(archive, restored_dir, progress);
  const std::vector<Planned> planned = copy.plan(entries);
  std::size_t reached = 0;
  for (; reached < planned.size() && !copy.stopped(); ++reached) {
    const Planned& next = planned[reached];
    copy.restore(entries[next.manifest_index], next.manifest_index, next.entry, reached);
  }
  return copy.finish(planned.size(), reached);
}

std::uint64_t room_needed(BackupArchive& archive, const ManifestFiles& entries, const std::string& restored_dir) {
  std::uint64_t total = 0;
  for (std::size_t index = 0; index < entries.size(); ++index) {
    auto relative = normalise_backup_path(entries[index].backup_path);
    if (!relative) continue;
    const auto found = archive.find_file(*relative);
    if (!found) continue;
    const std::uint64_t size = archive.entry_size(*found);
    struct stat info;
    const std::string destination = join_path(restored_dir, *relative);
    if (::lstat(destination.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        static_cast<std::uint64_t>(info.st_size) == size) {
      continue;
    }
    total = size > UINT64_MAX - total ? UINT64_MAX : total + size;
  }
  return total;
}

FileCheckOutcome check_files(BackupArchive& archive, const ManifestFiles& entries, Progress& display,
                             ProgressClock clock) {
  CopyProgress progress(display, progress_total(archive, entries), std::move(clock));
  FileCheckOutcome outcome;
  Piece buffer(kCopyBufferSize);
  const auto next = [&] { return std::move(buffer); };
  std::vector<std::pair<std::size_t, std::string>> failures;
  const std::vector<Planned> planned =
      plan_in_archive_order(archive, entries, nullptr, [&](std::size_t index, std::string line) {
        failures.emplace_back(index, std::move(line));
        progress.file_done(0, false);
      });

  std::vector<bool> read(static_cast<std::size_t>(archive.entry_count()), false);
  for (const Planned& plan : planned) {
    const ManifestEntryView entry = entries[plan.manifest_index];
    const std::uint64_t size = archive.entry_size(plan.entry);
    progress.begin_file(entry.original_path, size);
    auto line = failure_line(entry, read_hashed(archive, plan.entry, next, [&](Piece piece, std::size_t size) {
                               progress.wrote(size);
                               buffer = std::move(piece);
                             }));
    read[static_cast<std::size_t>(plan.entry)] = true;
    if (line) {
      failures.emplace_back(plan.manifest_index, std::move(*line));
    } else {
      ++outcome.files;
      outcome.bytes += size;
    }
    progress.file_done(size, !line);
  }
  (void)progress.finish();
  std::stable_sort(failures.begin(), failures.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& failure : failures) outcome.failures.push_back(std::move(failure.second));

  // The rest of the backup: the personal data and anything else it holds.
  for (std::uint64_t index = 0; index < archive.entry_count(); ++index) {
    if (read[static_cast<std::size_t>(index)] || archive.is_folder(index)) continue;
    const auto digest =
        read_hashed(archive, index, next, [&](Piece piece, std::size_t) { buffer = std::move(piece); });
    if (!digest) {
      outcome.failures.push_back(trf("Cannot read {}: {}", archive.entry_name(index), read_failure(digest.error())));
    }
  }
  // Records no entry reaches hold nothing, but a damaged one still says the backup is not whole.
  for (std::size_t record = 0; record < archive.stream().record_count(); ++record) {
    if (auto checked = archive.stream().check_record(record); !checked) {
      outcome.failures.push_back(trf("Cannot read {}: {}", "Backup.enc", tr(kDamagedHere)));
      break;
    }
  }
  return outcome;
}

}  // namespace korvo
