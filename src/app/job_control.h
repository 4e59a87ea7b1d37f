// What the scan, search and recovery jobs share (their base): the worker thread, the cancel
// handshake and the end of the work. The job's progress callbacks hold Mutex() while they report, so that a cancel
// question asked under the same lock pauses the worker at its next report.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace rexmoor {

class IQuestionAsker;

class JobControl {
 public:
  virtual ~JobControl();
  JobControl(const JobControl&) = delete;
  JobControl& operator=(const JobControl&) = delete;

  // Runs the job on a worker thread; returns at once.
  void Start();
  // The job's body; public so that callers and tests can run it on a thread of their own.
  virtual void Run() = 0;
  // Waits for the worker thread to end.
  void Wait();
  // Asks the question (with the lock held); on yes, stops the job and waits until its work is
  // over. Returns whether the job was cancelled.
  bool RequestCancel();
  // Cancel without asking (a signal from the terminal).
  void Cancel();
  void ClearCancel();
  bool CancelRequested();
  // For callers that hold Mutex() already.
  bool CancelRequestedLocked() const { return cancelRequested_; }
  std::mutex& Mutex() { return lock_; }

  // The worker's work is over (results may be read); wakes RequestCancel.
  void MarkDone();
  void ClearDone() { done_ = false; }
  bool Done() const { return done_.load(); }

 protected:
  // cancelQuestion gives the text asked before a cancel. A job's destructor must Wait() before
  // its own members go: the worker runs the job's Run.
  JobControl(IQuestionAsker* asker, std::function<std::string()> cancelQuestion);
  // Called on the starting thread just before the worker starts.
  virtual void BeforeStart() {}

 private:
  IQuestionAsker* asker_;
  std::function<std::string()> cancelQuestion_;
  std::mutex lock_;
  bool cancelRequested_ = false;
  std::atomic<bool> done_{false};
  std::mutex doneLock_;
  std::condition_variable doneChanged_;
  std::thread worker_;
};

}  // namespace rexmoor
