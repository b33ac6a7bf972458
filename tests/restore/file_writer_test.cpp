#include "restore/file_writer.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <algorithm>
#include <optional>
#include <vector>

#include "backup_writer/backup_writer.hpp"
#include "support/sandbox.hpp"
#include "support/tmpfs_mount.hpp"

namespace korvo {
namespace {

namespace fs = std::filesystem;
using State = WriteOutcome::State;

constexpr std::size_t kPiece = 4096;

void hand_over(FileWriter& writer, const std::string& content) {
  for (std::size_t at = 0; at < content.size(); at += kPiece) {
    FileWriter::Piece piece = writer.take_buffer();
    const std::string part = content.substr(at, kPiece);
    part.copy(piece.data(), part.size());
    writer.write(std::move(piece), part.size());
  }
}

std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Files are taken in the order handed over, however far the reading half
// runs ahead: once one meets a full disk, every later one is skipped, and
// no temporary name is left.
TEST(FileWriter, FullDiskSkipsEveryLaterFile) {
  testing::ScratchDir scratch;
  const std::string disk = scratch.sub("disk");
  fs::create_directories(disk);
  testing::TmpfsMount small(disk, 64 * kPiece);
  if (!small.mounted()) GTEST_SKIP() << "needs a tmpfs mount, not allowed here: " << small.failure();

  const std::string fits = "fits\n", huge(80 * kPiece, 'h');
  struct File {
    std::string name, content;
    std::optional<Error> verdict;
  };
  const std::vector<File> files = {{"a.txt", fits, {}},
                                   {"damaged.txt", fits, Error("the backup is damaged")},
                                   {"huge.bin", huge, {}},
                                   {"later.txt", fits, {}},
                                   {"damaged-later.txt", fits, Error("the backup is damaged")}};
  std::vector<WriteOutcome> outcomes;
  {
    FileWriter writer(kPiece);
    for (std::size_t i = 0; i < files.size(); ++i) {
      writer.begin({i, 10 + i, disk + "/" + files[i].name, "C:\\" + files[i].name, testing::sha256_hex(files[i].content)});
      hand_over(writer, files[i].content);
      writer.finish(files[i].verdict);
    }
    outcomes = writer.drain();
    EXPECT_TRUE(writer.stopped());
  }

  ASSERT_EQ(outcomes.size(), files.size());
  const std::vector<std::pair<State, bool>> expected = {{State::kPlaced, true},
                                                        {State::kFailed, false},
                                                        {State::kFailed, true},
                                                        {State::kSkipped, true},
                                                        {State::kSkipped, false}};
  for (std::size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i].name);
    EXPECT_EQ(outcomes[i].position, i);
    EXPECT_EQ(outcomes[i].manifest_index, 10 + i);
    EXPECT_EQ(outcomes[i].state, expected[i].first);
    EXPECT_EQ(outcomes[i].verdict_ok, expected[i].second);
    EXPECT_EQ(outcomes[i].bytes, files[i].content.size());
  }
  EXPECT_EQ(outcomes[1].error->message(), "the backup is damaged");
  EXPECT_EQ(outcomes[2].error->message(), "Copy failed for C:\\huge.bin: No space left on device");
  EXPECT_EQ(outcomes[2].error->kind(), ErrorKind::kNoSpace);
  EXPECT_EQ(names_in(disk), std::vector<std::string>{"a.txt"});
  EXPECT_EQ(testing::read_test_file(disk + "/a.txt"), fits);
}

}  // namespace
}  // namespace korvo
