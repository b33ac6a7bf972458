#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "common/files.hpp"
#include "support/sandbox.hpp"

namespace korvo {
namespace {

TEST(CreateDirectories, MakesMissingParentsAcceptsExistingAndRefusesFilesInTheWay) {
  // The plain form, and the one that remembers folders across calls.
  FolderMaker maker;
  const std::function<Result<void>(const std::string&)> makers[] = {
      create_directories, [&](const std::string& path) { return maker.make(path); }};
  for (const auto& make : makers) {
    testing::ScratchDir scratch;
    EXPECT_TRUE(make(scratch.sub("a/b/c")).ok());
    EXPECT_TRUE(is_directory(scratch.sub("a/b/c")));
    EXPECT_TRUE(make(scratch.sub("a/b/c")).ok());
    EXPECT_TRUE(make(scratch.sub("a//b/d/")).ok());
    EXPECT_TRUE(is_directory(scratch.sub("a/b/d")));

    testing::write_test_file(scratch.sub("file"), "x");
    const auto on_file = make(scratch.sub("file"));
    ASSERT_FALSE(on_file.ok());
    EXPECT_EQ(on_file.error().render(), "File exists");
    const auto below_file = make(scratch.sub("file/inner/deeper"));
    ASSERT_FALSE(below_file.ok());
    EXPECT_EQ(below_file.error().render(), "Not a directory");
    EXPECT_FALSE(make("").ok());

    // A failure is not remembered: once the way is clear the folder is made.
    ASSERT_EQ(::unlink(scratch.sub("file").c_str()), 0);
    EXPECT_TRUE(make(scratch.sub("file/inner/deeper")).ok());
    EXPECT_TRUE(is_directory(scratch.sub("file/inner/deeper")));
  }
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

TEST(RemoveTree, RemovesEverythingBelowWithoutFollowingLinks) {
  testing::ScratchDir scratch;
  testing::write_test_file(scratch.sub("outside/keep.txt"), "kept");
  testing::write_test_file(scratch.sub("tree/a/b/c.txt"), "c", 0400);
  testing::write_test_file(scratch.sub("tree/top.txt"), "top");
  ASSERT_EQ(::symlink(scratch.sub("outside").c_str(), scratch.sub("tree/a/link").c_str()), 0);
  ASSERT_EQ(::symlink(scratch.sub("outside/keep.txt").c_str(), scratch.sub("tree/file-link").c_str()), 0);
  ASSERT_EQ(::chmod(scratch.sub("tree/a/b").c_str(), 0500), 0);  // read-only folder: a root run empties it anyway
  const bool as_root = ::geteuid() == 0;
  const auto removed = remove_tree(scratch.sub("tree"));
  if (as_root) {
    ASSERT_TRUE(removed.ok()) << removed.error().render();
    EXPECT_FALSE(path_exists_nofollow(scratch.sub("tree")));
  } else {
    ASSERT_FALSE(removed.ok());
    EXPECT_EQ(removed.error().render(), "Cannot remove " + scratch.sub("tree/a/b/c.txt") + ": Permission denied");
    ASSERT_EQ(::chmod(scratch.sub("tree/a/b").c_str(), 0700), 0);
    EXPECT_TRUE(remove_tree(scratch.sub("tree")).ok());
  }
  EXPECT_EQ(testing::read_test_file(scratch.sub("outside/keep.txt")), "kept");
  const auto missing = remove_tree(scratch.sub("tree"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().render(), "Cannot remove " + scratch.sub("tree") + ": No such file or directory");
  // A link given as the tree itself is not a folder to empty.
  ASSERT_EQ(::symlink(scratch.sub("outside").c_str(), scratch.sub("link").c_str()), 0);
  EXPECT_FALSE(remove_tree(scratch.sub("link")).ok());
  EXPECT_EQ(testing::read_test_file(scratch.sub("outside/keep.txt")), "kept");
}

}  // namespace
}  // namespace korvo
