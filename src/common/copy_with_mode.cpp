#include "common/copy_with_mode.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string_view>

#include "common/files.hpp"

namespace korvo {
namespace {

constexpr std::size_t kKernelChunk = std::size_t{1} << 30;
constexpr std::size_t kBufferSize = std::size_t{1} << 20;

Result<void> copy_by_reading(int in, int out) {
  std::unique_ptr<char[]> buffer(new char[kBufferSize]);
  while (true) {
    const ssize_t got = ::read(in, buffer.get(), kBufferSize);
    if (got < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (got == 0) return Ok{};
    auto written = write_all(out, std::string_view(buffer.get(), static_cast<std::size_t>(got)));
    if (!written) return written;
  }
}

}  // namespace

Result<void> copy_file_with_mode(const std::string& source, const std::string& destination, mode_t mode) {
  auto in = open_file(source, O_RDONLY);
  if (!in) return in.error();
  auto out = open_file(destination, O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (!out) return out.error();
  // An existing file keeps its old bits through open(2).
  if (::fchmod(out->get(), mode) != 0) return os_error(errno);

  while (true) {
    const ssize_t copied = ::copy_file_range(in->get(), nullptr, out->get(), nullptr, kKernelChunk, 0);
    if (copied == 0) break;
    if (copied > 0) continue;
    if (errno == EINTR) continue;
    // Not supported between these file systems: fall back to plain reads.
    if (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL) {
      auto done = copy_by_reading(in->get(), out->get());
      if (!done) return done;
      break;
    }
    return os_error(errno);
  }
  if (::close(out->release()) != 0) return os_error(errno);
  return Ok{};
}

}  // namespace korvo
