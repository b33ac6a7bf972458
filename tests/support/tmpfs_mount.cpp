#include "support/tmpfs_mount.hpp"

#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>

namespace korvo::testing {
namespace {

// Empty when the process has its own mount namespace, else why not.
std::string private_mount_namespace() {
  static const std::string failure = [] {
    if (::unshare(CLONE_NEWNS) != 0) return std::string("unshare: ") + std::strerror(errno);
    // Nothing mounted from here on may reach the machine's namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      return std::string("making / private: ") + std::strerror(errno);
    }
    return std::string();
  }();
  return failure;
}

}  // namespace

TmpfsMount::TmpfsMount(std::string folder, std::size_t size_bytes) : folder_(std::move(folder)) {
  failure_ = private_mount_namespace();
  if (!failure_.empty()) return;
  const std::string options = "size=" + std::to_string(size_bytes) + ",mode=0755";
  if (::mount("tmpfs", folder_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
    failure_ = "mount tmpfs on " + folder_ + ": " + std::strerror(errno);
    return;
  }
  mounted_ = true;
}

TmpfsMount::~TmpfsMount() {
  if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
}

}  // namespace korvo::testing
