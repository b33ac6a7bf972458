#pragma once

#include <string>

#include "common/error.hpp"

namespace korvo {

// Lexical containment: fails with "Path escapes its allowed root: {} is not
// inside {}" unless root's components are a prefix of path's.
Result<void> ensure_within_root(const std::string& root, const std::string& path);

}  // namespace korvo
