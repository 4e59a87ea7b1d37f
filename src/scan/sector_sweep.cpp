#include "scan/sector_sweep.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <chrono>
#include <new>
#include <optional>
#include <thread>

#include "carve/file_type_recovery.h"
#include "exfat/pro_exfat_recovery.h"
#include "formats/carving_context.h"
#include "fat/pro_fat_recovery.h"
#include "ntfs/pro_ntfs_recovery.h"
#include "platform/byte_view.h"
#include "platform/clock.h"
#include "platform/memory.h"
#include "scan/sector_dispatch.h"

namespace rexmoor {

namespace {

// NTFS record header: u16 flags; bit 1 marks a folder.
constexpr std::size_t kRecordFlagsOffset = 22;
constexpr std::uint16_t kRecordFlagFolder = 0x02;
// The time left is estimated again after this long.
constexpr std::uint32_t kEstimateIntervalMs = 5000;

constexpr std::uint8_t kVisited = 1;
constexpr std::uint8_t kTsStreamMode = 2;
constexpr std::uint8_t kMtsInProgress = 4;

// 64 bytes a step, each step's words ORed in registers; a sector that holds anything mostly shows
// it in its first step, so the rest of it is not read here.
bool IsZeroSector(std::span<const std::uint8_t> sector) {
  const std::uint8_t* p = sector.data();
  const std::size_t n = sector.size();
  std::size_t k = 0;
  for (; k + 64 <= n; k += 64) {
    const std::uint8_t* q = p + k;
    const std::uint64_t any = (LoadU64LE(q) | LoadU64LE(q + 8)) | (LoadU64LE(q + 16) | LoadU64LE(q + 24)) |
                              (LoadU64LE(q + 32) | LoadU64LE(q + 40)) | (LoadU64LE(q + 48) | LoadU64LE(q + 56));
    if (any != 0) return false;
  }
  for (; k < n; ++k)
    if (p[k] != 0) return false;
  return true;
}

// How many of the n sectors of s bytes at `at` are zero before the first that is not. A long run
// of zeros is one pass through memory: it asks for the bytes a little ahead of where it looks
// (a prefetch never faults, past the end included).
std::uint64_t LeadingZeroSectors(const std::uint8_t* at, std::uint64_t n, std::size_t s) {
  constexpr std::uintptr_t kAhead = 8192;
  for (std::uint64_t q = 0; q < n; ++q) {
    const auto here = reinterpret_cast<std::uintptr_t>(at) + q * s;
    for (std::size_t line = 0; line < s; line += 64)
      __builtin_prefetch(reinterpret_cast<const void*>(here + kAhead + line));
    if (!IsZeroSector({at + q * s, s})) return q;
  }
  return n;
}

// A carving step over a sector where nothing is recognised clears the stream flags this way.
void ForgetStream(CarvingContext& ctx) {
  ctx.tsStreamMode = true;
  ctx.mtsInProgress = false;
}

std::uint8_t StreamFlags(const CarvingContext& ctx) {
  return static_cast<std::uint8_t>((ctx.tsStreamMode ? kTsStreamMode : 0) | (ctx.mtsInProgress ? kMtsInProgress : 0));
}

// The walks of a worker's carving steps stop when the sweep stops.
std::int32_t StopCheck(void* stop, std::int32_t, std::int32_t, std::int32_t, std::uint64_t, std::uint64_t,
                       std::uint64_t, std::int32_t) {
  return static_cast<const std::atomic<bool>*>(stop)->load(std::memory_order_relaxed) ? kCancelled : 0;
}

// Page buffers hold whole 4 KiB blocks and start on a 4 KiB boundary (a huge page's, in fact), as
// a direct read needs.
constexpr std::size_t kPageAlign = 4096;

}  // namespace

struct PageBufferFree {
  std::size_t bytes = 0;
  void operator()(std::uint8_t* at) const { FreeLargeBuffer(at, bytes); }
};
using PageBuffer = std::unique_ptr<std::uint8_t[], PageBufferFree>;

SectorSweep::SectorSweep(const SectorSource& source, std::int32_t sectorSize, std::uint64_t partitionStart,
                         std::uint64_t partitionSectors, SweepEngines engines)
    : source_(source),
      sectorSize_(sectorSize),
      recordSize_(SweepRecordSize(static_cast<std::uint32_t>(sectorSize))),
      partitionStart_(partitionStart),
      partitionSectors_(partitionSectors),
      engines_(engines) {}

void SectorSweep::HandRecord(std::span<const std::uint8_t> bytes, std::size_t i, std::uint64_t first) {
  const std::size_t s = static_cast<std::size_t>(sectorSize_);
  const std::span<const std::uint8_t> sector = bytes.subspan(i * s, s);
  if ((LoadU16LE(sector.data() + kRecordFlagsOffset) & kRecordFlagFolder) != 0) {
    ++counts_.ntfsFolderRecords;
    return;
  }
  ++counts_.ntfsFileRecords;
  if (engines_.ntfs == nullptr) return;
  std::span<const std::uint8_t> record = bytes.subspan(i * s);
  if (record.size() < recordSize_) {
    // The record runs past the buffer: read it whole on its own.
    straddling_.assign(std::max<std::size_t>(kStraddlingRecordBytes, recordSize_), 0);
    std::uint32_t got = 0;
    const auto count = static_cast<std::int32_t>(straddling_.size() / s);
    (void)ReadSectors(count, source_, straddling_.data(), first + i, sectorSize_, &got);
    if (std::size_t{got} * s < recordSize_) return;
    record = std::span<const std::uint8_t>(straddling_);
  }
  (void)engines_.ntfs->TakeFileRecord(record.first(recordSize_), first + i);
}

std::int64_t SectorSweep::DispatchBuffer(std::span<const std::uint8_t> bytes, std::uint64_t n, std::uint64_t first,
                                         std::uint64_t sectorsDone, std::uint64_t sectorsTotal,
                                         std::int32_t secondsLeft, std::uint64_t& filesFound, bool& cancelled) {
  cancelled = false;
  const auto s = static_cast<std::uint64_t>(sectorSize_);
  const std::uint64_t arrived = std::min<std::uint64_t>(n, bytes.size() / s);
  std::uint64_t i = 0;
  while (i < arrived) {
    std::uint64_t advance = 1;
    const std::span<const std::uint8_t> sector = bytes.subspan(static_cast<std::size_t>(i * s), static_cast<std::size_t>(s));
    ++counts_.sectorsDispatched;
    if (zeroSkip_ && IsZeroSector(sector)) {
      // What a carving step over nothing leaves behind, without the step; the zeros after it
      // change nothing more.
      if (engines_.carver != nullptr) ForgetStream(engines_.carver->Carving());
      const std::uint64_t more = LeadingZeroSectors(sector.data() + s, arrived - i - 1, static_cast<std::size_t>(s));
      counts_.sectorsDispatched += more;
      i += 1 + more;
      continue;
    }
    switch (ClassifySweepSector(sector, recordSize_)) {
      case SweepSectorKind::NtfsFileRecord:
        HandRecord(bytes, static_cast<std::size_t>(i), first);
        break;
      case SweepSectorKind::FatFolderStart:
        ++counts_.fatFolderStarts;
        if (engines_.fat != nullptr) engines_.fat->TakeFolderStart(sector, first + i);
        break;
      case SweepSectorKind::FatDirectorySector:
        ++counts_.fatDirectorySectors;
        if (engines_.fat != nullptr) engines_.fat->TakeDirectorySector(sector, first + i);
        break;
      case SweepSectorKind::ExfatDirectory:
        ++counts_.exfatDirectorySectors;
        if (engines_.exfat != nullptr) engines_.exfat->TakeDirectorySector(sector, first + i);
        break;
      case SweepSectorKind::Other: {
        if (engines_.carver == nullptr) break;
        const std::uint64_t before = filesFound;
        const Result r = engines_.carver->CarveStep(sectorSize_, sector, first + i, sectorsDone, sectorsTotal,
                                                    secondsLeft, advance, filesFound);
        if (r == kCancelled) {
          // The position stays at this sector, where a continued scan carves it again.
          cancelled = true;
          return -static_cast<std::int64_t>(n - i);
        }
        if (filesFound != before) ++counts_.carvedFiles;
        if (advance == 0) advance = 1;
        break;
      }
    }
    // A hostile advance cannot wrap the position.
    i = advance > UINT64_MAX - i ? UINT64_MAX : i + advance;
  }
  if (i <= n) return 0;
  return static_cast<std::int64_t>(std::min<std::uint64_t>(i - n, static_cast<std::uint64_t>(INT64_MAX)));
}


// --- pages --------------------------------------------------------------------------------------------

// One swept range; end is its length clipped to the partition.
struct SectorSweep::Range {
  std::uint64_t start = 0;
  std::uint64_t length = 0;
  std::uint64_t end = 0;
};

// What a worker saw in a page, swept from each piece's start in a state of its own.
struct SectorSweep::Trace {
  struct Event {
    std::uint64_t sector = 0;  // absolute
    SweepSectorKind kind = SweepSectorKind::Other;
    bool carved = false;       // Other: a file was recognised (else only the streams changed)
    std::uint64_t advance = 1;
    std::uint64_t containerEnd = 0;  // the worker's, after this step
    std::uint32_t tsExtents = 0;     // the worker's stream count, after this step
    std::uint32_t file = 0;          // index into files
  };
  struct PieceEnd {
    std::uint64_t position = 0;  // in the range, where the worker's sweep left the piece
    std::uint8_t flags = 0;
    std::uint64_t containerEnd = 0;
    std::uint32_t tsExtents = 0;
    std::size_t events = 0;      // events up to the piece's end
  };
  std::vector<std::vector<std::uint8_t>> visits;  // per piece and sector: kVisited and the stream flags before
  std::vector<Event> events;
  std::vector<CarvedFile> files;
  std::vector<TsExtentList::Extent> extents;
  std::vector<PieceEnd> ends;
  // The container end the worker starts with: the sweep's when the page was handed out.
  std::uint64_t containerEnd = 0;
};

struct SectorSweep::Page {
  struct Piece {
    std::size_t range = 0;
    std::uint64_t from = 0;  // positions in the range
    std::uint64_t to = 0;
    std::uint64_t first = 0;  // absolute sector at from
  };
  std::uint64_t first = 0;  // absolute sector of data[0]
  std::uint64_t count = 0;
  std::vector<Piece> pieces;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> unread;  // absolute [from, to), ascending
  std::uint64_t windowSectors = 0;  // the sectors from first read without a gap
  PageBuffer data;
  // The page's bytes: data, or shared zeros for a page in a hole.
  const std::uint8_t* bytes = nullptr;
  Trace trace;
  bool read = false;
  bool traced = false;
  bool skipped = false;  // the sweep passes over all of it
  bool hole = false;     // it lies in a hole of the image file: bytes are shared zeros, nothing was read
  bool direct = false;   // read past the system's cache
  bool ready = false;    // handed over by the worker

