#include "apps/elevated_install.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace korvo {
namespace {

std::vector<std::string> lines_from(const std::string& bytes) {
  int ends[2];
  EXPECT_EQ(::pipe(ends), 0);
  EXPECT_EQ(::write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ::close(ends[1]);
  std::vector<std::string> lines;
  read_installer_lines(ends[0], [&](std::string_view line) { lines.emplace_back(line); });
  ::close(ends[0]);
  return lines;
}

TEST(InstallerLines, Splitting) {
  using Lines = std::vector<std::string>;
  EXPECT_EQ(lines_from(""), Lines{});
  EXPECT_EQ(lines_from("# Installing vlc…\nok vlc\n"), (Lines{"# Installing vlc…", "ok vlc"}));
  EXPECT_EQ(lines_from("ok a\r\nok b\r\r\n\nok c"), (Lines{"ok a", "ok b\r", "", "ok c"}));
  EXPECT_EQ(lines_from(std::string(10000, 'x') + "\nok a\n"), (Lines{std::string(10000, 'x'), "ok a"}));
}

TEST(InstallerLines, InvalidUtf8EndsTheReading) {
  using Lines = std::vector<std::string>;
  EXPECT_EQ(lines_from("ok a\nok \xFF\nok b\n"), Lines{"ok a"});
  EXPECT_EQ(lines_from("ok a\nok \xC3"), Lines{"ok a"});
}

}  // namespace
}  // namespace korvo
