#include "apps/installer.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "common/files.hpp"
#include "common/text.hpp"
#include "support/env_override.hpp"
#include "support/sandbox.hpp"

namespace korvo {
namespace {

using testing::FakeTools;
using testing::ScratchDir;
using Argv = std::vector<std::string>;

constexpr std::string_view kAptGetLock = "DPkg::Lock::Timeout=600";

// This test binary acts as the installer copy when its first argument is
// "--install-apps", so the mode is run as its own process.
class Installer : public ::testing::Test {
 protected:
  Installer() : fakes_(scratch_.sub("fakes")) {
    // Each fake notes DEBIAN_FRONTEND, prints noise that must not reach the
    // protocol, and fails for the package named "missing".
    const std::string body = "echo \"${DEBIAN_FRONTEND:-unset}\" >> '" + scratch_.sub("frontend") +
                             "'\n"
                             "echo noise; echo noise >&2\n"
                             "for a in \"$@\"; do [ \"$a\" = missing ] && exit 100; done\n"
                             "exit 0";
    fakes_.add("apt-get", body);
    fakes_.add("snap", body);
    // `pkgnames PREFIX` lists the known names that start with PREFIX.
    fakes_.add("apt-cache", "for n in vlc missing gedit g++ libstdc++6 python3.11 network-manager "
                            "network-manager-gnome libc6; do case \"$n\" in \"$2\"*) echo \"$n\";; esac; done");
  }

  testing::ProgramRun install(Argv requests, std::string_view stdin_text = {}) {
    Argv argv = {*own_executable_path(), "--install-apps"};
    argv.insert(argv.end(), requests.begin(), requests.end());
    return testing::run_program(argv,
                                {{"PATH", fakes_.path_value()},
                                 {"HOME", scratch_.path()},
                                 {"KORVO_TEST_PACKAGE_TOOLS", fakes_.dir() + "/bin"},
                                 {"KORVO_LEAK", "inherited"}},
                                stdin_text);
  }

  std::string frontends() const {
    return path_exists_nofollow(scratch_.sub("frontend")) ? testing::read_test_file(scratch_.sub("frontend")) : "";
  }

