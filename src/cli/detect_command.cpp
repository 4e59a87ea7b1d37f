#include <cstdio>

#include "app/source_resolver.h"
#include "cli/commands.h"

namespace rexmoor::cli {

int RunDetect(const std::string& path) {
  ResolvedSource source;
  std::string error;
  if (ResolveSource(path, source, error) != kSuccess) {
    std::fprintf(stderr, "rexmoor: %s\n", error.c_str());
    return kExitFailure;
  }
  // A source too short for a boot area holds no volume we know.
  std::printf("%s\n", DetectSourceKindText(source).c_str());
  return kExitDone;
}

}  // namespace rexmoor::cli