  // The end of the unread run at sector, or sector when it was read.
  std::uint64_t UnreadEnd(std::uint64_t sector) const {
    for (const auto& [a, b] : unread)
      if (sector >= a && sector < b) return b;
    return sector;
  }
  // The first unread sector at or after sector (UINT64_MAX: none).
  std::uint64_t NextUnread(std::uint64_t sector) const {
    for (const auto& [a, b] : unread)
      if (b > sector) return std::max(a, sector);
    return UINT64_MAX;
  }
};

namespace {
std::atomic<unsigned> g_defaultJobs{0};
std::atomic<bool> g_useLayout{true};
std::atomic<SweepDirectReads> g_readDirect{SweepDirectReads::WhenLarge};
}  // namespace

void SetDefaultSweepJobs(unsigned jobs) { g_defaultJobs.store(jobs); }
unsigned DefaultSweepJobs() { return g_defaultJobs.load(); }

void SetSweepUsesImageLayout(bool on) { g_useLayout.store(on); }

void SetSweepReadsDirect(SweepDirectReads when) { g_readDirect.store(when); }

void SectorSweep::SetJobs(unsigned jobs) {
  if (jobs == 0) jobs = std::max(1u, std::thread::hardware_concurrency());
  jobs_ = std::min(jobs, 64u);
}

std::vector<SectorSweep::Range> SectorSweep::CollectRanges(const SweepPosition& position,
                                                          const NextSweepRange& next) const {
  std::vector<Range> ranges;
  std::uint64_t start = position.rangeStart;
  std::uint64_t length = position.rangeLength;
  while (length != 0) {
    // The partition's end bounds every range, whatever the free map says.
    const std::uint64_t end = start >= partitionSectors_ ? 0 : std::min(length, partitionSectors_ - start);
    ranges.push_back(Range{start, length, end});
    if (!next || length > UINT64_MAX - start) break;
    const std::uint64_t from = start + length;
    std::uint64_t s = 0;
    std::uint64_t l = 0;
    next(from, s, l);
    // Ranges come in ascending order; anything else would sweep in circles.
    if (l == 0 || s < from) break;
    start = s;
    length = l;
  }
  return ranges;
}

bool SectorSweep::PlanPage(const std::vector<Range>& ranges, PlanCursor& at, Page& page) const {
  const auto s = static_cast<std::uint64_t>(sectorSize_);
  const std::uint64_t capacity = std::max<std::uint64_t>(1, pageBytes_ / s);
  const std::uint64_t gap = kSweepGapBytes / s;
  // Reads start on 4 KiB boundaries of the medium.
  const std::uint64_t align = std::max<std::uint64_t>(1, 4096 / s);
  std::uint64_t pageEnd = 0;  // absolute, after the last piece
  while (at.range < ranges.size()) {
    const Range& range = ranges[at.range];
    if (at.position >= range.end) {
      ++at.range;
      at.position = 0;
      continue;
    }
    const std::uint64_t sector = partitionStart_ + range.start + at.position;
    if (!page.pieces.empty() && (sector - pageEnd > gap || sector >= page.first + capacity)) break;
    if (page.pieces.empty()) page.first = sector - sector % align;
    const std::uint64_t room = page.first + capacity - sector;
    const std::uint64_t take = std::min(range.end - at.position, room);
    page.pieces.push_back(Page::Piece{at.range, at.position, at.position + take, sector});
    pageEnd = sector + take;
    at.position += take;
    if (take == room) break;
  }
  if (page.pieces.empty()) return false;
  page.count = pageEnd - page.first;
  return true;
}

void SectorSweep::ReadPage(Page& page) const {
  const auto s = static_cast<std::uint64_t>(sectorSize_);
  const std::uint64_t total = source_.totalSectors;
  const std::uint64_t inside = page.first >= total ? 0 : std::min(page.count, total - page.first);
  const bool layout =
      inside != 0 && inside == page.count && !source_.reader && g_useLayout.load(std::memory_order_relaxed);
  if (layout && holeZeros_ != nullptr && WhollyInHole(source_.handle, page.first * s, inside * s)) {
    page.bytes = holeZeros_;
    page.hole = true;
    page.windowSectors = inside;
    page.read = true;
    return;
  }
  page.bytes = page.data.get();
  std::uint64_t got = 0;
  if (inside != 0 && direct_ != nullptr) {
    got = ReadDirect(page.data.get(), page.first, inside);
    page.direct = got != 0;
  }
  if (got < inside) {
    // What a direct read could not give is read through the cache, which a failing sector may
    // still answer in smaller pieces.
    std::uint32_t more = 0;
    (void)ReadSectorsWhole(static_cast<std::int32_t>(inside - got), source_, page.data.get() + got * s,
                           page.first + got, sectorSize_, &more);
    got += more;
  }
  page.windowSectors = got;
  // Past a failure the page is read on in dispatch buffers, so that one bad spot loses only what
  // it holds.
  const std::uint64_t step = kSweepBufferBytes / s;
  std::uint64_t at = got;
  while (at < page.count) {
    const std::uint64_t n = std::min(step, page.count - at);
    std::uint32_t arrived = 0;
    if (at < inside)
      (void)ReadSectors(static_cast<std::int32_t>(std::min(n, inside - at)), source_, page.data.get() + at * s,
                        page.first + at, sectorSize_, &arrived);
    if (arrived < n) {
      std::memset(page.data.get() + (at + arrived) * s, 0, static_cast<std::size_t>((n - arrived) * s));
      const std::uint64_t a = page.first + at + arrived;
      if (!page.unread.empty() && page.unread.back().second == a)
        page.unread.back().second = a + (n - arrived);
      else
        page.unread.emplace_back(a, a + (n - arrived));
    }
    at += n;
  }
  page.read = true;
}

std::uint64_t SectorSweep::ReadDirect(std::uint8_t* at, std::uint64_t first, std::uint64_t count) const {
  const auto s = static_cast<std::uint64_t>(sectorSize_);
  const std::uint64_t block = directBlock_;
  const std::uint64_t offset = first * s;
  if (block == 0 || offset % block != 0) return 0;
  const std::uint64_t length = count * s;
  // Whole blocks: the buffer holds whole 4 KiB blocks, and the device ends on a block boundary.
  const std::uint64_t whole = (length + block - 1) / block * block;
  std::uint64_t done = 0;
  while (done < whole) {
    const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(whole - done, kMaxWholeReadPiece));
    const ssize_t n = direct_->Pread(at + done, piece, offset + done);
    if (n <= 0) break;
    done += static_cast<std::uint64_t>(n);
    if (static_cast<std::uint64_t>(n) % block != 0) break;  // the device's end
  }
  return std::min(done, length) / s;
}

