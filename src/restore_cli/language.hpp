#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/held_folder.hpp"

namespace korvo {

// Picks the desktop's language for messages and character type from the
// environment (LANGUAGE, LC_ALL, LC_MESSAGES, LANG), as desktop programs do;
// numbers and collation stay "C". Finds the catalogs beside the program
// (a build tree), in the installed locale folder, or, in the portable
// program, inside the program itself: those are written to a private folder
// in temp_dir, which is returned and must be kept until the last text has
// been looked up, then removed. Without a catalog the texts stay English.
std::optional<HeldFolder> use_desktop_language(const std::string& temp_dir);

// One compiled catalog: its language and the bytes of its .mo file.
struct CatalogFile {
  std::string_view language;
  std::string_view bytes;
};

// Writes the catalogs into a fresh private folder in temp_dir and binds the
// program's messages to it. gettext reads a catalog when a text is first
// looked up, so the folder lives, held, for the rest of the run; another
// account cannot plant a catalog in a folder that is ours all along.
// Nothing when a file cannot be written.
std::optional<HeldFolder> bind_catalogs(const std::string& temp_dir, const std::vector<CatalogFile>& catalogs);

}  // namespace korvo
