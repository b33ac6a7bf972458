#include "browser/bookmarks.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "common/files.hpp"
#include "support/sandbox.hpp"

namespace korvo {
namespace {

using testing::read_test_file;
using testing::ScratchDir;
using testing::write_test_file;

constexpr std::string_view kHeader =
    "<!DOCTYPE NETSCAPE-Bookmark-file-1>\n"
    "<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset=UTF-8\">\n"
    "<TITLE>Bookmarks</TITLE>\n"
    "<H1>Bookmarks</H1>\n"
    "<DL><p>\n";

// A Chrome "Bookmarks" file with the browser's own bookkeeping keys, the roots
// out of byte order and items whose array order is not alphabetical.
constexpr std::string_view kChromeFile = R"({
 "checksum": "8a4bd3b6d1f0c2e9a7f3c5d2b1e0f9a8",
 "roots": {
  "synced": {"children": [  ], "date_added": "13345678901234567", "date_last_used": "0", "date_modified": "0",
             "guid": "4cf2e351-0e85-532b-bb37-df045d8f8d0f", "id": "3", "name": "Mobile bookmarks", "type": "folder"},
  "other": {"children": [
     {"date_added": "13345678901234570", "guid": "a1b2c3d4-0000-4000-8000-000000000010", "id": "10",
      "name": "Zeta Docs", "type": "url", "url": "https://zeta.example/"},
     {"id": "11", "name": "Alpha", "type": "url", "url": "https://alpha.example/"}],
   "date_added": "13345678901234567", "id": "2", "name": "Other bookmarks", "type": "folder"},
  "bookmark_bar": {"children": [
     {"id": "4", "name": "News & <Views> \"daily\"", "type": "url", "url": "https://example.com/?a=1&b=2"},
     {"children": [
        {"children": [{"id": "8", "name": "Deep", "type": "url", "url": "https://deep.example/"}],
         "date_added": "13345678901234589", "id": "7", "name": "Inner", "type": "folder"},
        {"children": [  ], "id": "9", "name": "Empty", "type": "folder"},
        {"id": "12", "name": "Rock 'n' Roll", "type": "url", "url": "https://music.example/"}],
      "id": "5", "name": "Work", "type": "folder"},
     {"id": "13", "type": "url", "url": "https://no-name.example/"},
     {"id": "14", "name": "No link", "type": "url"},
     {"id": "15", "name": "Separator", "type": "separator"},
     {"id": "16", "name": "No type"}],
   "date_added": "13345678901234567", "date_modified": "13345678901234599",
   "guid": "0bc5d13f-2cba-5d74-951f-3f233fe6c908", "id": "1", "name": "Bookmarks bar", "type": "folder"}
 },
 "version": 1
}
)";

constexpr std::string_view kChromeHtml = R"(<!DOCTYPE NETSCAPE-Bookmark-file-1>
<META HTTP-EQUIV="Content-Type" CONTENT="text/html; charset=UTF-8">
<TITLE>Bookmarks</TITLE>
<H1>Bookmarks</H1>
<DL><p>
<DT><H3 PERSONAL_TOOLBAR_FOLDER="true">Bookmarks bar</H3>
<DL><p>
<DT><A HREF="https://example.com/?a=1&amp;b=2">News &amp; &lt;Views&gt; &quot;daily&quot;</A>
<DT><H3>Work</H3>
<DL><p>
<DT><H3>Inner</H3>
<DL><p>
<DT><A HREF="https://deep.example/">Deep</A>
</DL><p>
<DT><H3>Empty</H3>
<DL><p>
</DL><p>
<DT><A HREF="https://music.example/">Rock 'n' Roll</A>
</DL><p>
<DT><A HREF="https://no-name.example/">Bookmarks</A>
<DT><A HREF="">No link</A>
</DL><p>
<DT><H3>Other bookmarks</H3>
<DL><p>
<DT><A HREF="https://zeta.example/">Zeta Docs</A>
<DT><A HREF="https://alpha.example/">Alpha</A>
</DL><p>
</DL><p>
)";

