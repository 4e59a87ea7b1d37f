#include "formats/carve_at_sector.h"

#include <cstdio>
#include <cstring>

#include "formats/carving_context.h"
#include "formats/extent_walk.h"
#include "formats/file_format_table.h"

namespace rexmoor {

namespace {

// Points the recognisers' shared state at the candidate file's first sector.
CarvingContext& ContextAt(std::int32_t sectorSize, const SectorSource& source, std::uint64_t startSector) {
  CarvingContext& ctx = CarvingContext::Instance();
  ctx.sectorSize = sectorSize;
  ctx.source = &source;
  ctx.fileStartSector = startSector;
  ctx.cursorSector = startSector;
  return ctx;
}

}  // namespace

Result CarveAtSector(std::int32_t sectorSize, const SectorSource& source, std::span<const std::uint8_t> sector,
                     std::uint64_t startSector, std::uint64_t sectorsDoneBase, std::uint64_t sectorsTotal,
                     std::int32_t secondsLeft, std::uint64_t filesFound, CarvedFile* out) {
  if (out == nullptr || !IsSupportedSectorSize(sectorSize) || sector.empty()) return kErrInvalidParameter;

  CarvingContext& ctx = ContextAt(sectorSize, source, startSector);
  ctx.sectorsDoneBase = sectorsDoneBase;
  ctx.sectorsTotal = sectorsTotal;
  ctx.secondsLeft = secondsLeft;
  ctx.filesFound = filesFound;

  // Every rule sees at least a whole sector; a short buffer is the file's start followed by zeros.
  std::uint8_t padded[kMaxSectorSize];
  std::span<const std::uint8_t> header = sector;
  if (sector.size() < static_cast<std::size_t>(sectorSize)) {
    std::memset(padded, 0, static_cast<std::size_t>(sectorSize));
    std::memcpy(padded, sector.data(), sector.size());
    header = {padded, static_cast<std::size_t>(sectorSize)};
  }

  // The header tests run before the flags are reset: an MTS file still being measured by the
  // previous call keeps its own packets from starting a new one.
  const FileTypeId id = RecogniseHeaderFast(header);
  ctx.tsStreamMode = true;
  ctx.mtsInProgress = false;
  const FileFormatEntry* row = FirstRowForType(id);
  if (row == nullptr || row->extentRule == nullptr) return kErrInvalidParameter;
  if (id != kTypeTs) ctx.tsStreamMode = false;
  if (id == kTypeMts) ctx.mtsInProgress = true;

  std::snprintf(out->name, sizeof out->name, "%lld.%s", static_cast<long long>(startSector), row->extension);
  out->typeId = id;
  ctx.lastCallbackResult = 0;
  out->length = row->extentRule(header);
  return ctx.lastCallbackResult == kCancelled ? kCancelled : kSuccess;
}

bool CheckSignatureByExtension(std::span<const std::uint8_t> bytes, std::string_view extension,
                               const SectorSource& source, std::int32_t sectorSize, std::uint64_t startSector) {
  const FileFormatEntry* row = FindFormatByExtension(extension);
  if (row == nullptr) return true;
  ContextAt(sectorSize, source, startSector).tsStreamMode = false;
  return row->headerTest(bytes) == row->typeId;
}

}  // namespace rexmoor
