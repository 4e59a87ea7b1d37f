#include "platform/child_process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>

namespace rexmoor {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

ChildResult RunOk(const std::vector<std::string>& argv, ChildLimits limits = {}) {
  ChildResult result;
  EXPECT_EQ(RunChild(argv, limits, result), kSuccess) << argv[0];
  return result;
}

// Gone, or a zombie waiting for its new parent to reap it: either way no longer running.
bool NotRunning(const std::string& pid) {
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  const std::size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

TEST(ChildProcess, OutputAndExitStatusComeBack) {
  ChildResult result = RunOk({"sh", "-c", "printf 'two\\nlines'; echo noise >&2; exit 3"});
  EXPECT_EQ(result.output, "two\nlines");  // stderr is not mixed in
  EXPECT_TRUE(result.ExitedWith(3));
  EXPECT_FALSE(result.timedOut);
  EXPECT_FALSE(result.outputTruncated);

  // Arguments reach the program as they are: no shell in between.
  result = RunOk({"printf", "%s|", "a b", "$HOME", "*"});
  EXPECT_EQ(result.output, "a b|$HOME|*|");
  EXPECT_TRUE(result.ExitedWith(0));

  // Standard input is /dev/null: a program reading it ends at once.
  const auto start = steady_clock::now();
  result = RunOk({"cat"});
  EXPECT_EQ(result.output, "");
  EXPECT_TRUE(result.ExitedWith(0));
  EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(2));

  // A child ended by a signal of its own.
  result = RunOk({"sh", "-c", "kill -SEGV $$"});
  EXPECT_EQ(result.termSignal, SIGSEGV);
  EXPECT_FALSE(result.ExitedWith(0));
}

TEST(ChildProcess, MissingProgramsFailWithoutRunning) {
  ChildResult result;
  EXPECT_EQ(RunChild({"rexmoor-no-such-program"}, {}, result), kErrFileNotFound);
  EXPECT_EQ(RunChild({"/nonexistent/dir/tool"}, {}, result), kErrFileNotFound);
  EXPECT_EQ(RunChild({}, {}, result), kErrInvalidParameter);
  // A file that is there but cannot be run.
  EXPECT_NE(RunChild({"/etc/passwd"}, {}, result), kSuccess);
  EXPECT_EQ(result.output, "");
}

TEST(ChildProcess, TimeLimitKillsTheWholeProcessGroup) {
  ChildLimits limits;
  limits.timeLimit = milliseconds(1000);
  auto start = steady_clock::now();
  ChildResult result = RunOk({"sleep", "30"}, limits);
  auto took = steady_clock::now() - start;
  EXPECT_TRUE(result.timedOut);
  EXPECT_EQ(result.termSignal, SIGKILL);
  EXPECT_GE(took, milliseconds(900));
  EXPECT_LT(took, std::chrono::seconds(4));

  // A grandchild in the background, holding the output open, goes with it.
  start = steady_clock::now();
  result = RunOk({"sh", "-c", "sleep 30 & echo $!; wait"}, limits);
  took = steady_clock::now() - start;
  EXPECT_TRUE(result.timedOut);
  EXPECT_LT(took, std::chrono::seconds(4));
  std::string grandchild = result.output;
  while (!grandchild.empty() && grandchild.back() == '\n') grandchild.pop_back();
  ASSERT_FALSE(grandchild.empty());
  for (int i = 0; i < 100 && !NotRunning(grandchild); ++i) usleep(10000);
  EXPECT_TRUE(NotRunning(grandchild)) << "pid " << grandchild;

  // A child that closes its output and keeps running is timed out too.
  start = steady_clock::now();
  result = RunOk({"sh", "-c", "exec >/dev/null; sleep 30"}, limits);
  EXPECT_TRUE(result.timedOut);
  EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(4));
}

TEST(ChildProcess, OutputIsCappedAndTheWriterStopped) {
  ChildLimits limits;
  limits.outputBytes = 100000;
  const auto start = steady_clock::now();
  const ChildResult result = RunOk({"yes"}, limits);
  EXPECT_EQ(result.output.size(), 100000u);
  EXPECT_TRUE(result.outputTruncated);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.output.substr(0, 4), "y\ny\n");
  EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(3));
  // Output that just fits is not truncated.
  limits.outputBytes = 6;
  EXPECT_FALSE(RunOk({"printf", "123456"}, limits).outputTruncated);
}

TEST(ChildProcess, ResourceLimitsAreInForceInTheChild) {
  ChildLimits limits;
  limits.memoryBytes = 256ull << 20;
  limits.timeLimit = milliseconds(3000);
  // ulimit prints kibibytes and seconds.
  EXPECT_EQ(RunOk({"sh", "-c", "ulimit -v"}, limits).output, "262144\n");
  EXPECT_EQ(RunOk({"sh", "-c", "ulimit -t"}, limits).output, "4\n");
  EXPECT_EQ(RunOk({"sh", "-c", "ulimit -c"}, limits).output, "0\n");
  // Its own process group, apart from ours.
  const std::string group = RunOk({"sh", "-c", "cut -d' ' -f5 /proc/$$/stat"}).output;
  EXPECT_NE(std::stol(group), static_cast<long>(getpgrp()));
}

TEST(ChildProcess, DescriptorsOfTheCallerDoNotLeakIntoTheChild) {
  const int fd = open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
  ASSERT_GE(fd, 3);
  const ChildResult result = RunOk({"sh", "-c", "test -e /proc/$$/fd/" + std::to_string(fd) + " && echo open || echo closed"});
  close(fd);
  EXPECT_EQ(result.output, "closed\n");
}

}  // namespace
}  // namespace rexmoor
