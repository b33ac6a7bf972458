#include "crypto/key.hpp"

#include <argon2.h>
#include <fmt/format.h>

#include <cctype>
#include <cstring>
#include <limits>
#include <optional>

#include "common/files.hpp"
#include "common/secret.hpp"
#include "common/text.hpp"
#include "common/i18n.hpp"

namespace korvo {
namespace {

constexpr std::size_t kMinSaltTextLength = 4;
constexpr std::size_t kMaxSaltTextLength = 64;
constexpr std::size_t kMaxSaltBytes = 48;

constexpr std::uint32_t kArgonMemoryKiB = 19456;
constexpr std::uint32_t kArgonPasses = 2;
constexpr std::uint32_t kArgonLanes = 1;

constexpr std::string_view kSaltReadFailed = N_("Could not read backup.salt — is this a valid Korvo backup?");
constexpr std::string_view kKeyDerivationFailed = N_("Key derivation failed");

Error key_derivation_error(std::string cause) {
  return Error(tr(kKeyDerivationFailed), Error(std::move(cause)));
}

bool is_salt_character(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
         c == '-' || c == '.';
}

// The whole UTF-8 sequence that starts at text[index], so a bad non-ASCII
// character is named as the user would see it.
std::string_view character_at(std::string_view text, std::size_t index) {
  std::size_t end = index + 1;
  while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
  return text.substr(index, end - index);
}

std::optional<std::string> salt_text_problem(std::string_view text) {
  if (text.size() < kMinSaltTextLength) return tr("value to short");
  if (text.size() > kMaxSaltTextLength) return tr("value to long");
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!is_salt_character(text[i])) {
      return trf("contains invalid character: '{}'", character_at(text, i));
    }
  }
  return std::nullopt;
}

int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Unpadded standard Base64, canonical only: a lone trailing character or
// non-zero unused low bits have no accepted reading.
std::optional<std::size_t> decode_salt(std::string_view text, std::uint8_t* out, std::size_t capacity) {
  if (text.size() % 4 == 1) return std::nullopt;
  std::size_t written = 0;
  std::uint32_t bits = 0;
  int bit_count = 0;
  for (char c : text) {
    const int value = base64_value(c);
    if (value < 0) return std::nullopt;
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    bit_count += 6;
    if (bit_count >= 8) {
      bit_count -= 8;
      if (written == capacity) return std::nullopt;
      out[written++] = static_cast<std::uint8_t>((bits >> bit_count) & 0xFF);
    }
  }
  if ((bits & ((1u << bit_count) - 1)) != 0) return std::nullopt;
  return written;
}

std::string argon2_problem(int code) {
  std::string text = argon2_error_message(code);
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

}  // namespace

BackupKey::BackupKey(BackupKey&& other) noexcept : bytes_(other.bytes_) { other.wipe(); }

BackupKey& BackupKey::operator=(BackupKey&& other) noexcept {
  if (this != &other) {
    bytes_ = other.bytes_;
    other.wipe();
  }
  return *this;
}

void BackupKey::wipe() { wipe_bytes(bytes_.data(), bytes_.size()); }

Result<BackupKey> derive_backup_key(const std::string& salt_path, std::string_view password) {
  auto content = read_text_file(salt_path);
  if (!content) return Error(tr(kSaltReadFailed), content.error());
  const std::string_view salt_text = trim_unicode(*content);

  if (auto problem = salt_text_problem(salt_text)) {
    return key_derivation_error(trf("Invalid salt encoding: salt invalid: {}", *problem));
  }

  std::uint8_t salt[kMaxSaltTextLength] = {};
  const auto salt_size = decode_salt(salt_text, salt, kMaxSaltBytes);
  if (!salt_size) return key_derivation_error(tr("Failed to decode salt: invalid Base64 encoding"));

  if (password.size() > std::numeric_limits<std::uint32_t>::max()) {
    return key_derivation_error(trf("Argon2 key derivation failed: {}", argon2_problem(ARGON2_PWD_TOO_LONG)));
  }
  BackupKey key;
  argon2_context context{};
  context.out = key.data();
  context.outlen = BackupKey::kSize;
  // argon2 only reads the password unless asked to clear it.
  context.pwd = reinterpret_cast<std::uint8_t*>(const_cast<char*>(password.data()));
  context.pwdlen = static_cast<std::uint32_t>(password.size());
  context.salt = salt;
  context.saltlen = static_cast<std::uint32_t>(*salt_size);
  context.t_cost = kArgonPasses;
  context.m_cost = kArgonMemoryKiB;
  context.lanes = kArgonLanes;
  context.threads = kArgonLanes;
  context.version = ARGON2_VERSION_13;
  context.flags = ARGON2_DEFAULT_FLAGS;
  const int rc = argon2_ctx(&context, Argon2_id);
  if (rc != ARGON2_OK) {
    key.wipe();
    return key_derivation_error(trf("Argon2 key derivation failed: {}", argon2_problem(rc)));
  }
  return key;
}

}  // namespace korvo
