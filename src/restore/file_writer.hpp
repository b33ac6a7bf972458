#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/error.hpp"

// The writing half of the copy, on a thread of its own: while the reading
// half decrypts, inflates and hashes the next piece, this one writes the
// last to its private temporary name, places each file and reads it back.
// Writing into the page cache costs as much as all the rest, so the two
// halves overlap. Files are taken strictly in the order they are begun.
namespace korvo {

// One file the reading half has begun.
struct FileJob {
  std::size_t position = 0;        // in the copy's order
  std::size_t manifest_index = 0;
  std::string destination;
  std::string original_path;  // the name the failure lines give
  std::string sha256;         // what the read-back must match
};

struct WriteOutcome {
  std::size_t position = 0;
  std::size_t manifest_index = 0;
  std::uint64_t bytes = 0;  // handed over for it
  enum class State { kPlaced, kFailed, kSkipped } state = State::kPlaced;
  bool verdict_ok = false;  // the reading half found it whole and right
  std::optional<Error> error;  // when failed: the report line
};

class FileWriter {
 public:
  using Piece = std::vector<char>;

  explicit FileWriter(std::size_t piece_size);
  ~FileWriter();
  FileWriter(const FileWriter&) = delete;
  FileWriter& operator=(const FileWriter&) = delete;

  void begin(FileJob job);
  // An empty buffer of the piece size to fill; waits while all are in flight.
  Piece take_buffer();
  // The next bytes of the file begun last: the first `size` of `piece`.
  void write(Piece piece, std::size_t size);
  // That file's content is over. An error is its line: the file is not placed.
  void finish(std::optional<Error> verdict);

  // What came of files since the last call, without waiting.
  std::vector<WriteOutcome> take_outcomes();
  // Waits until every file handed over is done; what came of the rest.
  std::vector<WriteOutcome> drain();
  // A disk ran full: every file after that one is skipped.
  bool stopped() const { return stopped_.load(std::memory_order_relaxed); }

 private:
  struct Task {
    enum class Kind { kBegin, kPiece, kFinish } kind;
    FileJob job;
    Piece piece;
    std::size_t size = 0;
    std::optional<Error> verdict;
  };
  class Work;

  void push(Task task);
  void run();

  const std::size_t piece_size_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Task> tasks_;
  std::vector<Piece> free_;
  std::size_t pieces_made_ = 0;
  std::vector<WriteOutcome> outcomes_;
  std::size_t begun_ = 0;
  std::size_t done_ = 0;
  bool closing_ = false;
  std::atomic<bool> stopped_{false};
  std::thread thread_;
};

}  // namespace korvo
