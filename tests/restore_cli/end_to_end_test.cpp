#include <termios.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/text.hpp"
#include "restore_cli/end_to_end.hpp"

namespace korvo {
namespace {

using testing::BackupSpec;
using testing::ProgramRun;
using testing::PtySession;
using Args = std::vector<std::string>;

constexpr const char* kWrongPasswordChain =
    "Restore failed: Decryption failed — wrong password, or the backup is damaged: Decryption failed. The "
    "password is incorrect or the backup is corrupted. (Decryption failed. The password is incorrect or the "
    "backup is corrupted.)";

TEST_F(EndToEnd, DialogModeRestoresFilesAndOpensTheFolder) {
  write_sample_backup();
  add_dialog_zenity(std::string(testing::kTestPassword));
  fakes.add("xdg-open");
  const ProgramRun result = run({drive()});
  EXPECT_EQ(result.status.code, 0) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(testing::read_test_file(restored() + "/Documents/notes.txt"), "meeting notes\n");
  EXPECT_TRUE(is_regular_file(restored() + "/Pictures/2019/a.jpg"));

  EXPECT_TRUE(testing::calls_in_order(
      fakes.calls("zenity"),
      {{{"--title=Korvo", "--password"}},
       testing::killed_window(progress_window("Decrypting your backup…", true)),
       testing::killed_window(progress_window("Restoring your files…", false)),
       {info_dialog("Done — welcome to Ubuntu!\n\n2 files are back in the Restored folder on your desktop.\n\n"
                    "200.0 kB in less than a minute")}}));
  // xdg-open is left running; its record is whole once it is there.
  ASSERT_TRUE(fakes.wait_for_calls("xdg-open"));
  EXPECT_EQ(fakes.calls("xdg-open"), (std::vector<Args>{{restored()}}));
}

// zenity reads a progress window's "# " lines as markup from 4.0.3 on only.
struct WindowLineCase {
  const char* name;
  const char* version_answer;  // shell text run for "zenity --version"
  const char* folder;          // of both files
  const char* shown_folder;    // as the restoring window gets it
  std::size_t version_calls;
};

class RestoringWindowLines : public EndToEnd, public ::testing::WithParamInterface<WindowLineCase> {};

TEST_P(RestoringWindowLines, EscapedOnlyWhereZenityReadsMarkupAndTheVersionAskedOnce) {
  const WindowLineCase& c = GetParam();
  const std::string folder = std::string("Documents/") + c.folder;
  const std::string bills = "tax 2024.pdf\n", fish = "fish\n";
  BackupSpec plan;
  plan.entries = testing::entries_with_manifest({{folder + "/notes/tax 2024.pdf", bills}, {folder + "/Fish.txt", fish}});
  testing::write_backup(drive(), plan);
  // The restoring window's input is copied by a reader that the window's
  // kill does not reach; the copy appears whole once the program has closed
  // it. The version is answered only once that reader runs, so the program
  // cannot have closed the window before.
  const std::string copy = scratch.sub("restoring-window"), reading = scratch.sub("reading");
  fakes.add("zenity", "case \"$1\" in --version) i=0; while [ ! -e '" + reading +
                          "' ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i+1)); done; " + c.version_answer +
                          ";; esac\n"
                          "case \"$*\" in *--progress*Restoring*) exec 3<&0; { : >'" + reading + "'; cat <&3 >'" +
                          copy + ".part'; mv '" + copy + ".part' '" + copy +
                          "'; } </dev/null >/dev/null 2>&1 & exit 0;; esac\n"
                          "case \"$2\" in --password) printf '%s\\n' '" + std::string(testing::kTestPassword) +
                          "';; --progress) exec cat >/dev/null;; esac; exit 0");
  fakes.add("xdg-open");
  const ProgramRun result = run({drive()});
  EXPECT_EQ(result.status.code, 0) << result.err;
  EXPECT_EQ(testing::read_test_file(restored() + "/" + folder + "/Fish.txt"), fish);
  std::size_t version_calls = 0;
  for (const auto& call : fakes.calls("zenity")) version_calls += call == Args{"--version"};
  EXPECT_EQ(version_calls, c.version_calls);
  if (c.version_calls == 0) return;  // the window may have been killed unread
  ASSERT_TRUE(testing::wait_until([&] { return path_exists_nofollow(copy); }));
  const std::string window = testing::read_test_file(copy);
  const std::string shown = std::string("C:\\\\Users\\\\alex\\\\Documents\\\\") + c.shown_folder;
  // The first file as it begins, the last as the copy ends; the path under the bytes.
  EXPECT_NE(window.find("\n# 0 bytes of 18 bytes\\n" + shown + "\\\\notes\\\\tax 2024.pdf\n"), std::string::npos)
      << window;
  EXPECT_NE(window.find("\n# 18 bytes of 18 bytes\\n" + shown + "\\\\Fish.txt\n"), std::string::npos) << window;
}

INSTANTIATE_TEST_SUITE_P(
    ByVersion, RestoringWindowLines,
    ::testing::Values(
        WindowLineCase{"Zenity3_44", "echo 3.44.0", "Bills & Letters", "Bills & Letters", 1},
        WindowLineCase{"Zenity4_0_1", "echo 4.0.1", "Bills & Letters", "Bills & Letters", 1},
        WindowLineCase{"Zenity4_1_90", "echo 4.1.90", "Bills & Letters", "Bills &amp; Letters", 1},
        WindowLineCase{"VersionUnreadable", "exit 1", "Bills & Letters", "Bills &amp; Letters", 1},
        WindowLineCase{"NothingToEscape", "echo 4.0.1", "Bills and Letters", "Bills and Letters", 0}),
    [](const ::testing::TestParamInfo<WindowLineCase>& info) { return std::string(info.param.name); });

// By bytes, not by files: a big first file takes the bar to 99 % before the
// small ones after it. The window's input is copied as in the test above.
TEST_F(EndToEnd, RestoringWindowCountsBytes) {
  std::vector<std::pair<std::string, std::string>> files = {{"Videos/old laptop.vhdx", std::string(8 << 20, 'v')}};
  for (int i = 0; i < 30; ++i) files.emplace_back("Pictures/" + std::to_string(i) + ".jpg", std::string(100, 'p'));
  BackupSpec plan;
  plan.entries = testing::entries_with_manifest(files);
  testing::write_backup(drive(), plan);
  const std::string copy = scratch.sub("restoring-window");
  fakes.add("zenity", "case \"$*\" in *--progress*Restoring*) exec 3<&0; { cat <&3 >'" + copy + ".part'; mv '" + copy +
                          ".part' '" + copy + "'; } </dev/null >/dev/null 2>&1 & exit 0;; esac\n"
                          "case \"$2\" in --password) printf '%s\\n' '" + std::string(testing::kTestPassword) +
                          "';; --progress) exec cat >/dev/null;; esac; exit 0");
  fakes.add("xdg-open");
  const ProgramRun result = run({drive()});
  ASSERT_EQ(result.status.code, 0) << result.err;
  ASSERT_TRUE(testing::wait_until([&] { return path_exists_nofollow(copy); }));
  // A percent line, then a "# " line with the path after an escaped line feed.
  const std::vector<std::string> lines = split_lines(testing::read_test_file(copy));
  ASSERT_TRUE(!lines.empty() && lines.size() % 2 == 0) << testing::read_test_file(copy);
  const auto shown_path = [](const std::string& name) {
    return "\\n" + replace_all(testing::windows_original_path(name), "\\", "\\\\");
  };
  EXPECT_EQ(lines[0], "0");
  EXPECT_EQ(lines[1], "# 0 bytes of 8.4 MB" + shown_path("Videos/old laptop.vhdx"));
  unsigned before = 0;
  for (std::size_t i = 0; i < lines.size(); i += 2) {
    const auto percent = static_cast<unsigned>(std::stoul(lines[i]));
    EXPECT_GE(percent, before) << lines[i + 1];
    before = percent;
    if (!ends_with(lines[i + 1], shown_path("Videos/old laptop.vhdx"))) {
      EXPECT_EQ(percent, 99u) << lines[i + 1];  // a small file: the big one is behind
    }
  }
  EXPECT_EQ(lines[lines.size() - 2], "99");
  EXPECT_EQ(lines.back(), "# 8.4 MB of 8.4 MB" + shown_path("Pictures/29.jpg"));
}

// The password window answers from a list, one line per time it is asked;
// "CANCEL" stands for the Cancel button.
class PasswordTries : public EndToEnd {
 protected:
  void answer_passwords(const std::vector<std::string>& answers) {
    std::string list;
    for (const std::string& answer : answers) list += answer + "\n";
    testing::write_test_file(scratch.sub("answers"), list);
    const std::string count = scratch.sub("asked");
    fakes.add("zenity", "case \"$2\" in --password) n=$(($(cat '" + count + "' 2>/dev/null || echo 0) + 1)); echo $n > '" +
                            count + "'; i=0; while IFS= read -r line; do i=$((i + 1)); [ $i -eq $n ] && break; done < '" +
                            scratch.sub("answers") +
                            "'; [ \"$line\" = CANCEL ] && exit 1; printf '%s\\n' \"$line\";; --progress) exec cat "
                            ">/dev/null;; esac; exit 0");
    fakes.add("xdg-open");
  }
  // What one refused password shows: its decryption window, then the notice.
  static void add_refused_try(std::vector<testing::ExpectedCall>& calls) {
    calls.push_back({{"--title=Korvo", "--password"}});
    calls.push_back(testing::killed_window(progress_window("Decrypting your backup…", true)));
    calls.push_back({error_dialog("That password did not open the backup. Please try again.")});
  }
};

TEST_F(PasswordTries, AWrongPasswordAsksAgainAndTheRightOneRestores) {
  write_sample_backup();
  answer_passwords({"not the password", std::string(testing::kTestPassword)});
  const ProgramRun result = run({drive()});
  EXPECT_EQ(result.status.code, 0) << result.err;
  std::vector<testing::ExpectedCall> expected;
  add_refused_try(expected);
  expected.push_back({{"--title=Korvo", "--password"}});
  expected.push_back(testing::killed_window(progress_window("Decrypting your backup…", true)));
  expected.push_back(testing::killed_window(progress_window("Restoring your files…", false)));
  expected.push_back({info_dialog("Done — welcome to Ubuntu!\n\n2 files are back in the Restored folder on your desktop."
                                  "\n\n200.0 kB in less than a minute")});
  EXPECT_TRUE(testing::calls_in_order(fakes.calls("zenity"), expected));
  EXPECT_EQ(testing::read_test_file(restored() + "/Documents/notes.txt"), "meeting notes\n");
  EXPECT_TRUE(staging_dirs().empty());
  ASSERT_TRUE(fakes.wait_for_calls("xdg-open"));
}

// Five tries in all: a script that keeps sending one wrong password ends.
TEST_F(PasswordTries, FiveWrongPasswordsEndWithOneErrorAndStatusOne) {
  write_sample_backup();
  answer_passwords(std::vector<std::string>(6, "not the password"));
  const ProgramRun result = run({drive()});
  EXPECT_EQ(result.status.code, 1);
  EXPECT_EQ(result.err, "");
  std::vector<testing::ExpectedCall> expected;
  for (int i = 0; i < 4; ++i) add_refused_try(expected);
  expected.push_back({{"--title=Korvo", "--password"}});
  expected.push_back(testing::killed_window(progress_window("Decrypting your backup…", true)));
  expected.push_back({error_dialog(kWrongPasswordChain)});
  EXPECT_TRUE(testing::calls_in_order(fakes.calls("zenity"), expected));
  EXPECT_FALSE(path_exists_nofollow(restored()));
  EXPECT_TRUE(staging_dirs().empty());
}

TEST_F(PasswordTries, CancellingTheSecondQuestionEndsAsACancelledPrompt) {
  write_sample_backup();
  answer_passwords({"not the password", "CANCEL"});
  const ProgramRun result = run({drive()});
  EXPECT_EQ(result.status.code, 1);
  std::vector<testing::ExpectedCall> expected;
  add_refused_try(expected);
  expected.push_back({{"--title=Korvo", "--password"}});
  expected.push_back({error_dialog("Restore failed: Cancelled")});
  EXPECT_TRUE(testing::calls_in_order(fakes.calls("zenity"), expected));
  EXPECT_TRUE(staging_dirs().empty());
}

// Only a first record that does not open means the password: damage in a
// later one that holds the archive's directory ends the run as before,
// without a second question.
TEST_F(PasswordTries, DamageInALaterRecordIsNotAskedAgain) {
  BackupSpec plan;
  plan.entries = testing::entries_with_manifest({{"Documents/report.txt", std::string(8192, 'r')}});
  for (auto& entry : plan.entries) entry.deflate = false;
  plan.chunk_size = 1024;
  testing::write_backup(drive(), plan);
  std::string sealed = testing::read_test_file(drive() + "/Backup.enc");
  const std::size_t last_record_tag = sealed.size() - 8;
  ASSERT_GT(sealed.size(), 13 + 3 * (12 + 4 + 1024 + 16));
  sealed[last_record_tag] = static_cast<char>(sealed[last_record_tag] ^ 1);
  testing::write_test_file(drive() + "/Backup.enc", sealed);
  answer_passwords({std::string(testing::kTestPassword), std::string(testing::kTestPassword)});
  const ProgramRun result = run({drive()});
  EXPECT_EQ(result.status.code, 1);
  EXPECT_TRUE(testing::calls_in_order(fakes.calls("zenity"),
                                      {{{"--title=Korvo", "--password"}},
                                       testing::killed_window(progress_window("Decrypting your backup…", true)),
                                       {error_dialog(kWrongPasswordChain)}}));
}

// --check reads the whole backup and writes nothing anywhere: a good
// backup, one opened with wrong passwords only, and a damaged one.
TEST_F(PasswordTries, CheckReportsAndWritesNothing) {
  const std::string damaged_photo =
      "1 files would not come back from this backup:\n\n"
      "  ! Cannot read C:\\Users\\alex\\Pictures\\2019\\a.jpg: the backup is damaged where this file is stored";
  const std::string wrong = "Check failed: " + std::string(kWrongPasswordChain).substr(std::string("Restore failed: ").size());
  const struct {
    const char* name;
    std::vector<std::string> answers;
    bool damage;
    int status;
    testing::ExpectedCall last;
  } cases[] = {
      {"good", {std::string(testing::kTestPassword)}, false, 0,
       {info_dialog("The backup is complete: 2 files, 200.0 kB, each matches its checksum.")}},
      {"wrong passwords", std::vector<std::string>(5, "not the password"), false, 1, {error_dialog(wrong)}},
      {"damaged", {std::string(testing::kTestPassword)}, true, 1, {error_dialog(damaged_photo)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(fakes.dir() + "/log");  // each case's calls alone
    ::unlink(scratch.sub("asked").c_str());
    write_sample_backup();
    if (c.damage) {
      // The photo is stored: the middle of the file is the middle of its data.
      std::string sealed = testing::read_test_file(drive() + "/Backup.enc");
      sealed[sealed.size() / 2] = static_cast<char>(sealed[sealed.size() / 2] ^ 1);
      testing::write_test_file(drive() + "/Backup.enc", sealed);
    }
    answer_passwords(c.answers);
    const auto drive_before = testing::tree_digests(drive());
    const auto home_before = testing::tree_digests(home());

    const ProgramRun result = run({"--check", drive()});

    EXPECT_EQ(result.status.code, c.status) << result.err;
    const auto calls = fakes.calls("zenity");
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), c.last.argv);
    EXPECT_EQ(calls.front(), (Args{"--title=Korvo", "--password"}));
    EXPECT_EQ(testing::tree_digests(drive()), drive_before);
    EXPECT_EQ(testing::tree_digests(home()), home_before);
    EXPECT_TRUE(staging_dirs().empty());
    EXPECT_TRUE(fakes.calls("xdg-open").empty());
  }
}

TEST_F(EndToEnd, CancelledPasswordDialogEndsBeforeAnyStagingDirectory) {
  write_sample_backup();
  fakes.add("zenity", "case \"$2\" in --password) exit 1;; esac; exit 0");
  const ProgramRun result = run({drive()});
  EXPECT_EQ(result.status.code, 1);
  const auto calls = fakes.calls("zenity");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1], error_dialog("Restore failed: Cancelled"));
  EXPECT_TRUE(staging_dirs().empty());
}

