#pragma once

#include <memory>
#include <string>
#include <string_view>

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

// SHA-256 of bytes fed piece by piece, for content hashed as it is written.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  Result<void> update(std::string_view bytes);
  // The digest as 64 lower-case hex digits; the hasher starts over.
  Result<std::string> hex();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace korvo
