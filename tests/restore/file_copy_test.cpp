#include "restore/file_copy.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstring>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "backup_writer/backup_writer.hpp"
#include "support/env_override.hpp"
#include "support/recording_dialogs.hpp"
#include "support/sandbox.hpp"

namespace korvo {
namespace {

namespace fs = std::filesystem;

TEST(NormaliseBackupPath, AcceptsOnlyPlainRelativePaths) {
  const std::pair<std::string, std::string> accepted[] = {
      {"Documents/a.txt", "Documents/a.txt"},
      {"Documents\\Work\\a.txt", "Documents/Work/a.txt"},
      {"  Documents/a.txt \t\n", "Documents/a.txt"},
      {"\u00a0\u3000a.txt\u2029", "a.txt"},
      {"a b/c d.txt", "a b/c d.txt"},
      {"...", "..."},
      {"ab:c", "ab:c"},  // only a colon in second place reads as a drive
  };
  for (const auto& [input, expected] : accepted) {
    auto result = normalise_backup_path(input);
    ASSERT_TRUE(result.ok()) << input;
    EXPECT_EQ(*result, expected);
  }
  for (const std::string& input : std::vector<std::string>{"", "   ", "/etc/passwd", "\\Windows\\x", "C:/x", "C:\\x", "c:", "1:x", "a/../b",
                                  "..", "./a", "a/./b", "a//b", "a\\\\b", "a/", "a\\",
                                  std::string("..\0", 3), std::string("a/..\0/b", 7), std::string("a\0b", 3)}) {
    auto result = normalise_backup_path(input);
    ASSERT_FALSE(result.ok()) << input;
    EXPECT_EQ(result.error().render(), "Invalid relative path");
  }
}

class FileCopyTest : public ::testing::Test {
 protected:
  FileCopyTest() { fs::create_directories(home() + "/Desktop"); }

  std::string home() const { return scratch_.sub("home"); }
  std::string restored() const { return home() + "/Desktop/Restored"; }

  // An entry of the archive, in the order added, and its manifest line.
  ManifestEntry add_source(const std::string& relative, const std::string& content) {
    plan_.entries.push_back({relative, content});
    return {"C:\\Users\\alex\\" + relative, relative, content.size(), testing::sha256_hex(content)};
  }

  // Seals the archive, opens it as a run does, finds the desktop, then
  // copies; keeps the progress shown, the last percent of each file in
  // turn. Its clock moves a second at each reading, so that no update is
  // held back. `damage` flips a byte of Backup.enc.
  Result<FileRestoreOutcome> run(const std::vector<ManifestEntry>& entries, std::optional<std::size_t> damage = {}) {
    progress_.clear();
    testing::write_backup(scratch_.sub("backup"), plan_);
    if (damage) {
      std::string sealed = testing::read_test_file(scratch_.sub("backup/Backup.enc"));
      sealed[*damage] = static_cast<char>(sealed[*damage] ^ 1);
      testing::write_test_file(scratch_.sub("backup/Backup.enc"), sealed);
    }
    auto archive = open_archive();
    if (!archive) return archive.error();
    auto desktop = find_desktop_dir(home_);
    if (!desktop) return desktop.error();
    testing::ProgressRecord record;
    testing::RecordingProgress progress(record);
    ManifestFiles files;
    for (const ManifestEntry& entry : entries) files.push_back(entry);
    const ProgressClock ticking = [now = std::chrono::steady_clock::time_point{}]() mutable {
      return now += std::chrono::seconds(1);
    };
    auto outcome = restore_files(**archive, files, *desktop + "/Restored", progress, ticking);
    for (const auto& [percent, text] : record.percents) {
      if (!progress_.empty() && progress_.back().second == text) progress_.pop_back();
      progress_.emplace_back(static_cast<int>(percent), text);
    }
    return outcome;
  }

  Result<std::unique_ptr<BackupArchive>> open_archive() const {
    BackupKey key;
    const testing::TestKey bytes = testing::test_key();
    std::memcpy(key.data(), bytes.data(), bytes.size());
    auto stream = SealedStream::open(scratch_.sub("backup/Backup.enc"), std::move(key));
    if (!stream) return stream.error();
    return BackupArchive::open(std::move(*stream));
  }

  // Every name below Restored that the copy writes to before a rename.
  std::vector<std::string> partial_names() const {
    std::vector<std::string> found;
    for (const auto& item : fs::recursive_directory_iterator(restored())) {
      if (item.path().filename().string().rfind(std::string(kPartialPrefix), 0) == 0) found.push_back(item.path());
    }
    return found;
  }

