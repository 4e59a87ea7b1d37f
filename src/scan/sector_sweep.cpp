#include "scan/sector_sweep.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <new>

#include "carve/file_type_recovery.h"
#include "exfat/pro_exfat_recovery.h"
#include "formats/carving_context.h"
#include "fat/pro_fat_recovery.h"
#include "ntfs/pro_ntfs_recovery.h"
#include "platform/byte_view.h"
#include "platform/clock.h"
#include "scan/sector_dispatch.h"

namespace rexmoor {

namespace {

// NTFS record header: u16 flags; bit 1 marks a folder.
constexpr std::size_t kRecordFlagsOffset = 22;
constexpr std::uint16_t kRecordFlagFolder = 0x02;
// The time left is estimated again after this long.
constexpr std::uint32_t kEstimateIntervalMs = 5000;

}  // namespace

SectorSweep::SectorSweep(const SectorSource& source, std::int32_t sectorSize, std::uint64_t partitionStart,
                         std::uint64_t partitionSectors, SweepEngines engines)
    : source_(source),
      sectorSize_(sectorSize),
      recordSize_(SweepRecordSize(static_cast<std::uint32_t>(sectorSize))),
      partitionStart_(partitionStart),
      partitionSectors_(partitionSectors),
      engines_(engines) {}

// --- read-ahead -----------------------------------------------------------------------------------------

SectorSweep::ReadAhead::ReadAhead(const SectorSource& source, std::int32_t sectorSize)
    : source_(source), sectorSize_(sectorSize), spare_(kSweepReadBytes), worker_([this] { Work(); }) {}

SectorSweep::ReadAhead::~ReadAhead() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stop_ = true;
  }
  changed_.notify_all();
  worker_.join();
}

void SectorSweep::ReadAhead::Request(std::uint64_t sector, std::uint64_t count) {
  std::unique_lock<std::mutex> guard(lock_);
  changed_.wait(guard, [this] { return !reading_; });
  pending_ = true;
  valid_ = false;
  sector_ = sector;
  count_ = std::min<std::uint64_t>(count, spare_.size() / static_cast<std::size_t>(sectorSize_));
  guard.unlock();
  changed_.notify_all();
}

bool SectorSweep::ReadAhead::Take(std::uint64_t sector, std::uint64_t n, std::vector<std::uint8_t>& buffer,
                                   std::uint64_t& start, std::uint64_t& got) {
  std::unique_lock<std::mutex> guard(lock_);
  changed_.wait(guard, [this] { return !pending_ && !reading_; });
  if (!valid_ || sector < sector_ || sector - sector_ >= got_ || n > got_ - (sector - sector_)) return false;
  valid_ = false;
  start = sector_;
  got = got_;
  // The caller's buffer becomes the spare for the next read.
  if (buffer.size() != spare_.size()) buffer.resize(spare_.size());
  buffer.swap(spare_);
  return true;
}

void SectorSweep::ReadAhead::Work() {
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    changed_.wait(guard, [this] { return stop_ || pending_; });
    if (stop_) return;
    pending_ = false;
    reading_ = true;
    const std::uint64_t sector = sector_;
    const std::uint64_t count = count_;
    guard.unlock();
    std::uint32_t arrived = 0;
    (void)ReadSectors(static_cast<std::int32_t>(count), source_, spare_.data(), sector, sectorSize_, &arrived);
    guard.lock();
    reading_ = false;
    got_ = arrived;
    valid_ = true;
    changed_.notify_all();
  }
}

// --- the sweep -------------------------------------------------------------------------------------------

void SectorSweep::UseBlock(std::uint64_t start, std::uint64_t arrived, std::uint64_t rangeEnd) {
  ++counts_.blocksRead;
  blockStart_ = start;
  blockSectors_ = arrived;
  // The carver's walks take what lies in this block from memory.
  if (engines_.carver != nullptr) engines_.carver->Carving().window = {block_.data(), blockStart_, blockSectors_};
  // While it is dispatched the next block of the range is read, unless this one came short (the
  // medium stopped delivering there; the sweep then reads on by itself).
  const std::uint64_t capacity = kSweepReadBytes / static_cast<std::uint64_t>(sectorSize_);
  const std::uint64_t next = start + arrived;
  if (ahead_ != nullptr && arrived != 0 && arrived == std::min(rangeEnd - start, capacity) && next < rangeEnd)
    ahead_->Request(next, std::min(rangeEnd - next, capacity));
}

