// The deep scan's sweep: reads the swept ranges of a partition in order and routes every sector
// (sector_dispatch.h) to the formatted NTFS, FAT or exFAT engine or to the carver. The
// carver tells how far a file it found reaches; the sweep moves on past it, into the following
// buffers too. Where the sweep stands (range, position, sectors done) is kept so that a scan
// stopped half-way can be continued at the very sector where it stopped.
//
// The medium is read in large blocks into one reused buffer and the kernel is asked to read the
// next block ahead while this one is dispatched; the dispatch itself still walks 64 KiB buffers,
// with the progress report and the cancel check after each, so the results and the stop position
// do not depend on the block size.
#pragma once

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
// The bytes read from the medium at a time.
inline constexpr std::uint32_t kSweepReadBytes = 4u << 20;

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
  // Whether a reader thread reads the next block while one is dispatched (the default). The
  // results are the same either way.
  void SetReadAhead(bool on) { readAhead_ = on; }

 private:
  // The block after the one being dispatched, read on a thread of its own.
  class ReadAhead {
   public:
    ReadAhead(const SectorSource& source, std::int32_t sectorSize);
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;
    // Starts reading count sectors at sector into the spare buffer.
    void Request(std::uint64_t sector, std::uint64_t count);
    // Waits for the pending read; true when its block holds the n sectors at sector (start: the
    // block's first sector, got: the sectors that arrived). The buffer is then handed over by
    // swapping it with the caller's.
    bool Take(std::uint64_t sector, std::uint64_t n, std::vector<std::uint8_t>& buffer, std::uint64_t& start,
              std::uint64_t& got);

   private:
    void Work();
    const SectorSource& source_;
    std::int32_t sectorSize_;
    std::vector<std::uint8_t> spare_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool pending_ = false;  // a request not yet read
    bool reading_ = false;
    bool stop_ = false;
    std::uint64_t sector_ = 0;
    std::uint64_t count_ = 0;
    std::uint64_t got_ = 0;
    bool valid_ = false;  // spare_ holds the result for sector_
    std::thread worker_;
  };

  // The n sectors at absolute sector at, from the read block (refilled when they are not in it
  // and at most limit sectors are read). got: the sectors that arrived.
  const std::uint8_t* Sectors(std::uint64_t at, std::uint64_t n, std::uint64_t limit, std::uint64_t& got);
  // Makes the block at start (arrived sectors) the current one and has the next one read ahead.
  void UseBlock(std::uint64_t start, std::uint64_t arrived, std::uint64_t rangeEnd);
  void HandRecord(std::span<const std::uint8_t> bytes, std::size_t i, std::uint64_t first);

  const SectorSource& source_;
  std::int32_t sectorSize_;
  std::uint32_t recordSize_;
  std::uint64_t partitionStart_;
  std::uint64_t partitionSectors_;
  SweepEngines engines_;
  SweepCounts counts_;

  std::vector<std::uint8_t> block_;
  std::uint64_t blockStart_ = 0;  // absolute sector of block_[0]
  std::uint64_t blockSectors_ = 0;
  std::vector<std::uint8_t> straddling_;
  std::vector<std::uint8_t> seam_;  // a buffer put together from two blocks
  bool readAhead_ = true;
  ReadAhead* ahead_ = nullptr;  // while Run runs with read-ahead
};

}  // namespace rexmoor
