#include <gtest/gtest.h>

#include <string>

#include "apps/elevated_install.hpp"
#include "common/i18n.hpp"

namespace korvo {
namespace {

// A catalog that slipped through with a broken template costs the user the
// translation of that one text, never the run.
TEST(Translation, BrokenTranslatedTemplateFallsBackToEnglish) {
  struct Case {
    const char* translated;
    const char* expected;
  };
  const Case cases[] = {
      {"{} Dateien", "3 Dateien"},
      {"{} {} Dateien", "3 files"},  // a field too many
      {"Dateien {", "3 files"},
      {"Dateien {:d}}", "3 files"},
      {"{} files", "3 files"},  // no translation
  };
  for (const Case& c : cases) {
    EXPECT_EQ(i18n_detail::format_or_english(c.translated, "{} files", 3), c.expected) << c.translated;
  }
}

// Without a catalog (the tests run in "C") every text is its English self.
TEST(Translation, InstallerProgressShownAsTheProtocolSaysIt) {
  const char* texts[] = {"Updating the package list…", "Installing gimp…", "Installing …", "Something else"};
  for (const char* text : texts) EXPECT_EQ(shown_progress_text(text), text);
  EXPECT_EQ(trnf("{} files are back.", "{} files are back.", 1, 1), "1 files are back.");
}

}  // namespace
}  // namespace korvo
