#include <gtest/gtest.h>

#include <string>

#include "dialogs/zenity_version.hpp"

namespace korvo {
namespace {

TEST(ZenityVersion, ProgressLinesAreMarkupFrom403OnAndWhenUnreadable) {
  struct Case {
    const char* output;
    bool readable;
    bool markup;
  };
  const Case cases[] = {
      {"3.44.0\n", true, false},   // Debian 12
      {"3.44\n", true, false},
      {"4.0.1\n", true, false},    // Ubuntu 24.04
      {" 4.0.2 \r\n", true, false},
      {"4.0.3\n", true, true},
      {"4.1.90\n", true, true},    // Debian 13
      {"10.0\n", true, true},
      {"", false, true},
      {"\n4.0.1\n", false, true},
      {"4\n", false, true},
      {"4.0.1-rc1\n", false, true},
      {"v4.0.1\n", false, true},
      {"-3.44.0\n", false, true},
      {"zenity 3.44.0\n", false, true},
  };
  for (const Case& c : cases) {
    const auto version = parse_zenity_version(c.output);
    EXPECT_EQ(version.has_value(), c.readable) << c.output;
    EXPECT_EQ(progress_lines_read_markup(version), c.markup) << c.output;
  }
}

}  // namespace
}  // namespace korvo
