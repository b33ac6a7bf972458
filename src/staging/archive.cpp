#include "staging/archive.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>

#include <fmt/format.h>

#include "common/files.hpp"
#include "common/text.hpp"
#include "staging/paths.hpp"
#include "common/i18n.hpp"

namespace korvo {
namespace {

constexpr std::string_view kManifestName = "manifest.json";
constexpr std::size_t kCopyBufferSize = 8192;

struct ArchiveCloser {
  // Read-only: nothing to write back, so discard rather than close.
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
struct EntryCloser {
  void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using Archive = std::unique_ptr<zip_t, ArchiveCloser>;
using Entry = std::unique_ptr<zip_file_t, EntryCloser>;

// The archive file as libzip reads it, through one 64 KiB window. libzip
// seeks before nearly every read and most reads are small neighbours (an
// entry's local header, then its data), so through stdio nearly every one
// of them became its own system call.
class ArchiveReader {
 public:
  ArchiveReader(Fd file, zip_uint64_t size) : file_(std::move(file)), size_(size) { zip_error_init(&error_); }
  ~ArchiveReader() { zip_error_fini(&error_); }
  ArchiveReader(const ArchiveReader&) = delete;
  ArchiveReader& operator=(const ArchiveReader&) = delete;

  // libzip's entry point; the source owns the reader and frees it.
  static zip_int64_t callback(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command) {
    auto* reader = static_cast<ArchiveReader*>(state);
    switch (command) {
      case ZIP_SOURCE_OPEN:
        reader->offset_ = 0;
        return 0;
      case ZIP_SOURCE_READ:
        return reader->read(static_cast<char*>(data), length);
      case ZIP_SOURCE_CLOSE:
        return 0;
      case ZIP_SOURCE_STAT: {
        auto* stat = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &reader->error_);
        if (stat == nullptr) return -1;
        zip_stat_init(stat);
        stat->size = reader->size_;
        stat->valid |= ZIP_STAT_SIZE;
        return sizeof(zip_stat_t);
      }
      case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&reader->error_, data, length);
      case ZIP_SOURCE_FREE:
        delete reader;
        return 0;
      case ZIP_SOURCE_SEEK: {
        const zip_int64_t offset =
            zip_source_seek_compute_offset(reader->offset_, reader->size_, data, length, &reader->error_);
        if (offset < 0) return -1;
        reader->offset_ = static_cast<zip_uint64_t>(offset);
        return 0;
      }
      case ZIP_SOURCE_TELL:
        return static_cast<zip_int64_t>(reader->offset_);
      case ZIP_SOURCE_ACCEPT_EMPTY:
        return 0;  // an empty file is not an archive
      case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                              ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL,
                                              ZIP_SOURCE_SUPPORTS, ZIP_SOURCE_ACCEPT_EMPTY, -1);
      default:
        zip_error_set(&reader->error_, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
  }

 private:
  static constexpr std::size_t kWindowSize = 64 * 1024;

  zip_int64_t read(char* data, zip_uint64_t length) {
    zip_uint64_t done = 0;
    while (done < length && offset_ < size_) {
      if (offset_ < window_start_ || offset_ >= window_start_ + window_length_) {
        // A big read goes straight to the caller; a small one refills the window.
        const zip_uint64_t left = length - done;
        if (left >= kWindowSize) {
          const ssize_t got = pread_retrying(data + done, static_cast<std::size_t>(left));
          if (got < 0) return -1;
          if (got == 0) break;
          done += static_cast<zip_uint64_t>(got);
          offset_ += static_cast<zip_uint64_t>(got);
          continue;
        }
        if (!window_) window_.reset(new char[kWindowSize]);
        window_start_ = offset_;
        window_length_ = 0;
        const ssize_t got = pread_retrying(window_.get(), kWindowSize);
        if (got < 0) return -1;
        if (got == 0) break;
        window_length_ = static_cast<std::size_t>(got);
      }
      const std::size_t within = static_cast<std::size_t>(offset_ - window_start_);
      const std::size_t take =
          static_cast<std::size_t>(std::min<zip_uint64_t>(length - done, window_length_ - within));
      std::memcpy(data + done, window_.get() + within, take);
      done += take;
      offset_ += take;
    }
    return static_cast<zip_int64_t>(done);
  }

  // Reads at the current offset; a failure is kept for libzip to ask about.
  ssize_t pread_retrying(char* into, std::size_t length) {
    while (true) {
      const ssize_t got = ::pread(file_.get(), into, length, static_cast<off_t>(offset_));
      if (got >= 0) return got;
      if (errno == EINTR) continue;
      zip_error_set(&error_, ZIP_ER_READ, errno);
      return -1;
    }
  }

