#include "browser/firefox.hpp"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "common/files.hpp"
#include "support/env_override.hpp"
#include "support/std_redirect.hpp"
#include "support/sandbox.hpp"

namespace korvo {
namespace {

namespace fs = std::filesystem;
using testing::StdinFeed;
using testing::StdoutCapture;
using testing::FakeTools;
using testing::read_test_file;
using testing::ScratchDir;
using testing::write_test_file;
using Calls = std::vector<std::vector<std::string>>;

constexpr const char* kDone = "Firefox: your bookmarks, history and saved passwords are back.";
constexpr const char* kOpen = "Firefox data was not moved (Firefox was open).";
constexpr const char* kNotSetUp = "Firefox data was not moved (Firefox isn't set up yet).";
constexpr const char* kFirstStartQuestion =
    "Firefox needs to open once so Korvo can move your bookmarks, history and passwords into it. "
    "Korvo will open it now — close Firefox to continue.";
constexpr const char* kCloseQuestion = "Please close Firefox so Korvo can add your data. Closed it?";

unsigned mode_of(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return 0;
  return info.st_mode & 07777;
}

std::map<std::string, std::string> folder_snapshot(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::directory_iterator(folder))
    files[entry.path().filename()] = read_test_file(entry.path());
  return files;
}

std::string profiles_ini(const std::string& path) {
  return "[Profile0]\nName=default-release\nIsRelative=1\nPath=" + path +
         "\nDefault=1\n\n[General]\nStartWithLastProfile=1\nVersion=2\n";
}

class FindFirefoxProfileTest : public ::testing::Test {
 protected:
  ScratchDir scratch;
  std::vector<std::string> roots = firefox_roots(scratch.path());

  std::string root(int index) { return roots[static_cast<std::size_t>(index)]; }
  void profile_folder(int index, const std::string& path) { fs::create_directories(root(index) + "/" + path); }
};

TEST_F(FindFirefoxProfileTest, RootsAreSnapClassicThenXdg) {
  EXPECT_EQ(roots, (std::vector<std::string>{scratch.sub("snap/firefox/common/.mozilla/firefox"),
                                             scratch.sub(".mozilla/firefox"), scratch.sub(".config/mozilla/firefox")}));
}

TEST_F(FindFirefoxProfileTest, SnapInstallAsFirefoxWritesIt) {
  const std::string install = "[Install4F96D1932A9F858E]\nDefault=Profiles/abc.default-release\nLocked=1\n";
  write_test_file(root(0) + "/installs.ini", install);
  write_test_file(root(0) + "/profiles.ini", install + "\n" + profiles_ini("Profiles/old.default"));
  profile_folder(0, "Profiles/abc.default-release");
  profile_folder(0, "Profiles/old.default");
  profile_folder(1, "Profiles/classic");
  write_test_file(root(1) + "/profiles.ini", profiles_ini("Profiles/classic"));
  EXPECT_EQ(find_firefox_profile(roots), root(0) + "/Profiles/abc.default-release");
}

TEST_F(FindFirefoxProfileTest, MissingFolderInSnapRootHidesTheClassicRoot) {
  write_test_file(root(0) + "/profiles.ini", profiles_ini("Profiles/gone"));
  write_test_file(root(1) + "/profiles.ini", profiles_ini("Profiles/classic"));
  profile_folder(1, "Profiles/classic");
  EXPECT_EQ(find_firefox_profile(roots), std::nullopt);
}

TEST_F(FindFirefoxProfileTest, RootsWithoutUsableProfilesIniAreSkipped) {
  write_test_file(root(0) + "/installs.ini", "[InstallX]\nDefault=Profiles/snap\n");  // no profiles.ini
  profile_folder(0, "Profiles/snap");
  write_test_file(root(1) + "/profiles.ini", "[General]\nStartWithLastProfile=1\n");  // no profile entry
  write_test_file(root(2) + "/profiles.ini", profiles_ini("Profiles/xdg.default-release"));
  profile_folder(2, "Profiles/xdg.default-release");
  EXPECT_EQ(find_firefox_profile(roots), root(2) + "/Profiles/xdg.default-release");
}

TEST_F(FindFirefoxProfileTest, ProfilesIniThatIsNotUtf8IsUnreadable) {
  write_test_file(root(1) + "/profiles.ini", profiles_ini("Profiles/caf\xe9"));
  profile_folder(1, "Profiles/caf\xe9");
  write_test_file(root(2) + "/profiles.ini", profiles_ini("Profiles/xdg"));
  profile_folder(2, "Profiles/xdg");
  EXPECT_EQ(find_firefox_profile(roots), root(2) + "/Profiles/xdg");
}

TEST_F(FindFirefoxProfileTest, UnreadableInstallsIniCountsAsEmpty) {
  write_test_file(root(1) + "/installs.ini", "[InstallX]\nDefault=Profiles/caf\xe9\n");
  write_test_file(root(1) + "/profiles.ini", profiles_ini("Profiles/plain"));
  profile_folder(1, "Profiles/plain");
  EXPECT_EQ(find_firefox_profile(roots), root(1) + "/Profiles/plain");
}

TEST_F(FindFirefoxProfileTest, AbsolutePathIsUsedAsWritten) {
  const std::string elsewhere = scratch.sub("elsewhere/profile");
  fs::create_directories(elsewhere);
  write_test_file(root(1) + "/profiles.ini", "[Profile0]\nIsRelative=0\nPath=" + elsewhere + "\n");
  EXPECT_EQ(find_firefox_profile(roots), elsewhere);
}

// The whole migration, with fake pgrep, firefox and zenity on PATH.

class MigrateFirefoxTest : public ::testing::Test {
 protected:
  MigrateFirefoxTest() {
    // Says "running" for the first N calls about one name (N in pgrep-NAME.limit).
    tools.add("pgrep", "c='" + state + R"sh(/pgrep-'"$2"
n=$(( $(cat "$c.count" 2>/dev/null || echo 0) + 1 ))
echo $n > "$c.count"
echo 4242
[ "$n" -le "$(cat "$c.limit" 2>/dev/null || echo 0)" ])sh");
    answer_dialogs(true);
    fs::create_directories(state);
  }

