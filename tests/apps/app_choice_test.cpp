#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "apps/app_choice.hpp"

namespace korvo {
namespace {

InstallItem item(std::string app, std::string linux_name, bool alternative) {
  InstallItem result;
  result.app = std::move(app);
  result.linux_name = std::move(linux_name);
  result.alternative = alternative;
  return result;
}

TEST(AppChoice, LabelAndTickFollowAlternative) {
  const ChecklistRow edition = checklist_row(item("Spotify", "Spotify", false));
  EXPECT_EQ(edition.label, "Spotify (you had Spotify)");
  EXPECT_TRUE(edition.ticked);
  const ChecklistRow different = checklist_row(item("Photoshop", "GIMP", true));
  EXPECT_EQ(different.label, "GIMP — instead of Photoshop (a different app)");
  EXPECT_FALSE(different.ticked);
}

TEST(AppChoice, ChecklistArguments) {
  const std::vector<ChecklistRow> rows = {{"Tom & <Jerry> (you had X)", true}, {"B — instead of A (a different app)", false}};
  const std::vector<std::string> expected = {
      "--list",           "--checklist",     "--width=560",   "--height=440",   "--column=Install",
      "--column=#",       "--column=App",    "--hide-column=2", "--print-column=2", "--separator=\n",
      "--text=Korvo can install these apps for you. Untick anything you don't want.",
      "TRUE",             "0",               "Tom & <Jerry> (you had X)",
      "FALSE",            "1",               "B — instead of A (a different app)"};
  EXPECT_EQ(checklist_arguments(rows), expected);
  EXPECT_EQ(checklist_arguments(rows)[9].size(), 13u);
}

TEST(AppChoice, ChecklistOutputToRows) {
  const struct {
    std::string output;
    std::vector<std::size_t> rows;
  } cases[] = {
      {"", {}},
      {"0", {0}},
      {"2\n0", {2, 0}},
      {" 1 \r\n\n2\t", {1, 2}},
      {"1\n3\n99999999999999999999999\n0", {1, 0}},
      {"x\n-1\n+1\n1.0\n0x1\n2", {2}},
      {"TRUE\n1", {1}},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_checklist_output(c.output, 3), c.rows) << c.output;
}

TEST(AppChoice, TerminalListing) {
  const std::vector<ChecklistRow> rows = {{"VLC (you had Media Player)", true}, {"GIMP — instead of Photoshop (a different app)", false}};
  EXPECT_EQ(terminal_listing(rows),
            "\nKorvo can install these apps for you. Untick anything you don't want.\n"
            "  [x] VLC (you had Media Player)\n"
            "  [ ] GIMP — instead of Photoshop (a different app)\n");
}

}  // namespace
}  // namespace korvo
