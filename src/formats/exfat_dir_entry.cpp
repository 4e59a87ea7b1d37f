#include "formats/exfat_dir_entry.h"

#include <algorithm>

#include "platform/byte_view.h"
#include "platform/clock.h"
#include "platform/text.h"

namespace rexmoor {

namespace {

// File entry fields.
constexpr std::size_t kSecondaryCount = 1;
constexpr std::size_t kSetChecksum = 2;
constexpr std::size_t kFileAttributes = 4;
constexpr std::size_t kCreateStamp = 8;
constexpr std::size_t kModifyStamp = 12;
constexpr std::size_t kAccessStamp = 16;
constexpr std::size_t kCreate10ms = 20;
constexpr std::size_t kModify10ms = 21;
constexpr std::size_t kCreateUtcOffset = 22;
constexpr std::size_t kModifyUtcOffset = 23;
constexpr std::size_t kAccessUtcOffset = 24;
// Stream extension fields.
constexpr std::size_t kStreamFlags = 1;
constexpr std::size_t kNameLength = 3;
constexpr std::size_t kNameHash = 4;
constexpr std::size_t kValidDataLength = 8;
constexpr std::size_t kFirstCluster = 20;
constexpr std::size_t kDataLength = 24;
// File name entries: 15 UTF-16 units from byte 2.
constexpr std::size_t kNameUnits = 2;
constexpr std::size_t kUnitsPerNameEntry = 15;
// Secondary entries have bit 6 of their type set.
constexpr std::uint8_t kSecondaryBit = 0x40;
// Data lengths beyond this are no real file (the largest volume holds 128 PiB).
constexpr std::uint64_t kMaxDataLength = 1ull << 57;

std::uint16_t Rotate16(std::uint16_t sum, std::uint8_t byte) {
  return static_cast<std::uint16_t>(((sum & 1) ? 0x8000u : 0u) + (sum >> 1) + byte);
}

std::uint8_t Type(const std::uint8_t* entry) { return entry[0]; }
bool InUse(const std::uint8_t* entry) { return (entry[0] & kExfatInUse) != 0; }

// Whether the first two entries open a set: a File entry with a secondary count that fits a
// stream and a name, and a Stream Extension with the same in-use bit whose name needs no more
// entries than the set has. The most the sweep tests for each 32-byte slot.
bool OpensSet(const std::uint8_t* file, const std::uint8_t* stream) {
  if ((Type(file) | kExfatInUse) != kExfatTypeFile) return false;
  const std::uint8_t secondaries = file[kSecondaryCount];
  if (secondaries < 2 || secondaries > kExfatMaxSetEntries - 1) return false;
  if ((Type(stream) | kExfatInUse) != kExfatTypeStream || InUse(stream) != InUse(file)) return false;
  const std::size_t nameLength = stream[kNameLength];
  if (nameLength == 0) return false;
  return 1 + (nameLength + kUnitsPerNameEntry - 1) / kUnitsPerNameEntry <= secondaries;
}

ExfatTimestamp Stamp(const std::uint8_t* file, std::size_t stamp, std::size_t tenMs, std::size_t offset) {
  ExfatTimestamp t;
  t.stamp = LoadU32LE(file + stamp);
  t.tenMs = tenMs == 0 ? 0 : file[tenMs];
  t.utcOffset = file[offset];
  return t;
}

}  // namespace

std::optional<std::uint64_t> ExfatTimeToFileTime(const ExfatTimestamp& t) {
  if (t.stamp == 0 || t.tenMs > 199) return std::nullopt;
  CivilTime c;
  c.year = 1980 + static_cast<int>(t.stamp >> 25);
  c.month = static_cast<int>((t.stamp >> 21) & 0x0F);
  c.day = static_cast<int>((t.stamp >> 16) & 0x1F);
  c.hour = static_cast<int>((t.stamp >> 11) & 0x1F);
  c.minute = static_cast<int>((t.stamp >> 5) & 0x3F);
  c.second = static_cast<int>(t.stamp & 0x1F) * 2;
  auto local = CivilToFileTime(c);
  if (!local) return std::nullopt;
  std::int64_t ticks = static_cast<std::int64_t>(*local) + std::int64_t{t.tenMs} * 100'000;
  if ((t.utcOffset & 0x80) != 0) {
    // Seven-bit two's complement quarter hours east of UTC.
    const int quarters = (t.utcOffset & 0x40) != 0 ? static_cast<int>(t.utcOffset & 0x7F) - 128 : t.utcOffset & 0x3F;
    ticks -= std::int64_t{quarters} * 15 * 60 * 10'000'000;
  }
  if (ticks < 0) return std::nullopt;
  return static_cast<std::uint64_t>(ticks);
}

std::uint16_t ExfatSetChecksum(std::span<const std::uint8_t> set) {
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i < set.size(); ++i) {
    if (i == kSetChecksum || i == kSetChecksum + 1) continue;
    sum = Rotate16(sum, set[i]);
  }
  return sum;
}

