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

  // Written in full: its final bits, and closed. A copy of the descriptor
  // is kept in `handle` when that has none, to sync the file system by.
  Result<void> close(mode_t mode, Fd& handle) {
    if (::fchmod(fd_.get(), mode) != 0) return os_error(errno);
    if (!handle.valid()) {
      const int copy = ::fcntl(fd_.get(), F_DUPFD_CLOEXEC, 0);
      if (copy < 0) return os_error(errno);
      handle = Fd(copy);
    }
    return close_checked(fd_);
  }

  // Only once its content is synced.
  Result<void> rename_to(const std::string& destination) {
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

// The writer thread's side: one file at a time, landed in batches. A file
// gets its real name only after its content is on the disk, so that after
// a power cut the name holds all of the file or none; one sync of the file
// system for a batch costs what one sync per file would cost for each.
class FileWriter::Work {
 public:
  explicit Work(std::atomic<bool>& stopped) : stopped_(stopped) {}

  void begin(FileJob job) {
    WriteOutcome outcome;
    outcome.position = job.position;
    outcome.manifest_index = job.manifest_index;
    current_.emplace(Landing{std::move(job), std::move(outcome), std::nullopt});
    skipped_ = stopped_.load();
    if (skipped_) return;
    auto partial = PartialFile::create(parent_path(current_->job.destination));
    if (!partial) {
      fail(*current_, copy_failed(current_->job, partial.error()));
      return;
    }
    current_->partial.emplace(std::move(*partial));
  }

  void piece(const char* data, std::size_t size) {
    current_->outcome.bytes += size;
    if (!current_->partial || size == 0) return;
    if (auto written = write_all(current_->partial->fd(), std::string_view(data, size)); !written) {
      fail(*current_, copy_failed(current_->job, written.error()));
    }
  }

  void finish(std::optional<Error> verdict, std::vector<WriteOutcome>& done) {
    Landing& landing = *current_;
    landing.outcome.verdict_ok = !verdict;
    if (skipped_) {
      landing.outcome.state = WriteOutcome::State::kSkipped;
    } else if (!landing.outcome.error) {  // a write that failed first is the file's line
      if (verdict) {
        fail(landing, std::move(*verdict));
      } else if (auto closed = landing.partial->close(final_mode(landing.job.destination, umask_), sync_handle_);
                 !closed) {
        fail(landing, copy_failed(landing.job, closed.error()));
      }
    }
    batch_bytes_ += landing.outcome.bytes;
    batch_.push_back(std::move(landing));
    current_.reset();
    if (batch_.size() >= kBatchFiles || batch_bytes_ >= kBatchBytes) land(done);
  }

  // Syncs, renames into place and reads back every file of the batch.
  void land(std::vector<WriteOutcome>& done) {
    std::optional<Error> unsynced;
    if (sync_handle_.valid()) {
      if (::syncfs(sync_handle_.get()) != 0) unsynced = os_error(errno);
      sync_handle_.reset();
    }
    for (Landing& landing : batch_) {
      if (landing.partial) {
        if (unsynced) {
          fail(landing, copy_failed(landing.job, *unsynced));
        } else if (auto renamed = landing.partial->rename_to(landing.job.destination); !renamed) {
          fail(landing, copy_failed(landing.job, renamed.error()));
        } else {
          verify(landing);
        }
      }
      landing.partial.reset();
      if (landing.outcome.error) landing.outcome.state = WriteOutcome::State::kFailed;
      done.push_back(std::move(landing.outcome));
    }
    batch_.clear();
    batch_bytes_ = 0;
  }

 private:
  // Enough to make one sync worth it, little enough that reading the files
  // back still finds them in memory.
  static constexpr std::size_t kBatchFiles = 256;
  static constexpr std::uint64_t kBatchBytes = 64 << 20;

  struct Landing {
    FileJob job;
    WriteOutcome outcome;
    std::optional<PartialFile> partial;  // until it fails or lands
  };

  static Error copy_failed(const FileJob& job, const Error& error) {
    return Error(trf("Copy failed for {}: {}", job.original_path, error.message()), error.kind());
  }

  // A full disk fails every file after this one too: the copy stops here.
  void fail(Landing& landing, Error error) {
    if (error.kind() == ErrorKind::kNoSpace) stopped_.store(true);
    if (landing.partial) landing.partial->discard();
    landing.partial.reset();
    landing.outcome.error = std::move(error);
  }

  void verify(Landing& landing) {
    const FileJob& job = landing.job;
    auto digest = sha256_file(job.destination);
    if (!digest) {
      landing.outcome.error = Error(trf("Cannot verify {} after copy: {}", job.original_path, digest.error().message()));
    } else if (*digest != job.sha256) {
      landing.outcome.error =
          Error(trf("Copy verification failed for {} (expected {}, got {})", job.original_path, job.sha256, *digest));
    }
  }

  std::atomic<bool>& stopped_;
  mode_t umask_ = current_umask();
  std::optional<Landing> current_;
  bool skipped_ = false;
  std::vector<Landing> batch_;
  std::uint64_t batch_bytes_ = 0;
  Fd sync_handle_;
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
  push({Task::Kind::kLand, {}, {}, 0, {}});
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
    std::vector<WriteOutcome> done;
    switch (task.kind) {
      case Task::Kind::kBegin:
        work.begin(std::move(task.job));
        break;
      case Task::Kind::kPiece:
        work.piece(task.piece.data(), task.size);
        break;
      case Task::Kind::kFinish:
        work.finish(std::move(task.verdict), done);
        break;
      case Task::Kind::kLand:
        work.land(done);
        break;
    }
    lock.lock();
    if (task.kind == Task::Kind::kPiece) free_.push_back(std::move(task.piece));
    done_ += done.size();
    for (WriteOutcome& outcome : done) outcomes_.push_back(std::move(outcome));
    changed_.notify_all();
  }
}

}  // namespace korvo
