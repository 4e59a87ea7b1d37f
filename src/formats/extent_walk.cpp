#include "formats/extent_walk.h"

#include <algorithm>
#include <cstring>

#include "formats/byte_search.h"
#include "formats/file_format_table.h"
#include "formats/fat_dir_entry.h"

namespace rexmoor {

namespace {

constexpr std::uint8_t kNtfsUtf16[] = {'N', 0, 'T', 0, 'F', 0, 'S', 0};
constexpr std::uint8_t kAttrDefUtf16[] = {'$', 0, 'S', 0, 'T', 0, 'A', 0};
// OEM names of the boot sectors that end a carved file (bytes 3..10).
constexpr const char* kBootOemNames[] = {"MSDOS5.0", "MSWIN4.0", "MSWIN4.1", "NTFS    ", "EXFAT   "};

bool StartsWith(std::span<const std::uint8_t> bytes, const void* text, std::size_t length) {
  return bytes.size() >= length && std::memcmp(bytes.data(), text, length) == 0;
}

template <bool kSkipMpeg>
bool ScanForStop(CarvingContext& ctx, std::span<const std::uint8_t> chunk, std::uint64_t& length) {
  if (ctx.sectorSize <= 0) return false;
  const std::size_t s = static_cast<std::size_t>(ctx.sectorSize);
  const std::size_t sectors = chunk.size() / s;
  struct StopScan {
    CarvingContext& ctx;
    explicit StopScan(CarvingContext& c) : ctx(c) { ctx.stopScan = true; }
    ~StopScan() { ctx.stopScan = false; }
  } scanning(ctx);
  for (std::size_t i = 0; i < sectors; ++i) {
    ++ctx.cursorSector;
    const std::span<const std::uint8_t> sector = chunk.subspan(i * s, s);
    // Text does not stop a file (the stop scan does not look for it): text is what many files hold
    // in their middle.
    const FileTypeId id = RecogniseHeaderFast(ctx, sector, kSkipMpeg);
    if (id != kTypeNone || IsStructureSector(sector)) {
      length += static_cast<std::uint64_t>(i) * s;
      return true;
    }
  }
  return false;
}

}  // namespace

bool IsStructureSector(std::span<const std::uint8_t> sector) {
  if (sector.size() < 32) return false;
  if (StartsWith(sector, "FILE", 4) || StartsWith(sector, "INDX", 4)) return true;
  if (StartsWith(sector, "RSTR", 4) && FindForward(sector, kNtfsUtf16) != nullptr) return true;
  if (StartsWith(sector, kAttrDefUtf16, sizeof kAttrDefUtf16)) return true;
  if (sector[0] == 0xEB && sector[2] == 0x90) {
    for (const char* oem : kBootOemNames) {
      if (std::memcmp(sector.data() + 3, oem, 8) == 0) return true;
    }
  }
  return IsFatDirectorySector(sector);
}

bool ScanChunkForStop(CarvingContext& ctx, std::span<const std::uint8_t> chunk, std::uint64_t& length) {
  return ScanForStop<false>(ctx, chunk, length);
}

bool ScanChunkForStopMpeg(CarvingContext& ctx, std::span<const std::uint8_t> chunk, std::uint64_t& length) {
  return ScanForStop<true>(ctx, chunk, length);
}

bool ReadMediumBytes(const CarvingContext& ctx, std::uint64_t byteOffset, std::uint8_t* out, std::size_t byteCount) {
  if (!IsSupportedSectorSize(ctx.sectorSize) || ctx.source == nullptr || out == nullptr) return false;
  if (byteCount == 0) return true;
  if (byteCount > kMaxMediumRead) return false;
  const std::uint64_t s = static_cast<std::uint64_t>(ctx.sectorSize);
  std::uint64_t sector = byteOffset / s;
  std::size_t skip = static_cast<std::size_t>(byteOffset % s);
  std::uint32_t got = 0;
  if (skip == 0 && byteCount % s == 0) {
    return ReadSectors(static_cast<std::int32_t>(byteCount / s), *ctx.source, out, sector, ctx.sectorSize, &got) ==
           kSuccess;
  }
  std::uint8_t bounce[kMaxSectorSize];
  std::size_t done = 0;
  while (done < byteCount) {
    if (ReadSectors(1, *ctx.source, bounce, sector, ctx.sectorSize, &got) != kSuccess) return false;
    const std::size_t piece = std::min<std::size_t>(byteCount - done, static_cast<std::size_t>(s) - skip);
    std::memcpy(out + done, bounce + skip, piece);
    done += piece;
    skip = 0;
    ++sector;
  }
  return true;
}

bool ReadFileBytesAt(const CarvingContext& ctx, std::span<const std::uint8_t> header, std::uint64_t fileOffset, std::uint8_t* out,
                     std::size_t byteCount) {
  if (out == nullptr) return false;
  if (fileOffset <= header.size() && byteCount <= header.size() - fileOffset) {
    if (byteCount != 0) std::memcpy(out, header.data() + fileOffset, byteCount);
    return true;
  }
  if (!IsSupportedSectorSize(ctx.sectorSize)) return false;
  std::uint64_t base = 0;
  std::uint64_t offset = 0;
  if (__builtin_mul_overflow(ctx.fileStartSector, static_cast<std::uint64_t>(ctx.sectorSize), &base) ||
      __builtin_add_overflow(base, fileOffset, &offset))
    return false;
  return ReadMediumBytes(ctx, offset, out, byteCount);
}

std::uint32_t ReadMediumSectorsClipped(const CarvingContext& ctx, std::uint64_t firstSector, std::uint32_t count,
                                       std::uint8_t* out) {
  if (!IsSupportedSectorSize(ctx.sectorSize) || ctx.source == nullptr || out == nullptr) return 0;
  const std::uint64_t total = ctx.source->totalSectors;
  if (firstSector >= total) return 0;
  const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, total - firstSector));
  if (n == 0) return 0;
  // Sectors the sweep holds in memory already are copied from there.
  const CarvingContext::MediumWindow& w = ctx.window;
  const auto s = static_cast<std::uint64_t>(ctx.sectorSize);
  std::uint32_t copied = 0;
  if (w.data != nullptr && firstSector >= w.firstSector && firstSector - w.firstSector < w.sectors) {
    copied = static_cast<std::uint32_t>(std::min<std::uint64_t>(n, w.sectors - (firstSector - w.firstSector)));
    std::memcpy(out, w.data + (firstSector - w.firstSector) * s, static_cast<std::size_t>(copied * s));
    if (copied == n) return n;
  }
  std::uint32_t got = 0;
  if (ReadSectors(static_cast<std::int32_t>(n - copied), *ctx.source, out + copied * s, firstSector + copied,
                  ctx.sectorSize, &got) != kSuccess)
    return 0;
  return n;
}

