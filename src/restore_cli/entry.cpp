#include "restore_cli/entry.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>

#include "apps/install_list.hpp"
#include "apps/installer.hpp"
#include "apps/installer_protocol.hpp"
#include "common/process.hpp"
#include "common/signal_exit.hpp"
#include "common/text.hpp"
#include "dialogs/dialogs.hpp"
#include "dialogs/unattended.hpp"
#include "common/i18n.hpp"
#include "report/run_report.hpp"
#include "restore_cli/check.hpp"
#include "restore_cli/language.hpp"
#include "restore_cli/options.hpp"
#include "restore_cli/run_context.hpp"
#include "restore_cli/sequence.hpp"

namespace korvo {
namespace {

constexpr std::string_view kGuiFlag = "--gui";
constexpr std::string_view kNoGuiFlag = "--no-gui";
constexpr std::string_view kCheckFlag = "--check";
constexpr std::string_view kHelpFlag = "--help";
constexpr int kExitFailure = 1;
constexpr int kExitRefused = 2;
// Only an unattended run ends at the first wrong password; a person gets tries.
constexpr int kExitWrongPassword = 3;
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
constexpr std::string_view kUnattendedHelpText = N_(
    "\n"
    "For many desktops at once (no window, no question):\n"
    "  --unattended            ask nothing: every answer comes from the options below\n"
    "  --password-stdin        read the password from one line of standard input\n"
    "  --password-file FILE    read it from FILE, which only its owner may read\n"
    "  --apps none|all|NAME,…  the apps to note as requested (default: none)\n"
    "  --firefox keep|replace  keep or replace Firefox data already here (default: keep)\n"
    "  --report-json FILE      write a JSON report of the run to FILE\n");

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

void print_error(std::string_view text) {
  const std::string line = terminal_safe(text) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

int exit_status(RunEnd end) {
  switch (end) {
    case RunEnd::kDone:
      return 0;
    case RunEnd::kRefused:
      return kExitRefused;
    case RunEnd::kWrongPassword:
      return kExitWrongPassword;
    case RunEnd::kFailed:
      break;
  }
  return kExitFailure;
}

// The dialogs of an unattended run, or the refusal to start one.
Result<std::unique_ptr<UnattendedDialogs>> unattended_dialogs(const RunOptions& options) {
  auto password = options.password_stdin ? read_password_line(STDIN_FILENO) : read_password_file(*options.password_file);
  if (!password) return Error(password.error().render(), ErrorKind::kRefused);
  return std::make_unique<UnattendedDialogs>(std::move(*password), options.answers);
}

// A restore run from start to the last message, with its report; the exit status.
int restore_and_report(const std::vector<std::string>& args) {
  RunOptions options = parse_run_options(args);
  RunReport report;
  RunEnd end = RunEnd::kDone;
  std::optional<Error> failure = options.refusal;

  std::unique_ptr<Dialogs> dialogs;
  UnattendedDialogs* unattended = nullptr;
  if (!failure && options.unattended) {
    auto made = unattended_dialogs(options);
    if (made) {
      unattended = made->get();
      dialogs = std::move(*made);
    } else {
      failure = made.error();
    }
  }

  if (failure) {
    end = RunEnd::kRefused;
    report.lines = {refusal_text(*failure)};
    print_error(report.lines.front());
  } else {
    if (!dialogs) {
      const bool gui =
          decide_gui(options.rest, ::isatty(STDIN_FILENO) == 1, [] { return command_exists("zenity"); });
      dialogs = gui ? make_zenity_dialogs() : make_terminal_dialogs();
    }
    RunContext context = run_context_from_environment(*dialogs);
    if (contains(options.rest, kCheckFlag)) return run_check(context, options.rest);
    context.report = &report;
    if (unattended) {
      context.check_staged = [unattended](const std::string& staging_root) {
        std::vector<std::string> offered;
        for (const InstallItem& item : offerable_apps(staging_root)) offered.push_back(item.linux_name);
        return unattended->check_offered(offered);
      };
    }
    std::vector<std::string> paragraphs;
    const Result<void> outcome = run_restore(context, options.rest, paragraphs);
    if (unattended) report.apps_asked_ahead = unattended->requested_apps();
    if (!outcome.ok()) {
      failure = outcome.error();
      const ErrorKind kind = outcome.error().kind();
      end = kind == ErrorKind::kRefused                  ? RunEnd::kRefused
            : unattended && kind == ErrorKind::kWrongKey ? RunEnd::kWrongPassword
                                                         : RunEnd::kFailed;
      paragraphs.insert(paragraphs.begin(),
                        end == RunEnd::kRefused ? refusal_text(*failure) : failure_report_text(*failure));
      dialogs->show_failure(paragraphs);
      report.lines = paragraphs;
    }
  }

  int status = exit_status(end);
  if (options.report_json) {
    if (auto written = write_report(*options.report_json, report_json(report, end, failure)); !written) {
      print_error(Error(trf("Could not write the report {}", *options.report_json), written.error()).render());
      if (status == 0) status = kExitFailure;
    }
  }
  return status;
}

}  // namespace

bool decide_gui(const std::vector<std::string>& args, bool stdin_is_terminal,
                const std::function<bool()>& zenity_installed) {
  if (!contains(args, kGuiFlag) && stdin_is_terminal) return false;
  if (contains(args, kNoGuiFlag)) return false;
  return zenity_installed();
}

std::string failure_report_text(const Error& error) { return trf("Restore failed: {}", error.render()); }

std::string refusal_text(const Error& error) { return trf("Restore refused: {}", error.render()); }

int run_entry(int argc, char** argv) {
  reopen_closed_standard_descriptors();
  // A closed progress window must turn writes into errors, not kill us.
  ::signal(SIGPIPE, SIG_IGN);

  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(utf8_lossy(argv[i]));

  if (!args.empty() && args.front() == kInstallerFlag) {
    return installer_main(std::vector<std::string>(args.begin() + 1, args.end()));
  }

  end_run_on_signals();
  // The installer copy writes only machine-read lines: it stays in "C".
  std::optional<HeldFolder> catalogs = use_desktop_language(temp_dir_from_environment());
  int status = 0;
  if (contains(args, kHelpFlag)) {
    const std::string help = tr(kHelpText) + tr(kUnattendedHelpText);
    std::fwrite(help.data(), 1, help.size(), stdout);
  } else {
    status = restore_and_report(args);
  }
  if (catalogs) (void)catalogs->remove();
  return status;
}

}  // namespace korvo
