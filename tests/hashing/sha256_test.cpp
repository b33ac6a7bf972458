#include "hashing/sha256.hpp"

#include <gtest/gtest.h>

#include <string>

#include "backup_writer/backup_writer.hpp"
#include "support/sandbox.hpp"

namespace korvo {
namespace {

TEST(Sha256File, DigestsContentAcrossBufferBoundaries) {
  testing::ScratchDir scratch;
  const struct {
    std::string content;
    std::string digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {std::string(1 << 20, 'x'), testing::sha256_hex(std::string(1 << 20, 'x'))},
      {std::string((1 << 20) * 2 + 17, '\0'), testing::sha256_hex(std::string((1 << 20) * 2 + 17, '\0'))},
      // After a big file: nothing left over in the buffer is hashed.
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
  };
  for (const auto& c : cases) {
    testing::write_test_file(scratch.sub("f"), c.content);
    auto digest = sha256_file(scratch.sub("f"));
    ASSERT_TRUE(digest.ok()) << digest.error().render();
    EXPECT_EQ(*digest, c.digest) << c.content.size();
  }
}

TEST(Sha256File, ReportsOpenAndReadFailures) {
  testing::ScratchDir scratch;
  auto missing = sha256_file(scratch.sub("missing"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().render(),
            "Cannot open for hashing: " + scratch.sub("missing") + ": No such file or directory");

  // A folder opens but cannot be read: the OS error is the whole error.
  auto folder = sha256_file(scratch.path());
  ASSERT_FALSE(folder.ok());
  EXPECT_EQ(folder.error().render(), "Is a directory");
}

}  // namespace
}  // namespace korvo
