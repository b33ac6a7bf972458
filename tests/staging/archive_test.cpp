#include "staging/archive.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "backup_writer/backup_writer.hpp"
#include "restore/manifest.hpp"
#include "support/env_override.hpp"
#include "support/sandbox.hpp"

namespace korvo {
namespace {

namespace fs = std::filesystem;
using testing::BackupEntry;

constexpr char kManifestName[] = "manifest.json";
constexpr char kOuter[] = "Decrypted backup is missing a valid manifest";

std::uint16_t get16(const std::string& bytes, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) | static_cast<unsigned char>(bytes[at + 1])
                                                                                << 8);
}

void put16(std::string& bytes, std::size_t at, std::uint16_t value) {
  bytes[at] = static_cast<char>(value & 0xff);
  bytes[at + 1] = static_cast<char>(value >> 8);
}

// Calls patch(header offset, central?) for the local and central headers of
// the entry with this name.
template <typename Patch>
void patch_headers(std::string& zip, const std::string& name, Patch patch) {
  struct Kind {
    std::string signature;
    std::size_t name_length_at;
    std::size_t name_at;
    bool central;
  };
  for (const Kind& kind : {Kind{"PK\3\4", 26, 30, false}, Kind{"PK\1\2", 28, 46, true}}) {
    for (auto pos = zip.find(kind.signature); pos != std::string::npos; pos = zip.find(kind.signature, pos + 1)) {
      if (get16(zip, pos + kind.name_length_at) == name.size() &&
          zip.compare(pos + kind.name_at, name.size(), name) == 0) {
        patch(pos, kind.central);
      }
    }
  }
}

// The writer flags every name as UTF-8; without the flag a name is code page 437.
void clear_utf8_flag(std::string& zip, const std::string& name) {
  patch_headers(zip, name, [&](std::size_t at, bool central) {
    const std::size_t flags_at = at + (central ? 8 : 6);
    put16(zip, flags_at, get16(zip, flags_at) & ~0x0800);
  });
}

void mark_as_symlink(std::string& zip, const std::string& name) {
  patch_headers(zip, name, [&](std::size_t at, bool central) {
    if (!central) return;
    zip[at + 5] = 3;  // made by Unix
    put16(zip, at + 38, 0);
    put16(zip, at + 40, 0120777);
  });
}

void flip_byte_of(std::string& zip, const std::string& content) {
  const auto at = zip.find(content);
  ASSERT_NE(at, std::string::npos);
  zip[at + content.size() / 2] ^= 0x55;
}

std::string valid_manifest() { return testing::manifest_for({{"a.txt", "alpha"}}); }

class ArchiveTest : public ::testing::Test {
 protected:
  std::string archive_path() const { return scratch_.sub("Backup.zip.tmp"); }
  std::string staging_dir() const { return scratch_.sub("staging"); }
  std::string backup(std::string_view relative) const { return staging_dir() + "/Backup/" + std::string(relative); }

  void write_archive(const std::string& bytes) const { testing::write_test_file(archive_path(), bytes); }
  void write_entries(const std::vector<BackupEntry>& entries, bool zip64 = false) const {
    write_archive(testing::zip_archive(entries, zip64));
  }

  Result<std::string> extract() const { return extract_backup_archive(archive_path(), staging_dir()); }
  std::string extract_error() const {
    auto result = extract();
    return result.ok() ? "(extracted)" : result.error().render();
  }
  std::string check_error() const {
    auto result = check_archive_manifest(archive_path(), check_manifest);
    return result.ok() ? "(valid)" : result.error().render();
  }

  testing::ScratchDir scratch_;
};

