#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvo {

bool is_valid_utf8(std::string_view bytes);

// Decodes the UTF-8 sequence at text[pos] into code; returns its length, or
// 0 when it is not valid (overlong, surrogate, cut short, beyond U+10FFFF).
std::size_t utf8_decode(std::string_view text, std::size_t pos, std::uint32_t& code);
// Appends a code point (at most U+10FFFF) as UTF-8.
void utf8_append(std::uint32_t code, std::string& out);

// Invalid sequences become U+FFFD, as a lossy decoder would show them.
std::string utf8_lossy(std::string_view bytes);

// For a terminal: every control character (C0, DEL, C1), line feeds
// included, shown as U+FFFD, so text from a backup cannot move the cursor,
// retitle the window or fake a line of ours. Invalid UTF-8 becomes U+FFFD too.
std::string terminal_safe(std::string_view text);

// Leading and trailing Unicode White_Space removed (input assumed UTF-8).
std::string_view trim_unicode(std::string_view text);

std::string ascii_lower(std::string_view text);

bool starts_with(std::string_view text, std::string_view prefix);
bool ends_with(std::string_view text, std::string_view suffix);

// Lines split at line feeds, one carriage return before each line feed
// dropped; a final line without a line feed is kept, an empty tail is not.
std::vector<std::string> split_lines(std::string_view text);

std::string join(const std::vector<std::string>& parts, std::string_view separator);

// "&" → "&amp;", then "<" → "&lt;", then ">" → "&gt;": text inside Pango
// markup or HTML.
std::string escape_markup(std::string_view text);

// Each occurrence of `from` replaced by `to`, scanning left to right once.
std::string replace_all(std::string_view text, std::string_view from, std::string_view to);

}  // namespace korvo
