#include "common/signal_exit.hpp"

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>

#include "common/files.hpp"

namespace korvo {
namespace {

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kSignalStatusBase = 128;

struct FolderSlot {
  std::atomic<bool> used{false};
  char path[PATH_MAX] = {};
};

// A run waits for one child at a time; a few more live beside it (progress
// windows, the installer copy).
std::array<std::atomic<pid_t>, 32> g_children{};
// The staging folders of each password try, and the catalog folder.
std::array<FolderSlot, 16> g_folders;
std::atomic<bool> g_terminal_changed{false};
int g_terminal_fd = -1;
termios g_terminal_settings{};
// Room for the folders a removal has to leave behind.
std::array<FileId, 4096> g_left_folders;

void on_ending_signal(int signal) {
  for (const auto& child : g_children) {
    const pid_t pid = child.load();
    if (pid > 0) (void)::kill(pid, SIGTERM);
  }
  if (g_terminal_changed.load()) (void)::tcsetattr(g_terminal_fd, TCSANOW, &g_terminal_settings);
  for (const FolderSlot& folder : g_folders) {
    if (folder.used.load(std::memory_order_acquire)) {
      (void)remove_tree_quietly(folder.path, g_left_folders.data(), g_left_folders.size());
    }
  }
  ::_exit(kSignalStatusBase + signal);
}

}  // namespace

void end_run_on_signals() {
  struct sigaction action {};
  action.sa_handler = on_ending_signal;
  sigemptyset(&action.sa_mask);
  // One signal at a time: a second one waits until the first is done with.
  for (const int signal : kEndingSignals) sigaddset(&action.sa_mask, signal);
  for (const int signal : kEndingSignals) {
    struct sigaction current {};
    if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    (void)::sigaction(signal, &action, nullptr);
  }
}

void stop_on_signal(pid_t pid) {
  for (auto& child : g_children) {
    pid_t empty = 0;
    if (child.compare_exchange_strong(empty, pid)) return;
  }
}

void forget_child(pid_t pid) {
  for (auto& child : g_children) {
    pid_t noted = pid;
    if (child.compare_exchange_strong(noted, 0)) return;
  }
}

bool remove_on_signal(const std::string& path) {
  if (path.empty() || path.size() >= PATH_MAX || path.find('\0') != std::string::npos) return false;
  for (FolderSlot& folder : g_folders) {
    if (folder.used.load()) continue;
    std::memcpy(folder.path, path.c_str(), path.size() + 1);
    folder.used.store(true, std::memory_order_release);
    return true;
  }
  return false;
}

void forget_folder(const std::string& path) {
  for (FolderSlot& folder : g_folders) {
    if (folder.used.load() && path == folder.path) {
      folder.used.store(false, std::memory_order_release);
      return;
    }
  }
}

void restore_on_signal(int fd, const termios& settings) {
  g_terminal_changed.store(false);
  g_terminal_fd = fd;
  g_terminal_settings = settings;
  g_terminal_changed.store(true);
}

void forget_terminal() { g_terminal_changed.store(false); }

}  // namespace korvo
