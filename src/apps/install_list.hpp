#pragma once

#include <string>
#include <vector>

#include "dialogs/dialogs.hpp"

namespace korvo {

// Offers the apps of linux-install.json in the staging root, installs the
// chosen ones through the privileged installer copy and returns the report
// lines (zero, one or two). Never fails.
std::vector<std::string> offer_apps(const std::string& staging_root, Dialogs& dialogs);

}  // namespace korvo
