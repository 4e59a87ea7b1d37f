#include "preview/helper_program.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "platform/child_process.h"

namespace rexmoor {

namespace {

bool IsProgram(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string OwnFolder() {
  char buffer[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  std::string path(buffer, static_cast<std::size_t>(n));
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

std::string HelperProgram(const char* name, const char* envVariable, const char* buildPath) {
  if (const char* set = std::getenv(envVariable); set != nullptr && *set != '\0') return IsProgram(set) ? set : "";
  const std::string own = OwnFolder();
  std::vector<std::string> places;
  if (!own.empty()) {
    places.push_back(own + "/" + name);
    places.push_back(own + "/../" REXMOOR_LIBEXEC_SUBDIR "/" + name);
  }
  if (buildPath != nullptr && *buildPath != '\0') places.emplace_back(buildPath);
  for (const std::string& place : places)
    if (IsProgram(place)) return place;
  return {};
}

Result RunHelperProgram(const HelperRun& run, const std::vector<std::string>& arguments, std::string& failure) {
  failure.clear();
  const std::string program = run.name;
  std::vector<std::string> argv{HelperProgram(run.name, run.envVariable, run.buildPath)};
  if (argv[0].empty()) {
    failure = run.what + " cannot be drawn: the program " + program + " is missing.";
    return kErrInvalidParameter;
  }
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  ChildLimits limits;
  limits.timeLimit = std::chrono::milliseconds(run.timeLimitMs);
  limits.memoryBytes = run.memoryBytes;
  limits.outputBytes = 4096;
  limits.cancelled = run.cancelled;
  ChildResult result;
  if (RunChild(argv, limits, result) != kSuccess) {
    failure = run.what + " cannot be drawn: " + program + " could not be started.";
    return kErrInvalidParameter;
  }
  if (result.cancelled) return kCancelled;
  if (result.timedOut) {
    failure = run.what + " could not be drawn within " + std::to_string(run.timeLimitMs / 1000) + " seconds.";
    return kErrInvalidParameter;
  }
  if (result.termSignal != 0 || result.ExitedWith(3)) {
    failure = run.what + " could not be drawn within " + std::to_string(run.memoryBytes >> 20) + " MiB of memory.";
    return kErrInvalidParameter;
  }
  return result.ExitedWith(0) ? kSuccess : kErrInvalidParameter;
}

}  // namespace rexmoor
