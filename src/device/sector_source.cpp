#include "device/sector_source.h"

#include <atomic>
#include <algorithm>
#include <cerrno>

#include "device/container_source.h"
#include "platform/drives.h"
#include "platform/geometry.h"

namespace rexmoor {

namespace {

std::atomic<std::uint64_t> g_systemReads{0};

// Reads total bytes into out in pieces of at most kMaxReadPiece, each through readPiece(at,
// length) (a pread or a read). Returns the bytes that arrived; endOfData tells whether the
// reads stopped at the end of the data rather than on an error.
template <typename ReadPiece>
std::uint64_t ReadInPieces(std::uint8_t* out, std::uint64_t total, ReadPiece&& readPiece, bool& endOfData,
                           std::uint64_t maxPiece = kMaxReadPiece) {
  std::uint64_t done = 0;
  endOfData = false;
  while (done < total) {
    const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(total - done, maxPiece));
    g_systemReads.fetch_add(1, std::memory_order_relaxed);
    const ssize_t n = readPiece(out + done, piece, done);
    if (n <= 0) {
      endOfData = n == 0;
      break;
    }
    done += static_cast<std::uint64_t>(n);
  }
  return done;
}

}  // namespace

std::uint64_t SystemReadCount() { return g_systemReads.load(std::memory_order_relaxed); }

Result OpenDriveSource(SectorSource& source, int driveNumber) {
  std::string path;
  if (Result r = DrivePath(driveNumber, path); r != kSuccess) return r;
  if (Result r = FileHandle::OpenReadOnly(path, source.handle); r != kSuccess) return r;
  source.totalSectors = 0;
  DiskGeometry geometry;
  if (Result r = GetDriveGeometry(source.handle, geometry); r != kSuccess) return r;
  std::uint64_t length = 0;
  if (GetLengthBytes(source.handle, length) == kSuccess && geometry.bytesPerSector != 0)
    source.totalSectors = length / geometry.bytesPerSector;
  if (source.totalSectors == 0)
    source.totalSectors = geometry.cylinders * geometry.tracksPerCylinder * geometry.sectorsPerTrack;
  // An image standing in for a drive (IMAGE@START+COUNT) may be a container.
  if (!source.handle.IsBlockDevice()) {
    std::string ignored;
    if (Result r = OpenContainer(path, source.reader, ignored); r != kSuccess) return r;
    if (source.reader) source.totalSectors = source.reader->Size() / 512;
  }
  return kSuccess;
}

Result OpenImageSource(const std::string& path, SectorSource& source) {
  if (Result r = FileHandle::OpenReadOnly(path, source.handle); r != kSuccess) return r;
  std::uint64_t size = 0;
  if (Result r = source.handle.Size(size); r != kSuccess) {
    source.handle.Close();
    return r;
  }
  source.totalSectors = size / 512;
  std::string ignored;
  if (Result r = OpenContainer(path, source.reader, ignored); r != kSuccess) {
    source.handle.Close();
    return r;
  }
  if (source.reader) source.totalSectors = source.reader->Size() / 512;
  return kSuccess;
}

Result OpenPaddedFileSource(const std::string& path, SectorSource& source) {
  // A file looked at for its own content: never opened as the disk a container holds.
  if (Result r = FileHandle::OpenReadOnly(path, source.handle); r != kSuccess) return r;
  std::uint64_t size = 0;
  if (Result r = source.handle.Size(size); r != kSuccess) return r;
  source.totalSectors = size / 512 + (size % 512 != 0 ? 1 : 0);
  source.zeroPaddedTail = true;
  return kSuccess;
}

std::int32_t SourceSectorSize(const SectorSource& source) {
  if (!source.handle.IsValid() || !source.handle.IsBlockDevice()) return 512;
  DiskGeometry geometry;
  if (GetDriveGeometry(source.handle, geometry) != kSuccess || geometry.bytesPerSector == 0) return 512;
  return static_cast<std::int32_t>(geometry.bytesPerSector);
}

