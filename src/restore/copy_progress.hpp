#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "dialogs/dialogs.hpp"
#include "restore/manifest.hpp"

// How far a restore has got, by bytes rather than by files: a big first file
// and many small ones after it move the bar as the time they take. A copy
// loop (or a read-only check) tells it each file; it tells the display.
namespace korvo {

using ProgressClock = std::function<std::chrono::steady_clock::time_point()>;

// What the report says at the end.
struct CopySummary {
  std::uint64_t bytes = 0;  // of the files that came back
  std::chrono::steady_clock::duration elapsed{};
};

// Sends the display at most about ten updates a second however many files
// go by, and one last update on finish. The time left appears once five
// seconds and one percent of the bytes have passed, from a speed smoothed
// over the last quarter of a minute or so, so that it does not jump.
class CopyProgress {
 public:
  // `total_bytes` as copy_total counts it; the steady clock unless a test brings its own.
  CopyProgress(Progress& display, std::uint64_t total_bytes, ProgressClock clock = {});

  // A file is about to be written; `size` as its entry lists it.
  void begin_file(std::string_view windows_path, std::uint64_t size);
  // More bytes of that file are written.
  void wrote(std::uint64_t bytes);
  // An entry is over, whether or not it got as far as begin_file: its whole
  // share counts as done. `came_back`: the file is in place and right.
  void file_done(std::uint64_t size, bool came_back);
  // A file that file_done counted as back did not land after all (written
  // on another thread, it failed there): its bytes no longer count.
  void file_lost(std::uint64_t bytes);
  // A file already right from an earlier run: done at once, nothing written.
  void file_kept(std::string_view windows_path, std::uint64_t size);
  // Shows where it ended; the report's figures.
  CopySummary finish();

 private:
  using TimePoint = std::chrono::steady_clock::time_point;

  std::uint64_t done() const;
  void update(bool last = false);
  void measure(TimePoint now);
  TransferUpdate current() const;

  Progress& display_;
  std::uint64_t total_;
  ProgressClock clock_;
  TimePoint started_;
  std::uint64_t completed_ = 0;  // the shares of the entries over
  std::string path_;             // of the file begun last
  bool in_file_ = false;
  std::uint64_t file_share_ = 0;
  std::uint64_t file_written_ = 0;
  std::uint64_t written_ = 0;  // every byte written: the speed
  std::uint64_t came_back_ = 0;
  std::optional<double> rate_;  // bytes a second, smoothed
  TimePoint sampled_at_{};
  std::uint64_t written_at_sample_ = 0;
  std::optional<TimePoint> sent_at_;
  TransferUpdate sent_;
};

// The bytes a list of files counts for: each file at least one, so that
// empty files move the bar too.
std::uint64_t copy_total(const ManifestFiles& files);

// "512 bytes", "12.3 GB": decimal units, one decimal past a thousand bytes.
std::string byte_size_text(std::uint64_t bytes);
// "less than a minute left", "about 25 minutes left", "about 1 hour 5 minutes left".
std::string time_left_text(std::uint64_t seconds);
// "210.0 GB in 41 minutes".
std::string copy_summary_text(const CopySummary& summary);

}  // namespace korvo
