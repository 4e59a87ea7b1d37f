// The callbacks an engine is handed (SetCallbacks, SetFilterCallback), kept in one place so that
// every engine stores and calls them the same way.
#pragma once

#include <cstdint>

#include "engine/file_recovery_parse.h"
#include "engine/folder_recovery.h"

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

}  // namespace rexmoor
