// NTFS structures decoded by pure functions over byte spans: the boot sector's geometry, the MFT
// file record ("FILE") with its update-sequence fix-up, the attribute walk, the $FILE_NAME value
// and the entries of an $ATTRIBUTE_LIST. The quick and the formatted NTFS engines read the medium
// and hand the bytes here; nothing in this file does I/O.
//
// Every offset and length comes from the medium and is checked against the record before use: a
// record whose header does not add up is refused, an attribute that does not fit ends the walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace rexmoor {

// --- boot sector --------------------------------------------------------------------------------
inline constexpr std::size_t kNtfsBootBytesPerSector = 11;    // u16; 0 is taken as 512
inline constexpr std::size_t kNtfsBootSectorsPerCluster = 13; // u8: 1..128, or 0xF4 and the like for 2^(256 - byte)
inline constexpr std::size_t kNtfsBootTotalSectors = 40;      // u64
inline constexpr std::size_t kNtfsBootMftCluster = 48;        // u64
inline constexpr std::size_t kNtfsBootOemName = 3;          // 8 bytes: "NTFS    "
inline constexpr std::size_t kNtfsBootReservedSectors = 14;  // u16: always 0
inline constexpr std::size_t kNtfsBootSignature = 510;       // 0x55 0xAA
inline constexpr std::size_t kNtfsBootMinBytes = 512;
// The largest cluster NTFS allows.
inline constexpr std::uint32_t kNtfsMaxClusterBytes = 2u << 20;

struct NtfsGeometry {
  std::uint32_t bytesPerSector = 512;
  std::uint32_t sectorsPerCluster = 1;
  std::uint32_t recordSize = 1024;     // 1,024 bytes on 512-byte sectors, else one sector
  std::uint32_t sectorsPerRecord = 2;
  std::uint64_t totalSectors = 0;      // as the boot sector gives it
  std::uint64_t mftCluster = 0;

  std::uint32_t ClusterBytes() const { return bytesPerSector * sectorsPerCluster; }
};

// Whether a cluster of this many sectors is one NTFS can have: a power of two, at most 2 MiB.
bool IsNtfsClusterSectorCount(std::uint64_t sectorsPerCluster, std::uint32_t bytesPerSector);
// The boot sector's sectors-per-cluster byte: up to 128 it is the count; above, clusters of more
// than 64 KiB, it is a negative power of two (0xF4: 2^12). Nothing for a size NTFS cannot have.
std::optional<std::uint32_t> DecodeNtfsSectorsPerCluster(std::uint8_t value, std::uint32_t bytesPerSector);
// The geometry of an NTFS boot sector. Sector sizes other than 512, 1,024, 2,048 and 4,096 and
// cluster sizes NTFS cannot have are refused before anything is computed from them, as is an MFT
// cluster whose sector number would overflow.
std::optional<NtfsGeometry> ParseNtfsGeometry(std::span<const std::uint8_t> boot);
// Whether a boot sector is an NTFS boot sector (the detection rule, on the same sector sizes).
bool IsNtfsBootSector(std::span<const std::uint8_t> sector);

// --- file record header --------------------------------------------------------------------------
inline constexpr std::size_t kRecUsaOffset = 4;      // u16: offset of the update-sequence array
inline constexpr std::size_t kRecUsaCount = 6;       // u16: entries, the sequence number included
inline constexpr std::size_t kRecSequence = 16;      // u16: reuse count of the record
inline constexpr std::size_t kRecFirstAttribute = 20;// u16
inline constexpr std::size_t kRecFlags = 22;         // u16
inline constexpr std::size_t kRecBytesInUse = 24;    // u32
inline constexpr std::size_t kRecBaseRecord = 32;    // u64: 0 for a base record
inline constexpr std::size_t kRecNumber = 44;        // u32 (NTFS 3.1 records)
inline constexpr std::size_t kRecHeaderMin = 48;

inline constexpr std::uint16_t kRecFlagInUse = 0x01;
inline constexpr std::uint16_t kRecFlagDirectory = 0x02;
// The update sequence protects the last two bytes of every 512-byte stride, whatever the
// sector size.
inline constexpr std::size_t kFixupStride = 512;
inline constexpr std::size_t kMaxRecordSize = 4096;

inline constexpr std::uint32_t kRootFolderRecord = 5;
inline constexpr std::uint32_t kBitmapRecord = 6;
inline constexpr std::uint32_t kFirstUserRecord = 12;  // records below are the file system's own

// The "FILE" signature.
bool HasFileSignature(std::span<const std::uint8_t> record);

