#include "common/files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <vector>

#include <fmt/format.h>

#include "common/text.hpp"
#include "common/i18n.hpp"

namespace korvo {

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int Fd::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void Fd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

Result<Fd> open_file(const std::string& path, int flags, mode_t mode) {
  // open(2) would stop at the NUL and open some other, shorter path.
  if (path.find('\0') != std::string::npos) return os_error(EINVAL);
  while (true) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd >= 0) return Fd(fd);
    if (errno != EINTR) return os_error(errno);
  }
}

Result<void> write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return Ok{};
}

namespace {

// One loop for both: pread when an offset is given.
Result<std::size_t> read_until(int fd, void* buffer, std::size_t size, std::optional<std::uint64_t> offset) {
  std::size_t done = 0;
  auto* bytes = static_cast<char*>(buffer);
  while (done < size) {
    const ssize_t got = offset ? ::pread(fd, bytes + done, size - done, static_cast<off_t>(*offset + done))
                               : ::read(fd, bytes + done, size - done);
    if (got < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

}  // namespace

Result<std::size_t> read_full(int fd, void* buffer, std::size_t size) { return read_until(fd, buffer, size, {}); }

Result<std::size_t> pread_full(int fd, void* buffer, std::size_t size, std::uint64_t offset) {
  return read_until(fd, buffer, size, offset);
}

Result<std::string> read_file(const std::string& path) {
  auto fd = open_file(path, O_RDONLY);
  if (!fd) return fd.error();
  std::string content;
  char buffer[65536];
  while (true) {
    const ssize_t got = ::read(fd->get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (got == 0) break;
    content.append(buffer, static_cast<std::size_t>(got));
  }
  return content;
}

Result<std::string> read_text_file(const std::string& path) {
  auto content = read_file(path);
  if (!content) return content;
  if (!is_valid_utf8(*content)) return Error(tr(kNotUtf8Message));
  return content;
}

Result<void> write_file(const std::string& path, std::string_view bytes) {
  auto fd = open_file(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (!fd) return fd.error();
  return write_all(fd->get(), bytes);
}

bool is_directory(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool is_regular_file(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool path_exists_nofollow(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

Result<std::uint64_t> file_size(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return os_error(errno);
  return static_cast<std::uint64_t>(info.st_size);
}

Result<std::string> canonical_path(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
  if (!resolved) return os_error(errno);
  return std::string(resolved.get());
}

namespace {

// mkdir that accepts an existing directory.
int make_directory(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) == 0) return 0;
  const int err = errno;
  return err == EEXIST && is_directory(path) ? 0 : err;
}

}  // namespace

Result<void> create_directories(const std::string& path) {
  if (path.empty()) return os_error(ENOENT);
  // Usually the folder or its parent is there already: one or two system
  // calls, not one per component (this runs once per restored file).
  if (is_directory(path)) return Ok{};
  std::vector<std::string> missing;  // deepest first
  std::string current = path;
  while (true) {
    const int err = make_directory(current);
    if (err == 0) break;
    if (err != ENOENT) return os_error(err);
    missing.push_back(current);
    current = parent_path(current);
    if (current.empty() || current == missing.back()) return os_error(ENOENT);
  }
  for (auto folder = missing.rbegin(); folder != missing.rend(); ++folder) {
    if (const int err = make_directory(*folder); err != 0) return os_error(err);
  }
  return Ok{};
}

Result<void> FolderMaker::make(const std::string& path) {
  if (known_.count(path) != 0) return Ok{};
  KORVO_RETURN_IF_ERROR(create_directories(path));
  known_.insert(path);
  return Ok{};
}

Result<std::vector<std::string>> list_directory(const std::string& path) {
  struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
  };
  std::unique_ptr<DIR, DirCloser> dir(::opendir(path.c_str()));
  if (!dir) return os_error(errno);
  std::vector<std::string> names;
  while (true) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) return os_error(errno);
      break;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    names.emplace_back(name);
  }
  return names;
}

std::string join_path(std::string_view base, std::string_view name) {
  std::string out(base);
  if (!out.empty() && out.back() != '/') out += '/';
  out += name;
  return out;
}

std::string parent_path(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {};
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

namespace {

// Streams the whole of `in`, from its start wherever an earlier reader left
// it, into `out`, in the kernel where it can.
Result<void> copy_contents(int in, int out, const WrittenCallback& on_written = {}) {
  // Someone watching gets word every few megabytes, even in one big file.
  const std::size_t step = on_written ? std::size_t{8} << 20 : std::size_t{1} << 30;
  loff_t offset = 0;
  while (true) {
    const ssize_t copied = ::copy_file_range(in, &offset, out, nullptr, step, 0);
    if (copied == 0) return Ok{};
    if (copied > 0) {
      if (on_written) on_written(static_cast<std::uint64_t>(copied));
      continue;
    }
    if (errno == EINTR) continue;
    // Not supported between these file systems: go on with plain reads.
    if (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL) break;
    return os_error(errno);
  }
  // One buffer for every copy of the run, as a restore copies file after file.
  constexpr std::size_t kBufferSize = std::size_t{1} << 20;
  thread_local std::unique_ptr<char[]> buffer;
  if (!buffer) buffer.reset(new char[kBufferSize]);
  while (true) {
    const ssize_t got = ::pread(in, buffer.get(), kBufferSize, offset);
    if (got < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (got == 0) return Ok{};
    offset += got;
    auto written = write_all(out, std::string_view(buffer.get(), static_cast<std::size_t>(got)));
    if (!written) return written;
    if (on_written) on_written(static_cast<std::uint64_t>(got));
  }
}

}  // namespace

Result<void> close_checked(Fd& fd) {
  if (::close(fd.release()) != 0) return os_error(errno);
  return Ok{};
}

Result<void> copy_file(const std::string& source, const std::string& destination) {
  auto in = open_file(source, O_RDONLY);
  if (!in) return in.error();
  return copy_open_file(in->get(), destination);
}

Result<void> copy_open_file(int source, const std::string& destination, std::optional<mode_t> exact_mode,
                            const WrittenCallback& on_written) {
  struct stat info;
  if (::fstat(source, &info) != 0) return os_error(errno);
  auto out = open_file(destination, O_WRONLY | O_CREAT | O_TRUNC, exact_mode.value_or(0666));
  if (!out) return out.error();
  // An existing file keeps its old bits through open(2); narrow them before any byte lands.
  if (exact_mode && ::fchmod(out->get(), *exact_mode) != 0) return os_error(errno);
  KORVO_RETURN_IF_ERROR(copy_contents(source, out->get(), on_written));
  if (!exact_mode && ::fchmod(out->get(), info.st_mode & 07777) != 0) return os_error(errno);
  return close_checked(*out);
}

Result<void> copy_file_with_mode(const std::string& source, const std::string& destination, mode_t mode) {
  auto in = open_file(source, O_RDONLY);
  if (!in) return in.error();
  auto out = open_file(destination, O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (!out) return out.error();
  // An existing file keeps its old bits through open(2); narrow them before any byte lands.
  if (::fchmod(out->get(), mode) != 0) return os_error(errno);
  KORVO_RETURN_IF_ERROR(copy_contents(in->get(), out->get()));
  return close_checked(*out);
}

Result<std::string> own_executable_path() {
  char buffer[PATH_MAX + 1];
  const ssize_t length = ::readlink("/proc/self/exe", buffer, PATH_MAX);
  if (length < 0) return os_error(errno);
  return std::string(buffer, static_cast<std::size_t>(length));
}


}  // namespace korvo
