// The callbacks an engine is handed (SetCallbacks, SetFilterCallback), kept in one place so that
// every engine stores and calls them the same way.
#pragma once

#include <cstdint>

#include <algorithm>

#include "engine/file_recovery_parse.h"
#include "engine/folder_recovery.h"
#include "platform/clock.h"

namespace rexmoor {

struct EngineCallbacks {
  ScanProgressCallback scan = nullptr;
  FileProgressCallback file = nullptr;
  void* userData = nullptr;
  std::int32_t weight = 100;
  FilterProgressCallback filter = nullptr;
  void* filterUserData = nullptr;

  void Set(ScanProgressCallback scanCallback, FileProgressCallback fileCallback, void* data, std::int32_t w) {
    scan = scanCallback;
    file = fileCallback;
    userData = data;
    weight = w;
  }
  void SetFilter(FilterProgressCallback callback, void* data) {
    filter = callback;
    filterUserData = data;
  }
  // A scan progress report without sector figures; non-zero asks the scan to stop.
  std::int32_t ReportScan(std::int32_t progress, std::int32_t secondsLeft) const {
    return ReportScanWeighted(progress, weight, secondsLeft);
  }
  std::int32_t ReportScanWeighted(std::int32_t progress, std::int32_t w, std::int32_t secondsLeft) const {
    if (scan == nullptr) return 0;
    return scan(userData, progress, w, secondsLeft, 0, 0, 0, 0);
  }
  FileReporter Reporter() const { return FileReporter{file, userData}; }
};

// Progress reports during a folder walk come at most this often.
inline constexpr std::uint32_t kScanReportIntervalMs = 5000;

// The progress of a quick engine's folder walk, which cannot tell how far it is: the figure
// creeps up, in the quick phase of a deep scan (weight 9) inside that phase's share, and stays
// below the 80 that reports the walk's end.
class WalkProgress {
 public:
  explicit WalkProgress(const EngineCallbacks& callbacks) : callbacks_(callbacks), lastReport_(TickCountMs()) {}
  // Called after each folder; reports when the interval has passed. Non-zero asks to stop.
  std::int32_t Tick() {
    const std::uint32_t tick = TickCountMs();
    if (tick - lastReport_ < kScanReportIntervalMs) return 0;
    lastReport_ = tick;
    std::int32_t verdict = 0;
    if (callbacks_.weight == 100) {
      verdict = callbacks_.ReportScanWeighted(progress_, 100, secondsLeft_);
      progress_ = std::min(progress_ + 1, kProgressCap);
      secondsLeft_ = std::max(secondsLeft_ - 1, kSecondsFloor);
    } else if (callbacks_.weight == 9) {
      verdict = callbacks_.ReportScanWeighted(quickProgress_, 9, -1);
      quickProgress_ = std::min(quickProgress_ + 1, kProgressCap);
    }
    return verdict;
  }

 private:
  static constexpr std::int32_t kProgressCap = 79;
  static constexpr std::int32_t kSecondsFloor = 11;

  const EngineCallbacks& callbacks_;
  std::uint32_t lastReport_;
  std::int32_t progress_ = 2;
  std::int32_t secondsLeft_ = 99;
  std::int32_t quickProgress_ = 21;
};

}  // namespace rexmoor
