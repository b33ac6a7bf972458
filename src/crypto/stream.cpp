#include "crypto/stream.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "common/i18n.hpp"

namespace korvo {
namespace {

constexpr std::string_view kMagic = "KORVOENC1";
constexpr std::size_t kHeaderSize = kMagic.size() + 4;
constexpr std::size_t kNonceSize = 12;
constexpr std::size_t kRecordHeaderSize = kNonceSize + 4;
constexpr std::size_t kTagSize = 16;
constexpr std::uint32_t kMaxRecordLen = 67'108'880;  // 64 MiB + tag
// How far ahead of the record being decrypted the drive is asked to read,
// so that a slow drive reads while the copy works; asked for in steps.
constexpr std::uint64_t kReadAhead = 32 << 20;
constexpr std::uint64_t kReadAheadStep = 8 << 20;

constexpr std::string_view kAuthenticationFailed =
    N_("Decryption failed. The password is incorrect or the backup is corrupted.");

std::uint32_t read_be32(const std::uint8_t* bytes) {
  return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) | (std::uint32_t{bytes[2]} << 8) |
         std::uint32_t{bytes[3]};
}

bool valid_length(std::uint32_t length) { return length >= 1 && length <= kMaxRecordLen; }

Error wrapped(std::string_view inner, ErrorKind kind = ErrorKind::kOther) {
  return Error(trf("Decryption failed. The password is incorrect or the backup is corrupted. ({})", inner), kind);
}

// The 13-byte container header; the bare message of its first fault.
Result<void> check_header(int fd) {
  std::array<std::uint8_t, kHeaderSize> header{};
  auto got = pread_full(fd, header.data(), header.size(), 0);
  if (!got || *got < kMagic.size()) return Error(tr("Backup.enc is too small to be valid (missing container header)"));
  if (std::memcmp(header.data(), kMagic.data(), kMagic.size()) != 0) {
    return Error(tr("Unsupported backup format: missing Korvo container header"));
  }
  if (*got < header.size()) return Error(tr("Backup.enc header is truncated"));
  if (!valid_length(read_be32(header.data() + kMagic.size()))) {
    return Error(tr("Backup.enc header has an invalid chunk size"));
  }
  return Ok{};
}

}  // namespace

Result<std::vector<SealedRecord>> index_sealed_records(int fd) {
  KORVO_RETURN_IF_ERROR(check_header(fd));
  std::vector<SealedRecord> records;
  std::uint64_t at = kHeaderSize;
  std::uint64_t plain = 0;
  while (true) {
    std::array<std::uint8_t, kRecordHeaderSize> fields{};
    auto got = pread_full(fd, fields.data(), fields.size(), at);
    if (!got) return Error(tr("Cannot read Backup.enc"));
    if (*got == 0) break;
    if (*got < kNonceSize) return Error(tr("Backup.enc is truncated"));
    if (*got < fields.size()) return Error(tr("Backup.enc record is truncated"));
    const std::uint32_t length = read_be32(fields.data() + kNonceSize);
    if (!valid_length(length)) return Error(tr("Backup.enc record has an invalid length"));
    records.push_back({at, length, plain});
    at += kRecordHeaderSize + length;
    // A record too short for its tag holds nothing; it fails when opened.
    plain += length > kTagSize ? length - kTagSize : 0;
  }
  // The last body must be whole: nothing past it says where it ends.
  if (!records.empty()) {
    std::uint8_t last = 0;
    auto got = pread_full(fd, &last, 1, at - 1);
    if (!got || *got < 1) return Error(tr("Backup.enc record is truncated"));
  }
  records.push_back({at, 0, plain});
  return records;
}

struct SealedStream::Slot {
  std::size_t index = SIZE_MAX;
  std::vector<std::uint8_t> bytes;  // the sealed chunk, decrypted in place
};

struct SealedStream::Cipher {
  struct Free {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
  };
  std::unique_ptr<EVP_CIPHER_CTX, Free> ctx;

  // The tag is checked by the final call, so the plaintext is of no use
  // unless this succeeds.
  bool open(const std::uint8_t* nonce, std::uint8_t* sealed, std::size_t length) {
    if (length < kTagSize) return false;
    const std::size_t text_size = length - kTagSize;
    int produced = 0;
    if (EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, nullptr, nonce) != 1) return false;
    if (EVP_DecryptUpdate(ctx.get(), sealed, &produced, sealed, static_cast<int>(text_size)) != 1) return false;
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagSize), sealed + text_size) != 1) {
      return false;
    }
    int tail = 0;
    return EVP_DecryptFinal_ex(ctx.get(), sealed + produced, &tail) == 1;
  }
};

Error damaged_record() { return wrapped(tr(kAuthenticationFailed), ErrorKind::kDamaged); }

SealedStream::SealedStream(Fd file, BackupKey key, std::vector<SealedRecord> records)
    : file_(std::move(file)),
      key_(std::move(key)),
      records_(std::move(records)),
      tried_(records_.size(), false),
      slots_(new Slot[2]),
      cipher_(std::make_unique<Cipher>()) {}

SealedStream::~SealedStream() = default;

