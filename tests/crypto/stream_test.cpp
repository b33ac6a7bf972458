#include "crypto/stream.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "common/files.hpp"
#include "backup_writer/backup_writer.hpp"
#include "support/sandbox.hpp"

namespace korvo {
namespace {

using testing::container_header;
using testing::raw_record;
using testing::ScratchDir;
using testing::sealed_record;
using testing::sealed_stream;
using testing::TestKey;

constexpr std::uint32_t kMaxRecordLen = 67'108'880;
const std::string kAuth = "Decryption failed. The password is incorrect or the backup is corrupted.";

const TestKey& shared_key() {
  static const TestKey key = testing::test_key();
  return key;
}

BackupKey to_backup_key(const TestKey& bytes) {
  BackupKey key;
  std::memcpy(key.data(), bytes.data(), bytes.size());
  return key;
}

std::string be32(std::uint32_t value) {
  std::string out;
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
  return out;
}

// Every failure is the one message with the detail in brackets and no cause.
void expect_error(const Result<void>& result, const std::string& inner) {
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().message(), kAuth + " (" + inner + ")");
  EXPECT_EQ(result.error().cause(), nullptr);
}

std::string random_bytes(std::size_t size) {
  std::string out(size, '\0');
  std::uint32_t state = 0x9E3779B9u ^ static_cast<std::uint32_t>(size);
  for (char& c : out) {
    state = state * 1664525u + 1013904223u;
    c = static_cast<char>(state >> 24);
  }
  return out;
}

class StreamTest : public ::testing::Test {
 protected:
  std::string enc() const { return scratch.sub("Backup.enc"); }
  std::string out() const { return scratch.sub("Backup.zip.tmp"); }

  Result<void> decrypt(std::string_view container, const TestKey& key = shared_key()) {
    testing::write_test_file(enc(), container);
    return decrypt_backup_stream(enc(), out(), to_backup_key(key));
  }

  void expect_failure(std::string_view container, const std::string& inner) { expect_error(decrypt(container), inner); }
  Result<void> decrypt_to(const std::string& output) {
    return decrypt_backup_stream(enc(), output, to_backup_key(shared_key()));
  }

  std::string output() const { return testing::read_test_file(out()); }

  ScratchDir scratch;
};

TEST_F(StreamTest, HeaderFailures) {
  const std::string good = container_header(65536);
  for (std::size_t size = 0; size <= 8; ++size) {
    SCOPED_TRACE(size);
    expect_failure(good.substr(0, size), "Backup.enc is too small to be valid (missing container header)");
    EXPECT_FALSE(path_exists_nofollow(out())) << "output made before the header was accepted";
  }
  for (std::size_t size = 9; size <= 12; ++size) {
    SCOPED_TRACE(size);
    expect_failure(good.substr(0, size), "Backup.enc header is truncated");
    expect_failure("KORVOENC2" + good.substr(9, size - 9),
                   "Unsupported backup format: missing Korvo container header");
  }
  expect_failure("korvoenc1" + be32(65536), "Unsupported backup format: missing Korvo container header");
  expect_failure("PK\x03\x04 not a container at all", "Unsupported backup format: missing Korvo container header");
  expect_failure(container_header(0), "Backup.enc header has an invalid chunk size");
  expect_failure(container_header(kMaxRecordLen + 1), "Backup.enc header has an invalid chunk size");
  expect_failure(container_header(0xFFFFFFFF), "Backup.enc header has an invalid chunk size");
  EXPECT_FALSE(path_exists_nofollow(out()));
}

TEST_F(StreamTest, RecordFailures) {
  const std::string header = container_header(65536);
  const std::string first = sealed_record(shared_key(), "first");
  const std::string nonce(12, 'n');
  struct Case {
    std::string tail;
    std::string inner;
  };
  const Case cases[] = {
      {"x", "Backup.enc is truncated"},
      {std::string(11, 'x'), "Backup.enc is truncated"},
      {nonce, "Backup.enc record is truncated"},
      {nonce + std::string(3, '\0'), "Backup.enc record is truncated"},
      {raw_record(0, ""), "Backup.enc record has an invalid length"},
      {raw_record(kMaxRecordLen + 1, std::string(64, 'x')), "Backup.enc record has an invalid length"},
      {raw_record(0xFFFFFFFF, ""), "Backup.enc record has an invalid length"},
      // In range, so the length is accepted and the missing body is noticed.
      {raw_record(kMaxRecordLen, std::string(100, 'x')), "Backup.enc record is truncated"},
      {raw_record(1, ""), "Backup.enc record is truncated"},
      {raw_record(17, std::string(16, 'x')), "Backup.enc record is truncated"},
      {raw_record(1, "x"), kAuth},
      {raw_record(15, std::string(15, 'x')), kAuth},
      {raw_record(16, std::string(16, 'x')), kAuth},
      {testing::with_damaged_tag(sealed_record(shared_key(), "second")), kAuth},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.inner + " / tail of " + std::to_string(c.tail.size()));
    expect_failure(header + first + c.tail, c.inner);
    EXPECT_EQ(output(), "first");
  }
}

