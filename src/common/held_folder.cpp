#include "common/held_folder.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/signal_exit.hpp"
#include "common/text.hpp"

namespace korvo {
namespace {

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// An exclusive lock that does not wait: a held folder is simply passed by.
bool try_lock(int fd) {
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

}  // namespace

Result<HeldFolder> HeldFolder::hold(const std::string& path) {
  auto canonical = canonical_path(path);
  if (!canonical) return canonical.error();
  auto lock = open_file(*canonical, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (!lock) return lock.error();
  if (!try_lock(lock->get())) return os_error(errno);
  // Another run's sweep may have come between the folder's making and the lock.
  struct stat held;
  struct stat named;
  if (::fstat(lock->get(), &held) != 0) return os_error(errno);
  if (::lstat(canonical->c_str(), &named) != 0 || !same_file(held, named)) return os_error(ENOENT);
  (void)remove_on_signal(*canonical);
  return HeldFolder(std::move(*canonical), std::move(*lock));
}

HeldFolder& HeldFolder::operator=(HeldFolder&& other) noexcept {
  if (this != &other) {
    release();
    path_ = std::move(other.path_);
    lock_ = std::move(other.lock_);
  }
  return *this;
}

HeldFolder::~HeldFolder() { release(); }

void HeldFolder::release() {
  if (!lock_.valid()) return;
  forget_folder(path_);
  lock_.reset();
}

Result<void> HeldFolder::remove() {
  // Removed while still locked, so that no sweep starts on it halfway.
  auto removed = remove_tree(path_);
  release();
  return removed;
}

void sweep_unheld_folders(const std::string& temp_dir, std::string_view prefix) {
  auto names = list_directory(temp_dir);
  if (!names) return;
  auto folder = open_file(temp_dir, O_RDONLY | O_DIRECTORY);
  if (!folder) return;
  for (const std::string& name : *names) {
    if (!starts_with(name, prefix)) continue;
    const int opened = ::openat(folder->get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (opened < 0) continue;
    const Fd leftover(opened);
    struct stat info;
    if (::fstat(leftover.get(), &info) != 0 || info.st_uid != ::geteuid()) continue;
    if (!try_lock(leftover.get())) continue;
    (void)remove_tree(join_path(temp_dir, name));
  }
}

}  // namespace korvo