  void answer_dialogs(bool yes) { tools.add("zenity", yes ? "exit 0" : "exit 1"); }
  void firefox_runs_for(const std::string& name, int checks) {
    write_test_file(state + "/pgrep-" + name + ".limit", std::to_string(checks));
  }
  // A fake browser that, when started, creates a classic profile.
  void install_browser(const std::string& name, bool creates_profile) {
    std::string body = "echo browser-output";
    if (creates_profile) {
      body += R"sh(
mkdir -p "$HOME/.mozilla/firefox/Profiles/new.default-release"
printf '[Profile0]\nName=default-release\nIsRelative=1\nPath=Profiles/new.default-release\nDefault=1\n' \
  > "$HOME/.mozilla/firefox/profiles.ini")sh";
    }
    tools.add(name, body);
  }

  void backup_file(const std::string& profile, const std::string& name, const std::string& content,
                   unsigned mode = 0644) {
    write_test_file(backup + "/" + profile + "/" + name, content, mode);
  }
  void backup_profile(const std::string& profile) {
    backup_file(profile, "places.sqlite", "places of " + profile, 0640);
    backup_file(profile, "logins.json", "logins of " + profile);
    backup_file(profile, "key4.db", "key of " + profile);
    backup_file(profile, "cookies.sqlite", "cookies of " + profile);
  }
  // A local classic profile holding earlier files.
  std::string local_profile(const std::string& root = ".mozilla/firefox") {
    const std::string folder = home + "/" + root + "/Profiles/local.default-release";
    write_test_file(home + "/" + root + "/profiles.ini", profiles_ini("Profiles/local.default-release"));
    write_test_file(folder + "/places.sqlite", "old places");
    write_test_file(folder + "/places.sqlite-wal", "old journal");
    write_test_file(folder + "/places.sqlite-shm", "old shared memory");
    write_test_file(folder + "/places.sqlite.before-korvo", "from an earlier run");
    write_test_file(folder + "/key4.db", "old key", 0600);
    return folder;
  }

