#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"

namespace korvo {

// One Chromium-family bookmark file as Netscape bookmark HTML.
struct ConvertedBookmarks {
  std::string html;
  std::size_t links = 0;  // bookmarks written, folders not counted
};

// Errors: "Bookmarks file is not valid JSON" (parser's text as cause) and
// "Bookmarks file has no roots".
Result<ConvertedBookmarks> convert_bookmarks(std::string_view json_text);

// "&", "<", ">" and the double quote as entities; the apostrophe stays.
std::string html_escape(std::string_view text);

// One bookmark file written.
struct BookmarkExport {
  std::string browser;
  std::string profile;
  std::size_t links = 0;
};

// Writes one bookmark HTML file per Chromium-family profile found in the
// staging root's "BrowserData" into restored_folder/"Browser bookmarks";
// returns zero or one note line. Never fails.
std::vector<std::string> migrate_bookmarks(const std::string& staging_root, const std::string& restored_folder,
                                           std::vector<BookmarkExport>* exported = nullptr);

}  // namespace korvo
