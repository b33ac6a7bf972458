#include "common/disk_space.hpp"
#include "common/i18n.hpp"

#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>

#include <fmt/format.h>

namespace korvo {
namespace {

constexpr std::uint64_t kMaxMargin = std::uint64_t{1} << 30;

}  // namespace

Result<DiskSpace> disk_space(const std::string& path) {
  struct statvfs info;
  if (::statvfs(path.c_str(), &info) != 0) return os_error(errno, path);
  const std::uint64_t unit = info.f_frsize != 0 ? info.f_frsize : info.f_bsize;
  return DiskSpace{std::uint64_t{info.f_bavail} * unit, std::uint64_t{info.f_blocks} * unit};
}

std::uint64_t free_space_margin(const DiskSpace& space) { return std::min(space.size / 100, kMaxMargin); }

std::string format_bytes(std::uint64_t bytes) {
  if (bytes < 1000) return trf("{} bytes", bytes);
  constexpr const char* kUnits[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
  double value = static_cast<double>(bytes) / 1000;
  std::size_t unit = 0;
  // Rounded as shown, so that 999.96 kB reads "1.0 MB", not "1000.0 kB".
  while (value >= 999.95 && unit + 1 < std::size(kUnits)) {
    value /= 1000;
    ++unit;
  }
  return fmt::format("{:.1f} {}", value, kUnits[unit]);
}

Result<void> check_room(const std::string& folder, std::uint64_t needed, std::string_view advice) {
  auto space = disk_space(folder);
  if (!space) return Ok{};  // a disk that cannot tell is tried; a write that fails still says why
  const std::uint64_t margin = free_space_margin(*space);
  const std::uint64_t wanted = needed > UINT64_MAX - margin ? UINT64_MAX : needed + margin;
  if (wanted <= space->available) return Ok{};
  return Error(trf("Not enough free space in {}: the restore needs {} there and {} are free. {}", folder,
                           format_bytes(wanted), format_bytes(space->available), tr(advice)),
               ErrorKind::kNoSpace);
}

}  // namespace korvo
