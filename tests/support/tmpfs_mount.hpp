#pragma once

#include <cstddef>
#include <string>

namespace korvo::testing {

// A small tmpfs mounted on an existing folder for as long as the guard
// lives, to make a disk fill up. The first mount moves the test process into
// a private mount namespace of its own, so that no mount can outlive the
// process even if it dies before the guard's destructor runs.
class TmpfsMount {
 public:
  TmpfsMount(std::string folder, std::size_t size_bytes);
  ~TmpfsMount();
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;

  bool mounted() const { return mounted_; }
  // Why mounting failed, for the skip message.
  const std::string& failure() const { return failure_; }

 private:
  std::string folder_;
  bool mounted_ = false;
  std::string failure_;
};

}  // namespace korvo::testing
