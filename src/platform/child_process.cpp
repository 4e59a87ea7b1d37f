#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace rexmoor {

namespace {

using Clock = std::chrono::steady_clock;

// A descriptor closed on destruction.
struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int value) : fd(value) {}
  ~Fd() { Reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  void Reset(int value = -1) {
    if (fd >= 0) close(fd);
    fd = value;
  }
};

// Keeps a close-on-exec descriptor clear of 0, 1 and 2, so that setting up the child's standard
// descriptors cannot overwrite it.
bool AboveStandard(Fd& fd) {
  if (fd.fd > 2) return true;
  const int moved = fcntl(fd.fd, F_DUPFD_CLOEXEC, 3);
  if (moved < 0) return false;
  fd.Reset(moved);
  return true;
}

bool MakePipe(Fd& readEnd, Fd& writeEnd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  readEnd.Reset(fds[0]);
  writeEnd.Reset(fds[1]);
  return AboveStandard(readEnd) && AboveStandard(writeEnd);
}

bool IsExecutableFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The program's path, searched in PATH here in the parent: execvp may allocate, and nothing
// between fork and exec may.
std::string FindProgram(const std::string& name) {
  if (name.empty()) return {};
  if (name.find('/') != std::string::npos) return IsExecutableFile(name) ? name : std::string();
  const char* path = std::getenv("PATH");
  const std::string dirs = (path != nullptr && *path != '\0') ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
    const std::string candidate = dir + "/" + name;
    if (IsExecutableFile(candidate)) return candidate;
    start = end + 1;
  }
  return {};
}

// Everything from here to execve runs in the forked child: only async-signal-safe calls, no
// allocation, no locks. Failures are reported through the status pipe as an errno value.
[[noreturn]] void ExecChild(const char* program, char* const* argv, int devNull, int outWrite, int statusWrite,
                            const rlimit& memory, const rlimit& cpu) {
  int error = 0;
  setpgid(0, 0);
  if (dup2(devNull, STDIN_FILENO) < 0 || dup2(outWrite, STDOUT_FILENO) < 0 || dup2(devNull, STDERR_FILENO) < 0)
    error = errno;
  // Signals the caller blocks or ignores would stay so in the program.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction byDefault;
  std::memset(&byDefault, 0, sizeof byDefault);
  byDefault.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig)
    if (sig != SIGKILL && sig != SIGSTOP) sigaction(sig, &byDefault, nullptr);
  const rlimit noCore{0, 0};
  if (error == 0 && (setrlimit(RLIMIT_AS, &memory) != 0 || setrlimit(RLIMIT_CPU, &cpu) != 0)) error = errno;
  setrlimit(RLIMIT_CORE, &noCore);
  // Descriptors the caller opened without close-on-exec must not reach the program.
#ifdef SYS_close_range
  if (syscall(SYS_close_range, 3u, ~0u, 4u /* CLOSE_RANGE_CLOEXEC */) != 0)
#endif
  {
    rlimit files;
    const rlim_t top = getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 65536 ? files.rlim_cur : 65536;
    for (rlim_t fd = 3; fd < top; ++fd)
      if (static_cast<int>(fd) != statusWrite) fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
  }
  if (error == 0) {
    execve(program, argv, environ);
    error = errno;
  }
  ssize_t ignored = write(statusWrite, &error, sizeof error);
  (void)ignored;
  _exit(127);
}

// Sends SIGKILL to the child's process group (and to the child itself, should it not have
// reached its own group yet). Only ever called while the child is unreaped, so its pid cannot
// name anybody else's process.
void KillGroup(pid_t pid) {
  kill(-pid, SIGKILL);
  kill(pid, SIGKILL);
}

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

enum class ChildState { Exited, Gone, Running };

// Waits, up to the deadline, until the child has exited, without reaping it: its pid stays
// reserved, so its group may still be signalled. Gone: somebody else reaped it already (a
// caller that ignores SIGCHLD), and its pid may be anybody's now.
ChildState WaitForExit(pid_t pid, Clock::time_point deadline, const std::function<bool()>& cancelled) {
  for (;;) {
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    const int rc = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    if (rc == 0 && info.si_pid == pid) return ChildState::Exited;
    if (rc != 0 && errno != EINTR) return ChildState::Gone;
    if (MillisecondsLeft(deadline) == 0 || (cancelled && cancelled())) return ChildState::Running;
    usleep(5000);
  }
}

}  // namespace