namespace {

Result ReadSectorsIn(std::uint64_t maxPiece, std::int32_t count, const SectorSource& source, void* buffer,
                     std::uint64_t firstSector, std::int32_t sectorSize, std::uint32_t* outSectorsRead) {
  if (count < 0 || sectorSize <= 0 || buffer == nullptr) return kErrInvalidParameter;
  // The end must not pass the medium; firstSector near 2^64 must not wrap around.
  if (firstSector > source.totalSectors || static_cast<std::uint64_t>(count) > source.totalSectors - firstSector)
    return kErrInvalidParameter;
  if (!source.handle.IsValid()) return kErrInvalidHandle;
  const std::uint64_t total = static_cast<std::uint64_t>(count) * static_cast<std::uint64_t>(sectorSize);
  std::uint64_t offset = 0;
  if (__builtin_mul_overflow(firstSector, static_cast<std::uint64_t>(sectorSize), &offset))
    return kErrInvalidParameter;
  auto* out = static_cast<std::uint8_t*>(buffer);
  bool endOfData = false;
  std::uint64_t done = ReadInPieces(
      out, total,
      [&](std::uint8_t* at, std::size_t length, std::uint64_t before) {
        return source.reader ? source.reader->ReadAt(offset + before, at, length)
                             : source.handle.Pread(at, length, offset + before);
      },
      endOfData, maxPiece);
  Result result = done == total ? kSuccess : kErrReadFault;
  if (done < total && endOfData && source.zeroPaddedTail) {
    // Past the end of a padded file: the rest of the range reads as zeros.
    std::fill(out + done, out + total, std::uint8_t{0});
    done = total;
    result = kSuccess;
  }
  if (outSectorsRead != nullptr) *outSectorsRead = static_cast<std::uint32_t>(done / static_cast<std::uint64_t>(sectorSize));
  return result;
}

}  // namespace

Result ReadSectors(std::int32_t count, const SectorSource& source, void* buffer, std::uint64_t firstSector,
                   std::int32_t sectorSize, std::uint32_t* outSectorsRead) {
  return ReadSectorsIn(kMaxReadPiece, count, source, buffer, firstSector, sectorSize, outSectorsRead);
}

Result ReadSectorsWhole(std::int32_t count, const SectorSource& source, void* buffer, std::uint64_t firstSector,
                        std::int32_t sectorSize, std::uint32_t* outSectorsRead) {
  return ReadSectorsIn(kMaxWholeReadPiece, count, source, buffer, firstSector, sectorSize, outSectorsRead);
}

Result ReadVolumeSectors(const SectorSource& source, std::uint64_t base, std::uint64_t length, std::uint64_t sector,
                         std::uint32_t count, std::int32_t sectorSize, std::uint8_t* buffer,
                         std::uint32_t* outSectorsRead) {
  if (outSectorsRead != nullptr) *outSectorsRead = 0;
  if (count == 0) return kSuccess;
  if (sector >= length || count > length - sector) return kErrInvalidParameter;
  std::uint32_t got = 0;
  const Result r = ReadSectors(static_cast<std::int32_t>(count), source, buffer, base + sector, sectorSize, &got);
  if (outSectorsRead != nullptr) *outSectorsRead = got;
  if (r == kSuccess && got < count) return kErrReadFault;
  return r;
}

Result ReadMediumBytes(const SectorSource& source, std::uint64_t offset, void* buffer, std::size_t length,
                       std::size_t* done) {
  if (!source.reader) return source.handle.ReadFully(buffer, length, offset, done);
  bool endOfData = false;
  const std::uint64_t got = ReadInPieces(
      static_cast<std::uint8_t*>(buffer), length,
      [&](std::uint8_t* at, std::size_t piece, std::uint64_t before) { return source.reader->ReadAt(offset + before, at, piece); },
      endOfData);
  if (done != nullptr) *done = static_cast<std::size_t>(got);
  return got == length ? kSuccess : kErrReadFault;
}

void CloseSource(SectorSource& source) {
  source.reader.reset();
  source.handle.Close();
  source.totalSectors = 0;
}

Result ReadBlocks(std::int32_t count, const FileHandle& handle, void* buffer, std::int32_t blockSize,
                  std::uint32_t* outBlocksRead) {
  if (count < 0 || blockSize <= 0 || buffer == nullptr) return kErrInvalidParameter;
  const std::uint64_t total = static_cast<std::uint64_t>(count) * static_cast<std::uint64_t>(blockSize);
  bool endOfData = false;
  const std::uint64_t done = ReadInPieces(
      static_cast<std::uint8_t*>(buffer), total,
      [&](std::uint8_t* at, std::size_t length, std::uint64_t) { return handle.Read(at, length); }, endOfData);
  const Result result = done == total ? kSuccess : kErrReadFault;
  if (outBlocksRead != nullptr) *outBlocksRead = static_cast<std::uint32_t>(done / static_cast<std::uint64_t>(blockSize));
  return result;
}

Result WriteBlocks(const FileHandle& handle, const void* buffer, std::int32_t blockSize,
                   std::uint32_t* outBlocksWritten, std::int32_t count) {
  if (count < 0 || blockSize <= 0 || buffer == nullptr) return kErrInvalidParameter;
  const std::uint64_t total = static_cast<std::uint64_t>(count) * static_cast<std::uint64_t>(blockSize);
  std::size_t done = 0;
  const Result result = handle.WriteAll(buffer, static_cast<std::size_t>(total), &done);
  if (outBlocksWritten != nullptr) *outBlocksWritten = static_cast<std::uint32_t>(done / static_cast<std::uint64_t>(blockSize));
  return result;
}

}  // namespace rexmoor
