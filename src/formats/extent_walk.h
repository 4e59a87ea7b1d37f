// Measuring a file whose first sector has been recognised: the common walk that reads on from
// the header in 64 KiB chunks until another file or file-system metadata begins (or a type's
// footer is found, or the type's limit is reached), and the tests that decide where a file must
// stop. All of it works on the CarvingContext it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include <algorithm>

#include "formats/byte_search.h"
#include "formats/carving_context.h"
#include "formats/sector_size.h"

namespace rexmoor {


// Whether a sector holds file-system metadata: an NTFS file record, index block, log restart
// page or attribute-definition table, a FAT/NTFS/exFAT boot sector, or a FAT directory sector.
// The span is one sector. False when it is shorter than 32 bytes.
bool IsStructureSector(std::span<const std::uint8_t> sector);

// Treats the chunk as consecutive sectors of the context's sector size. For each sector the
// context's cursorSector advances by one; at the first sector that begins a recognised file or
// holds metadata, adds its distance from the chunk start to length and returns true.
bool ScanChunkForStop(CarvingContext& ctx, std::span<const std::uint8_t> chunk, std::uint64_t& length);
// The same, except that MPEG program-stream headers (every pack begins with one) do not stop.
bool ScanChunkForStopMpeg(CarvingContext& ctx, std::span<const std::uint8_t> chunk, std::uint64_t& length);

// Reads byteCount bytes at an absolute byte offset of the context's medium through ReadSectors
// with the context's sector size. False on any read error, range error or unusable sector size.
// At most kMaxMediumRead bytes per call.
inline constexpr std::size_t kMaxMediumRead = 0x10000;
bool ReadMediumBytes(const CarvingContext& ctx, std::uint64_t byteOffset, std::uint8_t* out, std::size_t byteCount);
// byteCount bytes of the file being measured at fileOffset (from the start of its first sector,
// context fileStartSector): from the given header bytes when they hold them, else from the medium.
bool ReadFileBytesAt(const CarvingContext& ctx, std::span<const std::uint8_t> header, std::uint64_t fileOffset, std::uint8_t* out,
                     std::size_t byteCount);
// Whole sectors [first, first + count) of the context's medium into out; count is clipped to the
// medium's end and the number of sectors read is returned (0 on a read error or outside it).
std::uint32_t ReadMediumSectorsClipped(const CarvingContext& ctx, std::uint64_t firstSector, std::uint32_t count, std::uint8_t* out);

// The sector-tail rule: a footer ending at file offset end (just past its last byte) is accepted
// when end is a multiple of the sector size, or every byte from end to the end of its sector is
// zero. base holds the file's bytes from file offset baseOffset (a multiple of the sector size) on,
// size of them; bytes the view does not hold count as non-zero.
bool SectorTailAccepts(const std::uint8_t* base, std::size_t size, std::uint64_t baseOffset, std::uint64_t end,
                       std::int32_t sectorSize);

// One chunk of a walk as a footer rule sees it.
struct ChunkView {
  const std::uint8_t* data = nullptr;  // first byte of the chunk
  std::size_t history = 0;     // bytes of the file before data still readable at data[-history..-1]
  std::size_t size = 0;        // bytes of the chunk that belong to the file (up to a stop sector)
  std::size_t readBytes = 0;   // bytes read in this chunk
  std::uint64_t offset = 0;    // file offset of data[0]
  bool stopFound = false;
  std::int32_t sectorSize = 512;

  // The searchable bytes for a pattern of the given length: the chunk preceded by enough history
  // to catch a pattern split by the chunk boundary (and no more, so nothing is found twice).
  std::span<const std::uint8_t> Window(std::size_t patternLength) const {
    const std::size_t back = patternLength == 0 ? 0 : (history < patternLength - 1 ? history : patternLength - 1);
    return {data - back, size + back};
  }
  // The first occurrence of a pattern in Window(), or null.
  const std::uint8_t* Find(std::span<const std::uint8_t> pattern) const {
    return FindForward(Window(pattern.size()), pattern);
  }
  // File offset of a pointer into Window().
  std::uint64_t FileOffset(const std::uint8_t* p) const {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(offset) + (p - data));
  }
  bool TailAccepts(std::uint64_t end) const {
    return SectorTailAccepts(data, size, offset, end, sectorSize);
  }
};

// A type's footer handling, consulted once per chunk after the stop scan.
class WalkFooter {
 public:
  virtual ~WalkFooter() = default;
  // Returns true with *end (bytes from the file start) to end the walk there.
  virtual bool Examine(const ChunkView& chunk, std::uint64_t* end) = 0;
  // The final length of a walk that no footer ended (candidate footers take the smaller).
  virtual std::uint64_t Finish(std::uint64_t walkLength) { return walkLength; }
};

// A footer that notes candidate ends as it goes: a walk that no footer ended is cut to the
// latest one noted.
class CandidateFooter : public WalkFooter {
 public:
  std::uint64_t Finish(std::uint64_t walkLength) override {
    return noted_ ? std::min(candidate_, walkLength) : walkLength;
  }

 protected:
  void Note(std::uint64_t end) {
    candidate_ = end;
    noted_ = true;
  }
  bool Noted() const { return noted_; }
  std::uint64_t Candidate() const { return candidate_; }

 private:
  std::uint64_t candidate_ = 0;
  bool noted_ = false;
};

struct WalkParams {
  std::uint64_t limit = 0;  // L: at most L / S sectors are measured, the header sector included
  bool mpegStops = false;   // use the stop scan that ignores MPEG pack headers
};

// Reads on from the sector after the header sector (context fileStartSector) in chunks of 64 KiB
// into the scratch buffer and returns the measured length: from the header to the first stop
// sector (ScanChunkForStop), a footer's end or the limit. Per chunk: read (clipped to the medium's
// end), report progress, scan for a stop, let the footer look at the chunk's bytes up to the stop.
// A read error or a non-zero progress-callback result (kept in lastCallbackResult) ends the walk
// with the length so far. headerSector supplies the seam bytes for the first chunk.
std::uint64_t ExtentWalk(CarvingContext& ctx, std::span<const std::uint8_t> headerSector, const WalkParams& params,
                         WalkFooter* footer);
// The walk with the ordinary stop scan and at most limit bytes.
inline std::uint64_t ExtentWalk(CarvingContext& ctx, std::span<const std::uint8_t> headerSector, std::uint64_t limit,
                                WalkFooter* footer) {
  WalkParams params;
  params.limit = limit;
  return ExtentWalk(ctx, headerSector, params, footer);
}

}  // namespace rexmoor
