#include "restore_cli/sequence.hpp"

#include <optional>

#include <fmt/format.h>

#include "apps/install_list.hpp"
#include "browser/bookmarks.hpp"
#include "browser/firefox.hpp"
#include "common/files.hpp"
#include "common/text.hpp"
#include "desktop_settings/look_and_feel.hpp"
#include "restore/file_copy.hpp"
#include "restore/manifest.hpp"
#include "restore_cli/discovery.hpp"
#include "restore_cli/run_context.hpp"
#include "staging/staging.hpp"
#include "wifi/wifi.hpp"
#include "common/i18n.hpp"

namespace korvo {
namespace {

constexpr std::size_t kListedFailures = 10;

void append(std::vector<std::string>& lines, std::vector<std::string> more) {
  lines.insert(lines.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
}

// The manifest first, then the desktop: a broken manifest is the first thing to report.
Result<FileRestoreOutcome> restore_staged_files(const RunContext& context, const std::string& staging_root,
                                                std::string& restored_folder, Progress& progress) {
  auto root = resolve_backup_dir(context.temp_dir, staging_root);
  if (!root) return root.error();
  auto manifest = load_manifest(*root);
  if (!manifest) return manifest.error();
  auto desktop = find_desktop_dir(context.home);
  if (!desktop) return desktop.error();
  restored_folder = join_path(*desktop, "Restored");
  return restore_files(*root, manifest->files, restored_folder, progress);
}

}  // namespace

std::vector<std::string> file_report_lines(std::uint64_t restored, const std::vector<std::string>& failures) {
  // The English sentences keep one form for every count; other languages
  // get their plural forms.
  // TRANSLATORS: "Restored" is the folder's name on disk; keep it as it is.
  std::vector<std::string> lines = {trnf("{} files are back in the Restored folder on your desktop.",
                                         "{} files are back in the Restored folder on your desktop.", restored,
                                         restored)};
  if (!failures.empty()) {
    lines.push_back(trnf("{} files could not be restored:", "{} files could not be restored:", failures.size(),
                         failures.size()));
    for (std::size_t i = 0; i < failures.size() && i < kListedFailures; ++i) lines.push_back("  ! " + failures[i]);
  }
  return lines;
}

std::string leftover_staging_line(const std::string& staging_dir, const Error& error) {
  return trf("The decrypted copy of your backup could not be removed — please delete {} yourself: {}",
                     staging_dir, error.render());
}

namespace {

// Every stage up to the report; `staging_dir` is set once it exists.
Result<std::vector<std::string>> run_stages(const RunContext& context, const std::vector<std::string>& args,
                                            std::string& staging_dir, std::string& restored_folder) {
  Dialogs& dialogs = context.dialogs;
  dialogs.say(tr("Korvo restore\n"));

  auto backup_folder = find_backup_folder(dialogs, args);
  if (!backup_folder) return backup_folder.error();

  auto password = dialogs.ask_password();
  if (!password) return password.error();

  std::string staging_root;
  {
    const auto progress = dialogs.start_progress(tr("Decrypting your backup…"), true);
    auto staged = stage_backup(context.temp_dir, *backup_folder, password->view(), staging_dir);
    progress->close();
    password->clear();  // not needed past decryption
    if (!staged) return Error(tr("Decryption failed — wrong password, or the backup is damaged"), staged.error());
    staging_root = std::move(*staged);
  }

  FileRestoreOutcome files;
  {
    const auto progress = dialogs.start_progress(tr("Restoring your files…"), false);
    auto outcome = restore_staged_files(context, staging_root, restored_folder, *progress);
    progress->close();
    if (!outcome) return Error(tr("Restore failed"), outcome.error());
    files = std::move(*outcome);
  }
  // Past the copy, HOME is known to be set and valid.
  const std::string home = *context.home;

  std::vector<std::string> summary = file_report_lines(files.restored, files.failures);
  append(summary, offer_apps(staging_root, dialogs));

  const std::string browser_data = join_path(staging_root, "BrowserData");
  std::vector<std::string> browser_notes = migrate_bookmarks(staging_root, restored_folder);
  append(browser_notes, migrate_firefox(join_path(browser_data, "Firefox"), home, dialogs));
  append(summary, std::move(browser_notes));

  append(summary, migrate_wifi(staging_root));
  append(summary, apply_look_and_feel(join_path(staging_root, "Settings"), home));
  return summary;
}

}  // namespace

Result<void> run_restore(const RunContext& context, const std::vector<std::string>& args,
                         std::vector<std::string>& failure_notes) {
  std::string staging_dir;
  std::string restored_folder;
  auto summary = run_stages(context, args, staging_dir, restored_folder);
  // The backup on the drive is the copy to go back to; the decrypted one
  // (passwords, keys, every file in clear) must not outlive the run.
  std::optional<std::string> leftover;
  if (!staging_dir.empty()) {
    if (auto removed = remove_tree(staging_dir); !removed) leftover = leftover_staging_line(staging_dir, removed.error());
  }
  if (!summary) {
    if (leftover) failure_notes.push_back(std::move(*leftover));
    return summary.error();
  }
  if (leftover) summary->push_back(std::move(*leftover));
  context.dialogs.show_report(*summary, restored_folder);
  return Ok{};
}

}  // namespace korvo
