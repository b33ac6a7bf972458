#include "restore_cli/entry.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>

#include "apps/installer.hpp"
#include "apps/installer_protocol.hpp"
#include "common/process.hpp"
#include "common/text.hpp"
#include "dialogs/dialogs.hpp"
#include "common/i18n.hpp"
#include "restore_cli/check.hpp"
#include "restore_cli/language.hpp"
#include "restore_cli/run_context.hpp"
#include "restore_cli/sequence.hpp"

namespace korvo {
namespace {

constexpr std::string_view kGuiFlag = "--gui";
constexpr std::string_view kNoGuiFlag = "--no-gui";
constexpr std::string_view kCheckFlag = "--check";
constexpr std::string_view kHelpFlag = "--help";
constexpr int kExitFailure = 1;
constexpr std::string_view kHelpText = N_(
    "Usage: korvo-restore [--gui | --no-gui] [BACKUP_FOLDER]\n"
    "       korvo-restore --check [--gui | --no-gui] [BACKUP_FOLDER]\n"
    "\n"
    "Puts a Korvo backup (the folder with Backup.enc and backup.salt) back on this computer: your files go to the "
    "folder Restored on your desktop, then come your apps, bookmarks, Wi-Fi networks and settings.\n"
    "\n"
    "  --check    read the whole backup and check every file against its checksum, writing nothing; run it on the "
    "old computer before you wipe it\n"
    "  --gui      talk through windows, even on a terminal\n"
    "  --no-gui   talk through the terminal\n"
    "  --help     show this text\n");

// A child started with a closed descriptor 0-2 would hand our next open file
// to it as its standard stream; /dev/null keeps those slots taken.
void reopen_closed_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      const int opened = ::open("/dev/null", O_RDWR);
      if (opened >= 0 && opened != fd) {
        ::dup2(opened, fd);
        ::close(opened);
      }
    }
  }
}

bool contains(const std::vector<std::string>& args, std::string_view flag) {
  return std::find(args.begin(), args.end(), flag) != args.end();
}

}  // namespace

bool decide_gui(const std::vector<std::string>& args, bool stdin_is_terminal,
                const std::function<bool()>& zenity_installed) {
  if (!contains(args, kGuiFlag) && stdin_is_terminal) return false;
  if (contains(args, kNoGuiFlag)) return false;
  return zenity_installed();
}

std::string failure_report_text(const Error& error) { return trf("Restore failed: {}", error.render()); }

int run_entry(int argc, char** argv) {
  reopen_closed_standard_descriptors();
  // A closed progress window must turn writes into errors, not kill us.
  ::signal(SIGPIPE, SIG_IGN);

  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(utf8_lossy(argv[i]));

  if (!args.empty() && args.front() == kInstallerFlag) {
    return installer_main(std::vector<std::string>(args.begin() + 1, args.end()));
  }

  // The installer copy writes only machine-read lines: it stays in "C".
  use_desktop_language(temp_dir_from_environment());
  if (contains(args, kHelpFlag)) {
    const std::string help = tr(kHelpText);
    std::fwrite(help.data(), 1, help.size(), stdout);
    return 0;
  }
  const bool gui = decide_gui(args, ::isatty(STDIN_FILENO) == 1, [] { return command_exists("zenity"); });
  const std::unique_ptr<Dialogs> dialogs = gui ? make_zenity_dialogs() : make_terminal_dialogs();
  const RunContext context = run_context_from_environment(*dialogs);
  if (contains(args, kCheckFlag)) return run_check(context, args);
  std::vector<std::string> paragraphs;
  const Result<void> outcome = run_restore(context, args, paragraphs);
  if (outcome.ok()) return 0;
  paragraphs.insert(paragraphs.begin(), failure_report_text(outcome.error()));
  dialogs->show_failure(paragraphs);
  return kExitFailure;
}

}  // namespace korvo