  std::vector<std::string> migrate(bool windows = true) {
    const auto dialogs = windows ? make_zenity_dialogs() : make_terminal_dialogs();
    return migrate_firefox(backup, home, *dialogs);
  }
  Calls questions() const { return tools.calls("zenity"); }
  Calls pgrep_calls() const { return tools.calls("pgrep"); }
  static std::vector<std::string> dialog(const std::string& question) {
    return {"--title=Korvo", "--question", "--width=420", "--no-markup", "--text=" + question};
  }

  ScratchDir scratch;
  FakeTools tools{scratch.sub("tools")};
  std::string state = scratch.sub("state");
  std::string home = scratch.sub("home");
  std::string backup = scratch.sub("staging/BrowserData/Firefox");
  testing::EnvOverride env{{"PATH", tools.path_value()}, {"HOME", home}};
};

TEST_F(MigrateFirefoxTest, ReplacesTheThreeFilesAndSetsEarlierOnesAside) {
  backup_profile("old.default");
  const std::string local = local_profile();

  EXPECT_EQ(migrate(), std::vector<std::string>{kDone});

  EXPECT_EQ(read_test_file(local + "/places.sqlite"), "places of old.default");
  EXPECT_EQ(read_test_file(local + "/logins.json"), "logins of old.default");
  EXPECT_EQ(read_test_file(local + "/key4.db"), "key of old.default");
  EXPECT_EQ(read_test_file(local + "/places.sqlite.before-korvo"), "old places");
  EXPECT_EQ(read_test_file(local + "/key4.db.before-korvo"), "old key");
  EXPECT_FALSE(fs::exists(local + "/places.sqlite-wal"));
  EXPECT_FALSE(fs::exists(local + "/places.sqlite-shm"));
  EXPECT_FALSE(fs::exists(local + "/logins.json.before-korvo"));
  EXPECT_FALSE(fs::exists(local + "/cookies.sqlite"));
  // History keeps the backup's bits; saved passwords are the owner's alone.
  EXPECT_EQ(mode_of(local + "/places.sqlite"), 0640u);
  EXPECT_EQ(mode_of(local + "/logins.json"), 0600u);
  EXPECT_EQ(mode_of(local + "/key4.db"), 0600u);
  EXPECT_TRUE(questions().empty());
  EXPECT_EQ(pgrep_calls(), (Calls{{"-x", "firefox"}, {"-x", "firefox-esr"}}));
}

TEST_F(MigrateFirefoxTest, SecretFilesLoseWiderBitsOfAnExistingTarget) {
  backup_profile("p");
  const std::string local = local_profile();
  // A leftover that cannot be set aside is overwritten in place.
  fs::create_directories(local + "/logins.json.before-korvo/full");
  write_test_file(local + "/logins.json", "old logins", 0666);
  EXPECT_EQ(migrate(), std::vector<std::string>{kDone});
  EXPECT_EQ(read_test_file(local + "/logins.json"), "logins of p");
  EXPECT_EQ(mode_of(local + "/logins.json"), 0600u);
}

TEST_F(MigrateFirefoxTest, TakesTheProfileWithTheLargestHistory) {
  backup_file("small", "places.sqlite", std::string(2000, 's'));
  backup_file("large", "places.sqlite", std::string(10000, 'l'));
  backup_file("none", "logins.json", "no history here");
  const std::string local = local_profile();
  EXPECT_EQ(migrate(), std::vector<std::string>{kDone});
  EXPECT_EQ(read_test_file(local + "/places.sqlite"), std::string(10000, 'l'));
}

TEST_F(MigrateFirefoxTest, LaterListedProfileWinsATie) {
  for (const char* name : {"a", "b", "c"}) backup_file(name, "places.sqlite", std::string("same") + name);
  const auto listed = list_directory(backup);
  ASSERT_TRUE(listed.ok());
  const std::string local = local_profile();
  EXPECT_EQ(migrate(), std::vector<std::string>{kDone});
  EXPECT_EQ(read_test_file(local + "/places.sqlite"), "same" + listed->back());
}

TEST_F(MigrateFirefoxTest, NoUsableBackupProfileIsSilent) {
  const std::string local = local_profile();
  const auto before = folder_snapshot(local);
  EXPECT_TRUE(migrate().empty());  // no BrowserData/Firefox at all
  backup_file("p", "logins.json", "logins without history");
  EXPECT_TRUE(migrate().empty());
  EXPECT_EQ(folder_snapshot(local), before);
  EXPECT_TRUE(pgrep_calls().empty());
  EXPECT_TRUE(questions().empty());
}

