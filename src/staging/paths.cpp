#include "staging/paths.hpp"
#include "common/i18n.hpp"

#include <fmt/format.h>

#include <algorithm>

namespace korvo {

std::vector<std::string_view> path_components(std::string_view path) {
  std::vector<std::string_view> components;
  std::size_t pos = 0;
  if (!path.empty() && path.front() == '/') {
    components.emplace_back("/");
    pos = 1;
  }
  while (pos < path.size()) {
    const std::size_t end = std::min(path.find('/', pos), path.size());
    const std::string_view piece = path.substr(pos, end - pos);
    const bool leading_dot = components.empty() && pos == 0;
    if (!piece.empty() && (piece != "." || leading_dot)) components.push_back(piece);
    pos = end + 1;
  }
  return components;
}

Result<void> ensure_within_root(const std::string& root, const std::string& path) {
  const auto root_parts = path_components(root);
  const auto path_parts = path_components(path);
  const bool inside = root_parts.size() <= path_parts.size() &&
                      std::equal(root_parts.begin(), root_parts.end(), path_parts.begin());
  if (inside) return Ok{};
  return Error(trf("Path escapes its allowed root: {} is not inside {}", path, root));
}

std::optional<std::string> safe_relative_path(std::string_view name) {
  if (name.find('\0') != std::string_view::npos) return std::nullopt;
  std::size_t depth = 0;
  for (const std::string_view part : path_components(name)) {
    if (part == "/") return std::nullopt;
    if (part == "..") {
      if (depth == 0) return std::nullopt;
      --depth;
    } else if (part != ".") {
      ++depth;
    }
  }
  return std::string(name);
}

}  // namespace korvo