bool SectorTailAccepts(const std::uint8_t* base, std::size_t size, std::uint64_t baseOffset, std::uint64_t end,
                       std::int32_t sectorSize) {
  if (sectorSize <= 0) return false;
  const std::uint64_t s = static_cast<std::uint64_t>(sectorSize);
  if (end % s == 0) return true;
  if (end < baseOffset) return false;
  const std::uint64_t from = end - baseOffset;
  const std::uint64_t to = (end / s + 1) * s - baseOffset;
  if (to > size) return false;
  const std::uint8_t* p = base + from;
  const std::uint8_t* stop = base + to;
  return std::all_of(p, stop, [](std::uint8_t b) { return b == 0; });
}

namespace {

// The chunk of count sectors at position where it lies in the sweep's block already, when the
// block also holds the sector before it and that sector ends with the bytes the walk keeps as
// history; null otherwise (the chunk is then read into the walk's own buffer).
const std::uint8_t* ChunkInWindow(const CarvingContext& ctx, std::uint64_t position, std::uint32_t count, const std::uint8_t* history,
                                  std::size_t historyBytes) {
  const CarvingContext::MediumWindow& w = ctx.window;
  if (w.data == nullptr || ctx.source == nullptr || position == 0 || position - 1 < w.firstSector) return nullptr;
  const std::uint64_t offset = position - w.firstSector;
  if (offset >= w.sectors || count > w.sectors - offset || count > ctx.source->totalSectors - position) return nullptr;
  const std::uint8_t* data = w.data + offset * static_cast<std::uint64_t>(ctx.sectorSize);
  if (std::memcmp(data - historyBytes, history, historyBytes) != 0) return nullptr;
  return data;
}

}  // namespace

