// rexmoor image: a sector-by-sector copy of a drive, a partition or an area into an image file.
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "app/image_job.h"
#include "app/message_catalog.h"
#include "app/source_resolver.h"
#include "cli/commands.h"
#include "cli/scan_session.h"
#include "cli/terminal_progress.h"
#include "platform/text.h"

namespace rexmoor::cli {

namespace {

// The copy's reports drawn as the scans' are: bar, sectors, time left, stage.
class ImageProgressLine : public IImageProgressView {
 public:
  explicit ImageProgressLine(TerminalProgress& bar) : bar_(bar) {}
  void SetProgressBar(std::int32_t percent) override { bar_.SetProgressBar(percent); }
  void SetPercent(const std::string&) override {}
  void SetStage(const std::string& text) override { bar_.SetStage(text); }
  void SetTime(const std::string& text) override { bar_.SetTime(text); }
  // The last text of every report: the line is drawn once it holds all of them.
  void SetSectors(const std::string& text) override {
    bar_.SetSectors(text);
    bar_.ShowCounters(true);
  }

 private:
  TerminalProgress& bar_;
};

std::string Msg(const std::string& key) { return GetMessageCatalog().Msg(key); }

// "sectors 100-163, 2048 and 3 more ranges": the first few unreadable stretches.
std::string BadRangesText(const ImageCopyJob& copy) {
  constexpr std::size_t kShown = 5;
  const auto ranges = copy.BadSectorRanges();
  std::string text;
  for (std::size_t i = 0; i < ranges.size() && i < kShown; ++i) {
    const auto [first, count] = ranges[i];
    text += (i == 0 ? "" : ", ") + std::to_string(first);
    if (count > 1) text += "-" + std::to_string(first + count - 1);
  }
  if (ranges.size() > kShown) text += " and " + std::to_string(ranges.size() - kShown) + " more ranges";
  return text;
}

std::string SecondsText(std::uint32_t ms) { return Format("%u.%01u s", ms / 1000, ms % 1000 / 100); }

}  // namespace

int RunImage(const ImageOptions& options) {
  CatchInterrupts();
  ResolvedSource source;
  std::string error;
  if (ResolveSource(options.source, source, error) != kSuccess) {
    std::fprintf(stderr, "rexmoor: %s\n", error.c_str());
    return kExitFailure;
  }
  ImageRequest request;
  request.sourcePath = source.path;
  request.firstSector = source.startSector;
  request.sectorCount = source.sectorCount;
  request.targetPath = options.output;
  request.skipBad = options.skipBad;
  request.resume = options.resume;
  request.retries = options.retries;
  std::string sourceName = source.path == options.source ? source.path : source.path + " (" + options.source + ")";

  std::uint64_t imageBytes = 0;
  if (MeasureImage(request, imageBytes, error) != kSuccess) {
    std::fprintf(stderr, "rexmoor: %s\n", error.c_str());
    return kExitFailure;
  }
  struct stat st {};
  if (::lstat(options.output.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "rexmoor: %s is a folder; OUTPUT names the image file to write (e.g. %s/%s.img)\n",
                 options.output.c_str(), options.output.c_str(), "copy");
    return kExitFailure;
  }
  if (!options.resume && !options.force && ::lstat(options.output.c_str(), &st) == 0) {
    std::fprintf(stderr, "rexmoor: %s exists (--force overwrites it, --resume continues the copy in it)\n",
                 options.output.c_str());
    return kExitFailure;
  }
  const ImageTargetCheck check = CheckImageTarget(request, imageBytes);
  if (!check.Passed()) {
    std::fprintf(stderr, "rexmoor: refusing to write the image to %s: %s (%s)\n", options.output.c_str(),
                 Msg(check.messageKey).c_str(), check.detail.c_str());
    return kExitFailure;
  }

  TerminalProgress bar(false);
  ImageProgressLine view(bar);
  ImageJob job(request, &view, nullptr, [](const std::string& key) { return Msg(key); });
  {
    InterruptWatch<ImageJob> watch(job);
    job.Start();
    job.Wait();
  }
  bar.Finish();

  const ImageCopyJob& copy = job.Copy();
  const std::uint64_t sector = static_cast<std::uint64_t>(copy.sectorSize);
  const std::uint64_t handled = copy.TotalBytes() - copy.map.BytesWith('?');
  const std::string resumeCommand = "rexmoor image " + options.source + " " + options.output +
                                    (options.skipBad ? " --skip-bad" : "") +
                                    (options.retries != 0 ? " --retries " + std::to_string(options.retries) : "") +
                                    " --resume";
  const std::string mapNote =
      copy.mapKept ? "; " + resumeCommand + " continues it (" + copy.mapPath + ")" : std::string();
  switch (job.WindowResult()) {
    case kImageJobSucceeded: {
      std::printf("copied %llu sectors (%llu bytes) of %s into %s in %s\n",
                  static_cast<unsigned long long>(copy.sectorCount), static_cast<unsigned long long>(copy.TotalBytes()),
                  sourceName.c_str(), options.output.c_str(), SecondsText(copy.elapsedMs).c_str());
      if (const std::uint64_t bad = copy.BadSectorCount(); bad != 0)
        std::printf("%llu sectors could not be read and are zeros in the image: sectors %s (listed in %s)\n",
                    static_cast<unsigned long long>(bad), BadRangesText(copy).c_str(), copy.mapPath.c_str());
      return kExitDone;
    }
    case kImageJobCancelled:
      std::fprintf(stderr, "rexmoor: cancelled; the partial image stays in %s (%llu of %llu sectors)%s\n",
                   options.output.c_str(), static_cast<unsigned long long>(handled / sector),
                   static_cast<unsigned long long>(copy.sectorCount), mapNote.c_str());
      return kExitCancelled;
    default:
      break;
  }
  if (job.CopyResult() == kErrNotReady && copy.goneAt != UINT64_MAX) {
    std::fprintf(stderr,
                 "rexmoor: the source went away at byte %llu of the copy (sector %llu of %s); the partial image "
                 "stays in %s (%llu of %llu sectors copied)%s\n",
                 static_cast<unsigned long long>(copy.goneAt),
                 static_cast<unsigned long long>(copy.firstSector + copy.goneAt / sector), sourceName.c_str(),
                 options.output.c_str(), static_cast<unsigned long long>(handled / sector),
                 static_cast<unsigned long long>(copy.sectorCount),
                 copy.mapKept ? ("; once it is back, " + resumeCommand + " continues it (" + copy.mapPath + ")").c_str()
                              : "");
    return kExitFailure;
  }
  if (job.CopyResult() == kErrReadFault && copy.failedSector != UINT64_MAX) {
    std::fprintf(stderr,
                 "rexmoor: read fault at sector %llu of %s; the partial image stays in %s (--skip-bad copies past "
                 "unreadable sectors)%s\n",
                 static_cast<unsigned long long>(copy.failedSector), sourceName.c_str(), options.output.c_str(),
                 mapNote.c_str());
    return kExitFailure;
  }
  std::fprintf(stderr, "rexmoor: %s\n",
               copy.error.empty() ? (Msg("MSG0217") + " " + ResultMessage(job.CopyResult())).c_str() : copy.error.c_str());
  return kExitFailure;
}

}  // namespace rexmoor::cli
