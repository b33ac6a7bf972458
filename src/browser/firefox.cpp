#include "browser/firefox.hpp"

#include <stdio.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <fmt/format.h>
#include <string_view>

#include "browser/firefox_ini.hpp"
#include "common/files.hpp"
#include "common/process.hpp"
#include "common/i18n.hpp"

namespace korvo {
namespace {

constexpr std::string_view kSnapRoot = "snap/firefox/common/.mozilla/firefox";
constexpr std::string_view kClassicRoot = ".mozilla/firefox";
// Newer releases create profiles here when the classic root does not exist.
constexpr std::string_view kXdgRoot = ".config/mozilla/firefox";
constexpr std::string_view kProfilesIni = "profiles.ini";
constexpr std::string_view kInstallsIni = "installs.ini";

constexpr std::string_view kPlacesFile = "places.sqlite";
constexpr std::string_view kSetAsideSuffix = ".before-korvo";
constexpr std::string_view kCompanionSuffixes[] = {"-wal", "-shm"};

struct MovedFile {
  std::string_view name;
  bool secret;  // saved passwords and their key: readable by the owner only
};
constexpr MovedFile kMovedFiles[] = {{"places.sqlite", false}, {"logins.json", true}, {"key4.db", true}};
constexpr mode_t kSecretMode = 0600;

// Debian ships the browser as firefox-esr; looked for in this order.
constexpr std::string_view kFirefoxPrograms[] = {"firefox", "firefox-esr"};

constexpr std::string_view kDoneLine = N_("Firefox: your bookmarks, history and saved passwords are back.");
constexpr std::string_view kCopyFailedLine = N_("Firefox: could not copy {}.");
constexpr std::string_view kOpenLine = N_("Firefox data was not moved (Firefox was open).");
constexpr std::string_view kNotSetUpLine = N_("Firefox data was not moved (Firefox isn't set up yet).");
constexpr std::string_view kKeptLine = N_("Firefox data was not moved (the data already on this computer was kept).");
constexpr std::string_view kFirstStartQuestion =
    N_("Firefox needs to open once so Korvo can move your bookmarks, history and passwords into it. "
    "Korvo will open it now — close Firefox to continue.");
constexpr std::string_view kCloseQuestion = N_("Please close Firefox so Korvo can add your data. Closed it?");

// The backup profile with the largest places.sqlite; the later listed wins a tie.
std::optional<std::string> choose_source_profile(const std::string& backup_firefox_folder) {
  auto entries = list_directory(backup_firefox_folder);
  if (!entries) return std::nullopt;
  std::optional<std::string> chosen;
  std::uint64_t chosen_size = 0;
  for (const std::string& name : *entries) {
    const std::string profile = join_path(backup_firefox_folder, name);
    auto size = file_size(join_path(profile, kPlacesFile));
    if (!size) continue;
    if (!chosen || *size >= chosen_size) {
      chosen = profile;
      chosen_size = *size;
    }
  }
  return chosen;
}

std::optional<std::string_view> installed_firefox() {
  for (const std::string_view program : kFirefoxPrograms) {
    if (command_exists(program)) return program;
  }
  return std::nullopt;
}

bool firefox_running() {
  for (const std::string_view program : kFirefoxPrograms) {
    Command check;
    check.argv = {"pgrep", "-x", std::string(program)};
    check.out = Stream::kNull;
    if (run_succeeds(check)) return true;
  }
  return false;
}

// Starts Firefox once so that it creates a profile; waits until it is closed.
void start_firefox_once(std::string_view program) {
  Command firefox;
  firefox.argv = {std::string(program)};
  (void)run_process(firefox);
}

// Sets the local file aside, drops its journal companions and copies the
// backup's file in its place.
Result<void> replace_file(const std::string& source, const std::string& local_profile, const MovedFile& file) {
  const std::string target = join_path(local_profile, file.name);
  if (path_exists_nofollow(target)) {
    (void)::rename(target.c_str(), fmt::format("{}{}", target, kSetAsideSuffix).c_str());
  }
  for (const std::string_view suffix : kCompanionSuffixes) {
    (void)::unlink(fmt::format("{}{}", target, suffix).c_str());
  }
  return file.secret ? copy_file_with_mode(source, target, kSecretMode) : copy_file(source, target);
}

}  // namespace

std::vector<std::string> firefox_roots(const std::string& home) {
  return {join_path(home, kSnapRoot), join_path(home, kClassicRoot), join_path(home, kXdgRoot)};
}

std::optional<std::string> find_firefox_profile(const std::vector<std::string>& roots) {
  for (const std::string& root : roots) {
    auto profiles = read_text_file(join_path(root, kProfilesIni));
    if (!profiles) continue;
    auto installs = read_text_file(join_path(root, kInstallsIni));
    ProfileLookup lookup;
    lookup.read(installs ? std::string_view(*installs) : std::string_view());
    lookup.read(*profiles);
    const std::optional<ProfileRecord> record = lookup.choice();
    if (!record) continue;
    const std::string folder = record->relative ? join_path(root, record->path) : record->path;
    if (is_directory(folder)) return folder;
    return std::nullopt;
  }
  return std::nullopt;
}

std::vector<std::string> migrate_firefox(const std::string& backup_firefox_folder, const std::string& home,
                                         Dialogs& dialogs, FirefoxOutcome* outcome) {
  FirefoxOutcome unused;
  FirefoxOutcome& result = outcome ? *outcome : unused;
  result = FirefoxOutcome::kNothingToMove;
  const std::optional<std::string> source_profile = choose_source_profile(backup_firefox_folder);
  if (!source_profile) return {};
  if (!dialogs.replace_firefox_data()) {
    result = FirefoxOutcome::kKept;
    return {tr(kKeptLine)};
  }

  const std::vector<std::string> roots = firefox_roots(home);
  std::optional<std::string> local_profile = find_firefox_profile(roots);
  result = FirefoxOutcome::kNotSetUp;
  if (!local_profile) {
    const std::optional<std::string_view> program = installed_firefox();
    if (!program || !dialogs.ask_yes_no(tr(kFirstStartQuestion))) return {tr(kNotSetUpLine)};
    start_firefox_once(*program);
    local_profile = find_firefox_profile(roots);
    if (!local_profile) return {tr(kNotSetUpLine)};
  }

  result = FirefoxOutcome::kFirefoxOpen;
  while (firefox_running()) {
    if (!dialogs.ask_yes_no(tr(kCloseQuestion))) return {tr(kOpenLine)};
  }

  result = FirefoxOutcome::kCopyFailed;
  for (const MovedFile& file : kMovedFiles) {
    const std::string source = join_path(*source_profile, file.name);
    if (!is_regular_file(source)) continue;
    if (!replace_file(source, *local_profile, file)) return {trf(kCopyFailedLine, file.name)};
  }
  result = FirefoxOutcome::kMoved;
  return {tr(kDoneLine)};
}

}  // namespace korvo
