#include "apps/app_choice.hpp"
#include "common/i18n.hpp"

#include <fmt/format.h>

namespace korvo {
namespace {

constexpr std::string_view kIntro = N_("Korvo can install these apps for you. Untick anything you don't want.");
constexpr std::string_view kQuestion = N_("Install the ticked apps? (the others are listed in linux-apps.md)");

}  // namespace

ChecklistRow checklist_row(const InstallItem& item) {
  if (item.alternative) {
    return {trf("{} — instead of {} (a different app)", item.linux_name, item.app), false, item.linux_name};
  }
  return {trf("{} (you had {})", item.linux_name, item.app), true, item.linux_name};
}

std::vector<std::size_t> choose_apps(const std::vector<ChecklistRow>& rows, Dialogs& dialogs) {
  return dialogs.choose_rows({tr(kIntro), tr(kQuestion), rows});
}

}  // namespace korvo
