#include "support/sandbox.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "backup_writer/backup_writer.hpp"

namespace korvo::testing {
namespace fs = std::filesystem;

bool wait_until(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

ScratchDir::ScratchDir() {
  std::string pattern = "/tmp/korvo-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  // Folders a test made unreadable must not stop the clean-up.
  for (auto it = fs::recursive_directory_iterator(path_, fs::directory_options::skip_permission_denied, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) ::chmod(it->path().c_str(), 0755);
  }
  ::chmod(path_.c_str(), 0755);
  fs::remove_all(path_, ignored);
}

std::string ScratchDir::sub(std::string_view relative) const { return path_ + "/" + std::string(relative); }

void write_test_file(const std::string& path, std::string_view content, unsigned mode) {
  fs::create_directories(fs::path(path).parent_path());
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
  }
  ::chmod(path.c_str(), mode);
}

std::string read_test_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

namespace {

constexpr char kArgSeparator = '\036';

const char* const kBasicTools[] = {"sh",   "bash",  "cat",  "sleep", "mkdir", "rm",      "cp",       "mv",
                                   "ls",   "env",   "echo", "true",  "false", "head",    "tail",     "tr",
                                   "touch", "wc",   "grep", "sed",   "kill",  "chmod",   "dirname",  "basename",
                                   "test", "printf", "id",  "cut",   "sort",  "readlink", "realpath", "stat",
                                   "truncate"};

std::string find_real_tool(const std::string& name) {
  for (const char* dir : {"/usr/bin", "/bin", "/usr/sbin", "/sbin"}) {
    const std::string candidate = std::string(dir) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

}  // namespace

FakeTools::FakeTools(std::string dir) : dir_(std::move(dir)) {
  fs::create_directories(dir_ + "/bin");
  fs::create_directories(dir_ + "/log");
  fs::create_directories(dir_ + "/sysbin");
  for (const char* tool : kBasicTools) {
    const std::string real = find_real_tool(tool);
    if (!real.empty()) fs::create_symlink(real, dir_ + "/sysbin/" + tool);
  }
}

void FakeTools::add(const std::string& name, const std::string& body, bool record_input) {
  const std::string log = dir_ + "/log/" + name;
  fs::create_directories(log);
  std::string script = "#!/bin/sh\n";
  if (record_input) script += "KORVO_FAKE_INPUTS=1 ";
  script += "KORVO_FAKE_LOG='" + log + "' . '" KORVO_FAKES_DIR "/record.sh'\n";
  script += body + "\n";
  write_test_file(dir_ + "/bin/" + name, script, 0755);
}

void FakeTools::remove(const std::string& name) { fs::remove(dir_ + "/bin/" + name); }

namespace {

// The folders of the completely recorded calls of one fake, in call order.
std::vector<std::string> recorded_calls(const std::string& log) {
  std::vector<std::string> result;
  for (std::size_t n = 0;; ++n) {
    const std::string call = log + "/" + std::to_string(n);
    if (!fs::exists(call)) return result;
    if (fs::exists(call + "/argv")) result.push_back(call);
  }
}

}  // namespace

std::vector<std::vector<std::string>> FakeTools::calls(const std::string& name) const {
  std::vector<std::vector<std::string>> result;
  for (const std::string& call : recorded_calls(dir_ + "/log/" + name)) {
    std::vector<std::string> argv;
    std::string arg;
    for (const char c : read_test_file(call + "/argv")) {
      if (c == kArgSeparator) {
        argv.push_back(std::move(arg));
        arg.clear();
      } else {
        arg += c;
      }
    }
    result.push_back(std::move(argv));
  }
  return result;
}

std::vector<std::string> FakeTools::inputs(const std::string& name) const {
  std::vector<std::string> result;
  for (const std::string& call : recorded_calls(dir_ + "/log/" + name)) {
    result.push_back(fs::exists(call + "/input") ? read_test_file(call + "/input") : std::string());
  }
  return result;
}

bool FakeTools::wait_for_calls(const std::string& name, std::size_t count) const {
  return wait_until([&] { return calls(name).size() >= count; });
}

ExpectedCall killed_window(std::vector<std::string> argv) { return {std::move(argv), true}; }

namespace {

std::string describe(const std::vector<std::string>& argv) { return ::testing::PrintToString(argv); }

// Whether recorded[r...] matches expected[e...]; tries both readings of a
// call that may be missing, so equal neighbours cannot mislead it.
bool match_from(const std::vector<std::vector<std::string>>& recorded, std::size_t r,
                const std::vector<ExpectedCall>& expected, std::size_t e) {
  if (e == expected.size()) return r == recorded.size();
  if (r < recorded.size() && recorded[r] == expected[e].argv && match_from(recorded, r + 1, expected, e + 1)) {
    return true;
  }
  return expected[e].may_be_missing && match_from(recorded, r, expected, e + 1);
}

}  // namespace

::testing::AssertionResult calls_in_order(const std::vector<std::vector<std::string>>& recorded,
                                          const std::vector<ExpectedCall>& expected) {
  if (match_from(recorded, 0, expected, 0)) return ::testing::AssertionSuccess();
  auto failure = ::testing::AssertionFailure() << "recorded calls:";
  for (const auto& call : recorded) failure << "\n  " << describe(call);
  failure << "\nexpected (? may be missing):";
  for (const auto& call : expected) failure << "\n  " << (call.may_be_missing ? "? " : "") << describe(call.argv);
  return failure;
}

std::string FakeTools::path_value() const { return dir_ + "/bin:" + dir_ + "/sysbin"; }

namespace {

std::vector<std::string> environment_entries(const Environment& env) {
  std::vector<std::string> entries;
  for (const auto& [name, value] : env) entries.push_back(name + "=" + value);
  return entries;
}

[[noreturn]] void exec_child(const std::vector<std::string>& argv, const Environment& env) {
  const std::vector<std::string> entries = environment_entries(env);
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const auto& entry : entries) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  sigset_t empty;
  sigemptyset(&empty);
  sigprocmask(SIG_SETMASK, &empty, nullptr);
  signal(SIGPIPE, SIG_DFL);
  ::execve(args[0], args.data(), envp.data());
  _exit(127);
}

ExitStatus decode(int status) {
  ExitStatus result;
  if (WIFEXITED(status)) {
    result.exited = true;
    result.code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

}  // namespace

ProgramRun run_program(const std::vector<std::string>& argv, const Environment& env, std::string_view stdin_text,
                       bool stdin_closed) {
  int in[2], out[2], err[2];
  if (::pipe(in) != 0 || ::pipe(out) != 0 || ::pipe(err) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setsid();  // no controlling terminal: /dev/tty cannot be opened
    if (stdin_closed) {
      ::close(0);
    } else {
      ::dup2(in[0], 0);
    }
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) ::close(fd);
    exec_child(argv, env);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  // The program may not read its input at all; a full pipe must not block us.
  ::signal(SIGPIPE, SIG_IGN);
  std::string_view pending = stdin_text;
  int stdin_fd = in[1];
  if (pending.empty()) {
    ::close(stdin_fd);
    stdin_fd = -1;
  } else {
    ::fcntl(stdin_fd, F_SETFL, O_NONBLOCK);
  }
  ProgramRun run;
  int readers[2] = {out[0], err[0]};
  std::string* sinks[2] = {&run.out, &run.err};
  while (readers[0] >= 0 || readers[1] >= 0 || stdin_fd >= 0) {
    pollfd polls[3];
    nfds_t count = 0;
    int which[3];
    for (int i = 0; i < 2; ++i) {
      if (readers[i] >= 0) {
        polls[count] = {readers[i], POLLIN, 0};
        which[count++] = i;
      }
    }
    if (stdin_fd >= 0) {
      polls[count] = {stdin_fd, POLLOUT, 0};
      which[count++] = 2;
    }
    if (::poll(polls, count, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (nfds_t i = 0; i < count; ++i) {
      if (polls[i].revents == 0) continue;
      if (which[i] == 2) {
        const ssize_t written = ::write(stdin_fd, pending.data(), pending.size());
        if (written > 0) pending.remove_prefix(static_cast<std::size_t>(written));
        if (written < 0 && errno != EAGAIN && errno != EINTR) pending = {};
        if (pending.empty()) {
          ::close(stdin_fd);
          stdin_fd = -1;
        }
        continue;
      }
      char buffer[8192];
      const ssize_t got = ::read(readers[which[i]], buffer, sizeof buffer);
      if (got > 0) {
        sinks[which[i]]->append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        ::close(readers[which[i]]);
        readers[which[i]] = -1;
      }
    }
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.status = decode(status);
  return run;
}

PtySession::PtySession(const std::vector<std::string>& argv, const Environment& env) {
  const pid_t pid = ::forkpty(&master_, nullptr, nullptr, nullptr);
  if (pid < 0) throw std::runtime_error("forkpty failed");
  if (pid == 0) exec_child(argv, env);
  pid_ = pid;
}

PtySession::~PtySession() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status;
    ::waitpid(pid_, &status, 0);
  }
  if (master_ >= 0) ::close(master_);
}

bool PtySession::read_some(int timeout_ms) {
  pollfd poll_fd = {master_, POLLIN, 0};
  if (::poll(&poll_fd, 1, timeout_ms) <= 0) return false;
  char buffer[4096];
  const ssize_t got = ::read(master_, buffer, sizeof buffer);
  if (got <= 0) return false;  // EIO once the program has gone
  output_.append(buffer, static_cast<std::size_t>(got));
  return true;
}

bool PtySession::wait_for(std::string_view text) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (output_.find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (!read_some(100)) {
      if (::waitpid(pid_, &status_, WNOHANG) == pid_) {
        pid_ = -1;
        while (read_some(0)) {
        }
        return output_.find(text) != std::string::npos;
      }
    }
  }
  return true;
}

bool echo_is_off(int master) {
  // On Linux the master reports the settings of its follower side.
  termios settings{};
  return ::tcgetattr(master, &settings) == 0 && (settings.c_lflag & ECHO) == 0;
}

bool PtySession::wait_for_echo_off() const {
  return wait_until([&] { return echo_is_off(master_); });
}

void PtySession::type(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(master_, bytes.data(), bytes.size());
    if (written <= 0) {
      if (errno == EINTR) continue;
      return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

unsigned long PtySession::local_flags() const {
  // The follower side holds the settings the program changed.
  termios settings{};
  const int follower = ::open(::ptsname(master_), O_RDWR | O_NOCTTY);
  if (follower < 0) return 0;
  ::tcgetattr(follower, &settings);
  ::close(follower);
  return settings.c_lflag;
}

ExitStatus PtySession::kill_now() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }
  return decode(status_);
}

void PtySession::send(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

ExitStatus PtySession::finish() {
  // Only a hang guard: a healthy run ends long before.
  const auto deadline = std::chrono::steady_clock::now() + 3 * kPatience;
  while (pid_ > 0) {
    read_some(50);
    if (::waitpid(pid_, &status_, WNOHANG) == pid_) {
      pid_ = -1;
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status_, 0);
      pid_ = -1;
    }
  }
  while (read_some(0)) {
  }
  return decode(status_);
}

std::map<std::string, std::string> tree_digests(const std::string& root) {
  std::map<std::string, std::string> tree;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const std::string relative = fs::relative(it->path(), root).string();
    if (it->is_symlink()) {
      tree[relative] = "-> " + fs::read_symlink(it->path()).string();
    } else if (it->is_directory()) {
      tree[relative] = "/";
    } else {
      tree[relative] = sha256_hex(read_test_file(it->path()));
    }
  }
  return tree;
}

std::string restore_binary() { return KORVO_RESTORE_BINARY; }
std::string make_backup_binary() { return KORVO_MAKE_BACKUP_BINARY; }

}  // namespace korvo::testing
