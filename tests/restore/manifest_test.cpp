#include "restore/manifest.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "support/sandbox.hpp"

namespace korvo {
namespace {

constexpr char kHeader[] =
    R"("korvo_version": "1.4.0", "created_at": "2024-05-01T10:00:00Z", "source_user": "alex", "source_os": "Windows 11")";

std::string entry(const std::string& size = "5", const std::string& extra = "") {
  return R"({"original_path": "C:\\Users\\alex\\a.txt", "backup_path": "Documents/a.txt", "size_bytes": )" + size +
         R"(, "sha256": "ABCDEF")" + extra + "}";
}

std::string manifest(const std::string& files, const std::string& skipped = "[]", const std::string& extra = "") {
  return std::string("{") + kHeader + R"(, "files": )" + files + R"(, "skipped": )" + skipped + extra + "}";
}

TEST(ParseManifest, ReadsRecordsInOrderAndIgnoresUnknownKeys) {
  const std::string text =
      "\n  " +
      manifest("[" + entry("0", R"(, "mtime": {"nested": [1, null]})") + ", " + entry("18446744073709551615") + "]",
               R"([{"path": "C:\\pagefile.sys", "reason": "system file", "why": null}])",
               R"(, "future": [true, {"x": 1}])") +
      "\r\n\t ";
  auto parsed = parse_manifest(text);
  ASSERT_TRUE(parsed.ok()) << parsed.error().render();
  EXPECT_EQ(parsed->korvo_version, "1.4.0");
  EXPECT_EQ(parsed->created_at, "2024-05-01T10:00:00Z");
  EXPECT_EQ(parsed->source_user, "alex");
  EXPECT_EQ(parsed->source_os, "Windows 11");
  ASSERT_EQ(parsed->files.size(), 2u);
  EXPECT_EQ(parsed->files[0].original_path, "C:\\Users\\alex\\a.txt");
  EXPECT_EQ(parsed->files[0].backup_path, "Documents/a.txt");
  EXPECT_EQ(parsed->files[0].size_bytes, 0u);
  EXPECT_EQ(parsed->files[0].sha256, "ABCDEF");  // kept as written; the copy compares it
  EXPECT_EQ(parsed->files[1].size_bytes, 18446744073709551615u);
  ASSERT_EQ(parsed->skipped.size(), 1u);
  EXPECT_EQ(parsed->skipped[0].path, "C:\\pagefile.sys");
  EXPECT_EQ(parsed->skipped[0].reason, "system file");

  auto empty = parse_manifest(manifest("[]"));
  ASSERT_TRUE(empty.ok()) << empty.error().render();
  EXPECT_TRUE(empty->files.empty());
}

TEST(ParseManifest, RejectsWhatDoesNotFitTheRecords) {
  const std::string top = std::string("{") + kHeader;
  const struct {
    std::string text;
    std::string mentions;  // part of the description the user sees
  } cases[] = {
      {top + R"(, "files": []})", "\"skipped\""},
      {top + R"(, "skipped": []})", "\"files\""},
      {manifest("[" + entry("1.5") + "]"), "\"size_bytes\""},
      {manifest("[" + entry("-1") + "]"), "negative number"},
      {manifest("[" + entry("\"5\"") + "]"), "string"},
      {manifest("[" + entry("null") + "]"), "null"},
      {manifest("[" + entry("true") + "]"), "boolean"},
      {manifest("[" + entry("18446744073709551616") + "]"), "\"size_bytes\""},
      {manifest("[" + entry("1e3") + "]"), "\"size_bytes\""},
      {std::string("{") + R"("korvo_version": null, "created_at": "", "source_user": "", "source_os": "", )" +
           R"("files": [], "skipped": []})",
       "\"korvo_version\""},
      {manifest(R"([{"original_path": "a", "backup_path": "a", "size_bytes": 1}])"),
       "files[0]: missing key \"sha256\""},
      {manifest("[" + entry() + R"(, "not an object"])"), "files[1]"},
      {manifest("{}"), "\"files\""},
      {manifest("[]", R"([{"path": "p"}])"), "skipped[0]: missing key \"reason\""},
      {manifest("[]", R"([{"path": "p", "reason": 7}])"), "\"reason\""},
      {"[]", "expected an object"},
      {manifest("[]") + " {}", ""},
      {manifest("[]") + " x", ""},
      {"", ""},
      {manifest("[]", "[]", R"(, "files": [])"), "duplicate key \"files\""},
      {manifest("[" + entry("5", R"(, "sha256": "x")") + "]"), "duplicate key \"sha256\""},
      {manifest("[]", "[]", R"(, "deep": )" + std::string(128, '[') + std::string(128, ']')), "nesting"},
      {manifest(R"([{"original_path": "\ud800", "backup_path": "a", "size_bytes": 1, "sha256": "x"}])"), "surrogate"},
  };
  for (const auto& c : cases) {
    auto parsed = parse_manifest(c.text);
    ASSERT_FALSE(parsed.ok()) << c.text;
    EXPECT_NE(parsed.error().message().find(c.mentions), std::string::npos) << parsed.error().message();
  }
  // 128 levels in all (the top object included) are still fine.
  const std::string deepest = manifest("[]", "[]", R"(, "deep": )" + std::string(127, '[') + std::string(127, ']'));
  EXPECT_TRUE(parse_manifest(deepest).ok());
}

TEST(ManifestFiles, KeepsEveryEntryWholeAcrossBlocks) {
  const ManifestEntry entries[] = {
      {"", "", 0, ""},
      {"C:\\a.txt", "a.txt", 18446744073709551615u, std::string(64, 'f')},
      {std::string(100000, 'o'), std::string(70000, 'b'), 127, "x"},  // more than a block
      {"\u00e9", "b/c", 128, "ABC"},
  };
  ManifestFiles files;
  for (int round = 0; round < 500; ++round) {
    for (const ManifestEntry& entry : entries) files.push_back(entry);
  }
  ASSERT_EQ(files.size(), 2000u);
  for (std::size_t i = 0; i < files.size(); ++i) {
    const ManifestEntry& want = entries[i % 4];
    const ManifestEntryView got = files[i];
    ASSERT_EQ(got.original_path, want.original_path) << i;
    ASSERT_EQ(got.backup_path, want.backup_path) << i;
    ASSERT_EQ(got.size_bytes, want.size_bytes) << i;
    ASSERT_EQ(got.sha256, want.sha256) << i;
  }
}

// What check_manifest says of a text handed over `piece` bytes at a time;
// with `fail_at`, reading fails once that many bytes have been handed over.
std::string check_in_pieces(const std::string& text, std::size_t piece, std::optional<std::size_t> fail_at = {}) {
  std::size_t at = 0;
  int reads_after_failure = 0;
  const TextReader read = [&](char* buffer, std::size_t size) -> Result<std::size_t> {
    if (fail_at && at >= *fail_at) {
      ++reads_after_failure;
      return Error("Input/output error");
    }
    const std::size_t take = std::min({piece, size, text.size() - at});
    std::memcpy(buffer, text.data() + at, take);
    at += take;
    return take;
  };
  const auto checked = check_manifest(read);
  if (!fail_at) {
    EXPECT_EQ(at, text.size()) << "not read to the end";
  }
  EXPECT_LE(reads_after_failure, 1) << "read on after a failure";
  if (!checked.read) return "unreadable: " + checked.read.error().render();
  return checked.parse ? "valid" : "invalid: " + checked.parse.error().render();
}

TEST(CheckManifest, ReadsPieceByPieceToTheVerdictOfTheWholeText) {
  // Two-, three- and four-byte sequences, which small pieces cut apart.
  const std::string good = manifest("[" + entry() + "]", R"([{"path": "\u00e9t\u00e9", "reason": "é € 😀"}])");
  const std::string bad_record = manifest("[" + entry("-1") + "]", "[]", R"(, "x": "é € 😀")");
  const std::string bad_syntax = manifest("[]", "[]", R"(, "x": "😀" 1)");
  for (const std::size_t piece : {1, 2, 3, 5, 65536}) {
    EXPECT_EQ(check_in_pieces(good, piece), "valid") << piece;
    EXPECT_EQ(check_in_pieces(bad_record, piece), "invalid: " + parse_manifest(bad_record).error().render()) << piece;
    EXPECT_EQ(check_in_pieces(bad_syntax, piece), "invalid: " + parse_manifest(bad_syntax).error().render()) << piece;
    // What keeps the text from being read whole outranks an earlier parse fault.
    const std::string unreadable = "unreadable: stream did not contain valid UTF-8";
    EXPECT_EQ(check_in_pieces(bad_syntax + " \xFF", piece), unreadable) << piece;
    EXPECT_EQ(check_in_pieces(good + "\xF0\x9F\x98", piece), unreadable) << piece;  // cut short at the end
    EXPECT_EQ(check_in_pieces("\xF0\x9F\x98\x80\x80" + good, piece), unreadable) << piece;
    EXPECT_EQ(check_in_pieces(bad_syntax + std::string(200000, ' '), piece, 100000), "unreadable: Input/output error")
        << piece;
  }
}

// Read piece by piece, the manifest comes out as parsing it whole gives it.
TEST(ReadManifest, FillsTheManifestFromPieces) {
  const std::string text = manifest("[" + entry() + "," + entry() + "]");
  const auto whole = parse_manifest(text);
  ASSERT_TRUE(whole.ok()) << whole.error().render();
  for (std::size_t piece : {1u, 7u, 4096u}) {
    std::size_t at = 0;
    const TextReader read = [&](char* buffer, std::size_t size) -> Result<std::size_t> {
      const std::size_t take = std::min({piece, size, text.size() - at});
      std::memcpy(buffer, text.data() + at, take);
      at += take;
      return take;
    };
    Manifest filled;
    const auto outcome = read_manifest(read, filled);
    ASSERT_TRUE(outcome.read.ok() && outcome.parse.ok()) << piece;
    ASSERT_EQ(filled.files.size(), whole->files.size());
    for (std::size_t i = 0; i < filled.files.size(); ++i) {
      EXPECT_EQ(filled.files[i].original_path, whole->files[i].original_path);
      EXPECT_EQ(filled.files[i].backup_path, whole->files[i].backup_path);
      EXPECT_EQ(filled.files[i].size_bytes, whole->files[i].size_bytes);
      EXPECT_EQ(filled.files[i].sha256, whole->files[i].sha256);
    }
  }
}

}  // namespace
}  // namespace korvo
