// The scan job: scans a list of sources one after another on a worker thread, reports progress
// through a view, answers the cancel handshake and tells an observer when it is over. Front ends
// supply the view, the question asker and the observer; nothing here knows a toolkit.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/job_control.h"
#include "scan/engine_factory.h"

namespace rexmoor {

struct ScanSourceEntry {
  enum class Kind { Partition, Image };
  Kind kind = Kind::Image;
  // Partitions: drive letter (or position number) used as source tag, drive, range in sectors.
  std::uint16_t driveLetter = 0;
  std::int32_t driveNumber = -1;
  std::uint64_t startSector = 0;
  std::uint64_t sectorCount = 0;
  // Images: the file, the name shown for it, and the caller's tag.
  std::string imagePath;
  std::string displayName;
  std::uint16_t sourceTag = 0;
  // Filled by the job; an engine left by an earlier scan is destroyed first.
  EnginePtr engine;
};

// The bar and the percent text every progress window has.
class IProgressBarView {
 public:
  virtual ~IProgressBarView() = default;
  virtual void SetProgressBar(std::int32_t percent) = 0;
  virtual void SetPercent(const std::string& text) = 0;
};

class IScanProgressView : public IProgressBarView {
 public:
  virtual void SetStage(const std::string& text) = 0;
  virtual void SetTime(const std::string& text) = 0;
  virtual void SetSectors(const std::string& text) = 0;
  virtual void SetTotalFiles(const std::string& text) = 0;
  // Time since the job started, on every report; the sweep's speed, with the sector figures.
  virtual void SetElapsed(const std::string& text) = 0;
  virtual void SetSpeed(const std::string& text) = 0;
  // Shows or hides the sector, file-count and speed labels together.
  virtual void ShowCounters(bool visible) = 0;
  // The window steps aside while a question is asked.
  virtual void SetVisible(bool visible) = 0;
};

class IQuestionAsker {
 public:
  virtual ~IQuestionAsker() = default;
  virtual bool AskYesNo(const std::string& question) = 0;
};

class IScanJobObserver {
 public:
  virtual ~IScanJobObserver() = default;
  // Every source was scanned, or the user cancelled: the results can be read from the engines.
  virtual void OnScanEnded() = 0;
  // The progress window's result: 1 finished or cancelled, 3 an engine could not be created.
  virtual void OnJobClosed(std::int32_t result) = 0;
};

inline constexpr std::int32_t kJobFinished = 1;
inline constexpr std::int32_t kJobFailedToStart = 3;

// Why a scan's result is not whole: its finds could not be kept in the scan-log folder, or an
// engine's scan ended in an error. code is kSuccess when nothing went wrong.
struct ScanFailure {
  Result code = kSuccess;
  std::string folder;  // the scan-log folder concerned
  std::string source;  // the stage text of the source whose scan failed; empty before any scan
};

// The engine of the scanned source that found the record (by its source tag), or null.
IFileRecoveryParse* EngineForRecord(std::vector<ScanSourceEntry>& sources, const FoundFileRecord& record);
// Engines are not safe to use from two threads. Work that reads through the engines of finished
// scans beside another such user (recovery, preview, thumbnails) holds this while it does.
std::mutex& EngineUseLock();

// Threads every later deep scan's sweep classifies sectors on (0: one per core, the default).
void SetDeepScanJobs(unsigned jobs);

// Whether the engine is a deep scan's and its last scan saved where it stood.
bool IsDeepScanEngine(IFileRecoveryParse& engine);
bool ScanSavedItsPlace(IFileRecoveryParse& engine);

// The scan-log folder the last scan of this process wrote, and its removal: a quick scan's log is
// of no use once its engine is gone (a deep scan's is kept, to be taken up again).
std::string LastScanLogFolder();
void DeleteScanLogFolder(const std::string& folder);
// The image files whose earlier deep scan can be taken up: each one the scan-log index names that
// is still there and unchanged since its scan, in the index's order.
std::vector<std::string> ContinuableImageScans();

// What the scans passed over in the scan-log store (a tampered index entry, an earlier scan that
// could not be continued), as lines for the user; emptied by the call.
std::vector<std::string> TakeScanLogNotices();

// "%d Hour %d Min", "%d Min %d Sec" or "%d Sec".
std::string DurationText(std::int64_t seconds);

using TextLookup = std::function<std::string(const std::string& key)>;
// Engine creation, replaceable so the job can be driven with stand-in engines.
using EngineMaker = std::function<EnginePtr(const ScanSourceEntry& source, bool deepMode)>;
// Milliseconds from any fixed start; replaceable so that elapsed time and speed can be checked.
using MillisecondClock = std::function<std::uint64_t()>;
// Called on the worker after each progress report, without the job's lock (so it may wait for the
// window, e.g. for a cancel question to come up); given the overall percent and whether the sweep's
// figures were part of the report.
using ReportHook = std::function<void(std::int32_t percent, bool withFigures)>;

class ScanJob : public JobControl {
 public:
  ScanJob(std::vector<ScanSourceEntry>& sources, bool deepMode, IScanProgressView* view,
          IQuestionAsker* asker, IScanJobObserver* observer, TextLookup texts);
  ~ScanJob();
  ScanJob(const ScanJob&) = delete;
  ScanJob& operator=(const ScanJob&) = delete;

