// The test backups are only worth something if a real ZIP reader and the
// product's decryptor accept what the writer makes.
#include "support/backup_writer.hpp"

#include <gtest/gtest.h>
#include <zip.h>

#include <cstring>
#include <memory>
#include <string>

#include "crypto/key.hpp"
#include "crypto/stream.hpp"
#include "support/sandbox.hpp"

namespace korvo {
namespace {

using testing::BackupEntry;
using testing::ScratchDir;

struct ZipClose {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};

std::unique_ptr<zip_t, ZipClose> open_zip(const std::string& path) {
  int error = 0;
  return std::unique_ptr<zip_t, ZipClose>(zip_open(path.c_str(), ZIP_RDONLY, &error));
}

// Content of entry `index`, or the libzip error code when it cannot be read.
std::string read_entry(zip_t* archive, zip_uint64_t index, int* error_code = nullptr) {
  zip_file_t* file = zip_fopen_index(archive, index, 0);
  if (file == nullptr) {
    if (error_code) *error_code = zip_error_code_zip(zip_get_error(archive));
    return {};
  }
  std::string content;
  char buffer[4096];
  zip_int64_t got = 0;
  while ((got = zip_fread(file, buffer, sizeof buffer)) > 0) content.append(buffer, static_cast<std::size_t>(got));
  EXPECT_EQ(got, 0) << "read error in entry " << index;
  zip_fclose(file);
  return content;
}

TEST(BackupWriter, ArchivesAreReadByLibzip) {
  ScratchDir scratch;
  const std::string big(200000, 'z');
  const std::vector<BackupEntry> entries = {
      {"manifest.json", "{}"},
      {"photos/", ""},
      {"photos/2019/x.jpg", big, false},
      {"same.txt", "first"},
      {"same.txt", "second"},
      {"a\\b", "backslash"},
      {"bz.bin", "not really bzip2", true, 12},
      {"locked.txt", "cipher", true, std::nullopt, true},
      {"imploded.bin", "old method", true, 6},
  };
  for (bool zip64 : {false, true}) {
    SCOPED_TRACE(zip64);
    const std::string path = scratch.sub(zip64 ? "64.zip" : "32.zip");
    testing::write_test_file(path, testing::zip_archive(entries, zip64));
    auto archive = open_zip(path);
    ASSERT_NE(archive, nullptr);
    ASSERT_EQ(zip_get_num_entries(archive.get(), 0), static_cast<zip_int64_t>(entries.size()));
    for (zip_uint64_t i = 0; i < 6; ++i) {
      EXPECT_STREQ(zip_get_name(archive.get(), i, ZIP_FL_ENC_RAW), entries[i].name.c_str());
      EXPECT_EQ(read_entry(archive.get(), i), entries[i].content) << entries[i].name;
    }
    // Whether bzip2 can be opened depends on how libzip was built; the
    // method number must be there either way.
    zip_stat_t stat;
    ASSERT_EQ(zip_stat_index(archive.get(), 6, 0, &stat), 0);
    EXPECT_EQ(stat.comp_method, 12);
    int error = 0;
    read_entry(archive.get(), 7, &error);
    EXPECT_EQ(error, ZIP_ER_NOPASSWD);
    read_entry(archive.get(), 8, &error);
    EXPECT_EQ(error, ZIP_ER_COMPNOTSUPP);
  }
}

TEST(BackupWriter, StreamedBackupDecryptsWithTheProductReader) {
  ScratchDir scratch;
  testing::write_test_file(scratch.sub("in/Documents/a.txt"), "hello");
  testing::write_test_file(scratch.sub("in/extra.bin"), std::string(300000, '\x7f'));
  testing::DiskBackupSpec spec;
  spec.chunk_size = 4096;
  spec.files = {{"Documents/a.txt", scratch.sub("in/Documents/a.txt")},
                {"WiFi/extra.bin", scratch.sub("in/extra.bin"), false}};
  testing::write_backup_from_disk(scratch.sub("backup"), spec);

  auto key = derive_backup_key(scratch.sub("backup/backup.salt"), testing::kTestPassword);
  ASSERT_TRUE(key.ok()) << key.error().render();
  const std::string zip_path = scratch.sub("Backup.zip.tmp");
  auto decrypted = decrypt_backup_stream(scratch.sub("backup/Backup.enc"), zip_path, std::move(*key));
  ASSERT_TRUE(decrypted.ok()) << decrypted.error().render();

  auto archive = open_zip(zip_path);
  ASSERT_NE(archive, nullptr);
  ASSERT_EQ(zip_get_num_entries(archive.get(), 0), 3);
  EXPECT_EQ(read_entry(archive.get(), 1), std::string(300000, '\x7f'));
  EXPECT_EQ(read_entry(archive.get(), 2),
            testing::manifest_text({{"C:\\Users\\alex\\Documents\\a.txt", "Documents/a.txt", 5,
                                     testing::sha256_hex("hello")}}));
}

}  // namespace
}  // namespace korvo
