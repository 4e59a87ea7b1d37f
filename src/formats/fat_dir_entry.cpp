#include "formats/fat_dir_entry.h"

#include <algorithm>
#include <cstring>

#include "formats/fat_layout.h"
#include "platform/byte_view.h"
#include "platform/clock.h"
#include "platform/text.h"

namespace rexmoor {
namespace {

// Sequence counts above this are taken as noise; it still allows names of 234 characters.
constexpr int kMaxLfnParts = 18;

CivilTime DateFields(std::uint16_t date) {
  CivilTime t;
  t.year = (date >> 9) + 1980;
  t.month = (date >> 5) & 0x0F;
  t.day = date & 0x1F;
  return t;
}

void SetTimeFields(CivilTime& t, std::uint16_t time) {
  t.hour = time >> 11;
  t.minute = (time >> 5) & 0x3F;
  t.second = 2 * (time & 0x1F);
}

// Creation stamp fields. The hundredths byte counts 10 ms units up to 199; its whole hundreds
// go to the seconds, which may then leave the valid range and make the stamp unconvertible.
CivilTime CreationFields(const std::uint8_t* e) {
  CivilTime t = DateFields(LoadU16LE(e + kEntryCreateDate));
  SetTimeFields(t, LoadU16LE(e + kEntryCreateTime));
  std::uint8_t hundredths = e[kEntryCreateHundredths];
  if (hundredths > 100) {
    t.second += hundredths / 100;
    hundredths %= 100;
  }
  t.millisecond = (hundredths / 10) * 10;
  return t;
}

void Convert(const CivilTime& t, std::uint64_t& out, bool& ok) {
  const std::optional<std::uint64_t> value = CivilToFileTime(t);
  ok = value.has_value();
  out = value.value_or(0);
}

struct PlausibleWindow {
  std::uint64_t first = 0;
  std::uint64_t last = 0;
};

const PlausibleWindow& Window() {
  static const PlausibleWindow window = [] {
    PlausibleWindow w;
    CivilTime t;
    t.year = kPlausibleFirstYear;
    t.month = 1;
    t.day = 1;
    w.first = CivilToFileTime(t).value_or(0);
    t.year = kPlausibleLastYear;
    w.last = CivilToFileTime(t).value_or(0);
    return w;
  }();
  return window;
}

bool InWindow(std::uint64_t fileTime) {
  const PlausibleWindow& w = Window();
  return fileTime >= w.first && fileTime <= w.last;
}

bool IsControlOrDot(std::uint8_t b) { return b < 0x20 || b == '.'; }

// After the first space of a padded field only spaces may follow.
bool PaddingIsClean(const std::uint8_t* field, std::size_t length) {
  std::size_t i = 0;
  while (i < length && field[i] != ' ') ++i;
  for (; i < length; ++i) {
    if (field[i] != ' ') return false;
  }
  return true;
}

// Rule set for a short (non-long-name) entry inside a directory sector, beyond plausibility.
bool ShortEntryFitsSector(const std::uint8_t* e) {
  const std::uint8_t attr = e[kEntryAttr];
  if (attr != kAttrVolumeLabel && !CivilToFileTime(CreationFields(e))) return false;
  for (std::size_t i = 0; i < kShortNameLength; ++i) {
    if (IsControlOrDot(e[kEntryName + i])) return false;
  }
  if (!PaddingIsClean(e + kEntryName, 8) || !PaddingIsClean(e + kEntryExt, 3)) return false;
  // Bytes above 0x7F come in double-byte pairs, or stand alone as an accented letter of the
  // code page short names are written in ("CAF\x90" is CAFÉ).
  std::size_t i = e[0] == kDeletedMark ? 1 : 0;
  while (i < 10) {
    if (e[i] > 0x7F && IsCp850Letter(e[i])) {
      ++i;
    } else if (e[i] > 0x7F) {
      if (e[i + 1] <= 0x7F) return false;
      i += 2;
    } else {
      ++i;
    }
  }
  return true;
}

}  // namespace

std::optional<DirEntry> DecodeDirEntry(std::span<const std::uint8_t> entry) {
  if (entry.size() < kDirEntrySize) return std::nullopt;
  const std::uint8_t* e = entry.data();
  DirEntry d;
  std::memcpy(d.shortName.data(), e + kEntryName, kShortNameLength);
  d.attr = e[kEntryAttr];
  d.createHundredths = e[kEntryCreateHundredths];
  d.createTime = LoadU16LE(e + kEntryCreateTime);
  d.createDate = LoadU16LE(e + kEntryCreateDate);
  d.accessDate = LoadU16LE(e + kEntryAccessDate);
  d.clusterHigh = LoadU16LE(e + kEntryClusterHigh);
  d.writeTime = LoadU16LE(e + kEntryWriteTime);
  d.writeDate = LoadU16LE(e + kEntryWriteDate);
  d.clusterLow = LoadU16LE(e + kEntryClusterLow);
  d.size = LoadU32LE(e + kEntryFileSize);
  return d;
}

std::optional<LfnEntry> DecodeLfnEntry(std::span<const std::uint8_t> entry) {
  if (entry.size() < kDirEntrySize) return std::nullopt;
  const std::uint8_t* e = entry.data();
  LfnEntry l;
  l.sequence = e[kLfnSequence];
  l.checksum = e[kLfnChecksum];
  std::size_t n = 0;
  for (std::size_t i = 0; i < 5; ++i) l.units[n++] = LoadU16LE(e + kLfnChars1 + 2 * i);
  for (std::size_t i = 0; i < 6; ++i) l.units[n++] = LoadU16LE(e + kLfnChars2 + 2 * i);
  for (std::size_t i = 0; i < 2; ++i) l.units[n++] = LoadU16LE(e + kLfnChars3 + 2 * i);
  return l;
}

FatTimes DecodeFatTimes(std::span<const std::uint8_t> entry) {
  FatTimes times;
  if (entry.size() < kDirEntrySize) return times;
  const std::uint8_t* e = entry.data();

  Convert(CreationFields(e), times.created, times.createdOk);

  Convert(DateFields(LoadU16LE(e + kEntryAccessDate)), times.accessed, times.accessedOk);

  CivilTime modified = DateFields(LoadU16LE(e + kEntryWriteDate));
  SetTimeFields(modified, LoadU16LE(e + kEntryWriteTime));
  Convert(modified, times.modified, times.modifiedOk);
  return times;
}

bool ShortNameHasBadChar(std::span<const std::uint8_t> entry) {
  if (entry.size() < kShortNameLength) return false;
  const std::size_t start = entry[0] == kDeletedMark ? 1 : 0;
  for (std::size_t i = start; i < kShortNameLength; ++i) {
    const std::uint8_t b = entry[i];
    if (b < 0x20 || (b >= 'a' && b <= 'z')) return true;
    switch (b) {
      case '\\': case '/': case ':': case '*': case '?':
      case '"': case '<': case '>': case '|': case '.':
        return true;
      default:
        break;
    }
  }
  return false;
}

bool IsDotPair(std::span<const std::uint8_t> entries) {
  if (entries.size() < 2 * kDirEntrySize) return false;
  const std::uint8_t* dot = entries.data();
  const std::uint8_t* dotDot = dot + kDirEntrySize;
  return dot[0] == '.' && dot[1] == ' ' && (dot[kEntryAttr] & kAttrFolder) != 0 &&
         LoadU32LE(dot + kEntryFileSize) == 0 && dotDot[0] == '.' && dotDot[1] == '.' &&
         (dotDot[kEntryAttr] & kAttrFolder) != 0 && LoadU32LE(dotDot + kEntryFileSize) == 0;
}

std::uint8_t LfnChecksum(std::span<const std::uint8_t, kShortNameLength> shortName) {
  std::uint8_t sum = 0;
  for (std::uint8_t b : shortName) {
    sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + b);
  }
  return sum;
}

