#include <unistd.h>

#include <cstdio>

#include "app/image_verify.h"
#include "cli/commands.h"

namespace rexmoor::cli {

int RunVerify(const std::string& path) {
  const bool terminal = ::isatty(2) != 0;
  int shown = -1;
  ImageVerification result;
  std::string error;
  const Result r = VerifyImage(path, result, error, [&](std::uint64_t done, std::uint64_t total) {
    const int percent = total == 0 ? 100 : static_cast<int>(done * 100 / total);
    if (terminal && percent != shown) std::fprintf(stderr, "\rverifying %3d%%", percent);
    shown = percent;
    return true;
  });
  if (terminal && shown >= 0) std::fputc('\n', stderr);
  if (r != kSuccess) {
    std::fprintf(stderr, "rexmoor: %s\n", error.c_str());
    return r == kCancelled ? kExitCancelled : kExitFailure;
  }
  const auto line = [](const char* what, const std::string& value) {
    std::printf("%-14s %s\n", what, value.empty() ? "(none stored)" : value.c_str());
  };
  line("stored MD5:", result.storedMd5);
  line("computed MD5:", result.computedMd5);
  line("stored SHA1:", result.storedSha1);
  line("computed SHA1:", result.computedSha1);
  std::printf("bytes read:    %llu\n", static_cast<unsigned long long>(result.bytesRead));
  if (result.badBytes != 0)
    std::printf("unreadable:    %llu bytes (read as zeros)\n", static_cast<unsigned long long>(result.badBytes));
  if (result.storedMd5.empty() && result.storedSha1.empty()) {
    std::printf("NO DIGEST: the image holds no digest to compare with\n");
    return kExitFailure;
  }
  if (result.badBytes != 0) std::printf("FAILED: part of the media could not be read\n");
  else std::printf("%s\n", result.Matches() ? "OK: the media match the stored digests" : "MISMATCH");
  return result.Matches() ? kExitDone : kExitFailure;
}

}  // namespace rexmoor::cli