// A staging folder that cannot be made says so; it says nothing of the
// password or the backup.
TEST_F(EndToEnd, AStagingFolderThatCannotBeMadeIsNamedAsSuch) {
  write_sample_backup();
  add_dialog_zenity(std::string(testing::kTestPassword));
  testing::write_test_file(scratch.sub("not-a-folder"), "");
  testing::Environment env = environment();
  env["TMPDIR"] = scratch.sub("not-a-folder");
  const ProgramRun result = testing::run_program({testing::restore_binary(), drive()}, env, "x");
  EXPECT_EQ(result.status.code, 1);
  EXPECT_TRUE(testing::calls_in_order(
      fakes.calls("zenity"),
      {{{"--title=Korvo", "--password"}},
       testing::killed_window(progress_window("Decrypting your backup…", true)),
       {error_dialog("Restore failed: Cannot create restore staging directory: File exists")}}));
}

TEST_F(EndToEnd, FolderWithoutBackupIsNamedAsTyped) {
  ASSERT_TRUE(create_directories(scratch.sub("empty")).ok());
  const ProgramRun result = run({"--no-gui", "--unknown-option", scratch.sub("empty"), "/ignored/second"});
  EXPECT_EQ(result.status.code, 1);
  EXPECT_EQ(result.out, "Korvo restore\n\n");
  EXPECT_EQ(result.err, "\nRestore failed: " + scratch.sub("empty") +
                            " does not look like a Korvo USB (needs Backup.enc and backup.salt)\n");
}

