#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/files.hpp"
#include "common/i18n.hpp"

// Removal that holds one descriptor per level runs out of them in a deep
// tree, and one that stops at the first failure leaves everything after it:
// a staging folder holds the decrypted backup. This walks with two
// descriptors, going back up through ".." checked against the folder it
// came from; deletes what it can; and marks each folder that it has to
// leave, so that nothing is tried twice. No allocation, so a signal handler
// can run it too.
namespace korvo {
namespace {

constexpr std::size_t kPathRoom = PATH_MAX + NAME_MAX + 2;
constexpr std::size_t kSpareFolders = 8192;

// getdents64's record: inode (8 bytes), offset (8), length (2), type (1), name.
constexpr std::size_t kRecordLengthAt = 16;
constexpr std::size_t kRecordTypeAt = 18;
constexpr std::size_t kRecordNameAt = 19;

// Where a failure goes; a handler passes none.
class LeftReport {
 public:
  virtual ~LeftReport() = default;
  virtual void left(const char* path, int error) = 0;
};

void close_quietly(int fd) {
  if (fd >= 0) (void)::close(fd);
}

bool same(FileId a, FileId b) { return a.device == b.device && a.inode == b.inode; }

std::optional<FileId> id_of(int fd) {
  struct stat info;
  if (::fstat(fd, &info) != 0) return std::nullopt;
  return FileId{info.st_dev, info.st_ino};
}

class Removal {
 public:
  // Half of `spare` holds the folders on the way down, half those left.
  Removal(int top, const char* top_path, FileId* spare, std::size_t capacity, LeftReport* report)
      : top_(top),
        way_(spare),
        way_capacity_(capacity / 2),
        left_(spare + capacity / 2),
        left_capacity_(capacity - capacity / 2),
        report_(report) {
    top_length_ = std::min(std::strlen(top_path), kPathRoom - 1);
    std::memcpy(path_, top_path, top_length_);
    path_[top_length_] = '\0';
  }

  // Empties the top folder as far as it goes; false when it gave up, with
  // more folders left, or deeper, than it has room to remember.
  bool run() {
    const auto top_id = id_of(top_);
    if (!top_id || way_capacity_ == 0) return false;
    device_ = top_id->device;
    while (!gave_up_) {
      // From the top: at first, and when the way back up is lost.
      int current = top_;
      std::size_t depth = 0;
      way_[0] = *top_id;
      path_length_ = top_length_;
      path_[path_length_] = '\0';
      unrecorded_ = 0;
      while (!gave_up_) {
        char sub[NAME_MAX + 1];
        FileId sub_id;
        const Scan scanned = scan(current, sub, sub_id);
        if (scanned == Scan::kEnter) {
          const int opened = open_folder(current, sub, sub_id);
          if (opened < 0) continue;
          if (current != top_) close_quietly(current);
          current = opened;
          ++depth;
          if (depth < way_capacity_) way_[depth] = sub_id;
          enter(sub);
          continue;
        }
        if (current == top_) return !gave_up_;
        // The parent's next scan removes this folder once it is empty;
        // one that keeps something is marked, so as not to be entered again.
        if (scanned == Scan::kKept) {
          if (const auto id = id_of(current)) leave(*id);
        }
        const int up = climb(current, depth);
        close_quietly(current);
        if (up < 0) break;
        current = up;
        --depth;
        leave_path();
      }
    }
    return false;
  }

 private:
  enum class Scan { kEnter, kEmptied, kKept };

  // Deletes every entry of the open folder that it can, folders that are
  // empty included; kEnter with the first folder still to empty in `sub`.
  Scan scan(int folder, char* sub, FileId& sub_id) {
    if (::lseek(folder, 0, SEEK_SET) < 0) {
      report(nullptr, errno);
      return Scan::kKept;
    }
    bool kept = false;
    alignas(8) char records[8192];
    while (true) {
      const long got = ::syscall(SYS_getdents64, folder, records, sizeof records);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        report(nullptr, errno);
        return Scan::kKept;
      }
      if (got == 0) return kept ? Scan::kKept : Scan::kEmptied;
      for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
        unsigned short length = 0;
        std::memcpy(&length, records + at + kRecordLengthAt, sizeof length);
        const unsigned char type = static_cast<unsigned char>(records[at + kRecordTypeAt]);
        const char* entry = records + at + kRecordNameAt;
        at += length;
        if (std::strcmp(entry, ".") == 0 || std::strcmp(entry, "..") == 0) continue;
        if (type != DT_DIR && type != DT_UNKNOWN) {
          kept |= !remove_file(folder, entry);
          continue;
        }
        if (::unlinkat(folder, entry, AT_REMOVEDIR) == 0) continue;
        const int error = errno;
        if (error == ENOENT) continue;
        struct stat info;
        if (::fstatat(folder, entry, &info, AT_SYMLINK_NOFOLLOW) != 0) {
          kept |= errno != ENOENT;
          if (errno != ENOENT) report(entry, errno);
          continue;
        }
        if (!S_ISDIR(info.st_mode)) {
          kept |= !remove_file(folder, entry);
          continue;
        }
        const FileId id{info.st_dev, info.st_ino};
        if (is_left(id)) {
          kept = true;
          continue;
        }
        // A file system mounted here is never entered.
        if (info.st_dev != device_) {
          report(entry, error);
          leave(id);
          kept = true;
          continue;
        }
        // A folder that cannot go itself is still emptied, once.
        if (error != ENOTEMPTY && error != EEXIST) {
          report(entry, error);
          leave(id);
          kept = true;
        }
        const std::size_t name_length = std::strlen(entry);
        if (name_length > NAME_MAX) continue;
        std::memcpy(sub, entry, name_length + 1);
        sub_id = id;
        return Scan::kEnter;
      }
    }
  }

