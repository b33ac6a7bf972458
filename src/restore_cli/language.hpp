#pragma once

#include <string>

namespace korvo {

// Picks the desktop's language for messages and character type from the
// environment (LANGUAGE, LC_ALL, LC_MESSAGES, LANG), as desktop programs do;
// numbers and collation stay "C". Finds the catalogs beside the program
// (a build tree), in the installed locale folder, or, in the portable
// program, inside the program itself: those are written to a private folder
// in temp_dir, loaded, and removed again. Without a catalog the texts stay English.
void use_desktop_language(const std::string& temp_dir);

}  // namespace korvo