TEST_F(EndToEnd, DialogChooserCancelledGivesTheHowToMessage) {
  // No folder argument: nothing on this machine's mount points is expected
  // to hold a backup; the chooser is cancelled.
  fakes.add("zenity", "case \"$2\" in --file-selection) exit 1;; esac; exit 0");
  const ProgramRun result = run({});
  EXPECT_EQ(result.status.code, 1);
  const auto calls = fakes.calls("zenity");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0], (Args{"--title=Korvo", "--file-selection", "--directory",
                            "--title=Korvo — select your Korvo USB drive"}));
  EXPECT_EQ(calls[1].back(),
            "--text=Restore failed: Could not find Backup.enc automatically. Pass the path to the Korvo USB, e.g. "
            "`korvo-restore /media/you/KORVO_DATA`: no Korvo backup found on any mounted drive");
}

TEST_F(EndToEnd, ChosenFolderWithoutBackupIsRefusedWithoutAskingAgain) {
  ASSERT_TRUE(create_directories(scratch.sub("picked")).ok());
  fakes.add("zenity", "case \"$2\" in --file-selection) printf '%s\\n\\n' '" + scratch.sub("picked") +
                          "';; esac; exit 0");
  const ProgramRun result = run({});
  EXPECT_EQ(result.status.code, 1);
  const auto calls = fakes.calls("zenity");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].back(), "--text=Restore failed: " + scratch.sub("picked") +
                                 " does not look like a Korvo USB (needs Backup.enc and backup.salt)");
}

