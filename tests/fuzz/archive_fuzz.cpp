// A whole archive: the input is what Backup.enc seals, sealed here in
// records of 4 KiB under the container key. It goes through the manifest
// check, the entry check, a look-up and a read of every entry, and then,
// whatever those said, through unpacking every top-level name into a fresh
// staging folder. The point is containment: afterwards nothing may exist in
// the scratch tree outside staging/Backup, and nothing may be a symbolic
// link; and no entry may yield more than it declares.
//
// A few hundred bytes of Deflate data can stand for gigabytes, which would
// fill the disk rather than find anything; files are capped at 4 MiB here
// (a bigger write fails with EFBIG and the entry is refused).

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

#include <cstring>
#include <vector>

#include "backup_writer/backup_writer.hpp"
#include "fuzz_key.hpp"
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
  g_archive = g_base + "/Backup.enc";
  for (const char* level : kLevels) ::mkdir((g_base + level).c_str(), 0700);
  g_staging = g_base + kLevels[2] + "/staging";
  std::signal(SIGXFSZ, SIG_IGN);
  const rlimit cap{kFileSizeCap, kFileSizeCap};
  ::setrlimit(RLIMIT_FSIZE, &cap);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const korvo::testing::TestKey key = [] {
    korvo::testing::TestKey bytes;
    std::memcpy(bytes.data(), korvo::fuzz::kContainerKey.data(), bytes.size());
    return bytes;
  }();
  korvo::fuzz::write_bytes(g_archive, korvo::testing::sealed_stream(key, korvo::fuzz::as_text(data, size), 4096));
  FUZZ_CHECK(::mkdir(g_staging.c_str(), 0700) == 0, g_staging);

  korvo::BackupKey backup_key;
  std::memcpy(backup_key.data(), key.data(), key.size());
  auto stream = korvo::SealedStream::open(g_archive, std::move(backup_key));
  FUZZ_CHECK(stream.ok(), "a sound container did not open: " + stream.error().render());
  auto archive = korvo::BackupArchive::open(std::move(*stream));
  if (archive) {
    korvo::BackupArchive& opened = **archive;
    (void)opened.read_manifest(korvo::check_manifest);
    (void)opened.check_entries();
    std::vector<std::string> tops;
    std::vector<char> buffer(64 * 1024);
    for (std::uint64_t index = 0; index < opened.entry_count(); ++index) {
      const auto path = korvo::resolved_entry_path(opened.entry_name(index));
      if (path && !path->empty()) {
        tops.push_back(path->substr(0, path->find('/')));
        (void)opened.find_file(*path);
      }
      auto entry = opened.open_entry(index);
      if (!entry) continue;
      std::uint64_t total = 0;
      while (true) {
        auto got = entry->read(buffer.data(), buffer.size());
        if (!got || *got == 0) break;
        total += *got;
      }
      FUZZ_CHECK(total <= opened.entry_size(index), "an entry yielded more than it declares");
    }
    const std::vector<std::string_view> top_views(tops.begin(), tops.end());
    const auto unpacked = opened.unpack_below(top_views, g_staging);
    if (unpacked) FUZZ_CHECK(*unpacked == g_staging + "/Backup", *unpacked);
  }

  g_problem.clear();
  ::nftw(g_base.c_str(), inspect, 16, FTW_PHYS);
  FUZZ_CHECK(g_problem.empty(), g_problem);
  korvo::fuzz::remove_tree(g_staging);
  return 0;
}
