#pragma once

#include <string_view>

namespace korvo::fuzz {

// The package name rule read plainly: 1 to 64 bytes, the first a lowercase
// ASCII letter or digit, the rest those or "+", "-", ".".
inline bool reference_package_name(std::string_view name) {
  if (name.empty() || name.size() > 64) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (!alnum && (i == 0 || (c != '+' && c != '-' && c != '.'))) return false;
  }
  return true;
}

}  // namespace korvo::fuzz
