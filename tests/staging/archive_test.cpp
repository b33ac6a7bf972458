#include "staging/archive.hpp"

#include <cstring>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

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

std::string le(std::uint64_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i) & 0xff);
  return out;
}

std::uint32_t crc_of(std::string_view bytes) {
  const auto* data = reinterpret_cast<const Bytef*>(bytes.data());
  return static_cast<std::uint32_t>(crc32(0, data, static_cast<uInt>(bytes.size())));
}

// One entry laid out field by field, so that a case can bend any of them:
// its local header and data, its central directory record, whatever lies
// between the directory and the end record, and the end record.
struct Handmade {
  std::string name = "f.txt";
  std::string data = "hello";
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::optional<std::uint32_t> crc;  // the data's by default
  std::optional<std::uint32_t> compressed;
  std::optional<std::uint32_t> size;
  std::uint32_t local_signature = 0x04034b50;
  std::optional<std::uint16_t> local_name_length;
  std::string central_extra;
  std::optional<std::uint32_t> header_offset;
  std::string before_end;
  std::uint16_t this_disk = 0;
  std::optional<std::uint16_t> entries;
  std::optional<std::uint32_t> directory_size;
  std::optional<std::uint32_t> directory_offset;

  std::string bytes() const {
    const std::uint32_t sum = crc.value_or(crc_of(data));
    const std::uint32_t packed = compressed.value_or(static_cast<std::uint32_t>(data.size()));
    const std::uint32_t unpacked = size.value_or(static_cast<std::uint32_t>(data.size()));
    const std::string fields = le(flags, 2) + le(method, 2) + le(0, 4) + le(sum, 4) + le(packed, 4) + le(unpacked, 4);
    const std::uint16_t local_name = local_name_length.value_or(static_cast<std::uint16_t>(name.size()));
    std::string zip = le(local_signature, 4) + le(20, 2) + fields + le(local_name, 2) + le(0, 2) + name + data;
    const std::size_t central_at = zip.size();
    zip += le(0x02014b50, 4) + le(20, 2) + le(20, 2) + fields + le(name.size(), 2) + le(central_extra.size(), 2) +
           le(0, 2) + le(0, 8) + le(header_offset.value_or(0), 4) + name + central_extra;
    const std::size_t central_size = zip.size() - central_at;
    zip += before_end;
    zip += le(0x06054b50, 4) + le(this_disk, 2) + le(0, 2) + le(entries.value_or(1), 2) + le(entries.value_or(1), 2) +
           le(directory_size.value_or(static_cast<std::uint32_t>(central_size)), 4) +
           le(directory_offset.value_or(static_cast<std::uint32_t>(central_at)), 4) + le(0, 2);
    return zip;
  }
};

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

