// The recovery job: writes every selected record through the engine that found it into a
// category folder under the target, with numbered names on collision, a status per file and the
// cancel handshake. Front ends supply the target, the selection and a progress view.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/job_control.h"
#include "app/scan_job.h"
#include "engine/file_digest.h"
#include "platform/target_folder.h"

namespace rexmoor {

// Ordered by source, then engine, then record.
std::uint64_t SelectionKey(const FoundFileRecord& record);
using SelectionMap = std::map<std::uint64_t, FoundFileRecord>;

class IRecoveryProgressView : public IProgressBarView {
 public:
  virtual void SetCurrent(const std::string& destinationPath) = 0;
  virtual void SetCounts(const std::string& text) = 0;
  // One finished file: its path, 0 or an error code, and the status text ("Success", the
  // incomplete text for kErrIncomplete, or the English message of the code). Files come in the
  // order they ended; when they are hashed, each once its digests are in (DigestsOf has them).
  virtual void AddDetail(const std::string& destinationPath, Result code, const std::string& status) = 0;
  // Every selected file was handled (not called after a cancel).
  virtual void JobEnded() = 0;
};

// Separators ('/' or '\') in a folder path, its last character not counted.
std::int32_t SeparatorCount(const std::string& folder);
// target/category/name, with "(n)" before the real extension (or at the end) while the name is
// taken below the target. The record name is made safe as a single path component first.
std::string DestinationPathFor(const TargetFolder& target, const std::string& recordName);
std::string DestinationPathFor(const std::string& targetFolder, const std::string& recordName);

// target/<source>/<folder>/.../name: the folder a file was found in kept below a folder named
// after its source, every component made safe on its own (a folder named ".." becomes "_"), with
// "(n)" before the extension while the name is taken. folderPath is the engine's, '/' or '\\'
// separated.
std::string KeptFolderPathFor(const TargetFolder& target, const std::string& sourceName, const std::string& folderPath,
                              const std::string& recordName);

// What a recovery learnt of one file it handled, for its report.
struct RecoveredFile {
  std::string path;        // where it was written (or was to be)
  Result code = kSuccess;  // kSuccess, kErrIncomplete, or why it failed
  bool known = false;      // record holds the found file
  FoundFileRecord record{};
  std::string folder;  // the folder it was found in, '/'-separated with a trailing '/'
  FileDigests digests;
  std::vector<ByteRun> runs;  // where its data lay, in file order
  bool runsCut = false;       // more runs than a report keeps
};

class RecoveryJob : public JobControl {
 public:
  RecoveryJob(std::vector<ScanSourceEntry>& sources, const SelectionMap& selection, std::string targetFolder,
              IRecoveryProgressView* view, IQuestionAsker* asker, TextLookup texts);
  ~RecoveryJob();
  RecoveryJob(const RecoveryJob&) = delete;
  RecoveryJob& operator=(const RecoveryJob&) = delete;

  // Keep the folders: each file goes to KeptFolderPathFor(target, sourceName(record), its folder,
  // its name) instead of its category folder. Set before Run.
  void KeepFolders(std::function<std::string(const FoundFileRecord&)> sourceName) { sourceName_ = std::move(sourceName); }
  // Hash every file while it is written (the engines' sink feeds the digests; no second read).
  // Set before Run.
  void HashFiles(bool sha256, bool md5) {
    digests_.sha256 = sha256;
    digests_.md5 = md5;
  }
  // Whether digests can be made at all: false, and why, when the digest library cannot be loaded.
  static bool CanHash(std::string* why) { return DigestsAvailable(why); }
  // The digests of the file written at this path (empty when not asked for, not written, or not
  // shown through AddDetail yet).
  FileDigests DigestsOf(const std::string& path) const;
  // Every file handled so far, in the order they ended; for the report once Run returned.
  std::vector<RecoveredFile> Files() const;
  // When Run started and ended (Unix seconds; 0 before).
  std::int64_t StartTime() const { return startTime_; }
  std::int64_t EndTime() const { return endTime_; }

  void Run() override;

  std::int32_t DoneCount() const { return done_; }
  std::int32_t FailedCount() const { return failed_; }
  // Files written short of their recorded size (kept, and not counted as failed).
  std::int32_t IncompleteCount() const { return incomplete_; }
  std::int32_t Total() const { return total_; }
  bool Cancelled() const { return cancelledRun_; }
  const std::string& TargetFolder() const { return target_; }

  static std::int32_t OnFileProgress(void* userData, std::int32_t percent, std::int32_t scale, std::int32_t resultCode,
                                     const char* destinationPath);

 private:
  // Gives the files handled from index first on their found record and folder (the engine's
  // lock held).
  void NameFoundFiles(IFileRecoveryParse& engine, const FoundFileRecord& selected, std::size_t first);
  // Counts a file the engine did not report on, with the engine's result.
  void CountUnreported(const std::string& path, Result code);
  // Shows the files that ended, in order, as far as their digests are in (Mutex() held).
  void ShowEndedLocked();
  // Shows every file that ended, waiting for the digests still being made.
  void ShowAllEnded();
  static std::string StatusText(Result code);
  void ShowCountsLocked();

  std::vector<ScanSourceEntry>& sources_;
  const SelectionMap& selection_;
  std::string target_;
  IRecoveryProgressView* view_;
  IQuestionAsker* asker_;
  TextLookup texts_;
  std::function<std::string(const FoundFileRecord&)> sourceName_;
  // What the sinks and read loops tell of each file written on the job's thread, and the files'
  // verdicts, in the order they ended. A file's digests are made behind the writing; it is shown
  // (and its digests recorded) once they are in, still in the order the files ended.
  struct FileBook : IFileObserver {
    bool sha256 = false;
    bool md5 = false;
    mutable std::mutex lock;
    RecoveredFile current;  // the file whose sink is open
    DigestTicket currentDigests;
    bool open = false;
    std::vector<RecoveredFile> files;
    std::deque<std::pair<std::size_t, DigestTicket>> unshown;  // ended, not shown: index in files
    std::map<std::string, FileDigests> byPath;
    bool WantsSha256() const override { return sha256; }
    bool WantsMd5() const override { return md5; }
    void FileStarted(const std::string& path, const FoundFileRecord* record) override;
    void DataRun(const ByteRun& run) override;
    void FileWritten(const std::string& path, Result, const DigestTicket& digests) override;
    // A file's last report: its verdict joins what its sink told (if it had one).
    void FileEnded(const std::string& path, Result code);
    // The oldest file not shown, once its digests are in: they are recorded and its path and
    // verdict given. False when none is left or its digests are still being made.
    bool TakeShown(std::string& path, Result& code);
    // The digests of the oldest file not shown; false when every file was.
    bool NextUnshown(DigestTicket& digests) const;
  };
  FileBook digests_;
  std::int64_t startTime_ = 0;
  std::int64_t endTime_ = 0;

  bool cancelledRun_ = false;
  std::int32_t done_ = 0;
  std::int32_t failed_ = 0;
  std::int32_t incomplete_ = 0;
  std::int32_t finalReports_ = 0;  // 100 % reports during the current RecoverItem
  std::int32_t total_ = 0;
  Result lastFileResult_ = kSuccess;
};

}  // namespace rexmoor
