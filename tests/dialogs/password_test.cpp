#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "dialogs/password.hpp"
#include "support/sandbox.hpp"

namespace korvo {
namespace {

struct Entry {
  std::string result;  // "ok:<password>" or "error:<rendered error>"
  int signal = 0;      // the signal that ended the reader, if any
  tcflag_t local_flags_after = 0;
};

// Runs the reader in a child whose controlling terminal is a fresh pty,
// types the keys once it has switched echo off, and reports what it read.
Entry read_with_keys(const std::string& keys) {
  int result_pipe[2];
  EXPECT_EQ(::pipe(result_pipe), 0);
  int master = -1;
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    ::close(result_pipe[0]);
    signal(SIGINT, SIG_DFL);
    auto password = read_password_from_terminal("Backup password: ");
    const std::string text = password ? "ok:" + std::string(password->view()) : "error:" + password.error().render();
    (void)::write(result_pipe[1], text.data(), text.size());
    _exit(0);
  }
  ::close(result_pipe[1]);
  // Keys typed earlier would meet the line discipline's echo, editing and
  // signals; the reader switches all of them off at once.
  EXPECT_TRUE(testing::wait_until([&] { return testing::echo_is_off(master); }));
  (void)::write(master, keys.data(), keys.size());

  Entry entry;
  char buffer[512];
  ssize_t got;
  while ((got = ::read(result_pipe[0], buffer, sizeof buffer)) > 0) entry.result.append(buffer, static_cast<std::size_t>(got));
  ::close(result_pipe[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFSIGNALED(status)) entry.signal = WTERMSIG(status);
  termios settings{};
  const int follower = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
  if (follower >= 0) {
    ::tcgetattr(follower, &settings);
    ::close(follower);
  }
  entry.local_flags_after = settings.c_lflag;
  ::close(master);
  return entry;
}

TEST(TerminalPassword, EditingKeys) {
  struct Case {
    const char* name;
    std::string keys;
    std::string expected;
  };
  const Case cases[] = {
      {"plain", "hunter2\r", "ok:hunter2"},
      {"line feed ends too", "abc\n", "ok:abc"},
      {"backspace and delete", "abcd\b\x7F" "e\r", "ok:abe"},
      {"backspace removes a whole character", "caf\xC3\xA9\x7F" "e\r", "ok:cafe"},
      {"ctrl-u clears", "wrong\x15right\r", "ok:right"},
      {"ctrl-w removes the last word", "one two  \x17three\r", "ok:one three"},
      {"arrow keys are dropped", "ab\x1B[D\x1BOAc\x1B[1;5C\r", "ok:abc"},
      {"ctrl-d ignored after typing", "ab\x04" "c\r", "ok:abc"},
      {"ctrl-d on empty entry", "\x04", "error:end of input"},
      {"other controls ignored", "a\x01\x02\tb\r", "ok:ab"},
      {"utf-8 kept", "\xE2\x80\x94p\xC3\xA4ss\r", "ok:\xE2\x80\x94p\xC3\xA4ss"},
      {"C1 control dropped", "a\xC2\x85" "b\r", "ok:ab"},
      {"empty entry is read as empty", "\r", "ok:"},
  };
  for (const Case& c : cases) {
    const Entry entry = read_with_keys(c.keys);
    EXPECT_EQ(entry.result, c.expected) << c.name;
    EXPECT_NE(entry.local_flags_after & ECHO, 0u) << c.name << ": echo must be back on";
  }
}

TEST(TerminalPassword, CtrlCRaisesInterruptWithEchoAlreadyBack) {
  const Entry entry = read_with_keys("secret\x03");
  EXPECT_EQ(entry.signal, SIGINT);
  EXPECT_EQ(entry.result, "");
  EXPECT_NE(entry.local_flags_after & ECHO, 0u);
  EXPECT_NE(entry.local_flags_after & ICANON, 0u);
}

}  // namespace
}  // namespace korvo
