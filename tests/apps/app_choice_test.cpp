#include "apps/app_choice.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace
}  // namespace korvo