bool SectorSweep::ZeroSectorsAreNothing() const {
  std::vector<std::uint8_t> zero(static_cast<std::size_t>(sectorSize_), 0);
  if (ClassifySweepSector(zero, recordSize_) != SweepSectorKind::Other) return false;
  if (engines_.carver == nullptr) return true;
  CarvingContext ctx;
  std::uint64_t containerEnd = 0;
  CarvedFile carved;
  std::uint64_t advance = 1;
  const Result r = engines_.carver->Recognise(ctx, containerEnd, sectorSize_, zero, partitionStart_, 0, 0, -1, 0,
                                             carved, advance);
  return r == kErrInvalidParameter && ctx.tsExtents.size() == 0 && StreamFlags(ctx) == kTsStreamMode;
}

bool SectorSweep::TracePage(Page& page, const std::atomic<bool>& stop) const {
  const auto s = static_cast<std::uint64_t>(sectorSize_);
  Trace& trace = page.trace;
  CarvingContext ctx;
  ctx.structureWalks = engines_.carver != nullptr ? engines_.carver->Carving().structureWalks : true;
  ctx.SetProgress(&StopCheck, const_cast<std::atomic<bool>*>(&stop), 90);
  ctx.window = {page.bytes, page.first, page.windowSectors};
  std::uint64_t containerEnd = trace.containerEnd;
  const bool carving = engines_.carver != nullptr && engines_.carver->HasCatalogue();
  CarvedFile carved;  // filled in whole by every find: not cleared for each sector
  for (const Page::Piece& piece : page.pieces) {
    std::vector<std::uint8_t>& visit = trace.visits.emplace_back(static_cast<std::size_t>(piece.to - piece.from), 0);
    const std::uint64_t from = piece.first;
    std::uint64_t p = from;
    const std::uint64_t to = from + (piece.to - piece.from);
    while (p < to) {
      if (stop.load(std::memory_order_relaxed)) return false;
      if (const std::uint64_t e = page.UnreadEnd(p); e != p) {
        p = std::min(e, to);
        continue;
      }
      visit[static_cast<std::size_t>(p - from)] = static_cast<std::uint8_t>(kVisited | StreamFlags(ctx));
      const std::span<const std::uint8_t> sector(page.bytes + (p - page.first) * s, static_cast<std::size_t>(s));
      if (zeroSkip_ && IsZeroSector(sector)) {
        ForgetStream(ctx);
        // The zero sectors after it, up to the next unread one, are passed in one go: each would
        // be marked alike and change nothing. A page in a hole of the image is zeros throughout.
        const std::uint64_t limit = std::min(to, page.NextUnread(p + 1));
        const std::uint64_t q =
            page.hole ? limit
                      : p + 1 + LeadingZeroSectors(page.bytes + (p + 1 - page.first) * s, limit - p - 1,
                                                   static_cast<std::size_t>(s));
        std::fill(visit.begin() + static_cast<std::ptrdiff_t>(p + 1 - from),
                  visit.begin() + static_cast<std::ptrdiff_t>(q - from),
                  static_cast<std::uint8_t>(kVisited | StreamFlags(ctx)));
        p = q;
        continue;
      }
      const SweepSectorKind kind = ClassifySweepSector(sector, recordSize_);
      if (kind != SweepSectorKind::Other) {
        Trace::Event event{p, kind};
        event.containerEnd = containerEnd;
        event.tsExtents = static_cast<std::uint32_t>(ctx.tsExtents.size());
        trace.events.push_back(event);
        ++p;
        continue;
      }
      if (!carving) {
        ++p;
        continue;
      }
      const std::size_t streams = ctx.tsExtents.size();
      std::uint64_t advance = 1;
      const Result r = engines_.carver->Recognise(ctx, containerEnd, sectorSize_, sector, p, 0, 0, -1, 0, carved,
                                                 advance);
      if (r == kCancelled) return false;
      Trace::Event event{p, kind};
      event.carved = r == kSuccess;
      event.containerEnd = containerEnd;
      event.tsExtents = static_cast<std::uint32_t>(ctx.tsExtents.size());
      if (event.carved) {
        event.advance = advance == 0 ? 1 : advance;
        event.file = static_cast<std::uint32_t>(trace.files.size());
        trace.files.push_back(carved);
      }
      if (event.carved || ctx.tsExtents.size() != streams) trace.events.push_back(event);
      const std::uint64_t step = event.carved ? event.advance : 1;
      p = step > UINT64_MAX - p ? UINT64_MAX : p + step;
    }
    Trace::PieceEnd end;
    end.position = piece.from + (p - from);
    if (p - from > UINT64_MAX - piece.from) end.position = UINT64_MAX;
    end.flags = StreamFlags(ctx);
    end.containerEnd = containerEnd;
    end.tsExtents = static_cast<std::uint32_t>(ctx.tsExtents.size());
    end.events = trace.events.size();
    trace.ends.push_back(end);
  }
  trace.extents = ctx.tsExtents.extents();
  return true;
}

