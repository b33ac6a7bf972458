#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/process.hpp"
#include "common/text.hpp"
#include "dialogs/terminal.hpp"
#include "dialogs/zenity.hpp"
#include "support/env_override.hpp"
#include "support/sandbox.hpp"

namespace korvo {
namespace {

using testing::FakeTools;
using testing::EnvOverride;
using testing::ScratchDir;
using Args = std::vector<std::string>;

TEST(EscapeMarkup, EscapesEachSpecialCharacterOnce) {
  EXPECT_EQ(escape_markup("a & b < c > d &lt; \"quotes' stay\""), "a &amp; b &lt; c &gt; d &amp;lt; \"quotes' stay\"");
}

TEST(YesNoAnswer, OnlyAnAnswerStartingWithNIsNo) {
  for (const char* no : {"n", "N", "no", "  No\n", "nope", "\tn"}) EXPECT_TRUE(is_no_answer(no)) << no;
  for (const char* yes : {"", "\n", "y", "yes", "Y", "whatever", " yn"}) EXPECT_FALSE(is_no_answer(yes)) << yes;
}

TEST(ProgressLines, TerminalLineHasFixedWidthsAndNoCap) {
  EXPECT_EQ(terminal_progress_line(5, "a.txt"), "\r    5%  a.txt" + std::string(55, ' '));
  const std::string seventy(70, 'x');
  EXPECT_EQ(terminal_progress_line(100, seventy), "\r  100%  " + std::string(60, 'x'));
  // Characters, not bytes: sixty em dashes fill the field exactly.
  std::string dashes;
  for (int i = 0; i < 61; ++i) dashes += "\xE2\x80\x94";
  EXPECT_EQ(terminal_progress_line(7, dashes), "\r    7%  " + dashes.substr(0, 180));
}

// The words over the path in a window: zenity makes a line break of the
// escaped line feed and would eat the path's single backslashes.
TEST(ProgressLines, WindowTransferLineHasTheWordsOverThePath) {
  struct Case {
    TransferUpdate update;
    const char* expected;
  };
  const Case cases[] = {
      {{0, "0 bytes of 1.0 kB", "", "", "C:\\Users\\a.txt"}, "0\n# 0 bytes of 1.0 kB\\nC:\\\\Users\\\\a.txt\n"},
      {{100, "1.0 kB of 1.0 kB", "3.0 kB/s", "less than a minute left", "C:\\a.txt"},
       "99\n# 1.0 kB of 1.0 kB · less than a minute left\\nC:\\\\a.txt\n"},
      {{5, "1 byte of 20 bytes", "", "", ""}, "5\n# 1 byte of 20 bytes\n"},
      {{5, "1 byte of 20 bytes", "", "", "C:\\a\n100\n# done"}, "5\n# 1 byte of 20 bytes\\nC:\\\\a\uFFFD100\uFFFD# done\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(window_transfer_line(c.update), c.expected) << c.update.amount;
}

// One line that fits the terminal, its last column left free: the speed
// goes first, then the time left; the path is cut in its middle.
TEST(ProgressLines, TerminalTransferLineFitsTheWidth) {
  const TransferUpdate update = {37, "12.3 GB of 210.0 GB", "85.2 MB/s", "about 25 minutes left",
                                 "C:\\Users\\alex\\Videos\\Holidays 2019\\Norway\\the whole family at the fjord.mp4"};
  TransferUpdate wide_path = update;
  wide_path.speed = wide_path.time_left = "";
  wide_path.path = "C:\\写真\\2019年の旅行\\フィヨルド.jpg";  // two columns a character
  struct Case {
    const TransferUpdate& update;
    std::size_t columns;
    std::string expected;
  };
  const Case cases[] = {
      {update, 200,
       "\r   37%  12.3 GB of 210.0 GB  85.2 MB/s  about 25 minutes left  " + update.path + std::string(61, ' ')},
      {update, 80, "\r   37%  12.3 GB of 210.0 GB  85.2 MB/s  about 25 minutes left  C:\\Us… fjord.mp4"},
      {update, 40, "\r   37%  12.3 GB of 210.0 GB  C:\\…rd.mp4"},
      {wide_path, 40, "\r   37%  12.3 GB of 210.0 GB  C:\\…ド.jpg"},
      {update, 12, "\r   37%  C:\\"},  // too narrow for anything but the start
  };
  for (const Case& c : cases) EXPECT_EQ(terminal_transfer_line(c.update, c.columns), c.expected) << c.columns;
}

// A path from the backup is one line of the window's input, whatever it
// holds: a line of its own could close the window ("100") or show any text.
TEST(ProgressLines, WindowLineKeepsBackupTextOnItsOwnLine) {
  const struct {
    const char* text;
    const char* shown;
  } cases[] = {
      {"C:\\a\n100\n# All done — unplug the drive", "C:\\\\a\uFFFD100\uFFFD# All done — unplug the drive"},
      {"a\rb\r\nc", "a\uFFFDb\uFFFD\uFFFDc"},
      {"tab\there\x1b[2Jbell\x07", "tab\uFFFDhere\uFFFD[2Jbell\uFFFD"},
      {"next\u2029para\u2028line\u0085", "next\uFFFDpara\uFFFDline\uFFFD"},
      {"bad \xff utf-8", "bad \uFFFD utf-8"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(window_progress_line(120, c.text), std::string("99\n# ") + c.shown + "\n") << c.text;
    EXPECT_EQ(window_step_line(c.text), std::string("# ") + c.shown + "\n") << c.text;
  }
  const std::string with_nul("a\0b", 3);
  EXPECT_EQ(window_step_line(with_nul), "# a\uFFFDb\n");
}

class DialogTest : public ::testing::Test {
 protected:
  ScratchDir scratch;
  FakeTools fakes{scratch.sub("fakes")};
  EnvOverride env{{"PATH", fakes.path_value()}};
};

TEST_F(DialogTest, RunZenityPassesTitleFirstAndReadsNothingFromStdin) {
  fakes.add("zenity", "if read -r line; then echo got-input; fi; printf 'chosen \\r\\n\\n'; echo noise >&2");
  const auto answer = run_zenity({"--file-selection"});
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(*answer, "chosen \r");
  EXPECT_EQ(fakes.calls("zenity"), (std::vector<Args>{{"--title=Korvo", "--file-selection"}}));
}

TEST_F(DialogTest, NonZeroExitMissingZenityOrEmptyPasswordIsNoAnswer) {
  const auto windows = make_zenity_dialogs();
  fakes.add("zenity", "echo");
  const auto empty = windows->ask_password();
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error().render(), "No password entered");
  fakes.add("zenity", "echo text; exit 1");
  EXPECT_FALSE(run_zenity({"--question"}).has_value());
  EXPECT_FALSE(windows->ask_yes_no("Closed it?"));
  fakes.remove("zenity");
  EXPECT_FALSE(windows->ask_yes_no("Closed it?"));
  const auto password = windows->ask_password();
  ASSERT_FALSE(password.ok());
  EXPECT_EQ(password.error().render(), "Cancelled");
  EXPECT_FALSE(windows->choose_folder().has_value());
}

TEST_F(DialogTest, ProgressWindowGetsItsLinesAndIsKilledOnClose) {
  // The fake copies its input to a file and would live forever on its own.
  fakes.add("zenity", "case \"$1\" in --version) echo 4.1.90; exit 0;; esac\n"
                      "echo $$ > '" + scratch.sub("window-pid") + "'; cat > '" + scratch.sub("window-input") +
                          "'; exec sleep 600");
  const auto progress = make_zenity_dialogs()->start_progress("Restoring <your> files…", false);
  // Capped at 99, marked-up for this zenity, and backslashes doubled, which
  // zenity would otherwise compress in "# " lines.
  progress->percent(100, "C:\\a&b <x>");
  progress->step("step");
  const std::string expected = "99\n# C:\\\\a&amp;b &lt;x&gt;\n# step\n";
  const std::string input_copy = scratch.sub("window-input");
  // The window is killed on close: only once it has copied everything is
  // its record (made before the copy) certain.
  EXPECT_TRUE(testing::wait_until(
      [&] { return path_exists_nofollow(input_copy) && testing::read_test_file(input_copy) == expected; }));
  const pid_t window = std::stoi(testing::read_test_file(scratch.sub("window-pid")));
  progress->close();
  EXPECT_EQ(::kill(window, 0), -1);  // killed and reaped, not left as a zombie
  EXPECT_EQ(testing::read_test_file(input_copy), expected);
  // The version is asked beside the running window, in either order.
  auto calls = fakes.calls("zenity");
  std::sort(calls.begin(), calls.end());
  EXPECT_EQ(calls, (std::vector<Args>{{"--title=Korvo", "--progress", "--width=460", "--no-cancel", "--auto-close",
                                       "--text=Restoring &lt;your&gt; files…"},
                                      {"--version"}}));
}

TEST_F(DialogTest, UpdatesToADeadWindowAreIgnored) {
  // As in the program itself, which ignores SIGPIPE from the start.
  struct sigaction ignore{}, old_action;
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old_action);
  fakes.add("zenity", "exit 0");
  const auto progress = make_zenity_dialogs()->start_progress("x", false);
  for (unsigned i = 0; i < 2000; ++i) progress->percent(i % 100, std::string(100, 'y'));
  progress->close();
  sigaction(SIGPIPE, &old_action, nullptr);
  SUCCEED();  // no SIGPIPE death, no hang
}

TEST_F(DialogTest, CommandExistsLooksUpTheExactNameAsAParameter) {
  fakes.add("has space'and\"quote");
  EXPECT_TRUE(command_exists("has space'and\"quote"));
  EXPECT_FALSE(command_exists("has"));
  EXPECT_FALSE(command_exists("zenity; echo"));
  EXPECT_FALSE(command_exists("$(touch " + scratch.sub("pwned") + ")"));
  EXPECT_FALSE(path_exists_nofollow(scratch.sub("pwned")));
}

}  // namespace
}  // namespace korvo