const std::uint8_t* SectorSweep::Sectors(std::uint64_t at, std::uint64_t n, std::uint64_t limit, std::uint64_t& got) {
  const auto s = static_cast<std::uint64_t>(sectorSize_);
  if (at >= blockStart_ && at - blockStart_ < blockSectors_ && n <= blockSectors_ - (at - blockStart_)) {
    got = n;
    return block_.data() + (at - blockStart_) * s;
  }
  const std::uint64_t blockCapacity = kSweepReadBytes / s;
  if (block_.size() < blockCapacity * s) block_.resize(static_cast<std::size_t>(blockCapacity * s));
  const std::uint64_t want = std::max(n, std::min(limit, blockCapacity));
  const std::uint64_t end = at + limit;  // the range's end

  // A buffer that runs over the end of the block: its head is in this block, its tail in the one
  // read ahead. Both parts are put together in the seam buffer.
  const std::uint64_t blockEnd = blockStart_ + blockSectors_;
  if (ahead_ != nullptr && blockSectors_ != 0 && at >= blockStart_ && at < blockEnd) {
    const std::uint64_t head = blockEnd - at;
    seam_.resize(static_cast<std::size_t>(n * s));
    std::memcpy(seam_.data(), block_.data() + (at - blockStart_) * s, static_cast<std::size_t>(head * s));
    std::uint64_t start = 0;
    std::uint64_t arrived = 0;
    if (ahead_->Take(blockEnd, n - head, block_, start, arrived)) {
      ++counts_.blocksReadAhead;
      UseBlock(start, arrived, end);
      std::memcpy(seam_.data() + head * s, block_.data(), static_cast<std::size_t>((n - head) * s));
      got = n;
      return seam_.data();
    }
  }

  std::uint64_t start = at;
  std::uint64_t arrived = 0;
  // The block read ahead serves when the sweep went on inside it (a carved file that reaches
  // past it makes the sweep start elsewhere, which is read here instead).
  if (ahead_ == nullptr || !ahead_->Take(at, n, block_, start, arrived)) {
    std::uint32_t read = 0;
    (void)ReadSectors(static_cast<std::int32_t>(want), source_, block_.data(), at, sectorSize_, &read);
    start = at;
    arrived = read;
  } else {
    ++counts_.blocksReadAhead;
  }
  UseBlock(start, arrived, end);
  got = std::min<std::uint64_t>(n, blockStart_ + blockSectors_ - at);
  return block_.data() + (at - blockStart_) * s;
}

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

Result SectorSweep::Run(SweepPosition& position, std::uint64_t sectorsTotal, const NextSweepRange& next,
                        const SweepProgress& progress, std::uint64_t& filesFound) {
  const auto s = static_cast<std::uint64_t>(sectorSize_);
  const std::uint64_t perBuffer = kSweepBufferBytes / s;
  const std::uint32_t started = TickCountMs();
  std::uint32_t lastEstimate = started;
  std::int32_t secondsLeft = -1;
  blockSectors_ = 0;
  // The block goes with the sweep; no walk may read it afterwards.
  struct WindowReset {
    CFileTypeRecovery* carver;
    ~WindowReset() {
      if (carver != nullptr) carver->Carving().window = {};
    }
  } windowReset{engines_.carver};
  std::unique_ptr<ReadAhead> ahead;
  if (readAhead_) {
    try {
      ahead = std::make_unique<ReadAhead>(source_, sectorSize_);
    } catch (const std::exception&) {
      ahead.reset();  // no thread or no memory: the sweep reads by itself
    }
  }
  ahead_ = ahead.get();
  struct AheadReset {
    ReadAhead*& ahead;
    ~AheadReset() { ahead = nullptr; }
  } aheadReset{ahead_};
  while (position.rangeLength != 0) {
    // The partition's end bounds every range, whatever the free map says.
    const std::uint64_t rangeEnd =
        position.rangeStart >= partitionSectors_
            ? 0
            : std::min(position.rangeLength, partitionSectors_ - position.rangeStart);
    while (position.positionInRange < rangeEnd) {
      const std::uint64_t left = rangeEnd - position.positionInRange;
      const std::uint64_t n = std::min(perBuffer, left);
      const std::uint64_t first = partitionStart_ + position.rangeStart + position.positionInRange;
      std::uint64_t got = 0;
      const std::uint8_t* data = Sectors(first, n, left, got);
      ++counts_.buffers;
      std::int64_t overshoot = 0;
      bool cancelled = false;
      if (got == 0) {
        ++counts_.unreadBuffers;
      } else {
        // One buffer is one failure boundary: what escapes its dispatch is counted, and the
        // sweep goes on with the next buffer.
        try {
          overshoot = DispatchBuffer(std::span<const std::uint8_t>(data, static_cast<std::size_t>(got * s)), n, first,
                                     position.sectorsDone, sectorsTotal, secondsLeft, filesFound, cancelled);
        } catch (const std::exception&) {
          ++counts_.faults;
          overshoot = 0;
        } catch (...) {
          ++counts_.faults;
          overshoot = 0;
        }
      }
      // n + overshoot is never negative: a cancelled step lies inside the buffer.
      const std::uint64_t moved = overshoot >= 0 ? n + static_cast<std::uint64_t>(overshoot)
                                                 : n - static_cast<std::uint64_t>(-overshoot);
      position.positionInRange += moved;
      position.sectorsDone += std::min(moved, left);
      if (cancelled) return kCancelled;

      const std::uint32_t now = TickCountMs();
      if (now - lastEstimate >= kEstimateIntervalMs) {
        lastEstimate = now;
        const std::uint64_t elapsed = std::max<std::uint64_t>(1, (now - started) / 1000);
        const std::uint64_t rate = std::max<std::uint64_t>(1, position.sectorsDone * s / elapsed);
        const std::uint64_t remaining = sectorsTotal > position.sectorsDone ? sectorsTotal - position.sectorsDone : 0;
        secondsLeft = static_cast<std::int32_t>(std::min<std::uint64_t>(remaining * s / rate, INT32_MAX));
      }
      if (progress) {
        if (Result r = progress(position, secondsLeft); r != kSuccess) return r;
      }
    }
    if (!next) break;
    std::uint64_t start = 0;
    std::uint64_t length = 0;
    if (position.rangeLength > UINT64_MAX - position.rangeStart) break;
    const std::uint64_t from = position.rangeStart + position.rangeLength;
    next(from, start, length);
    // Ranges come in ascending order; anything else would sweep in circles.
    if (length == 0 || start < from) break;
    position.rangeStart = start;
    position.rangeLength = length;
    position.positionInRange = 0;
  }
  return kSuccess;
}

}  // namespace rexmoor

