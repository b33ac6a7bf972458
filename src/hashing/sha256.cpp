#include "hashing/sha256.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include <fmt/format.h>

#include "common/files.hpp"

namespace korvo {
namespace {

constexpr std::size_t kHashBufferSize = 1 << 20;

struct DigestContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

Error openssl_failure() { return Error("SHA-256 computation failed"); }

}  // namespace

Result<std::string> sha256_file(const std::string& path) {
  auto fd = open_file(path, O_RDONLY);
  if (!fd) return Error(fmt::format("Cannot open for hashing: {}", path), fd.error());

  std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return openssl_failure();

  std::vector<unsigned char> buffer(kHashBufferSize);
  while (true) {
    const ssize_t got = ::read(fd->get(), buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (got == 0) break;
    if (EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(got)) != 1) return openssl_failure();
  }

  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) return openssl_failure();
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * length);
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0x0f];
  }
  return hex;
}

}  // namespace korvo
