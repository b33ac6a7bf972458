#pragma once

#include <string>
#include <vector>

#include "apps/install_item.hpp"
#include "dialogs/dialogs.hpp"

namespace korvo {

// What the offer came to, app by app (names as the backup lists them).
struct AppsOutcome {
  std::vector<InstallItem> offered;
  std::vector<std::string> chosen;
  std::vector<std::string> installed;      // every package of the app installed
  std::vector<std::string> not_installed;  // chosen, and some package did not install
};

// Offers the apps of linux-install.json in the staging root, installs the
// chosen ones through the privileged installer copy and returns the report
// lines (zero, one or two). Never fails.
std::vector<std::string> offer_apps(const std::string& staging_root, Dialogs& dialogs,
                                    AppsOutcome* outcome = nullptr);

// The apps of that list that can be offered; none when it cannot be read.
std::vector<InstallItem> offerable_apps(const std::string& staging_root);

}  // namespace korvo
