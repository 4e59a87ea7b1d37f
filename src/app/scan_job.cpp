#include "app/scan_job.h"

#include <cctype>
#include <chrono>

#include "app/catalog_format.h"
#include "engine/resumable_engine.h"
#include "engine/scan_log_index.h"
#include "platform/text.h"

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
      makeEngine_(DefaultEngineMaker) {
  if (!texts_) texts_ = [](const std::string&) { return std::string(); };
}

ScanJob::~ScanJob() { Wait(); }

void ScanJob::BeforeStart() {
  ClearCancel();
  scanFinished_ = false;
}

std::vector<std::string> TakeScanLogNotices() { return GetScanLogIndex().TakeNotices(); }

std::string LastScanLogFolder() { return GetScanLogIndex().CurrentScanFolder(); }

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
  if (resumable == nullptr || !resumable->FoundPreviousScan()) return;
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
    source.engine->SetCallbacks(&ScanJob::OnScanProgress, nullptr, this, 100);
    const Result result = source.engine->Scan(nullptr);
    if (result == kCancelled) break;
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
  std::lock_guard<std::mutex> lock(job->Mutex());
  if (job->CancelRequestedLocked()) return kCancelled;
  IScanProgressView* view = job->view_;
  if (view == nullptr) return 0;
  std::string timeText =
      secondsLeft == -1 ? job->texts_("MSG0705") : job->texts_("MSG0708") + DurationText(secondsLeft);
  view->SetProgressBar(percent);
  view->SetTime(timeText);
  view->SetPercent(Format("%s %d%%", job->texts_("MSG0704").c_str(), percent));
  if (sectorsTotal != 0) {
    view->SetSectors(Format("%s %llu / %llu", job->texts_("MSG0706").c_str(),
                            static_cast<unsigned long long>(sectorsDone), static_cast<unsigned long long>(sectorsTotal)));
    view->SetTotalFiles(Format("%s %llu", job->texts_("MSG0707").c_str(), static_cast<unsigned long long>(filesFound)));
    view->ShowCounters(true);
  } else {
    view->ShowCounters(false);
  }
  return 0;
}

}  // namespace rexmoor
