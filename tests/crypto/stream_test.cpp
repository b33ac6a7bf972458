#include "crypto/stream.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>

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

  Result<std::unique_ptr<SealedStream>> open(std::string_view container, const TestKey& key = shared_key()) {
    testing::write_test_file(enc(), container);
    return SealedStream::open(enc(), to_backup_key(key));
  }

  // Every failure to open is the one message with the detail in brackets and no cause.
  void expect_failure(std::string_view container, const std::string& inner) {
    auto opened = open(container);
    ASSERT_FALSE(opened.ok()) << inner;
    EXPECT_EQ(opened.error().message(), kAuth + " (" + inner + ")");
    EXPECT_EQ(opened.error().cause(), nullptr);
  }

  // The whole plaintext, read in pieces of `piece` bytes.
  static Result<std::string> read_all(SealedStream& stream, std::size_t piece = 1 << 20) {
    std::string text;
    std::string buffer(piece, '\0');
    while (true) {
      auto got = stream.read_at(text.size(), buffer.data(), buffer.size());
      if (!got) return got.error();
      if (*got == 0) return text;
      text.append(buffer, 0, *got);
    }
  }

  ScratchDir scratch;
};

TEST_F(StreamTest, HeaderFailures) {
  const std::string good = container_header(65536);
  for (std::size_t size = 0; size <= 8; ++size) {
    SCOPED_TRACE(size);
    expect_failure(good.substr(0, size), "Backup.enc is too small to be valid (missing container header)");
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
  auto missing = SealedStream::open(scratch.sub("none/Backup.enc"), to_backup_key(shared_key()));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message(), kAuth + " (Cannot open " + scratch.sub("none/Backup.enc") + ")");
}

// The record headers are checked before anything is decrypted past the
// first record: a broken one anywhere stops the opening. A record that is
// whole but does not open costs only the reads that reach it.
TEST_F(StreamTest, RecordFailures) {
  const std::string header = container_header(65536);
  const std::string first = sealed_record(shared_key(), "first");
  const std::string nonce(12, 'n');
  struct Case {
    std::string tail;
    std::string inner;  // empty: opens, and the tail's record is damaged
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
      {sealed_record(shared_key(), "whole") + raw_record(40, "short"), "Backup.enc record is truncated"},
      {raw_record(17, std::string(17, 'x')), ""},
      {testing::with_damaged_tag(sealed_record(shared_key(), "second")), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.inner + " / tail of " + std::to_string(c.tail.size()));
    if (!c.inner.empty()) {
      expect_failure(header + first + c.tail, c.inner);
      continue;
    }
    auto opened = open(header + first + c.tail);
    ASSERT_TRUE(opened.ok()) << opened.error().render();
    char bytes[16];
    EXPECT_EQ((*opened)->read_at(0, bytes, 5).value(), 5u);
    auto damaged = (*opened)->read_at(0, bytes, sizeof bytes);
    ASSERT_FALSE(damaged.ok());
    EXPECT_EQ(damaged.error().message(), kAuth + " (" + kAuth + ")");
    EXPECT_EQ(damaged.error().kind(), ErrorKind::kDamaged);
  }
}

// Short records (below a tag's length) hold nothing and are never read;
// the check of every record still finds them.
TEST_F(StreamTest, RecordsThatHoldNothingAreFoundByTheCheck) {
  const struct {
    std::string record;
    bool sound;
  } cases[] = {
      {raw_record(1, "x"), false},
      {raw_record(15, std::string(15, 'x')), false},
      {raw_record(16, std::string(16, 'x')), false},
      {sealed_record(shared_key(), ""), true},
  };
  for (const auto& c : cases) {
    auto opened = open(container_header() + sealed_record(shared_key(), "abc") + c.record +
                       sealed_record(shared_key(), "d"));
    ASSERT_TRUE(opened.ok()) << opened.error().render();
    EXPECT_EQ(read_all(**opened).value(), "abcd");
    EXPECT_TRUE((*opened)->check_record(0).ok());
    EXPECT_EQ((*opened)->check_record(1).ok(), c.sound) << c.record.size();
    EXPECT_TRUE((*opened)->check_record(2).ok());
  }
}

TEST_F(StreamTest, WrongKeyFailsOnTheFirstRecordAsSuch) {
  auto opened = open(sealed_stream(testing::test_key("wrong password"), random_bytes(200000)));
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().message(), kAuth + " (" + kAuth + ")");
  EXPECT_EQ(opened.error().kind(), ErrorKind::kWrongKey);
  // The key is tried on the first record before the rest of the file is looked at.
  auto cut_short = open(sealed_stream(testing::test_key("wrong password"), random_bytes(200000)) + "x");
  ASSERT_FALSE(cut_short.ok());
  EXPECT_EQ(cut_short.error().kind(), ErrorKind::kWrongKey);
  // A first record too short for its tag says the same.
  auto short_first = open(container_header() + raw_record(3, "abc"));
  ASSERT_FALSE(short_first.ok());
  EXPECT_EQ(short_first.error().kind(), ErrorKind::kWrongKey);
}