TEST_F(ArchiveTest, UnpacksStoredDeflateAndZip64EntriesWithFolders) {
  std::string big;
  for (int i = 0; big.size() < 100000; ++i) big += std::to_string(i * 7919) + ",";
  for (const bool zip64 : {false, true}) {
    testing::ScratchDir scratch;
    // Reading the archive leaves the process's time zone setting as it found it.
    const std::optional<std::string> zone = zip64 ? std::optional<std::string>("Europe/Paris") : std::nullopt;
    testing::EnvOverride env{{"TZ", zone}};
    const std::string archive = scratch.sub("a.zip");
    testing::write_test_file(archive, testing::zip_archive({{"photos/", ""},
                                                            {"photos/2019/x.jpg", big, /*deflate=*/true},
                                                            {"notes/stored.txt", big, /*deflate=*/false},
                                                            {"top.txt", "top"}},
                                                           zip64));
    auto root = extract_backup_archive(archive, scratch.sub("staging"));
    ASSERT_TRUE(root.ok()) << root.error().render();
    EXPECT_EQ(*root, fs::canonical(scratch.sub("staging/Backup")).string());
    EXPECT_TRUE(fs::is_directory(*root + "/photos"));
    EXPECT_EQ(testing::read_test_file(*root + "/photos/2019/x.jpg"), big);
    EXPECT_EQ(testing::read_test_file(*root + "/notes/stored.txt"), big);
    EXPECT_EQ(testing::read_test_file(*root + "/top.txt"), "top");
    const char* zone_after = ::getenv("TZ");
    EXPECT_EQ(zone_after ? std::optional<std::string>(zone_after) : std::nullopt, zone);
  }
}

TEST_F(ArchiveTest, OddButSafeNamesLandInsideBackup) {
  std::vector<BackupEntry> entries = {
      {"a/../b", "dotted"},   {"a\\b", "backslash"},        {"dup.txt", "first"},
      {"dup.txt", "second"},  {"link", "../../etc/passwd"}, {"gr\x81n.txt", "cp437"},
      {"café/ü.txt", "utf8"}, {"./dot/x", "dot"},           {"empty-dir\\", ""},
  };
  std::string zip = testing::zip_archive(entries);
  clear_utf8_flag(zip, "gr\x81n.txt");
  mark_as_symlink(zip, "link");
  write_archive(zip);

  auto root = extract();
  ASSERT_TRUE(root.ok()) << root.error().render();
  EXPECT_EQ(testing::read_test_file(backup("b")), "dotted");
  EXPECT_EQ(testing::read_test_file(backup("a\\b")), "backslash");
  EXPECT_EQ(testing::read_test_file(backup("dup.txt")), "second");
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(backup("link"))));
  EXPECT_EQ(testing::read_test_file(backup("link")), "../../etc/passwd");
  EXPECT_EQ(testing::read_test_file(backup("grün.txt")), "cp437");
  EXPECT_EQ(testing::read_test_file(backup("café/ü.txt")), "utf8");
  EXPECT_EQ(testing::read_test_file(backup("dot/x")), "dot");
  EXPECT_TRUE(fs::is_directory(backup("empty-dir\\")));
}

TEST_F(ArchiveTest, UnsafeNamesStopTheExtraction) {
  for (const std::string name : {"../x", "a/../../x", "/etc/x", "//x"}) {
    testing::ScratchDir scratch;
    const std::string archive = scratch.sub("staging/a.zip");
    testing::write_test_file(archive, testing::zip_archive({{"before.txt", "kept"}, {name, "escaped"}}));
    auto result = extract_backup_archive(archive, scratch.sub("staging"));
    ASSERT_FALSE(result.ok()) << name;
    EXPECT_EQ(result.error().render(), "ZIP entry has an unsafe path") << name;
    EXPECT_EQ(testing::read_test_file(scratch.sub("staging/Backup/before.txt")), "kept");
    EXPECT_FALSE(fs::exists(scratch.sub("staging/x")));
    EXPECT_FALSE(fs::exists(scratch.sub("x")));
  }
}

TEST_F(ArchiveTest, RefusesEntriesItCannotOpen) {
  struct Case {
    BackupEntry entry;
    const char* cause;
  };
  const Case cases[] = {
      {{"packed.bz2", "BZh91AY&SY", true, std::uint16_t{12}}, "Compression method not supported"},
      {{"secret.txt", "ciphertext!!", false, std::nullopt, /*encrypted_flag=*/true},
       "Password required to decrypt file"},
  };
  for (const auto& c : cases) {
    write_entries({c.entry});
    EXPECT_EQ(extract_error(), std::string("Invalid ZIP entry: ") + c.cause);
    EXPECT_FALSE(fs::exists(backup(c.entry.name)));
  }
}

TEST_F(ArchiveTest, DamagedContentFailsWhileCopying) {
  const std::string content(20000, 'q');
  const std::string marker = "stored content that will be damaged";
  for (const bool deflate : {false, true}) {
    std::string zip = testing::zip_archive({{"f.txt", deflate ? content : marker, deflate}});
    if (deflate) {
      // Corrupt the middle of the compressed stream.
      const auto data_at = zip.find("f.txt") + 5;
      zip[data_at + 8] ^= 0xff;
      zip[data_at + 9] ^= 0xff;
    } else {
      flip_byte_of(zip, marker);
    }
    write_archive(zip);
    const std::string error = extract_error();
    EXPECT_EQ(error.rfind("Cannot extract staging file: ", 0), 0u) << error;
  }
}