  Fd file_;
  zip_uint64_t size_;
  zip_uint64_t offset_ = 0;
  std::unique_ptr<char[]> window_;
  zip_uint64_t window_start_ = 0;
  std::size_t window_length_ = 0;
  zip_error_t error_;
};

Result<Archive> open_archive(const std::string& path, std::string open_message, std::string_view invalid_message) {
  // Opened by hand first so that a missing file reads as such, not as a bad archive.
  auto fd = open_file(path, O_RDONLY);
  if (!fd) return Error(std::move(open_message), fd.error());
  struct stat info;
  if (::fstat(fd->get(), &info) != 0) return Error(std::move(open_message), os_error(errno));

  zip_error_t error;
  zip_error_init(&error);
  auto* reader = new ArchiveReader(std::move(*fd), static_cast<zip_uint64_t>(info.st_size));
  zip_source_t* source = zip_source_function_create(&ArchiveReader::callback, reader, &error);
  if (source == nullptr) {
    delete reader;
  } else {
    // No ZIP_CHECKCONS: it refuses repeated names, which must unpack (the later one wins).
    if (zip_t* archive = zip_open_from_source(source, ZIP_RDONLY, &error)) {
      zip_error_fini(&error);
      return Archive(archive);
    }
    zip_source_free(source);
  }
  Error result(std::string(invalid_message), Error(zip_error_strerror(&error)));
  zip_error_fini(&error);
  return result;
}

// libzip also decodes bzip2 and more, and would ask for a password for an
// encrypted entry; only stored and Deflate plaintext entries are accepted.
Result<Entry> open_entry(zip_t* archive, zip_uint64_t index) {
  zip_stat_t stat;
  zip_stat_init(&stat);
  if (zip_stat_index(archive, index, 0, &stat) != 0) return Error(zip_strerror(archive));
  if ((stat.valid & ZIP_STAT_ENCRYPTION_METHOD) != 0 && stat.encryption_method != ZIP_EM_NONE) {
    return Error(tr("Password required to decrypt file"));
  }
  if ((stat.valid & ZIP_STAT_COMP_METHOD) == 0 ||
      (stat.comp_method != ZIP_CM_STORE && stat.comp_method != ZIP_CM_DEFLATE)) {
    return Error(tr("Compression method not supported"));
  }
  zip_file_t* file = zip_fopen_index(archive, index, 0);
  if (file == nullptr) return Error(zip_strerror(archive));
  return Entry(file);
}

// The size the central directory declares; 0 when it declares none.
std::uint64_t declared_size(zip_t* archive, zip_uint64_t index) {
  zip_stat_t stat;
  zip_stat_init(&stat);
  if (zip_stat_index(archive, index, 0, &stat) != 0 || (stat.valid & ZIP_STAT_SIZE) == 0) return 0;
  return stat.size;
}

// The entry's content, never more than it declares: the room check counts
// on the declared sizes, and a Deflate stream can inflate to any size. A
// longer stream reads as damaged data.
class BoundedEntry {
 public:
  BoundedEntry(zip_file_t* entry, std::uint64_t declared) : entry_(entry), left_(declared) {}

  Result<std::size_t> read(char* buffer, std::size_t size) {
    if (size == 0) return std::size_t{0};
    // One byte asked for beyond the end shows a stream that goes on.
    const std::size_t asked = left_ < size ? static_cast<std::size_t>(left_) + 1 : size;
    const zip_int64_t got = zip_fread(entry_, buffer, asked);
    if (got < 0) return Error(zip_file_strerror(entry_));
    if (static_cast<std::uint64_t>(got) > left_) return Error(reader_text(ZIP_ER_INCONS));
    left_ -= static_cast<std::uint64_t>(got);
    return static_cast<std::size_t>(got);
  }

 private:
  static std::string reader_text(int code) {
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    std::string text = zip_error_strerror(&error);
    zip_error_fini(&error);
    return text;
  }