TEST_F(EndToEnd, ClosedStdinWithoutZenityFallsBackToTheTerminal) {
  write_sample_backup();
  const ProgramRun result =
      testing::run_program({testing::restore_binary(), drive()}, environment(), {}, /*stdin_closed=*/true);
  EXPECT_EQ(result.status.code, 1);
  EXPECT_EQ(result.out, "Korvo restore\n\nFound backup on " + drive() + "\n");
  // Run without a controlling terminal, the password cannot be read.
  EXPECT_EQ(result.err.rfind("\nRestore failed: Could not read the password: ", 0), 0u) << result.err;
}

TEST_F(EndToEnd, InstallerModeOnlyAsFirstArgument) {
  const ProgramRun nothing = run({"--install-apps"});
  EXPECT_EQ(nothing.status.code, 0);
  EXPECT_EQ(nothing.out, "");
  const ProgramRun refused = run({"--install-apps", "apt:gimp", "apt:Bad"});
  EXPECT_EQ(refused.status.code, 2);
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(refused.err, "Refusing: not a package list Korvo produced.\n");
  // Elsewhere it is an ignored option: this is a restore run.
  const ProgramRun restore = run({"--no-gui", "--install-apps", scratch.sub("nothing-here")});
  EXPECT_EQ(restore.status.code, 1);
  EXPECT_EQ(restore.out, "Korvo restore\n\n");
}

