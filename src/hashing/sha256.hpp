#pragma once

#include <string>

#include "common/error.hpp"

namespace korvo {

// SHA-256 of a file's content as 64 lower-case hex digits.
Result<std::string> sha256_file(const std::string& path);

}  // namespace korvo
