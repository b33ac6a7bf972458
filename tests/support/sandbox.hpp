#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "common/process.hpp"

// Helpers for tests that touch the file system or run programs: a scratch
// folder, fake tools first on PATH, and runners for the built executable.
namespace korvo::testing {

// A fresh folder under /tmp, removed with everything in it at the end.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string sub(std::string_view relative) const;  // joined path

 private:
  std::string path_;
};

// How long a test waits for something that is bound to happen: long enough
// for a machine under heavy load, and only ever spent when a test fails.
inline constexpr std::chrono::seconds kPatience{60};

// Polls the condition until it holds or kPatience has passed; true if it held.
bool wait_until(const std::function<bool()>& condition);

// Writes a file (creating parent folders), mode 0644 unless given.
void write_test_file(const std::string& path, std::string_view content, unsigned mode = 0644);
std::string read_test_file(const std::string& path);

// Fake programs in <dir>/bin that record every argument vector in
// <dir>/log/<name>/<call>/ and then run a shell snippet. PATH for the program
// under test is <dir>/bin followed by <dir>/sysbin, which holds links to a
// few real basics (sh, cat, sleep, ...) and nothing else, so a real zenity,
// nmcli or apt-get on the machine can never be reached.
class FakeTools {
 public:
  explicit FakeTools(std::string dir);

  // body is /bin/sh text run after the call has been recorded; "$@" holds
  // the arguments. Installing the same name again replaces the fake. With
  // record_input the fake also keeps its whole standard input (the body
  // then finds it used up, and in the file "$KORVO_FAKE_INPUT").
  void add(const std::string& name, const std::string& body = "exit 0", bool record_input = false);
  void remove(const std::string& name);

  // Every completely recorded call, each the full argument vector without
  // argv[0]. A fake killed before or while recording is not there.
  std::vector<std::vector<std::string>> calls(const std::string& name) const;
  // What each call of a fake added with record_input read, in call order.
  std::vector<std::string> inputs(const std::string& name) const;
  // For a fake the program leaves running: waits until it has recorded
  // `count` calls; true if it did within kPatience.
  bool wait_for_calls(const std::string& name, std::size_t count = 1) const;

  std::string path_value() const;
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

// One argument vector a test expects. A progress window is killed when the
// program closes it and may die before it has recorded anything: such a
// call is marked may_be_missing.
struct ExpectedCall {
  std::vector<std::string> argv;
  bool may_be_missing = false;
};
ExpectedCall killed_window(std::vector<std::string> argv);

// Succeeds when the recorded calls are the expected ones in the same order,
// with only may_be_missing calls absent: every call that was recorded is
// pinned whole.
::testing::AssertionResult calls_in_order(const std::vector<std::vector<std::string>>& recorded,
                                          const std::vector<ExpectedCall>& expected);

struct ProgramRun {
  ExitStatus status;
  std::string out;
  std::string err;
};

using Environment = std::map<std::string, std::string>;

// Runs argv (argv[0] a path) with exactly this environment, feeding stdin_text
// on a pipe (closed afterwards); collects stdout and stderr until every holder
// of them has closed them (children the program left running included), then
// waits for the program. When stdin_closed is true the child starts with
// descriptor 0 closed instead. The child runs in a new session without a
// controlling terminal.
ProgramRun run_program(const std::vector<std::string>& argv, const Environment& env, std::string_view stdin_text = {},
                       bool stdin_closed = false);

// A program running on a pseudo-terminal, so /dev/tty is real.
class PtySession {
 public:
  PtySession(const std::vector<std::string>& argv, const Environment& env);
  ~PtySession();
  PtySession(const PtySession&) = delete;
  PtySession& operator=(const PtySession&) = delete;

  // Reads until the output so far contains text (or kPatience passes); true if found.
  bool wait_for(std::string_view text);
  // Waits until the program has switched the terminal's echo off (the
  // password prompt is ready for keys that must not be shown).
  bool wait_for_echo_off() const;
  void type(std::string_view bytes);
  // Reads to the end and waits for the program.
  ExitStatus finish();
  // Ends the program with SIGKILL now, without reading further output.
  ExitStatus kill_now();
  // Sends the program a signal; finish() then waits for what it does.
  void send(int signal);
  const std::string& output() const { return output_; }
  // The terminal's local flags as the program left them.
  unsigned long local_flags() const;

 private:
  bool read_some(int timeout_ms);
  int master_ = -1;
  int pid_ = -1;
  int status_ = 0;
  std::string output_;
};

// Whether the pseudo-terminal behind this master has echo off.
bool echo_is_off(int master);

// Every file and folder below root, by relative path: a file maps to the
// SHA-256 of its content, a folder to "/", a symbolic link to "-> target".
std::map<std::string, std::string> tree_digests(const std::string& root);

// The paths of the built binaries.
std::string restore_binary();
std::string make_backup_binary();

}  // namespace korvo::testing