struct RecordHeader {
  std::uint16_t sequence = 0;
  std::uint16_t flags = 0;
  std::uint16_t firstAttribute = 0;
  std::uint32_t bytesInUse = 0;  // clipped to the record
  std::uint64_t baseRecord = 0;
  std::uint32_t number = 0;      // offset 44; meaningful on NTFS 3.1 only

  bool InUse() const { return (flags & kRecFlagInUse) != 0; }
  bool IsDirectory() const { return (flags & kRecFlagDirectory) != 0; }
};

// Checks the signature and the header's offsets, and applies the update sequence in place: the
// array must lie inside the header area, before the first attribute, and hold one entry per
// 512-byte stride of the record. The sequence numbers themselves are not compared, so a torn
// record is still read. Nothing is changed when the record is refused.
std::optional<RecordHeader> PrepareFileRecord(std::span<std::uint8_t> record);
// The header without the fix-up, for a record that was prepared already.
std::optional<RecordHeader> ParseRecordHeader(std::span<const std::uint8_t> record);

// --- attributes ----------------------------------------------------------------------------------
inline constexpr std::uint32_t kAttrStandardInformation = 0x10;
inline constexpr std::uint32_t kAttrAttributeList = 0x20;
inline constexpr std::uint32_t kAttrFileName = 0x30;
inline constexpr std::uint32_t kAttrData = 0x80;
inline constexpr std::uint32_t kAttrIndexAllocation = 0xA0;
inline constexpr std::uint32_t kAttrEnd = 0xFFFFFFFF;
// Types at or above this (0xFDFDFDFD fills unused record space on some systems) end a walk.
inline constexpr std::uint32_t kAttrTypeLimit = 0xFDFDFDFD;

inline constexpr std::size_t kAttrType = 0;            // u32
inline constexpr std::size_t kAttrLength = 4;          // u32
inline constexpr std::size_t kAttrNonResident = 8;     // u8
inline constexpr std::size_t kAttrNameLength = 9;      // u8, UTF-16 units
inline constexpr std::size_t kAttrNameOffset = 10;     // u16
inline constexpr std::size_t kAttrFlags = 12;          // u16
inline constexpr std::size_t kAttrValueLength = 16;    // u32, resident
inline constexpr std::size_t kAttrValueOffset = 20;    // u16, resident
inline constexpr std::size_t kAttrResidentHeader = 24;
inline constexpr std::size_t kAttrLowestVcn = 16;      // u64, non-resident
inline constexpr std::size_t kAttrHighestVcn = 24;     // u64
inline constexpr std::size_t kAttrRunsOffset = 32;     // u16
inline constexpr std::size_t kAttrAllocatedSize = 40;  // u64
inline constexpr std::size_t kAttrRealSize = 48;       // u64
inline constexpr std::size_t kAttrInitializedSize = 56;// u64
inline constexpr std::size_t kAttrNonResidentHeader = 64;

inline constexpr std::uint16_t kAttrFlagCompressed = 0x00FF;
inline constexpr std::uint16_t kAttrFlagEncrypted = 0x4000;

struct Attribute {
  std::uint32_t type = 0;
  std::size_t offset = 0;  // in the record
  std::size_t length = 0;
  bool nonResident = false;
  std::uint8_t nameLength = 0;
  std::span<const std::uint8_t> name;  // UTF-16LE, inside the attribute
  std::uint16_t flags = 0;
  // Resident: the value, inside the attribute.
  std::span<const std::uint8_t> value;
  // Non-resident: the mapping pairs, inside the attribute, and the sizes as stored.
  std::span<const std::uint8_t> runs;
  std::uint64_t lowestVcn = 0;
  std::uint64_t highestVcn = 0;
  std::uint64_t allocatedSize = 0;
  std::uint64_t realSize = 0;
  std::uint64_t initializedSize = 0;

  bool Unnamed() const { return nameLength == 0; }
};

// Walks the attributes of a prepared record from its first attribute up to its bytes in use.
// The walk ends at the end marker, at a type of 0 or at or above kAttrTypeLimit, and at the first
// attribute whose header, value or run list does not fit: what was read before stays good.
class AttributeWalker {
 public:
  AttributeWalker(std::span<const std::uint8_t> record, const RecordHeader& header);
  std::optional<Attribute> Next();
  // Whether the walk stopped at damage rather than at the end marker.
  bool Damaged() const { return damaged_; }

 private:
  std::span<const std::uint8_t> record_;
  std::size_t at_ = 0;
  std::size_t end_ = 0;
  bool done_ = false;
  bool damaged_ = false;
};

// The first attribute of a type (unnamed only when asked), or nothing.
std::optional<Attribute> FindAttribute(std::span<const std::uint8_t> record, const RecordHeader& header,
                                       std::uint32_t type, bool unnamedOnly);

