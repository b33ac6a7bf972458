#include "apps/install_item.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "apps/package_request.hpp"
#include "common/json.hpp"
#include "common/i18n.hpp"

namespace korvo {
namespace {

Result<PackageManager> parse_manager(const Json& element, std::string_view where) {
  auto manager = json_string_field(element, "manager", where);
  if (!manager) return manager.error();
  if (*manager == "apt") return PackageManager::kApt;
  if (*manager == "snap") return PackageManager::kSnap;
  return Error(trf("{}: unknown manager \"{}\"", where, *manager));
}

Result<std::vector<std::string>> parse_packages(const Json& element, std::string_view where) {
  auto packages = json_array_field(element, "packages", where);
  if (!packages) return packages.error();
  std::vector<std::string> names;
  for (const Json& name : **packages) {
    if (!name.is_string()) return Error(trf("{}: \"packages\" must hold strings only", where));
    names.push_back(name.get<std::string>());
  }
  return names;
}

Result<InstallItem> parse_item(const Json& element, std::string_view where) {
  InstallItem item;
  auto app = json_string_field(element, "app", where);
  if (!app) return app.error();
  item.app = std::move(*app);
  auto linux_name = json_string_field(element, "linux_name", where);
  if (!linux_name) return linux_name.error();
  item.linux_name = std::move(*linux_name);
  auto manager = parse_manager(element, where);
  if (!manager) return manager.error();
  item.manager = *manager;
  auto packages = parse_packages(element, where);
  if (!packages) return packages.error();
  item.packages = std::move(*packages);
  auto classic = json_optional_bool(element, "classic", where, /*null_allowed=*/false);
  if (!classic) return classic.error();
  item.classic = classic->value_or(false);
  auto alternative = json_optional_bool(element, "alternative", where, /*null_allowed=*/false);
  if (!alternative) return alternative.error();
  item.alternative = alternative->value_or(false);
  return item;
}

}  // namespace

Result<std::vector<InstallItem>> parse_install_items(std::string_view json_text) {
  auto document = parse_json_strict(json_text);
  if (!document) return document.error();
  if (!document->is_array()) return Error(trf("expected an array, found {}", tr(json_type_name(*document))));
  std::vector<InstallItem> items;
  for (std::size_t i = 0; i < document->size(); ++i) {
    auto item = parse_item((*document)[i], fmt::format("[{}]", i));
    if (!item) return item.error();
    items.push_back(std::move(*item));
  }
  return items;
}

bool has_valid_package_names(const InstallItem& item) {
  return std::all_of(item.packages.begin(), item.packages.end(), is_valid_package_name);
}

std::string_view installer_tag(const InstallItem& item) {
  if (item.manager == PackageManager::kApt) return kAptTag;
  return item.classic ? kSnapClassicTag : kSnapTag;
}

}  // namespace korvo