class TerminalEndToEnd : public EndToEnd {
 protected:
  // On a pseudo-terminal, so standard input is a terminal and /dev/tty is real.
  std::string run_typing(const Args& args, const std::string& keys, int expected_status) {
    Args argv = {testing::restore_binary()};
    argv.insert(argv.end(), args.begin(), args.end());
    PtySession session(argv, environment());
    EXPECT_TRUE(session.wait_for("Backup password: ")) << session.output();
    EXPECT_TRUE(session.wait_for_echo_off());
    session.type(keys);
    const ExitStatus status = session.finish();
    EXPECT_TRUE(status.exited);
    EXPECT_EQ(status.code, expected_status) << session.output();
    EXPECT_NE(session.local_flags() & ECHO, 0u);
    return session.output();
  }
};

TEST_F(TerminalEndToEnd, WholeRestoreInTheTerminal) {
  write_sample_backup();
  const std::string screen = run_typing({drive()}, std::string(testing::kTestPassword) + "\r", 0);
  const std::string expected_start = "Korvo restore\r\n\r\nFound backup on " + drive() + "\r\nBackup password: \r\n";
  EXPECT_EQ(screen.substr(0, expected_start.size()), expected_start);
  EXPECT_EQ(screen.find(std::string(testing::kTestPassword)), std::string::npos) << "password echoed";
  EXPECT_NE(screen.find("Decrypting your backup…\r\n\r\nRestoring your files…\r\n"), std::string::npos) << screen;
  EXPECT_NE(screen.find("\r    0%  0 bytes of 200.0 kB  C:\\Users\\alex\\Documents\\notes.txt  "), std::string::npos)
      << screen;
  EXPECT_NE(screen.find("\r  100%  200.0 kB of 200.0 kB  C:\\Users\\alex\\Pictures\\2019\\a.jpg  "),
            std::string::npos)
      << screen;
  const std::string report =
      "\r\n\r\n2 files are back in the Restored folder on your desktop.\r\n200.0 kB in less than a minute\r\n";
  EXPECT_EQ(screen.substr(screen.size() - report.size()), report) << screen;
  EXPECT_TRUE(is_regular_file(restored() + "/Documents/notes.txt"));
}

