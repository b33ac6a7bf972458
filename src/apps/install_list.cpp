#include "apps/install_list.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <set>

#include "apps/app_choice.hpp"
#include "apps/elevated_install.hpp"
#include "apps/install_item.hpp"
#include "common/files.hpp"
#include "common/text.hpp"
#include "common/i18n.hpp"

namespace korvo {
namespace {

constexpr std::string_view kListFile = "linux-install.json";
constexpr std::string_view kNoneChosen = N_("Apps: none installed — linux-apps.md in the Restored folder lists them all.");
constexpr std::string_view kNoExecutable = N_("Apps: could not start the installer.");
constexpr std::string_view kNoElevation = N_("Apps: could not ask for administrator rights.");
constexpr std::string_view kInstallingText = N_("Installing apps — enter your Ubuntu password when asked…");

std::vector<std::string> summary(const std::vector<const InstallItem*>& chosen,
                                 const std::set<std::string>& installed, AppsOutcome& outcome) {
  std::vector<std::string>& done = outcome.installed;
  std::vector<std::string>& missing = outcome.not_installed;
  for (const InstallItem* item : chosen) {
    const bool complete = std::all_of(item->packages.begin(), item->packages.end(),
                                      [&](const std::string& name) { return installed.count(name) > 0; });
    (complete ? done : missing).push_back(item->linux_name);
  }
  std::vector<std::string> lines;
  if (!done.empty()) lines.push_back(trf("Apps installed: {}.", join(done, ", ")));
  if (!missing.empty()) {
    lines.push_back(
        trf("Apps not installed: {} — try Ubuntu's App Center, or see linux-apps.md.", join(missing, ", ")));
  }
  return lines;
}

}  // namespace

// Every failure to read the list is silent: the stage simply has nothing to offer.
std::vector<InstallItem> offerable_apps(const std::string& staging_root) {
  const auto text = read_text_file(join_path(staging_root, kListFile));
  if (!text) return {};
  auto items = parse_install_items(*text);
  if (!items) return {};
  std::vector<InstallItem> kept;
  for (InstallItem& item : *items) {
    if (has_valid_package_names(item)) kept.push_back(std::move(item));
  }
  return kept;
}

std::vector<std::string> offer_apps(const std::string& staging_root, Dialogs& dialogs, AppsOutcome* outcome) {
  AppsOutcome unused;
  AppsOutcome& result = outcome ? *outcome : unused;
  result.offered = offerable_apps(staging_root);
  const std::vector<InstallItem>& items = result.offered;
  if (items.empty()) return {};

  std::vector<ChecklistRow> rows;
  for (const InstallItem& item : items) rows.push_back(checklist_row(item));
  std::vector<const InstallItem*> chosen;
  for (const std::size_t row : choose_apps(rows, dialogs)) {
    chosen.push_back(&items[row]);
    result.chosen.push_back(items[row].linux_name);
  }
  if (chosen.empty()) return {tr(kNoneChosen)};
  // Until the installer says otherwise, nothing chosen is installed.
  result.not_installed = result.chosen;

  const auto executable = own_executable_path();
  if (!executable) return {tr(kNoExecutable)};
  const std::string tool = elevation_tool();

  const auto progress = dialogs.start_progress(tr(kInstallingText), /*pulsate=*/true);
  auto installed = run_elevated_installer(installer_command_line(tool, *executable, chosen), *progress);
  progress->close();
  if (!installed) return {tr(kNoElevation)};
  result.not_installed.clear();
  return summary(chosen, *installed, result);
}

}  // namespace korvo
