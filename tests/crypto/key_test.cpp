#include "crypto/key.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "backup_writer/backup_writer.hpp"
#include "support/sandbox.hpp"

namespace korvo {
namespace {

using testing::ScratchDir;
using testing::write_test_file;

std::string hex(const BackupKey& key) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < BackupKey::kSize; ++i) {
    out.push_back(kDigits[key.data()[i] >> 4]);
    out.push_back(kDigits[key.data()[i] & 0xF]);
  }
  return out;
}

class KeyTest : public ::testing::Test {
 protected:
  Result<BackupKey> derive(std::string_view salt_file_content, std::string_view password = testing::kTestPassword) {
    write_test_file(salt_path(), salt_file_content);
    return derive_backup_key(salt_path(), password);
  }
  std::string salt_path() const { return scratch.sub("backup.salt"); }

  ScratchDir scratch;
};

struct Refusal {
  std::string salt;
  std::string rendered;  // empty: accepted
};

TEST_F(KeyTest, RefusesBadSaltTextsWithTheirMessages) {
  const std::string too_short = "Key derivation failed: Invalid salt encoding: salt invalid: value to short";
  const std::string bad_base64 = "Key derivation failed: Failed to decode salt: invalid Base64 encoding";
  const std::string argon_short = "Key derivation failed: Argon2 key derivation failed: salt is too short";
  const Refusal cases[] = {
      {"", too_short},
      {" \n\t\r\n", too_short},
      {"abc", too_short},
      {"  abc\n", too_short},
      {std::string(65, 'A'), "Key derivation failed: Invalid salt encoding: salt invalid: value to long"},
      {"c2FsdHNhbHRzYWx0c2FsdA==",
       "Key derivation failed: Invalid salt encoding: salt invalid: contains invalid character: '='"},
      {"c2FsdHNh_HRzYWx0c2FsdA",
       "Key derivation failed: Invalid salt encoding: salt invalid: contains invalid character: '_'"},
      {"c2FsdHNh bHRz", "Key derivation failed: Invalid salt encoding: salt invalid: contains invalid character: ' '"},
      {"c2Fsd\xC3\xA9NhbHRz",
       "Key derivation failed: Invalid salt encoding: salt invalid: contains invalid character: '\xC3\xA9'"},
      // The length check comes before the character check.
      {"a=b", too_short},
      {std::string(64, 'A') + "=", "Key derivation failed: Invalid salt encoding: salt invalid: value to long"},
      // "-" and "." pass the character check but are not Base64.
      {"c2FsdHNh-HRzYWx0c2FsdA", bad_base64},
      {"c2FsdHNh.HRzYWx0c2FsdA", bad_base64},
      // One character left over after the last group of four.
      {"c2Fsd", bad_base64},
      {"c2FsdHNhb", bad_base64},
      {"c2FsdHNhbHRzY", bad_base64},
      // Unused low bits must be zero.
      {"AAAAAAAAAB", bad_base64},
      {"AAAAAAAAAAB", bad_base64},
      // 7 bytes pass Base64 but not Argon2; 8 bytes pass both.
      {"c2FsdHNhbA", argon_short},
      {"AAAAAAAAAAE", ""},
      {"AAAAAAE", argon_short},
  };
  for (const Refusal& refusal : cases) {
    SCOPED_TRACE(refusal.salt);
    auto key = derive(refusal.salt);
    if (refusal.rendered.empty()) {
      EXPECT_TRUE(key.ok()) << key.error().render();
    } else {
      ASSERT_FALSE(key.ok());
      EXPECT_EQ(key.error().render(), refusal.rendered);
    }
  }
}

TEST_F(KeyTest, UnreadableSaltFileIsNotWrapped) {
  auto missing = derive_backup_key(scratch.sub("nowhere/backup.salt"), "pw");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message(), "Could not read backup.salt — is this a valid Korvo backup?");
  ASSERT_NE(missing.error().cause(), nullptr);
  EXPECT_EQ(missing.error().cause()->message(), std::strerror(ENOENT));
  EXPECT_EQ(missing.error().cause()->cause(), nullptr);

  auto not_utf8 = derive("c2FsdHNh\xFF\xFE" "bHRz");
  ASSERT_FALSE(not_utf8.ok());
  EXPECT_EQ(not_utf8.error().render(),
            "Could not read backup.salt — is this a valid Korvo backup?: stream did not contain valid UTF-8");
}

TEST_F(KeyTest, MatchesIndependentArgon2id) {
  // Computed with the argon2 command-line tool: -id -t 2 -k 19456 -p 1 -l 32,
  // salts given as their decoded text. Blanks around the salt text are trimmed.
  const std::string salt_key = "40a1eb839b5ac8b19c37e6341d53cd681ab290e54b53194c919c9c5c4d6e5913";
  const std::string horse = "correct horse battery staple";
  const struct {
    std::string salt_text;
    std::string password;
    std::string key;
  } vectors[] = {
      {"c2FsdHNhbHRzYWx0c2FsdA", horse, salt_key},
      {"c2FsdHNhbHRzYWx0c2FsdA\n", horse, salt_key},
      {"  c2FsdHNhbHRzYWx0c2FsdA \r\n", horse, salt_key},
      {"\xC2\xA0\tc2FsdHNhbHRzYWx0c2FsdA\xE2\x80\xA8", horse, salt_key},
      {"c2FsdHNhbHQ", horse, "dbaf401309751b5f3b0e5465eee58ce1a80f519d60092699692854a8f7c3bbf1"},
      {"MDEyMzQ1Njc4OWFiY2RlZmdoaWprbG1ub3BxcnN0dXZ3eHl6QUJDREVGR0hJSktM", horse,
       "079fbf617fdd5aadb5893f1441f59e99168e16d265294c8ac5a2d9ff55ecba2a"},
      {"c2FsdHNhbHRzYWx0c2FsdA", "p\xC3\xA4ssw\xC3\xB6rd",
       "3ef4a07f2345d8f270befc901e1bb5163d7e63b09699b09b6211a0a87b5af53a"},
  };
  for (const auto& vector : vectors) {
    SCOPED_TRACE(vector.salt_text);
    auto key = derive(vector.salt_text, vector.password);
    ASSERT_TRUE(key.ok()) << key.error().render();
    EXPECT_EQ(hex(*key), vector.key);
  }
}

TEST_F(KeyTest, PasswordIsUsedExactly) {
  auto plain = derive(testing::kTestSaltText, "secret");
  auto padded = derive(testing::kTestSaltText, "secret ");
  ASSERT_TRUE(plain.ok());
  ASSERT_TRUE(padded.ok());
  EXPECT_NE(hex(*plain), hex(*padded));
}

TEST(BackupKey, MovingWipesTheSource) {
  BackupKey key;
  std::memset(key.data(), 0xAB, BackupKey::kSize);
  BackupKey moved(std::move(key));
  EXPECT_EQ(moved.data()[31], 0xAB);
  for (std::size_t i = 0; i < BackupKey::kSize; ++i) EXPECT_EQ(key.data()[i], 0) << i;  // NOLINT(bugprone-use-after-move)
  BackupKey assigned;
  assigned = std::move(moved);
  EXPECT_EQ(assigned.data()[0], 0xAB);
  EXPECT_EQ(moved.data()[0], 0);  // NOLINT(bugprone-use-after-move)
}

}  // namespace
}  // namespace korvo
