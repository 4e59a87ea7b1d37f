// Implemented by the deep-scan engine: whether opening it found an earlier scan log of the same,
// unchanged source that the new scan may continue from.
#pragma once

#include <string>

namespace rexmoor {

class IResumableEngine {
 public:
  virtual ~IResumableEngine() = default;
  virtual bool FoundPreviousScan() const = 0;
  // Forget the earlier scan; the job then deletes its log and scans afresh.
  virtual void ClearPreviousScan() = 0;
  virtual std::string PreviousScanFolder() const = 0;
  // The last scan saved where it stood, so that a later one can continue from there.
  virtual bool SavedItsPlace() const = 0;
};

}  // namespace rexmoor
