#include "restore/copy_progress.hpp"

#include <algorithm>
#include <cmath>

#include "common/i18n.hpp"

namespace korvo {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kUpdateGap = std::chrono::milliseconds(100);
constexpr auto kTimeLeftAfter = std::chrono::seconds(5);
constexpr auto kRateSample = std::chrono::seconds(1);
constexpr double kRateMemorySeconds = 15.0;
// Beyond any real restore; keeps a stalled copy's estimate a finite number.
constexpr double kLongestTimeLeft = 1e9;

std::uint64_t add_capped(std::uint64_t a, std::uint64_t b) { return b > UINT64_MAX - a ? UINT64_MAX : a + b; }

std::uint64_t share(std::uint64_t size) { return std::max<std::uint64_t>(size, 1); }

double seconds_of(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

// Sizes come from the backup: a hundred times one of them may not fit 64 bits.
unsigned percent_of(std::uint64_t part, std::uint64_t whole) {
  if (whole == 0) return 100;
  return static_cast<unsigned>(static_cast<unsigned __int128>(part) * 100 / whole);
}

// Rounded to whole minutes, the minute's first half rounding down.
std::uint64_t whole_minutes(std::uint64_t seconds) { return seconds / 60 + (seconds % 60 >= 30 ? 1 : 0); }

}  // namespace

CopyProgress::CopyProgress(Progress& display, std::uint64_t total_bytes, ProgressClock clock)
    : display_(display),
      total_(total_bytes),
      clock_(clock ? std::move(clock) : ProgressClock(&Clock::now)),
      started_(clock_()) {}

void CopyProgress::begin_file(std::string_view windows_path, std::uint64_t size) {
  path_ = windows_path;
  in_file_ = true;
  file_share_ = share(size);
  file_written_ = 0;
  update();
}

void CopyProgress::wrote(std::uint64_t bytes) {
  file_written_ = add_capped(file_written_, bytes);
  written_ = add_capped(written_, bytes);
  update();
}

// An entry that never began has no path to show: its bytes go to the next update.
void CopyProgress::file_done(std::uint64_t size, bool came_back) {
  const bool begun = in_file_;
  completed_ = add_capped(completed_, begun ? file_share_ : share(size));
  if (came_back) came_back_ = add_capped(came_back_, begun ? file_written_ : size);
  in_file_ = false;
  if (begun) update();
}

void CopyProgress::file_lost(std::uint64_t bytes) { came_back_ -= std::min(bytes, came_back_); }

void CopyProgress::file_kept(std::string_view windows_path, std::uint64_t size) {
  path_ = windows_path;
  in_file_ = false;
  completed_ = add_capped(completed_, share(size));
  came_back_ = add_capped(came_back_, size);
  update();
}

CopySummary CopyProgress::finish() {
  update(/*last=*/true);
  return {came_back_, clock_() - started_};
}

// A file longer than its entry says waits at its share until it is over.
std::uint64_t CopyProgress::done() const {
  const std::uint64_t part = in_file_ ? std::min(file_written_, file_share_) : 0;
  return std::min(add_capped(completed_, part), total_);
}

void CopyProgress::update(bool last) {
  const TimePoint now = clock_();
  if (!last && sent_at_ && now - *sent_at_ < kUpdateGap) return;
  // Nothing was ever shown: nothing to close with either.
  if (last && !sent_at_) return;
  measure(now);
  TransferUpdate next = current();
  if (sent_at_ && next == sent_) return;
  display_.transfer(next);
  sent_ = std::move(next);
  sent_at_ = now;
}

// The first estimate is the average so far; later ones lean on the last
// seconds, the older ones fading.
void CopyProgress::measure(TimePoint now) {
  if (!rate_) {
    if (now - started_ < kTimeLeftAfter || percent_of(done(), total_) < 1) return;
    rate_ = static_cast<double>(written_) / seconds_of(now - started_);
  } else {
    const auto gap = now - sampled_at_;
    if (gap < kRateSample) return;
    const double recent = static_cast<double>(written_ - written_at_sample_) / seconds_of(gap);
    *rate_ += (1 - std::exp(-seconds_of(gap) / kRateMemorySeconds)) * (recent - *rate_);
  }
  sampled_at_ = now;
  written_at_sample_ = written_;
}

TransferUpdate CopyProgress::current() const {
  TransferUpdate update;
  const std::uint64_t bytes = done();
  update.percent = percent_of(bytes, total_);
  update.amount = trf("{} of {}", byte_size_text(bytes), byte_size_text(total_));
  // Nothing written yet (every file so far was kept) tells no speed.
  if (rate_ && *rate_ >= 1) {
    update.speed = trf("{}/s", byte_size_text(static_cast<std::uint64_t>(*rate_)));
    if (bytes < total_) {
      const double left = std::min(static_cast<double>(total_ - bytes) / *rate_, kLongestTimeLeft);
      update.time_left = time_left_text(static_cast<std::uint64_t>(left));
    }
  }
  update.path = path_;
  return update;
}

std::uint64_t copy_total(const ManifestFiles& files) {
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < files.size(); ++i) total = add_capped(total, share(files[i].size_bytes));
  return total;
}

