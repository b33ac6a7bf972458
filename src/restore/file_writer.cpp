#include "restore/file_writer.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

#include <fmt/format.h>

#include "common/files.hpp"
#include "common/i18n.hpp"
#include "hashing/sha256.hpp"
#include "restore/file_copy.hpp"

namespace korvo {
namespace {

constexpr std::string_view kWifiPasswordsFile = "WiFi-Passwords.txt";
// Enough in flight to keep both halves busy, little enough to stay in the cache.
constexpr std::size_t kPiecesInFlight = 8;

// The file of Wi-Fi keys in clear is for this user's eyes only, whatever
// the umask; every other file gets what a new file gets.
mode_t final_mode(std::string_view destination, mode_t umask_bits) {
  const std::size_t slash = destination.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? destination : destination.substr(slash + 1);
  if (name == kWifiPasswordsFile) return 0600;
  return 0666 & ~umask_bits;
}

mode_t current_umask() {
  const mode_t bits = ::umask(0);
  ::umask(bits);
  return bits;
}

// A new, private (0600) file beside the destination, removed again unless
// it is renamed into place.
class PartialFile {
 public:
  static Result<PartialFile> create(const std::string& folder) {
    std::string name = join_path(folder, std::string(kPartialPrefix) + "XXXXXX");
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return os_error(errno);
    return PartialFile(Fd(fd), std::move(name));
  }
  PartialFile(PartialFile&& other) noexcept : fd_(std::move(other.fd_)), path_(std::exchange(other.path_, {})) {}
  PartialFile& operator=(PartialFile&&) = delete;
  ~PartialFile() {
    if (!path_.empty()) (void)::unlink(path_.c_str());
  }

  int fd() const { return fd_.get(); }

  void discard() {
    fd_.reset();
    if (!path_.empty()) (void)::unlink(path_.c_str());
    path_.clear();
  }

  // Synced before the rename: after a power cut the name holds all of the file or none.
  Result<void> place(const std::string& destination, mode_t mode) {
    if (::fchmod(fd_.get(), mode) != 0) return os_error(errno);
    while (::fdatasync(fd_.get()) != 0) {
      if (errno != EINTR) return os_error(errno);
    }
    KORVO_RETURN_IF_ERROR(close_checked(fd_));
    if (::rename(path_.c_str(), destination.c_str()) != 0) return os_error(errno);
    path_.clear();
    return Ok{};
  }

 private:
  PartialFile(Fd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
  Fd fd_;
  std::string path_;
};

}  // namespace

// The writer thread's side: one file at a time.
class FileWriter::Work {
 public:
  explicit Work(std::atomic<bool>& stopped) : stopped_(stopped) {}

  void begin(FileJob job) {
    job_ = std::move(job);
    outcome_ = WriteOutcome{};
    outcome_.position = job_.position;
    outcome_.manifest_index = job_.manifest_index;
    partial_.reset();
    error_.reset();
    skipped_ = stopped_.load();
    if (skipped_) return;
    auto partial = PartialFile::create(parent_path(job_.destination));
    if (!partial) {
      fail(copy_failed(partial.error()));
      return;
    }
    partial_.emplace(std::move(*partial));
  }

  void piece(const char* data, std::size_t size) {
    outcome_.bytes += size;
    if (!partial_ || error_ || size == 0) return;
    if (auto written = write_all(partial_->fd(), std::string_view(data, size)); !written) {
      abandon();
      fail(copy_failed(written.error()));
    }
  }

  WriteOutcome finish(std::optional<Error> verdict) {
    outcome_.verdict_ok = !verdict;
    if (skipped_) {
      outcome_.state = WriteOutcome::State::kSkipped;
      return outcome_;
    }
    if (!error_ && verdict) {
      abandon();
      error_ = std::move(verdict);
    }
    if (!error_) place();
    partial_.reset();
    if (error_) {
      outcome_.state = WriteOutcome::State::kFailed;
      outcome_.error = std::move(error_);
    }
    return outcome_;
  }

