// backup.salt: the whole input is the file. Every outcome is compared with a
// plain reading of the salt rules, down to the rendered error text.
//
// Argon2's deliberate cost (two passes over 19 MiB) would hold the fuzzer
// to a few dozen inputs a second on the one branch that matters least, so
// argon2_ctx is replaced here: the stand-in checks the fixed parameters,
// keeps the salt it was given and applies libargon2's salt-length rule.

#include <argon2.h>

#include <cstring>
#include <optional>

#include "crypto/key.hpp"
#include "fuzz_support.hpp"

namespace {

constexpr std::size_t kArgonMinSalt = 8;
std::string g_argon_salt;
bool g_argon_called = false;

}  // namespace

extern "C" int argon2_ctx(argon2_context* context, argon2_type type) {
  FUZZ_CHECK(type == Argon2_id, "");
  FUZZ_CHECK(context->version == ARGON2_VERSION_13 && context->t_cost == 2 && context->m_cost == 19456 &&
                 context->lanes == 1 && context->threads == 1 && context->outlen == 32,
             "Argon2 parameters differ from the fixed ones");
  FUZZ_CHECK(context->secretlen == 0 && context->adlen == 0, "");
  g_argon_called = true;
  g_argon_salt.assign(reinterpret_cast<const char*>(context->salt), context->saltlen);
  if (context->saltlen < kArgonMinSalt) return ARGON2_SALT_TOO_SHORT;
  std::memset(context->out, 0x5A, context->outlen);
  return ARGON2_OK;
}

namespace {

using korvo::fuzz::reference_utf8_length;

int base64_digit(char c) {
  static constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::size_t at = kAlphabet.find(c);
  return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

// Strict unpadded Base64: decode, then encode again; only a text that comes
// back unchanged is canonical.
std::optional<std::string> reference_decode(std::string_view text) {
  static constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (text.size() % 4 == 1) return std::nullopt;
  std::string bytes;
  for (std::size_t group = 0; group < text.size(); group += 4) {
    const std::string_view piece = text.substr(group, 4);
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      const int digit = i < piece.size() ? base64_digit(piece[i]) : 0;
      if (digit < 0) return std::nullopt;
      value = (value << 6) | static_cast<std::uint32_t>(digit);
    }
    const std::size_t count = piece.size() - 1;  // 4 -> 3, 3 -> 2, 2 -> 1
    for (std::size_t i = 0; i < count; ++i) bytes.push_back(static_cast<char>((value >> (16 - 8 * i)) & 0xFF));
  }
  std::string again;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::uint32_t value = 0;
    const std::size_t count = std::min<std::size_t>(3, bytes.size() - i);
    for (std::size_t k = 0; k < 3; ++k) {
      value = (value << 8) | (k < count ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    }
    for (std::size_t k = 0; k < count + 1; ++k) again.push_back(kAlphabet[(value >> (18 - 6 * k)) & 0x3F]);
  }
  if (again != text) return std::nullopt;
  return bytes;
}

bool salt_character(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
         c == '-' || c == '.';
}

// The rendered error the rules call for, or nothing when the key is made;
// `salt` gets the bytes Argon2 must see.
std::optional<std::string> expected_error(std::string_view content, std::string& salt) {
  if (!korvo::fuzz::reference_valid_utf8(content)) {
    return "Could not read backup.salt — is this a valid Korvo backup?: stream did not contain valid UTF-8";
  }
  const std::string_view text = korvo::fuzz::reference_trim(content);
  const std::string prefix = "Key derivation failed: Invalid salt encoding: salt invalid: ";
  if (text.size() < 4) return prefix + "value to short";
  if (text.size() > 64) return prefix + "value to long";
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!salt_character(text[i])) {
      const std::size_t length = reference_utf8_length(text, i);
      return prefix + "contains invalid character: '" + std::string(text.substr(i, length)) + "'";
    }
  }
  const auto decoded = reference_decode(text);
  if (!decoded) return std::string("Key derivation failed: Failed to decode salt: invalid Base64 encoding");
  salt = *decoded;
  if (decoded->size() < kArgonMinSalt) {
    return std::string("Key derivation failed: Argon2 key derivation failed: salt is too short");
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view content = korvo::fuzz::as_text(data, size);
  const std::string path = korvo::fuzz::scratch_dir() + "/backup.salt";
  korvo::fuzz::write_bytes(path, content);

  g_argon_called = false;
  g_argon_salt.clear();
  auto key = korvo::derive_backup_key(path, "fuzz password");

  std::string salt;
  const auto expected = expected_error(content, salt);
  if (expected) {
    FUZZ_CHECK(!key.ok(), "accepted a salt file that the rules refuse: " + *expected);
    FUZZ_CHECK(key.error().render() == *expected, key.error().render() + " instead of " + *expected);
  } else {
    FUZZ_CHECK(key.ok(), "refused a usable salt file: " + key.error().render());
  }
  // Argon2 runs exactly when the text decodes, and on exactly those bytes.
  FUZZ_CHECK(g_argon_called == !salt.empty(), "");
  FUZZ_CHECK(g_argon_salt == salt, "Argon2 got other salt bytes than the text encodes");
  return 0;
}
