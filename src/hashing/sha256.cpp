#include "hashing/sha256.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include <fmt/format.h>

#include "common/files.hpp"
#include "common/i18n.hpp"

namespace korvo {
namespace {

constexpr std::size_t kHashBufferSize = 1 << 20;

struct DigestContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct DigestFree {
  void operator()(EVP_MD* digest) const { EVP_MD_free(digest); }
};

Error openssl_failure() { return Error(tr("SHA-256 computation failed")); }

std::string hex_of(const unsigned char* digest, unsigned int length) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex(2 * std::size_t{length}, '0');
  for (unsigned int i = 0; i < length; ++i) {
    hex[2 * i] = kHex[digest[i] >> 4];
    hex[2 * i + 1] = kHex[digest[i] & 0x0f];
  }
  return hex;
}

// A restore hashes every file twice: the buffer, the digest and its context
// are made once per thread and reused. The buffer is never cleared; only
// the bytes just read are hashed.
class FileHasher {
 public:
  Result<HashedFile> digest(const std::string& path) {
    auto fd = open_file(path, O_RDONLY);
    if (!fd) return Error(trf("Cannot open for hashing: {}", path), fd.error());
    if (!ready() || EVP_DigestInit_ex(context_.get(), digest_.get(), nullptr) != 1) return openssl_failure();
    while (true) {
      const ssize_t got = ::read(fd->get(), buffer_.get(), kHashBufferSize);
      if (got < 0) {
        if (errno == EINTR) continue;
        return os_error(errno);
      }
      if (got == 0) break;
      if (EVP_DigestUpdate(context_.get(), buffer_.get(), static_cast<std::size_t>(got)) != 1) {
        return openssl_failure();
      }
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_.get(), digest, &length) != 1) return openssl_failure();
    return HashedFile{hex_of(digest, length), std::move(*fd)};
  }

 private:
  bool ready() {
    if (!buffer_) buffer_.reset(new (std::nothrow) unsigned char[kHashBufferSize]);
    if (!digest_) digest_.reset(EVP_MD_fetch(nullptr, "SHA256", nullptr));
    if (!context_) context_.reset(EVP_MD_CTX_new());
    return buffer_ && digest_ && context_;
  }

  std::unique_ptr<unsigned char[]> buffer_;
  std::unique_ptr<EVP_MD, DigestFree> digest_;
  std::unique_ptr<EVP_MD_CTX, DigestContextFree> context_;
};

}  // namespace

Result<HashedFile> sha256_file_kept_open(const std::string& path) {
  thread_local FileHasher hasher;
  return hasher.digest(path);
}

struct Sha256::State {
  std::unique_ptr<EVP_MD, DigestFree> digest{EVP_MD_fetch(nullptr, "SHA256", nullptr)};
  std::unique_ptr<EVP_MD_CTX, DigestContextFree> context{EVP_MD_CTX_new()};
  bool started = false;

  bool start() {
    if (!started) started = digest && context && EVP_DigestInit_ex(context.get(), digest.get(), nullptr) == 1;
    return started;
  }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {}
Sha256::~Sha256() = default;

Result<void> Sha256::update(std::string_view bytes) {
  if (!state_->start() || EVP_DigestUpdate(state_->context.get(), bytes.data(), bytes.size()) != 1) {
    return openssl_failure();
  }
  return Ok{};
}

Result<std::string> Sha256::hex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!state_->start() || EVP_DigestFinal_ex(state_->context.get(), digest, &length) != 1) return openssl_failure();
  state_->started = false;
  return hex_of(digest, length);
}

Result<std::string> sha256_file(const std::string& path) {
  auto hashed = sha256_file_kept_open(path);
  if (!hashed) return hashed.error();
  return std::move(hashed->digest);
}

}  // namespace korvo
