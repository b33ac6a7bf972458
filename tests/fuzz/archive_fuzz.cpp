// A whole decrypted archive: the input is Backup.zip.tmp. It goes through
// the manifest check and then, whatever that said, through the extraction
// into a fresh staging folder. The point is containment: afterwards nothing
// may exist in the scratch tree outside staging/Backup, and nothing may be a
// symbolic link.
//
// A few hundred bytes of Deflate data can stand for gigabytes, which would
// fill the disk rather than find anything; files are capped at 4 MiB here
// (a bigger write fails with EFBIG and the entry is refused).

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

#include "fuzz_support.hpp"
#include "restore/manifest.hpp"
#include "staging/archive.hpp"

namespace {

constexpr rlim_t kFileSizeCap = 4 << 20;

std::string g_base;
std::string g_staging;
std::string g_archive;
std::string g_problem;

// Levels above the staging folder, so that climbing out by one, two or three
// ".." would still land inside the scratch tree and be seen.
constexpr const char* kLevels[] = {"/up3", "/up3/up2", "/up3/up2/up1"};

bool allowed(const std::string& path) {
  if (path == g_base || path == g_archive || path == g_staging) return true;
  for (const char* level : kLevels) {
    if (path == g_base + level) return true;
  }
  const std::string backup = g_staging + "/Backup";
  return path == backup || path.compare(0, backup.size() + 1, backup + "/") == 0;
}

int inspect(const char* path, const struct stat* status, int kind, struct FTW*) {
  if (kind == FTW_SL || S_ISLNK(status->st_mode)) g_problem = std::string("symbolic link: ") + path;
  if (!allowed(path)) g_problem = std::string("written outside the staging folder: ") + path;
  return g_problem.empty() ? 0 : 1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_base = korvo::fuzz::scratch_dir();
  g_archive = g_base + "/Backup.zip.tmp";
  for (const char* level : kLevels) ::mkdir((g_base + level).c_str(), 0700);
  g_staging = g_base + kLevels[2] + "/staging";
  std::signal(SIGXFSZ, SIG_IGN);
  const rlimit cap{kFileSizeCap, kFileSizeCap};
  ::setrlimit(RLIMIT_FSIZE, &cap);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  korvo::fuzz::write_bytes(g_archive, korvo::fuzz::as_text(data, size));
  FUZZ_CHECK(::mkdir(g_staging.c_str(), 0700) == 0, g_staging);

  (void)korvo::check_archive_manifest(g_archive, korvo::check_manifest);
  const auto extracted = korvo::extract_backup_archive(g_archive, g_staging);
  if (extracted) FUZZ_CHECK(*extracted == g_staging + "/Backup", *extracted);

  g_problem.clear();
  ::nftw(g_base.c_str(), inspect, 16, FTW_PHYS);
  FUZZ_CHECK(g_problem.empty(), g_problem);
  korvo::fuzz::remove_tree(g_staging);
  return 0;
}
