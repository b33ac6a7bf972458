// Writes a Korvo backup folder (Backup.enc + backup.salt) from folders on
// disk, streaming, so that big backups need little memory.
//
//   korvo-make-backup --out FOLDER [--files DIR] [--extra DIR] [--password P]
//                     [--salt TEXT] [--chunk-size N] [--stored]
//
// Every regular file under --files becomes an archive entry at its relative
// path and a manifest entry; files under --extra are added without one.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "backup_writer/backup_writer.hpp"

namespace {

namespace fs = std::filesystem;
using korvo::testing::DiskFile;

int usage() {
  std::fprintf(stderr,
               "usage: korvo-make-backup --out FOLDER [--files DIR] [--extra DIR] [--password P] [--salt TEXT] "
               "[--chunk-size N] [--stored]\n");
  return 2;
}

// Sorted, so the same folders always give the same archive order.
void collect(const std::string& root, bool listed, std::vector<DiskFile>& out) {
  std::vector<DiskFile> found;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    if (!item.is_regular_file()) continue;
    const std::string relative = fs::relative(item.path(), root).generic_string();
    found.push_back({relative, item.path().string(), listed, {}});
  }
  std::sort(found.begin(), found.end(), [](const DiskFile& a, const DiskFile& b) { return a.name < b.name; });
  out.insert(out.end(), found.begin(), found.end());
}

}  // namespace

int main(int argc, char** argv) {
  korvo::testing::DiskBackupSpec plan;
  std::string out;
  std::vector<std::string> files_dirs;
  std::vector<std::string> extra_dirs;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
      return argv[++i];
    };
    try {
      if (arg == "--out") {
        out = value();
      } else if (arg == "--files") {
        files_dirs.push_back(value());
      } else if (arg == "--extra") {
        extra_dirs.push_back(value());
      } else if (arg == "--password") {
        plan.password = value();
      } else if (arg == "--salt") {
        plan.salt_text = value();
      } else if (arg == "--chunk-size") {
        const unsigned long size = std::stoul(value());
        if (size == 0 || size > 0xFFFFFFF0UL) throw std::invalid_argument("bad chunk size");
        plan.chunk_size = static_cast<std::uint32_t>(size);
      } else if (arg == "--stored") {
        plan.deflate = false;
      } else {
        return usage();
      }
    } catch (const std::exception& error) {
      std::fprintf(stderr, "korvo-make-backup: %s\n", error.what());
      return usage();
    }
  }
  if (out.empty()) return usage();
  try {
    for (const auto& dir : files_dirs) collect(dir, true, plan.files);
    for (const auto& dir : extra_dirs) collect(dir, false, plan.files);
    korvo::testing::write_backup_from_disk(out, plan);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "korvo-make-backup: %s\n", error.what());
    return 1;
  }
  return 0;
}
