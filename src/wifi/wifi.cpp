#include "wifi/wifi.hpp"

#include <fmt/format.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <set>

#include "common/files.hpp"
#include "common/process.hpp"
#include "common/secret.hpp"
#include "common/text.hpp"
#include "common/unicode_case.hpp"
#include "wifi/connection_editor.hpp"
#include "wifi/profile.hpp"
#include "common/i18n.hpp"

namespace korvo {
namespace {

constexpr std::string_view kWifiFolder = "WiFi";
constexpr std::string_view kProfileExtension = "xml";

constexpr std::string_view kNoNetworkManager =
    N_("Wi-Fi: NetworkManager is not available — passwords are in WiFi-Passwords.txt in the Restored folder.");
constexpr std::string_view kSavedLine = N_("Wi-Fi networks saved: {}.");
constexpr std::string_view kSignInLine = N_("Sign in again (work/school login): {}.");
constexpr std::string_view kNotAddedLine = N_("Wi-Fi not added: {} — passwords are in WiFi-Passwords.txt.");

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
    wipe_string(*text);  // it holds the key in clear
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

// Terse output puts a backslash before every colon and backslash of a value.
std::string unescape_terse(std::string_view field) {
  std::string plain;
  plain.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 1 < field.size() && (field[i + 1] == ':' || field[i + 1] == '\\')) ++i;
    plain.push_back(field[i]);
  }
  return plain;
}

std::optional<std::set<std::string>> existing_connections() {
  auto listed = run_process(nmcli({"-t", "-f", "NAME", "connection", "show"}));
  if (!listed || !listed->status.success()) return std::nullopt;
  std::set<std::string> names;
  for (const std::string& line : split_lines(utf8_lossy(listed->out))) names.insert(unescape_terse(line));
  return names;
}

// The account the networks are saved for, from the password database: the
// environment could name anyone.
std::optional<std::string> current_user_name() {
  const long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(hint > 0 ? static_cast<std::size_t>(hint) : 1024);
  passwd entry{};
  passwd* found = nullptr;
  int err = 0;
  while ((err = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE) {
    buffer.resize(buffer.size() * 2);
  }
  if (err != 0 || found == nullptr) return std::nullopt;
  return std::string(found->pw_name);
}

// Without an owner the network would be saved for every account of the machine.
bool add_connection(const WifiProfile& profile, const std::optional<std::string>& owner) {
  if (!owner) return false;
  const auto input = editor_input(profile, *owner);
  if (!input) return false;
  Command command = nmcli(editor_arguments(profile));
  command.in = Stream::kPipe;
  // The editor echoes every line it reads, the key too.
  command.out = Stream::kNull;
  command.err = Stream::kNull;
  command.extra_env = editor_environment();
  auto added = run_process(command, input->view());
  return added && added->status.success();
}

bool can_add(const WifiProfile& profile) {
  switch (profile.security) {
    case WifiSecurity::Open:
    case WifiSecurity::EnhancedOpen:
      return true;
    case WifiSecurity::Wep:
    case WifiSecurity::WepSharedKey:
    case WifiSecurity::WpaPersonal:
    case WifiSecurity::Wpa3Personal:
      return profile.key.has_value();
    case WifiSecurity::Other:
      return false;
  }
  return false;
}

}  // namespace

std::vector<std::string> migrate_wifi(const std::string& staging_root, WifiOutcome* outcome) {
  std::vector<WifiProfile> profiles = read_profiles(join_path(staging_root, kWifiFolder));
  if (profiles.empty()) return {};
  struct KeyWiper {
    std::vector<WifiProfile>& profiles;
    ~KeyWiper() {
      for (WifiProfile& profile : profiles) {
        if (profile.key) wipe_string(*profile.key);
      }
    }
  } wiper{profiles};
  std::vector<std::pair<std::string, const WifiProfile*>> sorted;
  for (const auto& profile : profiles) sorted.emplace_back(unicode_lower(profile.name), &profile);
  std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.first < b.first; });

  auto existing = existing_connections();
  if (!existing) {
    if (outcome) {
      for (const auto& [sort_key, entry] : sorted) {
        if (std::find(outcome->not_added.begin(), outcome->not_added.end(), entry->name) == outcome->not_added.end()) {
          outcome->not_added.push_back(entry->name);
        }
      }
    }
    return {tr(kNoNetworkManager)};
  }

  // The same network may come once per adapter of the old computer. A name
  // present or saved is skipped after that; after a failed add or a missing
  // key the next profile of that name still gets its turn, and the name is
  // reported once, under its best outcome.
  const std::optional<std::string> owner = current_user_name();
  std::set<std::string> done = std::move(*existing);
  std::set<std::string> reported_unsaved;
  std::vector<std::string> saved, sign_in, not_added;
  for (const auto& [sort_key, entry] : sorted) {
    const WifiProfile& profile = *entry;
    if (done.contains(profile.name)) continue;
    const bool addable = can_add(profile);
    if (addable && add_connection(profile, owner)) {
      done.insert(profile.name);
      saved.push_back(profile.name);
      if (reported_unsaved.erase(profile.name) > 0) {
        std::erase(sign_in, profile.name);
        std::erase(not_added, profile.name);
      }
    } else if (reported_unsaved.insert(profile.name).second) {
      (addable ? not_added : sign_in).push_back(profile.name);
    }
  }

  if (outcome) {
    outcome->added = saved;
    outcome->not_added = sign_in;
    outcome->not_added.insert(outcome->not_added.end(), not_added.begin(), not_added.end());
  }
  std::vector<std::string> lines;
  if (!saved.empty()) lines.push_back(trf(kSavedLine, join(saved, ", ")));
  if (!sign_in.empty()) lines.push_back(trf(kSignInLine, join(sign_in, ", ")));
  if (!not_added.empty()) lines.push_back(trf(kNotAddedLine, join(not_added, ", ")));
  return lines;
}

}  // namespace korvo