Result<std::unique_ptr<SealedStream>> SealedStream::open(const std::string& path, BackupKey key) {
  auto file = open_file(path, O_RDONLY);
  if (!file) return wrapped(trf("Cannot open {}", path));
  if (auto header = check_header(file->get()); !header) return wrapped(header.error().message());
  // The first record alone is indexed before the key is tried on it: the
  // password is known right or wrong before the rest of the file is read.
  std::vector<SealedRecord> first = {{kHeaderSize, 0, 0}};
  std::array<std::uint8_t, kRecordHeaderSize> fields{};
  auto got = pread_full(file->get(), fields.data(), fields.size(), kHeaderSize);
  if (got && *got == fields.size() && valid_length(read_be32(fields.data() + kNonceSize))) {
    const std::uint32_t length = read_be32(fields.data() + kNonceSize);
    const std::uint64_t held = length > kTagSize ? length - kTagSize : 0;
    first = {{kHeaderSize, length, 0}, {kHeaderSize + kRecordHeaderSize + length, 0, held}};
  }
  std::unique_ptr<SealedStream> stream(new SealedStream(std::move(*file), std::move(key), std::move(first)));
  stream->cipher_->ctx.reset(EVP_CIPHER_CTX_new());
  const bool ready = stream->cipher_->ctx && EVP_DecryptInit_ex(stream->cipher_->ctx.get(), EVP_aes_256_gcm(),
                                                                nullptr, stream->key_.data(), nullptr) == 1;
  stream->key_.wipe();  // the cipher keeps its own schedule from here on
  if (!ready) return wrapped(tr(kAuthenticationFailed));
  if (stream->record_count() > 0) {
    // Only a first record that does not open says the key is wrong; one cut short is the index's to name.
    if (auto opened = stream->load(0); !opened && opened.error().kind() == ErrorKind::kDamaged) {
      const std::uint64_t body_end = stream->records_[1].file_offset;
      std::uint8_t last = 0;
      auto whole = pread_full(stream->file_.get(), &last, 1, body_end - 1);
      if (whole && *whole == 1) return wrapped(tr(kAuthenticationFailed), ErrorKind::kWrongKey);
    }
  }
  auto records = index_sealed_records(stream->file_.get());
  if (!records) return wrapped(records.error().message());
  stream->records_ = std::move(*records);
  stream->tried_.assign(stream->records_.size(), false);
  return stream;
}

void SealedStream::read_ahead(std::size_t index) {
  const std::uint64_t from = records_[index + 1].file_offset;
  if (advised_to_ >= from + kReadAhead - kReadAheadStep) return;  // still far enough ahead
  const std::uint64_t start = std::max(from, advised_to_);
  const std::uint64_t stop = std::min(records_.back().file_offset, from + kReadAhead);
  if (start >= stop) return;
  (void)::posix_fadvise(file_.get(), static_cast<off_t>(start), static_cast<off_t>(stop - start),
                        POSIX_FADV_WILLNEED);
  advised_to_ = stop;
}

Result<const SealedStream::Slot*> SealedStream::load(std::size_t index) {
  for (std::size_t i = 0; i < 2; ++i) {
    if (slots_[i].index == index) {
      next_slot_ = 1 - i;  // the other one goes first
      return &slots_[i];
    }
  }
  Slot& slot = slots_[next_slot_];
  next_slot_ = 1 - next_slot_;
  slot.index = SIZE_MAX;
  const SealedRecord& record = records_[index];
  tried_[index] = true;
  slot.bytes.resize(kRecordHeaderSize + record.length);
  auto got = pread_full(file_.get(), slot.bytes.data(), slot.bytes.size(), record.file_offset);
  if (!got) return Error(tr("Cannot read Backup.enc"));
  read_ahead(index);
  // A record that is no longer what the index saw is as damaged as one that does not open.
  const bool intact = *got == slot.bytes.size() && read_be32(slot.bytes.data() + kNonceSize) == record.length;
  if (!intact || !cipher_->open(slot.bytes.data(), slot.bytes.data() + kRecordHeaderSize, record.length)) {
    return damaged_record();
  }
  slot.index = index;
  return &slot;
}

Result<std::size_t> SealedStream::read_at(std::uint64_t offset, char* into, std::size_t length) {
  std::size_t done = 0;
  while (done < length && offset < size()) {
    // The last record that starts at or before the offset; empty records share their start with the next.
    const auto after = std::upper_bound(records_.begin(), records_.end() - 1, offset,
                                        [](std::uint64_t at, const SealedRecord& r) { return at < r.plain_offset; });
    const std::size_t index = static_cast<std::size_t>(after - records_.begin()) - 1;
    auto slot = load(index);
    if (!slot && (!lenient_ || slot.error().kind() != ErrorKind::kDamaged)) return slot.error();
    const std::uint64_t within = offset - records_[index].plain_offset;
    const std::uint64_t held = records_[index + 1].plain_offset - records_[index].plain_offset;
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, held - within));
    if (slot) {
      std::memcpy(into + done, (*slot)->bytes.data() + kRecordHeaderSize + within, take);
    } else {
      std::memset(into + done, 0, take);
      zero_filled_ = true;
    }
    done += take;
    offset += take;
  }
  return done;
}

Result<void> SealedStream::check_record(std::size_t index) {
  if (tried_[index]) return Ok{};
  auto slot = load(index);
  if (!slot) return slot.error();
  return Ok{};
}

}  // namespace korvo
