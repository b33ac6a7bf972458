// Backup.enc under a fixed key. An input that starts with "S" is a recipe:
// chunks that are sealed here under the key (so the records are reached
// past authentication), mixed with raw bytes; any other input is the file
// itself. Either way a plain reader of the container predicts whether it
// opens, with which error, and the plaintext read from it in pieces of a
// size the input chooses, up to the first damaged record.

#include <fuzzer/FuzzedDataProvider.h>
#include <openssl/evp.h>

#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "crypto/stream.hpp"
#include "fuzz_key.hpp"
#include "fuzz_support.hpp"

namespace {

constexpr const auto& kKey = korvo::fuzz::kContainerKey;
constexpr std::uint32_t kMaxRecordLen = 67'108'880;
constexpr std::size_t kTagSize = 16;
constexpr std::size_t kMaxRecipeChunk = 4096;
constexpr std::string_view kAuthFailed = "Decryption failed. The password is incorrect or the backup is corrupted.";

struct CtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using Ctx = std::unique_ptr<EVP_CIPHER_CTX, CtxFree>;

void put_be32(std::string& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

std::uint32_t be32(std::string_view bytes) {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
  return value;
}

std::string seal(std::string_view nonce, std::string_view plaintext) {
  Ctx ctx(EVP_CIPHER_CTX_new());
  std::string out(nonce);
  put_be32(out, static_cast<std::uint32_t>(plaintext.size() + kTagSize));
  std::string sealed(plaintext.size() + kTagSize, '\0');
  int produced = 0;
  auto* bytes = reinterpret_cast<unsigned char*>(sealed.data());
  EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, kKey.data(),
                     reinterpret_cast<const unsigned char*>(nonce.data()));
  EVP_EncryptUpdate(ctx.get(), bytes, &produced, reinterpret_cast<const unsigned char*>(plaintext.data()),
                    static_cast<int>(plaintext.size()));
  EVP_EncryptFinal_ex(ctx.get(), bytes + produced, &produced);
  EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagSize, bytes + plaintext.size());
  return out + sealed;
}

std::optional<std::string> open(std::string_view nonce, std::string_view sealed) {
  if (sealed.size() < kTagSize) return std::nullopt;
  Ctx ctx(EVP_CIPHER_CTX_new());
  std::string plain(sealed.size() - kTagSize, '\0');
  std::string tag(sealed.substr(plain.size()));
  int produced = 0;
  auto* out = reinterpret_cast<unsigned char*>(plain.data());
  EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, kKey.data(),
                     reinterpret_cast<const unsigned char*>(nonce.data()));
  EVP_DecryptUpdate(ctx.get(), out, &produced, reinterpret_cast<const unsigned char*>(sealed.data()),
                    static_cast<int>(plain.size()));
  EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagSize, tag.data());
  if (EVP_DecryptFinal_ex(ctx.get(), out + produced, &produced) != 1) return std::nullopt;
  return plain;
}

std::string recipe_file(FuzzedDataProvider& recipe) {
  std::string file = "KORVOENC1";
  put_be32(file, recipe.ConsumeBool() ? recipe.ConsumeIntegral<std::uint32_t>()
                                      : recipe.ConsumeIntegralInRange<std::uint32_t>(1, kMaxRecordLen));
  while (recipe.remaining_bytes() > 0) {
    switch (recipe.ConsumeIntegralInRange(0, 3)) {
      case 0:
      case 1: {
        const std::string nonce = recipe.ConsumeBytesAsString(12) + std::string(12, '\0');
        const auto size = recipe.ConsumeIntegralInRange<std::size_t>(0, kMaxRecipeChunk);
        file += seal(std::string_view(nonce).substr(0, 12), recipe.ConsumeBytesAsString(size));
        break;
      }
      case 2:
        file += recipe.ConsumeBytesAsString(recipe.ConsumeIntegralInRange<std::size_t>(0, 32));
        break;
      default:  // cut the file short
        file.resize(file.size() - std::min<std::size_t>(file.size(), recipe.ConsumeIntegralInRange(0, 40)));
        break;
    }
  }
  return file;
}

struct Expected {
  std::optional<std::string> inner;  // the failure to open, or nothing
  bool wrong_key = false;
  std::string plaintext;             // what reads give, up to the damage
  bool damaged = false;              // reads stop at a record that does not open
};

