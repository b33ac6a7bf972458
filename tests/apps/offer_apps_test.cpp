#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "apps/install_list.hpp"
#include "common/files.hpp"
#include "common/text.hpp"
#include "support/env_override.hpp"
#include "support/std_redirect.hpp"
#include "support/sandbox.hpp"

namespace korvo {
namespace {

using testing::FakeTools;
using testing::ScratchDir;
using Argv = std::vector<std::string>;
using Lines = std::vector<std::string>;

constexpr std::string_view kNoneInstalled =
    "Apps: none installed — linux-apps.md in the Restored folder lists them all.";

std::string not_installed(std::string_view names) {
  return "Apps not installed: " + std::string(names) + " — try Ubuntu's App Center, or see linux-apps.md.";
}

constexpr std::string_view kDemoList = R"([
  {"app": "Media Player", "linux_name": "VLC", "manager": "apt", "packages": ["vlc"]},
  {"app": "Paint Pro", "linux_name": "Krita", "manager": "snap", "packages": ["Krita"]},
  {"app": "Photoshop", "linux_name": "GIMP", "manager": "snap", "packages": ["gimp"], "alternative": true},
  {"app": "Visual Studio Code", "linux_name": "Code", "manager": "snap", "packages": ["code"], "classic": true},
  {"app": "Tom & Jerry", "linux_name": "<Cartoons>", "manager": "apt", "packages": ["cartoons"], "classic": true}
])";

class OfferApps : public ::testing::Test {
 protected:
  OfferApps() : fakes_(scratch_.sub("fakes")), environment_{{"PATH", fakes_.path_value()},
                                                                  {"HOME", scratch_.path()},
                                                                  {"TMPDIR", scratch_.path()},
                                                                  {"KORVO_TEST_PACKAGE_TOOLS", fakes_.dir() + "/bin"}} {
    fakes_.add("pkexec", "exec \"$@\"");
    fakes_.add("apt-get", "for a in \"$@\"; do [ \"$a\" = missing ] && exit 100; done; exit 0");
    fakes_.add("snap");
    fakes_.add("apt-cache", "echo \"$2\"");  // every name is a package
    set_checklist_output("0\n");
  }

  void write_list(std::string_view json) { testing::write_test_file(staging() + "/linux-install.json", json); }
  std::string staging() const { return scratch_.sub("staging"); }

  // The checklist prints `output`; a progress window swallows its input.
  void set_checklist_output(const std::string& output, int status = 0) {
    fakes_.add("zenity", "case \"$*\" in *--checklist*) printf '" + output + "'; exit " + std::to_string(status) +
                             ";; *--progress*) exec cat > /dev/null;; esac");
  }

  Argv installer_call(Argv requests) const {
    Argv argv = {*own_executable_path(), "--install-apps"};
    argv.insert(argv.end(), requests.begin(), requests.end());
    return argv;
  }

  // Runs the terminal form with `answer` on standard input; returns its output.
  std::string offer_in_terminal(std::string_view answer, Lines& result) {
    testing::StdoutCapture out(scratch_.sub("stdout"));
    {
      testing::StdinFeed in{std::string(answer)};
      result = offer_apps(staging(), *terminal_);
    }
    return out.text();
  }

  ScratchDir scratch_;
  FakeTools fakes_;
  const std::unique_ptr<Dialogs> windows_ = make_zenity_dialogs();
  const std::unique_ptr<Dialogs> terminal_ = make_terminal_dialogs();
  testing::EnvOverride environment_;
};

TEST_F(OfferApps, NoUsableListGivesNoLine) {
  EXPECT_EQ(offer_apps(staging(), *windows_), Lines{});  // no file at all
  for (const char* list : {"[]", R"([{"app": "A", "linux_name": "B", "manager": "dnf", "packages": ["b"]}])",
                           R"([{"app": "A", "linux_name": "B", "manager": "apt", "packages": ["b", "Bad"]}])"}) {
    write_list(list);
    EXPECT_EQ(offer_apps(staging(), *windows_), Lines{}) << list;
  }
  EXPECT_TRUE(fakes_.calls("zenity").empty());
}

