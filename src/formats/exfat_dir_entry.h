// Pure decoders for raw exFAT directory data: the entry set a File entry opens (File, Stream
// Extension, File Name entries and their deleted forms), its checksum and name hash, the
// timestamps, and the judgement whether a sector holds directory entries. Nothing here reads a
// medium or keeps state; every function takes an untrusted byte span and never reads past it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "formats/exfat_layout.h"

namespace rexmoor {

inline constexpr std::size_t kExfatEntrySize = 32;

// Entry types (byte 0). Bit 7 is the in-use bit: clear on a deleted entry (0x85 becomes 0x05).
inline constexpr std::uint8_t kExfatInUse = 0x80;
inline constexpr std::uint8_t kExfatTypeEndOfDirectory = 0x00;
inline constexpr std::uint8_t kExfatTypeBitmap = 0x81;
inline constexpr std::uint8_t kExfatTypeUpcase = 0x82;
inline constexpr std::uint8_t kExfatTypeLabel = 0x83;
inline constexpr std::uint8_t kExfatTypeFile = 0x85;
inline constexpr std::uint8_t kExfatTypeGuid = 0xA0;
inline constexpr std::uint8_t kExfatTypeStream = 0xC0;
inline constexpr std::uint8_t kExfatTypeName = 0xC1;

// File attributes.
inline constexpr std::uint16_t kExfatAttrReadOnly = 0x01;
inline constexpr std::uint16_t kExfatAttrHidden = 0x02;
inline constexpr std::uint16_t kExfatAttrSystem = 0x04;
inline constexpr std::uint16_t kExfatAttrFolder = 0x10;
inline constexpr std::uint16_t kExfatAttrArchive = 0x20;

// Stream extension flags.
inline constexpr std::uint8_t kExfatAllocationPossible = 0x01;
inline constexpr std::uint8_t kExfatNoFatChain = 0x02;

// A name is at most 255 UTF-16 units, 15 per File Name entry; a set is at most 19 entries.
inline constexpr std::size_t kExfatMaxNameUnits = 255;
inline constexpr std::size_t kExfatMaxSetEntries = 19;

// A timestamp as exFAT keeps it: DOS date and time (2-second steps), the 10 ms increment
// (0..199) and the UTC offset byte (bit 7: valid; low 7 bits: signed quarter hours).
struct ExfatTimestamp {
  std::uint32_t stamp = 0;
  std::uint8_t tenMs = 0;
  std::uint8_t utcOffset = 0;
};

// The FILETIME (100 ns ticks since 1601, UTC) of a timestamp: its UTC offset applied when the
// offset is marked valid, else the stamp taken as UTC. Nothing for an impossible date or time.
std::optional<std::uint64_t> ExfatTimeToFileTime(const ExfatTimestamp& t);

// A decoded entry set.
struct ExfatEntrySet {
  bool deleted = false;         // the File entry's in-use bit is clear
  std::size_t entryCount = 0;   // 1 + the File entry's secondary count
  std::uint16_t attributes = 0;
  ExfatTimestamp created;
  ExfatTimestamp modified;
  ExfatTimestamp accessed;      // its 10 ms increment is always 0
  std::uint8_t streamFlags = 0;
  std::uint16_t nameHash = 0;
  std::uint64_t validDataLength = 0;
  std::uint32_t firstCluster = 0;
  std::uint64_t dataLength = 0;
  std::u16string name16;        // the name as stored, NameLength units
  std::string name;             // the same in UTF-8 (unpaired surrogates as U+FFFD)

  bool IsFolder() const { return (attributes & kExfatAttrFolder) != 0; }
  bool NoFatChain() const { return (streamFlags & kExfatNoFatChain) != 0; }
};

enum class ExfatSetStatus : std::uint8_t {
  Ok,
  NotASet,      // the first entry is no File entry, or the entries after it do not follow the form
  Truncated,    // the span ends before the set does (the caller may retry with more bytes)
  BadChecksum,  // the form holds but the SetChecksum does not
  BadNameHash,  // the checksum holds but the name does not hash to NameHash
};

// The SetChecksum of a set's bytes (the File entry's own checksum field skipped).
std::uint16_t ExfatSetChecksum(std::span<const std::uint8_t> set);
// The NameHash of a name under an up-case table.
std::uint16_t ExfatNameHash(std::u16string_view name, const ExfatUpcase& upcase);

// Decodes the entry set that opens at the start of entries: a File entry (live or deleted) with
// a secondary count of 2..18, then a Stream Extension and ceil(NameLength / 15) File Name entries
// with the same in-use bit as the File entry, then any further benign secondaries. The checksum
// must hold; the name hash is checked under upcase (a default upcase checks ASCII names only,
// and a name it cannot judge passes). out is filled on Ok and left unspecified otherwise.
ExfatSetStatus ParseExfatEntrySet(std::span<const std::uint8_t> entries, const ExfatUpcase& upcase,
                                  ExfatEntrySet& out);

// Whether a sector holds at least one whole entry set whose checksum holds, starting on a
// 32-byte boundary inside it: how the deep scan tells an exFAT directory sector from data.
bool HoldsExfatEntrySet(std::span<const std::uint8_t> sector);

}  // namespace rexmoor
