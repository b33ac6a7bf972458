#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"

namespace korvo {

// Lexical containment: fails with "Path escapes its allowed root: {} is not
// inside {}" unless root's components are a prefix of path's.
Result<void> ensure_within_root(const std::string& root, const std::string& path);

// Components of a path without touching the file system: a leading "/" is
// the component "/", runs of "/" separate once, "." is dropped except at the
// start of a relative path, ".." is kept as it is.
std::vector<std::string_view> path_components(std::string_view path);

// An archive entry name that stays below the folder it is unpacked into:
// the name unchanged, or nothing when it is absolute, holds a NUL, or climbs
// above its start with "..".
std::optional<std::string> safe_relative_path(std::string_view name);

}  // namespace korvo
