// A medium seen as one flat array of sectors: a whole drive or an image file, opened read-only.
// Engines add their own partition offset; this layer knows no partitions.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/file_handle.h"

namespace rexmoor {

class MediumReader;

struct SectorSource {
  FileHandle handle;
  std::uint64_t totalSectors = 0;
  // Set for a file read as if its last partial sector were padded with zeros, as slack would be:
  // reads past the file's end deliver zeros up to totalSectors.
  bool zeroPaddedTail = false;
  // Set for a disk image kept in a container (EWF, VHD, split raw, ...): reads go through it
  // instead of the handle, which stays open on the container's first file.
  std::shared_ptr<MediumReader> reader;
};

// Largest piece handed to one system read.
inline constexpr std::uint32_t kMaxReadPiece = 0x10000;

Result OpenDriveSource(SectorSource& source, int driveNumber);
Result OpenImageSource(const std::string& path, SectorSource& source);
// Opens a file as a medium of 512-byte sectors whose last partial sector reads as zero-padded.
Result OpenPaddedFileSource(const std::string& path, SectorSource& source);
// Largest piece of ReadSectorsWhole.
inline constexpr std::uint32_t kMaxWholeReadPiece = 8u << 20;
// Sector size of an open source: the drive geometry's, 512 for image files or when unknown.
std::int32_t SourceSectorSize(const SectorSource& source);

// Reads count sectors of sectorSize bytes starting at firstSector. 87 when the range passes the
// end (nothing read, outSectorsRead untouched); 30 when the medium stops delivering, with
// outSectorsRead set to the whole sectors that did arrive.
Result ReadSectors(std::int32_t count, const SectorSource& source, void* buffer,
                   std::uint64_t firstSector, std::int32_t sectorSize, std::uint32_t* outSectorsRead);
// The same in system reads of up to kMaxWholeReadPiece, for the sweep's large sequential blocks.
Result ReadSectorsWhole(std::int32_t count, const SectorSource& source, void* buffer,
                        std::uint64_t firstSector, std::int32_t sectorSize, std::uint32_t* outSectorsRead);
// The same for a volume: count sectors at sector, counted from the volume's first sector (base)
// and refused (87) when any lies at or past its length. A read that stops short gives 30, with
// outSectorsRead (when given) set to the whole sectors that arrived.
Result ReadVolumeSectors(const SectorSource& source, std::uint64_t base, std::uint64_t length, std::uint64_t sector,
                         std::uint32_t count, std::int32_t sectorSize, std::uint8_t* buffer,
                         std::uint32_t* outSectorsRead);
void CloseSource(SectorSource& source);
// Reads length bytes at a byte offset of the medium, through its container when it has one;
// 30 when fewer arrived (done, when given, gets how many did).
Result ReadMediumBytes(const SectorSource& source, std::uint64_t offset, void* buffer, std::size_t length,
                       std::size_t* done = nullptr);

// Sequential block transfers at a descriptor's own position, for the disk-image writer.
Result ReadBlocks(std::int32_t count, const FileHandle& handle, void* buffer, std::int32_t blockSize,
                  std::uint32_t* outBlocksRead);
Result WriteBlocks(const FileHandle& handle, const void* buffer, std::int32_t blockSize,
                   std::uint32_t* outBlocksWritten, std::int32_t count);

// Number of system reads issued by ReadSectors/ReadBlocks so far (diagnostics and tests).
std::uint64_t SystemReadCount();

}  // namespace rexmoor
