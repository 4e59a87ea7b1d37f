#include "app/recovery_job.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>

#include "app/catalog_format.h"
#include "app/type_patterns.h"
#include "engine/name_sanitize.h"
#include "platform/clock.h"
#include "platform/text.h"

namespace rexmoor {

std::uint64_t SelectionKey(const FoundFileRecord& record) {
  const std::uint64_t high = (std::uint64_t{record.sourceTag} << 16) | (static_cast<std::uint32_t>(record.engineTag) & 0xFFFFu);
  return (high << 32) | record.recordId;
}

std::int32_t SeparatorCount(const std::string& folder) {
  std::int32_t count = 0;
  for (std::size_t i = 0; i + 1 < folder.size(); ++i)
    if (folder[i] == '/' || folder[i] == '\\') ++count;
  return count;
}

static bool PathTaken(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;  // a dangling link counts as taken too
}

std::string DestinationPathFor(const std::string& targetFolder, const std::string& recordName) {
  const std::string name = SanitizeName(recordName);
  const std::string folder = targetFolder + "/" + CategoryFolderFor(name) + "/";
  std::string path = folder + name;
  if (!PathTaken(path)) return path;
  const std::size_t dot = name.rfind('.');
  const std::string base = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  const std::string ext = dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot);
  for (std::uint64_t n = 1;; ++n) {
    path = folder + base + "(" + std::to_string(n) + ")" + ext;
    if (!PathTaken(path)) return path;
  }
}

RecoveryJob::RecoveryJob(std::vector<ScanSourceEntry>& sources, const SelectionMap& selection, std::string targetFolder,
                         IRecoveryProgressView* view, IQuestionAsker* asker, TextLookup texts)
    : sources_(sources),
      selection_(selection),
      target_(std::move(targetFolder)),
      view_(view),
      asker_(asker),
      texts_(std::move(texts)) {
  if (!texts_) texts_ = [](const std::string&) { return std::string(); };
  // A trailing separator is dropped, so "/mnt/card/" and "/mnt/card" name the same target.
  if (target_.size() > 1 && (target_.back() == '/' || target_.back() == '\\')) target_.pop_back();
}

RecoveryJob::~RecoveryJob() { Wait(); }

void RecoveryJob::Start() {
  doneFlag_ = false;
  worker_ = std::thread([this] { Run(); });
}

void RecoveryJob::Wait() {
  if (worker_.joinable()) worker_.join();
}

bool RecoveryJob::RequestCancel() {
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (asker_ != nullptr && !asker_->AskYesNo(texts_("MSG1103"))) return false;
    cancelRequested_ = true;
  }
  while (!doneFlag_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return true;
}

void RecoveryJob::Cancel() {
  std::lock_guard<std::mutex> lock(lock_);
  cancelRequested_ = true;
}

IFileRecoveryParse* RecoveryJob::EngineFor(const FoundFileRecord& record) {
  for (ScanSourceEntry& source : sources_) {
    if (!source.engine) continue;
    const std::uint16_t tag = source.kind == ScanSourceEntry::Kind::Image ? source.sourceTag : source.driveLetter;
    if (tag == record.sourceTag) return source.engine.get();
  }
  return nullptr;
}

// Gives a recovered file the times the volume recorded for it, where they are known.
static void ApplyRecordTimes(const std::string& path, const FoundFileRecord& record) {
  if (record.modifiedTime == 0 && record.accessedTime == 0) return;
  timespec times[2];
  auto toSpec = [](std::uint64_t fileTime, timespec& out) {
    if (fileTime == 0) {
      out.tv_sec = 0;
      out.tv_nsec = UTIME_OMIT;
      return;
    }
    out.tv_sec = static_cast<time_t>(FileTimeToUnix(fileTime));
    out.tv_nsec = static_cast<long>((fileTime % 10'000'000) * 100);
  };
  toSpec(record.accessedTime, times[0]);
  toSpec(record.modifiedTime, times[1]);
  ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

void RecoveryJob::Run() {
  done_ = 0;
  failed_ = 0;
  total_ = static_cast<std::int32_t>(selection_.size());
  cancelledRun_ = false;
  const std::int32_t levelBase = SeparatorCount(target_);
  for (const auto& [key, stored] : selection_) {
    FoundFileRecord record = stored;
    IFileRecoveryParse* engine = EngineFor(record);
    if (engine == nullptr) {
      std::lock_guard<std::mutex> lock(lock_);
      ++done_;
      ++failed_;
      if (view_ != nullptr) view_->AddDetail(std::string(RecordName(record)), kErrInvalidParameter, ResultMessage(kErrInvalidParameter));
      continue;
    }
    const std::string destination = DestinationPathFor(target_, std::string(RecordName(record)));
    if (engine->SetCallbacks(nullptr, &RecoveryJob::OnFileProgress, this, 100) != kSuccess) break;
    {
      std::lock_guard<std::mutex> lock(lock_);
      lastFileResult_ = kErrGenFailure;
    }
    const Result result = engine->RecoverItem(&record, destination, levelBase);
    if (result == kCancelled) {
      cancelledRun_ = true;
      doneFlag_ = true;
      return;
    }
    bool wroteCleanly;
    {
      std::lock_guard<std::mutex> lock(lock_);
      wroteCleanly = lastFileResult_ == kSuccess;
    }
    if (record.isFolder == 0 && result == kSuccess && wroteCleanly) ApplyRecordTimes(destination, record);
  }
  if (view_ != nullptr) view_->JobEnded();
  doneFlag_ = true;
}

std::int32_t RecoveryJob::OnFileProgress(void* userData, std::int32_t percent, std::int32_t scale,
                                         std::int32_t resultCode, const char* destinationPath) {
  auto* job = static_cast<RecoveryJob*>(userData);
  if (job == nullptr) return 0;
  std::lock_guard<std::mutex> lock(job->lock_);
  if (job->cancelRequested_) return kCancelled;
  const auto pct = static_cast<std::int32_t>(std::int64_t{percent} * scale / 100);
  const std::string path = destinationPath != nullptr ? destinationPath : "";
  if (pct == 100) {
    job->lastFileResult_ = resultCode;
    if (resultCode != 0) ++job->failed_;
    ++job->done_;
    if (job->view_ != nullptr)
      job->view_->AddDetail(path, resultCode, resultCode == 0 ? std::string("Success") : ResultMessage(resultCode));
  }
  if (job->view_ != nullptr) {
    job->view_->SetProgressBar(pct);
    job->view_->SetCurrent(path);
    job->view_->SetPercent(Format("%s %d%%", job->texts_("MSG1101").c_str(), pct));
    job->view_->SetCounts(FillCatalogText(job->texts_("MSG1102"),
                                          {std::to_string(job->done_), std::to_string(job->total_),
                                           std::to_string(job->done_ - job->failed_), std::to_string(job->failed_)}));
  }
  return 0;
}

}  // namespace rexmoor