std::uint16_t ExfatNameHash(std::u16string_view name, const ExfatUpcase& upcase) {
  std::uint16_t hash = 0;
  for (char16_t unit : name) {
    const char16_t up = upcase.Map(unit);
    hash = Rotate16(hash, static_cast<std::uint8_t>(up & 0xFF));
    hash = Rotate16(hash, static_cast<std::uint8_t>(up >> 8));
  }
  return hash;
}

ExfatSetStatus ParseExfatEntrySet(std::span<const std::uint8_t> entries, const ExfatUpcase& upcase,
                                  ExfatEntrySet& out) {
  if (entries.size() < kExfatEntrySize) return ExfatSetStatus::Truncated;
  const std::uint8_t* file = entries.data();
  if ((Type(file) | kExfatInUse) != kExfatTypeFile) return ExfatSetStatus::NotASet;
  if (entries.size() < 2 * kExfatEntrySize) return ExfatSetStatus::Truncated;
  const std::uint8_t* stream = file + kExfatEntrySize;
  if (!OpensSet(file, stream)) return ExfatSetStatus::NotASet;
  const std::size_t count = std::size_t{1} + file[kSecondaryCount];
  const std::size_t nameLength = stream[kNameLength];
  const std::size_t nameEntries = (nameLength + kUnitsPerNameEntry - 1) / kUnitsPerNameEntry;
  const bool inUse = InUse(file);
  // Every entry of the set must be of its form as far as the span goes.
  const std::size_t present = std::min(count, entries.size() / kExfatEntrySize);
  for (std::size_t k = 2; k < present; ++k) {
    const std::uint8_t* e = file + k * kExfatEntrySize;
    if (InUse(e) != inUse) return ExfatSetStatus::NotASet;
    const std::uint8_t type = Type(e) | kExfatInUse;
    if (k < 2 + nameEntries ? type != kExfatTypeName : (type & kSecondaryBit) == 0) return ExfatSetStatus::NotASet;
  }
  if (present < count) return ExfatSetStatus::Truncated;

  // The checksum was taken while the set was in use: a deleted set is summed as it was then.
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i < count * kExfatEntrySize; ++i) {
    if (i == kSetChecksum || i == kSetChecksum + 1) continue;
    std::uint8_t byte = entries[i];
    if (i % kExfatEntrySize == 0) byte |= kExfatInUse;
    sum = Rotate16(sum, byte);
  }
  if (sum != LoadU16LE(file + kSetChecksum)) return ExfatSetStatus::BadChecksum;

  const std::uint64_t validLength = LoadU64LE(stream + kValidDataLength);
  const std::uint64_t dataLength = LoadU64LE(stream + kDataLength);
  if (dataLength > kMaxDataLength || validLength > dataLength) return ExfatSetStatus::NotASet;

  std::u16string name;
  name.reserve(nameLength);
  for (std::size_t k = 0; k < nameEntries; ++k) {
    const std::uint8_t* e = file + (2 + k) * kExfatEntrySize + kNameUnits;
    for (std::size_t u = 0; u < kUnitsPerNameEntry && name.size() < nameLength; ++u)
      name.push_back(static_cast<char16_t>(LoadU16LE(e + 2 * u)));
  }
  bool ascii = true;
  for (char16_t unit : name) {
    if (unit == 0) return ExfatSetStatus::NotASet;
    ascii = ascii && unit < 0x80;
  }
  const std::uint16_t storedHash = LoadU16LE(stream + kNameHash);
  if ((upcase.Loaded() || ascii) && ExfatNameHash(name, upcase) != storedHash) return ExfatSetStatus::BadNameHash;

  out.deleted = !inUse;
  out.entryCount = count;
  out.attributes = LoadU16LE(file + kFileAttributes);
  out.created = Stamp(file, kCreateStamp, kCreate10ms, kCreateUtcOffset);
  out.modified = Stamp(file, kModifyStamp, kModify10ms, kModifyUtcOffset);
  out.accessed = Stamp(file, kAccessStamp, 0, kAccessUtcOffset);
  out.streamFlags = stream[kStreamFlags];
  out.nameHash = storedHash;
  out.validDataLength = validLength;
  out.firstCluster = LoadU32LE(stream + kFirstCluster);
  out.dataLength = dataLength;
  out.name = Utf16ToUtf8(name);
  out.name16 = std::move(name);
  return ExfatSetStatus::Ok;
}

bool HoldsExfatEntrySet(std::span<const std::uint8_t> sector) {
  static const ExfatUpcase kAsciiUpcase;
  const std::size_t slots = sector.size() / kExfatEntrySize;
  for (std::size_t i = 0; i + 1 < slots; ++i) {
    const std::uint8_t* e = sector.data() + i * kExfatEntrySize;
    if (!OpensSet(e, e + kExfatEntrySize)) continue;
    ExfatEntrySet set;
    const ExfatSetStatus status = ParseExfatEntrySet(sector.subspan(i * kExfatEntrySize), kAsciiUpcase, set);
    // A set that runs on into the next sector has passed every test its bytes here allow.
    if (status == ExfatSetStatus::Ok || status == ExfatSetStatus::Truncated) return true;
  }
  return false;
}

}  // namespace rexmoor
