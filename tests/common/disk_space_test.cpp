#include "common/disk_space.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "support/sandbox.hpp"

namespace korvo {
namespace {

TEST(DiskSpace, BytesReadAsAPersonReadsThem) {
  const std::pair<std::uint64_t, std::string> cases[] = {
      {0, "0 bytes"},          {999, "999 bytes"},         {1000, "1.0 kB"},        {262144, "262.1 kB"},
      {999949, "999.9 kB"},    {999950, "1.0 MB"},         {41'300'000'000, "41.3 GB"}, {UINT64_MAX, "18.4 EB"},
  };
  for (const auto& [bytes, shown] : cases) EXPECT_EQ(format_bytes(bytes), shown) << bytes;
}

TEST(DiskSpace, MarginIsOnePercentAtMostOneGibibyte) {
  EXPECT_EQ(free_space_margin({0, 256 * 1024}), 2621u);
  EXPECT_EQ(free_space_margin({0, std::uint64_t{500} << 30}), std::uint64_t{1} << 30);
}

TEST(DiskSpace, ShortageIsNamedAndAFolderThatCannotTellIsTried) {
  testing::ScratchDir scratch;
  EXPECT_TRUE(check_room(scratch.path(), 0, "advice").ok());
  const auto refused = check_room(scratch.path(), UINT64_MAX, "Free some space.");
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), ErrorKind::kNoSpace);
  EXPECT_EQ(refused.error().render().rfind("Not enough free space in " + scratch.path() + ": the restore needs 18.4 EB there and ", 0), 0u);
  EXPECT_TRUE(check_room(scratch.sub("missing"), UINT64_MAX, "advice").ok());
}

}  // namespace
}  // namespace korvo
