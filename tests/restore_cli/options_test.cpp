#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "restore_cli/options.hpp"

namespace korvo {
namespace {

using Args = std::vector<std::string>;

struct RefusalCase {
  Args args;
  const char* refusal;  // "" when the options are accepted
};

class OptionRefusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(OptionRefusals, FirstProblemRefusesTheRun) {
  const RunOptions options = parse_run_options(GetParam().args);
  const std::string refusal = options.refusal ? options.refusal->render() : "";
  EXPECT_EQ(refusal, GetParam().refusal);
  if (options.refusal) {
    EXPECT_EQ(options.refusal->kind(), ErrorKind::kRefused);
  }
}

constexpr const char* kOneSource =
    "An unattended run takes the password from exactly one of --password-stdin and --password-file FILE";

INSTANTIATE_TEST_SUITE_P(
    Table, OptionRefusals,
    ::testing::Values(
        RefusalCase{{"--unattended", "/media/k"}, kOneSource},
        RefusalCase{{"--unattended", "--password-stdin", "--password-file", "/p"}, kOneSource},
        RefusalCase{{"--unattended", "--password-stdin", "--no-gui"},
                    "--no-gui is for a person at the screen: an unattended run shows no window and asks nothing"},
        RefusalCase{{"--gui", "--unattended", "--password-stdin"},
                    "--gui is for a person at the screen: an unattended run shows no window and asks nothing"},
        RefusalCase{{"--password-stdin", "/media/k"}, "--password-stdin needs --unattended"},
        RefusalCase{{"--apps", "all"}, "--apps needs --unattended"},
        RefusalCase{{"--unattended", "--password-stdin", "--firefox", "maybe"},
                    "--firefox takes keep|replace, not “maybe”"},
        RefusalCase{{"--unattended", "--password-stdin", "--apps=GIMP,,Kate"},
                    "--apps takes none|all|NAME,…, not “GIMP,,Kate”"},
        RefusalCase{{"--unattended", "--password-stdin", "--apps"}, "--apps needs a value"},
        RefusalCase{{"--unattended", "--password-file"}, "--password-file needs a value"},
        RefusalCase{{"--unattended", "--password-file=/p", "--report-json", "/r.json", "--firefox=replace"}, ""},
        RefusalCase{{"--report-json", "/r.json", "--no-gui"}, ""}));

TEST(RunOptions, ValuesAreTakenOutOfTheArgumentsLeftForDiscovery) {
  const RunOptions options = parse_run_options({"--unattended", "--password-file", "/secret", "--apps", "GIMP,GNU Hello",
                                                "--report-json=/r.json", "--firefox", "replace", "--later", "/media/k"});
  EXPECT_FALSE(options.refusal);
  EXPECT_EQ(options.password_file, "/secret");
  EXPECT_EQ(options.answers.apps, AppAnswer::kNamed);
  EXPECT_EQ(options.answers.app_names, (Args{"GIMP", "GNU Hello"}));
  EXPECT_TRUE(options.answers.replace_firefox);
  EXPECT_EQ(options.report_json, "/r.json");
  EXPECT_EQ(options.rest, (Args{"--later", "/media/k"}));
}

}  // namespace
}  // namespace korvo