TEST_F(ArchiveTest, ReportsEachFailingStep) {
  // The archive is missing, then not a ZIP archive.
  EXPECT_EQ(extract_error(), "Cannot open decrypted backup: No such file or directory");
  write_archive("this is not a zip archive at all, just text");
  EXPECT_EQ(extract_error().rfind("Decrypted data is not a valid ZIP archive: ", 0), 0u) << extract_error();

  // "Backup" is taken by a file.
  write_entries({{"x", "x"}});
  testing::write_test_file(staging_dir() + "/Backup", "in the way");
  EXPECT_EQ(extract_error(), "Cannot create restore staging directory: File exists");
  fs::remove(staging_dir() + "/Backup");

  // A file where a folder is needed, and a folder where a file is to go.
  write_entries({{"a", "file"}, {"a/b", "below a file"}});
  EXPECT_EQ(extract_error(), "Cannot create staging directory: File exists");
  write_entries({{"d/", ""}, {"d", "over a folder"}});
  EXPECT_EQ(extract_error(), "Cannot write staging file: Is a directory");
}

TEST_F(ArchiveTest, ManifestCheckAcceptsAValidManifestAndWritesNothing) {
  write_entries({{kManifestName, valid_manifest()}, {"a.txt", "alpha"}});
  EXPECT_EQ(check_error(), "(valid)");
  EXPECT_EQ(std::distance(fs::directory_iterator(scratch_.path()), fs::directory_iterator()), 1);

  write_entries({{kManifestName, valid_manifest(), /*deflate=*/false}}, /*zip64=*/true);
  EXPECT_EQ(check_error(), "(valid)");
}

TEST_F(ArchiveTest, ManifestCheckFailures) {
  EXPECT_EQ(check_error(), std::string(kOuter) + ": Cannot open " + archive_path() + ": No such file or directory");

  const std::string absent = std::string(kOuter) + ": Backup data is missing manifest.json";
  const std::string missing = absent + ": ";
  const std::string unreadable = std::string(kOuter) + ": Cannot read manifest.json from backup data: ";
  const std::string invalid = std::string(kOuter) + ": Backup manifest is invalid: ";
  const std::string not_zip = std::string(kOuter) + ": Backup data is not a valid ZIP archive: ";
  const auto zip = [](const std::vector<BackupEntry>& entries) { return testing::zip_archive(entries); };
  std::string bad_crc = zip({{kManifestName, valid_manifest(), /*deflate=*/false}});
  flip_byte_of(bad_crc, valid_manifest());
  struct Case {
    std::string bytes;
    std::string expected_prefix;
    bool whole = false;  // the error is exactly the expected text, no cause below it
  };
  // A missing and an invalid manifest are rendered whole in the staging tests.
  const Case cases[] = {
      {"", not_zip},
      {std::string(5000, 'z'), not_zip},
      {zip({{"backup/manifest.json", valid_manifest()}}), absent, true},
      {zip({{"Manifest.json", valid_manifest()}}), absent, true},
      {zip({{kManifestName, valid_manifest(), true, std::nullopt, /*encrypted_flag=*/true}}), missing},
      {zip({{kManifestName, valid_manifest(), true, std::uint16_t{12}}}), missing + "Compression method not supported"},
      {bad_crc, unreadable},
      {zip({{kManifestName, "{\"korvo_version\": \"\xff\"}"}}), unreadable + "stream did not contain valid UTF-8"},
      {zip({{kManifestName, valid_manifest() + " {}"}}), invalid},
      // With a repeated name the later entry counts, as it does when unpacking.
      {zip({{kManifestName, valid_manifest()}, {kManifestName, "[]"}}), invalid},
      {zip({{kManifestName, "[]"}, {kManifestName, valid_manifest()}}), "(valid)"},
  };
  for (const auto& c : cases) {
    write_archive(c.bytes);
    const std::string error = check_error();
    if (c.whole) {
      EXPECT_EQ(error, c.expected_prefix);
    } else {
      EXPECT_EQ(error.rfind(c.expected_prefix, 0), 0u) << error;
    }
  }
}

}  // namespace
}  // namespace korvo
