// The containment rules. The input is "root NUL path"; the whole input is
// also an archive entry name (NULs included).
// - ensure_within_root agrees with a plain reading of the component rule;
// - a name that safe_relative_path keeps, joined to a root, stays inside it
//   once its "." and ".." are resolved as the kernel would (no links exist
//   in a staging folder), and passes ensure_within_root;
// - a refused name is absolute, holds a NUL, or climbs out.

#include <string>
#include <vector>

#include "common/files.hpp"
#include "fuzz_support.hpp"
#include "staging/paths.hpp"

namespace {

std::vector<std::string> reference_components(std::string_view path) {
  std::vector<std::string> parts;
  std::size_t pos = 0;
  if (!path.empty() && path[0] == '/') {
    parts.emplace_back("/");
    pos = 1;
  }
  std::string current;
  bool first_relative = parts.empty();
  const auto finish = [&] {
    if (!current.empty() && (current != "." || first_relative)) parts.push_back(current);
    if (!current.empty()) first_relative = false;
    current.clear();
  };
  for (; pos < path.size(); ++pos) {
    if (path[pos] == '/') {
      finish();
    } else {
      current += path[pos];
    }
  }
  finish();
  return parts;
}

bool reference_within(std::string_view root, std::string_view path) {
  const auto r = reference_components(root);
  const auto p = reference_components(path);
  if (r.size() > p.size()) return false;
  for (std::size_t i = 0; i < r.size(); ++i) {
    if (r[i] != p[i]) return false;
  }
  return true;
}

// Calls step with each piece of name between "/" separators, empty ones too.
template <typename Step>
void for_each_piece(std::string_view name, Step step) {
  while (true) {
    const std::size_t slash = name.find('/');
    step(name.substr(0, slash));
    if (slash == std::string_view::npos) return;
    name.remove_prefix(slash + 1);
  }
}

// Where name, taken below the root, really leads: "." and ".." applied in
// turn, ".." at the top of the file system staying there.
std::vector<std::string> resolved_below(std::string_view name, const std::vector<std::string>& root) {
  std::vector<std::string> at = root;
  for_each_piece(name, [&](std::string_view piece) {
    if (piece == "..") {
      if (at.size() > 1) at.pop_back();
    } else if (!piece.empty() && piece != ".") {
      at.emplace_back(piece);
    }
  });
  return at;
}

bool climbs_out(std::string_view name) {
  long depth = 0;
  bool out = false;
  for_each_piece(name, [&](std::string_view piece) {
    if (piece == "..") {
      out = out || --depth < 0;
    } else if (!piece.empty() && piece != ".") {
      ++depth;
    }
  });
  return out;
}

void check_root_rule(const std::string& root, const std::string& path) {
  const auto result = korvo::ensure_within_root(root, path);
  const bool expected = reference_within(root, path);
  FUZZ_CHECK(result.ok() == expected, "ensure_within_root(" + root + ", " + path + ") disagrees");
  if (!result.ok()) {
    const std::string message = "Path escapes its allowed root: " + path + " is not inside " + root;
    FUZZ_CHECK(result.error().message() == message && result.error().cause() == nullptr, result.error().render());
  }
}

void check_entry_name(std::string_view name) {
  static const std::string kRoot = "/staging/Backup";
  static const std::vector<std::string> kRootParts = {"/", "staging", "Backup"};
  const auto safe = korvo::safe_relative_path(name);
  const bool refused = name.find('\0') != std::string_view::npos || (!name.empty() && name[0] == '/') ||
                       climbs_out(name);
  FUZZ_CHECK(safe.has_value() != refused, std::string(name));
  if (!safe) return;
  FUZZ_CHECK(*safe == name, "a kept name was changed");
  const std::string joined = korvo::join_path(kRoot, *safe);
  const auto landed = resolved_below(joined.substr(kRoot.size()), kRootParts);
  FUZZ_CHECK(landed.size() >= kRootParts.size() &&
                 std::equal(kRootParts.begin(), kRootParts.end(), landed.begin()),
             "a kept name leads outside its folder: " + joined);
  FUZZ_CHECK(korvo::ensure_within_root(kRoot, joined).ok(), "a kept name fails the root check: " + joined);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = korvo::fuzz::as_text(data, size);
  const auto parts = korvo::fuzz::split_at_nul(input);
  const std::string root(parts[0]);
  const std::string path(parts.size() > 1 ? parts[1] : parts[0]);
  check_root_rule(root, path);
  check_root_rule(path, root);
  check_entry_name(input);
  for (const std::string_view part : parts) check_entry_name(part);
  return 0;
}
