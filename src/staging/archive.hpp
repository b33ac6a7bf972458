#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "common/json.hpp"
#include "crypto/stream.hpp"
#include "staging/zip_directory.hpp"

namespace korvo {

// The manifest's own rule, handed in by the caller, so that the archive
// needs to know nothing about manifests.
using ManifestCheck = std::function<StreamedJsonParse(const TextReader&)>;

// The path at which unpacking would leave an entry, its ".." and "."
// resolved ("a/../b" is "b"); nothing for a name that leaves the top or
// holds a NUL.
std::optional<std::string> resolved_entry_path(std::string_view name);

class BackupArchive;

// One entry's content, inflated as it is read; CRC-32 checked at its end.
// It lives no longer than the archive it came from.
class EntryReader {
 public:
  ~EntryReader();
  EntryReader(EntryReader&&) noexcept;
  EntryReader& operator=(EntryReader&&) = delete;
  EntryReader(const EntryReader&) = delete;
  EntryReader& operator=(const EntryReader&) = delete;

  // Some bytes, 0 at the end. Content that is damaged, fails its check, or
  // runs past the size the entry declares is an error with the reader's
  // description; a sealed record that does not open is the stream's error,
  // of kind kDamaged.
  Result<std::size_t> read(char* into, std::size_t size);

 private:
  friend class BackupArchive;
  struct Inflater;
  EntryReader(BackupArchive& archive, const ZipEntry& entry, std::uint64_t data_at);
  Result<std::size_t> inflate_into(char* into, std::size_t size, bool& ended);

  BackupArchive* archive_;
  std::unique_ptr<Inflater> inflater_;  // none for a stored entry
  std::uint64_t next_;                  // the next byte of its data in the plaintext
  std::uint64_t data_left_;             // of its data, compressed or stored
  std::uint64_t declared_;
  std::uint64_t produced_ = 0;
  std::uint32_t expected_crc_;
  std::uint32_t crc_ = 0;
  bool ended_ = false;
  std::optional<Error> failure_;  // every later read fails with it too
};

// The ZIP archive that Backup.enc seals, read in place: nothing decrypted
// is written anywhere unless a caller writes it.
class BackupArchive {
 public:
  // Not a ZIP archive: "Backup data is not a valid ZIP archive" over the
  // reader's description. A record that does not open or cannot be read:
  // the stream's own error.
  static Result<std::unique_ptr<BackupArchive>> open(std::unique_ptr<SealedStream> stream);
  ~BackupArchive();
  BackupArchive(const BackupArchive&) = delete;
  BackupArchive& operator=(const BackupArchive&) = delete;

  // Parses "manifest.json" through `check`; a failure of the archive comes
  // back under "Decrypted backup is missing a valid manifest", a record that
  // does not open as the stream's error.
  Result<void> read_manifest(const ManifestCheck& check);

  // Every entry can be read (stored or Deflate, not encrypted) and has a
  // safe name: "Invalid ZIP entry" or "ZIP entry has an unsafe path".
  Result<void> check_entries();

  std::uint64_t entry_count() const;
  // The file entry that unpacking would have left at this relative path; of
  // two with one name, the later.
  std::optional<std::uint64_t> find_file(std::string_view relative_path);
  // Its size as the archive declares it; a read never yields more.
  std::uint64_t entry_size(std::uint64_t index) const;
  // Its name as the archive gives it (code page 437 or UTF-8, decoded).
  std::string entry_name(std::uint64_t index) const;
  bool is_folder(std::uint64_t index) const;
  Result<EntryReader> open_entry(std::uint64_t index);

  // The entries whose resolved path begins with one of `tops`: their total
  // declared size, and unpacking them into `staging_dir`/Backup, whose
  // canonical path comes back.
  std::uint64_t size_below(const std::vector<std::string_view>& tops);
  Result<std::string> unpack_below(const std::vector<std::string_view>& tops, const std::string& staging_dir);

  SealedStream& stream() { return *stream_; }

 private:
  friend class EntryReader;
  BackupArchive(std::unique_ptr<SealedStream> stream, ZipDirectory directory);
  void build_lookup();

  std::unique_ptr<SealedStream> stream_;
  ZipDirectory directory_;
  // Kept from one Deflate entry to the next, so that each small file does
  // not cost an inflate state and an input buffer of its own.
  std::unique_ptr<EntryReader::Inflater> spare_inflater_;
  // Hashes of resolved file paths, sorted, with their entry; built on first use.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> lookup_;
  bool looked_up_ = false;
};

}  // namespace korvo