TEST_F(MigrateFirefoxTest, ProfileWithoutKeyDatabaseStillSucceeds) {
  backup_file("p", "places.sqlite", "places");
  backup_file("p", "logins.json", "logins");
  const std::string local = local_profile();
  EXPECT_EQ(migrate(), std::vector<std::string>{kDone});
  EXPECT_EQ(read_test_file(local + "/key4.db"), "old key");
  EXPECT_FALSE(fs::exists(local + "/key4.db.before-korvo"));
}

TEST_F(MigrateFirefoxTest, FailedCopyNamesTheFileAndStopsThere) {
  backup_profile("p");
  const std::string local = local_profile();
  // A folder in the way that cannot be set aside makes the copy fail.
  fs::create_directories(local + "/logins.json");
  write_test_file(local + "/logins.json.before-korvo", "a file");
  EXPECT_EQ(migrate(), std::vector<std::string>{"Firefox: could not copy logins.json."});
  EXPECT_EQ(read_test_file(local + "/places.sqlite"), "places of p");
  EXPECT_EQ(read_test_file(local + "/key4.db"), "old key");
  EXPECT_FALSE(fs::exists(local + "/key4.db.before-korvo"));
}

struct RunningCase {
  const char* name;
  int firefox_checks;  // pgrep -x firefox says running this often
  int esr_checks;      // pgrep -x firefox-esr likewise
  Calls pgrep;
  std::size_t questions;
};
// Keeps test listings readable: a case prints as its name.
void PrintTo(const RunningCase& c, std::ostream* out) { *out << c.name; }

class FirefoxRunningTest : public MigrateFirefoxTest, public ::testing::WithParamInterface<RunningCase> {};

TEST_P(FirefoxRunningTest, AsksUntilEveryFirefoxIsClosed) {
  const RunningCase& c = GetParam();
  backup_profile("p");
  const std::string local = local_profile();
  firefox_runs_for("firefox", c.firefox_checks);
  firefox_runs_for("firefox-esr", c.esr_checks);
  EXPECT_EQ(migrate(), std::vector<std::string>{kDone});
  EXPECT_EQ(pgrep_calls(), c.pgrep);
  EXPECT_EQ(questions(), Calls(c.questions, dialog(kCloseQuestion)));
  EXPECT_EQ(read_test_file(local + "/places.sqlite"), "places of p");
}

const std::vector<std::string> kFirefox = {"-x", "firefox"};
const std::vector<std::string> kEsr = {"-x", "firefox-esr"};