TEST(Bookmarks, ConvertsNestedChromeFileByteForByte) {
  auto converted = convert_bookmarks(kChromeFile);
  ASSERT_TRUE(converted.ok()) << converted.error().render();
  EXPECT_EQ(converted->html, kChromeHtml);
  EXPECT_EQ(converted->links, 7u);
}

TEST(Bookmarks, KeyAloneDecidesToolbarAndOrder) {
  // "\xc3\xa4rger" starts with byte 0xC3, so it sorts after "zeta".
  constexpr std::string_view file = R"({"roots": {
    "\u00e4rger": {"children": [{"type": "url", "url": "u3", "name": "c"}]},
    "zeta": {"name": "Bookmarks bar", "children": [{"type": "url", "url": "u2", "name": "b"}]},
    "broken": {"name": "Broken", "children": {"type": "url", "url": "x", "name": "x"}},
    "alpha": {"name": 7, "children": [{"type": "url", "url": "u1", "name": "a"}]}
  }})";
  auto converted = convert_bookmarks(file);
  ASSERT_TRUE(converted.ok()) << converted.error().render();
  EXPECT_EQ(converted->html, std::string(kHeader) +
                                 "<DT><H3>Bookmarks</H3>\n<DL><p>\n<DT><A HREF=\"u1\">a</A>\n</DL><p>\n"
                                 "<DT><H3>Bookmarks bar</H3>\n<DL><p>\n<DT><A HREF=\"u2\">b</A>\n</DL><p>\n"
                                 "<DT><H3>Bookmarks</H3>\n<DL><p>\n<DT><A HREF=\"u3\">c</A>\n</DL><p>\n"
                                 "</DL><p>\n");
  EXPECT_EQ(converted->links, 3u);
}

TEST(Bookmarks, OnlyEmptyFoldersCountNoLinks) {
  auto converted = convert_bookmarks(
      R"({"roots": {"bookmark_bar": {"name": "Bar", "children": [{"type": "folder", "name": "F"},
          {"type": "folder", "name": "G", "children": []}]}, "other": {"children": []}}})");
  ASSERT_TRUE(converted.ok()) << converted.error().render();
  EXPECT_EQ(converted->links, 0u);
  EXPECT_EQ(converted->html, std::string(kHeader) +
                                 "<DT><H3 PERSONAL_TOOLBAR_FOLDER=\"true\">Bar</H3>\n<DL><p>\n"
                                 "<DT><H3>F</H3>\n<DL><p>\n</DL><p>\n<DT><H3>G</H3>\n<DL><p>\n</DL><p>\n"
                                 "</DL><p>\n</DL><p>\n");
}

TEST(Bookmarks, RefusesBadFiles) {
  const std::string deep = std::string(129, '[') + std::string(129, ']');
  struct Case {
    std::string text;
    std::string message;
    bool has_cause;
  };
  const Case cases[] = {
      {"{\"roots\": {}} x", "Bookmarks file is not valid JSON", true},
      {"{\"roots\": {}, \"roots\": {}}", "Bookmarks file is not valid JSON", true},
      {"", "Bookmarks file is not valid JSON", true},
      {"{\"roots\": " + deep + "}", "Bookmarks file is not valid JSON", true},
      {"{\"version\": 1}", "Bookmarks file has no roots", false},
      {"{\"roots\": []}", "Bookmarks file has no roots", false},
      {"[{\"roots\": {}}]", "Bookmarks file has no roots", false},
  };
  for (const Case& c : cases) {
    auto converted = convert_bookmarks(c.text);
    ASSERT_FALSE(converted.ok()) << c.text;
    EXPECT_EQ(converted.error().message(), c.message) << c.text;
    EXPECT_EQ(converted.error().cause() != nullptr, c.has_cause) << c.text;
  }
}

std::string bookmarks_with_links(int links) {
  std::string children;
  for (int i = 0; i < links; ++i) {
    if (i > 0) children += ",";
    children += R"({"type": "url", "name": "n", "url": "https://example.org/"})";
  }
  return R"({"roots": {"bookmark_bar": {"name": "Bar", "children": [)" + children + "]}}}";
}

