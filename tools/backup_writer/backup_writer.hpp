#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Writes test backups the way the companion backup tool does: a ZIP archive
// sealed chunk by chunk with AES-256-GCM under an Argon2id key (Backup.enc)
// and the Base64 salt text (backup.salt). Failures throw std::runtime_error.
namespace korvo::testing {

inline constexpr std::string_view kTestPassword = "correct horse battery staple";
inline constexpr std::string_view kTestSaltText = "c2FsdHNhbHRzYWx0c2FsdA";  // 16 bytes

struct BackupEntry {
  std::string name;     // stored as given: may be unsafe, a directory ("x/"), or repeated
  std::string content;
  bool deflate = true;  // false: stored
  // Written as the entry's method instead of 0/8, with the content stored
  // as given (12 makes it look bzip2-compressed).
  std::optional<std::uint16_t> method = std::nullopt;
  bool encrypted_flag = false;  // general-purpose bit 0; content stored as given
};

struct BackupSpec {
  std::vector<BackupEntry> entries;  // in archive order; no manifest is added for you
  std::string password = std::string(kTestPassword);
  std::string salt_text = std::string(kTestSaltText);
  std::uint32_t chunk_size = 65536;                   // plaintext bytes per record
  std::optional<std::uint32_t> header_chunk_size;     // written in the header instead of chunk_size
  bool force_zip64 = false;                           // ZIP64 records even where not needed
};

// SHA-256 of bytes as 64 lower-case hex digits.
std::string sha256_hex(std::string_view bytes);

// A valid manifest.json text listing (backup_path, content) pairs with their
// real digests; original_path is "C:\\Users\\alex\\" + backup_path with
// backslashes.
std::string manifest_for(const std::vector<std::pair<std::string, std::string>>& files);

struct ManifestLine {
  std::string original_path;
  std::string backup_path;
  std::uint64_t size_bytes = 0;
  std::string sha256;
};
std::string manifest_text(const std::vector<ManifestLine>& files);
std::string windows_original_path(std::string_view backup_path);

// The files as entries, preceded by manifest.json listing them.
std::vector<BackupEntry> entries_with_manifest(const std::vector<std::pair<std::string, std::string>>& files);

// Writes folder/Backup.enc and folder/backup.salt (creating folder).
void write_backup(const std::string& folder, const BackupSpec& plan);

// --- Pieces for hand-made containers ---

using TestKey = std::array<std::uint8_t, 32>;

// The Argon2id key for the password and salt text (all zero when the salt
// text cannot be used, so invalid salts still give a writable backup).
TestKey test_key(std::string_view password = kTestPassword, std::string_view salt_text = kTestSaltText);

// The ZIP archive bytes for the entries.
std::string zip_archive(const std::vector<BackupEntry>& entries, bool force_zip64 = false);

// "KORVOENC1" followed by the big-endian chunk size.
std::string container_header(std::uint32_t chunk_size = 65536);

// One valid record: fresh random nonce, length, ciphertext and tag.
std::string sealed_record(const TestKey& key, std::string_view plaintext);

// A record with an arbitrary length field and body (nonce of zeros unless given).
std::string raw_record(std::uint32_t length_field, std::string_view body, std::string_view nonce = {});

// The record with one bit of its tag flipped.
std::string with_damaged_tag(std::string record);

// Header plus the plaintext sealed in records of chunk_size bytes.
std::string sealed_stream(const TestKey& key, std::string_view plaintext, std::uint32_t chunk_size = 65536,
                          std::optional<std::uint32_t> header_chunk_size = std::nullopt);

// Writes the given bytes as folder/Backup.enc and the salt text as backup.salt.
void write_raw_backup(const std::string& folder, std::string_view encrypted, std::string_view salt_text = kTestSaltText);

// --- Big backups from disk, with bounded memory ---

struct DiskFile {
  std::string name;         // entry name in the archive
  std::string source_path;  // file read in pieces
  bool listed = true;       // also gets a manifest entry
  std::string original_path = {};  // for the manifest; windows_original_path(name) when empty
};

struct DiskBackupSpec {
  std::vector<DiskFile> files;
  std::string password = std::string(kTestPassword);
  std::string salt_text = std::string(kTestSaltText);
  std::uint32_t chunk_size = 1 << 20;
  bool deflate = true;
};

// Streams the files into a temporary ZIP inside folder (manifest.json last),
// then seals it record by record into folder/Backup.enc and removes it.
void write_backup_from_disk(const std::string& folder, const DiskBackupSpec& plan);

}  // namespace korvo::testing
