#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "common/error.hpp"
#include "common/i18n.hpp"

namespace korvo {

// An owned file descriptor, closed on destruction.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release();
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// open(2) with O_CLOEXEC and an EINTR retry; the error is the OS error.
Result<Fd> open_file(const std::string& path, int flags, mode_t mode = 0666);

// Closes the file and reports what close(2) says: a delayed write error
// (a full disk, a failing drive) may show up only there.
Result<void> close_checked(Fd& fd);

// Writes all bytes, retrying short writes and EINTR.
Result<void> write_all(int fd, std::string_view bytes);

// Reads until the buffer is full or end of file; returns the byte count.
Result<std::size_t> read_full(int fd, void* buffer, std::size_t size);
// The same from `offset`, leaving the file position alone.
Result<std::size_t> pread_full(int fd, void* buffer, std::size_t size, std::uint64_t offset);

// The whole file as bytes; the error is the OS error.
Result<std::string> read_file(const std::string& path);

// The whole file, which must be valid UTF-8; otherwise the cause is
// "stream did not contain valid UTF-8".
Result<std::string> read_text_file(const std::string& path);
inline constexpr std::string_view kNotUtf8Message = N_("stream did not contain valid UTF-8");

// Creates or truncates the file (mode 0666 before umask) and writes the bytes.
Result<void> write_file(const std::string& path, std::string_view bytes);

// Path tests that follow symbolic links; any failure reads as false.
bool is_directory(const std::string& path);
bool is_regular_file(const std::string& path);
bool path_exists_nofollow(const std::string& path);
Result<std::uint64_t> file_size(const std::string& path);

// realpath(3); the error is the OS error.
Result<std::string> canonical_path(const std::string& path);

// mkdir -p with mode 0777 before umask; an existing directory is fine.
Result<void> create_directories(const std::string& path);

// create_directories for many paths in one run: a folder that it made or
// found is remembered and not looked at again. A failure is not remembered.
class FolderMaker {
 public:
  Result<void> make(const std::string& path);

 private:
  std::unordered_set<std::string> known_;
};

// Deletes a directory and everything below it with at most three
// descriptors open, whatever its depth; never follows a symbolic link or
// enters another file system, and goes on past what it cannot delete. The
// error names the first thing left behind, with the reason it could not go.
Result<void> remove_tree(const std::string& path);

// A file's identity on its file system.
struct FileId {
  dev_t device = 0;
  ino_t inode = 0;
};

// remove_tree for a signal handler: no allocation and no report. `spare`
// has room for the folders that have to be left; true when the tree is gone.
bool remove_tree_quietly(const char* path, FileId* spare, std::size_t capacity);

// Names in a directory, "." and ".." left out, in the listing's order.
Result<std::vector<std::string>> list_directory(const std::string& path);

// Joins with one "/" unless base is empty or already ends with "/".
std::string join_path(std::string_view base, std::string_view name);

// Everything before the last "/"; empty when there is none.
std::string parent_path(std::string_view path);

// Copies the bytes of source over destination (created or truncated) and
// gives it the source's permission bits; the kernel copies where it can.
Result<void> copy_file(const std::string& source, const std::string& destination);

// Told the bytes of each piece of a copy as it lands.
using WrittenCallback = std::function<void(std::uint64_t)>;

// The same copy from a file already open for reading; it is read from its
// start, whatever its offset. With `exact_mode`, the destination gets
// exactly those bits before its first byte, instead of the source's.
Result<void> copy_open_file(int source, const std::string& destination, std::optional<mode_t> exact_mode = {},
                            const WrittenCallback& on_written = {});

// The same copy, but the destination gets exactly `mode`, set before the
// first byte is written, so secret content is never readable under wider bits.
Result<void> copy_file_with_mode(const std::string& source, const std::string& destination, mode_t mode);

// Target of /proc/self/exe.
Result<std::string> own_executable_path();


}  // namespace korvo
