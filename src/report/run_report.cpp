#include "report/run_report.hpp"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "apps/package_request.hpp"
#include "common/files.hpp"
#include "common/json.hpp"
#include "common/text.hpp"

namespace korvo {
namespace {

std::string_view outcome_name(const RunReport& report, RunEnd end) {
  switch (end) {
    case RunEnd::kFailed:
      return "failed";
    case RunEnd::kWrongPassword:
      return "wrong_password";
    case RunEnd::kRefused:
      return "refused";
    case RunEnd::kDone:
      break;
  }
  const bool all_back = report.files && report.files->failures.empty() && !report.files->disk_full;
  return all_back ? "complete" : "partial";
}

std::string_view firefox_name(FirefoxOutcome outcome) {
  switch (outcome) {
    case FirefoxOutcome::kNothingToMove:
      return "nothing_to_move";
    case FirefoxOutcome::kMoved:
      return "moved";
    case FirefoxOutcome::kKept:
      return "kept";
    case FirefoxOutcome::kNotSetUp:
      return "not_set_up";
    case FirefoxOutcome::kFirefoxOpen:
      return "firefox_open";
    case FirefoxOutcome::kCopyFailed:
      return "copy_failed";
  }
  return "nothing_to_move";
}

// Keys in the order a person reads them.
using Json = nlohmann::ordered_json;

// Names come from the backup and may hold anything; JSON wants UTF-8.

Json text(std::string_view value) { return Json(utf8_lossy(value)); }

Json texts(const std::vector<std::string>& values) {
  Json list = Json::array();
  for (const std::string& value : values) list.push_back(text(value));
  return list;
}

// An app with the installer arguments of its packages.
Json app(const InstallItem& item) {
  Json requests = Json::array();
  for (const std::string& package : item.packages) {
    requests.push_back(package_request_argument(installer_tag(item), package));
  }
  return {{"name", text(item.linux_name)}, {"requests", std::move(requests)}};
}

Json apps_json(const RunReport& report) {
  Json offered = Json::array();
  Json requested = Json::array();
  for (const InstallItem& item : report.apps.offered) {
    offered.push_back(app(item));
    const auto asked = [&](const std::vector<std::string>& names) {
      return std::find(names.begin(), names.end(), item.linux_name) != names.end();
    };
    if (asked(report.apps.chosen) || asked(report.apps_asked_ahead)) requested.push_back(app(item));
  }
  return {{"offered", std::move(offered)},
          {"requested", std::move(requested)},
          {"installed", texts(report.apps.installed)},
          {"failed", texts(report.apps.not_installed)}};
}

Json files_json(const FileRestoreOutcome& files) {
  Json failures = Json::array();
  for (const std::string& message : files.failures) failures.push_back({{"message", text(message)}});
  const std::uint64_t kept = kept_files(files);
  return {{"restored", files.restored},
          {"written", files.restored - kept},
          {"kept", kept},
          {"not_restored", files.failures.size() + files.not_tried},
          {"disk_full", files.disk_full},
          {"failures", std::move(failures)}};
}

}  // namespace

// A copy that picks up an earlier run counts what it kept; one that does
// not wrote every file it restored.
template <typename Outcome>
std::uint64_t kept_of(const Outcome& files) {
  if constexpr (requires { files.kept; }) {
    return static_cast<std::uint64_t>(files.kept);
  } else {
    return 0;
  }
}

std::uint64_t kept_files(const FileRestoreOutcome& files) { return kept_of(files); }

std::string report_json(const RunReport& report, RunEnd end, const std::optional<Error>& error) {
  using Json = nlohmann::ordered_json;
  Json bookmarks = Json::array();
  for (const BookmarkExport& file : report.bookmarks) {
    bookmarks.push_back({{"browser", file.browser}, {"profile", text(file.profile)}, {"links", file.links}});
  }
  Json look = {{"dark_mode", nullptr}, {"wallpaper", report.look.wallpaper}};
  if (report.look.dark_mode) look["dark_mode"] = *report.look.dark_mode;

  Json document = Json::object();
  document["schema"] = kReportSchemaName;
  document["version"] = kReportSchemaVersion;
  document["outcome"] = outcome_name(report, end);
  document["error"] = error ? text(error->render()) : Json(nullptr);
  document["files"] = report.files ? files_json(*report.files) : Json(nullptr);
  document["apps"] = apps_json(report);
  document["wifi"] = {{"added", texts(report.wifi.added)}, {"not_added", texts(report.wifi.not_added)}};
  document["bookmark_files"] = std::move(bookmarks);
  document["firefox"] = report.firefox ? Json(firefox_name(*report.firefox)) : Json(nullptr);
  document["look_and_feel"] = std::move(look);
  document["staging_removed"] = report.staging_removed;
  document["report_lines"] = texts(report.lines);
  return document.dump(2) + "\n";
}

Result<void> write_report(const std::string& path, std::string_view text) {
  const std::string folder = parent_path(path);
  std::string temporary = join_path(folder.empty() ? "." : folder, ".korvo-report-XXXXXX");
  // mkstemp makes the file 0600 before a byte is in it.
  Fd file(::mkstemp(temporary.data()));
  if (!file.valid()) return os_error(errno, temporary);
  struct Unlinker {
    const std::string& path;
    bool armed = true;
    ~Unlinker() {
      if (armed) ::unlink(path.c_str());
    }
  } unlinker{temporary};
  KORVO_RETURN_IF_ERROR(write_all(file.get(), text));
  if (::fsync(file.get()) != 0) return os_error(errno, temporary);
  KORVO_RETURN_IF_ERROR(close_checked(file));
  if (::rename(temporary.c_str(), path.c_str()) != 0) return os_error(errno, path);
  unlinker.armed = false;
  return Ok{};
}

}  // namespace korvo
