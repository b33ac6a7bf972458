#pragma once

#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/files.hpp"

// The private folders a run keeps in the temporary directory (the staging
// folder with the decrypted backup, the portable program's catalogs). Each
// is locked while the run holds it; a run that could not clean up after
// itself (SIGKILL, a power cut) leaves its folders unlocked, and the next
// run removes them.
namespace korvo {

class HeldFolder {
 public:
  // Locks a folder that this run has just made and notes it for removal
  // should a signal end the run; path() is then its canonical path. Fails
  // when the folder went (another run's sweep took it before the lock).
  static Result<HeldFolder> hold(const std::string& path);

  HeldFolder(HeldFolder&& other) noexcept = default;
  HeldFolder& operator=(HeldFolder&& other) noexcept;
  HeldFolder(const HeldFolder&) = delete;
  HeldFolder& operator=(const HeldFolder&) = delete;
  // Lets go of the folder without removing it.
  ~HeldFolder();

  const std::string& path() const { return path_; }
  // Removes the folder and everything in it, and lets go of it.
  Result<void> remove();

 private:
  HeldFolder(std::string path, Fd lock) : path_(std::move(path)), lock_(std::move(lock)) {}
  void release();

  std::string path_;
  Fd lock_;
};

// Removes each folder directly in temp_dir whose name starts with `prefix`,
// that belongs to this user and that no run holds. Failures are silent: a
// leftover only waits for the next run.
void sweep_unheld_folders(const std::string& temp_dir, std::string_view prefix);

}  // namespace korvo
