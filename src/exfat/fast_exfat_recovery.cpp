#include "exfat/fast_exfat_recovery.h"

#include <algorithm>
#include <new>
#include <unordered_set>

#include "engine/preview_target.h"
#include "platform/byte_view.h"

namespace rexmoor {

namespace {

// Both boot regions, in the largest sector size a volume can have.
constexpr std::size_t kBootRegionsBytes = 2 * kExfatBootRegionSectors * 4096;
// FAT sectors held at a time.
constexpr std::uint32_t kFatWindowSectors = 256;
// A file's data is read in pieces of this size.
constexpr std::uint64_t kDataPieceBytes = 1 << 20;

// Allocation bitmap and up-case table entries: their flags, checksum, first cluster and length.
constexpr std::size_t kBitmapFlags = 1;
constexpr std::size_t kUpcaseChecksum = 4;
constexpr std::size_t kTableFirstCluster = 20;
constexpr std::size_t kTableDataLength = 24;

}  // namespace

CFastExfatRecovery::CFastExfatRecovery() = default;
CFastExfatRecovery::~CFastExfatRecovery() = default;

void CFastExfatRecovery::ReleaseVolume() {
  fatWindow_.clear();
  fatWindowSectors_ = 0;
  bitmap_.clear();
  bitmapClusters_ = 0;
  upcase_ = ExfatUpcase();
  useMap_.Clear();
}

// --- opening --------------------------------------------------------------------------------------

Result CFastExfatRecovery::ReadLayout(const VolumeOpening& volume, ExfatLayout& layout) {
  // The 4 KiB the frame read hold one boot region of 512-byte sectors at most; the backup region
  // lies behind it, so both are read here.
  std::vector<std::uint8_t> area(volume.boot.begin(), volume.boot.end());
  if (volume.mediumBytes > volume.startByte) {
    std::uint64_t want = std::min<std::uint64_t>(kBootRegionsBytes, volume.mediumBytes - volume.startByte);
    want = std::min<std::uint64_t>(want, volume.lengthBytes);
    if (want > area.size()) {
      std::vector<std::uint8_t> more(static_cast<std::size_t>(want), 0);
      std::size_t done = 0;
      (void)ReadMediumBytes(source_, volume.startByte, more.data(), more.size(), &done);
      if (done > area.size()) {
        more.resize(done);
        area = std::move(more);
      }
    }
  }
  const std::optional<ExfatLayout> found = FindExfatLayout(area);
  if (!found) return kErrInvalidParameter;
  layout = *found;
  return kSuccess;
}

Result CFastExfatRecovery::Prepare(const VolumeOpening& volume) {
  ExfatLayout layout;
  if (Result r = ReadLayout(volume, layout); r != kSuccess) return r;
  if (Result r = PlaceVolume(layout.bytesPerSector, volume); r != kSuccess) return r;
  layout_ = layout;
  try {
    fatWindow_.assign(std::size_t{kFatWindowSectors} * layout_.bytesPerSector, 0);
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
  fatWindowSectors_ = 0;
  MarkOpen();
  LoadRootTables();
  return kSuccess;
}

void CFastExfatRecovery::LoadRootTables() {
  bitmap_.clear();
  bitmapClusters_ = 0;
  upcase_ = ExfatUpcase();
  bool ended = false;
  const std::vector<Run> rootRuns = ChainRuns(layout_.rootCluster, kExfatMaxFolderBytes / layout_.ClusterBytes(), &ended);
  std::vector<std::uint8_t> root;
  (void)ReadRuns(rootRuns, kExfatMaxFolderBytes, root);

  // With two FATs there are two bitmaps; the one of the active FAT tells what is in use.
  const std::uint8_t activeBitmap = layout_.numberOfFats == 2 && (layout_.volumeFlags & 1) != 0 ? 1 : 0;
  std::optional<std::size_t> bitmapEntry;
  std::optional<std::size_t> upcaseEntry;
  for (std::size_t at = 0; at + kExfatEntrySize <= root.size(); at += kExfatEntrySize) {
    const std::uint8_t type = root[at];
    if (type == kExfatTypeBitmap) {
      if (!bitmapEntry || (root[at + kBitmapFlags] & 1) == activeBitmap) {
        const bool keep = bitmapEntry && (root[*bitmapEntry + kBitmapFlags] & 1) == activeBitmap;
        if (!keep) bitmapEntry = at;
      }
    } else if (type == kExfatTypeUpcase && !upcaseEntry) {
      upcaseEntry = at;
    }
  }

  if (bitmapEntry) {
    const std::uint8_t* e = root.data() + *bitmapEntry;
    const std::uint32_t first = LoadU32LE(e + kTableFirstCluster);
    const std::uint64_t length = LoadU64LE(e + kTableDataLength);
    const std::uint64_t needed = (std::uint64_t{layout_.clusterCount} + 7) / 8;
    std::vector<std::uint8_t> bits;
    if (length >= needed && needed <= kExfatMaxBitmapBytes &&
        ReadRuns(StreamRuns(first, needed, false), needed, bits) == kSuccess && bits.size() == needed) {
      bitmap_ = std::move(bits);
      bitmapClusters_ = layout_.clusterCount;
    }
  }
  if (upcaseEntry) {
    const std::uint8_t* e = root.data() + *upcaseEntry;
    const std::uint32_t checksum = LoadU32LE(e + kUpcaseChecksum);
    const std::uint32_t first = LoadU32LE(e + kTableFirstCluster);
    const std::uint64_t length = LoadU64LE(e + kTableDataLength);
    std::vector<std::uint8_t> table;
    // A table that fails its checksum would judge names wrongly: the default one checks ASCII
    // names and lets the others pass.
    if (length > 0 && length <= kExfatMaxUpcaseBytes &&
        ReadRuns(StreamRuns(first, length, false), length, table) == kSuccess && table.size() == length &&
        ExfatTableChecksum(table) == checksum) {
      (void)upcase_.Load(table);
    }
  }
}

bool CFastExfatRecovery::BitmapSaysUsed(std::uint32_t cluster) const {
  if (!layout_.IsValidCluster(cluster)) return false;
  const std::uint64_t k = cluster - kExfatFirstCluster;
  return k < bitmapClusters_ && (bitmap_[k / 8] & (1u << (k % 8))) != 0;
}

// --- the FAT and cluster runs -----------------------------------------------------------------------

Result CFastExfatRecovery::ReadFatEntry(std::uint32_t cluster, std::uint32_t& entry) {
  entry = 0;
  if (!IsOpen() || fatWindow_.empty()) return kErrInvalidHandle;
  const std::uint64_t offset = ExfatFatEntryOffset(cluster);
  const std::uint64_t bps = layout_.bytesPerSector;
  const std::uint64_t sector = offset / bps;
  if (sector >= layout_.fatLength) return kErrInvalidParameter;
  if (fatWindowSectors_ == 0 || sector < fatWindowSector_ || sector - fatWindowSector_ >= fatWindowSectors_) {
    const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(kFatWindowSectors, layout_.fatLength - sector));
    std::uint32_t got = 0;
    fatWindowSectors_ = 0;
    const Result r = ReadVolume(layout_.ActiveFatSector() + sector, count, fatWindow_.data(), &got);
    if (got == 0) return r != kSuccess ? r : kErrReadFault;
    fatWindowSector_ = sector;
    fatWindowSectors_ = got;
  }
  entry = LoadU32LE(fatWindow_.data() + (sector - fatWindowSector_) * bps + offset % bps);
  return kSuccess;
}

std::vector<CFastExfatRecovery::Run> CFastExfatRecovery::ChainRuns(std::uint32_t first, std::uint64_t maxClusters,
                                                                   bool* ended) {
  *ended = false;
  std::vector<Run> runs;
  if (!layout_.IsValidCluster(first)) return runs;
  // No chain holds more clusters than the heap; a longer one runs in a loop.
  const std::uint64_t limit = std::min<std::uint64_t>(maxClusters, layout_.clusterCount);
  std::unordered_set<std::uint32_t> seen;
  std::uint32_t current = first;
  for (std::uint64_t taken = 0; taken < limit;) {
    if (!seen.insert(current).second) break;
    if (!runs.empty() && runs.back().first + runs.back().count == current) {
      ++runs.back().count;
    } else {
      runs.push_back(Run{current, 1});
    }
    ++taken;
    std::uint32_t next = 0;
    if (ReadFatEntry(current, next) != kSuccess) break;
    if (next == kExfatEndOfChain) {
      *ended = true;
      break;
    }
    if (!layout_.IsValidCluster(next)) break;
    current = next;
  }
  return runs;
}

std::vector<CFastExfatRecovery::Run> CFastExfatRecovery::StreamRuns(std::uint32_t first, std::uint64_t bytes,
                                                                    bool noFatChain, bool* clipped) {
  if (clipped != nullptr) *clipped = false;
  const std::uint64_t clusterBytes = layout_.ClusterBytes();
  const std::uint64_t wanted = bytes / clusterBytes + (bytes % clusterBytes != 0 ? 1 : 0);
  if (wanted == 0) return {};
  if (!layout_.IsValidCluster(first)) {
    if (clipped != nullptr) *clipped = true;
    return {};
  }
  if (!noFatChain && wanted <= layout_.clusterCount) {
    bool ended = false;
    std::vector<Run> chain = ChainRuns(first, wanted, &ended);
    std::uint64_t count = 0;
    for (const Run& run : chain) count += run.count;
    if (ended && count == wanted) return chain;
  }
  const std::uint64_t available = layout_.clusterCount - (first - kExfatFirstCluster);
  if (noFatChain || bitmapClusters_ == 0) {
    // Written in one piece: the data lies where it was written, from the first cluster on.
    const std::uint64_t take = std::min(wanted, available);
    if (clipped != nullptr) *clipped = take < wanted;
    return {Run{first, static_cast<std::uint32_t>(take)}};
  }
  // A chained stream whose chain is gone (deleting a file clears its FAT entries) was split when
  // it was written: around clusters that other files held then, and most likely hold still. Its
  // data is taken from the first cluster on through the clusters the bitmap shows free.
  std::vector<Run> runs{Run{first, 1}};
  std::uint64_t taken = 1;
  for (std::uint64_t c = std::uint64_t{first} + 1; taken < wanted && c - kExfatFirstCluster < layout_.clusterCount; ++c) {
    const auto cluster = static_cast<std::uint32_t>(c);
    if (BitmapSaysUsed(cluster)) continue;
    if (runs.back().first + runs.back().count == cluster) {
      ++runs.back().count;
    } else {
      runs.push_back(Run{cluster, 1});
    }
    ++taken;
  }
  if (clipped != nullptr) *clipped = taken < wanted;
  return runs;
}

Result CFastExfatRecovery::ReadRuns(const std::vector<Run>& runs, std::uint64_t maxBytes,
                                    std::vector<std::uint8_t>& out) {
  out.clear();
  const std::uint64_t bps = layout_.bytesPerSector;
  std::uint64_t total = 0;
  for (const Run& run : runs) total += std::uint64_t{run.count} * layout_.ClusterBytes();
  total = std::min(total, maxBytes);
  try {
    // Whole sectors are read; what lies past maxBytes is cut off at the end.
    out.resize(static_cast<std::size_t>((total + bps - 1) / bps * bps));
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
  std::uint64_t done = 0;  // whole sectors' bytes
  Result result = kSuccess;
  for (const Run& run : runs) {
    if (done >= total || result != kSuccess) break;
    const std::uint64_t start = *layout_.ClusterSector(run.first);
    const std::uint64_t runSectors = std::uint64_t{run.count} * layout_.sectorsPerCluster;
    for (std::uint64_t s = 0; s < runSectors && done < total;) {
      const std::uint64_t left = (total - done + bps - 1) / bps;
      const auto count = static_cast<std::uint32_t>(std::min({runSectors - s, left, kDataPieceBytes / bps}));
      std::uint32_t got = 0;
      result = ReadVolume(start + s, count, out.data() + done, &got);
      done += std::uint64_t{got} * bps;
      if (result != kSuccess) break;
      s += count;
    }
  }
  out.resize(static_cast<std::size_t>(std::min(done, total)));
  return result;
}

bool CFastExfatRecovery::AnyInUse(const std::vector<Run>& runs) const {
  for (const Run& run : runs)
    for (std::uint32_t k = 0; k < run.count; ++k)
      if (BitmapSaysUsed(run.first + k)) return true;
  return false;
}

// --- reading a file's data ------------------------------------------------------------------------

Result CFastExfatRecovery::ReadItemData(const FoundFileRecord& record, std::uint64_t size, const ItemDataSink& sink) {
  if (!IsOpen()) return kErrInvalidHandle;
  if (!layout_.IsValidCluster(record.objectNumber)) return kErrInvalidParameter;
  const bool noFatChain = (record.extra & kExfatNoFatChain) != 0;
  const std::vector<Run> runs = StreamRuns(record.objectNumber, record.size, noFatChain);
  // Past ValidDataLength the volume never wrote: those bytes read as zeros, whatever the
  // clusters hold.
  const std::uint64_t validLength = record.dataAreaSector;  // a packed field: copied, not bound
  const std::uint64_t valid = std::min(validLength, size);
  const std::uint64_t bps = layout_.bytesPerSector;
  std::vector<std::uint8_t> buffer;
  try {
    buffer.resize(static_cast<std::size_t>(std::max<std::uint64_t>(kDataPieceBytes, layout_.ClusterBytes())));
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
  std::uint64_t done = 0;
  for (const Run& run : runs) {
    const std::uint64_t runSectors = std::uint64_t{run.count} * layout_.sectorsPerCluster;
    const std::uint64_t runStart = *layout_.ClusterSector(run.first);
    for (std::uint64_t s = 0; s < runSectors && done < size;) {
      const std::uint64_t left = (size - done + bps - 1) / bps;
      const auto count = static_cast<std::uint32_t>(std::min({runSectors - s, left, buffer.size() / bps}));
      const std::uint64_t pieceBytes = std::min<std::uint64_t>(std::uint64_t{count} * bps, size - done);
      Result read = kSuccess;
      std::uint64_t bytes = pieceBytes;
      if (done >= valid) {
        std::fill_n(buffer.data(), static_cast<std::size_t>(pieceBytes), std::uint8_t{0});
      } else {
        std::uint32_t got = 0;
        read = ReadVolume(runStart + s, count, buffer.data(), &got);
        bytes = std::min<std::uint64_t>(std::uint64_t{got} * bps, pieceBytes);
        if (valid - done < bytes)
          std::fill(buffer.data() + (valid - done), buffer.data() + bytes, std::uint8_t{0});
      }
      if (bytes != 0) {
        // Past the valid length nothing was read: zeros, wherever the clusters lie.
        const std::uint64_t readBytes = done >= valid ? 0 : std::min(bytes, valid - done);
        NoteDataRead(done, ImageByteOf(runStart + s), readBytes);
        NoteZeroFill(done + readBytes, bytes - readBytes);
        done += bytes;
        if (Result verdict = sink(buffer.data(), static_cast<std::size_t>(bytes), read); verdict != kSuccess)
          return verdict;
      }
      if (read != kSuccess) return read;
      s += count;
    }
  }
  // Runs that stop short (past the heap's end) leave the file incomplete; the frame says so.
  return kSuccess;
}

std::uint64_t CFastExfatRecovery::ItemByteLimit(const FoundFileRecord& record) const {
  if (!layout_.IsValidCluster(record.objectNumber)) return 0;
  // Contiguous data ends with the heap; a chain may wander anywhere in it, but no further.
  const std::uint64_t clusters = (record.extra & kExfatNoFatChain) != 0
                                     ? layout_.clusterCount - (record.objectNumber - kExfatFirstCluster)
                                     : layout_.clusterCount;
  return clusters * layout_.ClusterBytes();
}

Result CFastExfatRecovery::CheckItemReadable(const FoundFileRecord& record) const {
  return static_cast<std::uint32_t>(record.clusterBytes) > kMaxCopyClusterBytes ? kErrClusterTooLarge : kSuccess;
}

// --- free-space map -------------------------------------------------------------------------------------

Result CFastExfatRecovery::BuildFreeSpaceMap() {
  if (!IsOpen()) return kErrInvalidHandle;
  // Without its bitmap the volume's use is unknown: the deep scan then sweeps all of it.
  if (bitmapClusters_ == 0) return kErrReadFault;
  if (Result r = useMap_.Reset(0, kExfatFirstCluster, layout_.clusterHeapOffset, layout_.sectorsPerCluster,
                               volumeSectors_);
      r != kSuccess)
    return r;
  std::vector<std::uint8_t> bits;
  try {
    bits = bitmap_;
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
  useMap_.AssignBits(std::move(bits), bitmapClusters_);
  useMap_.SetBuilt();
  return kSuccess;
}

std::optional<std::uint64_t> CFastExfatRecovery::FirstDataByte(const FoundFileRecord& record) {
  if (!IsOpen() || record.isFolder != 0 || record.size == 0 || !layout_.IsValidCluster(record.objectNumber))
    return std::nullopt;
  const std::optional<std::uint64_t> sector = layout_.ClusterSector(record.objectNumber);
  if (!sector) return std::nullopt;
  return AbsoluteSector(*sector) * std::uint64_t{layout_.bytesPerSector};
}

}  // namespace rexmoor
