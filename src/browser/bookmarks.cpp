#include "browser/bookmarks.hpp"

#include <fmt/format.h>

#include "common/files.hpp"
#include "common/json.hpp"
#include "common/text.hpp"
#include "common/i18n.hpp"

namespace korvo {
namespace {

constexpr std::string_view kHeader =
    "<!DOCTYPE NETSCAPE-Bookmark-file-1>\n"
    "<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset=UTF-8\">\n"
    "<TITLE>Bookmarks</TITLE>\n"
    "<H1>Bookmarks</H1>\n"
    "<DL><p>\n";
constexpr std::string_view kBlockStart = "<DL><p>\n";
constexpr std::string_view kBlockEnd = "</DL><p>\n";
constexpr std::string_view kToolbarRootKey = "bookmark_bar";
constexpr std::string_view kToolbarAttribute = " PERSONAL_TOOLBAR_FOLDER=\"true\"";
constexpr std::string_view kDefaultTitle = "Bookmarks";

constexpr const char* kBrowsers[] = {"Chrome", "Edge", "Brave"};
constexpr std::string_view kOutputFolder = "Browser bookmarks";
constexpr std::string_view kNote =
    N_("Bookmarks from {} are in Restored/Browser bookmarks — in your browser choose Bookmarks → Import and pick the "
    "file.");

// The string under key, or fallback when it is missing or not a string.
std::string string_or(const Json& object, std::string_view key, std::string_view fallback) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_string()) return std::string(fallback);
  return found->get<std::string>();
}

const Json* children_of(const Json& object) {
  const auto found = object.find("children");
  if (found == object.end() || !found->is_array()) return nullptr;
  return &*found;
}

void write_items(const Json* children, ConvertedBookmarks& out) {
  out.html += kBlockStart;
  if (children != nullptr) {
    for (const Json& item : *children) {
      if (!item.is_object()) continue;
      const auto type = item.find("type");
      if (type == item.end() || !type->is_string()) continue;
      const std::string& kind = type->get_ref<const std::string&>();
      if (kind == "url") {
        out.html += fmt::format("<DT><A HREF=\"{}\">{}</A>\n", html_escape(string_or(item, "url", "")),
                                html_escape(string_or(item, "name", kDefaultTitle)));
        ++out.links;
      } else if (kind == "folder") {
        out.html += fmt::format("<DT><H3>{}</H3>\n", html_escape(string_or(item, "name", kDefaultTitle)));
        write_items(children_of(item), out);
      }
    }
  }
  out.html += kBlockEnd;
}

}  // namespace

std::string html_escape(std::string_view text) { return replace_all(escape_markup(text), "\"", "&quot;"); }

Result<ConvertedBookmarks> convert_bookmarks(std::string_view json_text) {
  auto parsed = parse_json_strict(json_text);
  if (!parsed) return Error(tr("Bookmarks file is not valid JSON"), parsed.error());
  const Json& document = *parsed;
  const auto roots = document.is_object() ? document.find("roots") : document.end();
  if (roots == document.end() || !roots->is_object()) return Error(tr("Bookmarks file has no roots"));

  ConvertedBookmarks out;
  out.html += kHeader;
  // Json objects are ordered maps, so this walks the keys in byte order.
  for (const auto& [key, root] : roots->items()) {
    if (!root.is_object()) continue;
    const Json* children = children_of(root);
    if (children == nullptr || children->empty()) continue;
    const std::string_view attribute = key == kToolbarRootKey ? kToolbarAttribute : std::string_view();
    out.html += fmt::format("<DT><H3{}>{}</H3>\n", attribute, html_escape(string_or(root, "name", kDefaultTitle)));
    write_items(children, out);
  }
  out.html += kBlockEnd;
  return out;
}

std::vector<std::string> migrate_bookmarks(const std::string& staging_root, const std::string& restored_folder,
                                           std::vector<BookmarkExport>* exported) {
  const std::string output_folder = join_path(restored_folder, kOutputFolder);
  std::vector<std::string> written;
  for (const char* browser : kBrowsers) {
    const std::string browser_folder = join_path(join_path(staging_root, "BrowserData"), browser);
    auto profiles = list_directory(browser_folder);
    if (!profiles) continue;
    for (const std::string& profile : *profiles) {
      auto text = read_text_file(join_path(join_path(browser_folder, profile), "Bookmarks"));
      if (!text) continue;
      auto converted = convert_bookmarks(*text);
      if (!converted || converted->links == 0) continue;
      if (!create_directories(output_folder)) continue;
      const std::string file_name = fmt::format("{} - {}.html", browser, utf8_lossy(profile));
      if (!write_file(join_path(output_folder, file_name), converted->html)) continue;
      written.push_back(fmt::format("{} ({})", browser, converted->links));
      if (exported) exported->push_back({browser, utf8_lossy(profile), converted->links});
    }
  }
  if (written.empty()) return {};
  return {trf(kNote, join(written, ", "))};
}

}  // namespace korvo