// Named $DATA streams ("file:stream"). A found stream is told by its number: the n-th named
// $DATA attribute that starts a stream (resident, or its extent at vcn 0) in the record's walk is
// stream n, counting from 1; 0 stands for the unnamed stream.
inline constexpr std::size_t kMaxNamedStreams = 0xFFFF;
std::vector<Attribute> NamedDataStreams(std::span<const std::uint8_t> record, const RecordHeader& header);
// The UTF-16LE name as UTF-8, cut on a character boundary to maxBytes (not yet sanitised).
std::string Utf16NameText(std::span<const std::uint8_t> bytes, std::size_t maxBytes);

// --- $FILE_NAME ----------------------------------------------------------------------------------
inline constexpr std::size_t kFnParentRef = 0;      // u64: record number (48 bits) and sequence
inline constexpr std::size_t kFnCreated = 8;        // u64 FILETIME
inline constexpr std::size_t kFnModified = 16;
inline constexpr std::size_t kFnMftModified = 24;
inline constexpr std::size_t kFnAccessed = 32;
inline constexpr std::size_t kFnRealSize = 48;      // u64
inline constexpr std::size_t kFnNameLength = 64;    // u8, UTF-16 units
inline constexpr std::size_t kFnNamespace = 65;     // u8
inline constexpr std::size_t kFnName = 66;

enum FileNameSpace : std::uint8_t { kNamePosix = 0, kNameWin32 = 1, kNameDos = 2, kNameWin32AndDos = 3 };

struct FileNameInfo {
  std::uint64_t parentReference = 0;
  std::uint64_t created = 0;
  std::uint64_t modified = 0;
  std::uint64_t mftModified = 0;
  std::uint64_t accessed = 0;
  std::uint64_t realSize = 0;
  std::uint8_t nameSpace = 0;
  std::span<const std::uint8_t> nameBytes;  // UTF-16LE, inside the value

  std::uint32_t ParentNumber() const { return static_cast<std::uint32_t>(parentReference); }
};

std::optional<FileNameInfo> ParseFileName(std::span<const std::uint8_t> value);
// The name as UTF-8, cut on a character boundary to maxBytes (not yet sanitised).
std::string FileNameText(const FileNameInfo& name, std::size_t maxBytes);
// How much a namespace is preferred for the name shown: Win32 names over POSIX over DOS.
int FileNameRank(std::uint8_t nameSpace);

// --- $STANDARD_INFORMATION --------------------------------------------------------------------
inline constexpr std::size_t kSiCreated = 0;      // u64 FILETIME
inline constexpr std::size_t kSiModified = 8;
inline constexpr std::size_t kSiMftModified = 16;
inline constexpr std::size_t kSiAccessed = 24;
inline constexpr std::size_t kSiTimesEnd = 32;

struct NtfsTimes {
  std::uint64_t created = 0;
  std::uint64_t modified = 0;
  std::uint64_t mftModified = 0;
  std::uint64_t accessed = 0;
};

// The times of a $STANDARD_INFORMATION value; nothing when the value is too short to hold them.
std::optional<NtfsTimes> ParseStandardTimes(std::span<const std::uint8_t> value);
// The times a file is shown with: those of its record's $STANDARD_INFORMATION, which every change
// of the file updates, else those of its $FILE_NAME, which keep what they were when the name was
// last written.
NtfsTimes FileTimesOf(std::span<const std::uint8_t> record, const RecordHeader& header, const FileNameInfo& name);

// --- $ATTRIBUTE_LIST -----------------------------------------------------------------------------
inline constexpr std::size_t kAlType = 0;         // u32
inline constexpr std::size_t kAlLength = 4;       // u16
inline constexpr std::size_t kAlNameLength = 6;   // u8, UTF-16 units
inline constexpr std::size_t kAlNameOffset = 7;   // u8
inline constexpr std::size_t kAlLowestVcn = 8;    // u64
inline constexpr std::size_t kAlRecordRef = 16;   // u64
inline constexpr std::size_t kAlEntryMin = 26;

struct AttributeListEntry {
  std::uint32_t type = 0;
  std::uint8_t nameLength = 0;
  std::span<const std::uint8_t> name;  // UTF-16LE, inside the list
  std::uint64_t lowestVcn = 0;
  std::uint64_t recordReference = 0;

  std::uint32_t RecordNumber() const { return static_cast<std::uint32_t>(recordReference); }
};

// Reads the entry at offset of a list's bytes; next gets the offset of the one after it. Nothing
// at the end of the list (type 0 or kAttrEnd) or where an entry does not fit.
std::optional<AttributeListEntry> ParseAttributeListEntry(std::span<const std::uint8_t> list, std::size_t offset,
                                                          std::size_t& next);

}  // namespace rexmoor