std::uint64_t ExtentWalk(CarvingContext& ctx, std::span<const std::uint8_t> headerSector, const WalkParams& params,
                         WalkFooter* footer) {
  const std::int32_t sectorSize = ctx.sectorSize;
  if (!IsSupportedSectorSize(sectorSize)) return 0;
  const std::uint64_t s = static_cast<std::uint64_t>(sectorSize);
  std::uint64_t length = s;

  std::span<std::uint8_t> scratch = ctx.Scratch();
  if (scratch.size() < CarvingContext::kScratchBytes || ctx.source == nullptr)
    return footer != nullptr ? footer->Finish(length) : length;
  std::uint8_t* chunk = scratch.data() + kWalkSeamBytes;

  // The header sector counts towards the limit.
  const std::uint64_t maxSectors = params.limit / s;
  const std::uint64_t walkSectors = maxSectors > 0 ? maxSectors - 1 : 0;
  const std::uint32_t chunkSectors = static_cast<std::uint32_t>(kWalkChunkBytes / s);

  const std::size_t headerBytes = std::min<std::size_t>(headerSector.size(), s);
  std::size_t history = std::min<std::size_t>(kWalkSeamBytes, headerBytes);
  if (history > 0) std::memcpy(chunk - history, headerSector.data() + headerBytes - history, history);

  std::uint64_t sectorsRead = 0;
  while (sectorsRead < walkSectors) {
    const std::uint64_t position = ctx.fileStartSector + 1 + sectorsRead;
    if (position < ctx.fileStartSector) break;  // wrapped
    const std::uint32_t wanted =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(chunkSectors, walkSectors - sectorsRead));
    // Clipped to the medium's end: the last file of a medium is measured like any other. What the
    // sweep holds in memory is looked at where it lies.
    const std::uint8_t* data = position < ctx.source->totalSectors
                                   ? ChunkInWindow(ctx, position, wanted, chunk - history, history)
                                   : nullptr;
    const std::uint32_t got = data != nullptr ? wanted : ReadMediumSectorsClipped(ctx, position, wanted, chunk);
    if (got == 0) break;
    if (data == nullptr) data = chunk;
    sectorsRead += got;

    if (ctx.progressCallback != nullptr) {
      const std::uint64_t done = ctx.sectorsDoneBase + sectorsRead;
      const std::int32_t progress = SweepProgressFigure(done, ctx.sectorsTotal);
      ctx.lastCallbackResult = ctx.progressCallback(ctx.userData, progress, ctx.weight, ctx.secondsLeft, done,
                                                    ctx.sectorsTotal, ctx.filesFound, 0);
      if (ctx.lastCallbackResult != 0) break;
    }

    const std::size_t chunkBytes = static_cast<std::size_t>(got) * s;
    std::uint64_t stopLength = length;
    const std::span<const std::uint8_t> bytes(data, chunkBytes);
    const bool stop = params.mpegStops ? ScanChunkForStopMpeg(ctx, bytes, stopLength) : ScanChunkForStop(ctx, bytes, stopLength);

    if (footer != nullptr) {
      ChunkView view;
      view.data = data;
      view.history = history;
      // A footer past the sector where the next file begins belongs to that file.
      view.size = stop ? static_cast<std::size_t>(stopLength - length) : chunkBytes;
      view.readBytes = chunkBytes;
      view.offset = length;
      view.stopFound = stop;
      view.sectorSize = sectorSize;
      std::uint64_t end = 0;
      if (footer->Examine(view, &end)) return end;
    }
    if (stop) {
      length = stopLength;
      break;
    }
    length += chunkBytes;
    history = std::min<std::size_t>(kWalkSeamBytes, chunkBytes);
    std::memmove(chunk - history, data + chunkBytes - history, history);
    if (got < wanted) break;  // the medium ends here
  }
  return footer != nullptr ? footer->Finish(length) : length;
}

}  // namespace rexmoor
