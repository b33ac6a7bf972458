#pragma once

#include <string>
#include <string_view>

namespace korvo {

// Lower-cases every character by the simple Unicode case mapping (so "É"
// becomes "é", not only A-Z). Bytes that are not valid UTF-8 are kept as
// they are. Without the C.UTF-8 locale only ASCII letters change.
std::string unicode_lower(std::string_view text);

}  // namespace korvo