  bool remove_file(int folder, const char* entry) {
    if (::unlinkat(folder, entry, 0) == 0 || errno == ENOENT) return true;
    report(entry, errno);
    return false;
  }

  // The folder as the scan found it, or -1 when it is to be left or looked
  // at again.
  int open_folder(int parent, const char* entry, FileId id) {
    const int fd = ::openat(parent, entry, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      const int error = errno;
      if (error == ENOENT) return -1;
      report(entry, error);
      leave(id);
      return -1;
    }
    const auto opened = id_of(fd);
    if (!opened || !same(*opened, id)) {
      close_quietly(fd);
      return -1;
    }
    return fd;
  }

  // The folder above `current`, checked to be the one the walk came down
  // through; -1 when that cannot be told.
  int climb(int current, std::size_t depth) {
    if (depth == 1) return top_;
    if (depth - 1 >= way_capacity_) return -1;
    const int up = ::openat(current, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (up < 0) return -1;
    const auto id = id_of(up);
    if (!id || !same(*id, way_[depth - 1])) {
      close_quietly(up);
      return -1;
    }
    return up;
  }

  bool is_left(FileId id) const {
    for (std::size_t i = 0; i < left_count_; ++i) {
      if (same(left_[i], id)) return true;
    }
    return false;
  }

  void leave(FileId id) {
    if (is_left(id)) return;
    if (left_count_ == left_capacity_) {
      gave_up_ = true;
      return;
    }
    left_[left_count_++] = id;
  }

  void enter(const char* name) {
    const std::size_t length = std::strlen(name);
    if (unrecorded_ > 0 || path_length_ + 1 + length >= kPathRoom) {
      ++unrecorded_;  // only a report would have shown it
      return;
    }
    path_[path_length_++] = '/';
    std::memcpy(path_ + path_length_, name, length + 1);
    path_length_ += length;
  }

  void leave_path() {
    if (unrecorded_ > 0) {
      --unrecorded_;
      return;
    }
    while (path_length_ > top_length_ && path_[path_length_ - 1] != '/') --path_length_;
    if (path_length_ > top_length_) --path_length_;
    path_[path_length_] = '\0';
  }

  // The entry `name` of the current folder, or the folder itself.
  void report(const char* name, int error) {
    if (report_ == nullptr) return;
    if (name == nullptr) {
      report_->left(path_, error);
      return;
    }
    const std::size_t saved = path_length_;
    const std::size_t saved_unrecorded = unrecorded_;
    enter(name);
    report_->left(path_, error);
    path_length_ = saved;
    unrecorded_ = saved_unrecorded;
    path_[path_length_] = '\0';
  }

  int top_;
  dev_t device_ = 0;
  FileId* way_;
  std::size_t way_capacity_;
  FileId* left_;
  std::size_t left_capacity_;
  std::size_t left_count_ = 0;
  bool gave_up_ = false;
  LeftReport* report_;
  char path_[kPathRoom];
  std::size_t top_length_ = 0;
  std::size_t path_length_ = 0;
  std::size_t unrecorded_ = 0;
};

// Keeps the first thing left behind.
class FirstLeft : public LeftReport {
 public:
  void left(const char* path, int error) override {
    if (!first_) first_ = Error(trf("Cannot remove {}", std::string(path)), os_error(error));
  }
  const std::optional<Error>& first() const { return first_; }

 private:
  std::optional<Error> first_;
};

}  // namespace

Result<void> remove_tree(const std::string& path) {
  auto top = open_file(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (!top) return Error(trf("Cannot remove {}", path), top.error());
  std::vector<FileId> spare(kSpareFolders);
  FirstLeft report;
  const bool finished = Removal(top->get(), path.c_str(), spare.data(), spare.size(), &report).run();
  top->reset();
  if (report.first()) return *report.first();
  if (!finished) return Error(trf("Cannot remove {}", path), os_error(ENOMEM));
  if (::rmdir(path.c_str()) != 0) return Error(trf("Cannot remove {}", path), os_error(errno));
  return Ok{};
}

bool remove_tree_quietly(const char* path, FileId* spare, std::size_t capacity) {
  const int top = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (top < 0) return false;
  const bool finished = Removal(top, path, spare, capacity, nullptr).run();
  close_quietly(top);
  return finished && ::rmdir(path) == 0;
}

}  // namespace korvo