 private:
  Error copy_failed(const Error& error) const {
    return Error(trf("Copy failed for {}: {}", job_.original_path, error.message()), error.kind());
  }

  // A full disk fails every file after this one too: the copy stops here.
  void fail(Error error) {
    if (error.kind() == ErrorKind::kNoSpace) stopped_.store(true);
    error_ = std::move(error);
  }

  void abandon() {
    if (partial_) partial_->discard();
  }

  void place() {
    if (auto placed = partial_->place(job_.destination, final_mode(job_.destination, umask_)); !placed) {
      partial_->discard();
      fail(copy_failed(placed.error()));
      return;
    }
    auto digest = sha256_file(job_.destination);
    if (!digest) {
      fail(Error(trf("Cannot verify {} after copy: {}", job_.original_path, digest.error().message())));
    } else if (*digest != job_.sha256) {
      fail(Error(trf("Copy verification failed for {} (expected {}, got {})", job_.original_path, job_.sha256,
                     *digest)));
    }
  }

  std::atomic<bool>& stopped_;
  mode_t umask_ = current_umask();
  FileJob job_;
  WriteOutcome outcome_;
  std::optional<PartialFile> partial_;
  std::optional<Error> error_;
  bool skipped_ = false;
};

FileWriter::FileWriter(std::size_t piece_size) : piece_size_(piece_size) {
  // The run's own signals stay with the thread that handles them.
  sigset_t run_signals, before;
  sigemptyset(&run_signals);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&run_signals, signal);
  pthread_sigmask(SIG_BLOCK, &run_signals, &before);
  thread_ = std::thread([this] { run(); });
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

FileWriter::~FileWriter() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void FileWriter::push(Task task) {
  {
    std::lock_guard lock(mutex_);
    if (task.kind == Task::Kind::kBegin) ++begun_;
    tasks_.push_back(std::move(task));
  }
  changed_.notify_all();
}

void FileWriter::begin(FileJob job) { push({Task::Kind::kBegin, std::move(job), {}, 0, {}}); }

FileWriter::Piece FileWriter::take_buffer() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !free_.empty() || pieces_made_ < kPiecesInFlight; });
  if (free_.empty()) {
    ++pieces_made_;
    return Piece(piece_size_);
  }
  Piece piece = std::move(free_.back());
  free_.pop_back();
  return piece;
}

void FileWriter::write(Piece piece, std::size_t size) { push({Task::Kind::kPiece, {}, std::move(piece), size, {}}); }

void FileWriter::finish(std::optional<Error> verdict) {
  push({Task::Kind::kFinish, {}, {}, 0, std::move(verdict)});
}

std::vector<WriteOutcome> FileWriter::take_outcomes() {
  std::lock_guard lock(mutex_);
  return std::exchange(outcomes_, {});
}

std::vector<WriteOutcome> FileWriter::drain() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return done_ == begun_ && tasks_.empty(); });
  return std::exchange(outcomes_, {});
}

void FileWriter::run() {
  Work work(stopped_);
  std::unique_lock lock(mutex_);
  while (true) {
    changed_.wait(lock, [this] { return !tasks_.empty() || closing_; });
    if (tasks_.empty()) return;
    Task task = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    std::optional<WriteOutcome> outcome;
    switch (task.kind) {
      case Task::Kind::kBegin:
        work.begin(std::move(task.job));
        break;
      case Task::Kind::kPiece:
        work.piece(task.piece.data(), task.size);
        break;
      case Task::Kind::kFinish:
        outcome = work.finish(std::move(task.verdict));
        break;
    }
    lock.lock();
    if (task.kind == Task::Kind::kPiece) free_.push_back(std::move(task.piece));
    if (outcome) {
      outcomes_.push_back(std::move(*outcome));
      ++done_;
    }
    changed_.notify_all();
  }
}

}  // namespace korvo
