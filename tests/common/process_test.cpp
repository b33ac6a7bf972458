#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <sstream>
#include <string>

#include "common/process.hpp"
#include "common/text.hpp"

namespace korvo {
namespace {

TEST(Process, CapturesBothStreamsWithoutDeadlockOnLargeOutput) {
  Command command;
  // More than a pipe holds on each stream, written in alternation.
  command.argv = {"sh", "-c", "i=0; while [ $i -lt 3000 ]; do echo out$i; echo err$i >&2; i=$((i+1)); done; exit 3"};
  command.out = Stream::kCapture;
  command.err = Stream::kCapture;
  auto output = run_process(command);
  ASSERT_TRUE(output.ok());
  EXPECT_TRUE(output->status.exited);
  EXPECT_EQ(output->status.code, 3);
  EXPECT_EQ(split_lines(output->out).size(), 3000u);
  EXPECT_EQ(split_lines(output->err).back(), "err2999");
}

// More than a pipe holds goes in while as much comes out; a child that stops
// reading early neither blocks us nor ends us with SIGPIPE.
TEST(Process, InputReachesTheChildAndOneThatStopsReadingDoesNoHarm) {
  std::string input;
  for (int i = 0; input.size() < (1u << 20); ++i) input += "line " + std::to_string(i) + "\n";
  Command copy;
  copy.argv = {"cat"};
  copy.in = Stream::kPipe;
  copy.out = Stream::kCapture;
  auto copied = run_process(copy, input);
  ASSERT_TRUE(copied.ok());
  EXPECT_TRUE(copied->status.success());
  EXPECT_TRUE(copied->out == input) << copied->out.size() << " bytes came back";

  Command quitter;
  quitter.argv = {"sh", "-c", "head -c 10 >/dev/null; exit 5"};
  quitter.in = Stream::kPipe;
  auto stopped = run_process(quitter, input);
  ASSERT_TRUE(stopped.ok());
  EXPECT_EQ(stopped->status.code, 5);
  sigset_t pending, mask;
  sigpending(&pending);
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  EXPECT_FALSE(sigismember(&pending, SIGPIPE));
  EXPECT_FALSE(sigismember(&mask, SIGPIPE));

  Command no_pipe;
  no_pipe.argv = {"true"};
  EXPECT_FALSE(run_process(no_pipe, "input").ok());
}

TEST(Process, MissingProgramIsAnErrorNotACrash) {
  Command command;
  command.argv = {"korvo-no-such-program-anywhere"};
  const auto child = spawn_process(command);
  ASSERT_FALSE(child.ok());
  EXPECT_EQ(child.error().render(), "korvo-no-such-program-anywhere: No such file or directory");
  EXPECT_FALSE(run_succeeds(command));
}

// Ignored signals and the blocked mask survive exec; children must not inherit ours.
TEST(Process, ChildStartsWithDefaultSigpipeAndEmptyMask) {
  struct sigaction old_action;
  struct sigaction ignore{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old_action);
  sigset_t blocked, old_mask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  sigprocmask(SIG_BLOCK, &blocked, &old_mask);

  Command command;
  command.argv = {"grep", "-E", "^Sig(Ign|Blk)", "/proc/self/status"};
  command.out = Stream::kCapture;
  auto output = run_process(command);

  sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  sigaction(SIGPIPE, &old_action, nullptr);
  ASSERT_TRUE(output.ok());
  std::istringstream lines(output->out);
  std::string name, mask;
  while (lines >> name >> mask) {
    const unsigned long long bits = std::stoull(mask, nullptr, 16);
    if (name == "SigBlk:") {
      EXPECT_EQ(bits, 0u);
    } else if (name == "SigIgn:") {
      EXPECT_EQ(bits & (1ull << (SIGPIPE - 1)), 0u);
    }
  }
}

TEST(Process, ExtraEnvironmentReachesTheChildAndKillIsReported) {
  Command command;
  command.argv = {"sh", "-c", "printf %s \"$KORVO_PROBE\"; kill -9 $$"};
  command.out = Stream::kCapture;
  command.extra_env = {{"KORVO_PROBE", "noninteractive"}};
  auto output = run_process(command);
  ASSERT_TRUE(output.ok());
  EXPECT_EQ(output->out, "noninteractive");
  EXPECT_FALSE(output->status.success());
  EXPECT_EQ(output->status.signal, 9);
}

}  // namespace
}  // namespace korvo