Result RunChild(const std::vector<std::string>& argv, const ChildLimits& limits, ChildResult& result) {
  result = ChildResult{};
  if (argv.empty()) return kErrInvalidParameter;
  const std::string program = FindProgram(argv[0]);
  if (program.empty()) return kErrFileNotFound;

  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  Fd devNull(open("/dev/null", O_RDWR | O_CLOEXEC));
  Fd outRead, outWrite, statusRead, statusWrite;
  if (devNull.fd < 0 || !AboveStandard(devNull) || !MakePipe(outRead, outWrite) || !MakePipe(statusRead, statusWrite))
    return ResultFromErrno(errno);

  const rlim_t memory = static_cast<rlim_t>(limits.memoryBytes);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limits.timeLimit).count() + 1;
  const rlim_t cpuSeconds = static_cast<rlim_t>(seconds > 0 ? seconds : 1);
  const rlimit memoryLimit{memory, memory};
  const rlimit cpuLimit{cpuSeconds, cpuSeconds + 1};

  const Clock::time_point deadline = Clock::now() + limits.timeLimit;
  const pid_t pid = fork();
  if (pid < 0) return ResultFromErrno(errno);
  if (pid == 0) ExecChild(program.c_str(), args.data(), devNull.fd, outWrite.fd, statusWrite.fd, memoryLimit, cpuLimit);

  setpgid(pid, pid);  // also done by the child; whichever comes first
  outWrite.Reset();
  statusWrite.Reset();

  // The status pipe closes at exec; an errno value before that means the program never ran.
  int childError = 0;
  ssize_t got;
  do got = read(statusRead.fd, &childError, sizeof childError);
  while (got < 0 && errno == EINTR);
  if (got == static_cast<ssize_t>(sizeof childError)) {
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return childError == ENOENT ? kErrFileNotFound : ResultFromErrno(childError);
  }

  char buffer[65536];
  // The cancel question is put at least this often while the child runs.
  constexpr int kCancelPollMs = 20;
  for (;;) {
    const int wait = MillisecondsLeft(deadline);
    if (wait == 0) {
      result.timedOut = true;
      break;
    }
    if (limits.cancelled && limits.cancelled()) {
      result.cancelled = true;
      break;
    }
    pollfd poller{outRead.fd, POLLIN, 0};
    const int ready = poll(&poller, 1, limits.cancelled ? std::min(wait, kCancelPollMs) : wait);
    if (ready < 0) {
      if (errno == EINTR) continue;
      result.timedOut = true;  // cannot wait for it any longer: end it
      break;
    }
    if (ready == 0) continue;  // the deadline check above ends the loop
    const ssize_t n = read(outRead.fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      break;
    }
    if (n == 0) break;  // end of output
    const std::size_t room = limits.outputBytes - result.output.size();
    if (static_cast<std::size_t>(n) > room) {
      result.output.append(buffer, room);
      result.outputTruncated = true;
      break;
    }
    result.output.append(buffer, static_cast<std::size_t>(n));
  }
  outRead.Reset();

  ChildState state = ChildState::Running;
  if (!result.timedOut && !result.outputTruncated && !result.cancelled) {
    state = WaitForExit(pid, deadline, limits.cancelled);
    if (state == ChildState::Running) {
      if (limits.cancelled && limits.cancelled()) result.cancelled = true;
      else result.timedOut = true;
    }
  }
  // Also takes down whatever an exited child left running in its group.
  if (state != ChildState::Gone) KillGroup(pid);

  int status = 0;
  pid_t reaped;
  do reaped = waitpid(pid, &status, 0);
  while (reaped < 0 && errno == EINTR);
  if (reaped == pid) {
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.termSignal = WTERMSIG(status);
  }
  return kSuccess;
}

}  // namespace rexmoor
