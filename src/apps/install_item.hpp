#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"

namespace korvo {

enum class PackageManager { kApt, kSnap };

// One element of linux-install.json: a Linux app offered for an old one.
struct InstallItem {
  std::string app;
  std::string linux_name;
  PackageManager manager = PackageManager::kApt;
  std::vector<std::string> packages;
  bool classic = false;      // snap only
  bool alternative = false;  // a different app doing the same job
};

// The whole list, or an error when any element is malformed.
Result<std::vector<InstallItem>> parse_install_items(std::string_view json_text);

// True when every package name may be handed to the installer.
bool has_valid_package_names(const InstallItem& item);

// The tag of the installer argument for the item's packages.
std::string_view installer_tag(const InstallItem& item);

}  // namespace korvo
