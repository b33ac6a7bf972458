#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.hpp"

// Room on a disk, checked before a big write so that a shortage is found
// before the first byte and named as what it is.
namespace korvo {

struct DiskSpace {
  std::uint64_t available = 0;  // for this user, as statvfs gives it
  std::uint64_t size = 0;
};

// The disk that holds `path`; the OS error otherwise.
Result<DiskSpace> disk_space(const std::string& path);

// Room left free so the desktop keeps working: 1 % of the disk, at most 1 GiB.
std::uint64_t free_space_margin(const DiskSpace& space);

// Bytes as a person reads them: "512 bytes", "12.0 kB", "41.3 GB" (powers of 1000).
std::string format_bytes(std::uint64_t bytes);

// Fine when `needed` bytes and the margin fit on the disk of `folder`, or
// when its room cannot be read; otherwise a kNoSpace error naming the
// folder, both amounts, and `advice`.
Result<void> check_room(const std::string& folder, std::uint64_t needed, std::string_view advice);

}  // namespace korvo
