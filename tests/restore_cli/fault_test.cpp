// The built program against failing disks and interrupted runs: a full
// TMPDIR or HOME (small tmpfs mounts, which need root), a Backup.enc that
// shrinks or goes away after the backup was found, and a run killed in the
// middle of the file copy.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "backup_writer/backup_writer_zip.hpp"
#include "common/text.hpp"
#include "restore_cli/end_to_end.hpp"
#include "support/tmpfs_mount.hpp"

namespace korvo {
namespace {

using testing::killed_window;
using testing::ProgramRun;
using testing::TmpfsMount;
using Tree = std::map<std::string, std::string>;
using Args = std::vector<std::string>;

constexpr std::size_t kKiB = 1024;
constexpr const char* kCannotMount = "needs a tmpfs mount, not allowed here: ";
constexpr const char* kDamaged = "Restore failed: Decryption failed — wrong password, or the backup is damaged: ";
constexpr const char* kStreamFailed = "Decryption failed. The password is incorrect or the backup is corrupted. (";

class FaultTest : public EndToEnd {
 protected:
  // The files, stored rather than deflated so that their size on disk is
  // known, behind a manifest that lists them.
  testing::BackupSpec stored_backup(const std::vector<std::pair<std::string, std::string>>& files) {
    testing::BackupSpec plan;
    plan.entries = testing::entries_with_manifest(files);
    for (auto& entry : plan.entries) entry.deflate = false;
    testing::write_backup(drive(), plan);
    return plan;
  }

  // The folders that a failing run must leave as they were.
  struct Snapshot {
    Tree drive, home;
  };
  Snapshot snapshot() const { return {testing::tree_digests(drive()), testing::tree_digests(home())}; }

