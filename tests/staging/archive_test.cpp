#include "staging/archive.hpp"

#include <cstring>

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

const testing::TestKey& shared_key() {
  static const testing::TestKey key = testing::test_key();
  return key;
}

class ArchiveTest : public ::testing::Test {
 protected:
  std::string staging_dir() const { return scratch_.sub("staging"); }
  std::string backup(std::string_view relative) const { return staging_dir() + "/Backup/" + std::string(relative); }

  // The archive bytes sealed into Backup.enc, opened as a restore opens them.
  Result<std::unique_ptr<BackupArchive>> open_bytes(const std::string& zip, std::uint32_t chunk = 4096) const {
    testing::write_test_file(scratch_.sub("Backup.enc"), testing::sealed_stream(shared_key(), zip, chunk));
    BackupKey key;
    std::memcpy(key.data(), shared_key().data(), shared_key().size());
    auto stream = SealedStream::open(scratch_.sub("Backup.enc"), std::move(key));
    if (!stream) return stream.error();
    return BackupArchive::open(std::move(*stream));
  }
  std::unique_ptr<BackupArchive> open_entries(const std::vector<BackupEntry>& entries, bool zip64 = false) const {
    auto archive = open_bytes(testing::zip_archive(entries, zip64));
    EXPECT_TRUE(archive.ok()) << archive.error().render();
    return archive ? std::move(*archive) : nullptr;
  }

  // The content of the file that unpacking would have left at `path`.
  static Result<std::string> content_at(BackupArchive& archive, std::string_view path) {
    const auto index = archive.find_file(path);
    if (!index) return Error("(not found)");
    auto entry = archive.open_entry(*index);
    if (!entry) return entry.error();
    std::string content;
    char buffer[1000];
    while (true) {
      auto got = entry->read(buffer, sizeof buffer);
      if (!got) return got.error();
      if (*got == 0) return content;
      content.append(buffer, *got);
    }
  }
  std::string check_error(const std::string& zip) const {
    auto archive = open_bytes(zip);
    if (!archive) return std::string(kOuter) + ": " + archive.error().render();
    auto result = (*archive)->read_manifest(check_manifest);
    return result.ok() ? "(valid)" : result.error().render();
  }

  testing::ScratchDir scratch_;
};

TEST_F(ArchiveTest, ReadsStoredDeflateAndZip64EntriesAndUnpacksTheChosenOnes) {
  std::string big;
  for (int i = 0; big.size() < 100000; ++i) big += std::to_string(i * 7919) + ",";
  for (const bool zip64 : {false, true}) {
    testing::ScratchDir scratch;
    // Reading the archive leaves the process's time zone setting as it found it.
    const std::optional<std::string> zone = zip64 ? std::optional<std::string>("Europe/Paris") : std::nullopt;
    testing::EnvOverride env{{"TZ", zone}};
    auto archive = open_entries({{"photos/", ""},
                                 {"photos/2019/x.jpg", big, /*deflate=*/true},
                                 {"notes/stored.txt", big, /*deflate=*/false},
                                 {"top.txt", "top"},
                                 {"left/out.txt", "not unpacked"}},
                                zip64);
    ASSERT_TRUE(archive);
    EXPECT_TRUE(archive->check_entries().ok());
    EXPECT_EQ(content_at(*archive, "photos/2019/x.jpg").value(), big);
    EXPECT_EQ(content_at(*archive, "notes/stored.txt").value(), big);
    EXPECT_EQ(archive->size_below({"photos", "notes", "top.txt"}), 2 * big.size() + 3);
    auto root = archive->unpack_below({"photos", "notes", "top.txt"}, scratch.sub("staging"));
    ASSERT_TRUE(root.ok()) << root.error().render();
    EXPECT_EQ(*root, fs::canonical(scratch.sub("staging/Backup")).string());
    EXPECT_TRUE(fs::is_directory(*root + "/photos"));
    EXPECT_EQ(testing::read_test_file(*root + "/photos/2019/x.jpg"), big);
    EXPECT_EQ(testing::read_test_file(*root + "/notes/stored.txt"), big);
    EXPECT_EQ(testing::read_test_file(*root + "/top.txt"), "top");
    EXPECT_FALSE(fs::exists(*root + "/left"));
    const char* zone_after = ::getenv("TZ");
    EXPECT_EQ(zone_after ? std::optional<std::string>(zone_after) : std::nullopt, zone);
  }
}