Result SectorSweep::Run(SweepPosition& position, std::uint64_t sectorsTotal, const NextSweepRange& next,
                        const SweepProgress& progress, std::uint64_t& filesFound) {
  const auto s = static_cast<std::uint64_t>(sectorSize_);
  const std::uint64_t perBuffer = kSweepBufferBytes / s;
  const std::uint32_t started = TickCountMs();
  std::uint32_t lastEstimate = started;
  std::int32_t secondsLeft = -1;
  if (position.rangeLength == 0) return kSuccess;

  const std::vector<Range> ranges = CollectRanges(position, next);
  // Pages are planned as they are handed out and dropped once merged, so that a large medium
  // holds no more than the pages in flight.
  std::deque<Page> pages;
  std::size_t front = 0;  // the number of pages already dropped
  PlanCursor cursor{0, position.positionInRange};
  bool planned = false;  // every page was planned
  CFileTypeRecovery* carver = engines_.carver;
  if (carver != nullptr) carver->UseSweepSectorSize(sectorSize_);
  zeroSkip_ = ZeroSectorsAreNothing();
  // The sweep reads every page once, front to back.
  if (source_.handle.IsValid()) (void)posix_fadvise(source_.handle.fd(), 0, 0, POSIX_FADV_SEQUENTIAL);
  // The page goes with the sweep; no walk may read it afterwards.
  struct WindowReset {
    CFileTypeRecovery* carver;
    ~WindowReset() {
      if (carver != nullptr) carver->Carving().window = {};
    }
  } windowReset{carver};

  const bool tracing = jobs_ > 1 && carver != nullptr && carver->HasCatalogue();
  const std::size_t inFlight = tracing ? 2 * std::size_t{jobs_} + 1 : 2;
  const std::size_t pageBytes = static_cast<std::size_t>(std::max<std::uint64_t>(1, pageBytes_ / s) * s);
  // Pages in a hole of a sparse image file are not read: they all look at one stretch of zeros
  // (made only when the file has a hole).
  std::optional<SharedZeros> zeros;
  if (!source_.reader && FileHasHole(source_.handle)) zeros.emplace(pageBytes);
  holeZeros_ = zeros ? zeros->Data() : nullptr;
  struct HoleReset {
    const std::uint8_t*& at;
    ~HoleReset() { at = nullptr; }
  } holeReset{holeZeros_};
  // A block device larger than the cache can keep is read past it, a page in one request of its
  // own size: the cache's read-ahead asks a drive for a little at a time, which leaves a fast one
  // waiting, and would push everything else out of memory for nothing. A smaller one is read
  // through the cache, which then serves the files recovered after the scan.
  FileHandle direct;
  const SweepDirectReads when = g_readDirect.load(std::memory_order_relaxed);
  bool large = false;
  if (when == SweepDirectReads::WhenLarge) {
    std::uint64_t swept = 0;  // sectors
    for (const Range& range : ranges) swept = range.end > UINT64_MAX - swept ? UINT64_MAX : swept + range.end;
    const std::uint64_t available = AvailableMemoryBytes();
    large = available != 0 && swept > available / 2 / s;
  }
  if (!source_.reader && (when == SweepDirectReads::Always || large) && source_.handle.IsBlockDevice() &&
      source_.handle.ReopenDirect(direct, directBlock_) == kSuccess && directBlock_ <= kPageAlign)
    direct_ = &direct;
  struct DirectReset {
    const FileHandle*& at;
    ~DirectReset() { at = nullptr; }
  } directReset{direct_};

  std::mutex lock;
  std::condition_variable changed;
  std::size_t claimed = 0;
  std::size_t merged = 0;
  // Where the merged sweep stands: a page that lies wholly before it needs no reading or tracing.
  std::size_t skipRange = SIZE_MAX;
  std::uint64_t skipTo = 0;
  std::uint64_t containerSeed = carver != nullptr ? carver->ContainerEnd() : 0;
  std::atomic<bool> stop{false};
  std::vector<PageBuffer> pool;
  const std::size_t bufferBytes = (pageBytes + kPageAlign - 1) / kPageAlign * kPageAlign;
  // A page buffer from the pool (with lock held); null when there is no memory.
  auto buffer = [&]() -> PageBuffer {
    if (!pool.empty()) {
      auto b = std::move(pool.back());
      pool.pop_back();
      return b;
    }
    return PageBuffer(AllocateLargeBuffer(bufferBytes), PageBufferFree{bufferBytes});
  };
  // Page i, planned when needed (with lock held); null past the last.
  auto pageAt = [&](std::size_t i) -> Page* {
    while (i >= front + pages.size() && !planned) {
      Page next;
      if (PlanPage(ranges, cursor, next))
        pages.push_back(std::move(next));
      else
        planned = true;
    }
    return i < front + pages.size() ? &pages[i - front] : nullptr;
  };
  auto passedOver = [&](const Page& page) {
    for (const Page::Piece& piece : page.pieces)
      if (piece.range != skipRange || piece.to > skipTo) return false;
    return true;
  };
  auto work = [&] {
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
      changed.wait(guard, [&] { return stop.load() || claimed < merged + inFlight; });
      if (stop.load()) return;
      Page* next = pageAt(claimed);
      if (next == nullptr) return;
      ++claimed;
      Page& page = *next;
      if (passedOver(page)) {
        page.skipped = true;
        page.ready = true;
        changed.notify_all();
        continue;
      }
      page.data = buffer();
      page.trace.containerEnd = containerSeed;
      guard.unlock();
      bool traced = false;
      if (page.data) {
        try {
          ReadPage(page);
          if (tracing) traced = TracePage(page, stop);
        } catch (...) {
          traced = false;  // the calling thread sweeps this page itself
        }
      }
      guard.lock();
      page.traced = traced;
      page.ready = true;
      changed.notify_all();
    }
  };
  std::vector<std::thread> workers;
  const unsigned wanted = tracing ? jobs_ : (readAhead_ ? 1u : 0u);
  for (unsigned k = 0; k < wanted; ++k) {
    try {
      workers.emplace_back(work);
    } catch (const std::exception&) {
      break;  // no thread: the sweep reads by itself
    }
  }
  struct Join {
    std::vector<std::thread>& workers;
    std::mutex& lock;
    std::condition_variable& changed;
    std::atomic<bool>& stop;
    ~Join() {
      {
        std::lock_guard<std::mutex> guard(lock);
        stop.store(true);
      }
      changed.notify_all();
      for (std::thread& t : workers) t.join();
    }
  } join{workers, lock, changed, stop};

  auto estimate = [&] {
    const std::uint32_t now = TickCountMs();
    if (now - lastEstimate < kEstimateIntervalMs) return;
    lastEstimate = now;
    const std::uint64_t elapsed = std::max<std::uint64_t>(1, (now - started) / 1000);
    const std::uint64_t rate = std::max<std::uint64_t>(1, position.sectorsDone * s / elapsed);
    const std::uint64_t remaining = sectorsTotal > position.sectorsDone ? sectorsTotal - position.sectorsDone : 0;
    secondsLeft = static_cast<std::int32_t>(std::min<std::uint64_t>(remaining * s / rate, INT32_MAX));
  };
  auto report = [&]() -> Result {
    estimate();
    return progress ? progress(position, secondsLeft) : kSuccess;
  };

  std::size_t currentRange = SIZE_MAX;
  std::uint64_t rangeEnd = 0;
  std::uint64_t p = 0;  // where the sweep stands in the current range
  auto moveTo = [&](std::uint64_t q) {
    position.sectorsDone += std::min(q, rangeEnd) - std::min(p, rangeEnd);
    p = q;
    position.positionInRange = q;
  };
  // One dispatch of n sectors at p (page bytes at data); false when cancelled.
  auto dispatch = [&](const std::uint8_t* data, std::uint64_t n, std::uint64_t first) {
    std::int64_t overshoot = 0;
    bool cancelled = false;
    // One buffer is one failure boundary: what escapes its dispatch is counted, and the sweep goes
    // on with the next buffer.
    try {
      overshoot = DispatchBuffer(std::span<const std::uint8_t>(data, static_cast<std::size_t>(n * s)), n, first,
                                 position.sectorsDone, sectorsTotal, secondsLeft, filesFound, cancelled);
    } catch (...) {
      ++counts_.faults;
      overshoot = 0;
    }
    // n + overshoot is never negative: a cancelled step lies inside the buffer.
    const std::uint64_t moved = overshoot >= 0 ? n + static_cast<std::uint64_t>(overshoot)
                                               : n - static_cast<std::uint64_t>(-overshoot);
    moveTo(moved > UINT64_MAX - p ? UINT64_MAX : p + moved);
    return !cancelled;
  };

  // Whether the trace of piece k, at absolute sector at, is in the state the sweep is in there:
  // then the trace's sweep and this one go on alike.
  auto agrees = [&](const Page& page, std::size_t k, std::uint64_t at, std::size_t& firstEvent,
                    std::uint32_t& streams) {
    const Trace& trace = page.trace;
    const Page::Piece& piece = page.pieces[k];
    const std::uint8_t seen = trace.visits[k][static_cast<std::size_t>(at - piece.first)];
    if ((seen & kVisited) == 0) return false;
    const auto after = std::lower_bound(trace.events.begin(), trace.events.end(), at,
                                        [](const Trace::Event& e, std::uint64_t v) { return e.sector < v; });
    firstEvent = static_cast<std::size_t>(after - trace.events.begin());
    const Trace::Event* before = firstEvent == 0 ? nullptr : &trace.events[firstEvent - 1];
    const std::uint64_t containerEnd = before != nullptr ? before->containerEnd : trace.containerEnd;
    streams = before != nullptr ? before->tsExtents : 0;
    if (carver == nullptr) return true;
    const CarvingContext& real = carver->Carving();
    if ((seen & (kTsStreamMode | kMtsInProgress)) != StreamFlags(real)) return false;
    if (std::max(containerEnd, at) != std::max(carver->ContainerEnd(), at)) return false;
    // The carved streams that reach this far are the same.
    std::vector<TsExtentList::Extent> mine;
    std::vector<TsExtentList::Extent> theirs;
    for (const auto& e : real.tsExtents.extents())
      if (e.last >= at) mine.push_back(e);
    for (std::uint32_t j = 0; j < streams && j < trace.extents.size(); ++j)
      if (trace.extents[j].last >= at) theirs.push_back(trace.extents[j]);
    if (mine.size() != theirs.size()) return false;
    for (std::size_t j = 0; j < mine.size(); ++j)
      if (mine[j].first != theirs[j].first || mine[j].last != theirs[j].last) return false;
    return true;
  };
  // Takes the trace's finds of piece k from absolute sector at on, up to the first sector it
  // visited a dispatch buffer or more further on (there the sweep reports and may stop, as the
  // one-thread sweep does after each buffer), or to the piece's end. True at the piece's end.
  auto take = [&](const Page& page, std::size_t k, std::uint64_t at, std::size_t firstEvent,
                  std::uint32_t streams) -> bool {
    const Trace& trace = page.trace;
    const Page::Piece& piece = page.pieces[k];
    const Trace::PieceEnd& end = trace.ends[k];
    const std::uint64_t limit = page.first + page.count;
    const std::vector<std::uint8_t>& visit = trace.visits[k];
    std::size_t stop = static_cast<std::size_t>(at - piece.first) + static_cast<std::size_t>(perBuffer);
    while (stop < visit.size() && (visit[stop] & kVisited) == 0) ++stop;
    const bool whole = stop >= visit.size();
    const std::uint64_t stopSector = whole ? UINT64_MAX : piece.first + stop;
    std::size_t e = firstEvent;
    for (; e < end.events && trace.events[e].sector < stopSector; ++e) {
      const Trace::Event& event = trace.events[e];
      const std::uint8_t* data = page.bytes + (event.sector - page.first) * s;
      const std::span<const std::uint8_t> sector(data, static_cast<std::size_t>(s));
      try {
        switch (event.kind) {
          case SweepSectorKind::NtfsFileRecord: {
            const std::uint64_t stopAt = std::min(limit, page.NextUnread(event.sector));
            HandRecord(std::span<const std::uint8_t>(data, static_cast<std::size_t>((stopAt - event.sector) * s)), 0,
                       event.sector);
            break;
          }
          case SweepSectorKind::FatFolderStart:
            ++counts_.fatFolderStarts;
            if (engines_.fat != nullptr) engines_.fat->TakeFolderStart(sector, event.sector);
            break;
          case SweepSectorKind::FatDirectorySector:
            ++counts_.fatDirectorySectors;
            if (engines_.fat != nullptr) engines_.fat->TakeDirectorySector(sector, event.sector);
            break;
          case SweepSectorKind::ExfatDirectory:
            ++counts_.exfatDirectorySectors;
            if (engines_.exfat != nullptr) engines_.exfat->TakeDirectorySector(sector, event.sector);
            break;
          case SweepSectorKind::Other:
            if (!event.carved) break;
            carver->Catalogue(trace.files[event.file], event.sector);
            ++filesFound;
            ++counts_.carvedFiles;
            break;
        }
      } catch (...) {
        ++counts_.faults;
      }
    }
    for (std::size_t j = static_cast<std::size_t>(at - piece.first); j < std::min(stop, visit.size()); ++j)
      counts_.sectorsDispatched += visit[j] & kVisited;
    // The carving state where the trace's sweep stood then: that of the sweep from here on.
    std::uint8_t flags = end.flags;
    std::uint64_t containerEnd = end.containerEnd;
    std::uint32_t extents = end.tsExtents;
    if (!whole) {
      flags = visit[stop];
      containerEnd = e == 0 ? trace.containerEnd : trace.events[e - 1].containerEnd;
      extents = e == 0 ? 0 : trace.events[e - 1].tsExtents;
    }
    if (carver != nullptr) {
      CarvingContext& real = carver->Carving();
      real.tsStreamMode = (flags & kTsStreamMode) != 0;
      real.mtsInProgress = (flags & kMtsInProgress) != 0;
      carver->ContainerEnd() = std::max(carver->ContainerEnd(), containerEnd);
      for (std::uint32_t j = streams; j < extents && j < trace.extents.size(); ++j)
        real.tsExtents.Add(trace.extents[j].first, trace.extents[j].last);
    }
    moveTo(whole ? end.position : piece.from + stop);
    return whole;
  };

  // Sweeps piece k of a page on this thread, from where the sweep stands; with a trace, only
  // until the trace agrees. kCancelled from a carving walk, or the progress hook's verdict.
  auto sweepPiece = [&](Page& page, std::size_t k) -> Result {
    const Page::Piece& piece = page.pieces[k];
    const bool traced = page.traced;
    while (p < piece.to) {
      const std::uint64_t at = piece.first + (p - piece.from);
      const std::uint64_t pieceEnd = piece.first + (piece.to - piece.from);
      if (traced) {
        std::size_t firstEvent = 0;
        std::uint32_t streams = 0;
        if (agrees(page, k, at, firstEvent, streams)) {
          ++counts_.buffers;
          if (take(page, k, at, firstEvent, streams)) {
            ++counts_.piecesTaken;
            break;
          }
          if (Result r = report(); r != kSuccess) return r;
          continue;
        }
        ++counts_.sectorsSweptHere;
      }
      if (const std::uint64_t e = page.UnreadEnd(at); e != at) {
        ++counts_.buffers;
        ++counts_.unreadBuffers;
        moveTo(p + (std::min(e, pieceEnd) - at));
      } else {
        const std::uint64_t n =
            traced ? 1 : std::min({perBuffer, piece.to - p, page.NextUnread(at) - at});
        if (!traced) ++counts_.buffers;
        if (!dispatch(page.bytes + (at - page.first) * s, n, at)) return kCancelled;
      }
      if (!traced) {
        if (Result r = report(); r != kSuccess) return r;
      }
    }
    if (traced) {
      if (Result r = report(); r != kSuccess) return r;
    }
    return kSuccess;
  };

  Result result = kSuccess;
  for (std::size_t i = 0; result == kSuccess; ++i) {
    Page* next = nullptr;
    {
      std::lock_guard<std::mutex> guard(lock);
      next = pageAt(i);
    }
    if (next == nullptr) break;
    Page& page = *next;
    if (!workers.empty()) {
      std::unique_lock<std::mutex> guard(lock);
      // While a page is still traced (a long walk) the hook is asked on, so a cancel is heard.
      while (!page.ready) {
        if (changed.wait_for(guard, std::chrono::milliseconds(200)) == std::cv_status::timeout && !page.ready) {
          guard.unlock();
          result = report();
          guard.lock();
          if (result != kSuccess) break;
        }
      }
      if (result != kSuccess) break;
      if (!page.read && !page.skipped) {
        if (!page.data) page.data = buffer();
      }
    } else {
      page.data = buffer();
    }
    if (page.skipped) {
      std::lock_guard<std::mutex> guard(lock);
      merged = i + 1;
      pages.pop_front();
      ++front;
      changed.notify_all();
      continue;
    }
    if (!page.read) {
      if (!page.data) return kErrNotEnoughMemory;
      ReadPage(page);
    } else {
      ++counts_.blocksReadAhead;
    }
    ++counts_.blocksRead;
    if (page.hole) ++counts_.blocksInHoles;
    if (page.direct) ++counts_.blocksReadDirect;
    if (carver != nullptr) carver->Carving().window = {page.bytes, page.first, page.windowSectors};
    for (std::size_t k = 0; k < page.pieces.size() && result == kSuccess; ++k) {
      const Page::Piece& piece = page.pieces[k];
      if (piece.range != currentRange) {
        currentRange = piece.range;
        const Range& range = ranges[currentRange];
        position.rangeStart = range.start;
        position.rangeLength = range.length;
        position.positionInRange = piece.from;
        rangeEnd = range.end;
        p = piece.from;
      }
      if (p >= piece.to) continue;  // a carved file reaches past it
      result = sweepPiece(page, k);
    }
    if (carver != nullptr) carver->Carving().window = {};
    std::lock_guard<std::mutex> guard(lock);
    if (page.data) pool.push_back(std::move(page.data));
    merged = i + 1;
    pages.pop_front();
    ++front;
    if (carver != nullptr) containerSeed = carver->ContainerEnd();
    skipRange = currentRange;
    skipTo = p;
    changed.notify_all();
  }
  if (result != kSuccess) return result;
  // Ranges after the last swept piece (wholly outside the partition) are stepped onto as the
  // sweep went through them.
  if (ranges.size() > 1 && currentRange != ranges.size() - 1) {
    position.rangeStart = ranges.back().start;
    position.rangeLength = ranges.back().length;
    position.positionInRange = 0;
  }
  return kSuccess;
}
}  // namespace rexmoor
