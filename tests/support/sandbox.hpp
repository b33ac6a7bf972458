#pragma once

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

// Writes a file (creating parent folders), mode 0644 unless given.
void write_test_file(const std::string& path, std::string_view content, unsigned mode = 0644);
std::string read_test_file(const std::string& path);

// Fake programs in <dir>/bin that record every argument vector in
// <dir>/log/<name>.log and then run a shell snippet. PATH for the program
// under test is <dir>/bin followed by <dir>/sysbin, which holds links to a
// few real basics (sh, cat, sleep, ...) and nothing else, so a real zenity,
// nmcli or apt-get on the machine can never be reached.
class FakeTools {
 public:
  explicit FakeTools(std::string dir);

  // body is /bin/sh text run after the call has been recorded; "$@" holds
  // the arguments. Installing the same name again replaces the fake.
  void add(const std::string& name, const std::string& body = "exit 0");
  void remove(const std::string& name);

  // Every recorded call, each the full argument vector without argv[0].
  std::vector<std::vector<std::string>> calls(const std::string& name) const;

  std::string path_value() const;
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

struct ProgramRun {
  ExitStatus status;
  std::string out;
  std::string err;
};

using Environment = std::map<std::string, std::string>;

// Runs argv (argv[0] a path) with exactly this environment, feeding stdin_text
// on a pipe (closed afterwards); collects stdout and stderr. When stdin_closed
// is true the child starts with descriptor 0 closed instead. The child runs in
// a new session without a controlling terminal.
ProgramRun run_program(const std::vector<std::string>& argv, const Environment& env, std::string_view stdin_text = {},
                       bool stdin_closed = false);

// A program running on a pseudo-terminal, so /dev/tty is real.
class PtySession {
 public:
  PtySession(const std::vector<std::string>& argv, const Environment& env);
  ~PtySession();
  PtySession(const PtySession&) = delete;
  PtySession& operator=(const PtySession&) = delete;

  // Reads until the output so far contains text (or 10 s pass); true if found.
  bool wait_for(std::string_view text);
  void type(std::string_view bytes);
  // Reads to the end and waits for the program.
  ExitStatus finish();
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

// The paths of the built binaries.
std::string restore_binary();
std::string make_backup_binary();

}  // namespace korvo::testing
