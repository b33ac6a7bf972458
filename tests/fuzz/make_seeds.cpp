// Writes the binary seeds that are easier made than committed: containers
// sealed under the container target's key and ZIP archives of the shapes a
// backup (and a hostile one) can take. Usage: korvo-fuzz-seeds CORPUS_ROOT;
// files go into CORPUS_ROOT/container and CORPUS_ROOT/archive.

#include <filesystem>
#include <fstream>
#include <iostream>

#include "fuzz_key.hpp"
#include "backup_writer/backup_writer.hpp"

namespace {

namespace fs = std::filesystem;
using korvo::testing::BackupEntry;

void put(const fs::path& folder, const std::string& name, const std::string& bytes) {
  fs::create_directories(folder);
  std::ofstream(folder / name, std::ios::binary) << bytes;
}

std::vector<BackupEntry> backup(const std::vector<std::pair<std::string, std::string>>& files) {
  return korvo::testing::entries_with_manifest(files);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: korvo-fuzz-seeds CORPUS_ROOT\n";
    return 2;
  }
  const fs::path root = argv[1];
  const fs::path zips = root / "archive";
  const fs::path containers = root / "container";
  fs::create_directories(root / "record_index");

  const auto plain = backup({{"Documents/a.txt", "hello\n"}, {"Pictures/b.jpg", std::string(300, 'x')}});
  std::vector<std::pair<std::string, std::vector<BackupEntry>>> archives = {
      {"backup", plain},
      {"folders", backup({{"photos/", ""}, {"photos/2019/x.jpg", "jpeg"}, {"a\\b", "backslash"}})},
      {"dot-dot-inside", backup({{"a/../b", "b"}, {"./c", "c"}})},
      {"repeated", backup({{"same.txt", "one"}, {"same.txt", "two"}})},
      {"climbs", {{"manifest.json", korvo::testing::manifest_for({})}, {"../x", "out"}}},
      {"climbs-deep", {{"manifest.json", korvo::testing::manifest_for({})}, {"a/../../x", "out"}}},
      {"absolute", {{"manifest.json", korvo::testing::manifest_for({})}, {"/etc/x", "out"}}},
      {"bzip2", {{"manifest.json", korvo::testing::manifest_for({})}, {"x", "BZh9", true, 12}}},
      {"encrypted", {{"manifest.json", korvo::testing::manifest_for({})}, {"x", "secret", false, {}, true}}},
      {"no-manifest", {{"Documents/a.txt", "hello"}}},
      {"manifest-in-folder", {{"sub/manifest.json", korvo::testing::manifest_for({})}}},
      {"stored", {{"manifest.json", korvo::testing::manifest_for({{"s", "stored"}}), false}, {"s", "stored", false}}},
  };
  for (const auto& [name, entries] : archives) put(zips, name + ".zip", korvo::testing::zip_archive(entries));
  put(zips, "zip64.zip", korvo::testing::zip_archive(plain, /*force_zip64=*/true));

  // Sealed under the container target's key, as written by the backup tool.
  const korvo::testing::TestKey key = korvo::fuzz::kContainerKey;
  const std::string archive = korvo::testing::zip_archive(plain);
  put(containers, "one-record", korvo::testing::sealed_stream(key, archive, 1 << 16));
  put(containers, "small-records", korvo::testing::sealed_stream(key, archive, 97));
  put(containers, "header-only", korvo::testing::container_header(1));
  put(containers, "empty-record", korvo::testing::container_header() + korvo::testing::sealed_record(key, ""));
  put(containers, "damaged-second",
      korvo::testing::container_header() + korvo::testing::sealed_record(key, "first") +
          korvo::testing::with_damaged_tag(korvo::testing::sealed_record(key, "second")));
  put(containers, "stray-bytes", korvo::testing::sealed_stream(key, "abc", 2) + "12345");
  // The record index reads the same files, headers only.
  for (const auto& item : fs::directory_iterator(containers)) {
    fs::copy_file(item.path(), root / "record_index" / item.path().filename(), fs::copy_options::overwrite_existing);
  }
  return 0;
}