// A name in the backup that carries terminal controls is shown, not obeyed;
// the decrypted copy is gone once the report is out.
TEST_F(TerminalEndToEnd, BackupTextCannotDriveTheTerminal) {
  testing::BackupSpec plan;
  const std::string original = "C:\\Users\\alex\\\x1b]0;owned\x07.txt";
  plan.entries = {{"manifest.json", testing::manifest_text({{original, "a.txt", 1, testing::sha256_hex("x")}})},
                  {"a.txt", "x"}};
  testing::write_backup(drive(), plan);
  const std::string screen = run_typing({drive()}, std::string(testing::kTestPassword) + "\r", 0);
  EXPECT_EQ(screen.find("\x1b]0;"), std::string::npos) << screen;
  EXPECT_NE(screen.find("\r  100%  1 byte of 1 byte  C:\\Users\\alex\\\uFFFD]0;owned\uFFFD.txt"), std::string::npos)
      << screen;
  EXPECT_TRUE(staging_dirs().empty());
}

TEST_F(TerminalEndToEnd, AWrongPasswordAsksAgain) {
  write_sample_backup();
  PtySession session({testing::restore_binary(), drive()}, environment());
  ASSERT_TRUE(session.wait_for("Backup password: ")) << session.output();
  ASSERT_TRUE(session.wait_for_echo_off());
  session.type("not the password\r");
  ASSERT_TRUE(session.wait_for("That password did not open the backup. Please try again.\r\nBackup password: "))
      << session.output();
  ASSERT_TRUE(session.wait_for_echo_off());
  session.type(std::string(testing::kTestPassword) + "\r");
  const ExitStatus status = session.finish();
  EXPECT_EQ(status.code, 0) << session.output();
  const std::string report =
      "\r\n\r\n2 files are back in the Restored folder on your desktop.\r\n200.0 kB in less than a minute\r\n";
  const std::string& screen = session.output();
  EXPECT_EQ(screen.substr(screen.size() - report.size()), report) << screen;
  EXPECT_EQ(screen.find("not the password"), std::string::npos) << "password echoed";
}

TEST_F(TerminalEndToEnd, EmptyEntryAndCtrlDAreRefused) {
  write_sample_backup();
  std::string screen = run_typing({drive()}, "\r", 1);
  EXPECT_NE(screen.find("\r\nRestore failed: No password entered\r\n"), std::string::npos) << screen;
  screen = run_typing({drive()}, "\x04", 1);
  EXPECT_NE(screen.find("\r\nRestore failed: Could not read the password: end of input\r\n"), std::string::npos)
      << screen;
  EXPECT_TRUE(staging_dirs().empty());
}

TEST_F(TerminalEndToEnd, GuiFlagWinsOverATerminal) {
  write_sample_backup();
  add_dialog_zenity("wrong");
  Args argv = {testing::restore_binary(), "--gui", drive()};
  PtySession session(argv, environment());
  const ExitStatus status = session.finish();
  EXPECT_EQ(status.code, 1);
  EXPECT_EQ(session.output(), "");
  EXPECT_EQ(fakes.calls("zenity").front(), (Args{"--title=Korvo", "--password"}));
}

}  // namespace
}  // namespace korvo

namespace korvo {
namespace {

constexpr const char* kInstallList = R"([
  {"app": "Photoshop", "linux_name": "GIMP", "manager": "apt", "packages": ["gimp"]},
  {"app": "Notepad++", "linux_name": "Kate", "manager": "snap", "packages": ["kate"], "classic": true,
   "alternative": true}
])";

constexpr const char* kChromeBookmarks = R"({
  "checksum": "0f1e", "version": 1,
  "roots": {
    "bookmark_bar": {"children": [{"type": "url", "name": "News", "url": "https://news.example/"}],
                     "name": "Bookmarks bar", "type": "folder"},
    "other": {"children": [{"type": "url", "name": "Recipes", "url": "https://food.example/"}],
              "name": "Other bookmarks", "type": "folder"}
  }
})";