// Any offset, any length, across record boundaries and empty records, for
// every chunk size down to one byte; a header chunk size does not limit the records.
TEST_F(StreamTest, RandomAccessReadsThePlaintextOfTheRecords) {
  const std::string text = random_bytes(5000);
  struct Case {
    std::string container;
    std::string plaintext;
  };
  const std::string big = random_bytes(30000);
  const Case cases[] = {
      {container_header(1), ""},
      {container_header(kMaxRecordLen), ""},
      {sealed_stream(shared_key(), text, 4096, 1), text},
      {sealed_stream(shared_key(), text, 1), text},
      {sealed_stream(shared_key(), text, 7), text},
      {sealed_stream(shared_key(), text, 8192), text},
      {container_header() + sealed_record(shared_key(), "abc") + sealed_record(shared_key(), "") +
           sealed_record(shared_key(), big) + sealed_record(shared_key(), "") + sealed_record(shared_key(), "xyz") +
           sealed_record(shared_key(), ""),
       "abc" + big + "xyz"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.plaintext.size());
    auto opened = open(c.container);
    ASSERT_TRUE(opened.ok()) << opened.error().render();
    SealedStream& stream = **opened;
    EXPECT_EQ(stream.size(), c.plaintext.size());
    for (std::size_t piece : {1u, 3u, 4096u, 100000u}) EXPECT_EQ(read_all(stream, piece).value(), c.plaintext);
    for (std::size_t offset : {0ul, 1ul, 2ul, 3ul, 4095ul, 4096ul, 4097ul, c.plaintext.size() / 2,
                               c.plaintext.size() - std::min<std::size_t>(c.plaintext.size(), 1),
                               c.plaintext.size(), c.plaintext.size() + 10}) {
      std::string buffer(700, '\0');
      auto got = stream.read_at(offset, buffer.data(), buffer.size());
      ASSERT_TRUE(got.ok()) << got.error().render();
      EXPECT_EQ(buffer.substr(0, *got), offset < c.plaintext.size() ? c.plaintext.substr(offset, 700) : "") << offset;
    }
  }
}

TEST_F(StreamTest, IndexNamesEveryRecordWithoutDecrypting) {
  const std::string container = container_header() + sealed_record(shared_key(), "abc") +
                                sealed_record(shared_key(), "") + sealed_record(shared_key(), "defgh");
  testing::write_test_file(enc(), container);
  auto fd = open_file(enc(), O_RDONLY);
  ASSERT_TRUE(fd.ok());
  auto records = index_sealed_records(fd->get());
  ASSERT_TRUE(records.ok()) << records.error().render();
  ASSERT_EQ(records->size(), 4u);
  const std::uint64_t starts[] = {13, 13 + 16 + 19, 13 + 16 + 19 + 16 + 16, container.size()};
  const std::uint64_t plain[] = {0, 3, 3, 8};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ((*records)[i].file_offset, starts[i]) << i;
    EXPECT_EQ((*records)[i].plain_offset, plain[i]) << i;
  }
}

// Damage in one record costs the reads that reach it; the records before
// and after still read, and swapped records are not noticed here.
TEST_F(StreamTest, DamagedRecordCostsOnlyItsOwnBytes) {
  const std::string parts[] = {random_bytes(9000), "two", "three"};
  std::string damaged = sealed_record(shared_key(), parts[1]);
  damaged[20] = static_cast<char>(damaged[20] ^ 0x80);  // ciphertext, not the tag
  auto opened = open(container_header() + sealed_record(shared_key(), parts[0]) + damaged +
                     sealed_record(shared_key(), parts[2]));
  ASSERT_TRUE(opened.ok()) << opened.error().render();
  std::string buffer(9000, '\0');
  EXPECT_EQ((*opened)->read_at(0, buffer.data(), 9000).value(), 9000u);
  EXPECT_EQ(buffer, parts[0]);
  EXPECT_EQ((*opened)->read_at(9001, buffer.data(), 1).error().kind(), ErrorKind::kDamaged);
  EXPECT_EQ((*opened)->read_at(9003, buffer.data(), 5).value(), 5u);
  EXPECT_EQ(buffer.substr(0, 5), "three");

  auto swapped = open(container_header() + sealed_record(shared_key(), "two") + sealed_record(shared_key(), "one"));
  ASSERT_TRUE(swapped.ok());
  EXPECT_EQ(read_all(**swapped).value(), "twoone");
}

}  // namespace
}  // namespace korvo
