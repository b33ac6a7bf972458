// The test backups are only worth something if a real ZIP reader and the
// product's decryptor accept what the writer makes. The in-memory archives are
// unpacked, entry kinds and refusals included, by the archive tests.
#include "backup_writer/backup_writer.hpp"

#include <gtest/gtest.h>
#include <zip.h>

#include <memory>
#include <string>

#include "crypto/key.hpp"
#include "crypto/stream.hpp"
#include "support/sandbox.hpp"

namespace korvo {
namespace {

using testing::ScratchDir;

struct ZipClose {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};

std::unique_ptr<zip_t, ZipClose> open_zip(const std::string& path) {
  int error = 0;
  return std::unique_ptr<zip_t, ZipClose>(zip_open(path.c_str(), ZIP_RDONLY, &error));
}

std::string read_entry(zip_t* archive, zip_uint64_t index) {
  zip_file_t* file = zip_fopen_index(archive, index, 0);
  if (file == nullptr) {
    ADD_FAILURE() << "cannot open entry " << index;
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

TEST(BackupWriter, StreamedBackupDecryptsWithTheProductReader) {
  ScratchDir scratch;
  testing::write_test_file(scratch.sub("in/Documents/a.txt"), "hello");
  testing::write_test_file(scratch.sub("in/extra.bin"), std::string(300000, '\x7f'));
  testing::DiskBackupSpec plan;
  plan.chunk_size = 4096;
  plan.files = {{"Documents/a.txt", scratch.sub("in/Documents/a.txt")},
                {"WiFi/extra.bin", scratch.sub("in/extra.bin"), false}};
  testing::write_backup_from_disk(scratch.sub("backup"), plan);

  auto key = derive_backup_key(scratch.sub("backup/backup.salt"), testing::kTestPassword);
  ASSERT_TRUE(key.ok()) << key.error().render();
  auto stream = SealedStream::open(scratch.sub("backup/Backup.enc"), std::move(*key));
  ASSERT_TRUE(stream.ok()) << stream.error().render();
  std::string plaintext((*stream)->size(), '\0');
  auto read = (*stream)->read_at(0, plaintext.data(), plaintext.size());
  ASSERT_TRUE(read.ok()) << read.error().render();
  ASSERT_EQ(*read, plaintext.size());
  const std::string zip_path = scratch.sub("archive.zip");
  testing::write_test_file(zip_path, plaintext);

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
