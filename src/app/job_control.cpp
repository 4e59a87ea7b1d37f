#include "app/job_control.h"

#include "app/scan_job.h"

namespace rexmoor {

JobControl::JobControl(IQuestionAsker* asker, std::function<std::string()> cancelQuestion)
    : asker_(asker), cancelQuestion_(std::move(cancelQuestion)) {}

JobControl::~JobControl() { Wait(); }

void JobControl::Start() {
  BeforeStart();
  ClearDone();
  worker_ = std::thread([this] { Run(); });
}

void JobControl::Wait() {
  if (worker_.joinable()) worker_.join();
}

bool JobControl::RequestCancel() {
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (asker_ != nullptr && !asker_->AskYesNo(cancelQuestion_ ? cancelQuestion_() : std::string())) return false;
    cancelRequested_ = true;
  }
  std::unique_lock<std::mutex> lock(doneLock_);
  doneChanged_.wait(lock, [this] { return done_.load(); });
  return true;
}

void JobControl::Cancel() {
  std::lock_guard<std::mutex> lock(lock_);
  cancelRequested_ = true;
}

void JobControl::ClearCancel() {
  std::lock_guard<std::mutex> lock(lock_);
  cancelRequested_ = false;
}

bool JobControl::CancelRequested() {
  std::lock_guard<std::mutex> lock(lock_);
  return cancelRequested_;
}

void JobControl::MarkDone() {
  {
    std::lock_guard<std::mutex> lock(doneLock_);
    done_ = true;
  }
  doneChanged_.notify_all();
}

}  // namespace rexmoor
