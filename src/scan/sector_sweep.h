// The deep scan's sweep: reads the swept ranges of a partition in order and routes every sector
// (sector_dispatch.h) to the formatted NTFS, FAT or exFAT engine or to the carver. The
// carver tells how far a file it found reaches; the sweep moves on past it, into the following
// buffers too. Where the sweep stands (range, position, sectors done) is kept so that a scan
// stopped half-way can be continued at the very sector where it stopped.
//
// The ranges are cut into pages of up to kSweepReadBytes; nearby small ranges share a page,
// read in one large read (the parts between them are read and passed over in memory). With one
// job the pages are read ahead on a thread and dispatched in 64 KiB buffers on the calling
// thread. With more, worker threads read pages and trace them: they classify every sector and
// measure the carved files as if the page were swept from its start in a fresh state. The calling
// thread merges the traces in order: it sweeps a page itself, sector by sector, from where the
// sweep really enters it until the trace agrees with it (the trace visited that sector in the same
// carving state), and from there takes the trace's finds. The file-system engines, which rebuild
// folders across sectors, and the cataloguing stay on the calling thread, so the finds, their
// order and ids are those of the one-job sweep.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "device/sector_source.h"
#include "platform/result_codes.h"

namespace rexmoor {

class CProfessionalExfatRecovery;
class CProfessionalFatRecovery;
class CProfessionalNtfsRecovery;
class CFileTypeRecovery;

// The bytes the dispatch walks at a time, and the bytes read for an NTFS record that straddles
// the end of a buffer.
inline constexpr std::uint32_t kSweepBufferBytes = 0x10000;
inline constexpr std::uint32_t kStraddlingRecordBytes = 8192;
// The bytes of one page: read from the medium at a time, and traced by one worker.
inline constexpr std::uint32_t kSweepReadBytes = 16u << 20;
// Free ranges at most this far apart are read together with what lies between them.
inline constexpr std::uint32_t kSweepGapBytes = 1u << 20;

// The threads every deep scan's sweep traces with unless told otherwise (0: one per core).
void SetDefaultSweepJobs(unsigned jobs);
unsigned DefaultSweepJobs();
// Whether an image file's own layout is used: pages that lie in a hole of a sparse file are not
// read at all (on by default; tests turn it off to compare both ways).
void SetSweepUsesImageLayout(bool on);
// When a block device's pages are read past the system's cache (O_DIRECT), straight into the
// page, in requests of the page's size: never, when what is swept is more than half the memory
// the system has available (the default: a medium the cache can keep is read through it, so that
// the files recovered afterwards come from memory), or always (tests compare both ways).
enum class SweepDirectReads { Never, WhenLarge, Always };
void SetSweepReadsDirect(SweepDirectReads when);

// Where the sweep receives sectors: any engine may be missing.
struct SweepEngines {
  CProfessionalFatRecovery* fat = nullptr;
  CProfessionalNtfsRecovery* ntfs = nullptr;
  CFileTypeRecovery* carver = nullptr;
  CProfessionalExfatRecovery* exfat = nullptr;
};

// What the sweep saw, for reports and tests.
struct SweepCounts {
  std::uint64_t buffers = 0;
  std::uint64_t unreadBuffers = 0;      // buffers of which no sector could be read
  std::uint64_t sectorsDispatched = 0;  // sectors classified (skipped ones not counted)
  std::uint64_t ntfsFileRecords = 0;    // handed to the NTFS engine
  std::uint64_t ntfsFolderRecords = 0;  // passed over
  std::uint64_t fatFolderStarts = 0;
  std::uint64_t fatDirectorySectors = 0;
  std::uint64_t exfatDirectorySectors = 0;
  std::uint64_t carvedFiles = 0;
  std::uint64_t faults = 0;             // buffers whose dispatch failed unexpectedly
  std::uint64_t blocksRead = 0;         // large reads of the medium
  std::uint64_t blocksReadAhead = 0;    // of them, read on the reader thread in time
  std::uint64_t blocksInHoles = 0;      // of them, in a hole of the image file: zeros, not read
  std::uint64_t blocksReadDirect = 0;   // of them, read from a block device past the system's cache
  std::uint64_t piecesTaken = 0;        // with threads: page pieces whose finds came from a trace
  std::uint64_t sectorsSweptHere = 0;   // with threads: sectors the calling thread classified itself
};

// Where the sweep stands. rangeStart is counted from the partition start.
struct SweepPosition {
  std::uint64_t rangeStart = 0;
  std::uint64_t rangeLength = 0;
  std::uint64_t positionInRange = 0;
  std::uint64_t sectorsDone = 0;
};

// The first range at or after sector from (length 0: none). Ranges are partition-relative.
using NextSweepRange = std::function<void(std::uint64_t from, std::uint64_t& start, std::uint64_t& length)>;
// Called after every buffer; non-zero stops the sweep with that result.
using SweepProgress = std::function<Result(const SweepPosition& position, std::int32_t secondsLeft)>;

class SectorSweep {
 public:
  // source and the engines must outlive the sweep; sectorSize is the medium's.
  SectorSweep(const SectorSource& source, std::int32_t sectorSize, std::uint64_t partitionStart,
              std::uint64_t partitionSectors, SweepEngines engines);