// A backup that carries every kind of personal data, and a machine on which
// each tool answers as a willing desktop would.
class FullRestore : public EndToEnd {
 protected:
  // With a damaged file, one the manifest lists with another digest.
  explicit FullRestore(bool with_damaged_file = false) {
    BackupSpec plan;
    plan.entries = notes_with_manifest(with_damaged_file);
    plan.entries.insert(plan.entries.end(), {
        {"linux-install.json", kInstallList},
        {"BrowserData/Chrome/Default/Bookmarks", kChromeBookmarks},
        {"BrowserData/Firefox/abcd.default/places.sqlite", "places"},
        {"BrowserData/Firefox/abcd.default/logins.json", "{}"},
        {"WiFi/HomeNet.xml", wifi_profile("HomeNet", "hunter22")},
        {"Settings/settings.json", R"({"dark_mode": true, "wallpaper": "wallpaper.jpg"})"},
        {"Settings/wallpaper.jpg", "jpeg bytes"}});
    testing::write_backup(drive(), plan);

    testing::write_test_file(home() + "/.mozilla/firefox/profiles.ini",
                             "[Profile0]\nName=default\nIsRelative=1\nPath=local.default\nDefault=1\n");
    EXPECT_TRUE(create_directories(home() + "/.mozilla/firefox/local.default").ok());

    // The program's own installer copy would run /usr/bin's apt-get: this
    // test binary stands in for it, pointed at the fakes.
    fakes.add("pkexec", "shift; KORVO_TEST_PACKAGE_TOOLS='" + fakes.dir() + "/bin' exec '" + *own_executable_path() +
                            "' \"$@\"");
    fakes.add("apt-cache", "echo \"$2\"");
    fakes.add("apt-get");
    fakes.add("snap");
    fakes.add("pgrep", "exit 1");
    fakes.add("nmcli", "exit 0", true);
    fakes.add("gsettings");
    fakes.add("xdg-open");
  }

  void expect_everything_applied() {
    EXPECT_EQ(fakes.calls("apt-get").back(), (Args{"-o", "DPkg::Lock::Timeout=600", "install", "-y", "--no-remove", "gimp"}));
    EXPECT_TRUE(fakes.calls("snap").empty());  // Kate was an unticked alternative
    EXPECT_EQ(testing::read_test_file(home() + "/.mozilla/firefox/local.default/places.sqlite"), "places");
    EXPECT_TRUE(is_regular_file(restored() + "/Browser bookmarks/Chrome - Default.html"));
    EXPECT_EQ(fakes.calls("nmcli").size(), 2u);
    // The network's key reaches nmcli on its standard input, never as an argument.
    for (const Args& call : fakes.calls("nmcli")) {
      for (const std::string& arg : call) EXPECT_EQ(arg.find("hunter22"), std::string::npos) << arg;
    }
    EXPECT_NE(fakes.inputs("nmcli").back().find("\nhunter22\n"), std::string::npos);
    EXPECT_EQ(fakes.calls("gsettings").size(), 4u);
  }

  const Args report = {
      "1 files are back in the Restored folder on your desktop.",
      "6 bytes in less than a minute",
      "Apps installed: GIMP.",
      "Bookmarks from Chrome (2) are in Restored/Browser bookmarks — in your browser choose Bookmarks → Import "
      "and pick the file.",
      "Firefox: your bookmarks, history and saved passwords are back.",
      "Wi-Fi networks saved: HomeNet.",
      "Look and feel: dark mode and your wallpaper applied.",
  };
};

TEST_F(FullRestore, DialogReportListsEveryStageInOrder) {
  fakes.add("zenity",
            "case \"$2\" in --password) printf '%s\\n' '" + std::string(testing::kTestPassword) +
                "';; --list) printf '0\\n';; --progress) exec cat >/dev/null;; esac; exit 0");
  const ProgramRun result = run({drive()});
  ASSERT_EQ(result.status.code, 0) << result.err;
  std::string expected_text = "Done — welcome to Ubuntu!";
  for (const std::string& line : report) expected_text += "\n\n" + line;
  EXPECT_EQ(fakes.calls("zenity").back(), info_dialog(expected_text));
  expect_everything_applied();
}

TEST_F(FullRestore, TerminalReportListsEveryStageInOrder) {
  PtySession session({testing::restore_binary(), drive()}, environment());
  ASSERT_TRUE(session.wait_for("Backup password: "));
  ASSERT_TRUE(session.wait_for_echo_off());
  session.type(std::string(testing::kTestPassword) + "\r");
  ASSERT_TRUE(session.wait_for("[Y/n] ")) << session.output();
  session.type("\r");
  const ExitStatus status = session.finish();
  ASSERT_EQ(status.code, 0) << session.output();
  std::string expected_tail = "\r\n";
  for (const std::string& line : report) expected_tail += line + "\r\n";
  const std::string& screen = session.output();
  ASSERT_GE(screen.size(), expected_tail.size());
  EXPECT_EQ(screen.substr(screen.size() - expected_tail.size()), expected_tail) << screen;
  EXPECT_NE(screen.find("  [x] GIMP (you had Photoshop) — apt: gimp\r\n"
                        "  [ ] Kate — instead of Notepad++ (a different app) — snap --classic: kate"),
            std::string::npos)
      << screen;
  expect_everything_applied();
}

// The same restore for a German desktop: every text in German, every file
// name, argument vector and value from the backup as in English.
class GermanRestore : public FullRestore {
 protected:
  GermanRestore() : FullRestore(/*with_damaged_file=*/true) { language = "de"; }

