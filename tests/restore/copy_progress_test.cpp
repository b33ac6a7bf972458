#include "restore/copy_progress.hpp"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <string>
#include <vector>

#include "restore_cli/language.hpp"
#include "support/env_override.hpp"
#include "support/recording_dialogs.hpp"
#include "support/sandbox.hpp"

namespace korvo {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using TimePoint = std::chrono::steady_clock::time_point;

// The catalogs built beside the test program, in one language, for one scope.
class InLanguage {
 public:
  explicit InLanguage(const char* language) : env_({{"LANGUAGE", language}, {"LC_ALL", "C.UTF-8"}}) {
    use_desktop_language(scratch_.path());  // where a program with its catalogs inside unpacks them
  }
  ~InLanguage() {
    std::setlocale(LC_MESSAGES, "C");
    std::setlocale(LC_CTYPE, "C");
  }

 private:
  testing::EnvOverride env_;
  testing::ScratchDir scratch_;
};

struct Wording {
  const char* language;  // "C": the English texts themselves
  std::uint64_t seconds;
  const char* time_left;
  const char* took;  // for 210 GB in that time
};

// Every language's plural forms, and the hours past an hour.
TEST(CopyProgressTexts, TimeLeftAndTimeTakenInEveryLanguage) {
  const Wording cases[] = {
      {"C", 0, "less than a minute left", "210.0 GB in less than a minute"},
      {"C", 89, "about 1 minute left", "210.0 GB in 1 minute"},
      {"C", 90, "about 2 minutes left", "210.0 GB in 2 minutes"},
      {"C", 25 * 60, "about 25 minutes left", "210.0 GB in 25 minutes"},
      {"C", 3599, "about 1 hour left", "210.0 GB in 1 hour"},
      {"C", 3600 + 60, "about 1 hour 1 minute left", "210.0 GB in 1 hour 1 minute"},
      {"C", 2 * 3600 + 5 * 60, "about 2 hours 5 minutes left", "210.0 GB in 2 hours 5 minutes"},
      {"de", 59, "noch weniger als eine Minute", "210,0 GB in weniger als einer Minute"},
      {"de", 60, "noch etwa 1 Minute", "210,0 GB in 1 Minute"},
      {"de", 2 * 3600 + 60, "noch etwa 2 Stunden 1 Minute", "210,0 GB in 2 Stunden 1 Minute"},
      {"es", 41 * 60, "quedan aproximadamente 41 minutos", "210,0 GB en 41 minutos"},
      {"es", 3600 + 60, "quedan aproximadamente 1 hora y 1 minuto", "210,0 GB en 1 hora y 1 minuto"},
      {"fr", 60, "environ 1 minute restante", "210,0\u00a0Go en 1 minute"},
      {"fr", 2 * 3600 + 2 * 60, "environ 2 heures 2 minutes restantes", "210,0\u00a0Go en 2 heures 2 minutes"},
      {"it", 60, "manca circa 1 minuto", "210,0 GB in 1 minuto"},
      {"it", 3 * 3600, "mancano circa 3 ore", "210,0 GB in 3 ore"},
      {"ja", 25 * 60, "残り約 25 分", "210.0 GB（所要時間 25 分）"},
      {"ja", 3600 + 5 * 60, "残り約 1 時間 5 分", "210.0 GB（所要時間 1 時間 5 分）"},
      {"nl", 3600, "nog ongeveer 1 uur", "210,0 GB in 1 uur"},
      {"nl", 5 * 60, "nog ongeveer 5 minuten", "210,0 GB in 5 minuten"},
      {"pl", 60, "pozostało około 1 minuty", "210,0 GB w 1 minutę"},
      {"pl", 22 * 60, "pozostało około 22 minut", "210,0 GB w 22 minuty"},
      {"pl", 25 * 60, "pozostało około 25 minut", "210,0 GB w 25 minut"},
      {"pl", 3600 + 2 * 60, "pozostało około 1 godziny 2 minut", "210,0 GB w 1 godzinę 2 minuty"},
      {"pt_BR", 25 * 60, "cerca de 25 minutos restantes", "210,0 GB em 25 minutos"},
      {"ru", 21 * 60, "осталось около 21 минуты", "210,0 ГБ за 21 минуту"},
      {"ru", 3 * 60, "осталось около 3 минут", "210,0 ГБ за 3 минуты"},
      {"ru", 2 * 3600 + 11 * 60, "осталось около 2 часов 11 минут", "210,0 ГБ за 2 часа 11 минут"},
      {"tr", 3600 + 60, "yaklaşık 1 saat 1 dakika kaldı", "210,0 GB, 1 saat 1 dakikada"},
      {"uk", 60, "залишилося близько 1 хвилини", "210,0 ГБ за 1 хвилину"},
      {"uk", 5 * 3600 + 3 * 60, "залишилося близько 5 годин 3 хвилин", "210,0 ГБ за 5 годин 3 хвилини"},
      {"zh_CN", 25 * 60, "剩余约 25 分钟", "210.0 GB，用时 25 分钟"},
  };
  for (const Wording& c : cases) {
    InLanguage language(c.language);
    EXPECT_EQ(time_left_text(c.seconds), c.time_left) << c.language << " " << c.seconds;
    EXPECT_EQ(copy_summary_text({210'000'000'000, seconds(c.seconds)}), c.took) << c.language << " " << c.seconds;
  }
}

TEST(CopyProgressTexts, SizesInDecimalUnitsWithOneDecimal) {
  const std::pair<std::uint64_t, const char*> cases[] = {
      {0, "0 bytes"},           {1, "1 byte"},          {999, "999 bytes"},
      {1000, "1.0 kB"},         {999'949, "999.9 kB"},  {999'950, "1.0 MB"},
      {12'345'678'901, "12.3 GB"}, {UINT64_MAX, "18446744.1 TB"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(byte_size_text(bytes), text) << bytes;
  InLanguage german("de");
  EXPECT_EQ(byte_size_text(12'345'678'901), "12,3 GB");
}

// A clock the test moves by hand.
struct ManualClock {
  TimePoint now{};
  ProgressClock clock() {
    return [this] { return now; };
  }
};

class CopyProgressTest : public ::testing::Test {
 protected:
  // Ten updates a second at `bytes_per_second` for `duration`.
  void copy_for(CopyProgress& progress, milliseconds duration, std::uint64_t bytes_per_second) {
    for (milliseconds passed{0}; passed < duration; passed += milliseconds(100)) {
      time.now += milliseconds(100);
      progress.wrote(bytes_per_second / 10);
    }
  }
  const TransferUpdate& shown() const { return record.transfers.back(); }

  ManualClock time;
  testing::ProgressRecord record;
  testing::RecordingProgress display{record};
};

// 10 GB at 10 MB/s: the estimate waits for five seconds and 1 % of the
// bytes, then follows the speed without leaping at a burst or a stall.
TEST_F(CopyProgressTest, TimeLeftWaitsThenMovesSmoothly) {
  constexpr std::uint64_t kMegabyte = 1'000'000;
  CopyProgress progress(display, 10'000 * kMegabyte, time.clock());
  progress.begin_file("C:\\Users\\alex\\disk.vhdx", 10'000 * kMegabyte);
  struct Step {
    milliseconds duration;
    std::uint64_t rate;  // bytes a second
    const char* amount;
    const char* speed;
    const char* time_left;
  };
  const Step steps[] = {
      {milliseconds(9900), 10 * kMegabyte, "99.0 MB of 10.0 GB", "", ""},  // 5 s gone, 1 % not yet
      {milliseconds(100), 10 * kMegabyte, "100.0 MB of 10.0 GB", "10.0 MB/s", "about 17 minutes left"},
      {seconds(590), 10 * kMegabyte, "6.0 GB of 10.0 GB", "10.0 MB/s", "about 7 minutes left"},
      {seconds(1), 0, "6.0 GB of 10.0 GB", "9.4 MB/s", "about 7 minutes left"},        // a stall
      {seconds(1), 200 * kMegabyte, "6.2 GB of 10.0 GB", "21.7 MB/s", "about 3 minutes left"},  // a burst
  };
  for (const Step& step : steps) {
    copy_for(progress, step.duration, step.rate);
    EXPECT_EQ(shown().amount, step.amount);
    EXPECT_EQ(shown().speed, step.speed) << step.amount;
    EXPECT_EQ(shown().time_left, step.time_left) << step.amount;
  }
  EXPECT_EQ(shown().path, "C:\\Users\\alex\\disk.vhdx");
}

// Empty files count one byte each; a kept file is done at once; a file
// that fails before its copy shows nothing of its own but counts as done.
TEST_F(CopyProgressTest, EveryEntryMovesTheBarByItsBytes) {
  ManifestFiles files;
  for (const std::uint64_t size : {0, 0, 0, 97}) files.push_back("C:\\x", "x", size, "");
  CopyProgress progress(display, copy_total(files), time.clock());
  const auto tick = [&] { time.now += seconds(1); };
  tick(), progress.begin_file("C:\\empty.txt", 0);
  tick(), progress.file_done(0, true);
  tick(), progress.file_kept("C:\\kept.txt", 0);
  tick(), progress.file_done(0, false);
  tick(), progress.begin_file("C:\\big.bin", 97);
  tick(), progress.wrote(48);
  tick(), progress.wrote(49);
  progress.file_done(97, true);  // the same moment: nothing new to show
  const CopySummary summary = progress.finish();
  std::vector<std::pair<unsigned, std::string>> expected = {
      {0, "C:\\empty.txt"}, {1, "C:\\empty.txt"}, {2, "C:\\kept.txt"},
      {3, "C:\\big.bin"},   {51, "C:\\big.bin"},  {100, "C:\\big.bin"}};
  EXPECT_EQ(record.percents, expected);
  EXPECT_EQ(record.transfers[4].time_left, "less than a minute left");
  EXPECT_EQ(shown().time_left, "");  // nothing is left at the end
  EXPECT_EQ(summary.bytes, 97u);
  EXPECT_EQ(summary.elapsed, seconds(7));
}

// 20,000 small files, each a millisecond of work: about ten updates a
// second, and the last one shows the end.
TEST_F(CopyProgressTest, ManySmallFilesAreShownAtMostTenTimesASecond) {
  constexpr int kFiles = 20000;
  ManifestFiles files;
  for (int i = 0; i < kFiles; ++i) files.push_back("C:\\x", "x", 4, "");
  CopyProgress progress(display, copy_total(files), time.clock());
  for (int i = 0; i < kFiles; ++i) {
    progress.begin_file("C:\\Photos\\" + std::to_string(i) + ".jpg", 4);
    time.now += milliseconds(1);
    progress.wrote(4);
    progress.file_done(4, true);
  }
  EXPECT_EQ(progress.finish().bytes, 80'000u);
  EXPECT_LE(record.transfers.size(), 20u * 10 + 2);
  EXPECT_GE(record.transfers.size(), 20u * 10 - 2);  // and moving all along
  EXPECT_EQ(shown().percent, 100u);
  EXPECT_EQ(shown().amount, "80.0 kB of 80.0 kB");
  EXPECT_EQ(shown().path, "C:\\Photos\\19999.jpg");
}

}  // namespace
}  // namespace korvo
