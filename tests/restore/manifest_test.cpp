#include "restore/manifest.hpp"

#include <gtest/gtest.h>

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

TEST(LoadManifest, ReadsManifestJsonInsideTheRoot) {
  testing::ScratchDir scratch;
  auto missing = load_manifest(scratch.path());
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().render(), "manifest.json not found in backup: No such file or directory");

  testing::write_test_file(scratch.sub("manifest.json"), manifest("[]").replace(20, 1, "\xC0"));
  auto not_utf8 = load_manifest(scratch.path());
  ASSERT_FALSE(not_utf8.ok());
  EXPECT_EQ(not_utf8.error().render(), "manifest.json not found in backup: stream did not contain valid UTF-8");

  testing::write_test_file(scratch.sub("manifest.json"), manifest("[]", "null"));
  auto invalid = load_manifest(scratch.path());
  ASSERT_FALSE(invalid.ok());
  EXPECT_EQ(invalid.error().message(), "Failed to parse manifest.json");
  ASSERT_NE(invalid.error().cause(), nullptr);
  EXPECT_NE(invalid.error().cause()->message().find("\"skipped\""), std::string::npos);

  testing::write_test_file(scratch.sub("manifest.json"), manifest("[" + entry() + "]"));
  auto loaded = load_manifest(scratch.path());
  ASSERT_TRUE(loaded.ok()) << loaded.error().render();
  EXPECT_EQ(loaded->files.size(), 1u);
}

}  // namespace
}  // namespace korvo