Expected read_reference(std::string_view file) {
  Expected expected;
  const auto failure = [&](std::string_view message) {
    expected.inner = std::string(message);
    return expected;
  };
  if (file.size() < 9) return failure("Backup.enc is too small to be valid (missing container header)");
  if (file.substr(0, 9) != "KORVOENC1") return failure("Unsupported backup format: missing Korvo container header");
  if (file.size() < 13) return failure("Backup.enc header is truncated");
  const std::uint32_t chunk = be32(file.substr(9));
  if (chunk == 0 || chunk > kMaxRecordLen) return failure("Backup.enc header has an invalid chunk size");
  // The key is tried on a whole first record before the rest is looked at.
  if (file.size() >= 13 + 16) {
    const std::uint32_t length = be32(file.substr(13 + 12));
    if (length >= 1 && length <= kMaxRecordLen && file.size() - 29 >= length &&
        !open(file.substr(13, 12), file.substr(29, length))) {
      expected.wrong_key = true;
      return failure(kAuthFailed);
    }
  }
  // Every record header is checked before anything past the first record is opened.
  std::vector<std::pair<std::string_view, std::string_view>> records;
  std::size_t pos = 13;
  while (pos < file.size()) {
    if (file.size() - pos < 12) return failure("Backup.enc is truncated");
    const std::string_view nonce = file.substr(pos, 12);
    pos += 12;
    if (file.size() - pos < 4) return failure("Backup.enc record is truncated");
    const std::uint32_t length = be32(file.substr(pos));
    pos += 4;
    if (length == 0 || length > kMaxRecordLen) return failure("Backup.enc record has an invalid length");
    if (file.size() - pos < length) return failure("Backup.enc record is truncated");
    records.emplace_back(nonce, file.substr(pos, length));
    pos += length;
  }
  for (std::size_t i = 0; i < records.size(); ++i) {
    const auto plain = open(records[i].first, records[i].second);
    if (!plain) {
      if (i == 0) {
        expected.wrong_key = true;
        return failure(kAuthFailed);
      }
      // A record that holds nothing is never read.
      if (records[i].second.size() <= kTagSize) continue;
      expected.damaged = true;
      return expected;
    }
    expected.plaintext += *plain;
  }
  return expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input = korvo::fuzz::as_text(data, size);
  std::string file;
  std::size_t piece = 1 + (size % 5000);
  if (!input.empty() && input.front() == 'S') {
    FuzzedDataProvider recipe(data + 1, size - 1);
    piece = recipe.ConsumeIntegralInRange<std::size_t>(1, 9000);
    file = recipe_file(recipe);
  } else {
    file = std::string(input);
  }
  const std::string encrypted_path = korvo::fuzz::scratch_dir() + "/Backup.enc";
  korvo::fuzz::write_bytes(encrypted_path, file);

  korvo::BackupKey key;
  std::memcpy(key.data(), kKey.data(), kKey.size());
  auto stream = korvo::SealedStream::open(encrypted_path, std::move(key));

  const Expected expected = read_reference(file);
  if (expected.inner) {
    FUZZ_CHECK(!stream.ok(), "accepted a container that should fail with: " + *expected.inner);
    const std::string message =
        "Decryption failed. The password is incorrect or the backup is corrupted. (" + *expected.inner + ")";
    FUZZ_CHECK(stream.error().message() == message, stream.error().message() + " instead of " + message);
    FUZZ_CHECK(stream.error().cause() == nullptr, "the wrapped error carries a cause");
    FUZZ_CHECK((stream.error().kind() == korvo::ErrorKind::kWrongKey) == expected.wrong_key, "wrong kind");
    return 0;
  }
  FUZZ_CHECK(stream.ok(), "refused a good container: " + stream.error().render());
  std::string read;
  std::string buffer(piece, '\0');
  while (true) {
    auto got = (*stream)->read_at(read.size(), buffer.data(), buffer.size());
    if (!got) {
      FUZZ_CHECK(expected.damaged, "a read failed in a sound container: " + got.error().render());
      FUZZ_CHECK(got.error().kind() == korvo::ErrorKind::kDamaged, "a damaged record is not named as such");
      break;
    }
    if (*got == 0) {
      FUZZ_CHECK(!expected.damaged, "read past a damaged record");
      break;
    }
    read.append(buffer, 0, *got);
  }
  FUZZ_CHECK(read == expected.plaintext.substr(0, read.size()), "the plaintext read differs from the records'");
  if (!expected.damaged) FUZZ_CHECK(read.size() == expected.plaintext.size(), "the plaintext was read short");
  return 0;
}
