// The index of Backup.enc's records, built from their headers alone: for any
// file it fails with the message a plain walk of the container predicts, or
// names every record (where it starts, its length, where its plaintext
// starts) and ends with the file's end and the plaintext's size.

#include <fcntl.h>

#include <optional>
#include <vector>

#include "crypto/stream.hpp"
#include "fuzz_support.hpp"

namespace {

constexpr std::uint32_t kMaxRecordLen = 67'108'880;

std::uint32_t be32(std::string_view bytes) {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
  return value;
}

struct Walk {
  std::optional<std::string> failure;
  std::vector<korvo::SealedRecord> records;
};

Walk walk(std::string_view file) {
  Walk walked;
  const auto fail = [&](std::string message) {
    walked.failure = std::move(message);
    return walked;
  };
  if (file.size() < 9) return fail("Backup.enc is too small to be valid (missing container header)");
  if (file.substr(0, 9) != "KORVOENC1") return fail("Unsupported backup format: missing Korvo container header");
  if (file.size() < 13) return fail("Backup.enc header is truncated");
  const std::uint32_t chunk = be32(file.substr(9));
  if (chunk == 0 || chunk > kMaxRecordLen) return fail("Backup.enc header has an invalid chunk size");
  std::uint64_t pos = 13;
  std::uint64_t plain = 0;
  while (pos < file.size()) {
    if (file.size() - pos < 12) return fail("Backup.enc is truncated");
    if (file.size() - pos < 16) return fail("Backup.enc record is truncated");
    const std::uint32_t length = be32(file.substr(pos + 12));
    if (length == 0 || length > kMaxRecordLen) return fail("Backup.enc record has an invalid length");
    if (file.size() - pos - 16 < length) return fail("Backup.enc record is truncated");
    walked.records.push_back({pos, length, plain});
    plain += length > 16 ? length - 16 : 0;
    pos += 16 + length;
  }
  walked.records.push_back({pos, 0, plain});
  return walked;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view file = korvo::fuzz::as_text(data, size);
  const std::string path = korvo::fuzz::scratch_dir() + "/Backup.enc";
  korvo::fuzz::write_bytes(path, file);
  auto fd = korvo::open_file(path, O_RDONLY);
  FUZZ_CHECK(fd.ok(), path);
  const auto index = korvo::index_sealed_records(fd->get());
  const Walk expected = walk(file);
  if (expected.failure) {
    FUZZ_CHECK(!index.ok(), "indexed a container that should fail with: " + *expected.failure);
    FUZZ_CHECK(index.error().message() == *expected.failure, index.error().message() + " instead of " + *expected.failure);
    return 0;
  }
  FUZZ_CHECK(index.ok(), "refused a sound container: " + index.error().render());
  FUZZ_CHECK(index->size() == expected.records.size(), "the index has another number of records");
  for (std::size_t i = 0; i < index->size(); ++i) {
    const auto& got = (*index)[i];
    const auto& want = expected.records[i];
    FUZZ_CHECK(got.file_offset == want.file_offset && got.length == want.length && got.plain_offset == want.plain_offset,
               "record " + std::to_string(i) + " is indexed at another place");
  }
  return 0;
}
