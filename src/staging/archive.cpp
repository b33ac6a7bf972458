#include "staging/archive.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "common/files.hpp"
#include "common/i18n.hpp"
#include "common/text.hpp"
#include "staging/paths.hpp"

namespace korvo {
namespace {

constexpr std::string_view kManifestName = "manifest.json";
constexpr std::size_t kCopyBufferSize = 64 * 1024;

std::string libzip_text(int code) {
  zip_error_t error;
  zip_error_init_with_code(&error, code);
  std::string text = zip_error_strerror(&error);
  zip_error_fini(&error);
  return text;
}

bool names_folder(std::string_view name) { return ends_with(name, "/") || ends_with(name, "\\"); }

}  // namespace

std::optional<std::string> resolved_entry_path(std::string_view name) {
  if (name.find('\0') != std::string_view::npos || starts_with(name, "/")) return std::nullopt;
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (start <= name.size()) {
    const std::size_t slash = std::min(name.find('/', start), name.size());
    const std::string_view part = name.substr(start, slash - start);
    if (part == "..") {
      if (parts.empty()) return std::nullopt;
      parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = slash + 1;
  }
  std::string path;
  for (const std::string_view part : parts) {
    if (!path.empty()) path += '/';
    path += part;
  }
  return path;
}

// The plaintext of Backup.enc as libzip reads it. A failure of the stream
// is kept whole, so that the caller can tell a damaged record from a
// damaged archive.
struct EntryReader::Source {
  SealedStream* stream = nullptr;
  zip_uint64_t offset = 0;
  zip_error_t error;
  std::optional<Error> failure;

  Source() { zip_error_init(&error); }
  ~Source() { zip_error_fini(&error); }

  // The stream's failure, if the last error came from it.
  std::optional<Error> take_failure() {
    std::optional<Error> taken = std::move(failure);
    failure.reset();
    return taken;
  }

  static zip_int64_t callback(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command) {
    auto* source = static_cast<Source*>(state);
    switch (command) {
      case ZIP_SOURCE_OPEN:
        source->offset = 0;
        return 0;
      case ZIP_SOURCE_READ: {
        auto got = source->stream->read_at(source->offset, static_cast<char*>(data), static_cast<std::size_t>(length));
        if (!got) {
          source->failure = got.error();
          zip_error_set(&source->error, ZIP_ER_READ, 0);
          return -1;
        }
        source->offset += *got;
        return static_cast<zip_int64_t>(*got);
      }
      case ZIP_SOURCE_CLOSE:
        return 0;
      case ZIP_SOURCE_STAT: {
        auto* stat = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &source->error);
        if (stat == nullptr) return -1;
        zip_stat_init(stat);
        stat->size = source->stream->size();
        stat->valid |= ZIP_STAT_SIZE;
        return sizeof(zip_stat_t);
      }
      case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&source->error, data, length);
      case ZIP_SOURCE_FREE:
        delete source;
        return 0;
      case ZIP_SOURCE_SEEK: {
        const zip_int64_t offset =
            zip_source_seek_compute_offset(source->offset, source->stream->size(), data, length, &source->error);
        if (offset < 0) return -1;
        source->offset = static_cast<zip_uint64_t>(offset);
        return 0;
      }
      case ZIP_SOURCE_TELL:
        return static_cast<zip_int64_t>(source->offset);
      case ZIP_SOURCE_ACCEPT_EMPTY:
        return 0;  // an empty stream is not an archive
      case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                              ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL,
                                              ZIP_SOURCE_SUPPORTS, ZIP_SOURCE_ACCEPT_EMPTY, -1);
      default:
        zip_error_set(&source->error, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
  }
};

EntryReader::EntryReader(zip_file_t* file, std::uint64_t declared, Source* source)
    : file_(file), declared_(declared), source_(source) {}

EntryReader::EntryReader(EntryReader&& other) noexcept
    : file_(std::exchange(other.file_, nullptr)),
      declared_(other.declared_),
      produced_(other.produced_),
      source_(other.source_) {}

EntryReader::~EntryReader() {
  if (file_ != nullptr) zip_fclose(file_);
}

Result<std::size_t> EntryReader::read(char* into, std::size_t size) {
  // One byte past the declared size is asked for, to see the end or an overrun.
  const std::uint64_t room = declared_ - std::min(declared_, produced_) + 1;
  const auto ask = static_cast<zip_uint64_t>(std::min<std::uint64_t>(size, room));
  const zip_int64_t got = zip_fread(file_, into, ask);
  if (got < 0) {
    if (auto failure = source_->take_failure()) return *failure;
    return Error(zip_file_strerror(file_));
  }
  produced_ += static_cast<std::uint64_t>(got);
  if (produced_ > declared_) return Error(libzip_text(ZIP_ER_INCONS));
  return static_cast<std::size_t>(got);
}

BackupArchive::BackupArchive(std::unique_ptr<SealedStream> stream, zip_t* archive, EntryReader::Source* source)
    : stream_(std::move(stream)), archive_(archive), source_(source) {}

BackupArchive::~BackupArchive() { zip_discard(archive_); }  // read-only: nothing to write back

Result<std::unique_ptr<BackupArchive>> BackupArchive::open(std::unique_ptr<SealedStream> stream) {
  zip_error_t error;
  zip_error_init(&error);
  auto* source = new EntryReader::Source;
  source->stream = stream.get();
  zip_source_t* zip_source = zip_source_function_create(&EntryReader::Source::callback, source, &error);
  if (zip_source == nullptr) {
    delete source;
  } else {
    // No ZIP_CHECKCONS: it refuses repeated names, which must be read (the later one wins).
    stream->set_lenient(true);
    zip_t* archive = zip_open_from_source(zip_source, ZIP_RDONLY, &error);
    stream->set_lenient(false);
    if (archive != nullptr) {
      zip_error_fini(&error);
      return std::unique_ptr<BackupArchive>(new BackupArchive(std::move(stream), archive, source));
    }
    std::optional<Error> failure = source->take_failure();
    // Zeros where a damaged record was are what libzip could not read.
    if (!failure && stream->filled_with_zeros()) {
      failure = Error(trf("Decryption failed. The password is incorrect or the backup is corrupted. ({})",
                          tr("Decryption failed. The password is incorrect or the backup is corrupted.")),
                      ErrorKind::kDamaged);
    }
    zip_source_free(zip_source);
    if (failure) {
      zip_error_fini(&error);
      return *failure;
    }
  }
  Error result(tr("Backup data is not a valid ZIP archive"), Error(zip_error_strerror(&error)));
  zip_error_fini(&error);
  return result;
}

std::uint64_t BackupArchive::entry_count() const {
  const zip_int64_t count = zip_get_num_entries(archive_, 0);
  return count < 0 ? 0 : static_cast<std::uint64_t>(count);
}

std::string BackupArchive::entry_name(std::uint64_t index) {
  // Decoded as UTF-8 when flagged so, from code page 437 otherwise.
  const char* name = zip_get_name(archive_, index, ZIP_FL_ENC_GUESS);
  return name == nullptr ? std::string() : std::string(name);
}

bool BackupArchive::is_folder(std::uint64_t index) { return names_folder(entry_name(index)); }

std::uint64_t BackupArchive::entry_size(std::uint64_t index) {
  zip_stat_t stat;
  zip_stat_init(&stat);
  if (zip_stat_index(archive_, index, 0, &stat) != 0 || (stat.valid & ZIP_STAT_SIZE) == 0) return 0;
  return stat.size;
}

// libzip also decodes bzip2 and more, and would ask for a password for an
// encrypted entry; only stored and Deflate plaintext entries are accepted.
Result<EntryReader> BackupArchive::open_entry(std::uint64_t index) {
  zip_stat_t stat;
  zip_stat_init(&stat);
  if (zip_stat_index(archive_, index, 0, &stat) != 0) return Error(zip_strerror(archive_));
  if ((stat.valid & ZIP_STAT_ENCRYPTION_METHOD) != 0 && stat.encryption_method != ZIP_EM_NONE) {
    return Error(tr("Password required to decrypt file"));
  }
  if ((stat.valid & ZIP_STAT_COMP_METHOD) == 0 ||
      (stat.comp_method != ZIP_CM_STORE && stat.comp_method != ZIP_CM_DEFLATE)) {
    return Error(tr("Compression method not supported"));
  }
  zip_file_t* file = zip_fopen_index(archive_, index, 0);
  if (file == nullptr) {
    if (auto failure = source_->take_failure()) return *failure;
    return Error(zip_strerror(archive_));
  }
  return EntryReader(file, (stat.valid & ZIP_STAT_SIZE) != 0 ? stat.size : 0, source_);
}

Result<void> BackupArchive::read_manifest(const ManifestCheck& check) {
  constexpr std::string_view kOuter = N_("Decrypted backup is missing a valid manifest");
  // With a repeated name the later entry is the one that unpacking kept.
  std::optional<std::uint64_t> found;
  for (std::uint64_t index = 0; index < entry_count(); ++index) {
    const char* name = zip_get_name(archive_, index, ZIP_FL_ENC_GUESS);
    if (name != nullptr && name == kManifestName) found = index;
  }
  if (!found) return Error(tr(kOuter), Error(tr("Backup data is missing manifest.json")));
  auto entry = open_entry(*found);
  if (!entry) {
    if (entry.error().kind() == ErrorKind::kDamaged) return entry.error();
    return Error(tr(kOuter), Error(tr("Backup data is missing manifest.json"), entry.error()));
  }
  std::optional<Error> record_failure;
  const TextReader read = [&](char* buffer, std::size_t size) -> Result<std::size_t> {
    auto got = entry->read(buffer, size);
    if (!got && !record_failure && got.error().kind() == ErrorKind::kDamaged) record_failure = got.error();
    return got;
  };
  auto checked = check(read);
  // A record that does not open ends the run as it always has, whatever the manifest said.
  if (record_failure) return *record_failure;
  if (!checked.read) {
    return Error(tr(kOuter), Error(tr("Cannot read manifest.json from backup data"), checked.read.error()));
  }
  if (!checked.parse) return Error(tr(kOuter), Error(tr("Backup manifest is invalid"), checked.parse.error()));
  return Ok{};
}

Result<void> BackupArchive::check_entries() {
  for (std::uint64_t index = 0; index < entry_count(); ++index) {
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(archive_, index, 0, &stat) != 0) {
      return Error(tr("Invalid ZIP entry"), Error(zip_strerror(archive_)));
    }
    if ((stat.valid & ZIP_STAT_ENCRYPTION_METHOD) != 0 && stat.encryption_method != ZIP_EM_NONE) {
      return Error(tr("Invalid ZIP entry"), Error(tr("Password required to decrypt file")));
    }
    if ((stat.valid & ZIP_STAT_COMP_METHOD) == 0 ||
        (stat.comp_method != ZIP_CM_STORE && stat.comp_method != ZIP_CM_DEFLATE)) {
      return Error(tr("Invalid ZIP entry"), Error(tr("Compression method not supported")));
    }
    const char* name = zip_get_name(archive_, index, ZIP_FL_ENC_GUESS);
    if (name == nullptr) return Error(tr("Invalid ZIP entry"), Error(zip_strerror(archive_)));
    if (!safe_relative_path(name)) return Error(tr("ZIP entry has an unsafe path"));
  }
  return Ok{};
}

