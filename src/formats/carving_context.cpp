#include "formats/carving_context.h"

#include <new>

namespace rexmoor {

void TsExtentList::Add(std::uint64_t first, std::uint64_t last) {
  extents_.push_back(Extent{first, last});
}

bool TsExtentList::Contains(std::uint64_t sector) const {
  for (const Extent& e : extents_) {
    if (sector >= e.first && sector <= e.last) return true;
  }
  return false;
}

CarvingContext& CarvingContext::Instance() {
  static CarvingContext context;
  return context;
}

void CarvingContext::ResetState() {
  sectorSize = 512;
  source = nullptr;
  fileStartSector = 0;
  cursorSector = 0;
  sectorsDoneBase = 0;
  sectorsTotal = 0;
  secondsLeft = -1;
  filesFound = 0;
  progressCallback = nullptr;
  userData = nullptr;
  weight = 100;
  lastCallbackResult = 0;
  tsStreamMode = true;
  mtsInProgress = false;
  tsExtents.Clear();
  window = MediumWindow{};
}

int CarvingContext::ScratchLeaseCount() const {
  std::lock_guard<std::mutex> guard(leaseLock_);
  return leases_;
}

void CarvingContext::Acquire() {
  std::lock_guard<std::mutex> guard(leaseLock_);
  ++leases_;
  if (!scratch_) scratch_.reset(new (std::nothrow) std::uint8_t[kScratchBytes]);
}

void CarvingContext::Release() {
  std::lock_guard<std::mutex> guard(leaseLock_);
  if (leases_ > 0 && --leases_ == 0) scratch_.reset();
}

}  // namespace rexmoor
