// Times the restore's stages one by one for the benchmark:
//
//   korvo-bench-stages BACKUP_FOLDER PASSWORD
//
// Key derivation is timed on its own; opening the backup repeats it and then
// indexes the records, reads the archive's directory and manifest and checks
// every entry ("decryption" is opening minus derivation); staging opens once
// more and unpacks the personal data under TMPDIR ("extraction" is staging
// minus opening). Then the files are written and verified straight from the
// archive into $HOME/Desktop/Restored.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/files.hpp"
#include "crypto/key.hpp"
#include "dialogs/terminal.hpp"
#include "restore/file_copy.hpp"
#include "restore/manifest.hpp"
#include "staging/staging.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int fail(const korvo::Error& error) {
  std::fprintf(stderr, "korvo-bench-stages: %s\n", error.render().c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: korvo-bench-stages BACKUP_FOLDER PASSWORD\n");
    return 2;
  }
  const std::string folder = argv[1];
  const std::string password = argv[2];
  const char* tmp = std::getenv("TMPDIR");
  const std::string temp_dir = tmp ? tmp : "/tmp";
  // As the program does for its run: glibc then reads the zone once, not per entry.
  if (std::getenv("TZ") == nullptr) ::setenv("TZ", ":/etc/localtime", 0);

  auto start = Clock::now();
  auto key = korvo::derive_backup_key(folder + "/backup.salt", password);
  if (!key) return fail(key.error());
  const double derive_s = seconds_since(start);

  start = Clock::now();
  {
    korvo::Manifest discarded;
    auto opened = korvo::open_backup(folder, password, [&discarded](const korvo::TextReader& text) {
      return korvo::read_manifest(text, discarded);
    });
    if (!opened) return fail(opened.error());
  }
  const double open_s = seconds_since(start);

  start = Clock::now();
  std::optional<korvo::HeldFolder> staging_dir;
  korvo::Manifest manifest;
  auto staged = korvo::stage_backup(temp_dir, folder, password, staging_dir, [&manifest](const korvo::TextReader& text) {
    return korvo::read_manifest(text, manifest);
  });
  if (!staged) return fail(staged.error());
  const double stage_s = seconds_since(start);

  start = Clock::now();
  const char* home = std::getenv("HOME");
  auto desktop = korvo::find_desktop_dir(home ? std::optional<std::string>(home) : std::nullopt);
  if (!desktop) return fail(desktop.error());
  const auto progress = korvo::make_terminal_progress();
  auto copied = korvo::restore_files(*staged->archive, manifest.files, *desktop + "/Restored", *progress);
  if (!copied) return fail(copied.error());
  const double copy_s = seconds_since(start);
  if (staging_dir) (void)staging_dir->remove();

  struct rusage usage {};
  ::getrusage(RUSAGE_SELF, &usage);
  std::fflush(stdout);
  // The progress display may have left its line open.
  std::printf("\nkey_derivation %.3f\n", derive_s);
  std::printf("decryption %.3f\n", open_s - derive_s);
  std::printf("extraction %.3f\n", stage_s - open_s);
  std::printf("copy_verify %.3f\n", copy_s);
  std::printf("total %.3f\n", stage_s + copy_s);
  std::printf("restored %llu failures %zu\n", static_cast<unsigned long long>(copied->restored),
              copied->failures.size());
  std::printf("peak_rss_kib %ld\n", usage.ru_maxrss);
  return copied->failures.empty() ? 0 : 1;
}