  // Sweeps from position (its range and place in it) to the end of the last range: next gives
  // the ranges after the first, null when there is only one. Returns 0, the progress hook's
  // non-zero result, or kCancelled from a carving walk; position then says where to continue.
  // filesFound counts the carved files.
  Result Run(SweepPosition& position, std::uint64_t sectorsTotal, const NextSweepRange& next,
             const SweepProgress& progress, std::uint64_t& filesFound);

  // One buffer of n sectors at absolute sector first, of which the sectors in bytes arrived.
  // Returns the overshoot: sectors past the buffer that the last carved file covers, or minus
  // the sectors from a cancelled carving step to the buffer's end. cancelled tells which.
  std::int64_t DispatchBuffer(std::span<const std::uint8_t> bytes, std::uint64_t n, std::uint64_t first,
                              std::uint64_t sectorsDone, std::uint64_t sectorsTotal, std::int32_t secondsLeft,
                              std::uint64_t& filesFound, bool& cancelled);

  const SweepCounts& Counts() const { return counts_; }
  // Whether pages are read ahead on a thread while one is dispatched (the default). The results
  // are the same either way.
  void SetReadAhead(bool on) { readAhead_ = on; }
  // Threads that trace pages (0: one per core). One sweeps on the calling thread alone; the
  // results are the same for any number.
  void SetJobs(unsigned jobs);
  // Bytes of a page (rounded to whole sectors, at least 64 KiB); for tests.
  void SetPageBytes(std::uint32_t bytes) { pageBytes_ = std::max<std::uint32_t>(bytes, kSweepBufferBytes); }

 private:
  struct Range;
  struct Page;
  struct Trace;

  void HandRecord(std::span<const std::uint8_t> bytes, std::size_t i, std::uint64_t first);
  // The ranges from position on, as the next hook gives them.
  std::vector<Range> CollectRanges(const SweepPosition& position, const NextSweepRange& next) const;
  // Where planning stands: a range and a position in it.
  struct PlanCursor {
    std::size_t range = 0;
    std::uint64_t position = 0;
  };
  // The next page from the cursor on, which it moves past; false when no sector is left.
  bool PlanPage(const std::vector<Range>& ranges, PlanCursor& at, Page& page) const;
  // Reads a page into its buffer; what cannot be read is noted as unread.
  void ReadPage(Page& page) const;
  // Reads count sectors at first past the system's cache into the page buffer at; returns the
  // sectors that arrived (0 when the device cannot be read that way there).
  std::uint64_t ReadDirect(std::uint8_t* at, std::uint64_t first, std::uint64_t count) const;
  // Traces a page on a worker thread (see above); false when stopped or failed.
  bool TracePage(Page& page, const std::atomic<bool>& stop) const;
  // Whether a zero sector is nothing for any engine (checked once per sweep).
  bool ZeroSectorsAreNothing() const;

  const SectorSource& source_;
  std::int32_t sectorSize_;
  std::uint32_t recordSize_;
  std::uint64_t partitionStart_;
  std::uint64_t partitionSectors_;
  SweepEngines engines_;
  SweepCounts counts_;

  std::vector<std::uint8_t> straddling_;
  bool readAhead_ = true;
  unsigned jobs_ = 1;
  std::uint32_t pageBytes_ = kSweepReadBytes;
  bool zeroSkip_ = false;  // zero sectors go nowhere and only reset the carver's stream flags
  const std::uint8_t* holeZeros_ = nullptr;  // zeros for pages in a hole, during a run on an image file
  const FileHandle* direct_ = nullptr;  // during a run on a block device: the device opened with O_DIRECT
  std::uint32_t directBlock_ = 0;        // and its logical block size, which every direct read is aligned to
};

}  // namespace rexmoor
