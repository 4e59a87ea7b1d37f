#include <cstdio>

#include "app/source_resolver.h"
#include "cli/commands.h"

namespace rexmoor::cli {

int RunDetect(const std::vector<std::string>& args) {
  if (args.size() != 1 || args[0].empty() || args[0][0] == '-') {
    std::fputs("Usage: rexmoor detect SOURCE\n", stderr);
    return kExitUsage;
  }
  ResolvedSource source;
  std::string error;
  if (ResolveSource(args[0], source, error) != kSuccess) {
    std::fprintf(stderr, "rexmoor: %s\n", error.c_str());
    return kExitFailure;
  }
  // A source too short for a boot area holds no volume we know.
  std::printf("%s\n", VolumeKindName(DetectSourceKind(source)));
  return kExitDone;
}

}  // namespace rexmoor::cli