TEST_F(OfferApps, ChecklistAndChosenOrder) {
  write_list(kDemoList);
  set_checklist_output("2\n0\n");
  EXPECT_EQ(offer_apps(staging(), *windows_), (Lines{"Apps installed: Code, VLC."}));

  const std::string text = "--text=Korvo can install these apps for you. Untick anything you don't want.";
  const Argv expected = {"--title=Korvo", "--list", "--checklist", "--width=560", "--height=440", "--column=Install",
                         "--column=#", "--column=App", "--hide-column=2", "--print-column=2", "--separator=\n", text,
                         // Rows: tick, hidden index, label.
                         "TRUE", "0", "VLC (you had Media Player) — apt: vlc", "FALSE", "1",
                         "GIMP — instead of Photoshop (a different app) — snap: gimp", "TRUE", "2",
                         "Code (you had Visual Studio Code) — snap --classic: code", "TRUE", "3",
                         "<Cartoons> (you had Tom & Jerry) — apt: cartoons"};
  EXPECT_TRUE(testing::calls_in_order(
      fakes_.calls("zenity"),
      {{expected},
       testing::killed_window({"--title=Korvo", "--progress", "--width=460", "--no-cancel", "--auto-close",
                               "--text=Installing apps — enter your Ubuntu password when asked…", "--pulsate"})}));
  // What the installer copy then runs is pinned in installer_test.
  EXPECT_EQ(fakes_.calls("pkexec"), std::vector<Argv>{installer_call({"snap-classic:code", "apt:vlc"})});
}

// A row's name is the backup's to choose: it never reaches zenity as an
// option, and what the row would install shows beside it, in windows and
// on the terminal alike.
TEST_F(OfferApps, RowNamesFromTheBackupStayRowsAndShowWhatTheyInstall) {
  write_list(R"([
    {"app": "Notepad", "linux_name": "--ok-label=Skip", "manager": "apt", "packages": ["gedit"]},
    {"app": "Notepad", "linux_name": "gedit", "manager": "apt", "packages": ["openssh-server"]},
    {"app": "-", "linux_name": "-", "manager": "snap", "packages": ["a", "b"], "alternative": true},
    {"app": "Editor", "linux_name": "--text=<b>hi</b>", "manager": "apt", "packages": []}
  ])");
  set_checklist_output("", 1);
  EXPECT_EQ(offer_apps(staging(), *windows_), Lines{std::string(kNoneInstalled)});
  const auto calls = fakes_.calls("zenity");
  ASSERT_EQ(calls.size(), 1u);
  const Argv options = {"--title=Korvo", "--list", "--checklist", "--width=560", "--height=440", "--column=Install",
                        "--column=#", "--column=App", "--hide-column=2", "--print-column=2", "--separator=\n",
                        "--text=Korvo can install these apps for you. Untick anything you don't want."};
  Argv expected = options;
  for (const char* value : {"TRUE", "0", "\u2060--ok-label=Skip (you had Notepad) — apt: gedit",
                            "TRUE", "1", "gedit (you had Notepad) — apt: openssh-server",
                            "FALSE", "2", "\u2060- — instead of - (a different app) — snap: a, b",
                            "TRUE", "3", "\u2060--text=<b>hi</b> (you had Editor)"}) {
    expected.emplace_back(value);
  }
  EXPECT_EQ(calls[0], expected);

  Lines result;
  EXPECT_EQ(offer_in_terminal("n\n", result),
            "\nKorvo can install these apps for you. Untick anything you don't want.\n"
            "  [x] --ok-label=Skip (you had Notepad) — apt: gedit\n"
            "  [x] gedit (you had Notepad) — apt: openssh-server\n"
            "  [ ] - — instead of - (a different app) — snap: a, b\n"
            "  [x] --text=<b>hi</b> (you had Editor)\n"
            "Install the ticked apps? (the others are listed in linux-apps.md) [Y/n] ");
}

TEST_F(OfferApps, ItemsWithAFailedPackageOrNoPackages) {
  write_list(R"([
    {"app": "Office", "linux_name": "LibreOffice", "manager": "apt", "packages": ["libreoffice", "missing"]},
    {"app": "Notepad", "linux_name": "Text Editor", "manager": "apt", "packages": []},
    {"app": "Slack", "linux_name": "Slack", "manager": "snap", "packages": ["slack"]},
    {"app": "Word", "linux_name": "Writer", "manager": "apt", "packages": ["libreoffice"]}
  ])");
  set_checklist_output("0\n1\n2\n3\n");
  EXPECT_EQ(offer_apps(staging(), *windows_),
            (Lines{"Apps installed: Text Editor, Slack, Writer.", not_installed("LibreOffice")}));
  EXPECT_EQ(fakes_.calls("pkexec"),
            std::vector<Argv>{installer_call({"apt:libreoffice", "apt:missing", "snap:slack", "apt:libreoffice"})});
}

