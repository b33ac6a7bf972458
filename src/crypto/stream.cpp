#include "crypto/stream.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "common/files.hpp"
#include "common/i18n.hpp"

namespace korvo {
namespace {

constexpr std::string_view kMagic = "KORVOENC1";
constexpr std::size_t kChunkSizeFieldSize = 4;
constexpr std::size_t kNonceSize = 12;
constexpr std::size_t kLengthFieldSize = 4;
constexpr std::size_t kTagSize = 16;
constexpr std::uint32_t kMaxRecordLen = 67'108'880;  // 64 MiB + tag
constexpr std::size_t kWriteBufferSize = 8192;

constexpr std::string_view kAuthenticationFailed =
    N_("Decryption failed. The password is incorrect or the backup is corrupted.");

std::uint32_t read_be32(const std::uint8_t* bytes) {
  return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) | (std::uint32_t{bytes[2]} << 8) |
         std::uint32_t{bytes[3]};
}

bool valid_length(std::uint32_t length) { return length >= 1 && length <= kMaxRecordLen; }

// The output file behind an 8 KiB buffer. Whatever is still buffered when
// it goes away is written out, errors ignored: a failed run keeps every
// plaintext byte that had been accepted.
class BufferedOutput {
 public:
  explicit BufferedOutput(Fd fd) : fd_(std::move(fd)) {}
  BufferedOutput(const BufferedOutput&) = delete;
  BufferedOutput& operator=(const BufferedOutput&) = delete;
  ~BufferedOutput() { (void)flush(); }

  Result<void> write(std::string_view bytes) {
    if (used_ + bytes.size() > buffer_.size()) {
      KORVO_RETURN_IF_ERROR(flush());
    }
    if (bytes.size() >= buffer_.size()) return write_all(fd_.get(), bytes);
    std::memcpy(buffer_.data() + used_, bytes.data(), bytes.size());
    used_ += bytes.size();
    return Ok{};
  }

  Result<void> flush() {
    if (used_ == 0) return Ok{};
    const std::string_view pending(buffer_.data(), used_);
    used_ = 0;
    return write_all(fd_.get(), pending);
  }

  Result<void> sync() {
    while (::fsync(fd_.get()) != 0) {
      if (errno != EINTR) return os_error(errno);
    }
    return Ok{};
  }

 private:
  Fd fd_;
  std::array<char, kWriteBufferSize> buffer_{};
  std::size_t used_ = 0;
};

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

// Decrypts one sealed chunk in place. The tag is checked by the final call,
// so the caller must not use the plaintext unless this succeeds.
bool open_record(EVP_CIPHER_CTX* ctx, const std::uint8_t* nonce, std::uint8_t* sealed, std::size_t length) {
  if (length < kTagSize) return false;
  const std::size_t text_size = length - kTagSize;
  int produced = 0;
  if (EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce) != 1) return false;
  if (EVP_DecryptUpdate(ctx, sealed, &produced, sealed, static_cast<int>(text_size)) != 1) return false;
  if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagSize), sealed + text_size) != 1) {
    return false;
  }
  int tail = 0;
  return EVP_DecryptFinal_ex(ctx, sealed + produced, &tail) == 1;
}

// A full or failing disk is named with its file and the system's reason;
// any other failure keeps its bare message.
Error disk_or(const Error& error, const std::string& path, std::string message) {
  if (error.is_disk_problem()) return Error(trf("Cannot write {}", path), error);
  return Error(std::move(message));
}

// Returns the inner failure as a bare message.
Result<void> decrypt_records(const std::string& encrypted_path, const std::string& output_path,
                             const BackupKey& key) {
  auto input = open_file(encrypted_path, O_RDONLY);
  if (!input) return Error(trf("Cannot open {}", encrypted_path));
  const int in = input->get();

  std::array<std::uint8_t, kMagic.size()> magic{};
  auto got = read_full(in, magic.data(), magic.size());
  if (!got || *got < magic.size()) {
    return Error(tr("Backup.enc is too small to be valid (missing container header)"));
  }
  if (std::memcmp(magic.data(), kMagic.data(), kMagic.size()) != 0) {
    return Error(tr("Unsupported backup format: missing Korvo container header"));
  }
  std::array<std::uint8_t, kChunkSizeFieldSize> chunk_field{};
  got = read_full(in, chunk_field.data(), chunk_field.size());
  if (!got || *got < chunk_field.size()) return Error(tr("Backup.enc header is truncated"));
  if (!valid_length(read_be32(chunk_field.data()))) return Error(tr("Backup.enc header has an invalid chunk size"));

  auto output_fd = open_file(output_path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (!output_fd) return disk_or(output_fd.error(), output_path, trf("Cannot create {}", output_path));
  BufferedOutput output(std::move(*output_fd));

  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), nullptr) != 1) {
    return Error(tr(kAuthenticationFailed));
  }

  std::vector<std::uint8_t> record;
  bool first_record = true;
  while (true) {
    std::array<std::uint8_t, kNonceSize> nonce{};
    got = read_full(in, nonce.data(), nonce.size());
    if (!got) return Error(tr("Cannot read Backup.enc"));
    if (*got == 0) break;
    if (*got < nonce.size()) return Error(tr("Backup.enc is truncated"));

    std::array<std::uint8_t, kLengthFieldSize> length_field{};
    got = read_full(in, length_field.data(), length_field.size());
    if (!got || *got < length_field.size()) return Error(tr("Backup.enc record is truncated"));
    const std::uint32_t length = read_be32(length_field.data());
    if (!valid_length(length)) return Error(tr("Backup.enc record has an invalid length"));

    record.resize(length);
    got = read_full(in, record.data(), length);
    if (!got || *got < length) return Error(tr("Backup.enc record is truncated"));
    if (!open_record(ctx.get(), nonce.data(), record.data(), length)) {
      // Only a first record that does not open says the key is wrong; a
      // later one means the file was damaged after a good start.
      return Error(tr(kAuthenticationFailed), first_record ? ErrorKind::kWrongKey : ErrorKind::kOther);
    }
    first_record = false;
    const std::string_view plaintext(reinterpret_cast<const char*>(record.data()), length - kTagSize);
    if (auto written = output.write(plaintext); !written) {
      return disk_or(written.error(), output_path, tr("Cannot write decrypted output"));
    }
  }

  if (auto flushed = output.flush(); !flushed) return disk_or(flushed.error(), output_path, tr("Cannot flush decrypted output"));
  if (auto synced = output.sync(); !synced) {
    return disk_or(synced.error(), output_path, tr("Cannot flush decrypted output to disk"));
  }
  return Ok{};
}

}  // namespace

Result<void> decrypt_backup_stream(const std::string& encrypted_path, const std::string& output_path, BackupKey key) {
  auto result = decrypt_records(encrypted_path, output_path, key);
  key.wipe();
  if (!result) {
    // A disk problem says nothing about the password or the backup.
    if (result.error().is_disk_problem()) return result.error();
    return Error(trf("Decryption failed. The password is incorrect or the backup is corrupted. ({})",
                             result.error().message()),
                 result.error().kind());
  }
  return Ok{};
}

}  // namespace korvo
