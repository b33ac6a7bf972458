#pragma once

#include <optional>
#include <string_view>

// zenity reads a progress window's "# TEXT" lines as plain text up to 4.0.2
// and as Pango markup from 4.0.3 on; the window's --text is markup in every
// version.
namespace korvo {

struct ZenityVersion {
  unsigned major = 0;
  unsigned minor = 0;
  unsigned micro = 0;
};

// The first line of `zenity --version`: "MAJOR.MINOR[.MICRO]", blanks around
// it allowed; nothing for anything else.
std::optional<ZenityVersion> parse_zenity_version(std::string_view output);

// True from 4.0.3 on, and when the version is unknown (escaping is then the
// safer guess: an unescaped "&" in markup loses the whole line).
bool progress_lines_read_markup(const std::optional<ZenityVersion>& version);

// Runs "zenity" "--version" on the first call only; the answer holds for the
// rest of the run.
bool zenity_progress_lines_read_markup();

}  // namespace korvo