TEST_F(OfferApps, NothingChosen) {
  write_list(kDemoList);
  for (const auto& [output, status] : std::vector<std::pair<std::string, int>>{{"", 0}, {"", 1}, {"0\n", 5}}) {
    set_checklist_output(output, status);
    EXPECT_EQ(offer_apps(staging(), *windows_), Lines{std::string(kNoneInstalled)}) << output << status;
  }
  fakes_.remove("zenity");
  EXPECT_EQ(offer_apps(staging(), *windows_), Lines{std::string(kNoneInstalled)});
  EXPECT_TRUE(fakes_.calls("pkexec").empty());
}

TEST_F(OfferApps, DismissedAuthentication) {
  write_list(kDemoList);
  set_checklist_output("0\n3\n2\n");
  fakes_.add("pkexec", "exit 126");
  EXPECT_EQ(offer_apps(staging(), *windows_), Lines{not_installed("VLC, <Cartoons>, Code")});
  EXPECT_TRUE(fakes_.calls("apt-get").empty());
}

TEST_F(OfferApps, SudoWhenPkexecIsMissingAndNeitherAtAll) {
  write_list(kDemoList);
  fakes_.remove("pkexec");
  EXPECT_EQ(offer_apps(staging(), *windows_), Lines{"Apps: could not ask for administrator rights."});
  fakes_.add("sudo", "exec \"$@\"");
  EXPECT_EQ(offer_apps(staging(), *windows_), Lines{"Apps installed: VLC."});
  EXPECT_EQ(fakes_.calls("sudo"), std::vector<Argv>{installer_call({"apt:vlc"})});
}

TEST_F(OfferApps, TerminalYesInstallsTheTickedRows) {
  write_list(kDemoList);
  Lines result;
  const std::string shown = offer_in_terminal("y\n", result);
  EXPECT_EQ(result, Lines{"Apps installed: VLC, Code, <Cartoons>."});
  EXPECT_EQ(shown,
            "\nKorvo can install these apps for you. Untick anything you don't want.\n"
            "  [x] VLC (you had Media Player) — apt: vlc\n"
            "  [ ] GIMP — instead of Photoshop (a different app) — snap: gimp\n"
            "  [x] Code (you had Visual Studio Code) — snap --classic: code\n"
            "  [x] <Cartoons> (you had Tom & Jerry) — apt: cartoons\n"
            "Install the ticked apps? (the others are listed in linux-apps.md) [Y/n] "
            "Installing apps — enter your Ubuntu password when asked…\n"
            "  Updating the package list…\n"
            "  Installing vlc…\n"
            "  Installing code…\n"
            "  Installing cartoons…\n"
            "\n");
  EXPECT_EQ(fakes_.calls("pkexec"),
            std::vector<Argv>{installer_call({"apt:vlc", "snap-classic:code", "apt:cartoons"})});
  EXPECT_TRUE(fakes_.calls("zenity").empty());
}

TEST_F(OfferApps, TerminalNoOrOnlyAlternatives) {
  write_list(kDemoList);
  Lines result;
  const std::string shown = offer_in_terminal("  No thanks\n", result);
  EXPECT_EQ(result, Lines{std::string(kNoneInstalled)});
  EXPECT_TRUE(ends_with(shown, "Install the ticked apps? (the others are listed in linux-apps.md) [Y/n] ")) << shown;

  write_list(R"([{"app": "Photoshop", "linux_name": "GIMP", "manager": "snap", "packages": ["gimp"],
                  "alternative": true}])");
  (void)offer_in_terminal("yes\n", result);
  EXPECT_EQ(result, Lines{std::string(kNoneInstalled)});
  EXPECT_TRUE(fakes_.calls("pkexec").empty());
}

// An installer that goes on writing after a line the reader gives up on
// must not leave the offer waiting for it forever.
TEST_F(OfferApps, InstallerOutputThatStopsTheReading) {
  write_list(R"([
    {"app": "A", "linux_name": "Early", "manager": "apt", "packages": ["early"]},
    {"app": "B", "linux_name": "Late", "manager": "apt", "packages": ["late"]}
  ])");
  set_checklist_output("0\n1\n");
  fakes_.add("pkexec",
             "printf 'ok early\\n\\377\\n'\n"
             "i=0; while [ $i -lt 4000 ]; do echo 'ok late ..............................................'; "
             "i=$((i+1)); done");
  const std::string result_file = scratch_.sub("result");
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::alarm(300);  // a hang ends the check with SIGALRM instead of blocking the suite
    const Lines lines = offer_apps(staging(), *windows_);
    const std::string text = join(lines, "\n");
    _exit(write_file(result_file, text).ok() ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
  ASSERT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(testing::read_test_file(result_file), "Apps installed: Early.\n" + not_installed("Late"));
}

}  // namespace
}  // namespace korvo
