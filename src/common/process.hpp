#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "common/files.hpp"

namespace korvo {

// What one standard stream of a child is connected to.
enum class Stream {
  kInherit,  // the program's own
  kNull,     // /dev/null
  kPipe,     // a pipe whose other end the Child keeps
  kCapture,  // collected by run_process (run_process only)
};

struct Command {
  std::vector<std::string> argv;  // argv[0] is looked up on PATH
  Stream in = Stream::kInherit;
  Stream out = Stream::kInherit;
  Stream err = Stream::kInherit;
  std::vector<std::pair<std::string, std::string>> extra_env;  // added to (or replacing in) the environment
  bool inherit_env = true;  // false: the child gets extra_env alone
};

struct ExitStatus {
  bool exited = false;
  int code = 0;    // when exited
  int signal = 0;  // when killed by a signal
  bool success() const { return exited && code == 0; }
};

// A started child. Unless detached, the destructor waits for it.
class Child {
 public:
  Child() = default;
  Child(pid_t pid, Fd in, Fd out, Fd err) : pid_(pid), in_(std::move(in)), out_(std::move(out)), err_(std::move(err)) {}
  Child(Child&& other) noexcept;
  Child& operator=(Child&& other) noexcept;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();

  pid_t pid() const { return pid_; }
  bool running() const { return pid_ > 0; }
  Fd& stdin_pipe() { return in_; }
  Fd& stdout_pipe() { return out_; }
  Fd& stderr_pipe() { return err_; }

  // Waits (retrying EINTR); afterwards the Child no longer refers to a process.
  Result<ExitStatus> wait();
  // Sends a signal; errors are ignored.
  void kill(int signal);
  // Forgets the process without waiting for it.
  void detach();

 private:
  pid_t pid_ = -1;
  Fd in_, out_, err_;
};

// Starts argv[0] found through PATH, with SIGPIPE at its default and an
// empty signal mask in the child. kCapture is treated as kPipe here.
Result<Child> spawn_process(const Command& command);

struct ProcessOutput {
  ExitStatus status;
  std::string out;  // when captured
  std::string err;  // when captured
};

// Starts the command, collects captured streams and waits for it. `input`
// goes to the child's standard input, which must then be a kPipe, and the
// pipe is closed once it is written (or the child has stopped reading);
// without input the child sees end of input at once.
Result<ProcessOutput> run_process(const Command& command, std::string_view input = {});

// Convenience: run and report whether it started and exited with status 0.
bool run_succeeds(const Command& command);

// Whether a program of that name is installed: "sh" "-c" "command -v \"$1\""
// "sh" name exits with status 0. The name is a parameter, never shell text.
bool command_exists(std::string_view name);

// Closes every descriptor above standard error, inherited or not.
void close_descriptors_above_stderr();

}  // namespace korvo
