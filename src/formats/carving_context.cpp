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
  extentBasis = ExtentBasis::kRule;
  tsStreamMode = true;
  mtsInProgress = false;
  tsExtents.Clear();
  window = MediumWindow{};
}

std::span<std::uint8_t> CarvingContext::Scratch() {
  if (!scratch_) scratch_.reset(new (std::nothrow) std::uint8_t[kScratchBytes]);
  return {scratch_.get(), scratch_ ? kScratchBytes : 0};
}

std::span<std::uint8_t> CarvingContext::StructureBuffer() {
  if (!structure_) structure_.reset(new (std::nothrow) std::uint8_t[kStructureBytes]);
  return {structure_.get(), structure_ ? kStructureBytes : 0};
}

}  // namespace rexmoor
