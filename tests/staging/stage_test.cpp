#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "restore/manifest.hpp"
#include "staging/staging.hpp"
#include "backup_writer/backup_writer.hpp"
#include "support/env_override.hpp"
#include "support/sandbox.hpp"

namespace korvo {
namespace {

namespace fs = std::filesystem;
using testing::BackupEntry;

std::uint64_t now_millis() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
}

std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& item : fs::directory_iterator(folder)) names.push_back(item.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

unsigned mode_of(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

class StageTest : public ::testing::Test {
 protected:
  StageTest() { fs::create_directories(temp()); }

  std::string temp() const { return scratch_.sub("tmp"); }
  std::string backup_folder() const { return scratch_.sub("usb/KorvoBackup"); }

  // The one staging directory the run made.
  std::string staging_dir() const {
    const auto names = names_in(temp());
    EXPECT_EQ(names.size(), 1u);
    return names.empty() ? std::string() : temp() + "/" + names.front();
  }

  std::string stage_error(const std::string& folder) {
    auto staged = stage(folder);
    return staged.ok() ? "(staged)" : staged.error().render();
  }

  // The staging root, or the error. The staging folders stay held to the
  // test's end, as a run holds them: a later stage would otherwise sweep
  // them away as left behind.
  Result<std::string> stage(const std::string& folder, std::string_view password = testing::kTestPassword) {
    std::optional<HeldFolder> staging;
    auto staged = stage_backup(tmpdir_, folder, password, staging, check_manifest);
    if (staging) held_.push_back(std::move(*staging));
    if (!staged) return staged.error();
    EXPECT_NE(staged->archive, nullptr);
    return staged->root;
  }

  testing::ScratchDir scratch_;
  std::string tmpdir_ = temp();
  std::vector<HeldFolder> held_;
};

// Only what the later stages read is unpacked; the user's files stay in the archive.
TEST_F(StageTest, UnpacksThePersonalDataIntoAFreshPrivateStagingDirectory) {
  std::string big;
  for (int i = 0; big.size() < 50000; ++i) big += std::to_string(i) + " ";
  testing::BackupSpec plan;
  plan.entries = testing::entries_with_manifest({{"Documents/a.txt", "alpha"}, {"big.bin", big}});
  const std::vector<BackupEntry> personal = {{"WiFi/home.xml", big},
                                             {"Settings/settings.json", "{}"},
                                             {"BrowserData/Chrome/Default/Bookmarks", "{}"},
                                             {"linux-install.json", "[]"},
                                             {"Pictures/", ""},
                                             {"WiFi-Passwords.txt", "not personal data: a file"}};
  plan.entries.insert(plan.entries.end(), personal.begin(), personal.end());
  plan.chunk_size = 4096;
  plan.force_zip64 = true;
  testing::write_backup(backup_folder(), plan);

  const std::uint64_t before = now_millis();
  auto staged = stage(backup_folder());
  const std::uint64_t after = now_millis();
  ASSERT_TRUE(staged.ok()) << staged.error().render();

  const std::string staging = staging_dir();
  const std::string name = fs::path(staging).filename().string();
  ASSERT_EQ(name.rfind("korvo-restore-", 0), 0u) << name;
  const std::uint64_t stamp = std::stoull(name.substr(14));
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, after);
  EXPECT_EQ(mode_of(staging), 0700u);
  EXPECT_EQ(names_in(staging), std::vector<std::string>{"Backup"});
  EXPECT_EQ(*staged, fs::canonical(staging + "/Backup").string());
  EXPECT_EQ(names_in(*staged), (std::vector<std::string>{"BrowserData", "Settings", "WiFi", "linux-install.json"}));
  EXPECT_EQ(testing::read_test_file(*staged + "/WiFi/home.xml"), big);
  EXPECT_EQ(testing::read_test_file(*staged + "/Settings/settings.json"), "{}");
  EXPECT_EQ(testing::read_test_file(*staged + "/BrowserData/Chrome/Default/Bookmarks"), "{}");
  EXPECT_EQ(resolve_backup_dir(tmpdir_, *staged).value(), *staged);
}

TEST_F(StageTest, AcceptsRelativeAndLinkedBackupFoldersAndNeverReusesAStagingDirectory) {
  testing::BackupSpec plan;
  plan.entries = testing::entries_with_manifest({{"a.txt", "a"}});
  plan.entries.push_back({"Settings/settings.json", "{}"});
  testing::write_backup(backup_folder(), plan);
  fs::create_directory_symlink(backup_folder(), scratch_.sub("link"));

  const auto old_cwd = fs::current_path();
  fs::current_path(scratch_.path());
  auto relative = stage("usb/KorvoBackup");
  fs::current_path(old_cwd);
  ASSERT_TRUE(relative.ok()) << relative.error().render();

  auto linked = stage(scratch_.sub("link"));
  ASSERT_TRUE(linked.ok()) << linked.error().render();
  EXPECT_NE(*relative, *linked);
  EXPECT_EQ(names_in(temp()).size(), 2u);
  EXPECT_TRUE(fs::exists(*relative + "/Settings/settings.json"));
}

TEST_F(StageTest, RefusesMissingFoldersBeforeCreatingAnything) {
  EXPECT_EQ(stage_error("usb/nowhere"), "Backup directory does not exist: usb/nowhere: No such file or directory");
  EXPECT_TRUE(names_in(temp()).empty());

  testing::write_backup(backup_folder(), {});
  tmpdir_ = scratch_.sub("no/such/tmp");
  EXPECT_EQ(stage_error(backup_folder()), "Cannot resolve temp directory: No such file or directory");
  EXPECT_FALSE(fs::exists(scratch_.sub("no")));
  tmpdir_ = "";
  EXPECT_EQ(stage_error(backup_folder()), "Cannot resolve temp directory: No such file or directory");
}

TEST_F(StageTest, StagingDirectoryIsNewAndPrivate) {
  const mode_t old_umask = ::umask(0);
  auto made = resolve_staging_dir(tmpdir_, 1234);
  ::umask(old_umask);
  ASSERT_TRUE(made.ok()) << made.error().render();
  EXPECT_EQ(made->path(), fs::canonical(temp() + "/korvo-restore-1234").string());
  EXPECT_EQ(mode_of(made->path()), 0700u);

  auto nested = resolve_staging_dir(scratch_.sub("tmp/a/b/"), 0);
  ASSERT_TRUE(nested.ok()) << nested.error().render();
  EXPECT_EQ(nested->path(), fs::canonical(scratch_.sub("tmp/a/b/korvo-restore-0")).string());
}

// A name someone else took first (here one a running restore holds) is
// not taken over: the next millisecond's is, up to a bound.
TEST_F(StageTest, TakenStagingNamesArePassedOver) {
  const std::string planted = temp() + "/korvo-restore-99";
  testing::write_test_file(planted + "/Backup/planted", "x");
  auto holder = HeldFolder::hold(planted);
  ASSERT_TRUE(holder.ok()) << holder.error().render();
  auto next = resolve_staging_dir(tmpdir_, 99);
  ASSERT_TRUE(next.ok()) << next.error().render();
  EXPECT_EQ(next->path(), fs::canonical(temp() + "/korvo-restore-100").string());
  EXPECT_EQ(testing::read_test_file(planted + "/Backup/planted"), "x");

  for (int stamp = 200; stamp < 264; ++stamp) testing::write_test_file(temp() + "/korvo-restore-" + std::to_string(stamp), "");
  auto taken = resolve_staging_dir(tmpdir_, 200);
  ASSERT_FALSE(taken.ok());
  EXPECT_EQ(taken.error().render(), "Cannot create restore staging directory: File exists");
  EXPECT_EQ(taken.error().kind(), ErrorKind::kTempFolder);
  EXPECT_FALSE(fs::exists(temp() + "/korvo-restore-264"));
}

TEST_F(StageTest, FailedChecksWriteNothing) {
  const std::string manifest = testing::manifest_for({{"a.txt", "a"}});
  const struct {
    std::vector<BackupEntry> entries;
    std::string error;
  } cases[] = {
      {{{"a.txt", "a"}},
       "Decrypted backup is missing a valid manifest: Backup data is missing manifest.json"},
      {{{"manifest.json", "{\"files\": []}"}},
       "Decrypted backup is missing a valid manifest: Backup manifest is invalid: manifest: missing key "
       "\"korvo_version\""},
      {{{"manifest.json", manifest}, {"WiFi/a.xml", "x"}, {"../escape.txt", "x"}}, "ZIP entry has an unsafe path"},
      {{{"manifest.json", manifest}, {"WiFi/a.xml", "x"}, {"a.bz2", "BZh9", true, std::uint16_t{12}}},
       "Invalid ZIP entry: Compression method not supported"},
  };
  for (const auto& c : cases) {
    testing::ScratchDir scratch;
    tmpdir_ = scratch.sub("tmp");
    fs::create_directories(scratch.sub("tmp"));
    testing::BackupSpec plan;
    plan.entries = c.entries;
    testing::write_backup(scratch.sub("backup"), plan);
    EXPECT_EQ(stage_error(scratch.sub("backup")), c.error);
    const auto staging = names_in(scratch.sub("tmp"));
    ASSERT_EQ(staging.size(), 1u);
    const std::string staging_dir = scratch.sub("tmp/" + staging[0]);
    EXPECT_EQ(names_in(staging_dir), std::vector<std::string>{}) << c.error;
    EXPECT_FALSE(fs::exists(scratch.sub("escape.txt")));
    EXPECT_FALSE(fs::exists(scratch.sub("tmp/escape.txt")));
  }
}

TEST_F(StageTest, EmptyDecryptedStreamIsNotAnArchive) {
  testing::write_raw_backup(backup_folder(), testing::container_header());
  EXPECT_EQ(stage_error(backup_folder()),
            "Decrypted backup is missing a valid manifest: Backup data is not a valid ZIP archive: Not a zip archive");
}

TEST_F(StageTest, KeyAndDecryptionErrorsPassThroughUnchanged) {
  testing::BackupSpec plan;
  plan.entries = testing::entries_with_manifest({});
  testing::write_backup(backup_folder(), plan);
  auto wrong = stage(backup_folder(), "wrong password");
  ASSERT_FALSE(wrong.ok());
  EXPECT_EQ(wrong.error().message(),
            "Decryption failed. The password is incorrect or the backup is corrupted. (Decryption failed. The password "
            "is incorrect or the backup is corrupted.)");
  EXPECT_EQ(names_in(staging_dir()), std::vector<std::string>{});

  fs::remove(backup_folder() + "/backup.salt");
  auto no_salt = stage(backup_folder());
  ASSERT_FALSE(no_salt.ok());
  EXPECT_EQ(no_salt.error().message(), "Could not read backup.salt — is this a valid Korvo backup?");
}

}  // namespace
}  // namespace korvo
