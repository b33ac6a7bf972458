#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/files.hpp"
#include "restore_cli/discovery.hpp"
#include "restore_cli/entry.hpp"
#include "restore_cli/sequence.hpp"
#include "support/recording_dialogs.hpp"
#include "support/sandbox.hpp"

namespace korvo {
namespace {

using testing::ScratchDir;
using testing::write_test_file;
using Args = std::vector<std::string>;

TEST(GuiDecision, FollowsFlagsTerminalAndZenityInThatOrder) {
  struct Case {
    Args args;
    bool terminal;
    bool zenity;
    bool expected;
  };
  const Case cases[] = {
      {{}, true, true, false},
      {{}, false, true, true},
      {{}, false, false, false},
      {{"--gui"}, true, true, true},
      {{"--gui"}, true, false, false},
      {{"--gui", "--no-gui"}, true, true, false},
      {{"--no-gui", "--gui"}, false, true, false},
      {{"--no-gui"}, false, true, false},
      {{"--GUI"}, true, true, false},
      {{"--gui", "--install-apps"}, true, true, true},
  };
  for (const Case& c : cases) {
    int zenity_checks = 0;
    const bool gui = decide_gui(c.args, c.terminal, [&] {
      ++zenity_checks;
      return c.zenity;
    });
    EXPECT_EQ(gui, c.expected) << ::testing::PrintToString(c.args) << " terminal=" << c.terminal;
    // The sh child is started only when nothing else has decided.
    const bool decided_early = (c.terminal && std::find(c.args.begin(), c.args.end(), "--gui") == c.args.end()) ||
                               std::find(c.args.begin(), c.args.end(), "--no-gui") != c.args.end();
    EXPECT_EQ(zenity_checks, decided_early ? 0 : 1);
  }
}

TEST(FileReportLines, CountLineAlwaysFirstAndAtMostTenFailures) {
  EXPECT_EQ(file_report_lines({}), (Args{"0 files are back in the Restored folder on your desktop."}));
  FileRestoreOutcome files;
  files.restored = 3;
  files.copied = {210'000'000'000, std::chrono::minutes(41)};
  for (int i = 1; i <= 25; ++i) files.failures.push_back("f" + std::to_string(i));
  const Args lines = file_report_lines(files);
  ASSERT_EQ(lines.size(), 13u);
  EXPECT_EQ(lines[0], "3 files are back in the Restored folder on your desktop.");
  EXPECT_EQ(lines[1], "210.0 GB in 41 minutes");
  EXPECT_EQ(lines[2], "25 files could not be restored:");
  EXPECT_EQ(lines[3], "  ! f1");
  EXPECT_EQ(lines[12], "  ! f10");

  // A full disk stops the copy: the files never tried count as not restored.
  files.failures = {"Copy failed for C:\\big.bin: No space left on device"};
  files.disk_full = true;
  files.not_tried = 40;
  EXPECT_EQ(file_report_lines(files),
            (Args{"3 files are back in the Restored folder on your desktop.", "210.0 GB in 41 minutes",
                  "41 files could not be restored:",
                  "  ! Copy failed for C:\\big.bin: No space left on device",
                  "The disk of your desktop is full: the other 40 files were not copied. Free some space and run "
                  "Korvo again."}));
}

class DiscoveryTest : public ::testing::Test {
 protected:
  void make_backup_folder(const std::string& folder) {
    write_test_file(folder + "/Backup.enc", "x");
    write_test_file(folder + "/backup.salt", "y");
  }
  ScratchDir scratch;
};

TEST_F(DiscoveryTest, LooksLikeBackupNeedsTwoRegularFilesFollowingLinks) {
  const std::string both = scratch.sub("both");
  make_backup_folder(both);
  EXPECT_TRUE(looks_like_backup(both));

  const std::string salt_dir = scratch.sub("salt-dir");
  write_test_file(salt_dir + "/Backup.enc", "x");
  ASSERT_TRUE(create_directories(salt_dir + "/backup.salt").ok());
  EXPECT_FALSE(looks_like_backup(salt_dir));

  const std::string linked = scratch.sub("linked");
  write_test_file(linked + "/backup.salt", "y");
  ASSERT_EQ(::symlink((both + "/Backup.enc").c_str(), (linked + "/Backup.enc").c_str()), 0);
  EXPECT_TRUE(looks_like_backup(linked));

  const std::string dangling = scratch.sub("dangling");
  write_test_file(dangling + "/backup.salt", "y");
  ASSERT_EQ(::symlink("/nonexistent/Backup.enc", (dangling + "/Backup.enc").c_str()), 0);
  EXPECT_FALSE(looks_like_backup(dangling));

  const std::string salt_only = scratch.sub("salt-only");
  write_test_file(salt_only + "/backup.salt", "y");
  EXPECT_FALSE(looks_like_backup(salt_only));
}

TEST_F(DiscoveryTest, CandidatesPutExecutableFolderFirstAndChildrenBeforeParents) {
  const std::string media = scratch.sub("media");
  const std::string mnt = scratch.sub("mnt");
  ASSERT_TRUE(create_directories(media + "/alex/KORVO/too-deep").ok());
  ASSERT_TRUE(create_directories(mnt + "/LABEL").ok());
  write_test_file(media + "/a-file", "not a folder");
  write_test_file(media + "/alex/stray-file", "");
  const Args roots = {media, mnt, scratch.sub("missing-root")};
  const Args candidates = candidate_folders("/opt/korvo/bin/korvo-restore", roots);
  EXPECT_EQ(candidates, (Args{"/opt/korvo/bin", media + "/alex/KORVO", media + "/alex", mnt + "/LABEL"}));
  EXPECT_EQ(candidate_folders("", roots).front(), media + "/alex/KORVO");
}

TEST_F(DiscoveryTest, NamedFolderIsCheckedWithoutSearchAndAnnouncedInTerminal) {
  const std::string folder = scratch.sub("drive");
  make_backup_folder(folder);
  testing::RecordingDialogs dialogs;
  const auto found = find_backup_folder(dialogs, {"--whatever", folder, "/second/ignored"});
  ASSERT_TRUE(found.ok());
  EXPECT_EQ(*found, folder);
  EXPECT_EQ(dialogs.said, std::vector<std::string>{"Found backup on " + folder});

  const auto missing = find_backup_folder(dialogs, {"--no-gui", "./not/a/backup"});
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().render(),
            "./not/a/backup does not look like a Korvo USB (needs Backup.enc and backup.salt)");
}

}  // namespace
}  // namespace korvo