// A path finds the entry that unpacking would have left there.
TEST_F(ArchiveTest, OddButSafeNamesAreFoundWhereUnpackingPutThem) {
  std::vector<BackupEntry> entries = {
      {"a/../b", "dotted"},   {"a\\b", "backslash"},        {"dup.txt", "first"},
      {"dup.txt", "second"},  {"link", "../../etc/passwd"}, {"gr\x81n.txt", "cp437"},
      {"café/ü.txt", "utf8"}, {"./dot/x", "dot"},           {"empty-dir\\", ""},
      {"d//e/./f", "doubled"},
  };
  std::string zip = testing::zip_archive(entries);
  clear_utf8_flag(zip, "gr\x81n.txt");
  mark_as_symlink(zip, "link");
  auto opened = open_bytes(zip);
  ASSERT_TRUE(opened.ok()) << opened.error().render();
  BackupArchive& archive = **opened;
  ASSERT_TRUE(archive.check_entries().ok());
  const std::pair<std::string, std::string> found[] = {
      {"b", "dotted"},     {"a\\b", "backslash"},         {"dup.txt", "second"},
      {"link", "../../etc/passwd"}, {"grün.txt", "cp437"}, {"café/ü.txt", "utf8"},
      {"dot/x", "dot"},    {"d/e/f", "doubled"},          {"empty-dir\\", "(not found)"},
      {"a/b", "(not found)"}, {"a", "(not found)"},
  };
  for (const auto& [path, content] : found) {
    auto got = content_at(archive, path);
    EXPECT_EQ(got ? *got : got.error().render(), content) << path;
  }
  // Unpacked, the link is a file holding its target, and the folder entry a folder.
  auto root = archive.unpack_below({"link", "empty-dir\\"}, staging_dir());
  ASSERT_TRUE(root.ok()) << root.error().render();
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(backup("link"))));
  EXPECT_EQ(testing::read_test_file(backup("link")), "../../etc/passwd");
  EXPECT_TRUE(fs::is_directory(backup("empty-dir\\")));
}

TEST(ResolvedEntryPath, ResolvesAsUnpackingDid) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"a/../b", "b"},       {"./a//b/", "a/b"}, {"a\\..\\b", "a\\..\\b"}, {"a/..", ""},
      {"../x", std::nullopt}, {"a/../../x", std::nullopt}, {"/etc/x", std::nullopt}, {"//x", std::nullopt},
      {std::string("a\0b", 3), std::nullopt},
  };
  for (const auto& [name, expected] : cases) EXPECT_EQ(resolved_entry_path(name), expected) << name;
}

TEST_F(ArchiveTest, UnsafeNamesAndEntriesItCannotReadAreRefusedBeforeAnything) {
  struct Case {
    BackupEntry entry;
    std::string error;
  };
  const Case cases[] = {
      {{"../x", "escaped"}, "ZIP entry has an unsafe path"},
      {{"a/../../x", "escaped"}, "ZIP entry has an unsafe path"},
      {{"/etc/x", "escaped"}, "ZIP entry has an unsafe path"},
      {{"//x", "escaped"}, "ZIP entry has an unsafe path"},
      {{"packed.bz2", "BZh91AY&SY", true, std::uint16_t{12}}, "Invalid ZIP entry: Compression method not supported"},
      {{"secret.txt", "ciphertext!!", false, std::nullopt, /*encrypted_flag=*/true},
       "Invalid ZIP entry: Password required to decrypt file"},
  };
  for (const auto& c : cases) {
    auto archive = open_entries({{"before.txt", "kept"}, c.entry});
    ASSERT_TRUE(archive);
    auto checked = archive->check_entries();
    ASSERT_FALSE(checked.ok()) << c.error;
    EXPECT_EQ(checked.error().render(), c.error);
  }
}

