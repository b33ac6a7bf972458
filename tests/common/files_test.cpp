#include <gtest/gtest.h>

#include <sys/stat.h>

#include "common/files.hpp"
#include "support/sandbox.hpp"

namespace korvo {
namespace {

TEST(CreateDirectories, MakesMissingParentsAcceptsExistingAndRefusesFilesInTheWay) {
  testing::ScratchDir scratch;
  EXPECT_TRUE(create_directories(scratch.sub("a/b/c")).ok());
  EXPECT_TRUE(is_directory(scratch.sub("a/b/c")));
  EXPECT_TRUE(create_directories(scratch.sub("a/b/c")).ok());
  EXPECT_TRUE(create_directories(scratch.sub("a//b/d/")).ok());
  EXPECT_TRUE(is_directory(scratch.sub("a/b/d")));

  testing::write_test_file(scratch.sub("file"), "x");
  const auto on_file = create_directories(scratch.sub("file"));
  ASSERT_FALSE(on_file.ok());
  EXPECT_EQ(on_file.error().render(), "File exists");
  const auto below_file = create_directories(scratch.sub("file/inner/deeper"));
  ASSERT_FALSE(below_file.ok());
  EXPECT_EQ(below_file.error().render(), "Not a directory");
  EXPECT_FALSE(create_directories("").ok());
}

TEST(CopyFile, TruncatesTheDestinationAndTakesTheSourceBits) {
  testing::ScratchDir scratch;
  testing::write_test_file(scratch.sub("source"), "new", 0750);
  testing::write_test_file(scratch.sub("destination"), "much longer old content", 0600);
  ASSERT_TRUE(copy_file(scratch.sub("source"), scratch.sub("destination")).ok());
  EXPECT_EQ(testing::read_test_file(scratch.sub("destination")), "new");
  struct stat info;
  ASSERT_EQ(::stat(scratch.sub("destination").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0750u);
  EXPECT_FALSE(copy_file(scratch.sub("missing"), scratch.sub("other")).ok());
  EXPECT_FALSE(path_exists_nofollow(scratch.sub("other")));
}

}  // namespace
}  // namespace korvo