void BackupArchive::build_lookup() {
  looked_up_ = true;
  const std::uint64_t count = entry_count();
  lookup_.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t index = 0; index < count; ++index) {
    const std::string name = entry_name(index);
    if (names_folder(name)) continue;
    const auto path = resolved_entry_path(name);
    if (!path || path->empty()) continue;
    lookup_.emplace_back(std::hash<std::string_view>{}(*path), index);
  }
  std::sort(lookup_.begin(), lookup_.end());
}

std::optional<std::uint64_t> BackupArchive::find_file(std::string_view relative_path) {
  if (!looked_up_) build_lookup();
  const std::uint64_t hash = std::hash<std::string_view>{}(relative_path);
  auto first = std::lower_bound(lookup_.begin(), lookup_.end(), std::make_pair(hash, std::uint64_t{0}));
  auto last = std::upper_bound(lookup_.begin(), lookup_.end(), std::make_pair(hash, UINT64_MAX));
  // Sorted by entry within one hash: the later entry is tried first.
  while (last != first) {
    --last;
    if (resolved_entry_path(entry_name(last->second)) == relative_path) return last->second;
  }
  return std::nullopt;
}

std::uint64_t BackupArchive::size_below(const std::vector<std::string_view>& tops) {
  std::uint64_t total = 0;
  for (std::uint64_t index = 0; index < entry_count(); ++index) {
    const std::string name = entry_name(index);
    const auto path = resolved_entry_path(name);
    if (!path || names_folder(name)) continue;
    const std::string_view top = std::string_view(*path).substr(0, path->find('/'));
    if (std::find(tops.begin(), tops.end(), top) == tops.end()) continue;
    const std::uint64_t size = entry_size(index);
    total = size > UINT64_MAX - total ? UINT64_MAX : total + size;
  }
  return total;
}

