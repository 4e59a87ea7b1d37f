#include "formats/carve_at_sector.h"

#include <cstdio>
#include <cstring>

#include "formats/carving_context.h"
#include "formats/extent_walk.h"
#include "formats/file_format_table.h"

namespace rexmoor {

namespace {

// Points the recognisers' state at the candidate file's first sector.
CarvingContext& ContextAt(CarvingContext& ctx, std::int32_t sectorSize, const SectorSource& source,
                          std::uint64_t startSector) {
  ctx.sectorSize = sectorSize;
  ctx.source = &source;
  ctx.fileStartSector = startSector;
  ctx.cursorSector = startSector;
  return ctx;
}

}  // namespace

Result CarveAtSector(CarvingContext& context, std::int32_t sectorSize, const SectorSource& source, std::span<const std::uint8_t> sector,
                     std::uint64_t startSector, std::uint64_t sectorsDoneBase, std::uint64_t sectorsTotal,
                     std::int32_t secondsLeft, std::uint64_t filesFound, CarvedFile* out) {
  if (out == nullptr || !IsSupportedSectorSize(sectorSize) || sector.empty()) return kErrInvalidParameter;

  CarvingContext& ctx = ContextAt(context, sectorSize, source, startSector);
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
  const FileTypeId id = RecogniseHeaderFast(ctx, header);
  ctx.tsStreamMode = true;
  ctx.mtsInProgress = false;
  const FileFormatEntry* row = FirstRowForType(id);
  if (row == nullptr || row->extentRule == nullptr) return kErrInvalidParameter;
  if (IsTextType(id) && !ctx.carveText) return kErrInvalidParameter;
  if (id != kTypeTs) ctx.tsStreamMode = false;
  if (id == kTypeMts) ctx.mtsInProgress = true;

  ctx.lastCallbackResult = 0;
  ctx.extentBasis = CarvingContext::ExtentBasis::kRule;
  const std::uint64_t length = row->extentRule(ctx, header);
  if (ctx.extentBasis == CarvingContext::ExtentBasis::kRejected && ctx.lastCallbackResult == 0)
    return kErrInvalidParameter;
  std::snprintf(out->name, sizeof out->name, "%lld.%s", static_cast<long long>(startSector), row->extension);
  out->typeId = id;
  out->length = length;
  out->endEstimated = ctx.extentBasis != CarvingContext::ExtentBasis::kStructure;
  return ctx.lastCallbackResult == kCancelled ? kCancelled : kSuccess;
}

bool CheckSignatureByExtension(std::span<const std::uint8_t> bytes, std::string_view extension,
                               const SectorSource& source, std::int32_t sectorSize, std::uint64_t startSector) {
  const FileFormatEntry* row = FindFormatByExtension(extension);
  // Text of any kind, or in an encoding the carver does not read, is still the file's content.
  if (row == nullptr || IsTextType(row->typeId)) return true;
  CarvingContext ctx;
  ContextAt(ctx, sectorSize, source, startSector).tsStreamMode = false;
  return row->headerTest(ctx, bytes) == row->typeId;
}

}  // namespace rexmoor
