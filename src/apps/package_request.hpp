#pragma once

#include <optional>
#include <string>
#include <string_view>

// The "{tag}:{package}" arguments that the app offer hands to the privileged
// installer copy. Both sides use these definitions, so the installer accepts
// exactly what the offer produces.
namespace korvo {

inline constexpr std::string_view kAptTag = "apt";
inline constexpr std::string_view kSnapTag = "snap";
inline constexpr std::string_view kSnapClassicTag = "snap-classic";

inline constexpr std::size_t kMaxPackageNameBytes = 64;

// 1 to 64 bytes of lowercase ASCII letters, digits, "+", "-" and ".", the
// first a letter or digit: never an option, a path or more than one word.
bool is_valid_package_name(std::string_view name);

// The snap store's own name rule on top: 2 to 40 bytes of lowercase letters,
// digits and single inner "-", at least one letter. A "." would let snap
// read the name as a local file.
bool is_valid_snap_name(std::string_view name);

struct PackageRequest {
  std::string name;
  bool is_snap = false;  // false for "apt"
  bool classic = false;  // only for "snap-classic"
};

// Splits at the first ":"; nothing unless the tag is one of the three and
// the name passes the package name rule.
std::optional<PackageRequest> parse_package_request(std::string_view argument);

// "{tag}:{package}".
std::string package_request_argument(std::string_view tag, std::string_view name);

}  // namespace korvo
