#include "common/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>

#include "common/signal_exit.hpp"

extern char** environ;

namespace korvo {
namespace {

// posix_spawn's attribute and file-action objects, destroyed on every path.
class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawnattr_init(&attr_);
    posix_spawn_file_actions_init(&actions_);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attr_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  posix_spawnattr_t* attr() { return &attr_; }
  posix_spawn_file_actions_t* actions() { return &actions_; }

  // Keeps the first error of a sequence of setup calls.
  bool check(int err) {
    if (error_ == 0) error_ = err;
    return error_ == 0;
  }
  int error() const { return error_; }

 private:
  posix_spawnattr_t attr_;
  posix_spawn_file_actions_t actions_;
  int error_ = 0;
};

std::vector<std::string> build_environment(const Command& command) {
  std::vector<std::string> entries;
  std::map<std::string, std::string> overrides(command.extra_env.begin(), command.extra_env.end());
  for (char** entry = command.inherit_env ? environ : nullptr; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text = *entry;
    const std::string name(text.substr(0, text.find('=')));
    if (overrides.count(name) == 0) entries.emplace_back(text);
  }
  for (const auto& [name, value] : overrides) entries.push_back(name + "=" + value);
  return entries;
}

}  // namespace

Child::Child(Child&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      in_(std::move(other.in_)),
      out_(std::move(other.out_)),
      err_(std::move(other.err_)) {}

Child& Child::operator=(Child&& other) noexcept {
  if (this != &other) {
    if (running()) (void)wait();
    pid_ = std::exchange(other.pid_, -1);
    in_ = std::move(other.in_);
    out_ = std::move(other.out_);
    err_ = std::move(other.err_);
  }
  return *this;
}

Child::~Child() {
  // Closed first, so that a child blocked on one of these pipes can finish.
  in_.reset();
  out_.reset();
  err_.reset();
  if (running()) (void)wait();
}

Result<ExitStatus> Child::wait() {
  if (!running()) return Error("no child process to wait for");
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0) {
    if (errno != EINTR) {
      const int err = errno;
      forget_child(pid_);
      pid_ = -1;
      return os_error(err, "waitpid");
    }
  }
  forget_child(pid_);
  pid_ = -1;
  ExitStatus result;
  if (WIFEXITED(status)) {
    result.exited = true;
    result.code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

void Child::kill(int signal) {
  if (running()) (void)::kill(pid_, signal);
}

void Child::detach() {
  if (running()) forget_child(pid_);
  pid_ = -1;
}

Result<Child> spawn_process(const Command& command) {
  if (command.argv.empty()) return Error("empty command");
  SpawnSetup setup;

  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigset_t empty_mask;
  sigemptyset(&empty_mask);
  setup.check(posix_spawnattr_setsigdefault(setup.attr(), &defaults));
  setup.check(posix_spawnattr_setsigmask(setup.attr(), &empty_mask));
  setup.check(posix_spawnattr_setflags(setup.attr(), POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK));

  // Parent ends of pipes, and child ends closed once the child has them.
  Fd parent_ends[3];
  Fd child_ends[3];
  const Stream streams[3] = {command.in, command.out, command.err};
  for (int fd = 0; fd < 3; ++fd) {
    switch (streams[fd]) {
      case Stream::kInherit:
        break;
      case Stream::kNull:
        setup.check(posix_spawn_file_actions_addopen(setup.actions(), fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0));
        break;
      case Stream::kPipe:
      case Stream::kCapture: {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) return os_error(errno, command.argv.front());
        Fd read_end(ends[0]);
        Fd write_end(ends[1]);
        if (fd == 0) {
          child_ends[fd] = std::move(read_end);
          parent_ends[fd] = std::move(write_end);
        } else {
          child_ends[fd] = std::move(write_end);
          parent_ends[fd] = std::move(read_end);
        }
        setup.check(posix_spawn_file_actions_adddup2(setup.actions(), child_ends[fd].get(), fd));
        break;
      }
    }
  }
  if (setup.error() != 0) return os_error(setup.error(), command.argv.front());

  const std::vector<std::string> environment = build_environment(command);
  std::vector<char*> argv;
  for (const std::string& arg : command.argv) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);

  pid_t pid = -1;
  const int err = ::posix_spawnp(&pid, argv[0], setup.actions(), setup.attr(), argv.data(), envp.data());
  if (err != 0) return os_error(err, command.argv.front());
  stop_on_signal(pid);
  return Child(pid, std::move(parent_ends[0]), std::move(parent_ends[1]), std::move(parent_ends[2]));
}

