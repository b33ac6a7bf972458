// linux-install.json. An accepted list must match a plain parse element by
// element; an item passes the package check exactly when every name obeys
// the rule; and the installer command line built from the items must be
// accepted by the installer's own parser with the same names and tags, in
// order (the offer produces exactly what the installer takes).

#include "apps/elevated_install.hpp"
#include "apps/install_item.hpp"
#include "apps/installer.hpp"
#include "common/json.hpp"
#include "fuzz_support.hpp"
#include "package_rule.hpp"

namespace {

using korvo::Json;

bool optional_flag(const Json& element, const char* key) {
  const auto found = element.find(key);
  return found != element.end() && found->get<bool>();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = korvo::fuzz::as_text(data, size);
  const auto items = korvo::parse_install_items(text);
  if (!items) return 0;

  const Json plain = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  FUZZ_CHECK(plain.is_array() && plain.size() == items->size(), "accepted text that is no such array");
  std::vector<const korvo::InstallItem*> kept;
  for (std::size_t i = 0; i < items->size(); ++i) {
    const korvo::InstallItem& item = (*items)[i];
    const Json& element = plain[i];
    FUZZ_CHECK(element["app"] == item.app && element["linux_name"] == item.linux_name, "names");
    const std::string manager = element["manager"].get<std::string>();
    FUZZ_CHECK((manager == "apt" && item.manager == korvo::PackageManager::kApt) ||
                   (manager == "snap" && item.manager == korvo::PackageManager::kSnap),
               manager);
    FUZZ_CHECK(element["packages"] == Json(item.packages), "packages");
    FUZZ_CHECK(item.classic == optional_flag(element, "classic") &&
                   item.alternative == optional_flag(element, "alternative"),
               "flags");
    bool all_valid = true;
    for (const std::string& name : item.packages) all_valid = all_valid && korvo::fuzz::reference_package_name(name);
    FUZZ_CHECK(korvo::has_valid_package_names(item) == all_valid, "package check");
    if (all_valid) kept.push_back(&item);
  }

  const auto line = korvo::installer_command_line("pkexec", "/usr/bin/korvo-restore", kept);
  FUZZ_CHECK(line.size() >= 3 && line[0] == "pkexec" && line[1] == "/usr/bin/korvo-restore" &&
                 line[2] == "--install-apps",
             "command line head");
  const std::vector<std::string> arguments(line.begin() + 3, line.end());
  const auto requests = korvo::parse_installer_requests(arguments);
  FUZZ_CHECK(requests.has_value(), "the installer refuses what the offer produced");
  std::size_t at = 0;
  for (const korvo::InstallItem* item : kept) {
    for (const std::string& name : item->packages) {
      FUZZ_CHECK(at < requests->size(), "fewer requests than packages");
      const korvo::PackageRequest& request = (*requests)[at++];
      const bool snap = item->manager == korvo::PackageManager::kSnap;
      FUZZ_CHECK(request.name == name && request.is_snap == snap && request.classic == (snap && item->classic),
                 arguments[at - 1]);
    }
  }
  FUZZ_CHECK(at == requests->size(), "more requests than packages");
  return 0;
}