std::string byte_size_text(std::uint64_t bytes) {
  if (bytes < 1000) return trnf("{} byte", "{} bytes", bytes, bytes);
  unsigned __int128 unit = 1000;
  for (int step = 1;; ++step, unit *= 1000) {
    // Rounded first, so that 999.96 kB reads 1.0 MB rather than 1000.0 kB.
    const auto tenths = static_cast<std::uint64_t>((static_cast<unsigned __int128>(bytes) * 10 + unit / 2) / unit);
    if (tenths >= 10000 && step < 4) continue;
    const std::uint64_t whole = tenths / 10, tenth = tenths % 10;
    switch (step) {
      // TRANSLATORS: a size with one decimal: the whole number, then the
      // tenth, with your language's decimal sign; MB, GB and TB likewise.
      case 1: return trf("{}.{} kB", whole, tenth);
      case 2: return trf("{}.{} MB", whole, tenth);
      case 3: return trf("{}.{} GB", whole, tenth);
      default: return trf("{}.{} TB", whole, tenth);
    }
  }
}

std::string time_left_text(std::uint64_t seconds) {
  if (seconds < 60) return tr("less than a minute left");
  const std::uint64_t minutes = whole_minutes(seconds);
  if (minutes < 60) return trnf("about {} minute left", "about {} minutes left", minutes, minutes);
  const std::uint64_t hours = minutes / 60, rest = minutes % 60;
  if (rest == 0) return trnf("about {} hour left", "about {} hours left", hours, hours);
  // TRANSLATORS: "about 2 hours 5 minutes left": the hours, then the
  // minutes, each worded by the two messages of the context "time left".
  return trf("about {} {} left", trnpf("time left", "{} hour", "{} hours", hours, hours),
             trnpf("time left", "{} minute", "{} minutes", rest, rest));
}

std::string copy_summary_text(const CopySummary& summary) {
  const auto seconds = static_cast<std::uint64_t>(
      std::max<std::int64_t>(std::chrono::duration_cast<std::chrono::seconds>(summary.elapsed).count(), 0));
  const std::string size = byte_size_text(summary.bytes);
  // TRANSLATORS: how much came back, then how long it took.
  if (seconds < 60) return trf("{} in less than a minute", size);
  const std::uint64_t minutes = whole_minutes(seconds);
  // TRANSLATORS: how much came back, then how long it took: "210.0 GB in 41 minutes".
  if (minutes < 60) return trnf("{} in {} minute", "{} in {} minutes", minutes, size, minutes);
  const std::uint64_t hours = minutes / 60, rest = minutes % 60;
  if (rest == 0) return trnf("{} in {} hour", "{} in {} hours", hours, size, hours);
  // TRANSLATORS: "210.0 GB in 2 hours 5 minutes": how much, the hours, then
  // the minutes, each worded by the two messages of the context "time taken".
  return trf("{} in {} {}", size, trnpf("time taken", "{} hour", "{} hours", hours, hours),
             trnpf("time taken", "{} minute", "{} minutes", rest, rest));
}

}  // namespace korvo
