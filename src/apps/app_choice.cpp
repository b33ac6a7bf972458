#include "apps/app_choice.hpp"
#include "common/i18n.hpp"

#include <fmt/format.h>

#include "common/text.hpp"

namespace korvo {
namespace {

constexpr std::string_view kIntro = N_("Korvo can install these apps for you. Untick anything you don't want.");
constexpr std::string_view kQuestion = N_("Install the ticked apps? (the others are listed in linux-apps.md)");

// The tool that installs the row's packages, as a command names it.
std::string_view package_tool(const InstallItem& item) {
  if (item.manager == PackageManager::kApt) return "apt";
  return item.classic ? "snap --classic" : "snap";
}

}  // namespace

// The row's name comes from the backup and may say anything: what the
// administrator's password will install is shown beside it.
ChecklistRow checklist_row(const InstallItem& item) {
  std::string label = item.alternative ? trf("{} — instead of {} (a different app)", item.linux_name, item.app)
                                       : trf("{} (you had {})", item.linux_name, item.app);
  if (item.packages.empty()) return {std::move(label), !item.alternative, item.linux_name};
  // TRANSLATORS: a row of the app checklist: the app, then the package tool
  // ("apt", "snap" or "snap --classic") and the packages it installs, as
  // the tool names them.
  return {trf("{} — {}: {}", label, package_tool(item), join(item.packages, ", ")), !item.alternative,
          item.linux_name};
}

std::vector<std::size_t> choose_apps(const std::vector<ChecklistRow>& rows, Dialogs& dialogs) {
  return dialogs.choose_rows({tr(kIntro), tr(kQuestion), rows});
}

}  // namespace korvo
