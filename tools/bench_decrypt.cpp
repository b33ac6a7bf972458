// The benchmark's stand-in for a plain decryption tool: reads Backup.enc
// record by record and writes the plaintext, with a key given in hex (as
// the argon2 command-line tool prints it). No checks beyond what decrypting
// needs; not part of the product.
//
//   korvo-bench-decrypt KEY_HEX Backup.enc OUTPUT
#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int fail(const char* what) {
  std::fprintf(stderr, "korvo-bench-decrypt: %s\n", what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 || std::strlen(argv[1]) != 64) return fail("usage: korvo-bench-decrypt KEY_HEX IN OUT");
  unsigned char key[32];
  for (int i = 0; i < 32; ++i) {
    unsigned value = 0;
    if (std::sscanf(argv[1] + 2 * i, "%2x", &value) != 1) return fail("bad key");
    key[i] = static_cast<unsigned char>(value);
  }
  std::FILE* in = std::fopen(argv[2], "rb");
  std::FILE* out = std::fopen(argv[3], "wb");
  if (in == nullptr || out == nullptr) return fail("cannot open files");
  static char in_buffer[1 << 20];
  static char out_buffer[1 << 20];
  std::setvbuf(in, in_buffer, _IOFBF, sizeof in_buffer);
  std::setvbuf(out, out_buffer, _IOFBF, sizeof out_buffer);

  unsigned char header[13];
  if (std::fread(header, 1, sizeof header, in) != sizeof header || std::memcmp(header, "KORVOENC1", 9) != 0) {
    return fail("bad header");
  }
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_DecryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key, nullptr);
  std::vector<unsigned char> record;
  unsigned char prefix[16];
  while (true) {
    const std::size_t got = std::fread(prefix, 1, sizeof prefix, in);
    if (got == 0) break;
    if (got != sizeof prefix) return fail("truncated record");
    const std::uint32_t length = (std::uint32_t{prefix[12]} << 24) | (std::uint32_t{prefix[13]} << 16) |
                                 (std::uint32_t{prefix[14]} << 8) | prefix[15];
    if (length < 16) return fail("bad record length");
    record.resize(length);
    if (std::fread(record.data(), 1, length, in) != length) return fail("truncated record");
    int produced = 0;
    int tail = 0;
    const int text = static_cast<int>(length - 16);
    EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, prefix);
    EVP_DecryptUpdate(ctx, record.data(), &produced, record.data(), text);
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, record.data() + text);
    if (EVP_DecryptFinal_ex(ctx, record.data() + produced, &tail) != 1) return fail("authentication failed");
    if (std::fwrite(record.data(), 1, static_cast<std::size_t>(text), out) != static_cast<std::size_t>(text)) {
      return fail("write failed");
    }
  }
  EVP_CIPHER_CTX_free(ctx);
  std::fclose(in);
  if (std::fclose(out) != 0) return fail("write failed");
  return 0;
}
