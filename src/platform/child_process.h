// Runs a helper program (a document converter) as a child process with hard limits: no shell,
// stdin from /dev/null, stdout captured up to a cap, stderr discarded, a wall-clock limit after
// which the child's whole process group is killed, and address-space and CPU limits set in the
// child before it starts. Safe to call from any thread of a multi-threaded program.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/result_codes.h"

namespace rexmoor {

struct ChildLimits {
  std::chrono::milliseconds timeLimit{6000};
  std::uint64_t memoryBytes = 512ull << 20;  // RLIMIT_AS
  std::size_t outputBytes = 1 << 20;         // captured stdout; the child is killed past it
  // Asked every few milliseconds while the child runs; true ends it at once (the user's cancel).
  std::function<bool()> cancelled;
};

struct ChildResult {
  int exitCode = -1;    // when the child exited normally
  int termSignal = 0;   // when a signal ended it (SIGKILL after a time-out or an output cap)
  bool timedOut = false;
  bool cancelled = false;
  bool outputTruncated = false;
  std::string output;   // stdout as written (bytes, not checked for any encoding)

  bool ExitedWith(int code) const { return termSignal == 0 && exitCode == code; }
};

// Runs argv[0] (looked up in PATH unless it holds a '/') with the arguments argv[1..]. Returns
// kSuccess once the child has run and been reaped, whatever its exit status; kErrFileNotFound
// when there is no such program, another code when it could not be started at all (then
// result holds no output).
Result RunChild(const std::vector<std::string>& argv, const ChildLimits& limits, ChildResult& result);

}  // namespace rexmoor
