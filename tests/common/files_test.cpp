#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <optional>

#include "common/files.hpp"
#include "support/sandbox.hpp"
#include "support/tmpfs_mount.hpp"

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

bool set_immutable(const std::string& path, bool on) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
  done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  ::close(fd);
  return done;
}

// One thing in the tree cannot go: the rest goes all the same, and only
// that thing is named, with the reason the system gave for it.
TEST(RemoveTree, GoesOnPastWhatCannotGoAndNamesOnlyThat) {
  struct Case {
    const char* name;
    bool mount;  // a file system mounted there, or an immutable file
    const char* reason;
  };
  std::string cannot_here;
  for (const Case& c : {Case{"immutable file", false, "Operation not permitted"},
                        Case{"another file system", true, "Device or resource busy"}}) {
    testing::ScratchDir scratch;
    const std::string tree = scratch.sub("tree");
    const std::string stays = tree + "/a/stays";
    testing::write_test_file(tree + "/a/b/c.txt", "c");
    testing::write_test_file(tree + "/a/d.txt", "d");
    testing::write_test_file(tree + "/z.txt", "z");
    std::optional<testing::TmpfsMount> mount;
    if (!c.mount) {
      testing::write_test_file(stays, "kept");
      if (!set_immutable(stays, true)) {
        cannot_here += std::string(" ") + c.name + ": no immutable flag here;";
        continue;
      }
    } else {
      ASSERT_TRUE(create_directories(stays).ok());
      mount.emplace(stays, 64 * 1024);
      if (!mount->mounted()) {
        cannot_here += std::string(" ") + c.name + ": " + mount->failure() + ";";
        continue;
      }
      testing::write_test_file(stays + "/inside.txt", "not ours");
    }
    const auto removed = remove_tree(tree);
    ASSERT_FALSE(removed.ok()) << c.name;
    EXPECT_EQ(removed.error().render(), "Cannot remove " + stays + ": " + c.reason) << c.name;
    EXPECT_TRUE(path_exists_nofollow(stays)) << c.name;
    for (const char* gone : {"/a/b", "/a/d.txt", "/z.txt"}) {
      EXPECT_FALSE(path_exists_nofollow(tree + gone)) << c.name << gone;
    }
    if (mount) {
      EXPECT_EQ(testing::read_test_file(stays + "/inside.txt"), "not ours");
    } else {
      EXPECT_TRUE(set_immutable(stays, false));
    }
  }
  if (!cannot_here.empty()) GTEST_SKIP() << "not run:" << cannot_here;
}

// Far deeper than the descriptors a process may hold.
TEST(RemoveTree, DeepTreeUnderALowDescriptorLimit) {
  testing::ScratchDir scratch;
  std::string deepest = scratch.sub("tree");
  for (int level = 0; level < 600; ++level) {
    deepest += "/d";
    if (level % 100 == 0) testing::write_test_file(deepest + "/f", "f");
  }
  ASSERT_TRUE(create_directories(deepest).ok());
  testing::write_test_file(deepest + "/bottom.txt", "b");

  const auto open_fds = list_directory("/proc/self/fd");
  ASSERT_TRUE(open_fds.ok());
  int highest = 2;
  for (const std::string& name : open_fds.value()) highest = std::max(highest, std::stoi(name));
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = static_cast<rlim_t>(highest + 8);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  const auto removed = remove_tree(scratch.sub("tree"));
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_TRUE(removed.ok()) << removed.error().render();
  EXPECT_FALSE(path_exists_nofollow(scratch.sub("tree")));
}

}  // namespace
}  // namespace korvo