  testing::ScratchDir scratch_;
  testing::FakeTools tools_{scratch_.sub("tools")};
  testing::EnvOverride env_{{"PATH", tools_.path_value()}};
  std::optional<std::string> home_ = home();
  testing::BackupSpec plan_;
  std::vector<std::pair<int, std::string>> progress_;
};

TEST_F(FileCopyTest, DesktopFollowsXdgUserDirThenFallsBack) {
  const std::string custom = scratch_.sub("Schreibtisch");
  fs::create_directories(custom);
  tools_.add("xdg-user-dir", "cat > '" + scratch_.sub("stdin") + "'; printf ' %s\\n' '" + custom + "'");
  EXPECT_EQ(*find_desktop_dir(home_), custom);
  EXPECT_EQ(tools_.calls("xdg-user-dir"), (std::vector<std::vector<std::string>>{{"DESKTOP"}}));
  EXPECT_EQ(testing::read_test_file(scratch_.sub("stdin")), "");

  const std::string fallbacks[] = {
      "echo '" + home() + "'",                   // the home folder itself
      "echo '" + scratch_.sub("missing") + "'",  // not there
      "echo '" + custom + "'; exit 1",           // failed
      "echo '" + custom + "' >&2",               // only complaints
  };
  for (const std::string& body : fallbacks) {
    tools_.add("xdg-user-dir", body);
    EXPECT_EQ(*find_desktop_dir(home_), home() + "/Desktop") << body;
  }
  tools_.remove("xdg-user-dir");
  EXPECT_EQ(*find_desktop_dir(home_), home() + "/Desktop");
  fs::remove(home() + "/Desktop");
  EXPECT_EQ(*find_desktop_dir(home_), home());
}

TEST_F(FileCopyTest, DesktopNeedsHome) {
  {
    home_ = std::nullopt;
    auto desktop = find_desktop_dir(home_);
    ASSERT_FALSE(desktop.ok());
    EXPECT_EQ(desktop.error().message(), "HOME not set");
    auto outcome = run({add_source("a.txt", "a")});
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().message(), "HOME not set");
  }
  home_ = std::string("/home/al\xff");
  auto desktop = find_desktop_dir(home_);
  ASSERT_FALSE(desktop.ok());
  EXPECT_EQ(desktop.error().message(), "HOME not set");
}

TEST_F(FileCopyTest, CopiesVerifiedFilesAndReportsProgress) {
  const mode_t old_umask = ::umask(022);
  const ManifestEntry entries[] = {
      add_source("Documents/Work/report.docx", std::string(3 << 20, 'r')),
      add_source("top.txt", "top"),
      add_source("Pictures/a b.jpg", "picture"),
  };
  ManifestEntry windows_style = entries[2];
  windows_style.backup_path = "  Pictures\\a b.jpg ";
  auto outcome = run({entries[0], entries[1], windows_style});
  ::umask(old_umask);
  ASSERT_TRUE(outcome.ok()) << outcome.error().render();
  EXPECT_EQ(outcome->restored, 3u);
  EXPECT_EQ(outcome->kept, 0u);
  EXPECT_TRUE(outcome->failures.empty());
  EXPECT_EQ(testing::read_test_file(restored() + "/Documents/Work/report.docx"), std::string(3 << 20, 'r'));
  EXPECT_EQ(fs::status(restored() + "/Documents/Work/report.docx").permissions(), static_cast<fs::perms>(0644));
  EXPECT_EQ(testing::read_test_file(restored() + "/top.txt"), "top");
  EXPECT_EQ(testing::read_test_file(restored() + "/Pictures/a b.jpg"), "picture");
  // By bytes: the big first file is nearly all of it.
  EXPECT_EQ(progress_,
            (std::vector<std::pair<int, std::string>>{
                {99, entries[0].original_path}, {99, entries[1].original_path}, {100, entries[2].original_path}}));
  EXPECT_TRUE(partial_names().empty());
}

// The file of Wi-Fi keys in clear is private to the user whatever the umask;
// every other file gets the bits a new file gets.
TEST_F(FileCopyTest, WifiPasswordsFileIsPrivate) {
  const mode_t old_umask = ::umask(002);
  const ManifestEntry entries[] = {add_source("WiFi-Passwords.txt", "Home: secret"), add_source("notes.txt", "notes")};
  testing::write_test_file(restored() + "/WiFi-Passwords.txt", "older copy", 0644);
  auto outcome = run({entries[0], entries[1]});
  ::umask(old_umask);
  ASSERT_TRUE(outcome.ok()) << outcome.error().render();
  EXPECT_EQ(outcome->restored, 2u);
  EXPECT_EQ(testing::read_test_file(restored() + "/WiFi-Passwords.txt"), "Home: secret");
  EXPECT_EQ(fs::status(restored() + "/WiFi-Passwords.txt").permissions(), static_cast<fs::perms>(0600));
  EXPECT_EQ(fs::status(restored() + "/notes.txt").permissions(), static_cast<fs::perms>(0664));
}

TEST_F(FileCopyTest, EmptyListStillMakesTheRestoredFolder) {
  auto outcome = run({});
  ASSERT_TRUE(outcome.ok()) << outcome.error().render();
  EXPECT_EQ(outcome->restored, 0u);
  EXPECT_TRUE(outcome->failures.empty());
  EXPECT_TRUE(progress_.empty());
  EXPECT_TRUE(fs::is_directory(restored()));
}

// A second run keeps what is already right, rewrites what is not, and
// clears what a stopped run left under temporary names.
TEST_F(FileCopyTest, RunningTwiceKeepsWhatIsRightAndRewritesTheRest) {
  const std::vector<ManifestEntry> entries = {add_source("a/x.txt", "x"), add_source("y.txt", "y"),
                                              add_source("a/z.txt", "z")};
  ASSERT_TRUE(run(entries).ok());
  testing::write_test_file(restored() + "/a/x.txt", "changed meanwhile, and longer");
  testing::write_test_file(restored() + "/a/z.txt", "Z");  // same size, other content
  testing::write_test_file(restored() + "/a/" + std::string(kPartialPrefix) + "AbC123", "left by a killed run");
  struct stat kept_before {};
  ASSERT_EQ(::stat((restored() + "/y.txt").c_str(), &kept_before), 0);
  auto second = run(entries);
  ASSERT_TRUE(second.ok()) << second.error().render();
  EXPECT_EQ(second->restored, 3u);
  EXPECT_EQ(second->kept, 1u);
  EXPECT_TRUE(second->failures.empty());
  EXPECT_EQ(testing::read_test_file(restored() + "/a/x.txt"), "x");
  EXPECT_EQ(testing::read_test_file(restored() + "/a/z.txt"), "z");
  struct stat kept_after {};
  ASSERT_EQ(::stat((restored() + "/y.txt").c_str(), &kept_after), 0);
  EXPECT_EQ(kept_after.st_ino, kept_before.st_ino);
  EXPECT_TRUE(partial_names().empty());
  EXPECT_EQ(progress_.size(), 3u);
}

TEST_F(FileCopyTest, UnsafeBackupPathsWriteNothing) {
  std::vector<ManifestEntry> entries;
  for (const std::string path : {"/etc/x", "C:\\x", "a/../x", "./x", "a//x", "x/", ".."}) {
    entries.push_back({"C:\\orig\\" + path, path, 1, testing::sha256_hex("x")});
  }
  add_source("x", "x");
  auto outcome = run(entries);
  ASSERT_TRUE(outcome.ok()) << outcome.error().render();
  EXPECT_EQ(outcome->restored, 0u);
  ASSERT_EQ(outcome->failures.size(), entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(outcome->failures[i], "Unsafe backup path " + entries[i].original_path + ": Invalid relative path");
  }
  EXPECT_TRUE(fs::is_empty(restored()));
  EXPECT_TRUE(progress_.empty());
}

TEST_F(FileCopyTest, ChecksumMismatchTouchesNothing) {
  ManifestEntry changed = add_source("deep/folder/doc.txt", "what the backup holds");
  changed.sha256 = testing::sha256_hex("what the manifest promised");
  ManifestEntry upper = add_source("kept.txt", "new content");
  for (char& c : upper.sha256) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  testing::write_test_file(restored() + "/kept.txt", "earlier copy");

  auto outcome = run({changed, upper});
  ASSERT_TRUE(outcome.ok()) << outcome.error().render();
  EXPECT_EQ(outcome->failures, (std::vector<std::string>{
                                   "Checksum mismatch: " + changed.original_path + " (expected " + changed.sha256 +
                                       ", got " + testing::sha256_hex("what the backup holds") + ")",
                                   "Checksum mismatch: " + upper.original_path + " (expected " + upper.sha256 +
                                       ", got " + testing::sha256_hex("new content") + ")",
                               }));
  EXPECT_FALSE(fs::exists(restored() + "/deep"));
  EXPECT_EQ(testing::read_test_file(restored() + "/kept.txt"), "earlier copy");
  // Each was shown while it was written, before its digest was known.
  EXPECT_EQ(progress_, (std::vector<std::pair<int, std::string>>{{65, changed.original_path}, {100, upper.original_path}}));
  EXPECT_TRUE(partial_names().empty());
}

TEST_F(FileCopyTest, EachFailureBecomesOneLineAndTheRestGoesOn) {
  const ManifestEntry missing{"C:\\gone.txt", "gone.txt", 1, testing::sha256_hex("g")};
  const ManifestEntry blocked = add_source("blocked/f.txt", "b");
  testing::write_test_file(restored() + "/blocked", "a file where a folder should be");
  const ManifestEntry onto_folder = add_source("folder", "f");
  fs::create_directories(restored() + "/folder");
  // A link in the file's place is replaced; what it pointed to stays as it was.
  const ManifestEntry linked = add_source("linked.txt", "linked");
  testing::write_test_file(scratch_.sub("elsewhere.txt"), "elsewhere");
  fs::create_symlink(scratch_.sub("elsewhere.txt"), restored() + "/linked.txt");
  const ManifestEntry good = add_source("good.txt", "good");

  auto outcome = run({missing, blocked, onto_folder, linked, good});
  ASSERT_TRUE(outcome.ok()) << outcome.error().render();
  EXPECT_EQ(outcome->restored, 2u);
  EXPECT_EQ(outcome->failures, (std::vector<std::string>{
                                   "Cannot read C:\\gone.txt: the backup does not hold this file",
                                   "Cannot create folder for " + blocked.original_path + ": File exists",
                                   "Copy failed for " + onto_folder.original_path + ": Is a directory",
                               }));
  EXPECT_EQ(testing::read_test_file(restored() + "/linked.txt"), "linked");
  EXPECT_EQ(testing::read_test_file(scratch_.sub("elsewhere.txt")), "elsewhere");
  // Entries that stop before the copy show nothing of their own, but their
  // bytes count as done.
  EXPECT_EQ(progress_, (std::vector<std::pair<int, std::string>>{
                           {23, onto_folder.original_path}, {69, linked.original_path}, {100, good.original_path}}));
  EXPECT_TRUE(partial_names().empty());
}

// The files come back in archive order, whatever the manifest's; the report
// keeps the manifest's. Damage in one record costs only the files in it.
TEST_F(FileCopyTest, ShuffledManifestAndADamagedRecord) {
  plan_.chunk_size = 1024;
  std::vector<ManifestEntry> entries;
  for (int i = 0; i < 6; ++i) {
    entries.push_back(add_source("d/" + std::to_string(i) + ".bin", std::string(700, static_cast<char>('a' + i))));
  }
  for (auto& entry : plan_.entries) entry.deflate = false;  // so that each file spans a known stretch
  const std::vector<ManifestEntry> shuffled = {entries[4], entries[1], entries[5], entries[0], entries[3], entries[2]};
  auto whole = run(shuffled);
  ASSERT_TRUE(whole.ok()) << whole.error().render();
  EXPECT_EQ(whole->restored, 6u);
  for (const auto& entry : entries) {
    EXPECT_EQ(testing::sha256_hex(testing::read_test_file(restored() + "/" + entry.backup_path)), entry.sha256);
  }

  fs::remove_all(restored());
  // The third record's ciphertext: within file 2 or 3, not the central directory.
  const std::size_t third_record = 13 + 2 * (16 + 1024 + 16) + 16 + 300;
  auto damaged = run(shuffled, third_record);
  ASSERT_TRUE(damaged.ok()) << damaged.error().render();
  ASSERT_FALSE(damaged->failures.empty());
  EXPECT_EQ(damaged->restored + damaged->failures.size(), 6u);
  EXPECT_EQ(damaged->failures.size(), 3u);  // the record holds the end of one file, one whole, the start of another
  std::size_t previous = 0;
  for (const std::string& failure : damaged->failures) {
    std::size_t position = 0;
    while (position < shuffled.size() &&
           failure != "Cannot read " + shuffled[position].original_path +
                          ": the backup is damaged where this file is stored") {
      ++position;
    }
    ASSERT_LT(position, shuffled.size()) << failure;
    EXPECT_GE(position, previous) << "failures out of manifest order";
    previous = position;
    EXPECT_FALSE(fs::exists(restored() + "/" + shuffled[position].backup_path));
  }
  EXPECT_TRUE(partial_names().empty());
}

TEST_F(FileCopyTest, RestoredFolderThatCannotBeMadeIsFatal) {
  testing::write_test_file(restored(), "not a folder");
  auto outcome = run({add_source("a.txt", "a")});
  ASSERT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error().render(), "File exists");
}

}  // namespace
}  // namespace korvo
