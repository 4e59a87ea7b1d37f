// Pure tests and decoders for raw FAT directory data: the 32-byte entry, its date and time
// fields, the "."/".." pair that opens a sub-folder, the long-name checksum and the judgement
// whether a whole buffer looks like a directory sector. Nothing here reads a medium or keeps
// state; every function takes an untrusted byte span and never reads past it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace rexmoor {

// Layout of a 32-byte short directory entry (all fields little-endian).
inline constexpr std::size_t kDirEntrySize = 32;
inline constexpr std::size_t kEntryName = 0;               // 8 bytes, base name padded with spaces
inline constexpr std::size_t kEntryExt = 8;                // 3 bytes, extension padded with spaces
inline constexpr std::size_t kShortNameLength = 11;        // base name + extension
inline constexpr std::size_t kEntryAttr = 11;              // 1 byte, attribute bits below
inline constexpr std::size_t kEntryCaseFlags = 12;         // 1 byte, lower-case display hints
inline constexpr std::size_t kEntryCreateHundredths = 13;  // 1 byte
inline constexpr std::size_t kEntryCreateTime = 14;        // 2 bytes
inline constexpr std::size_t kEntryCreateDate = 16;        // 2 bytes
inline constexpr std::size_t kEntryAccessDate = 18;        // 2 bytes
inline constexpr std::size_t kEntryClusterHigh = 20;       // 2 bytes, FAT32 only
inline constexpr std::size_t kEntryWriteTime = 22;         // 2 bytes
inline constexpr std::size_t kEntryWriteDate = 24;         // 2 bytes
inline constexpr std::size_t kEntryClusterLow = 26;        // 2 bytes
inline constexpr std::size_t kEntryFileSize = 28;          // 4 bytes

// Layout of a long-name entry, which shares the attribute byte (0x0F) with the short entry.
inline constexpr std::size_t kLfnSequence = 0;   // 1 byte, count 1..20, 0x40 on the last part
inline constexpr std::size_t kLfnChars1 = 1;     // 5 UTF-16 units
inline constexpr std::size_t kLfnChecksum = 13;  // 1 byte, checksum of the owning short name
inline constexpr std::size_t kLfnChars2 = 14;    // 6 UTF-16 units
inline constexpr std::size_t kLfnClusterLow = 26;  // always 0
inline constexpr std::size_t kLfnChars3 = 28;    // 2 UTF-16 units
inline constexpr std::size_t kLfnUnitsPerEntry = 13;
inline constexpr std::uint8_t kLfnLastPartFlag = 0x40;

// Attribute bits.
inline constexpr std::uint8_t kAttrReadOnly = 0x01;
inline constexpr std::uint8_t kAttrHidden = 0x02;
inline constexpr std::uint8_t kAttrSystem = 0x04;
inline constexpr std::uint8_t kAttrVolumeLabel = 0x08;
inline constexpr std::uint8_t kAttrFolder = 0x10;
inline constexpr std::uint8_t kAttrArchive = 0x20;
inline constexpr std::uint8_t kAttrLongName = 0x0F;  // the whole byte, not a bit

// First name byte of a deleted entry.
inline constexpr std::uint8_t kDeletedMark = 0xE5;

// Plausible FAT dates: live file entries stamped outside this window are taken as noise.
inline constexpr int kPlausibleFirstYear = 1990;
inline constexpr int kPlausibleLastYear = 2050;  // up to 2050-01-01 00:00:00 inclusive

// Decoded fields of a short entry. Decoding never fails on content, only on a short span.
struct DirEntry {
  std::array<std::uint8_t, kShortNameLength> shortName{};
  std::uint8_t attr = 0;
  std::uint8_t createHundredths = 0;
  std::uint16_t createTime = 0;
  std::uint16_t createDate = 0;
  std::uint16_t accessDate = 0;
  std::uint16_t clusterHigh = 0;
  std::uint16_t writeTime = 0;
  std::uint16_t writeDate = 0;
  std::uint16_t clusterLow = 0;
  std::uint32_t size = 0;

  bool IsDeleted() const { return shortName[0] == kDeletedMark; }
  bool IsLongName() const { return attr == kAttrLongName; }
  bool IsFolder() const { return (attr & kAttrFolder) != 0; }
  // A file, whatever its read-only, hidden, system and archive bits: neither a folder nor a
  // volume label nor a long-name part.
  bool IsFile() const { return (attr & (kAttrFolder | kAttrVolumeLabel)) == 0; }
  std::uint32_t FirstCluster() const {
    return (static_cast<std::uint32_t>(clusterHigh) << 16) | clusterLow;
  }
};