Result<std::string> BackupArchive::unpack_below(const std::vector<std::string_view>& tops,
                                                const std::string& staging_dir) {
  const std::string destination = join_path(staging_dir, "Backup");
  if (auto made = create_directories(destination); !made) {
    return Error(tr("Cannot create restore staging directory"), made.error());
  }
  auto root = canonical_path(destination);
  if (!root) return Error(tr("Cannot resolve staging directory"), root.error());

  FolderMaker folders;
  std::vector<char> buffer(kCopyBufferSize);
  for (std::uint64_t index = 0; index < entry_count(); ++index) {
    const std::string name = entry_name(index);
    const auto path = resolved_entry_path(name);
    if (!path || path->empty()) continue;
    const std::string_view top = std::string_view(*path).substr(0, path->find('/'));
    if (std::find(tops.begin(), tops.end(), top) == tops.end()) continue;
    const std::string output_path = join_path(*root, *path);
    KORVO_RETURN_IF_ERROR(ensure_within_root(*root, output_path));
    if (names_folder(name)) {
      if (auto made = folders.make(output_path); !made) {
        return Error(tr("Cannot create staging directory"), made.error());
      }
      continue;
    }
    auto entry = open_entry(index);
    if (!entry) return Error(tr("Invalid ZIP entry"), entry.error());
    if (auto made = folders.make(parent_path(output_path)); !made) {
      return Error(tr("Cannot create staging directory"), made.error());
    }
    auto output = open_file(output_path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (!output) return Error(tr("Cannot write staging file"), output.error());
    while (true) {
      auto got = entry->read(buffer.data(), buffer.size());
      if (!got) return Error(tr("Cannot extract staging file"), got.error());
      if (*got == 0) break;
      auto written = write_all(output->get(), std::string_view(buffer.data(), *got));
      if (!written) return Error(tr("Cannot extract staging file"), written.error());
    }
    if (auto closed = close_checked(*output); !closed) return Error(tr("Cannot extract staging file"), closed.error());
  }
  return *root;
}

}  // namespace korvo