  void expect_names_unchanged() {
    expect_everything_applied();
    EXPECT_EQ(fakes.calls("pkexec"), (std::vector<Args>{{testing::restore_binary(), "--install-apps", "apt:gimp"}}));
    EXPECT_TRUE(is_regular_file(restored() + "/Documents/notes.txt"));
  }

  const Args report = {
      "1 Datei ist wieder da, im Ordner „Restored“ auf Ihrem Schreibtisch.",
      "6 Bytes in weniger als einer Minute",
      "1 Datei konnte nicht wiederhergestellt werden:",
      "  ! Prüfsumme stimmt nicht: C:\\Users\\alex\\Documents\\old.txt (erwartet " + testing::sha256_hex("old") +
          ", erhalten " + testing::sha256_hex("new") + ")",
      "Installierte Apps: GIMP.",
      "Lesezeichen aus Chrome (2) liegen in Restored/Browser bookmarks – wählen Sie in Ihrem Browser Lesezeichen → "
      "Importieren und dann die Datei.",
      "Firefox: Ihre Lesezeichen, Ihre Chronik und Ihre gespeicherten Passwörter sind wieder da.",
      "Gespeicherte WLAN-Netze: HomeNet.",
      "Erscheinungsbild: dunkler Modus und Ihr Hintergrundbild übernommen.",
  };
};

TEST_F(GermanRestore, DialogsSpeakGerman) {
  fakes.add("zenity",
            "case \"$2\" in --password) printf '%s\\n' '" + std::string(testing::kTestPassword) +
                "';; --list) printf '0\\n';; --progress) exec cat >/dev/null;; esac; exit 0");
  const ProgramRun result = run({drive()});
  ASSERT_EQ(result.status.code, 0) << result.err;
  std::string expected_text = "Fertig – willkommen bei Ubuntu!";
  for (const std::string& line : report) expected_text += "\n\n" + line;
  const auto calls = fakes.calls("zenity");
  EXPECT_TRUE(testing::calls_in_order(
      calls, {{{"--title=Korvo", "--password"}},
              testing::killed_window(progress_window("Ihre Sicherung wird entschlüsselt …", true)),
              testing::killed_window(progress_window("Ihre Dateien werden wiederhergestellt …", false)),
              {{"--title=Korvo", "--list", "--checklist", "--width=560", "--height=440", "--column=Installieren", "--column=#",
                "--column=App", "--hide-column=2", "--print-column=2", "--separator=\n",
                "--text=Korvo kann diese Apps für Sie installieren. Entfernen Sie das Häkchen bei allem, was Sie "
                "nicht möchten.",
                "TRUE", "0", "GIMP (Sie hatten Photoshop) – apt: gimp", "FALSE", "1",
                "Kate – statt Notepad++ (eine andere App) – snap --classic: kate"}},
              testing::killed_window(progress_window(
                  "Apps werden installiert – geben Sie Ihr Ubuntu-Passwort ein, wenn Sie danach gefragt werden …",
                  true)),
              {info_dialog(expected_text)}}))
      << ::testing::PrintToString(calls);
  expect_names_unchanged();
}

TEST_F(GermanRestore, TerminalSpeaksGerman) {
  PtySession session({testing::restore_binary(), drive()}, environment());
  ASSERT_TRUE(session.wait_for("Passwort der Sicherung: ")) << session.output();
  ASSERT_TRUE(session.wait_for_echo_off());
  session.type(std::string(testing::kTestPassword) + "\r");
  ASSERT_TRUE(session.wait_for("(Die anderen stehen in linux-apps.md.) [J/n] ")) << session.output();
  session.type("\r");
  const ExitStatus status = session.finish();
  ASSERT_EQ(status.code, 0) << session.output();
  const std::string& screen = session.output();
  const std::string start = "Korvo-Wiederherstellung\r\n\r\nSicherung gefunden auf " + drive() +
                            "\r\nPasswort der Sicherung: \r\nIhre Sicherung wird entschlüsselt …\r\n\r\n"
                            "Ihre Dateien werden wiederhergestellt …\r\n";
  EXPECT_EQ(screen.substr(0, start.size()), start) << screen;
  EXPECT_NE(screen.find("  Paketliste wird aktualisiert …\r\n  gimp wird installiert …\r\n"), std::string::npos)
      << screen;
  std::string expected_tail = "\r\n";
  for (const std::string& line : report) expected_tail += line + "\r\n";
  ASSERT_GE(screen.size(), expected_tail.size());
  EXPECT_EQ(screen.substr(screen.size() - expected_tail.size()), expected_tail) << screen;
  expect_names_unchanged();
}

}  // namespace
}  // namespace korvo
