#include "formats/structure_extent.h"

#include <algorithm>
#include <cstring>

#include "formats/extent_walk.h"
#include "formats/sector_size.h"

namespace rexmoor::formats {

MediumFileBytes::MediumFileBytes(CarvingContext& ctx, std::span<const std::uint8_t> header)
    : ctx_(ctx), header_(header) {
  if (!IsSupportedSectorSize(ctx.sectorSize) || ctx.source == nullptr) {
    stopped_ = true;
    return;
  }
  sectorSize_ = static_cast<std::uint64_t>(ctx.sectorSize);
  if (__builtin_mul_overflow(ctx.fileStartSector, sectorSize_, &base_) ||
      __builtin_mul_overflow(ctx.source->totalSectors, sectorSize_, &mediumBytes_)) {
    stopped_ = true;
    return;
  }
  buffer_ = ctx.StructureBuffer().data();
  if (buffer_ == nullptr) stopped_ = true;
}

void MediumFileBytes::Report(std::uint64_t reachedBytes) {
  if (reachedBytes < reported_ + kWalkChunkBytes || ctx_.progressCallback == nullptr) return;
  reported_ = reachedBytes;
  const std::uint64_t done = ctx_.sectorsDoneBase + reachedBytes / sectorSize_;
  ctx_.lastCallbackResult = ctx_.progressCallback(ctx_.userData, SweepProgressFigure(done, ctx_.sectorsTotal),
                                                  ctx_.weight, ctx_.secondsLeft, done, ctx_.sectorsTotal,
                                                  ctx_.filesFound, 0);
  if (ctx_.lastCallbackResult != 0) stopped_ = true;
}

std::span<const std::uint8_t> MediumFileBytes::View(std::uint64_t offset, std::size_t want) {
  if (stopped_) return {};
  std::uint64_t at = 0;
  if (__builtin_add_overflow(base_, offset, &at) || at >= mediumBytes_) return {};
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>({want, kMaxFileView, mediumBytes_ - at}));
  if (n == 0) return {};
  Report(offset + n);
  if (stopped_) return {};
  if (offset < header_.size() && n <= header_.size() - offset) return header_.subspan(offset, n);

  // The sweep's block, where it holds all of the bytes.
  const CarvingContext::MediumWindow& w = ctx_.window;
  if (w.data != nullptr) {
    const std::uint64_t first = w.firstSector * sectorSize_;
    const std::uint64_t bytes = w.sectors * sectorSize_;
    if (at >= first && at - first <= bytes && n <= bytes - (at - first)) return {w.data + (at - first), n};
  }
  if (at >= cachedFirst_ && at - cachedFirst_ <= cachedBytes_ && n <= cachedBytes_ - (at - cachedFirst_))
    return {buffer_ + (at - cachedFirst_), n};

  const std::uint64_t firstSector = at / sectorSize_;
  const std::uint64_t lastSector = (at + n - 1) / sectorSize_;
  const auto count = static_cast<std::uint32_t>(lastSector - firstSector + 1);
  const std::uint32_t got = ReadMediumSectorsClipped(ctx_, firstSector, count, buffer_);
  cachedFirst_ = firstSector * sectorSize_;
  cachedBytes_ = static_cast<std::size_t>(got * sectorSize_);
  if (got == 0) return {};
  const std::size_t skip = static_cast<std::size_t>(at - cachedFirst_);
  if (skip >= cachedBytes_) return {};
  return {buffer_ + skip, std::min(n, cachedBytes_ - skip)};
}

std::optional<std::uint64_t> MeasureByStructure(CarvingContext& ctx, std::span<const std::uint8_t> header,
                                                const StructureWalk& walk, std::uint64_t limit) {
  if (!ctx.structureWalks) return std::nullopt;
  MediumFileBytes file(ctx, header.first(std::min<std::size_t>(header.size(), ctx.sectorSize > 0 ? ctx.sectorSize : 0)));
  const WalkResult r = walk(file, limit);
  if (file.Stopped() && ctx.lastCallbackResult != 0) {
    ctx.extentBasis = CarvingContext::ExtentBasis::kFallback;
    return static_cast<std::uint64_t>(ctx.sectorSize);
  }
  switch (r.verdict) {
    case WalkVerdict::kMeasured:
      if (r.length > 0 && r.length <= limit) {
        ctx.extentBasis = CarvingContext::ExtentBasis::kStructure;
        return r.length;
      }
      break;
    case WalkVerdict::kNotThisFormat:
      ctx.extentBasis = CarvingContext::ExtentBasis::kRejected;
      return 0;
    case WalkVerdict::kUnsure:
      break;
  }
  ctx.extentBasis = CarvingContext::ExtentBasis::kFallback;
  return std::nullopt;
}

}  // namespace rexmoor::formats