INSTANTIATE_TEST_SUITE_P(
    Cases, FirefoxRunningTest,
    ::testing::Values(RunningCase{"Firefox", 2, 0, {kFirefox, kFirefox, kFirefox, kEsr}, 2},
                      RunningCase{"FirefoxEsr", 0, 1, {kFirefox, kEsr, kFirefox, kEsr}, 1},
                      RunningCase{"BothOneAfterTheOther", 1, 1, {kFirefox, kFirefox, kEsr, kFirefox, kEsr}, 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MigrateFirefoxTest, AnsweringNoWhileFirefoxIsOpenTouchesNothing) {
  backup_profile("p");
  const std::string local = local_profile();
  const auto before = folder_snapshot(local);
  firefox_runs_for("firefox-esr", 100);
  answer_dialogs(false);
  EXPECT_EQ(migrate(), std::vector<std::string>{kOpen});
  EXPECT_EQ(folder_snapshot(local), before);
  EXPECT_EQ(questions(), Calls{dialog(kCloseQuestion)});
}

TEST_F(MigrateFirefoxTest, MissingPgrepCountsAsNotRunning) {
  tools.remove("pgrep");
  backup_profile("p");
  local_profile();
  EXPECT_EQ(migrate(), std::vector<std::string>{kDone});
  EXPECT_TRUE(questions().empty());
}

TEST_F(MigrateFirefoxTest, FindsTheProfileInTheXdgRoot) {
  backup_profile("p");
  const std::string local = local_profile(".config/mozilla/firefox");
  EXPECT_EQ(migrate(), std::vector<std::string>{kDone});
  EXPECT_EQ(read_test_file(local + "/logins.json"), "logins of p");
}

TEST_F(MigrateFirefoxTest, RelativeHomeIsTakenFromTheCurrentFolder) {
  backup_profile("p");
  const std::string local = local_profile();
  const fs::path before = fs::current_path();
  fs::current_path(home);
  const auto dialogs = make_zenity_dialogs();
  const std::vector<std::string> lines = migrate_firefox(backup, ".", *dialogs);
  fs::current_path(before);
  EXPECT_EQ(lines, std::vector<std::string>{kDone});
  EXPECT_EQ(read_test_file(local + "/places.sqlite"), "places of p");
}

struct FirstStartCase {
  const char* name;
  std::vector<std::string> installed;  // browser programs on PATH
  bool creates_profile;
  bool answer;
  const char* started;  // the program started, "" for none
  const char* line;
};
// Keeps test listings readable: a case prints as its name.
void PrintTo(const FirstStartCase& c, std::ostream* out) { *out << c.name; }

class FirstStartTest : public MigrateFirefoxTest, public ::testing::WithParamInterface<FirstStartCase> {};

TEST_P(FirstStartTest, OffersToStartFirefoxOnce) {
  const FirstStartCase& c = GetParam();
  backup_profile("p");
  for (const std::string& program : c.installed) install_browser(program, c.creates_profile);
  answer_dialogs(c.answer);

  EXPECT_EQ(migrate(), std::vector<std::string>{c.line});

  const Calls asked = c.installed.empty() ? Calls{} : Calls{dialog(kFirstStartQuestion)};
  EXPECT_EQ(questions(), asked);
  for (const std::string& program : c.installed) {
    const Calls expected = program == c.started ? Calls{{}} : Calls{};
    EXPECT_EQ(tools.calls(program), expected) << program;
  }
  if (std::string(c.line) == kDone) {
    EXPECT_EQ(read_test_file(home + "/.mozilla/firefox/Profiles/new.default-release/places.sqlite"), "places of p");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FirstStartTest,
    ::testing::Values(FirstStartCase{"NotInstalled", {}, true, true, "", kNotSetUp},
                      FirstStartCase{"Declined", {"firefox"}, true, false, "", kNotSetUp},
                      FirstStartCase{"StartedAndSetUp", {"firefox"}, true, true, "firefox", kDone},
                      FirstStartCase{"StartedWithoutProfile", {"firefox"}, false, true, "firefox", kNotSetUp},
                      FirstStartCase{"OnlyEsrInstalled", {"firefox-esr"}, true, true, "firefox-esr", kDone},
                      FirstStartCase{
                          "PlainFirefoxPreferred", {"firefox", "firefox-esr"}, true, true, "firefox", kDone}),
    [](const auto& info) { return std::string(info.param.name); });

// Terminal form: the answers come from standard input; the no answers are the
// dialog cases above, routed the same way.
TEST_F(MigrateFirefoxTest, TerminalFirstStartAndCloseQuestions) {
  backup_profile("p");
  install_browser("firefox", true);
  firefox_runs_for("firefox", 1);
  StdoutCapture out(scratch.sub("out.txt"));
  std::vector<std::string> lines;
  {
    StdinFeed answers("\ny\n");  // an empty line is yes
    lines = migrate(false);
  }
  const std::string printed = out.text();
  EXPECT_EQ(lines, std::vector<std::string>{kDone});
  EXPECT_NE(printed.find(std::string(kFirstStartQuestion) + " [Y/n] "), std::string::npos) << printed;
  EXPECT_NE(printed.find(std::string(kCloseQuestion) + " [Y/n] "), std::string::npos) << printed;
  EXPECT_NE(printed.find("browser-output"), std::string::npos) << "firefox shares our output";
  EXPECT_EQ(printed.find("4242"), std::string::npos) << "pgrep output must be discarded";
  EXPECT_TRUE(questions().empty());
  EXPECT_EQ(tools.calls("firefox"), Calls{{}});
}

}  // namespace
}  // namespace korvo
