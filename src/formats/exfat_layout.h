// The geometry of an exFAT volume as its boot region describes it, the boot-region checksum that
// tells a sound region from a damaged one, the FAT entries and the up-case table. Pure functions
// over untrusted bytes: nothing here reads a medium, and nothing reads past the span it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace rexmoor {

// A boot region is 12 sectors: the boot sector, 8 extended boot sectors, the OEM parameters, a
// reserved sector and the checksum sector. The backup region follows it at sector 12.
inline constexpr std::uint32_t kExfatBootRegionSectors = 12;
inline constexpr std::uint32_t kExfatBackupBootSector = 12;

// Boot sector fields (little-endian).
inline constexpr std::size_t kExfatFileSystemName = 3;          // "EXFAT   "
inline constexpr std::size_t kExfatMustBeZero = 11;             // 53 bytes of zeros
inline constexpr std::size_t kExfatPartitionOffset = 64;        // u64
inline constexpr std::size_t kExfatVolumeLength = 72;           // u64, sectors
inline constexpr std::size_t kExfatFatOffset = 80;              // u32, sectors
inline constexpr std::size_t kExfatFatLength = 84;              // u32, sectors
inline constexpr std::size_t kExfatClusterHeapOffset = 88;      // u32, sectors
inline constexpr std::size_t kExfatClusterCount = 92;           // u32
inline constexpr std::size_t kExfatFirstClusterOfRoot = 96;     // u32
inline constexpr std::size_t kExfatVolumeSerial = 100;          // u32
inline constexpr std::size_t kExfatRevision = 104;              // u16
inline constexpr std::size_t kExfatVolumeFlags = 106;           // u16
inline constexpr std::size_t kExfatBytesPerSectorShift = 108;   // u8, 9..12
inline constexpr std::size_t kExfatSectorsPerClusterShift = 109; // u8, cluster at most 32 MiB
inline constexpr std::size_t kExfatNumberOfFats = 110;          // u8, 1 or 2

// FAT entry values.
inline constexpr std::uint32_t kExfatFirstCluster = 2;
inline constexpr std::uint32_t kExfatBadCluster = 0xFFFFFFF7;
inline constexpr std::uint32_t kExfatEndOfChain = 0xFFFFFFFF;
// The most clusters a volume can have.
inline constexpr std::uint32_t kExfatMaxClusterCount = 0xFFFFFFF5;

struct ExfatLayout {
  std::uint32_t bytesPerSector = 0;     // 512 .. 4096
  std::uint32_t sectorsPerCluster = 0;  // a power of two; a cluster is at most 32 MiB
  std::uint64_t volumeLength = 0;       // sectors
  std::uint32_t fatOffset = 0;          // sectors from the volume start (the first FAT)
  std::uint32_t fatLength = 0;          // sectors of one FAT
  std::uint32_t numberOfFats = 1;
  std::uint32_t clusterHeapOffset = 0;  // sectors from the volume start to cluster 2
  std::uint32_t clusterCount = 0;
  std::uint32_t rootCluster = 0;
  std::uint32_t volumeSerial = 0;
  std::uint16_t volumeFlags = 0;        // bit 0: the second FAT is the active one
  bool fromBackup = false;              // the main boot region was damaged; the backup was used

  std::uint64_t ClusterBytes() const { return std::uint64_t{bytesPerSector} * sectorsPerCluster; }
  bool IsValidCluster(std::uint64_t cluster) const {
    return cluster >= kExfatFirstCluster && cluster - kExfatFirstCluster < clusterCount;
  }
  // Volume-relative first sector of a cluster; nothing for a cluster outside the heap.
  std::optional<std::uint64_t> ClusterSector(std::uint64_t cluster) const;
  // Volume-relative first sector of the active FAT.
  std::uint64_t ActiveFatSector() const;
};

// Whether a sector reads as an exFAT boot sector: the name, the zeroed BIOS block, the 0x55AA
// signature and sizes a volume can have. Says nothing about the region's checksum.
bool IsExfatBootSector(std::span<const std::uint8_t> sector);
// Decodes and checks a boot sector: sector and cluster sizes in range, the FAT and the cluster
// heap inside the volume and in that order, the FAT long enough for the clusters, the root
// cluster inside the heap.
std::optional<ExfatLayout> ParseExfatBootSector(std::span<const std::uint8_t> sector);
// The checksum of the first 11 sectors of a boot region (volume flags and percent-in-use
// skipped), as the 12th sector repeats it.
std::uint32_t ExfatBootChecksum(std::span<const std::uint8_t> elevenSectors, std::uint32_t bytesPerSector);
// Decodes a whole boot region (12 sectors of the size the boot sector names) whose checksum
// sector agrees with its first 11 sectors.
std::optional<ExfatLayout> ParseExfatBootRegion(std::span<const std::uint8_t> region);
// The volume's layout from its first bytes (at least 24 sectors' worth for the backup to be
// used): the main boot region when its checksum holds, else the backup region, marked
// fromBackup. When the area is too short to hold a whole region (4 KiB sectors in a 16 KiB
// area), a boot sector that decodes on its own is taken.
std::optional<ExfatLayout> FindExfatLayout(std::span<const std::uint8_t> bootArea);

// The FAT entry of a cluster from the 4 bytes at its offset in the FAT (cluster * 4).
inline constexpr std::uint64_t ExfatFatEntryOffset(std::uint32_t cluster) { return std::uint64_t{cluster} * 4; }

// The 32-bit checksum exFAT keeps of its up-case table (rotate right, add each byte).
std::uint32_t ExfatTableChecksum(std::span<const std::uint8_t> bytes);

// The up-case table: maps a UTF-16 unit to its capital for name hashes and comparisons. A
// default table maps a-z only (and everything else to itself) until a volume's table is loaded.
class ExfatUpcase {
 public:
  // Decodes a volume's table (the compressed form: 0xFFFF followed by a run length of units that
  // map to themselves). False, and the table unchanged, when the bytes do not hold a table.
  bool Load(std::span<const std::uint8_t> table);
  bool Loaded() const { return !map_.empty(); }
  char16_t Map(char16_t unit) const;

 private:
  std::vector<char16_t> map_;
};

}  // namespace rexmoor
