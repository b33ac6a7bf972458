// The built program ended by SIGINT, SIGTERM or SIGHUP (Ctrl-C, logging
// out, closing the terminal) at each moment that matters: nothing decrypted
// stays behind, the windows it started go with it, the terminal gets its
// echo back, and the status is 128 + the signal's number.
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>

#include <string>
#include <tuple>
#include <vector>

#include "restore_cli/end_to_end.hpp"

namespace korvo {
namespace {

using testing::ProgramRun;
using testing::PtySession;

enum class Moment { kPasswordPrompt, kDecryption, kCopy, kChecklist };

// A process that has ended, whether or not anyone has reaped it yet.
bool process_ended(const std::string& pid) {
  std::string stat;
  try {
    stat = testing::read_test_file("/proc/" + pid + "/stat");
  } catch (const std::exception&) {
    return true;
  }
  const std::size_t end_of_name = stat.rfind(')');
  return end_of_name == std::string::npos || stat.substr(end_of_name + 2, 1) == "Z";
}

class SignalEndsTheRun : public EndToEnd, public ::testing::WithParamInterface<std::tuple<Moment, int>> {
 protected:
  // Shell text for a window that signals the program and stays open until
  // stopped; it notes its process id first.
  std::string signal_and_stay(int signal) const {
    return "echo $$ > '" + scratch.sub("window.pid") + "'; kill -" + std::to_string(signal) +
           " $PPID; exec sleep 60";
  }

  // On a terminal: at the password prompt, or inside the copy of many
  // files.
  ExitStatus on_terminal(Moment moment, int signal) {
    if (moment == Moment::kCopy) {
      std::vector<std::pair<std::string, std::string>> files;
      for (int i = 0; i < 1000; ++i) files.emplace_back("Documents/" + std::to_string(i) + ".txt", "file");
      testing::BackupSpec plan;
      plan.entries = testing::entries_with_manifest(files);
      testing::write_backup(drive(), plan);
      // A named pipe where file 500 goes holds the copy: opening it for
      // writing waits for a reader that never comes.
      EXPECT_TRUE(create_directories(restored() + "/Documents").ok());
      EXPECT_EQ(::mkfifo((restored() + "/Documents/500.txt").c_str(), 0600), 0);
    } else {
      write_sample_backup();
    }
    PtySession session({testing::restore_binary(), drive()}, environment());
    EXPECT_TRUE(session.wait_for("Backup password: ")) << session.output();
    EXPECT_TRUE(session.wait_for_echo_off());
    if (moment == Moment::kCopy) {
      session.type(std::string(testing::kTestPassword) + "\r");
      EXPECT_TRUE(testing::wait_until([&] { return path_exists_nofollow(restored() + "/Documents/499.txt"); }))
          << session.output();
    }
    session.send(signal);
    const ExitStatus status = session.finish();
    EXPECT_NE(session.local_flags() & ECHO, 0u) << "echo left off";
    if (moment == Moment::kCopy) {
      const auto copied = list_directory(restored() + "/Documents");
      EXPECT_TRUE(copied.ok() && copied->size() < 1000) << "not stopped in the copy";
    }
    return status;
  }

  // With windows: while Backup.enc is being decrypted (a pipe that gives
  // one record and then waits), or while the app checklist is open.
  ExitStatus with_windows(Moment moment, int signal) {
    const std::string password = "printf '%s\\n' '" + std::string(testing::kTestPassword) + "'";
    if (moment == Moment::kChecklist) {
      testing::BackupSpec plan;
      plan.entries = testing::entries_with_manifest({{"Documents/a.txt", "a"}});
      plan.entries.push_back({"linux-install.json",
                              R"([{"app": "Paint", "linux_name": "GIMP", "manager": "apt", "packages": ["gimp"]}])"});
      testing::write_backup(drive(), plan);
      fakes.add("zenity", "case \"$2\" in --password) " + password + ";; --list) " + signal_and_stay(signal) +
                              ";; --progress) exec cat >/dev/null;; esac; exit 0");
    } else {
      write_sample_backup();
      const std::string sealed = scratch.sub("Backup.enc"), fifo = scratch.sub("fifo");
      EXPECT_EQ(::rename((drive() + "/Backup.enc").c_str(), sealed.c_str()), 0);
      testing::write_test_file(drive() + "/Backup.enc", "");  // found as a file, read as the pipe
      EXPECT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
      const std::size_t first_record = 13 + 12 + 4 + 65536 + 16;
      fakes.add("zenity",
                "case \"$2\" in --password) mv '" + fifo + "' '" + drive() + "/Backup.enc'; " + password +
                    ";; esac\n"
                    "case \"$*\" in *Decrypting*) exec 3>'" + drive() + "/Backup.enc'; head -c " +
                    std::to_string(first_record) + " '" + sealed + "' >&3\n"
                    "  i=0; while [ $i -lt 600 ]; do for f in '" + tmp() +
                    "'/korvo-restore-*/Backup.zip.tmp; do [ -s \"$f\" ] && i=600; done; i=$((i+1)); sleep 0.1; "
                    "done\n  " + signal_and_stay(signal) + ";; *--progress*) exec cat >/dev/null;; esac; exit 0");
    }
    const ProgramRun result = run({drive()});
    EXPECT_EQ(result.out + result.err, "");
    for (const auto& call : fakes.calls("zenity")) {
      EXPECT_TRUE(call.size() < 2 || call[1] != "--error") << "a failure report after the signal";
    }
    return result.status;
  }
};

TEST_P(SignalEndsTheRun, LikeAFailureWithTheSignalsStatus) {
  const auto [moment, signal] = GetParam();
  const bool terminal = moment == Moment::kPasswordPrompt || moment == Moment::kCopy;
  const ExitStatus status = terminal ? on_terminal(moment, signal) : with_windows(moment, signal);
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.code, 128 + signal);
  EXPECT_TRUE(staging_dirs().empty()) << ::testing::PrintToString(staging_dirs());
  if (!terminal) {
    const std::string window = testing::read_test_file(scratch.sub("window.pid"));
    EXPECT_TRUE(testing::wait_until([&] { return process_ended(window.substr(0, window.find('\n'))); }))
        << "the window outlived the run";
  }
}

std::string case_name(const ::testing::TestParamInfo<std::tuple<Moment, int>>& info) {
  static const char* const kMoments[] = {"PasswordPrompt", "Decryption", "Copy", "Checklist"};
  const int signal = std::get<1>(info.param);
  return std::string(kMoments[static_cast<int>(std::get<0>(info.param))]) +
         (signal == SIGINT ? "_INT" : signal == SIGTERM ? "_TERM" : "_HUP");
}

INSTANTIATE_TEST_SUITE_P(EachMomentAndSignal, SignalEndsTheRun,
                         ::testing::Combine(::testing::Values(Moment::kPasswordPrompt, Moment::kDecryption,
                                                              Moment::kCopy, Moment::kChecklist),
                                            ::testing::Values(SIGINT, SIGTERM, SIGHUP)),
                         case_name);

}  // namespace
}  // namespace korvo
