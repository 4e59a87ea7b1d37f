// Progress on stderr: a redrawn bar on a terminal, occasional plain lines otherwise.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "app/recovery_job.h"
#include "app/scan_job.h"
#include "app/search_job.h"

namespace rexmoor::cli {

class TerminalProgress : public IScanProgressView, public ISearchProgressView, public IRecoveryProgressView {
 public:
  explicit TerminalProgress(bool quiet = false);
  ~TerminalProgress() override;

  // Clears the bar so that ordinary output can follow.
  void Finish();

  void SetStage(const std::string& text) override;
  void SetProgressBar(std::int32_t percent) override;
  void SetTime(const std::string& text) override;
  void SetPercent(const std::string&) override {}
  void SetSectors(const std::string& text) override;
  void SetTotalFiles(const std::string& text) override;
  void SetElapsed(const std::string& text) override;
  void SetSpeed(const std::string& text) override;
  void ShowCounters(bool visible) override;
  void SetVisible(bool) override {}
  void SetCurrent(const std::string& path) override;
  void SetCounts(const std::string& text) override;
  void AddDetail(const std::string&, Result, const std::string&) override {}
  void JobEnded() override {}

 private:
  void Draw(bool force);
  // Sets one of the texts under the lock; the next redraw shows it.
  void Store(std::string& field, const std::string& text);

  std::mutex mutex_;
  bool tty_;
  bool quiet_;
  bool drawn_ = false;
  std::string stage_;
  std::string time_;
  std::string counters_;
  std::string elapsed_;
  std::string speed_;
  std::int32_t percent_ = 0;
  std::uint32_t lastDraw_ = 0;
  std::int32_t lastPlainPercent_ = -1;
  // A scan's reports end with ShowCounters, which then draws the line once all figures are in.
  bool drawnByCounters_ = false;
};

}  // namespace rexmoor::cli