TEST_F(StreamTest, OpenCreateAndOutputFailures) {
  expect_error(decrypt_backup_stream(scratch.sub("none/Backup.enc"), out(), to_backup_key(shared_key())),
               "Cannot open " + scratch.sub("none/Backup.enc"));
  testing::write_test_file(enc(), sealed_stream(shared_key(), "fits in the write buffer"));
  expect_error(decrypt_to(scratch.sub("no-such-dir/Backup.zip.tmp")),
               "Cannot create " + scratch.sub("no-such-dir/Backup.zip.tmp"));
  // A full disk is named as such, with the file, never as a wrong password.
  const auto expect_full = [](const Result<void>& result) {
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().render(), "Cannot write /dev/full: No space left on device");
    EXPECT_EQ(result.error().kind(), ErrorKind::kNoSpace);
  };
  expect_full(decrypt_to("/dev/full"));  // when the last buffer is flushed
  // A character device cannot be synced.
  expect_error(decrypt_to("/dev/null"), "Cannot flush decrypted output to disk");
  testing::write_test_file(enc(), sealed_stream(shared_key(), random_bytes(20000)));
  expect_full(decrypt_to("/dev/full"));  // while records are written
}

TEST_F(StreamTest, BoundsOfChunkSizeAndLengthAreAccepted) {
  for (std::uint32_t chunk : {1u, kMaxRecordLen}) {
    SCOPED_TRACE(chunk);
    auto result = decrypt(container_header(chunk));
    ASSERT_TRUE(result.ok()) << result.error().render();
    EXPECT_EQ(output(), "");
  }
  // The header's chunk size does not limit the records.
  const std::string text = random_bytes(5000);
  auto result = decrypt(sealed_stream(shared_key(), text, 4096, 1));
  ASSERT_TRUE(result.ok()) << result.error().render();
  EXPECT_EQ(output(), text);
}

TEST_F(StreamTest, PlaintextIsTheConcatenationOfRecords) {
  const std::string text = random_bytes(50000);
  for (std::uint32_t chunk : {1u, 7u, 8191u, 8192u, 8193u, 65536u}) {
    SCOPED_TRACE(chunk);
    auto result = decrypt(sealed_stream(shared_key(), text, chunk));
    ASSERT_TRUE(result.ok()) << result.error().render();
    EXPECT_EQ(output(), text);
  }
  // Small and large records mixed, empty records in between.
  const std::string big = random_bytes(30000);
  const std::string mixed = container_header() + sealed_record(shared_key(), "abc") + sealed_record(shared_key(), "") +
                            sealed_record(shared_key(), big) + sealed_record(shared_key(), "") +
                            sealed_record(shared_key(), "xyz");
  auto result = decrypt(mixed);
  ASSERT_TRUE(result.ok()) << result.error().render();
  EXPECT_EQ(output(), "abc" + big + "xyz");
}

TEST_F(StreamTest, DamageInALaterRecordKeepsTheEarlierPlaintext) {
  const std::string records[] = {sealed_record(shared_key(), random_bytes(9000)), sealed_record(shared_key(), "two"),
                                 sealed_record(shared_key(), "three")};
  std::string damaged = records[2];
  damaged[20] = static_cast<char>(damaged[20] ^ 0x80);  // ciphertext, not the tag
  expect_failure(container_header() + records[0] + records[1] + damaged, kAuth);
  EXPECT_EQ(output(), random_bytes(9000) + "two");

  // Records are authenticated on their own: swapping them is not detected here.
  auto swapped = decrypt(container_header() + records[1] + records[0]);
  ASSERT_TRUE(swapped.ok());
  EXPECT_EQ(output(), "two" + random_bytes(9000));
}

TEST_F(StreamTest, WrongPasswordLeavesAnEmptyOutput) {
  const TestKey other = testing::test_key("wrong password");
  testing::write_test_file(out(), "stale content from an earlier run");
  expect_failure(sealed_stream(other, random_bytes(200000), 65536), kAuth);
  EXPECT_EQ(output(), "");
}

TEST_F(StreamTest, OutputIsCreatedWithMode0666BeforeUmask) {
  const mode_t previous = ::umask(0);
  auto open = decrypt(sealed_stream(shared_key(), "x"));
  ::umask(027);
  const std::string masked = scratch.sub("masked.tmp");
  auto masked_result = decrypt_to(masked);
  ::umask(previous);
  ASSERT_TRUE(open.ok());
  ASSERT_TRUE(masked_result.ok());
  struct stat info{};
  ASSERT_EQ(::stat(out().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0666u);
  ASSERT_EQ(::stat(masked.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
}

}  // namespace
}  // namespace korvo