  zip_file_t* entry_;
  std::uint64_t left_;
};

std::optional<std::string_view> entry_name(zip_t* archive, zip_uint64_t index) {
  // Decoded as UTF-8 when flagged so, from code page 437 otherwise.
  const char* name = zip_get_name(archive, index, ZIP_FL_ENC_GUESS);
  if (name == nullptr) return std::nullopt;
  return std::string_view(name);
}

zip_uint64_t entry_count(zip_t* archive) {
  const zip_int64_t count = zip_get_num_entries(archive, 0);
  return count < 0 ? 0 : static_cast<zip_uint64_t>(count);
}

// With a repeated name the later entry is the one that ends up unpacked,
// so that is the one checked.
std::optional<zip_uint64_t> find_manifest(zip_t* archive) {
  std::optional<zip_uint64_t> found;
  const zip_uint64_t count = entry_count(archive);
  for (zip_uint64_t index = 0; index < count; ++index) {
    if (entry_name(archive, index) == kManifestName) found = index;
  }
  return found;
}

// Checked as it is inflated: the archive's copy is never held whole.
Result<void> read_manifest(zip_t* archive, const ManifestCheck& check_manifest) {
  const auto index = find_manifest(archive);
  if (!index) return Error(tr("Backup data is missing manifest.json"));
  auto entry = open_entry(archive, *index);
  if (!entry) return Error(tr("Backup data is missing manifest.json"), entry.error());

  BoundedEntry bounded(entry->get(), declared_size(archive, *index));
  const TextReader read = [&bounded](char* buffer, std::size_t size) { return bounded.read(buffer, size); };
  auto checked = check_manifest(read);
  if (!checked.read) return Error(tr("Cannot read manifest.json from backup data"), checked.read.error());
  if (!checked.parse) return Error(tr("Backup manifest is invalid"), checked.parse.error());
  return Ok{};
}

// What the entries say they unpack to, which bounds what they can.
std::uint64_t unpacked_size(zip_t* archive) {
  std::uint64_t total = 0;
  const zip_uint64_t count = entry_count(archive);
  for (zip_uint64_t index = 0; index < count; ++index) {
    const std::uint64_t size = declared_size(archive, index);
    total = size > UINT64_MAX - total ? UINT64_MAX : total + size;
  }
  return total;
}

Result<void> extract_entry(zip_t* archive, zip_uint64_t index, const std::string& root, FolderMaker& folders) {
  auto entry = open_entry(archive, index);
  if (!entry) return Error(tr("Invalid ZIP entry"), entry.error());
  const auto name = entry_name(archive, index);
  if (!name) return Error(tr("Invalid ZIP entry"), Error(zip_strerror(archive)));
  const auto relative = safe_relative_path(*name);
  if (!relative) return Error(tr("ZIP entry has an unsafe path"));
  const std::string output_path = join_path(root, *relative);
  KORVO_RETURN_IF_ERROR(ensure_within_root(root, output_path));

  if (ends_with(*name, "/") || ends_with(*name, "\\")) {
    if (auto made = folders.make(output_path); !made) {
      return Error(tr("Cannot create staging directory"), made.error());
    }
    return Ok{};
  }
  if (auto made = folders.make(parent_path(output_path)); !made) {
    return Error(tr("Cannot create staging directory"), made.error());
  }
  auto output = open_file(output_path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (!output) return Error(tr("Cannot write staging file"), output.error());

  char buffer[kCopyBufferSize];
  BoundedEntry bounded(entry->get(), declared_size(archive, index));
  while (true) {
    // A CRC-32 mismatch shows up here, as a failed read at the entry's end.
    const auto got = bounded.read(buffer, sizeof buffer);
    if (!got) return Error(tr("Cannot extract staging file"), got.error());
    if (*got == 0) break;
    auto written = write_all(output->get(), std::string_view(buffer, *got));
    if (!written) return Error(tr("Cannot extract staging file"), written.error());
  }
  if (auto closed = close_checked(*output); !closed) return Error(tr("Cannot extract staging file"), closed.error());
  return Ok{};
}

}  // namespace

Result<void> check_archive_manifest(const std::string& archive_path, const ManifestCheck& check) {
  constexpr std::string_view kOuter = N_("Decrypted backup is missing a valid manifest");
  auto archive =
      open_archive(archive_path, trf("Cannot open {}", archive_path), tr("Backup data is not a valid ZIP archive"));
  if (!archive) return Error(tr(kOuter), archive.error());
  if (auto read = read_manifest(archive->get(), check); !read) return Error(tr(kOuter), read.error());
  return Ok{};
}

Result<std::string> extract_backup_archive(const std::string& archive_path, const std::string& staging_dir,
                                           const std::function<Result<void>(std::uint64_t)>& check_room_for) {
  auto archive =
      open_archive(archive_path, tr("Cannot open decrypted backup"), tr("Decrypted data is not a valid ZIP archive"));
  if (!archive) return archive.error();
  if (check_room_for) KORVO_RETURN_IF_ERROR(check_room_for(unpacked_size(archive->get())));
  const std::string destination = join_path(staging_dir, "Backup");
  if (auto made = create_directories(destination); !made) {
    return Error(tr("Cannot create restore staging directory"), made.error());
  }
  auto root = canonical_path(destination);
  if (!root) return Error(tr("Cannot resolve staging directory"), root.error());

  FolderMaker folders;
  const zip_uint64_t count = entry_count(archive->get());
  for (zip_uint64_t index = 0; index < count; ++index) {
    KORVO_RETURN_IF_ERROR(extract_entry(archive->get(), index, *root, folders));
  }
  return *root;
}

}  // namespace korvo
