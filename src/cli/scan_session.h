// What scan, recover and tree share: the scan of one source, the search for the
// chosen types, and Ctrl-C turned into the jobs' own cancel.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "app/recovery_job.h"
#include "app/scan_job.h"
#include "app/type_patterns.h"
#include "cli/commands.h"
#include "cli/terminal_progress.h"

namespace rexmoor::cli {

extern std::atomic<bool> g_interrupted;

// Turns Ctrl-C and SIGTERM into g_interrupted and a wake-up of every InterruptWaiter.
void CatchInterrupts();

// Blocks until Ctrl-C arrived (true) or Stop was called (false); the signal handler wakes it
// through a pipe, so neither side polls.
class InterruptWaiter {
 public:
  InterruptWaiter();
  ~InterruptWaiter();
  InterruptWaiter(const InterruptWaiter&) = delete;
  InterruptWaiter& operator=(const InterruptWaiter&) = delete;
  bool Wait();
  void Stop();

 private:
  int stop_[2] = {-1, -1};
};

// Watches for Ctrl-C while a job runs and hands it to the job's own cancel.
template <typename Job>
class InterruptWatch {
 public:
  explicit InterruptWatch(Job& job)
      : thread_([this, &job] {
          if (waiter_.Wait()) job.Cancel();
        }) {}
  ~InterruptWatch() {
    waiter_.Stop();
    thread_.join();
  }
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

 private:
  InterruptWaiter waiter_;
  std::thread thread_;
};

class ScanSession {
 public:
  explicit ScanSession(const ScanOptions& options);
  ~ScanSession();

  // Scans the source. Returns an exit code; 0 means the engine is ready.
  int Scan();
  // Asks the engine for the files of the chosen types.
  int Search(RecordList& results);
  // The first source's engine (the only one unless the source was a partitioned disk).
  IFileRecoveryParse& Engine();
  // The engine that found the record, or null.
  IFileRecoveryParse* EngineOf(const FoundFileRecord& record);
  // The source (partition) the record was found on, as the user would name it.
  const std::string& SourceTextOf(const FoundFileRecord& record) const;
  const std::vector<std::string>& SourceTexts() const { return sourceTexts_; }
  // Bytes of the medium (partition or image) the record was found on.
  std::uint64_t SourceBytesOf(const FoundFileRecord& record) const;
  // Preview needs one partition: a partitioned source is refused with the partitions to choose from.
  void RefusePartitionedSource() { allowPartitions_ = false; }
  std::vector<ScanSourceEntry>& Sources() { return sources_; }
  // Ctrl-C came during the scan or after it.
  bool Interrupted() const;
  // Ctrl-C stopped the scan itself: what was found is kept (and a deep scan's place saved).
  bool ScanInterrupted() const { return scanInterrupted_; }
  // The scan ended in an error (said on stderr); what it found is still listed.
  bool ScanFailed() const { return scanFailed_; }
  const std::string& FailureText() const { return failureText_; }
  TerminalProgress& Progress() { return progress_; }

 private:
  const ScanOptions& options_;
  std::vector<ScanSourceEntry> sources_;
  TerminalProgress progress_;
  bool scanInterrupted_ = false;
  bool scanFailed_ = false;
  bool allowPartitions_ = true;
  std::vector<std::string> sourceTexts_;
  std::string failureText_;
};

// Folder path of a record as the engine knows it, '/'-separated with a trailing '/'.
std::string RecordFolder(IFileRecoveryParse& engine, const FoundFileRecord& record);

}  // namespace rexmoor::cli