  // TMPDIR's tree with the staging directory's time stamp left out.
  Tree staging_tree() const {
    static const std::regex stamp("^korvo-restore-[0-9]+");
    Tree tree;
    for (const auto& [path, digest] : testing::tree_digests(tmp())) {
      tree[std::regex_replace(path, stamp, "korvo-restore-*")] = digest;
    }
    return tree;
  }
  void expect_error_dialog(const std::string& text) {
    EXPECT_TRUE(testing::calls_in_order(fakes.calls("zenity"),
                                        {{{"--title=Korvo", "--password"}},
                                         killed_window(progress_window("Decrypting your backup…", true)),
                                         {error_dialog(text)}}));
  }
};

constexpr const char* kTmpAdvice = "Free some space, or set TMPDIR to a folder on a larger disk, and run Korvo again.";

// A disk too small is found before the write that would fill it, and named:
// the folder, what the restore needs there, what is free, what to do.
class RoomTest : public FaultTest {
 protected:
  void expect_shortage(const std::string& folder, const std::string& advice, bool after_copy_window) {
    std::vector<testing::ExpectedCall> windows = {{{"--title=Korvo", "--password"}},
                                                  killed_window(progress_window("Decrypting your backup…", true))};
    if (after_copy_window) windows.push_back(killed_window(progress_window("Restoring your files…", false)));
    const auto calls = fakes.calls("zenity");
    ASSERT_FALSE(calls.empty());
    windows.push_back({calls.back()});
    EXPECT_TRUE(testing::calls_in_order(calls, windows));
    const std::string text = calls.back().back();
    const std::regex shortage("--text=Restore failed: Not enough free space in (.*): the restore needs ([0-9.]+) (kB|MB) "
                              "there and ([0-9.]+) (kB|MB) are free\\. (.*)");
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(text, parts, shortage)) << text;
    EXPECT_EQ(parts[1], folder);
    const auto bytes = [](const std::string& number, const std::string& unit) {
      return std::stod(number) * (unit == "kB" ? 1e3 : 1e6);
    };
    EXPECT_GT(bytes(parts[2], parts[3]), bytes(parts[4], parts[5])) << text;
    EXPECT_EQ(parts[6], advice);
  }
};

// Only the personal data is unpacked in the temporary folder.
TEST_F(RoomTest, TmpdirTooSmallForThePersonalData) {
  TmpfsMount small_tmp(tmp(), 256 * kKiB);
  if (!small_tmp.mounted()) GTEST_SKIP() << kCannotMount << small_tmp.failure();
  stored_backup({{"WiFi/film.xml", std::string(1024 * kKiB, 'f')}});
  add_dialog_zenity(std::string(testing::kTestPassword));
  const Snapshot before = snapshot();

  const ProgramRun result = run({drive()});

  EXPECT_EQ(result.status.code, 1);
  EXPECT_EQ(result.out + result.err, "");
  expect_shortage(tmp(), kTmpAdvice, false);
  EXPECT_EQ(testing::tree_digests(drive()), before.drive);
  EXPECT_EQ(testing::tree_digests(home()), before.home);
  EXPECT_EQ(staging_tree(), Tree{});
}

// One disk for the temporary folder and the home, with room for the files,
// the margin and 32 MiB more: the files are written once, straight to the desktop.
TEST_F(RoomTest, OneDiskWithRoomForTheFilesOnceRestoresThemAll) {
  constexpr std::size_t kFiles = 24 * 1024 * kKiB;
  TmpfsMount disk(home(), kFiles + kFiles / 100 + 32 * 1024 * kKiB);
  if (!disk.mounted()) GTEST_SKIP() << kCannotMount << disk.failure();
  ASSERT_TRUE(create_directories(home() + "/Desktop").ok());
  ASSERT_TRUE(create_directories(home() + "/tmp").ok());
  ASSERT_EQ(::rmdir(tmp().c_str()), 0);
  ASSERT_EQ(::symlink((home() + "/tmp").c_str(), tmp().c_str()), 0);
  std::string film(kFiles / 2, '\0');
  for (std::size_t i = 0; i < film.size(); ++i) film[i] = static_cast<char>((i * 2654435761u) >> 13);
  stored_backup({{"Videos/film.bin", film}, {"Videos/second.bin", film.substr(1) + "x"}});
  add_dialog_zenity(std::string(testing::kTestPassword));
  fakes.add("xdg-open");

  const ProgramRun result = run({drive()});

  EXPECT_EQ(result.status.code, 0) << result.err;
  EXPECT_EQ(fakes.calls("zenity").back(),
            info_dialog("Done — welcome to Ubuntu!\n\n2 files are back in the Restored folder on your desktop.\n\n"
                        "25.2 MB in less than a minute"));
  EXPECT_EQ(testing::tree_digests(restored()),
            (Tree{{"Videos", "/"},
                  {"Videos/film.bin", testing::sha256_hex(film)},
                  {"Videos/second.bin", testing::sha256_hex(film.substr(1) + "x")}}));
  EXPECT_EQ(staging_tree(), Tree{});
  ASSERT_TRUE(fakes.wait_for_calls("xdg-open"));
}

TEST_F(RoomTest, DesktopTooSmallForTheCopy) {
  TmpfsMount small_home(home(), 256 * kKiB);
  if (!small_home.mounted()) GTEST_SKIP() << kCannotMount << small_home.failure();
  ASSERT_TRUE(create_directories(home() + "/Desktop").ok());
  stored_backup({{"Documents/a.txt", "alpha\n"}, {"Videos/film.bin", std::string(1024 * kKiB, 'f')}});
  add_dialog_zenity(std::string(testing::kTestPassword));
  const Snapshot before = snapshot();

  const ProgramRun result = run({drive()});

  EXPECT_EQ(result.status.code, 1);
  EXPECT_EQ(result.out + result.err, "");
  expect_shortage(home() + "/Desktop", "Free some space there and run Korvo again.", true);
  EXPECT_EQ(testing::tree_digests(drive()), before.drive);
  EXPECT_EQ(testing::tree_digests(home()), before.home);  // not even the Restored folder
  EXPECT_EQ(staging_tree(), Tree{});
}

// A disk that fills anyway (here by the pages a file takes beyond its
// bytes, which the room check does not count): the copy stops at the file
// that did not fit, leaves nothing under its name, and the report says so once.
TEST_F(FaultTest, DiskThatFillsDuringTheCopyStopsThere) {
  TmpfsMount small_home(home(), 256 * kKiB);
  if (!small_home.mounted()) GTEST_SKIP() << kCannotMount << small_home.failure();
  ASSERT_TRUE(create_directories(home() + "/Desktop").ok());
  // 63 pages and a bit: with the page of a.txt, one more than the 64 there are.
  const std::string film(63 * 4 * kKiB + 1000, 'f');
  testing::BackupSpec plan;
  plan.entries = {{"manifest.json", testing::manifest_text({{"C:\\Users\\alex\\Documents\\a.txt", "Documents/a.txt", 6,
                                                             testing::sha256_hex("alpha\n")},
                                                            {"C:\\Users\\alex\\Videos\\film.bin", "Videos/film.bin", 1,
                                                             testing::sha256_hex(film)},
                                                            {"C:\\Users\\alex\\Documents\\z.txt", "Documents/z.txt", 6,
                                                             testing::sha256_hex("omega\n")}})},
                  {"Documents/a.txt", "alpha\n"},
                  {"Videos/film.bin", film},
                  {"Documents/z.txt", "omega\n"}};
  for (auto& entry : plan.entries) entry.deflate = false;
  testing::write_backup(drive(), plan);
  add_dialog_zenity(std::string(testing::kTestPassword));
  fakes.add("xdg-open");
  const Snapshot before = snapshot();

  const ProgramRun result = run({drive()});

  EXPECT_EQ(result.status.code, 0);
  EXPECT_EQ(result.out + result.err, "");
  EXPECT_TRUE(testing::calls_in_order(
      fakes.calls("zenity"),
      {{{"--title=Korvo", "--password"}},
       killed_window(progress_window("Decrypting your backup…", true)),
       killed_window(progress_window("Restoring your files…", false)),
       {info_dialog("Done — welcome to Ubuntu!\n\n"
                    "1 files are back in the Restored folder on your desktop.\n\n"
                    "6 bytes in less than a minute\n\n"
                    "2 files could not be restored:\n\n"
                    "  ! Copy failed for C:\\Users\\alex\\Videos\\film.bin: No space left on device\n\n"
                    "The disk of your desktop is full: the other 1 files were not copied. Free some space and run "
                    "Korvo again.")}}));
  EXPECT_EQ(testing::tree_digests(drive()), before.drive);
  EXPECT_EQ(testing::read_test_file(restored() + "/Documents/a.txt"), "alpha\n");
  // Nothing half-written under a file's name, nor under a temporary one; the next file was not tried.
  EXPECT_FALSE(path_exists_nofollow(restored() + "/Videos"));
  EXPECT_FALSE(path_exists_nofollow(restored() + "/Documents/z.txt"));
  EXPECT_EQ(staging_tree(), Tree{});
  ASSERT_TRUE(fakes.wait_for_calls("xdg-open"));
}

// A 1 MB Backup.enc whose one file declares 10 bytes and inflates to
// 1 GiB: the reader stops at the declared size and the file is reported as
// damaged, the rest of the run going on. The program may write no file
// beyond 8 MB here, so a reader that went on would be stopped by SIGXFSZ.
TEST_F(FaultTest, EntryInflatingPastItsDeclaredSizeIsDamage) {
  std::string zip;
  {
    testing::StringSink sink(zip);
    testing::ZipWriter writer(sink, false);
    const std::string manifest = testing::manifest_for({{"Documents/a.txt", "0123456789"}});
    writer.begin_entry("manifest.json", {}, manifest.size());
    writer.write(manifest);
    writer.end_entry();
    writer.begin_entry("Documents/a.txt", {.declared_size = 10}, 10);
    const std::string zeros(std::size_t{1} << 20, '\0');
    for (int mib = 0; mib < 1024; ++mib) writer.write(zeros);
    writer.end_entry();
    writer.finish();
  }
  testing::write_raw_backup(drive(), testing::sealed_stream(testing::test_key(), zip));
  EXPECT_LT(file_size(drive() + "/Backup.enc").value(), 1100 * kKiB);
  add_dialog_zenity(std::string(testing::kTestPassword));
  const Snapshot before = snapshot();

  const ProgramRun result = testing::run_program(
      {"/bin/sh", "-c", "ulimit -f 16384 && exec \"$0\" \"$@\"", testing::restore_binary(), drive()}, environment(),
      "x");

  EXPECT_TRUE(result.status.exited) << "killed by signal " << result.status.signal;
  EXPECT_EQ(result.status.code, 0);
  EXPECT_EQ(result.out + result.err, "");
  EXPECT_EQ(fakes.calls("zenity").back(),
            info_dialog("Done — welcome to Ubuntu!\n\n0 files are back in the Restored folder on your desktop.\n\n"
                        "1 files could not be restored:\n\n  ! Cannot read C:\\Users\\alex\\Documents\\a.txt: the "
                        "backup is damaged where this file is stored"));
  EXPECT_EQ(testing::tree_digests(drive()), before.drive);
  Tree home_after = before.home;
  home_after.emplace("Desktop/Restored", "/");
  EXPECT_EQ(testing::tree_digests(home()), home_after);
  EXPECT_EQ(staging_tree(), Tree{});
}

// The password dialog comes after the backup has been found and before
// Backup.enc is opened: there the file is cut short or taken away, as by a
// drive that went wrong, so that only one outcome is possible.
struct ShrinkCase {
  const char* name;
  long long cut_to;           // the new size; -1: the file is removed
  std::string inner;          // the message inside the decryption failure
};
void PrintTo(const ShrinkCase& c, std::ostream* out) { *out << c.name; }

class ShrinkingBackupEnc : public FaultTest, public ::testing::WithParamInterface<ShrinkCase> {};

constexpr std::size_t kChunk = 1024;
constexpr std::size_t kHeader = 13;
constexpr std::size_t kRecord = 12 + 4 + kChunk + 16;

TEST_P(ShrinkingBackupEnc, EndsWithTheReadersMessage) {
  const ShrinkCase& c = GetParam();
  testing::BackupSpec plan;
  plan.entries = testing::entries_with_manifest({{"Documents/report.txt", std::string(8 * kKiB, 'r')}});
  for (auto& entry : plan.entries) entry.deflate = false;
  plan.chunk_size = kChunk;
  testing::write_backup(drive(), plan);
  const std::string encrypted_path = drive() + "/Backup.enc";
  const std::string encrypted = testing::read_test_file(encrypted_path);
  ASSERT_GT(encrypted.size(), kHeader + 3 * kRecord);
  add_dialog_zenity(std::string(testing::kTestPassword),
                    c.cut_to < 0 ? "rm '" + encrypted_path + "'"
                                 : "truncate -s " + std::to_string(c.cut_to) + " '" + encrypted_path + "'");
  Tree drive_expected = testing::tree_digests(drive());
  if (c.cut_to < 0) {
    drive_expected.erase("Backup.enc");
  } else {
    drive_expected["Backup.enc"] = testing::sha256_hex(encrypted.substr(0, static_cast<std::size_t>(c.cut_to)));
  }
  const Tree home_before = testing::tree_digests(home());

  const ProgramRun result = run({drive()});

  EXPECT_EQ(result.status.code, 1);
  EXPECT_EQ(result.out + result.err, "");
  const std::string inner = c.cut_to < 0 ? std::string(kStreamFailed) + "Cannot open " + encrypted_path + ")" : c.inner;
  expect_error_dialog(kDamaged + inner);
  EXPECT_EQ(testing::tree_digests(drive()), drive_expected);
  EXPECT_EQ(testing::tree_digests(home()), home_before);
  EXPECT_EQ(staging_tree(), Tree{});
}

const std::string kTruncated = std::string(kStreamFailed) + "Backup.enc is truncated)";
const std::string kRecordTruncated = std::string(kStreamFailed) + "Backup.enc record is truncated)";

INSTANTIATE_TEST_SUITE_P(
    Cases, ShrinkingBackupEnc,
    ::testing::Values(
        ShrinkCase{"Removed", -1, ""},
        ShrinkCase{"Emptied", 0,
                   std::string(kStreamFailed) + "Backup.enc is too small to be valid (missing container header))"},
        ShrinkCase{"CutInANonce", kHeader + kRecord + 7, kTruncated},
        ShrinkCase{"CutInALength", kHeader + kRecord + 14, kRecordTruncated},
        ShrinkCase{"CutInAChunk", kHeader + kRecord + 500, kRecordTruncated},
        // Whole records lost from the end show only in the archive.
        ShrinkCase{"CutBetweenRecords", kHeader + 2 * kRecord,
                   "Decrypted backup is missing a valid manifest: Backup data is not a valid ZIP archive: Not a zip "
                   "archive"}),
    [](const auto& info) { return std::string(info.param.name); });

// Killed in the middle of the file copy, then run again. In the first run,
// on a terminal, file 500 is larger than the run may write a file, so the
// kernel ends the program (SIGXFSZ) in the middle of writing it.
TEST_F(FaultTest, RunKilledDuringTheCopyThenRunAgain) {
  constexpr int kFiles = 1000;
  // Only for speed: thousands of small files are made and removed faster in memory.
  TmpfsMount fast_tmp(tmp(), 64 * 1024 * kKiB), fast_home(home(), 64 * 1024 * kKiB);
  ASSERT_TRUE(create_directories(home() + "/Desktop").ok());
  std::vector<std::pair<std::string, std::string>> files;
  for (int i = 0; i < kFiles; ++i) files.emplace_back("Documents/" + std::to_string(i) + ".txt", "file " + std::to_string(i));
  files[500].second = std::string(2 << 20, 'b');
  testing::BackupSpec plan;
  plan.entries = testing::entries_with_manifest(files);
  testing::write_backup(drive(), plan);
  const Tree drive_before = testing::tree_digests(drive());

  {
    testing::PtySession first({"/bin/sh", "-c", "ulimit -f 1024 && exec \"$0\" \"$@\"", testing::restore_binary(), drive()},
                              environment());
    ASSERT_TRUE(first.wait_for("Backup password: ")) << first.output();
    ASSERT_TRUE(first.wait_for_echo_off());
    first.type(std::string(testing::kTestPassword) + "\r");
    const ExitStatus killed = first.finish();
    EXPECT_EQ(killed.signal, SIGXFSZ) << first.output();
  }
  const auto part = list_directory(restored() + "/Documents");
  ASSERT_TRUE(part.ok());
  EXPECT_LT(part->size(), static_cast<std::size_t>(kFiles)) << "the first run was not stopped in the copy";
  // As if the kill had come in the middle of one file.
  ASSERT_EQ(::truncate((restored() + "/Documents/0.txt").c_str(), 2), 0);
  // What is there and right must be kept as it is, not written again.
  std::map<std::string, ino_t> kept;
  for (const std::string& name : *part) {
    struct stat info {};
    if (name != "0.txt" && name.rfind(".korvo-partial-", 0) != 0 &&
        ::stat((restored() + "/Documents/" + name).c_str(), &info) == 0) {
      kept[name] = info.st_ino;
    }
  }

  add_dialog_zenity(std::string(testing::kTestPassword));
  fakes.add("xdg-open");
  const ProgramRun second = run({drive()});

  EXPECT_EQ(second.status.code, 0) << second.err;
  EXPECT_EQ(fakes.calls("zenity").back(),
            info_dialog("Done — welcome to Ubuntu!\n\n1000 files are back in the Restored folder on your desktop.\n\n"
                        "2.1 MB in less than a minute"));
  Tree expected = {{"Documents", "/"}};
  for (const auto& [name, content] : files) expected[name] = testing::sha256_hex(content);
  EXPECT_EQ(testing::tree_digests(restored()), expected);  // no temporary name left either
  for (const auto& [name, inode] : kept) {
    struct stat info {};
    ASSERT_EQ(::stat((restored() + "/Documents/" + name).c_str(), &info), 0) << name;
    EXPECT_EQ(info.st_ino, inode) << name << " was written again";
  }
  EXPECT_EQ(testing::tree_digests(drive()), drive_before);
  // The killed run could not remove its staging folder: the next run did.
  EXPECT_TRUE(staging_dirs().empty()) << ::testing::PrintToString(staging_dirs());
  ASSERT_TRUE(fakes.wait_for_calls("xdg-open"));
}

}  // namespace
}  // namespace korvo