// Every byte of the directory and of the local headers is the backup's:
// whatever they claim, the reader stays within the plaintext, allocates
// by what it has read, and says what is wrong.
TEST_F(ArchiveTest, HostileDirectoriesAndLocalHeaders) {
  const std::string not_valid = "Backup data is not a valid ZIP archive: ";
  const std::string zip64 = testing::zip_archive({{"f.txt", "hello", false}}, /*zip64=*/true);
  // From the end of a ZIP64 archive: the end record, its locator, the ZIP64 end record.
  const std::size_t locator_at = zip64.size() - 22 - 20;
  const std::size_t end64_at = locator_at - 56;
  const auto patched = [](std::string zip, std::size_t at, std::string_view bytes) {
    return zip.replace(at, bytes.size(), bytes);
  };
  const std::string deflated = testing::zip_archive({{"f.txt", std::string(3000, 'd')}});
  std::string bad_deflate = deflated;
  bad_deflate[30 + 5] = '\xff';  // block type 3 does not exist
  const std::string unicode_name = "\xc3\xa9t\xc3\xa9.txt";  // "été.txt"
  const auto unicode_field = [](std::uint32_t crc) {
    const std::string path = "\xc3\x89T\xc3\x89.txt";  // "ÉTÉ.txt"
    return le(0x7075, 2) + le(5 + path.size(), 2) + le(1, 1) + le(crc, 4) + path;
  };
  const auto made = [](auto bend) {
    Handmade zip;
    bend(zip);
    return zip.bytes();
  };
  struct Case {
    const char* what;
    std::string bytes;
    std::string outcome;
  };
  const Case cases[] = {
      {"sound", made([](Handmade&) {}), "f.txt: hello"},
      {"directory past the end", made([](Handmade& z) { z.directory_offset = 1 << 30; }),
       not_valid + "Not a zip archive"},
      {"directory over the end record", made([](Handmade& z) { z.directory_size = 1000; }),
       not_valid + "Zip archive inconsistent"},
      {"more entries than the directory holds", made([](Handmade& z) { z.entries = 0xffff; }),
       not_valid + "Zip archive inconsistent"},
      {"fewer entries than it holds", made([](Handmade& z) { z.entries = 0; }), not_valid + "Zip archive inconsistent"},
      {"directory pointing at a local header", made([](Handmade& z) { z.directory_offset = 0; }),
       not_valid + "Not a zip archive"},
      {"another disk", made([](Handmade& z) { z.this_disk = 1; }), not_valid + "Multi-disk zip archives not supported"},
      {"extra field longer than its room", made([](Handmade& z) { z.central_extra = le(0x5455, 2) + le(9, 2) + "x"; }),
       not_valid + "Zip archive inconsistent"},
      {"ZIP64 sizes without their field", made([](Handmade& z) { z.size = 0xFFFFFFFF; }),
       not_valid + "Zip archive inconsistent"},
      {"ZIP64 field too short", made([](Handmade& z) {
         z.header_offset = 0xFFFFFFFF;
         z.central_extra = le(1, 2) + le(4, 2) + le(0, 4);
       }),
       not_valid + "Zip archive inconsistent"},
      {"flagged UTF-8 but not", made([](Handmade& z) {
         z.flags = 0x0800;
         z.name = "caf\xe9.txt";
       }),
       not_valid + "Zip archive inconsistent"},
      {"ZIP64 locator to nowhere", patched(zip64, locator_at + 8, le(1 << 30, 8)), not_valid + "Not a zip archive"},
      {"ZIP64 on two disks", patched(zip64, locator_at + 16, le(2, 4)),
       not_valid + "Multi-disk zip archives not supported"},
      {"ZIP64 count beyond the directory", patched(zip64, end64_at + 24, le(1ULL << 40, 8) + le(1ULL << 40, 8)),
       not_valid + "Zip archive inconsistent"},
      {"ZIP64 directory past the end", patched(zip64, end64_at + 48, le(1ULL << 62, 8)),
       not_valid + "Zip archive inconsistent"},
      {"local header past the end", made([](Handmade& z) { z.header_offset = 1 << 20; }),
       "f.txt: Zip archive inconsistent"},
      {"no local header there", made([](Handmade& z) { z.local_signature = 0x02014b50; }),
       "f.txt: Zip archive inconsistent"},
      {"local name running past the end", made([](Handmade& z) { z.local_name_length = 0xffff; }),
       "f.txt: Zip archive inconsistent"},
      {"compressed size past the end", made([](Handmade& z) { z.compressed = z.size = 1 << 20; }),
       "f.txt: Zip archive inconsistent"},
      {"stored sizes that disagree", made([](Handmade& z) { z.size = 4; }), "f.txt: Zip archive inconsistent"},
      {"Deflate content short of its size", made([](Handmade& z) {
         z.method = 8;
         z.data = std::string("\x03\x00", 2);  // an empty Deflate stream
         z.size = 5;
       }),
       "f.txt: Zip archive inconsistent"},
      {"Deflate data that ends early", made([](Handmade& z) {
         z.method = 8;
         z.data = std::string("\x00\x05\x00\xfa\xffhel", 8);  // a stored block of 5 bytes, cut short
       }),
       "f.txt: Zip archive inconsistent"},
      {"the largest size there is", made([](Handmade& z) {
         z.method = 8;
         z.data = std::string("\x01\x05\x00\xfa\xffhello", 10);  // one final stored block
         z.size = 0xFFFFFFFF;
         z.central_extra = le(1, 2) + le(8, 2) + le(UINT64_MAX, 8);
       }),
       "f.txt: Zip archive inconsistent"},
      {"wrong CRC", made([](Handmade& z) { z.crc = 1234; }), "f.txt: CRC error"},
      {"Deflate data that is not", bad_deflate, "f.txt: Compressed data invalid"},
      {"code page 437 with control codes and a NUL",
       made([](Handmade& z) { z.name = std::string("\x01\x7f\0\x82t\xe9", 6); }),
       "☺⌂\u2007étΘ: hello"},
      {"UTF-8 guessed", made([&](Handmade& z) { z.name = unicode_name; }), "été.txt: hello"},
      {"Unicode Path of this name", made([&](Handmade& z) {
         z.name = "\x82t\x82.txt";
         z.central_extra = unicode_field(crc_of(z.name));
       }),
       "ÉTÉ.txt: hello"},
      {"Unicode Path of another name", made([&](Handmade& z) {
         z.name = "\x82t\x82.txt";
         z.central_extra = unicode_field(crc_of("ete.txt"));
       }),
       "été.txt: hello"},
  };
  for (const Case& c : cases) {
    auto archive = open_bytes(c.bytes);
    std::string outcome;
    if (!archive) {
      outcome = archive.error().render();
    } else {
      for (std::uint64_t index = 0; index < (*archive)->entry_count(); ++index) {
        const std::string name = (*archive)->entry_name(index);
        std::string content;
        auto entry = (*archive)->open_entry(index);
        if (!entry) {
          content = entry.error().render();
        } else {
          char buffer[1000];
          Result<std::size_t> got = std::size_t{0};
          while ((got = entry->read(buffer, sizeof buffer)) && *got > 0) content.append(buffer, *got);
          if (!got) content = got.error().render();
        }
        outcome += name + ": " + content;
      }
    }
    EXPECT_EQ(outcome, c.outcome) << c.what;
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
