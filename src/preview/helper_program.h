// Programs of our own that a preview runs as child processes, with limits on their time and
// memory: a hostile file can make a decoding library take any time or memory, or crash it, and
// none of that may reach the program the user is looking at.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/result_codes.h"

namespace rexmoor {

// The program `name`: $envVariable when set (and runnable), else beside the running program,
// else in the installed libexec folder, else buildPath (the build tree's); empty when none is
// there.
std::string HelperProgram(const char* name, const char* envVariable, const char* buildPath);

struct HelperRun {
  const char* name = "";         // the program
  const char* envVariable = "";  // where a test may name another
  const char* buildPath = "";    // the build tree's
  std::string what;  // what the program makes, for the messages: "The PDF page", "The picture"
  int timeLimitMs = 6000;
  std::uint64_t memoryBytes = 512ull << 20;
  std::function<bool()> cancelled;
};

// Runs the program with the arguments. kSuccess when the program
// exited 0, kCancelled on a cancel, else kErrInvalidParameter; failure then says in words which
// limit it hit or that the program is missing (empty when the program merely refused the file).
// The programs exit 3 when they ran out of the memory they may have.
Result RunHelperProgram(const HelperRun& run, const std::vector<std::string>& arguments, std::string& failure);

}  // namespace rexmoor
