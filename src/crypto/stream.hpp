#pragma once

#include <string>

#include "common/error.hpp"
#include "crypto/key.hpp"

namespace korvo {

// Authenticates and decrypts every record of Backup.enc into output_path;
// the key is wiped before it returns, on every path.
Result<void> decrypt_backup_stream(const std::string& encrypted_path, const std::string& output_path, BackupKey key);

}  // namespace korvo
