#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "restore_cli/end_to_end.hpp"

// Unattended runs of the built program: no window, no prompt, answers from
// the command line, and the JSON report of each run. Every report a test
// reads is also copied to $KORVO_REPORT_SAMPLES, when set, for the check
// against the schema.
namespace korvo {
namespace {

using testing::BackupSpec;
using testing::ProgramRun;
using Args = std::vector<std::string>;
using Json = nlohmann::json;

constexpr const char* kInstallList = R"([
  {"app": "Hello", "linux_name": "GNU Hello", "manager": "apt", "packages": ["hello"]},
  {"app": "Photoshop", "linux_name": "GIMP", "manager": "apt", "packages": ["gimp"]}
])";


class Unattended : public EndToEnd {
 protected:
  // With a damaged file: one the manifest lists under another digest.
  void write_backup(bool with_damaged_file = false) {
    BackupSpec plan;
    plan.entries = notes_with_manifest(with_damaged_file);
    plan.entries.insert(plan.entries.end(), {
        {"linux-install.json", kInstallList},
        {"BrowserData/Firefox/abcd.default/places.sqlite", "places"},
        {"WiFi/Cafe.xml", wifi_profile("Cafe", "latte4all")},
        {"Settings/settings.json", R"({"dark_mode": true})"}});
    testing::write_backup(drive(), plan);
    testing::write_test_file(home() + "/.mozilla/firefox/profiles.ini",
                             "[Profile0]\nName=default\nIsRelative=1\nPath=local.default\nDefault=1\n");
    testing::write_test_file(home() + "/.mozilla/firefox/local.default/places.sqlite", "mine");
    // Every tool a person would meet; none of them may be reached.
    for (const char* tool : {"zenity", "pkexec", "sudo", "firefox", "xdg-open"}) fakes.add(tool);
    fakes.add("pgrep", "exit 1");
    fakes.add("nmcli");
    fakes.add("gsettings");
  }

  std::string password_file(unsigned mode = 0600) const {
    const std::string path = scratch.sub("secret/password");
    testing::write_test_file(path, std::string(testing::kTestPassword) + "\n", mode);
    return path;
  }

  std::string report_path() const { return scratch.sub("reports/desk.json"); }

  Json read_report() const {
    const std::string text = testing::read_test_file(report_path());
    if (const char* samples = std::getenv("KORVO_REPORT_SAMPLES")) {
      const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
      std::string name = std::string(test->test_suite_name()) + "." + test->name() + ".json";
      for (char& c : name) c = c == '/' ? '_' : c;
      testing::write_test_file(std::string(samples) + "/" + name, text);
    }
    return Json::parse(text);
  }

  void expect_no_person_was_asked() const {
    for (const char* tool : {"zenity", "pkexec", "sudo", "firefox", "xdg-open"}) {
      EXPECT_TRUE(fakes.calls(tool).empty()) << tool;
    }
  }