namespace {

// A child that stops reading its input must not end us with SIGPIPE: the
// signal is held back while we write, and one our writes raised is taken off.
class SigpipeHold {
 public:
  SigpipeHold() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    was_pending_ = ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    ::pthread_sigmask(SIG_BLOCK, &pipe_, &old_mask_);
  }
  ~SigpipeHold() {
    if (!was_pending_) {
      const timespec no_wait{};
      while (::sigtimedwait(&pipe_, nullptr, &no_wait) < 0 && errno == EINTR) {
      }
    }
    ::pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
  }
  SigpipeHold(const SigpipeHold&) = delete;
  SigpipeHold& operator=(const SigpipeHold&) = delete;

 private:
  sigset_t pipe_;
  sigset_t old_mask_;
  bool was_pending_ = false;
};

}  // namespace

Result<ProcessOutput> run_process(const Command& command, std::string_view input) {
  if (!input.empty() && command.in != Stream::kPipe) return Error("input for a child whose standard input is no pipe");
  auto child = spawn_process(command);
  if (!child) return child.error();
  Fd& to_child = child->stdin_pipe();
  if (input.empty()) to_child.reset();  // the child sees end of input at once
  // Written as the child takes it, so that a child busy writing its own output never blocks us.
  if (to_child.valid() && ::fcntl(to_child.get(), F_SETFL, O_NONBLOCK) != 0) to_child.reset();
  std::optional<SigpipeHold> hold;
  if (to_child.valid()) hold.emplace();
  ProcessOutput output;
  struct Source {
    Fd* fd;
    std::string* sink;
  };
  std::vector<Source> sources;
  if (command.out == Stream::kCapture) sources.push_back({&child->stdout_pipe(), &output.out});
  if (command.err == Stream::kCapture) sources.push_back({&child->stderr_pipe(), &output.err});
  // Both pipes are drained together so that a child filling one cannot block.
  while (!sources.empty() || to_child.valid()) {
    std::vector<pollfd> polls;
    for (const Source& source : sources) polls.push_back({source.fd->get(), POLLIN, 0});
    if (to_child.valid()) polls.push_back({to_child.get(), POLLOUT, 0});
    if (::poll(polls.data(), polls.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (to_child.valid() && polls.back().revents != 0) {
      const ssize_t written = ::write(to_child.get(), input.data(), input.size());
      if (written > 0) {
        input.remove_prefix(static_cast<std::size_t>(written));
      } else if (written < 0 && errno != EAGAIN && errno != EINTR) {
        input = {};  // the child has stopped reading: the rest is not for it
      }
      if (input.empty()) to_child.reset();
    }
    for (std::size_t i = sources.size(); i-- > 0;) {
      if (polls[i].revents == 0) continue;
      char buffer[8192];
      const ssize_t got = ::read(polls[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sources[i].sink->append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        sources[i].fd->reset();
        sources.erase(sources.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
  }
  to_child.reset();
  auto status = child->wait();
  if (!status) return status.error();
  output.status = *status;
  return output;
}

bool run_succeeds(const Command& command) {
  auto output = run_process(command);
  return output && output->status.success();
}

bool command_exists(std::string_view name) {
  Command command;
  command.argv = {"sh", "-c", "command -v \"$1\"", "sh", std::string(name)};
  command.out = Stream::kNull;
  return run_succeeds(command);
}

void close_descriptors_above_stderr() {
#ifdef SYS_close_range
  if (::syscall(SYS_close_range, 3U, ~0U, 0U) == 0) return;
#endif
  // Older kernels: close what /proc lists, after the listing is done.
  std::vector<int> open_fds;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    const int own = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
      const int fd = std::atoi(entry->d_name);
      if (fd > 2 && fd != own) open_fds.push_back(fd);
    }
    ::closedir(dir);
  }
  for (const int fd : open_fds) ::close(fd);
}

}  // namespace korvo
