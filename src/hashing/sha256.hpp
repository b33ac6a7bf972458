#pragma once

#include <string>

#include "common/error.hpp"
#include "common/files.hpp"

namespace korvo {

// SHA-256 of a file's content as 64 lower-case hex digits.
Result<std::string> sha256_file(const std::string& path);

// The same, and the file itself, still open, for a caller that reads it next.
struct HashedFile {
  std::string digest;
  Fd file;
};
Result<HashedFile> sha256_file_kept_open(const std::string& path);

}  // namespace korvo
