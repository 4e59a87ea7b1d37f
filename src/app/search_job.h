// The search job: asks every scanned engine for the files of the chosen types and gathers them in
// one result list. Progress, the cancel handshake and the end go through small interfaces.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/job_control.h"
#include "app/scan_job.h"

namespace rexmoor {

class ISearchProgressView : public IProgressBarView {
 public:
  virtual void SetStage(const std::string& text) = 0;
};

class SearchJob : public JobControl {
 public:
  // pattern is in the user's form ("*.jpg|*.png"); the job converts it for the engines.
  SearchJob(std::vector<ScanSourceEntry>& sources, const std::string& pattern, ISearchProgressView* view,
            IQuestionAsker* asker, IScanJobObserver* observer, TextLookup texts);
  ~SearchJob();
  SearchJob(const SearchJob&) = delete;
  SearchJob& operator=(const SearchJob&) = delete;

  // The job's body, for callers that run it on their own thread.
  void Run() override;
  bool Cancelled() { return CancelRequested(); }

  // What the engines appended; read it once the job has ended.
  RecordList& Results() { return results_; }
  const std::string& ConvertedPattern() const { return converted_; }

  static std::int32_t OnFilterProgress(void* userData, std::int32_t percent, std::int32_t reserved);
  // Called on the worker after each progress report, without the job's lock, with its percent.
  void SetReportHook(std::function<void(std::int32_t percent)> hook) { reportHook_ = std::move(hook); }

 private:
  std::string StageText(const ScanSourceEntry& source);

  std::vector<ScanSourceEntry>& sources_;
  std::string converted_;
  ISearchProgressView* view_;
  IQuestionAsker* asker_;
  IScanJobObserver* observer_;
  TextLookup texts_;
  RecordList results_;
  std::function<void(std::int32_t percent)> reportHook_;

};

}  // namespace rexmoor