// The part of a long name one long-name entry carries.
struct LfnEntry {
  std::uint8_t sequence = 0;
  std::uint8_t checksum = 0;
  // In name order; a 0x0000 unit ends the name and 0xFFFF pads the last entry.
  std::array<char16_t, kLfnUnitsPerEntry> units{};
};

// The three stamps of an entry as FILETIMEs (no time-zone shift); a flag is false when the
// fields do not form a valid date and time, and the value is then 0.
struct FatTimes {
  std::uint64_t created = 0;
  std::uint64_t accessed = 0;
  std::uint64_t modified = 0;
  bool createdOk = false;
  bool accessedOk = false;
  bool modifiedOk = false;
};

constexpr std::uint32_t FirstCluster(std::uint16_t high, std::uint16_t low) {
  return (static_cast<std::uint32_t>(high) << 16) | low;
}

// The entry at the start of the span; nothing when fewer than 32 bytes are available.
std::optional<DirEntry> DecodeDirEntry(std::span<const std::uint8_t> entry);
// The long-name fields of the entry at the start of the span (the attribute is not checked).
std::optional<LfnEntry> DecodeLfnEntry(std::span<const std::uint8_t> entry);

// Gathers the long-name entries that precede a short entry (they come last part first) into the
// name they spell: at most 20 parts of 13 UTF-16 units.
class LongNameAssembler {
 public:
  static constexpr std::size_t kUnits = 260;

  void Clear() { start_ = kUnits; }
  bool Empty() const { return start_ >= kUnits; }
  // Adds the entry's part in front of those gathered; false (nothing added) when the name would
  // grow longer than any real one.
  bool Add(std::span<const std::uint8_t> entry);
  // The name up to its first 0x0000 unit, as UTF-8; empty when nothing was gathered. Clears.
  std::string Take();

 private:
  std::array<char16_t, kUnits> units_{};
  std::size_t start_ = kUnits;
};

// A short entry met by WalkDirectoryEntries, with the long name gathered in front of it.
struct DirWalkEntry {
  const DirEntry& entry;
  std::span<const std::uint8_t> raw;  // the entry and what follows it in the block
  const std::string& longName;        // empty when no long name precedes it
  std::size_t offset;                 // of the entry in the block
};

enum class DirWalkEnd : std::uint8_t {
  BlockEnd,     // every whole entry was walked
  EndMarker,    // an entry whose first byte is 0 ends the folder
  NameTooLong,  // a long-name run longer than any real name
  Stopped,      // the visitor asked to stop
};

struct DirWalkResult {
  DirWalkEnd end = DirWalkEnd::BlockEnd;
  // With BlockEnd: the block ended inside a long-name run, which began at runOffset (0 when it
  // came in from an earlier block) and carries runChecksum.
  bool inLongName = false;
  std::size_t runOffset = 0;
  std::uint8_t runChecksum = 0;
};

// Walks the entries of one directory block in order: an entry whose first byte is 0 ends the
// walk, an implausible entry is skipped (and drops the long name gathered so far), long-name parts
// are gathered into longName and every other plausible entry goes to visit (false stops). A name
// gathered at the end of an earlier block may come in through longName.
DirWalkResult WalkDirectoryEntries(std::span<const std::uint8_t> block, LongNameAssembler& longName,
                                   const std::function<bool(const DirWalkEntry&)>& visit);

// Creation (with hundredths), last access (date only) and last write stamps of an entry.
// All flags are false for a span shorter than 32 bytes.
FatTimes DecodeFatTimes(std::span<const std::uint8_t> entry);

// Whether the entry at the start of the span could be a real directory entry. The span may
// run on past the entry: when the next entry is available too, a "."/".." pair is accepted at
// once. A file entry needs no attribute bit: the archive bit is cleared by backup tools and
// never set by some writers. Fewer than 32 bytes: false.
bool IsPlausibleDirEntry(std::span<const std::uint8_t> entry);

// A short-name byte that no FAT driver writes (controls, lower case, reserved punctuation,
// '.'). The first byte of a deleted entry is not examined. Fewer than 11 bytes: false.
bool ShortNameHasBadChar(std::span<const std::uint8_t> entry);

// The "." and ".." entries that open every sub-folder. Fewer than 64 bytes: false.
bool IsDotPair(std::span<const std::uint8_t> entries);

// The standard long-name checksum of an 11-byte short name.
std::uint8_t LfnChecksum(std::span<const std::uint8_t, kShortNameLength> shortName);

// Whether the whole buffer reads as consecutive FAT directory entries (trailing bytes that do
// not make a whole entry are ignored). At least one entry must carry a type bit (folder,
// archive, long name or label): entries without any may stand beside it, but never make a
// directory sector on their own. A buffer shorter than one entry is accepted.
bool IsFatDirectorySector(std::span<const std::uint8_t> buffer);

}  // namespace rexmoor
