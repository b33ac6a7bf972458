#include "restore_cli/sequence.hpp"

#include <optional>

#include <fmt/format.h>

#include "apps/install_list.hpp"
#include "browser/bookmarks.hpp"
#include "browser/firefox.hpp"
#include "common/disk_space.hpp"
#include "common/files.hpp"
#include "common/held_folder.hpp"
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
// Enough for a typo or two; a script sending one wrong password cannot loop.
constexpr int kPasswordTries = 5;
constexpr std::string_view kWrongPasswordNotice = N_("That password did not open the backup. Please try again.");

void append(std::vector<std::string>& lines, std::vector<std::string> more) {
  lines.insert(lines.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
}

// The room first: nothing reaches the desktop unless all of it fits.
Result<FileRestoreOutcome> restore_staged_files(const RunContext& context, BackupArchive& archive,
                                                const Manifest& manifest, std::string& restored_folder,
                                                Progress& progress) {
  auto desktop = find_desktop_dir(context.home);
  if (!desktop) return desktop.error();
  restored_folder = join_path(*desktop, "Restored");
  KORVO_RETURN_IF_ERROR(check_room(*desktop, room_needed(archive, manifest.files, restored_folder),
                                   N_("Free some space there and run Korvo again.")));
  return restore_files(archive, manifest.files, restored_folder, progress);
}

}  // namespace

std::vector<std::string> file_report_lines(const FileRestoreOutcome& files) {
  const std::vector<std::string>& failures = files.failures;
  // The English sentences keep one form for every count; other languages
  // get their plural forms.
  // TRANSLATORS: "Restored" is the folder's name on disk; keep it as it is.
  std::vector<std::string> lines = {trnf("{} files are back in the Restored folder on your desktop.",
                                         "{} files are back in the Restored folder on your desktop.",
                                         files.restored, files.restored)};
  if (files.restored > 0) lines.push_back(copy_summary_text(files.copied));
  if (!failures.empty()) {
    const std::size_t not_restored = failures.size() + files.not_tried;
    lines.push_back(trnf("{} files could not be restored:", "{} files could not be restored:", not_restored,
                         not_restored));
    for (std::size_t i = 0; i < failures.size() && i < kListedFailures; ++i) lines.push_back("  ! " + failures[i]);
  }
  if (files.disk_full) {
    lines.push_back(trnf(
        "The disk of your desktop is full: the other {} files were not copied. Free some space and run Korvo again.",
        "The disk of your desktop is full: the other {} files were not copied. Free some space and run Korvo again.",
        files.not_tried, files.not_tried));
  }
  return lines;
}

Result<void> try_passwords(Dialogs& dialogs, std::string_view progress_text,
                           const std::function<Result<void>(std::string_view password)>& attempt) {
  for (int tries = 1;; ++tries) {
    auto password = dialogs.ask_password();
    if (!password) return password.error();
    const auto progress = dialogs.start_progress(progress_text, true);
    auto opened = attempt(password->view());
    progress->close();
    password->clear();  // not needed past decryption
    if (opened) return Ok{};
    if (opened.error().kind() == ErrorKind::kWrongKey && tries < kPasswordTries) {
      dialogs.show_notice(tr(kWrongPasswordNotice));
      continue;
    }
    // A full disk or an unusable temporary folder says nothing of the password.
    if (opened.error().is_disk_problem() || opened.error().kind() == ErrorKind::kTempFolder) return opened.error();
    return Error(tr("Decryption failed — wrong password, or the backup is damaged"), opened.error());
  }
}

std::string leftover_staging_line(const std::string& staging_dir, const Error& error) {
  return trf("The decrypted copy of your backup could not be removed — please delete {} yourself: {}", staging_dir,
             error.render());
}

namespace {

// Every stage up to the report; `staging_dirs` gets each staging directory made.
Result<std::vector<std::string>> run_stages(const RunContext& context, const std::vector<std::string>& args,
                                            std::vector<HeldFolder>& staging_dirs, std::string& restored_folder) {
  Dialogs& dialogs = context.dialogs;
  RunReport unreported;
  RunReport& report = context.report ? *context.report : unreported;
  dialogs.say(tr("Korvo restore\n"));

  auto backup_folder = find_backup_folder(dialogs, args);
  if (!backup_folder) return backup_folder.error();

  StagedBackup staged;
  Manifest manifest;
  KORVO_RETURN_IF_ERROR(try_passwords(dialogs, tr("Decrypting your backup…"), [&](std::string_view password) {
    std::optional<HeldFolder> attempt_dir;
    manifest = Manifest{};
    const ManifestCheck read = [&manifest](const TextReader& text) { return read_manifest(text, manifest); };
    auto opened = stage_backup(context.temp_dir, *backup_folder, password, attempt_dir, read);
    // Each try makes a staging folder of its own; all go at the end.
    if (attempt_dir) staging_dirs.push_back(std::move(*attempt_dir));
    if (!opened) return Result<void>(opened.error());
    staged = std::move(*opened);
    return Result<void>();
  }));
  const std::string& staging_root = staged.root;
  if (context.check_staged) KORVO_RETURN_IF_ERROR(context.check_staged(staging_root));

  FileRestoreOutcome files;
  {
    const auto progress = dialogs.start_progress(tr("Restoring your files…"), false);
    auto outcome = restore_staged_files(context, *staged.archive, manifest, restored_folder, *progress);
    progress->close();
    if (!outcome) {
      if (outcome.error().kind() == ErrorKind::kNoSpace) return outcome.error();
      return Error(tr("Restore failed"), outcome.error());
    }
    files = std::move(*outcome);
  }
  report.files = files;
  staged.archive.reset();  // Backup.enc is not read past the copy
  // Past the copy, HOME is known to be set and valid.
  const std::string home = *context.home;

  std::vector<std::string> summary = file_report_lines(files);
  append(summary, offer_apps(staging_root, dialogs, &report.apps));

  const std::string browser_data = join_path(staging_root, "BrowserData");
  std::vector<std::string> browser_notes = migrate_bookmarks(staging_root, restored_folder, &report.bookmarks);
  append(browser_notes,
         migrate_firefox(join_path(browser_data, "Firefox"), home, dialogs, &report.firefox.emplace()));
  append(summary, std::move(browser_notes));

  append(summary, migrate_wifi(staging_root, &report.wifi));
  append(summary, apply_look_and_feel(join_path(staging_root, "Settings"), home, &report.look));
  return summary;
}

}  // namespace

Result<void> run_restore(const RunContext& context, const std::vector<std::string>& args,
                         std::vector<std::string>& failure_notes) {
  std::vector<HeldFolder> staging_dirs;
  std::string restored_folder;
  auto summary = run_stages(context, args, staging_dirs, restored_folder);
  // The backup on the drive is the copy to go back to; the decrypted one
  // (passwords, keys, every file in clear) must not outlive the run.
  std::optional<std::string> leftover;
  for (HeldFolder& staging_dir : staging_dirs) {
    const std::string path = staging_dir.path();
    if (auto removed = staging_dir.remove(); !removed && !leftover) {
      leftover = leftover_staging_line(path, removed.error());
    }
  }
  if (context.report) context.report->staging_removed = !leftover;
  if (!summary) {
    if (leftover) failure_notes.push_back(std::move(*leftover));
    return summary.error();
  }
  if (leftover) summary->push_back(std::move(*leftover));
  if (context.report) context.report->lines = *summary;
  context.dialogs.show_report(*summary, restored_folder);
  return Ok{};
}

}  // namespace korvo
