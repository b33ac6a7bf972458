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

  // On a terminal, at the password prompt.
  ExitStatus on_terminal(int signal) {
    write_sample_backup();
    PtySession session({testing::restore_binary(), drive()}, environment());
    EXPECT_TRUE(session.wait_for("Backup password: ")) << session.output();
    EXPECT_TRUE(session.wait_for_echo_off());
    session.send(signal);
    const ExitStatus status = session.finish();
    EXPECT_NE(session.local_flags() & ECHO, 0u) << "echo left off";
    return status;
  }

  // With windows: while Backup.enc is being opened, inside the copy, or
  // while the app checklist is open.
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
    } else if (moment == Moment::kCopy) {
      // The restoring window's first line, the file's path, is more than a
      // pipe holds, and the window reads nothing: the copy cannot get past
      // its first file until the signal comes.
      const std::string content = "a";
      const std::string long_path = "C:\\Users\\alex\\" + std::string(70000, 'x') + ".txt";
      testing::BackupSpec plan;
      plan.entries = {{"manifest.json", testing::manifest_text({{long_path, "Documents/a.txt", content.size(),
                                                                  testing::sha256_hex(content)}})},
                      {"Documents/a.txt", content}};
      testing::write_backup(drive(), plan);
      fakes.add("zenity", "case \"$2\" in --password) " + password + ";; esac\n"
                              "case \"$*\" in *Restoring*) " + signal_and_stay(signal) +
                              ";; *--progress*) exec cat >/dev/null;; esac; exit 0");
    } else {
      write_sample_backup();
      const std::string fifo = scratch.sub("fifo");
      EXPECT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
      // Found as a file, then opened as a pipe nobody writes to: the run
      // stays in decryption until the signal comes.
      fakes.add("zenity", "case \"$2\" in --password) mv '" + fifo + "' '" + drive() + "/Backup.enc'; " + password +
                              ";; esac\n"
                              "case \"$*\" in *Decrypting*) " + signal_and_stay(signal) +
                              ";; *--progress*) exec cat >/dev/null;; esac; exit 0");
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
  const bool terminal = moment == Moment::kPasswordPrompt;
  const ExitStatus status = terminal ? on_terminal(signal) : with_windows(moment, signal);
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