  ProgramRun run_unattended(const Args& args, std::string_view stdin_text = {}, bool stdin_closed = false) {
    EXPECT_TRUE(create_directories(scratch.sub("reports")).ok());
    Args argv = {testing::restore_binary(), "--unattended", "--report-json", report_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing::run_program(argv, environment(), stdin_text, stdin_closed);
  }
};

struct RefusalCase {
  const char* name;
  Args args;  // "{password}" stands for a private password file, "{open}" for one others may read
  const char* message;
};

class UnattendedRefusals : public Unattended, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(UnattendedRefusals, EndWithStatusTwoBeforeAnythingIsWritten) {
  write_backup();
  Args args;
  for (const std::string& arg : GetParam().args) {
    args.push_back(arg == "{password}" ? password_file() : arg == "{open}" ? password_file(0644) : arg);
  }
  args.push_back(drive());
  const ProgramRun result = run_unattended(args, testing::kTestPassword);
  EXPECT_EQ(result.status.code, 2);
  EXPECT_EQ(result.err.rfind("Restore refused: ", 0), 0u) << result.err;
  EXPECT_NE(result.err.find(GetParam().message), std::string::npos) << result.err;
  EXPECT_FALSE(path_exists_nofollow(restored()));
  EXPECT_TRUE(staging_dirs().empty());
  expect_no_person_was_asked();
  const Json report = read_report();
  EXPECT_EQ(report["outcome"], "refused");
  EXPECT_EQ(report["files"], nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Table, UnattendedRefusals,
    ::testing::Values(
        RefusalCase{"NoPasswordSource", {},
                    "An unattended run takes the password from exactly one of --password-stdin and --password-file "
                    "FILE"},
        RefusalCase{"PasswordFileOthersMayRead", {"--password-file", "{open}"},
                    "its group or others may use it (mode 0644): make it its owner's alone (chmod 600)"},
        RefusalCase{"PasswordFileMissing", {"--password-file", "/nonexistent/password"},
                    "The password file /nonexistent/password is refused: No such file or directory"},
        RefusalCase{"UnknownAppName", {"--password-file", "{password}", "--apps", "GIMP,Photoshop"},
                    "--apps asks for Photoshop, which the backup does not offer (it offers: GNU Hello, GIMP)"},
        RefusalCase{"TerminalOption", {"--password-stdin", "--no-gui"},
                    "--no-gui is for a person at the screen: an unattended run shows no window and asks nothing"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Unattended, ClosedStandardInputAndNoTerminalAskNothing) {
  write_backup();
  const ProgramRun result =
      run_unattended({"--password-file", password_file(), "--apps", "all", drive()}, {}, /*stdin_closed=*/true);
  EXPECT_EQ(result.status.code, 0) << result.err;
  expect_no_person_was_asked();
  EXPECT_EQ(testing::read_test_file(restored() + "/Documents/notes.txt"), "notes\n");
}

struct ReportCase {
  const char* name;
  bool damaged_file;
  const char* password;
  int status;
  const char* outcome;
};

class UnattendedReports : public Unattended, public ::testing::WithParamInterface<ReportCase> {};

TEST_P(UnattendedReports, SayWhatCameBack) {
  const ReportCase& c = GetParam();
  write_backup(c.damaged_file);
  const ProgramRun result =
      run_unattended({"--password-stdin", "--apps", "GNU Hello", "--firefox", "replace", drive()},
                     std::string(c.password) + "\n");
  EXPECT_EQ(result.status.code, c.status) << result.err;
  expect_no_person_was_asked();
  struct stat status {};
  ASSERT_EQ(::stat(report_path().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
  const Json report = read_report();
  EXPECT_EQ(report["schema"], "korvo-restore-report");
  EXPECT_EQ(report["outcome"], c.outcome);
  EXPECT_TRUE(report["staging_removed"]);
  EXPECT_TRUE(staging_dirs().empty());
  EXPECT_EQ(report.dump().find("latte4all"), std::string::npos);  // names, never a key
  if (c.status != 0) {
    EXPECT_EQ(report["error"], "The password did not open the backup (an unattended run tries it once)");
    EXPECT_EQ(report["files"], nullptr);
    EXPECT_EQ(report["report_lines"],
              Json::array({"Restore failed: The password did not open the backup (an unattended run tries it once)"}));
    return;
  }
  EXPECT_EQ(report["error"], nullptr);
  EXPECT_EQ(report["files"]["restored"], 1);
  EXPECT_EQ(report["files"]["written"], 1);
  EXPECT_EQ(report["files"]["not_restored"], c.damaged_file ? 1 : 0);
  if (c.damaged_file) {
    EXPECT_NE(report["files"]["failures"][0]["message"].get<std::string>().find("Checksum mismatch:"),
              std::string::npos);
  }
  const Json hello = {{"name", "GNU Hello"}, {"requests", {"apt:hello"}}};
  EXPECT_EQ(report["apps"]["offered"], Json::array({hello, {{"name", "GIMP"}, {"requests", {"apt:gimp"}}}}));
  EXPECT_EQ(report["apps"]["requested"], Json::array({hello}));
  EXPECT_EQ(report["apps"]["installed"], Json::array());
  EXPECT_EQ(report["wifi"]["added"], Json::array({"Cafe"}));
  EXPECT_EQ(report["firefox"], "moved");
  EXPECT_EQ(testing::read_test_file(home() + "/.mozilla/firefox/local.default/places.sqlite"), "places");
  EXPECT_EQ(report["look_and_feel"], Json({{"dark_mode", true}, {"wallpaper", false}}));
  EXPECT_EQ(report["report_lines"][0], "1 files are back in the Restored folder on your desktop.");
}

INSTANTIATE_TEST_SUITE_P(
    Table, UnattendedReports,
    ::testing::Values(ReportCase{"Full", false, testing::kTestPassword.data(), 0, "complete"},
                      ReportCase{"Partial", true, testing::kTestPassword.data(), 0, "partial"},
                      ReportCase{"WrongPasswordEndsAtOnce", false, "not the password", 3, "wrong_password"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Unattended, KeepLeavesFirefoxAlone) {
  write_backup();
  const ProgramRun result = run_unattended({"--password-file", password_file(), drive()});
  EXPECT_EQ(result.status.code, 0) << result.err;
  EXPECT_EQ(read_report()["firefox"], "kept");
  EXPECT_EQ(testing::read_test_file(home() + "/.mozilla/firefox/local.default/places.sqlite"), "mine");
}

}  // namespace
}  // namespace korvo
