#include "app/scan_job.h"

#include <cctype>
#include <chrono>

#include "app/catalog_format.h"
#include "engine/resumable_engine.h"
#include "engine/scan_log_index.h"
#include "platform/text.h"
#include "scan/professional_recovery.h"
#include "scan/sector_sweep.h"

namespace rexmoor {

std::string DurationText(std::int64_t s) {
  if (s >= 3600) {
    const std::int64_t hours = s / 3600;
    return Format("%d Hour %d Min", static_cast<int>(hours), static_cast<int>((s - hours * 3600) / 60));
  }
  if (s >= 60) return Format("%d Min %d Sec", static_cast<int>(s / 60), static_cast<int>(s % 60));
  return Format("%d Sec", static_cast<int>(s));
}

IFileRecoveryParse* EngineForRecord(std::vector<ScanSourceEntry>& sources, const FoundFileRecord& record) {
  for (ScanSourceEntry& source : sources) {
    if (!source.engine) continue;
    const std::uint16_t tag = source.kind == ScanSourceEntry::Kind::Image ? source.sourceTag : source.driveLetter;
    if (tag == record.sourceTag) return source.engine.get();
  }
  return nullptr;
}

std::mutex& EngineUseLock() {
  static std::mutex lock;
  return lock;
}

bool IsDeepScanEngine(IFileRecoveryParse& engine) { return dynamic_cast<IResumableEngine*>(&engine) != nullptr; }

bool ScanSavedItsPlace(IFileRecoveryParse& engine) {
  auto* resumable = dynamic_cast<IResumableEngine*>(&engine);
  return resumable != nullptr && resumable->SavedItsPlace();
}

namespace {

std::uint64_t SteadyMs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

EnginePtr DefaultEngineMaker(const ScanSourceEntry& source, bool deepMode) {
  if (source.kind == ScanSourceEntry::Kind::Partition)
    return CreateEngineForDisk(source.driveNumber, source.startSector, source.sectorCount, source.driveLetter,
                               deepMode);
  return CreateEngineForImage(source.imagePath, source.sourceTag, deepMode);
}

}  // namespace

ScanJob::ScanJob(std::vector<ScanSourceEntry>& sources, bool deepMode, IScanProgressView* view,
                 IQuestionAsker* asker, IScanJobObserver* observer, TextLookup texts)
    : JobControl(asker, [this] { return texts_("MSG0709"); }),
      sources_(sources),
      deepMode_(deepMode),
      view_(view),
      asker_(asker),
      observer_(observer),
      texts_(std::move(texts)),
      makeEngine_(DefaultEngineMaker),
      clock_(SteadyMs) {
  if (!texts_) texts_ = [](const std::string&) { return std::string(); };
  startedMs_ = clock_();
}

void ScanJob::SetClock(MillisecondClock clock) {
  clock_ = clock ? std::move(clock) : MillisecondClock(SteadyMs);
  startedMs_ = clock_();
}

ScanJob::~ScanJob() { Wait(); }

void ScanJob::BeforeStart() {
  ClearCancel();
  scanFinished_ = false;
  stopped_ = false;
}

std::vector<std::string> TakeScanLogNotices() { return GetScanLogIndex().TakeNotices(); }

std::string LastScanLogFolder() { return GetScanLogIndex().CurrentScanFolder(); }

std::vector<std::string> ContinuableImageScans() {
  std::vector<std::string> images;
  ScanLogIndex& index = GetScanLogIndex();
  index.Reload();
  (void)index.TakeNotices();  // a damaged index is told when a scan uses it
  for (const ScanLogEntry& entry : index.Entries()) {
    std::string path = entry.ImagePath();
    // An image written to since its scan is scanned afresh: not offered.
    if (path.empty()) continue;
    const std::uint64_t written = ImageWriteTime(path);
    if (written == 0 || written != entry.ImageWriteTime()) continue;
    images.push_back(std::move(path));
  }
  return images;
}

void DeleteScanLogFolder(const std::string& folder) {
  if (!folder.empty()) (void)GetScanLogIndex().DeleteScanLog(folder);
}

std::string ScanJob::SourceName(const ScanSourceEntry& source) {
  if (source.kind == ScanSourceEntry::Kind::Image) return source.imagePath;
  const std::uint16_t letter = source.driveLetter;
  if (letter < 0x80 && std::isalpha(static_cast<unsigned char>(letter))) return std::string(1, static_cast<char>(letter)) + ":";
  return "#" + std::to_string(letter);
}

std::string ScanJob::StageText(const ScanSourceEntry& source) {
  if (source.kind == ScanSourceEntry::Kind::Image)
    return texts_("MSG0703") + " " + (source.displayName.empty() ? source.imagePath : source.displayName);
  const std::uint16_t letter = source.driveLetter;
  if (letter < 0x80 && std::isalpha(static_cast<unsigned char>(letter)))
    return FillCatalogText(texts_("MSG0701"), {std::string(1, static_cast<char>(letter))});
  return FillCatalogText(texts_("MSG0702"), {std::to_string(letter)});
}

void ScanJob::PrepareScanLog(IFileRecoveryParse& engine) {
  ScanLogIndex& index = GetScanLogIndex();
  if (!deepMode_) {
    index.BeginScanFolder();
    return;
  }
  auto* resumable = dynamic_cast<IResumableEngine*>(&engine);
  if (resumable == nullptr || !resumable->FoundPreviousScan() || continueEarlier_) return;
  if (view_ != nullptr) view_->SetVisible(false);
  const bool resume = asker_ != nullptr && asker_->AskYesNo(texts_("MSG1206"));
  if (view_ != nullptr) view_->SetVisible(true);
  if (!resume) {
    const std::string previous = resumable->PreviousScanFolder();
    resumable->ClearPreviousScan();
    index.DeleteScanLog(previous);
  }
}

std::string ScanJob::FailureText() const {
  if (failure_.code == kSuccess) return std::string();
  const std::string reason = ResultMessage(failure_.code);
  if (failure_.source.empty()) return FillCatalogText(texts_("MSG0730"), {failure_.folder, reason});
  return FillCatalogText(texts_("MSG0731"), {failure_.source, reason, failure_.folder});
}

void ScanJob::Run() {
  failure_ = ScanFailure{};
  {
    std::lock_guard<std::mutex> lock(Mutex());
    startedMs_ = clock_();
    lastPercent_ = 0;
  }
  // Every find goes to the scan log: a folder that cannot take it is found out before hours of
  // sweeping, not by an empty result at their end.
  ScanLogIndex& index = GetScanLogIndex();
  if (Result r = index.CheckWritable(); r != kSuccess) {
    failure_ = ScanFailure{r, index.BasePath(), std::string()};
    MarkDone();
    if (observer_ != nullptr) observer_->OnJobClosed(kJobFailedToStart);
    return;
  }
  for (ScanSourceEntry& source : sources_) {
    if (view_ != nullptr) view_->SetStage(StageText(source));
    source.engine.reset();
    source.engine = makeEngine_(source, deepMode_);
    if (!source.engine) {
      MarkDone();
      if (observer_ != nullptr) observer_->OnJobClosed(kJobFailedToStart);
      return;
    }
    PrepareScanLog(*source.engine);
    {
      std::lock_guard<std::mutex> lock(Mutex());
      auto* deep = dynamic_cast<CProfessionalRecovery*>(source.engine.get());
      sectorBytes_ = deep != nullptr && deep->SectorSize() > 0 ? static_cast<std::uint32_t>(deep->SectorSize()) : 512;
      speedBase_ = false;
    }
    source.engine->SetCallbacks(&ScanJob::OnScanProgress, nullptr, this, 100);
    const Result result = source.engine->Scan(nullptr);
    if (result == kCancelled) {
      stopped_ = true;
      break;
    }
    // What the other sources give is still worth having; the first failure is what is told.
    if (result != kSuccess && failure_.code == kSuccess)
      failure_ = ScanFailure{result, index.CurrentScanFolder(), SourceName(source)};
  }
  scanFinished_ = true;
  MarkDone();
  if (observer_ != nullptr) {
    observer_->OnScanEnded();
    observer_->OnJobClosed(kJobFinished);
  }
}

std::int32_t ScanJob::OnScanProgress(void* userData, std::int32_t progress, std::int32_t weight,
                                     std::int32_t secondsLeft, std::uint64_t sectorsDone,
                                     std::uint64_t sectorsTotal, std::uint64_t filesFound, std::int32_t) {
  auto* job = static_cast<ScanJob*>(userData);
  if (job == nullptr) return 0;
  // Wide enough that a hostile weight cannot overflow the product.
  const auto percent = static_cast<std::int32_t>(std::int64_t{progress} * weight / 100);
  const std::int32_t answer = job->Report(percent, secondsLeft, sectorsDone, sectorsTotal, filesFound);
  if (answer == 0 && job->reportHook_) job->reportHook_(percent, sectorsTotal != 0);
  return answer;
}

std::int32_t ScanJob::Report(std::int32_t percent, std::int32_t secondsLeft, std::uint64_t sectorsDone,
                             std::uint64_t sectorsTotal, std::uint64_t filesFound) {
  std::lock_guard<std::mutex> lock(Mutex());
  if (CancelRequestedLocked()) return kCancelled;
  lastPercent_ = percent;
  IScanProgressView* view = view_;
  if (view == nullptr) return 0;
  // The figures are written out when something a reader sees moves, the end is reached, or a tenth
  // of a second has passed; in between a report only answers whether to go on.
  const std::uint64_t now = clock_();
  Shown& shown = shown_;
  if (shown.any && percent == shown.percent && filesFound == shown.files && sectorsTotal == shown.total &&
      sectorsDone != sectorsTotal && now >= shown.atMs && now - shown.atMs < 100)
    return 0;
  shown = Shown{true, percent, filesFound, sectorsTotal, now};
  std::string timeText =
      secondsLeft == -1 ? texts_("MSG0705") : texts_("MSG0708") + DurationText(secondsLeft);
  view->SetProgressBar(percent);
  view->SetTime(timeText);
  view->SetPercent(Format("%s %d%%", texts_("MSG0704").c_str(), percent));
  if (sectorsTotal != 0) {
    view->SetSectors(Format("%s %llu / %llu", texts_("MSG0706").c_str(),
                            static_cast<unsigned long long>(sectorsDone), static_cast<unsigned long long>(sectorsTotal)));
    view->SetTotalFiles(Format("%s %llu", texts_("MSG0707").c_str(), static_cast<unsigned long long>(filesFound)));
  }
  ReportTimes(sectorsDone, sectorsTotal);
  view->ShowCounters(sectorsTotal != 0);
  return 0;
}

void ScanJob::ReportTimes(std::uint64_t sectorsDone, std::uint64_t sectorsTotal) {
  const std::uint64_t now = clock_();
  const std::uint64_t elapsedMs = now >= startedMs_ ? now - startedMs_ : 0;
  view_->SetElapsed(texts_("MSG0710") + DurationText(static_cast<std::int64_t>(elapsedMs / 1000)));
  if (sectorsTotal == 0) return;
  // The speed is the sweep's own: measured from its first report, so that the quick phase before
  // it, or the part a continued scan had done already, does not count. A new range of figures
  // (the next source, a restarted count) starts the measure again.
  if (!speedBase_ || sectorsTotal != speedTotal_ || sectorsDone < speedFromSectors_) {
    speedBase_ = true;
    speedFromMs_ = now;
    speedFromSectors_ = sectorsDone;
    speedTotal_ = sectorsTotal;
  }
  // A span shorter than this says more about the clock than about the medium.
  const std::uint64_t spanMs = now >= speedFromMs_ ? now - speedFromMs_ : 0;
  if (spanMs < 50) {
    view_->SetSpeed(texts_("MSG0711") + "-");
    return;
  }
  const double bytes = static_cast<double>(sectorsDone - speedFromSectors_) * sectorBytes_;
  const double perSecond = bytes * 1000.0 / static_cast<double>(spanMs) / (1024.0 * 1024.0);
  view_->SetSpeed(texts_("MSG0711") + Format("%.1f MB/s", perSecond));
}

void SetDeepScanJobs(unsigned jobs) { SetDefaultSweepJobs(jobs); }

}  // namespace rexmoor
