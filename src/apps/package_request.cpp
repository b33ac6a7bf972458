#include "apps/package_request.hpp"

#include <fmt/format.h>

namespace korvo {
namespace {

bool is_lower_or_digit(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

}  // namespace

bool is_valid_package_name(std::string_view name) {
  if (name.empty() || name.size() > kMaxPackageNameBytes || !is_lower_or_digit(name.front())) return false;
  for (const char c : name) {
    if (!is_lower_or_digit(c) && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

bool is_valid_snap_name(std::string_view name) {
  if (name.size() < 2 || name.size() > 40 || name.front() == '-' || name.back() == '-') return false;
  if (name.find("--") != std::string_view::npos) return false;
  bool has_letter = false;
  for (const char c : name) {
    if (!is_lower_or_digit(c) && c != '-') return false;
    has_letter = has_letter || (c >= 'a' && c <= 'z');
  }
  return has_letter;
}

std::optional<PackageRequest> parse_package_request(std::string_view argument) {
  const std::size_t colon = argument.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::string_view tag = argument.substr(0, colon);
  const std::string_view name = argument.substr(colon + 1);
  if (!is_valid_package_name(name)) return std::nullopt;
  PackageRequest request;
  request.name = std::string(name);
  if (tag == kSnapClassicTag) {
    request.is_snap = true;
    request.classic = true;
  } else if (tag == kSnapTag) {
    request.is_snap = true;
  } else if (tag != kAptTag) {
    return std::nullopt;
  }
  return request;
}

std::string package_request_argument(std::string_view tag, std::string_view name) {
  return fmt::format("{}:{}", tag, name);
}

}  // namespace korvo