bool IsPlausibleDirEntry(std::span<const std::uint8_t> entry) {
  if (entry.size() < kDirEntrySize) return false;
  if (IsDotPair(entry)) return true;

  const std::uint8_t* e = entry.data();
  const std::uint8_t first = e[0];
  const std::uint8_t attr = e[kEntryAttr];
  const std::uint32_t size = LoadU32LE(e + kEntryFileSize);
  const std::uint16_t high = LoadU16LE(e + kEntryClusterHigh);
  const std::uint16_t low = LoadU16LE(e + kEntryClusterLow);
  const bool folder = (attr & kAttrFolder) != 0;
  const bool live = first != kDeletedMark;

  if (!folder && size == 0 && (high != 0 || low != 0)) return false;

  if (attr == kAttrVolumeLabel) {
    if (size != 0 || high != 0 || low != 0) return false;
  } else if (attr != kAttrLongName && (attr & kAttrVolumeLabel) != 0) {
    return false;
  }

  if (folder && (attr & kAttrReadOnly) != 0) return false;
  if ((attr & 0xC0) != 0) return false;

  if (attr == kAttrLongName) {
    const int count = first & ~kLfnLastPartFlag & 0xFF;
    if (first != kDeletedMark && count > kMaxLfnParts) return false;
  } else {
    if (live && !folder) {
      const FatTimes times = DecodeFatTimes(entry);
      if (!times.createdOk || !times.accessedOk || !times.modifiedOk) return false;
      if (!InWindow(times.created) || !InWindow(times.accessed) || !InWindow(times.modified)) {
        return false;
      }
    }
    if (attr != kAttrVolumeLabel && ShortNameHasBadChar(entry)) return false;
  }

  if (live && folder && size != 0) return false;
  if (attr == kAttrLongName && low != 0) return false;
  return attr <= 0x3F;
}

