#include "wifi/wifi.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <set>

#include "common/files.hpp"
#include "common/process.hpp"
#include "common/text.hpp"
#include "common/unicode_case.hpp"
#include "wifi/profile.hpp"

namespace korvo {
namespace {

constexpr std::string_view kWifiFolder = "WiFi";
constexpr std::string_view kProfileExtension = "xml";

constexpr std::string_view kNoNetworkManager =
    "Wi-Fi: NetworkManager is not available — passwords are in WiFi-Passwords.txt in the Restored folder.";
constexpr std::string_view kSavedLine = "Wi-Fi networks saved: {}.";
constexpr std::string_view kSignInLine = "Sign in again (work/school login): {}.";
constexpr std::string_view kNotAddedLine = "Wi-Fi not added: {} — passwords are in WiFi-Passwords.txt.";

// The text after the last "."; a name whose only "." leads it (".xml") has none.
bool has_profile_extension(std::string_view file_name) {
  const std::size_t dot = file_name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return false;
  return file_name.substr(dot + 1) == kProfileExtension;
}

std::vector<WifiProfile> read_profiles(const std::string& folder) {
  std::vector<WifiProfile> profiles;
  auto names = list_directory(folder);
  if (!names) return profiles;
  for (const std::string& name : *names) {
    if (!has_profile_extension(name)) continue;
    auto text = read_text_file(join_path(folder, name));
    if (!text) continue;
    if (auto profile = read_wifi_profile(*text)) profiles.push_back(std::move(*profile));
  }
  return profiles;
}

Command nmcli(std::vector<std::string> args) {
  Command command;
  command.argv = {"nmcli"};
  command.argv.insert(command.argv.end(), std::make_move_iterator(args.begin()), std::make_move_iterator(args.end()));
  command.in = Stream::kNull;
  command.out = Stream::kCapture;
  command.err = Stream::kCapture;
  return command;
}

std::optional<std::set<std::string>> existing_connections() {
  auto listed = run_process(nmcli({"-t", "-f", "NAME", "connection", "show"}));
  if (!listed || !listed->status.success()) return std::nullopt;
  const std::vector<std::string> lines = split_lines(utf8_lossy(listed->out));
  return std::set<std::string>(lines.begin(), lines.end());
}

bool add_connection(const WifiProfile& profile) {
  std::vector<std::string> args = {"connection", "add", "type", "wifi", "con-name", profile.name, "ssid", profile.name};
  if (profile.security != WifiSecurity::Open) {
    args.insert(args.end(), {"wifi-sec.key-mgmt", profile.security == WifiSecurity::Wpa3Personal ? "sae" : "wpa-psk",
                             "wifi-sec.psk", *profile.key});
  }
  auto added = run_process(nmcli(std::move(args)));
  return added && added->status.success();
}

bool can_add(const WifiProfile& profile) {
  switch (profile.security) {
    case WifiSecurity::Open:
      return true;
    case WifiSecurity::WpaPersonal:
    case WifiSecurity::Wpa3Personal:
      return profile.key.has_value();
    case WifiSecurity::Other:
      return false;
  }
  return false;
}

}  // namespace

std::vector<std::string> migrate_wifi(const std::string& staging_root) {
  std::vector<WifiProfile> profiles = read_profiles(join_path(staging_root, kWifiFolder));
  if (profiles.empty()) return {};
  std::vector<std::pair<std::string, WifiProfile>> sorted;
  for (auto& profile : profiles) sorted.emplace_back(unicode_lower(profile.name), std::move(profile));
  std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.first < b.first; });

  const auto existing = existing_connections();
  if (!existing) return {std::string(kNoNetworkManager)};

  std::vector<std::string> saved, sign_in, not_added;
  for (const auto& [sort_key, profile] : sorted) {
    if (existing->contains(profile.name)) continue;
    if (!can_add(profile)) {
      sign_in.push_back(profile.name);
    } else if (add_connection(profile)) {
      saved.push_back(profile.name);
    } else {
      not_added.push_back(profile.name);
    }
  }

  std::vector<std::string> lines;
  if (!saved.empty()) lines.push_back(fmt::format(fmt::runtime(kSavedLine), join(saved, ", ")));
  if (!sign_in.empty()) lines.push_back(fmt::format(fmt::runtime(kSignInLine), join(sign_in, ", ")));
  if (!not_added.empty()) lines.push_back(fmt::format(fmt::runtime(kNotAddedLine), join(not_added, ", ")));
  return lines;
}

}  // namespace korvo
