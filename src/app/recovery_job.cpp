#include "app/recovery_job.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>

#include "app/catalog_format.h"
#include "app/type_patterns.h"
#include "engine/folder_recovery.h"
#include "engine/name_sanitize.h"
#include "platform/clock.h"
#include "platform/text.h"

namespace rexmoor {

static std::int64_t UnixNow() { return static_cast<std::int64_t>(std::time(nullptr)); }

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

std::string DestinationPathFor(const TargetFolder& target, const std::string& recordName) {
  const std::string name = SanitizeName(recordName);
  const std::string category = CategoryFolderFor(name);
  const std::string folder = target.Path() + "/" + category + "/";
  // A dangling link counts as taken too; a name is looked up without following links.
  if (!target.Exists(category + "/" + name)) return folder + name;
  for (std::uint64_t n = 1;; ++n) {
    const std::string numbered = NumberedName(name, n);
    if (!target.Exists(category + "/" + numbered)) return folder + numbered;
  }
}

std::string DestinationPathFor(const std::string& targetFolder, const std::string& recordName) {
  TargetFolder target;
  if (TargetFolder::Open(targetFolder, false, target) == kSuccess) return DestinationPathFor(target, recordName);
  // Nothing exists below a target that does not exist yet: every name is free.
  const std::string name = SanitizeName(recordName);
  return targetFolder + "/" + CategoryFolderFor(name) + "/" + name;
}

std::string KeptFolderPathFor(const TargetFolder& target, const std::string& sourceName, const std::string& folderPath,
                              const std::string& recordName) {
  std::string relative = SanitizeName(sourceName) + "/";
  std::string_view rest = folderPath;
  // Bounded by the path's length: every pass takes at least one character off it.
  while (!rest.empty()) {
    const std::size_t cut = rest.find_first_of("/\\");
    const std::string_view part = rest.substr(0, cut);
    if (!part.empty()) relative += SanitizeName(part) + "/";
    rest.remove_prefix(cut == std::string_view::npos ? rest.size() : cut + 1);
  }
  const std::string name = SanitizeName(recordName);
  if (!target.Exists(relative + name)) return target.Path() + "/" + relative + name;
  for (std::uint64_t n = 1;; ++n) {
    const std::string numbered = NumberedName(name, n);
    if (!target.Exists(relative + numbered)) return target.Path() + "/" + relative + numbered;
  }
}

RecoveryJob::RecoveryJob(std::vector<ScanSourceEntry>& sources, const SelectionMap& selection, std::string targetFolder,
                         IRecoveryProgressView* view, IQuestionAsker* asker, TextLookup texts)
    : JobControl(asker, [this] { return texts_("MSG1103"); }),
      sources_(sources),
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

FileDigests RecoveryJob::DigestsOf(const std::string& path) const {
  std::lock_guard<std::mutex> guard(digests_.lock);
  const auto found = digests_.byPath.find(path);
  return found == digests_.byPath.end() ? FileDigests{} : found->second;
}

std::vector<RecoveredFile> RecoveryJob::Files() const {
  std::lock_guard<std::mutex> guard(digests_.lock);
  return digests_.files;
}

void RecoveryJob::FileBook::FileStarted(const std::string& path, const FoundFileRecord* record) {
  std::lock_guard<std::mutex> guard(lock);
  current = RecoveredFile{};
  current.path = path;
  if (record != nullptr) {
    current.known = true;
    current.record = *record;
  }
  open = true;
}

void RecoveryJob::FileBook::DataRun(const ByteRun& run) {
  std::lock_guard<std::mutex> guard(lock);
  if (open && !AppendByteRun(current.runs, run)) current.runsCut = true;
}

void RecoveryJob::FileBook::FileWritten(const std::string& path, Result, const DigestTicket& digests) {
  std::lock_guard<std::mutex> guard(lock);
  if (open && current.path == path) currentDigests = digests;
}

void RecoveryJob::FileBook::FileEnded(const std::string& path, Result code) {
  std::lock_guard<std::mutex> guard(lock);
  if (open && current.path == path) {
    files.push_back(std::move(current));
    unshown.emplace_back(files.size() - 1, std::move(currentDigests));
  } else {
    // Failed before any sink was opened for it (a folder that could not be made, say).
    files.push_back(RecoveredFile{});
    files.back().path = path;
    unshown.emplace_back(files.size() - 1, DigestTicket());
  }
  currentDigests = DigestTicket();
  open = false;
  files.back().code = code;
}

bool RecoveryJob::FileBook::TakeShown(std::string& path, Result& code) {
  std::lock_guard<std::mutex> guard(lock);
  if (unshown.empty() || !unshown.front().second.Ready()) return false;
  RecoveredFile& file = files[unshown.front().first];
  file.digests = unshown.front().second.Wait();  // ready: does not wait
  unshown.pop_front();
  byPath[file.path] = file.digests;
  path = file.path;
  code = file.code;
  return true;
}

bool RecoveryJob::FileBook::NextUnshown(DigestTicket& digests) const {
  std::lock_guard<std::mutex> guard(lock);
  if (unshown.empty()) return false;
  digests = unshown.front().second;
  return true;
}

// Gives a recovered file the times the volume recorded for it, where they are known.
static void ApplyRecordTimes(const TargetFolder& target, const std::string& path, const FoundFileRecord& record) {
  if (record.modifiedTime == 0 && record.accessedTime == 0) return;
  std::string_view relative;
  if (!target.RelativeOf(path, relative)) return;
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
  (void)target.SetTimes(relative, times);
}

void RecoveryJob::CountUnreported(const std::string& path, Result code) {
  digests_.FileEnded(path, code);
  std::lock_guard<std::mutex> lock(Mutex());
  ++done_;
  if (code == kErrIncomplete) {
    ++incomplete_;
  } else if (code != kSuccess) {
    ++failed_;
  }
  ShowEndedLocked();
  if (view_ != nullptr) ShowCountsLocked();
}

void RecoveryJob::ShowEndedLocked() {
  std::string path;
  Result code = kSuccess;
  while (digests_.TakeShown(path, code))
    if (view_ != nullptr) view_->AddDetail(path, code, StatusText(code));
}

void RecoveryJob::ShowAllEnded() {
  // Waits without the job's lock, so that a cancel question is not held up by the hashing.
  DigestTicket next;
  while (digests_.NextUnshown(next)) {
    (void)next.Wait();
    const std::lock_guard<std::mutex> lock(Mutex());
    ShowEndedLocked();
  }
}

void RecoveryJob::ShowCountsLocked() {
  // Done, total, written whole, and the rest (failed or incomplete).
  view_->SetCounts(FillCatalogText(texts_("MSG1102"),
                                   {std::to_string(done_), std::to_string(total_),
                                    std::to_string(done_ - failed_ - incomplete_), std::to_string(failed_ + incomplete_)}));
}

std::string RecoveryJob::StatusText(Result code) {
  if (code == kSuccess) return "Success";
  if (code == kErrIncomplete) return "Incomplete: the data ended before the file's recorded size; what was found is kept.";
  return ResultMessage(code);
}

void RecoveryJob::Run() {
  done_ = 0;
  failed_ = 0;
  incomplete_ = 0;
  total_ = static_cast<std::int32_t>(selection_.size());
  cancelledRun_ = false;
  const std::int32_t levelBase = SeparatorCount(target_);
  startTime_ = UnixNow();
  endTime_ = 0;
  {
    std::lock_guard<std::mutex> guard(digests_.lock);
    digests_.files.clear();
    digests_.unshown.clear();
    digests_.byPath.clear();
    digests_.currentDigests = DigestTicket();
    digests_.open = false;
  }
  // The engines' sinks on this thread tell the book of every file (hashing what they write when
  // digests were asked for), and their read loops where its data lay.
  const ScopedFileObserver observe(&digests_);
  // The target is opened once; every name below it is looked up and created relative to it.
  rexmoor::TargetFolder target;
  const Result targetResult = selection_.empty() ? kSuccess : TargetFolder::Open(target_, true, target);
  const ScopedRecoveryTarget shareTarget(&target);
  for (const auto& [key, stored] : selection_) {
    FoundFileRecord record = stored;
    IFileRecoveryParse* engine = EngineForRecord(sources_, record);
    if (engine == nullptr || targetResult != kSuccess) {
      const std::string where = target_ + "/" + SanitizeName(RecordName(record));
      CountUnreported(where, targetResult != kSuccess ? targetResult : kErrInvalidParameter);
      continue;
    }
    std::unique_lock<std::mutex> engineLock(EngineUseLock());
    std::string destination;
    if (sourceName_) {
      std::string folder;
      if (engine->GetFolderPath(&record, folder) != kSuccess) folder.clear();
      destination = KeptFolderPathFor(target, sourceName_(record), folder, std::string(RecordName(record)));
    } else {
      destination = DestinationPathFor(target, std::string(RecordName(record)));
    }
    if (engine->SetCallbacks(nullptr, &RecoveryJob::OnFileProgress, this, 100) != kSuccess) break;
    {
      std::lock_guard<std::mutex> lock(Mutex());
      lastFileResult_ = kErrGenFailure;
      finalReports_ = 0;
    }
    std::size_t firstFile = 0;
    {
      std::lock_guard<std::mutex> guard(digests_.lock);
      firstFile = digests_.files.size();
    }
    const Result result = engine->RecoverItem(&record, destination, levelBase);
    if (result == kCancelled) {
      engineLock.unlock();
      ShowAllEnded();
      cancelledRun_ = true;
      endTime_ = UnixNow();
      MarkDone();
      return;
    }
    bool wroteCleanly;
    std::int32_t finalReports;
    {
      std::lock_guard<std::mutex> lock(Mutex());
      wroteCleanly = lastFileResult_ == kSuccess;
      finalReports = finalReports_;
    }
    // Every selected file ends as written or as failed: an engine that gave up without saying so
    // for the file (a folder that could not be made, say) is counted here with its result.
    if (finalReports == 0 && (result != kSuccess || record.isFolder == 0)) {
      CountUnreported(destination, result);
      wroteCleanly = result == kSuccess;
    }
    NameFoundFiles(*engine, record, firstFile);
    engineLock.unlock();
    if (record.isFolder == 0 && result == kSuccess && wroteCleanly) ApplyRecordTimes(target, destination, record);
  }
  ShowAllEnded();
  endTime_ = UnixNow();
  if (view_ != nullptr) view_->JobEnded();
  MarkDone();
}

void RecoveryJob::NameFoundFiles(IFileRecoveryParse& engine, const FoundFileRecord& selected, std::size_t first) {
  std::lock_guard<std::mutex> guard(digests_.lock);
  for (std::size_t i = first; i < digests_.files.size(); ++i) {
    RecoveredFile& file = digests_.files[i];
    // A file the engine never opened a sink for is the one selected, unless that was a folder.
    if (!file.known && selected.isFolder == 0) {
      file.known = true;
      file.record = selected;
    }
    if (!file.known) continue;
    const FoundFileRecord record = file.record;
    if (engine.GetFolderPath(&record, file.folder) != kSuccess) file.folder.clear();
  }
}

std::int32_t RecoveryJob::OnFileProgress(void* userData, std::int32_t percent, std::int32_t scale,
                                         std::int32_t resultCode, const char* destinationPath) {
  auto* job = static_cast<RecoveryJob*>(userData);
  if (job == nullptr) return 0;
  std::lock_guard<std::mutex> lock(job->Mutex());
  if (job->CancelRequestedLocked()) return kCancelled;
  const auto pct = static_cast<std::int32_t>(std::int64_t{percent} * scale / 100);
  const std::string path = destinationPath != nullptr ? destinationPath : "";
  if (pct == 100) {
    job->digests_.FileEnded(path, resultCode);
    job->lastFileResult_ = resultCode;
    ++job->finalReports_;
    if (resultCode == kErrIncomplete) {
      ++job->incomplete_;
    } else if (resultCode != 0) {
      ++job->failed_;
    }
    ++job->done_;
  }
  job->ShowEndedLocked();
  if (job->view_ != nullptr) {
    job->view_->SetProgressBar(pct);
    job->view_->SetCurrent(path);
    job->view_->SetPercent(Format("%s %d%%", job->texts_("MSG1101").c_str(), pct));
    job->ShowCountsLocked();
  }
  return 0;
}

}  // namespace rexmoor
