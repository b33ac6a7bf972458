#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace korvo {

// The 32-byte AES-256-GCM key of a backup; wiped when it goes away.
class BackupKey {
 public:
  static constexpr std::size_t kSize = 32;
  BackupKey() = default;
  BackupKey(BackupKey&& other) noexcept;
  BackupKey& operator=(BackupKey&& other) noexcept;
  BackupKey(const BackupKey&) = delete;
  BackupKey& operator=(const BackupKey&) = delete;
  ~BackupKey() { wipe(); }

  std::uint8_t* data() { return bytes_.data(); }
  const std::uint8_t* data() const { return bytes_.data(); }
  void wipe();

 private:
  std::array<std::uint8_t, kSize> bytes_{};
};

// Reads backup.salt at salt_path and derives the key with Argon2id.
Result<BackupKey> derive_backup_key(const std::string& salt_path, std::string_view password);

}  // namespace korvo
