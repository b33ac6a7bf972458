#include "restore_cli/discovery.hpp"

#include <fmt/format.h>

#include "common/files.hpp"
#include "common/text.hpp"
#include "common/i18n.hpp"

namespace korvo {
namespace {

const std::vector<std::string> kSearchRoots = {"/media", "/mnt", "/run/media"};
constexpr std::string_view kNothingFound = N_("no Korvo backup found on any mounted drive");
constexpr std::string_view kHowToPassPath =
    N_("Could not find Backup.enc automatically. Pass the path to the Korvo USB, e.g. "
    "`korvo-restore /media/you/KORVO_DATA`");

std::optional<std::string> search_candidates() {
  std::string executable;
  if (auto own = own_executable_path()) executable = *own;
  for (const std::string& folder : candidate_folders(executable, kSearchRoots)) {
    if (looks_like_backup(folder)) return folder;
  }
  return std::nullopt;
}

}  // namespace

bool looks_like_backup(const std::string& folder) {
  return is_regular_file(join_path(folder, "Backup.enc")) && is_regular_file(join_path(folder, "backup.salt"));
}

std::vector<std::string> candidate_folders(const std::string& executable_path, const std::vector<std::string>& roots) {
  std::vector<std::string> candidates;
  const std::string executable_folder = parent_path(executable_path);
  if (!executable_folder.empty()) candidates.push_back(executable_folder);
  for (const std::string& root : roots) {
    auto entries = list_directory(root);
    if (!entries) continue;
    for (const std::string& name : *entries) {
      const std::string first_level = join_path(root, name);
      if (!is_directory(first_level)) continue;
      if (auto inner = list_directory(first_level)) {
        for (const std::string& inner_name : *inner) {
          const std::string second_level = join_path(first_level, inner_name);
          if (is_directory(second_level)) candidates.push_back(second_level);
        }
      }
      candidates.push_back(first_level);
    }
  }
  return candidates;
}

Result<std::string> find_backup_folder(Dialogs& dialogs, const std::vector<std::string>& args) {
  std::optional<std::string> folder;
  for (const std::string& arg : args) {
    if (!starts_with(arg, "--")) {
      folder = arg;
      break;
    }
  }
  if (!folder) folder = search_candidates();
  if (!folder) folder = dialogs.choose_folder();
  if (!folder) return Error(tr(kHowToPassPath), Error(tr(kNothingFound)));

  if (!looks_like_backup(*folder)) {
    return Error(trf("{} does not look like a Korvo USB (needs Backup.enc and backup.salt)", *folder));
  }
  dialogs.say(trf("Found backup on {}", terminal_safe(*folder)));
  return *folder;
}

}  // namespace korvo