bool IsFatDirectorySector(std::span<const std::uint8_t> buffer) {
  const std::size_t count = buffer.size() / kDirEntrySize;
  if (count == 0) return true;
  // Entries without a type bit are real (files whose archive bit was cleared) but in noise they
  // are the easiest to imitate, so one typed entry has to vouch for the sector.
  bool typed = false;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t offset = i * kDirEntrySize;
    const std::span<const std::uint8_t> rest = buffer.subspan(offset);
    const std::uint8_t* e = rest.data();

    if (e[0] == 0) {
      // The end marker: nothing but zeros may follow it.
      if (i == 0) return false;
      return typed && std::all_of(rest.begin(), rest.end(), [](std::uint8_t b) { return b == 0; });
    }
    if (!IsPlausibleDirEntry(rest)) return false;
    typed = typed || (e[kEntryAttr] & (kAttrFolder | kAttrArchive | kAttrVolumeLabel)) != 0;
    // Fill patterns repeat every 16 bytes; real entries do not.
    if (std::memcmp(e + 1, e + 17, 14) == 0) return false;

    if (e[kEntryAttr] == kAttrLongName) {
      const std::uint8_t checksum = e[kLfnChecksum];
      for (std::size_t j = 1; j <= static_cast<std::size_t>(kMaxLfnParts) && i + j < count; ++j) {
        const std::span<const std::uint8_t> next = buffer.subspan(offset + j * kDirEntrySize);
        if (!IsPlausibleDirEntry(next)) return false;
        if (next[kEntryAttr] == kAttrLongName) {
          if (next[kLfnChecksum] != checksum) return false;
          continue;
        }
        if (next[0] != kDeletedMark && LfnChecksum(next.first<kShortNameLength>()) != checksum) {
          return false;
        }
        break;
      }
    } else if (!ShortEntryFitsSector(e)) {
      return false;
    }
  }
  return typed;
}

bool LongNameAssembler::Add(std::span<const std::uint8_t> entry) {
  if (start_ < kLfnUnitsPerEntry) return false;
  auto lfn = DecodeLfnEntry(entry);
  if (!lfn) return false;
  start_ -= kLfnUnitsPerEntry;
  std::copy(lfn->units.begin(), lfn->units.end(), units_.begin() + static_cast<std::ptrdiff_t>(start_));
  return true;
}

std::string LongNameAssembler::Take() {
  if (Empty()) return std::string();
  std::size_t end = start_;
  while (end < units_.size() && units_[end] != 0) ++end;
  std::string text = Utf16ToUtf8(std::u16string_view(units_.data() + start_, end - start_));
  Clear();
  return text;
}

DirWalkResult WalkDirectoryEntries(std::span<const std::uint8_t> block, LongNameAssembler& longName,
                                   const std::function<bool(const DirWalkEntry&)>& visit) {
  DirWalkResult result;
  std::size_t runOffset = 0;
  std::uint8_t runChecksum = 0;
  for (std::size_t offset = 0; offset + kDirEntrySize <= block.size(); offset += kDirEntrySize) {
    const std::span<const std::uint8_t> rest = block.subspan(offset);
    if (rest[0] == 0) {
      result.end = DirWalkEnd::EndMarker;
      return result;
    }
    if (!IsPlausibleDirEntry(rest)) {
      longName.Clear();
      continue;
    }
    if (rest[kEntryAttr] == kAttrLongName) {
      if (longName.Empty()) {
        runOffset = offset;
        runChecksum = rest[kLfnChecksum];
      }
      if (!longName.Add(rest)) {
        result.end = DirWalkEnd::NameTooLong;
        return result;
      }
      continue;
    }
    const std::optional<DirEntry> entry = DecodeDirEntry(rest);
    if (!entry) continue;
    const std::string name = longName.Take();
    if (!visit(DirWalkEntry{*entry, rest, name, offset})) {
      result.end = DirWalkEnd::Stopped;
      return result;
    }
  }
  if (!longName.Empty()) {
    result.inLongName = true;
    result.runOffset = runOffset;
    result.runChecksum = runChecksum;
  }
  return result;
}

}  // namespace rexmoor