TEST(Bookmarks, MigratesEveryUsableProfile) {
  ScratchDir scratch;
  const std::string staging = scratch.sub("staging");
  const std::string restored = scratch.sub("Desktop/Restored");
  write_test_file(staging + "/BrowserData/Chrome/Default/Bookmarks", kChromeFile);
  write_test_file(staging + "/BrowserData/Chrome/Profile 1/Bookmarks", bookmarks_with_links(2));
  write_test_file(staging + "/BrowserData/Chrome/Empty/Bookmarks", bookmarks_with_links(0));
  write_test_file(staging + "/BrowserData/Edge/Default/Bookmarks", "{\"roots\": 1}");
  write_test_file(staging + "/BrowserData/Edge/Latin1/Bookmarks", "{\"roots\": {\"x\": \"\xe9\"}}");
  write_test_file(staging + "/BrowserData/Edge/NoFile/Preferences", "{}");
  write_test_file(staging + "/BrowserData/Edge/plain-file", "");
  write_test_file(staging + "/BrowserData/Brave/Default/Bookmarks", bookmarks_with_links(1));
  write_test_file(staging + "/BrowserData/Opera/Default/Bookmarks", bookmarks_with_links(1));
  write_test_file(restored + "/Browser bookmarks/Brave - Default.html", "old content that is longer than new");

  const std::vector<std::string> lines = migrate_bookmarks(staging, restored);

  // Profiles of one browser come in folder-listing order.
  std::vector<std::string> chrome_items;
  const std::vector<std::string> chrome_profiles = *list_directory(staging + "/BrowserData/Chrome");
  for (const std::string& profile : chrome_profiles) {
    if (profile == "Default") chrome_items.push_back("Chrome (7)");
    if (profile == "Profile 1") chrome_items.push_back("Chrome (2)");
  }
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "Bookmarks from " + chrome_items[0] + ", " + chrome_items[1] +
                          ", Brave (1) are in Restored/Browser bookmarks — in your browser choose Bookmarks → Import "
                          "and pick the file.");

  const std::string out = restored + "/Browser bookmarks/";
  EXPECT_EQ(read_test_file(out + "Chrome - Default.html"), kChromeHtml);
  EXPECT_EQ(read_test_file(out + "Brave - Default.html"), convert_bookmarks(bookmarks_with_links(1))->html);
  std::vector<std::string> names = *list_directory(out);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names,
            (std::vector<std::string>{"Brave - Default.html", "Chrome - Default.html", "Chrome - Profile 1.html"}));
}

TEST(Bookmarks, ProfileNameWithInvalidUtf8IsReplacedInFileName) {
  ScratchDir scratch;
  write_test_file(scratch.sub("staging/BrowserData/Edge/Caf\xe9/Bookmarks"), bookmarks_with_links(1));
  const auto lines = migrate_bookmarks(scratch.sub("staging"), scratch.sub("Restored"));
  EXPECT_EQ(lines.size(), 1u);
  EXPECT_TRUE(is_regular_file(scratch.sub("Restored/Browser bookmarks/Edge - Caf\xef\xbf\xbd.html")));
}

TEST(Bookmarks, SilentWhenNothingCanBeWritten) {
  ScratchDir scratch;
  // No BrowserData at all: no line and no output folder.
  EXPECT_TRUE(migrate_bookmarks(scratch.sub("staging"), scratch.sub("Restored")).empty());
  EXPECT_FALSE(std::filesystem::exists(scratch.sub("Restored")));

  // The Restored path is a file, so "Browser bookmarks" cannot be made.
  write_test_file(scratch.sub("staging/BrowserData/Chrome/Default/Bookmarks"), bookmarks_with_links(3));
  write_test_file(scratch.sub("Restored"), "not a folder");
  EXPECT_TRUE(migrate_bookmarks(scratch.sub("staging"), scratch.sub("Restored")).empty());
  EXPECT_EQ(read_test_file(scratch.sub("Restored")), "not a folder");
}

}  // namespace
}  // namespace korvo
