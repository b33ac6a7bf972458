#include <gtest/gtest.h>

#include <string>

#include "common/error.hpp"
#include "common/json.hpp"
#include "common/text.hpp"

namespace korvo {
namespace {

TEST(ErrorValue, RendersOutermostFirstWithEachCauseAfterColon) {
  const Error chain("Restore failed", Error("manifest.json not found in backup", Error("No such file or directory")));
  EXPECT_EQ(chain.render(), "Restore failed: manifest.json not found in backup: No such file or directory");
  EXPECT_EQ(Error("alone").render(), "alone");
}

TEST(Utf8, ValidityRejectsOverlongsSurrogatesAndTruncation) {
  EXPECT_TRUE(is_valid_utf8("plain"));
  EXPECT_TRUE(is_valid_utf8("caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x98\x80"));
  EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));          // overlong "/"
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));      // surrogate
  EXPECT_FALSE(is_valid_utf8("\xE2\x80"));          // cut short
  EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_EQ(utf8_lossy("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
}

TEST(Utf8, TrimRemovesUnicodeWhiteSpaceOnlyAtTheEnds) {
  EXPECT_EQ(trim_unicode(" \t\n abc def\r\n"), "abc def");
  EXPECT_EQ(trim_unicode("\xC2\xA0x\xE3\x80\x80"), "x");  // NBSP and ideographic space
  EXPECT_EQ(trim_unicode("\xE2\x80\x94"), "\xE2\x80\x94");  // an em dash is not a space
  EXPECT_EQ(trim_unicode("   "), "");
}

TEST(Text, TerminalSafeShowsEveryControlCharacter) {
  const std::pair<std::string, std::string> cases[] = {
      {"C:\\Users\\alex\\Résumé – final.txt", "C:\\Users\\alex\\Résumé – final.txt"},
      {"a\x1b]0;owned\x07" "b", "a\uFFFD]0;owned\uFFFD" "b"},
      {"\x1b[2J\x1b[H", "\uFFFD[2J\uFFFD[H"},
      {"line\nfake line\r", "line\uFFFDfake line\uFFFD"},
      {"tab\there\x7f", "tab\uFFFDhere\uFFFD"},
      {"c1 \xc2\x9b" "31m", "c1 \uFFFD" "31m"},  // the one-character CSI
      {"bad \xff byte", "bad \uFFFD byte"},
      {std::string("nul\0x", 5), "nul\uFFFDx"},
  };
  for (const auto& [input, shown] : cases) EXPECT_EQ(terminal_safe(input), shown) << input;
}

TEST(Text, SplitLinesDropsOneCarriageReturnBeforeEachFeed) {
  EXPECT_EQ(split_lines("a\r\nb\n\nc"), (std::vector<std::string>{"a", "b", "", "c"}));
  EXPECT_EQ(split_lines("a\r\r\n"), (std::vector<std::string>{"a\r"}));
  EXPECT_TRUE(split_lines("").empty());
}

TEST(StrictJson, RejectsRepeatedKeysAtAnyDepthButNotAcrossObjects) {
  EXPECT_TRUE(parse_json_strict(R"({"a":{"k":1},"b":{"k":2}})").ok());
  const auto top = parse_json_strict(R"({"a":1,"a":2})");
  ASSERT_FALSE(top.ok());
  EXPECT_NE(top.error().message().find("\"a\""), std::string::npos);
  EXPECT_FALSE(parse_json_strict(R"([{"x":[{"k":1,"k":1}]}])").ok());
}

TEST(StrictJson, NestingLimitIs128Levels) {
  const auto nested = [](int levels) { return std::string(levels, '[') + std::string(levels, ']'); };
  EXPECT_TRUE(parse_json_strict(nested(128)).ok());
  EXPECT_FALSE(parse_json_strict(nested(129)).ok());
  EXPECT_FALSE(parse_json_strict(std::string(127, '[') + "{\"a\":[]}" + std::string(127, ']')).ok());
}

TEST(StrictJson, OneValueOnlyAndSyntaxErrorsCarryLineAndColumn) {
  EXPECT_TRUE(parse_json_strict(" {} \n").ok());
  EXPECT_FALSE(parse_json_strict("{} {}").ok());
  EXPECT_FALSE(parse_json_strict("{} x").ok());
  const auto broken = parse_json_strict("{\n  \"a\": tru }");
  ASSERT_FALSE(broken.ok());
  EXPECT_NE(broken.error().message().find("line 2"), std::string::npos) << broken.error().message();
}

TEST(StrictJson, UnsignedReaderRefusesWhatNlohmannWouldConvert) {
  const auto doc = parse_json_strict(
      R"({"neg":-1,"frac":1.5,"flag":true,"text":"1","null":null,"zero":0,"max":18446744073709551615})");
  ASSERT_TRUE(doc.ok());
  for (const char* key : {"neg", "frac", "flag", "text", "null", "absent"}) {
    EXPECT_FALSE(json_u64_field(*doc, key, "record").ok()) << key;
  }
  EXPECT_EQ(*json_u64_field(*doc, "zero", "record"), 0u);
  EXPECT_EQ(*json_u64_field(*doc, "max", "record"), 18446744073709551615u);
  const auto wrong = json_string_field(*doc, "zero", "files[2]");
  ASSERT_FALSE(wrong.ok());
  EXPECT_NE(wrong.error().message().find("files[2]"), std::string::npos);
  EXPECT_NE(wrong.error().message().find("\"zero\""), std::string::npos);
}

}  // namespace
}  // namespace korvo