  ScratchDir scratch_;
  FakeTools fakes_;
};

TEST_F(Installer, InstallsInOrderAndReportsEachStep) {
  const auto run = install({"apt:vlc", "snap:gimp", "apt:missing", "snap-classic:code", "apt:vlc"});
  EXPECT_TRUE(run.status.exited);
  EXPECT_EQ(run.status.code, 0);
  EXPECT_EQ(run.out,
            "# Updating the package list…\n"
            "# Installing vlc…\nok vlc\n"
            "# Installing gimp…\nok gimp\n"
            "# Installing missing…\nfail missing\n"
            "# Installing code…\nok code\n"
            "# Installing vlc…\nok vlc\n");
  EXPECT_EQ(run.err, "");
  const std::string lock(kAptGetLock);
  EXPECT_EQ(fakes_.calls("apt-get"), (std::vector<Argv>{{"-o", lock, "update"},
                                                        {"-o", lock, "install", "-y", "--no-remove", "vlc"},
                                                        {"-o", lock, "install", "-y", "--no-remove", "missing"},
                                                        {"-o", lock, "install", "-y", "--no-remove", "vlc"}}));
  EXPECT_EQ(fakes_.calls("snap"), (std::vector<Argv>{{"install", "gimp"}, {"install", "code", "--classic"}}));
  std::string every_call;
  for (int i = 0; i < 6; ++i) every_call += "noninteractive\n";
  EXPECT_EQ(frontends(), every_call);
}

TEST_F(Installer, SnapsOnlyOrNothingSkipTheListRefresh) {
  for (const auto& [requests, out] : std::vector<std::pair<Argv, std::string>>{
           {{"snap:gimp", "snap-classic:code"}, "# Installing gimp…\nok gimp\n# Installing code…\nok code\n"},
           {{}, ""}}) {
    const auto run = install(requests);
    EXPECT_TRUE(run.status.exited);
    EXPECT_EQ(run.status.code, 0);
    EXPECT_EQ(run.out, out);
    EXPECT_EQ(run.err, "");
  }
  EXPECT_TRUE(fakes_.calls("apt-get").empty());
}

// Neither a failed refresh nor a failed install stops the list.
TEST_F(Installer, FailuresDoNotStopTheRun) {
  fakes_.remove("snap");
  fakes_.add("apt-get", "[ \"$3\" = update ] && exit 1; kill -9 $$");
  const auto run = install({"snap:gimp", "apt:vlc", "apt:vlc"});
  EXPECT_EQ(run.status.code, 0);
  EXPECT_EQ(run.out,
            "# Updating the package list…\n# Installing gimp…\nfail gimp\n"
            "# Installing vlc…\nfail vlc\n# Installing vlc…\nfail vlc\n");
  EXPECT_EQ(fakes_.calls("apt-get").size(), 3u);
}

TEST_F(Installer, ToolsReadTheInstallersInput) {
  fakes_.add("apt-get", "[ \"$3\" = update ] || cat > '" + scratch_.sub("stdin") + "'");
  (void)install({"apt:vlc"}, "yes\n");
  EXPECT_EQ(testing::read_test_file(scratch_.sub("stdin")), "yes\n");
}

TEST_F(Installer, OneBadRequestRefusesEverything) {
  for (const std::string& bad : std::vector<std::string>{"apt:Vlc", "Apt:vlc", "flatpak:vlc", "vlc"}) {
    const auto run = install({"apt:vlc", bad, "snap:gimp"});
    EXPECT_TRUE(run.status.exited) << bad;
    EXPECT_EQ(run.status.code, 2) << bad;
    EXPECT_EQ(run.out, "") << bad;
    EXPECT_EQ(run.err, "Refusing: not a package list Korvo produced.\n") << bad;
  }
  EXPECT_TRUE(fakes_.calls("apt-get").empty());
  EXPECT_TRUE(fakes_.calls("snap").empty());
}

// A request installs exactly the package of its name or nothing: apt would
// read an unknown name as a pattern and a trailing "-" as "remove", snap a
// name with a "." as a local file. Such a request fails without its command.
TEST_F(Installer, RequestsThatAreNotExactlyOnePackageFailUnrun) {
  const struct {
    const char* request;
    bool installs;
  } cases[] = {
      {"apt:network-manager-", false}, {"apt:lib.+", false},     {"apt:libc.", false},   {"apt:gedit+", false},
      {"apt:g++", true},               {"apt:libstdc++6", true}, {"apt:python3.11", true}, {"apt:gedit", true},
      {"snap:code.snap", false},       {"snap:a", false},        {"snap:x--y", false},   {"snap:edge-", false},
      {"snap:123", false},             {"snap-classic:lib.+", false}, {"snap:gimp", true}, {"snap-classic:code", true},
  };
  Argv requests;
  std::string expected_out = "# Updating the package list…\n";
  Argv apt_installed, snap_installed;
  for (const auto& c : cases) {
    requests.emplace_back(c.request);
    const std::string name = std::string(c.request).substr(std::string(c.request).find(':') + 1);
    expected_out += "# Installing " + name + "…\n" + (c.installs ? "ok " : "fail ") + name + "\n";
    if (c.installs) (starts_with(c.request, "apt:") ? apt_installed : snap_installed).push_back(name);
  }
  const auto run = install(requests);
  EXPECT_EQ(run.status.code, 0);
  EXPECT_EQ(run.out, expected_out);
  const auto apt_calls = fakes_.calls("apt-get");
  ASSERT_EQ(apt_calls.size(), apt_installed.size() + 1);
  for (std::size_t i = 0; i < apt_installed.size(); ++i) EXPECT_EQ(apt_calls[i + 1].back(), apt_installed[i]);
  Argv snapped;
  for (const Argv& call : fakes_.calls("snap")) snapped.push_back(call[1]);
  EXPECT_EQ(snapped, snap_installed);
}

// Root's package tools get a fixed environment and none of our descriptors.
TEST_F(Installer, PackageToolsGetNothingInherited) {
  const int leaked = ::dup(STDERR_FILENO);
  ASSERT_GT(leaked, 2);
  const std::string seen = scratch_.sub("seen");
  fakes_.add("apt-get", "[ \"$3\" = update ] && exit 0; env | sort > '" + seen + "'; [ -e /proc/self/fd/" +
                            std::to_string(leaked) + " ] && echo leaked >> '" + seen + "'; exit 0");
  const auto run = install({"apt:vlc"});
  ::close(leaked);
  EXPECT_EQ(run.out, "# Updating the package list…\n# Installing vlc…\nok vlc\n");
  const std::string env = testing::read_test_file(seen);
  for (const char* kept : {"DEBIAN_FRONTEND=noninteractive\n", "LANG=C.UTF-8\n", "PATH=/usr/sbin:/usr/bin:/sbin:/bin\n"}) {
    EXPECT_NE(env.find(kept), std::string::npos) << kept << " in\n" << env;
  }
  for (const char* dropped : {"KORVO_LEAK", "HOME=", "KORVO_TEST_PACKAGE_TOOLS", "leaked"}) {
    EXPECT_EQ(env.find(dropped), std::string::npos) << dropped << " in\n" << env;
  }
}

TEST_F(Installer, StopsWhenTheParentStopsListening) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  ::close(ends[0]);
  const int saved_stdout = ::dup(STDOUT_FILENO);
  ::dup2(ends[1], STDOUT_FILENO);
  const int status = run_installer({"snap:gimp", "snap:code"}, {fakes_.dir() + "/bin"});
  ::dup2(saved_stdout, STDOUT_FILENO);
  ::close(saved_stdout);
  ::close(ends[1]);
  EXPECT_EQ(status, 1);
  EXPECT_TRUE(fakes_.calls("snap").empty());
}

}  // namespace
}  // namespace korvo
