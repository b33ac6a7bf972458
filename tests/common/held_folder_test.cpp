#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "common/held_folder.hpp"
#include "common/process.hpp"
#include "common/signal_exit.hpp"
#include "support/sandbox.hpp"

namespace korvo {
namespace {

using testing::ScratchDir;

// A process that has ended, whether or not anyone has reaped it yet.
bool process_ended(pid_t pid) {
  std::string stat;
  try {
    stat = testing::read_test_file("/proc/" + std::to_string(pid) + "/stat");
  } catch (const std::exception&) {
    return true;
  }
  const std::size_t end_of_name = stat.rfind(')');
  return end_of_name == std::string::npos || stat.substr(end_of_name + 2, 1) == "Z";
}

// What earlier runs left: only this user's folders that no run holds go.
TEST(SweepUnheldFolders, TakesOnlyThisUsersUnheldFolders) {
  ScratchDir scratch;
  const std::string tmp = scratch.sub("tmp");
  enum class Kind { kFolder, kHeld, kOthers, kFile, kLink };
  struct Case {
    const char* name;
    Kind kind;
    bool goes;
  };
  const Case cases[] = {
      {"korvo-restore-1", Kind::kFolder, true},        {"korvo-restore-locale-Ab12Cd", Kind::kFolder, true},
      {"korvo-restore-2", Kind::kHeld, false},         {"korvo-restore-3", Kind::kOthers, false},
      {"korvo-restore-file", Kind::kFile, false},      {"korvo-restore-link", Kind::kLink, false},
      {"other-1", Kind::kFolder, false},
  };
  std::optional<HeldFolder> held;
  bool other_user = true;
  for (const Case& c : cases) {
    const std::string path = tmp + "/" + c.name;
    if (c.kind == Kind::kFile) {
      testing::write_test_file(path, "a file, not a folder");
      continue;
    }
    if (c.kind == Kind::kLink) {
      ASSERT_EQ(::symlink((tmp + "/other-1").c_str(), path.c_str()), 0);
      continue;
    }
    testing::write_test_file(path + "/Backup/WiFi-Passwords.txt", "secret");
    if (c.kind == Kind::kHeld) {
      auto holding = HeldFolder::hold(path);
      ASSERT_TRUE(holding.ok()) << holding.error().render();
      held = std::move(*holding);
    }
    if (c.kind == Kind::kOthers) other_user = ::chown(path.c_str(), 65534, 65534) == 0;
  }

  sweep_unheld_folders(tmp, "korvo-restore-");

  for (const Case& c : cases) {
    if (c.kind == Kind::kOthers && !other_user) continue;
    EXPECT_EQ(path_exists_nofollow(tmp + "/" + c.name), !c.goes) << c.name;
  }
  EXPECT_EQ(testing::read_test_file(tmp + "/other-1/Backup/WiFi-Passwords.txt"), "secret");
  EXPECT_TRUE(is_regular_file(tmp + "/korvo-restore-2/Backup/WiFi-Passwords.txt"));
  if (!other_user) GTEST_SKIP() << "another user's folder needs root to plant";
}

// A signal ends the run the way a failure does: the folders it holds go,
// its children are stopped, and the status names the signal.
TEST(EndRunOnSignals, HeldFoldersGoChildrenStopStatusIs128PlusTheSignal) {
  struct Case {
    int signal;
    bool ignored_at_start;  // as under nohup: stays ignored
  };
  for (const Case& c : {Case{SIGINT, false}, Case{SIGTERM, false}, Case{SIGHUP, false}, Case{SIGHUP, true}}) {
    ScratchDir scratch;
    const std::string folder = scratch.sub("korvo-restore-1");
    testing::write_test_file(folder + "/Backup/a/b/WiFi-Passwords.txt", "secret");
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(report[0]);
      if (c.ignored_at_start) ::signal(c.signal, SIG_IGN);
      end_run_on_signals();
      auto held = HeldFolder::hold(folder);
      Command sleeper;
      sleeper.argv = {"sleep", "60"};
      auto child = spawn_process(sleeper);
      if (!held || !child) ::_exit(90);
      const std::string line = std::to_string(child->pid());
      if (::write(report[1], line.data(), line.size()) < 0) ::_exit(91);
      ::close(report[1]);
      ::raise(c.signal);
      child->kill(SIGKILL);
      ::_exit(0);
    }
    ::close(report[1]);
    char buffer[32] = {};
    const ssize_t got = ::read(report[0], buffer, sizeof buffer - 1);
    ::close(report[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_GT(got, 0) << c.signal;
    ASSERT_TRUE(WIFEXITED(status)) << c.signal;
    EXPECT_EQ(WEXITSTATUS(status), c.ignored_at_start ? 0 : 128 + c.signal) << c.signal;
    EXPECT_EQ(path_exists_nofollow(folder), c.ignored_at_start) << c.signal;
    const pid_t child = static_cast<pid_t>(std::stol(buffer));
    EXPECT_TRUE(testing::wait_until([&] { return process_ended(child); })) << c.signal;
  }
}

}  // namespace
}  // namespace korvo
