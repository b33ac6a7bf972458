#include "restore_cli/check.hpp"

#include <memory>

#include "common/disk_space.hpp"
#include "common/files.hpp"
#include "common/i18n.hpp"
#include "common/text.hpp"
#include "restore/manifest.hpp"
#include "restore_cli/discovery.hpp"
#include "restore_cli/sequence.hpp"
#include "staging/staging.hpp"

namespace korvo {
namespace {

constexpr std::size_t kListedFailures = 10;

// The backup opened and every file read; nothing is made on any disk.
Result<FileCheckOutcome> check_backup(const RunContext& context, const std::vector<std::string>& args) {
  Dialogs& dialogs = context.dialogs;
  dialogs.say(tr("Korvo restore\n"));
  auto folder = find_backup_folder(dialogs, args);
  if (!folder) return folder.error();
  const std::string typed = utf8_lossy(*folder);
  auto backup_path = canonical_path(typed);
  if (!backup_path) return Error(trf("Backup directory does not exist: {}", typed), backup_path.error());

  std::unique_ptr<BackupArchive> archive;
  Manifest manifest;
  KORVO_RETURN_IF_ERROR(try_passwords(dialogs, tr("Checking your backup…"), [&](std::string_view password) {
    manifest = Manifest{};
    const ManifestCheck read = [&manifest](const TextReader& text) { return read_manifest(text, manifest); };
    auto opened = open_backup(*backup_path, password, read);
    if (!opened) return Result<void>(opened.error());
    archive = std::move(*opened);
    return Result<void>();
  }));
  const auto progress = dialogs.start_progress(tr("Checking your backup…"), false);
  FileCheckOutcome outcome = check_files(*archive, manifest.files, *progress);
  progress->close();
  return outcome;
}

}  // namespace

std::vector<std::string> check_report_lines(const FileCheckOutcome& outcome) {
  if (outcome.failures.empty()) {
    return {trnf("The backup is complete: {} files, {}, each matches its checksum.",
                 "The backup is complete: {} files, {}, each matches its checksum.", outcome.files, outcome.files,
                 format_bytes(outcome.bytes))};
  }
  const std::size_t count = outcome.failures.size();
  std::vector<std::string> lines = {trnf("{} files would not come back from this backup:",
                                         "{} files would not come back from this backup:", count, count)};
  for (std::size_t i = 0; i < count && i < kListedFailures; ++i) lines.push_back("  ! " + outcome.failures[i]);
  return lines;
}

int run_check(const RunContext& context, const std::vector<std::string>& args) {
  auto outcome = check_backup(context, args);
  if (!outcome) {
    context.dialogs.show_failure({trf("Check failed: {}", outcome.error().render())});
    return 1;
  }
  const std::vector<std::string> lines = check_report_lines(*outcome);
  if (!outcome->failures.empty()) {
    context.dialogs.show_failure(lines);
    return 1;
  }
  context.dialogs.show_info(lines.front());
  return 0;
}

}  // namespace korvo
