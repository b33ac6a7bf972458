#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Writes test backups the way the companion backup tool does: a ZIP archive
// sealed chunk by chunk with AES-256-GCM under an Argon2id key (Backup.enc)
// and the Base64 salt text (backup.salt).
namespace korvo::testing {

inline constexpr std::string_view kTestPassword = "correct horse battery staple";
inline constexpr std::string_view kTestSaltText = "c2FsdHNhbHRzYWx0c2FsdA";  // 16 bytes

struct BackupEntry {
  std::string name;     // stored as given: may be unsafe, a directory ("x/"), or repeated
  std::string content;
  bool deflate = true;  // false: stored
};

struct BackupSpec {
  std::vector<BackupEntry> entries;  // in archive order; no manifest is added for you
  std::string password = std::string(kTestPassword);
  std::string salt_text = std::string(kTestSaltText);
  std::uint32_t chunk_size = 65536;
};

// SHA-256 of bytes as 64 lower-case hex digits.
std::string sha256_hex(std::string_view bytes);

// A valid manifest.json text listing (backup_path, content) pairs with their
// real digests; original_path is "C:\\Users\\alex\\" + backup_path with
// backslashes.
std::string manifest_for(const std::vector<std::pair<std::string, std::string>>& files);

// Writes folder/Backup.enc and folder/backup.salt (creating folder).
void write_backup(const std::string& folder, const BackupSpec& spec);

}  // namespace korvo::testing
