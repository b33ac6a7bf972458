#include "dialogs/zenity.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvo {
namespace {

// Labels and ticks are pinned by the checklist argument vector in the app offer tests.
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
