#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "apps/install_list.hpp"
#include "browser/bookmarks.hpp"
#include "browser/firefox.hpp"
#include "common/error.hpp"
#include "desktop_settings/look_and_feel.hpp"
#include "restore/file_copy.hpp"
#include "wifi/wifi.hpp"

// The machine-read account of one run, for whoever runs many: filled from
// what the stages return, written as one JSON document at the end.
namespace korvo {

inline constexpr std::string_view kReportSchemaName = "korvo-restore-report";
inline constexpr int kReportSchemaVersion = 1;

struct RunReport {
  std::optional<FileRestoreOutcome> files;  // once the copy went through
  AppsOutcome apps;
  std::vector<std::string> apps_asked_ahead;  // requested on the command line
  std::vector<BookmarkExport> bookmarks;
  std::optional<FirefoxOutcome> firefox;
  WifiOutcome wifi;
  LookOutcome look;
  bool staging_removed = true;
  std::vector<std::string> lines;  // the report as the person reads it
};

enum class RunEnd { kDone, kFailed, kWrongPassword, kRefused };

// Files written by this run: those restored less those kept because they
// were already right.
std::uint64_t kept_files(const FileRestoreOutcome& files);

std::string report_json(const RunReport& report, RunEnd end, const std::optional<Error>& error);

// Written beside its place and renamed into it, readable by its owner only.
Result<void> write_report(const std::string& path, std::string_view text);

}  // namespace korvo