// Damaged content fails while it is read, and an entry never yields more
// than it declares: the reader stops one byte past it.
TEST_F(ArchiveTest, DamagedContentFailsWhileReading) {
  const std::string content(20000, 'q');
  const std::string marker = "stored content that will be damaged";
  std::string inflated = testing::zip_archive({{"f.txt", content}});
  const auto data_at = inflated.find("f.txt") + 5;
  inflated[data_at + 8] ^= 0xff;  // the middle of the compressed stream
  inflated[data_at + 9] ^= 0xff;
  std::string stored = testing::zip_archive({{"f.txt", marker, false}});
  flip_byte_of(stored, marker);
  std::string bomb = testing::zip_archive({{"f.txt", std::string(1 << 20, 'z')}});
  patch_headers(bomb, "f.txt", [&](std::size_t at, bool central) {
    const std::size_t size_at = at + (central ? 24 : 22);
    for (std::size_t i = 0; i < 4; ++i) bomb[size_at + i] = i == 0 ? 10 : 0;
  });
  for (const std::string& zip : {inflated, stored, bomb}) {
    auto archive = open_bytes(zip);
    ASSERT_TRUE(archive.ok()) << archive.error().render();
    auto entry = (*archive)->open_entry(0);
    ASSERT_TRUE(entry.ok()) << entry.error().render();
    std::uint64_t total = 0;
    char buffer[4096];
    Result<std::size_t> got = std::size_t{0};
    while ((got = entry->read(buffer, sizeof buffer)) && *got > 0) total += *got;
    EXPECT_FALSE(got.ok());
    EXPECT_LE(total, content.size());
    if (&zip == &bomb) {
      EXPECT_LE(total, 10u);
    }
  }
}

TEST_F(ArchiveTest, ReportsEachFailingStep) {
  auto not_zip = open_bytes("this is not a zip archive at all, just text");
  ASSERT_FALSE(not_zip.ok());
  EXPECT_EQ(not_zip.error().render(), "Backup data is not a valid ZIP archive: Not a zip archive");

  // "Backup" is taken by a file.
  auto archive = open_entries({{"x", "x"}});
  testing::write_test_file(staging_dir() + "/Backup", "in the way");
  EXPECT_EQ(archive->unpack_below({"x"}, staging_dir()).error().render(),
            "Cannot create restore staging directory: File exists");
  fs::remove(staging_dir() + "/Backup");

  // A file where a folder is needed, and a folder where a file is to go.
  archive = open_entries({{"a", "file"}, {"a/b", "below a file"}});
  EXPECT_EQ(archive->unpack_below({"a"}, staging_dir()).error().render(), "Cannot create staging directory: File exists");
  fs::remove_all(staging_dir());
  archive = open_entries({{"d/", ""}, {"d", "over a folder"}});
  EXPECT_EQ(archive->unpack_below({"d"}, staging_dir()).error().render(), "Cannot write staging file: Is a directory");
}

TEST_F(ArchiveTest, ManifestCheckAcceptsAValidManifestAndWritesNothing) {
  EXPECT_EQ(check_error(testing::zip_archive({{kManifestName, valid_manifest()}, {"a.txt", "alpha"}})), "(valid)");
  EXPECT_EQ(std::distance(fs::directory_iterator(scratch_.path()), fs::directory_iterator()), 1);  // Backup.enc
  EXPECT_EQ(check_error(testing::zip_archive({{kManifestName, valid_manifest(), /*deflate=*/false}}, /*zip64=*/true)),
            "(valid)");
}

TEST_F(ArchiveTest, ManifestCheckFailures) {
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
      // With a repeated name the later entry counts, as it did when unpacking.
      {zip({{kManifestName, valid_manifest()}, {kManifestName, "[]"}}), invalid},
      {zip({{kManifestName, "[]"}, {kManifestName, valid_manifest()}}), "(valid)"},
  };
  for (const auto& c : cases) {
    const std::string error = check_error(c.bytes);
    if (c.whole) {
      EXPECT_EQ(error, c.expected_prefix);
    } else {
      EXPECT_EQ(error.rfind(c.expected_prefix, 0), 0u) << error;
    }
  }
}

}  // namespace
}  // namespace korvo
