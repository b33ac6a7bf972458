// A Chromium-family Bookmarks file to HTML. For accepted input the output
// must be well formed: the fixed header, balanced "<DL><p>" blocks, one
// "<DT><A HREF=" line per counted link (escaping keeps "<" out of every
// title, so the tags can be counted), and the count must match the links an
// independent walk of the same JSON finds.

#include "browser/bookmarks.hpp"
#include "common/json.hpp"
#include "fuzz_support.hpp"

namespace {

using korvo::Json;

constexpr std::string_view kHeader =
    "<!DOCTYPE NETSCAPE-Bookmark-file-1>\n"
    "<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset=UTF-8\">\n"
    "<TITLE>Bookmarks</TITLE>\n"
    "<H1>Bookmarks</H1>\n";

struct Walk {
  std::size_t links = 0;
  std::size_t headings = 0;  // roots written and folders
  std::size_t blocks = 0;    // "<DL><p>" blocks below the outer one
};

const Json* children(const Json& object) {
  const auto found = object.find("children");
  return found != object.end() && found->is_array() ? &*found : nullptr;
}

void walk_items(const Json* items, Walk& walk) {
  ++walk.blocks;
  if (items == nullptr) return;
  for (const Json& item : *items) {
    if (!item.is_object() || !item.contains("type") || !item["type"].is_string()) continue;
    if (item["type"] == "url") ++walk.links;
    if (item["type"] == "folder") {
      ++walk.headings;
      walk_items(children(item), walk);
    }
  }
}

std::size_t occurrences(std::string_view text, std::string_view what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string_view::npos; at = text.find(what, at + what.size())) {
    ++count;
  }
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = korvo::fuzz::as_text(data, size);
  const auto converted = korvo::convert_bookmarks(text);
  if (!converted) {
    const std::string& message = converted.error().message();
    FUZZ_CHECK(message == "Bookmarks file is not valid JSON" || message == "Bookmarks file has no roots", message);
    return 0;
  }
  const std::string& html = converted->html;
  FUZZ_CHECK(html.compare(0, kHeader.size(), kHeader) == 0, "header");
  FUZZ_CHECK(html.size() >= 9 && html.compare(html.size() - 9, 9, "</DL><p>\n") == 0, "last line");
  FUZZ_CHECK(korvo::fuzz::reference_valid_utf8(html), "output is not UTF-8");

  std::size_t depth = 0;
  for (std::size_t at = 0; at < html.size();) {
    if (html.compare(at, 8, "<DL><p>\n") == 0) {
      ++depth;
      at += 8;
    } else if (html.compare(at, 9, "</DL><p>\n") == 0) {
      FUZZ_CHECK(depth > 0, "a block closed that was never opened");
      --depth;
      at += 9;
    } else {
      ++at;
    }
  }
  FUZZ_CHECK(depth == 0, "blocks left open");
  FUZZ_CHECK(occurrences(html, "<DT><A HREF=\"") == converted->links, "links counted differ from links written");
  FUZZ_CHECK(occurrences(html, "<") == occurrences(html, ">"), "an unescaped angle bracket");

  const Json plain = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  FUZZ_CHECK(plain.is_object() && plain.contains("roots") && plain["roots"].is_object(), "accepted without roots");
  Walk walk;
  for (const auto& [key, root] : plain["roots"].items()) {
    if (!root.is_object()) continue;
    const Json* items = children(root);
    if (items == nullptr || items->empty()) continue;
    ++walk.headings;
    walk_items(items, walk);
  }
  FUZZ_CHECK(walk.links == converted->links, "link count differs from the JSON");
  FUZZ_CHECK(occurrences(html, "<DT><H3") == walk.headings, "headings differ from the JSON");
  FUZZ_CHECK(occurrences(html, "<DL><p>\n") == walk.blocks + 1, "blocks differ from the JSON");
  FUZZ_CHECK(occurrences(html, "PERSONAL_TOOLBAR_FOLDER=\"true\"") <= 1, "toolbar attribute twice");
  return 0;
}