  void SetEngineMaker(EngineMaker maker) { makeEngine_ = std::move(maker); }
  void SetClock(MillisecondClock clock);
  void SetReportHook(ReportHook hook) { reportHook_ = std::move(hook); }
  // The user asked to continue a stopped deep scan: an earlier scan of the same source is taken
  // up without asking.
  void SetContinueEarlierScan(bool yes) { continueEarlier_ = yes; }

  // Start, Wait, RequestCancel (the window's handshake: pauses the scan while the user is asked)
  // and Cancel come with JobControl.
  bool Finished() const { return scanFinished_.load(); }
  // Read once the job is done.
  const ScanFailure& Failure() const { return failure_; }
  // The failure as one line for the user (empty when there was none).
  std::string FailureText() const;
  // The user stopped the scan before it was done (what was found so far can still be read).
  bool Stopped() const { return stopped_.load(); }
  // The overall percent of the last report.
  std::int32_t LastPercent() const { return lastPercent_.load(); }

  // The progress callback handed to engines; userData is the job.
  static std::int32_t OnScanProgress(void* userData, std::int32_t progress, std::int32_t weight,
                                     std::int32_t secondsLeft, std::uint64_t sectorsDone,
                                     std::uint64_t sectorsTotal, std::uint64_t filesFound,
                                     std::int32_t reserved);

  void Run() override;

 private:
  void BeforeStart() override;
  std::string StageText(const ScanSourceEntry& source);
  static std::string SourceName(const ScanSourceEntry& source);
  void PrepareScanLog(IFileRecoveryParse& engine);

  std::vector<ScanSourceEntry>& sources_;
  bool deepMode_;
  IScanProgressView* view_;
  IQuestionAsker* asker_;
  IScanJobObserver* observer_;
  TextLookup texts_;
  EngineMaker makeEngine_;

  // Shows one report (under the job's lock); returns what the engine is told.
  std::int32_t Report(std::int32_t percent, std::int32_t secondsLeft, std::uint64_t sectorsDone,
                      std::uint64_t sectorsTotal, std::uint64_t filesFound);
  void ReportTimes(std::uint64_t sectorsDone, std::uint64_t sectorsTotal);

  std::atomic<bool> scanFinished_{false};
  ScanFailure failure_;
  std::atomic<bool> stopped_{false};
  std::atomic<std::int32_t> lastPercent_{0};
  bool continueEarlier_ = false;

  // Elapsed time and speed, touched only by whoever reports (under the job's lock).
  MillisecondClock clock_;
  ReportHook reportHook_;
  std::uint64_t startedMs_ = 0;
  std::uint32_t sectorBytes_ = 512;
  bool speedBase_ = false;  // the sweep's first report was seen: speed counts from it
  std::uint64_t speedFromMs_ = 0;
  std::uint64_t speedFromSectors_ = 0;
  std::uint64_t speedTotal_ = 0;
  // What the view last showed: the sweep reports every 64 KiB, far more often than anyone reads.
  struct Shown {
    bool any = false;
    std::int32_t percent = 0;
    std::uint64_t files = 0;
    std::uint64_t total = 0;
    std::uint64_t atMs = 0;
  } shown_;
};

}  // namespace rexmoor
