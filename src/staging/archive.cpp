#include "staging/archive.hpp"

#include <fcntl.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string_view>

#include <fmt/format.h>

#include "common/files.hpp"
#include "common/text.hpp"
#include "restore/manifest.hpp"
#include "staging/paths.hpp"

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

Error zip_code_error(int code) {
  zip_error_t error;
  zip_error_init_with_code(&error, code);
  Error result(zip_error_strerror(&error));
  zip_error_fini(&error);
  return result;
}

Result<Archive> open_archive(const std::string& path, std::string open_message, std::string_view invalid_message) {
  // Opened by hand first so that a missing file reads as such, not as a bad archive.
  auto fd = open_file(path, O_RDONLY);
  if (!fd) return Error(std::move(open_message), fd.error());
  fd->reset();
  // No ZIP_CHECKCONS: it refuses repeated names, which must unpack (the later one wins).
  int code = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_RDONLY, &code);
  if (archive == nullptr) return Error(std::string(invalid_message), zip_code_error(code));
  return Archive(archive);
}

// libzip also decodes bzip2 and more, and would ask for a password for an
// encrypted entry; only stored and Deflate plaintext entries are accepted.
Result<Entry> open_entry(zip_t* archive, zip_uint64_t index) {
  zip_stat_t stat;
  zip_stat_init(&stat);
  if (zip_stat_index(archive, index, 0, &stat) != 0) return Error(zip_strerror(archive));
  if ((stat.valid & ZIP_STAT_ENCRYPTION_METHOD) != 0 && stat.encryption_method != ZIP_EM_NONE) {
    return Error("Password required to decrypt file");
  }
  if ((stat.valid & ZIP_STAT_COMP_METHOD) == 0 ||
      (stat.comp_method != ZIP_CM_STORE && stat.comp_method != ZIP_CM_DEFLATE)) {
    return Error("Compression method not supported");
  }
  zip_file_t* file = zip_fopen_index(archive, index, 0);
  if (file == nullptr) return Error(zip_strerror(archive));
  return Entry(file);
}

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

Result<void> read_manifest(zip_t* archive) {
  const auto index = find_manifest(archive);
  if (!index) return Error("Backup data is missing manifest.json");
  auto entry = open_entry(archive, *index);
  if (!entry) return Error("Backup data is missing manifest.json", entry.error());

  std::string text;
  char buffer[kCopyBufferSize];
  while (true) {
    const zip_int64_t got = zip_fread(entry->get(), buffer, sizeof buffer);
    if (got < 0) return Error("Cannot read manifest.json from backup data", Error(zip_file_strerror(entry->get())));
    if (got == 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  if (!is_valid_utf8(text)) {
    return Error("Cannot read manifest.json from backup data", Error(std::string(kNotUtf8Message)));
  }
  auto manifest = parse_manifest(text);
  if (!manifest) return Error("Backup manifest is invalid", manifest.error());
  return Ok{};
}

Result<void> close_output(Fd& output) {
  if (::close(output.release()) != 0) return os_error(errno);
  return Ok{};
}

Result<void> extract_entry(zip_t* archive, zip_uint64_t index, const std::string& root, FolderMaker& folders) {
  auto entry = open_entry(archive, index);
  if (!entry) return Error("Invalid ZIP entry", entry.error());
  const auto name = entry_name(archive, index);
  if (!name) return Error("Invalid ZIP entry", Error(zip_strerror(archive)));
  const auto relative = safe_relative_path(*name);
  if (!relative) return Error("ZIP entry has an unsafe path");
  const std::string output_path = join_path(root, *relative);
  if (auto inside = ensure_within_root(root, output_path); !inside) return inside.error();

  if (ends_with(*name, "/") || ends_with(*name, "\\")) {
    if (auto made = folders.make(output_path); !made) {
      return Error("Cannot create staging directory", made.error());
    }
    return Ok{};
  }
  if (auto made = folders.make(parent_path(output_path)); !made) {
    return Error("Cannot create staging directory", made.error());
  }
  auto output = open_file(output_path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (!output) return Error("Cannot write staging file", output.error());

  char buffer[kCopyBufferSize];
  while (true) {
    // A CRC-32 mismatch shows up here, as a failed read at the entry's end.
    const zip_int64_t got = zip_fread(entry->get(), buffer, sizeof buffer);
    if (got < 0) return Error("Cannot extract staging file", Error(zip_file_strerror(entry->get())));
    if (got == 0) break;
    auto written = write_all(output->get(), std::string_view(buffer, static_cast<std::size_t>(got)));
    if (!written) return Error("Cannot extract staging file", written.error());
  }
  if (auto closed = close_output(*output); !closed) return Error("Cannot extract staging file", closed.error());
  return Ok{};
}

}  // namespace

Result<void> check_archive_manifest(const std::string& archive_path) {
  constexpr std::string_view kOuter = "Decrypted backup is missing a valid manifest";
  auto archive =
      open_archive(archive_path, fmt::format("Cannot open {}", archive_path), "Backup data is not a valid ZIP archive");
  if (!archive) return Error(std::string(kOuter), archive.error());
  if (auto read = read_manifest(archive->get()); !read) return Error(std::string(kOuter), read.error());
  return Ok{};
}

Result<std::string> extract_backup_archive(const std::string& archive_path, const std::string& staging_dir) {
  auto archive =
      open_archive(archive_path, "Cannot open decrypted backup", "Decrypted data is not a valid ZIP archive");
  if (!archive) return archive.error();
  const std::string destination = join_path(staging_dir, "Backup");
  if (auto made = create_directories(destination); !made) {
    return Error("Cannot create restore staging directory", made.error());
  }
  auto root = canonical_path(destination);
  if (!root) return Error("Cannot resolve staging directory", root.error());

  FolderMaker folders;
  const zip_uint64_t count = entry_count(archive->get());
  for (zip_uint64_t index = 0; index < count; ++index) {
    if (auto extracted = extract_entry(archive->get(), index, *root, folders); !extracted) return extracted.error();
  }
  return *root;
}

}  // namespace korvo
