#pragma once

#include <sys/types.h>

#include <string>

#include "common/error.hpp"

namespace korvo {

// Copies the bytes of source over destination (created or truncated) and
// gives it exactly `mode`, set before the first byte is written, so secret
// content is never readable under wider bits.
Result<void> copy_file_with_mode(const std::string& source, const std::string& destination, mode_t mode);

}  // namespace korvo
