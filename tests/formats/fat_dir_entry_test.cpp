#include "formats/fat_dir_entry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "platform/byte_view.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "test_support.h"

namespace rexmoor {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint16_t FatDate(int year, int month, int day) {
  return static_cast<std::uint16_t>(((year - 1980) << 9) | (month << 5) | day);
}
std::uint16_t FatTime(int hour, int minute, int second) {
  return static_cast<std::uint16_t>((hour << 11) | (minute << 5) | (second / 2));
}
void Put16(Bytes& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint64_t FileTime(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  return CivilToFileTime(CivilTime{y, mo, d, h, mi, s, ms}).value();
}

// A live archive file entry dated 2010-05-06 12:34:56 unless changed.
Bytes ShortEntry(std::string_view name11, std::uint8_t attr = kAttrArchive,
                 std::uint32_t size = 100, std::uint32_t cluster = 5) {
  Bytes e(kDirEntrySize, 0);
  EXPECT_EQ(name11.size(), kShortNameLength) << "bad test name";
  std::memcpy(e.data(), name11.data(), std::min(name11.size(), kShortNameLength));
  e[kEntryAttr] = attr;
  Put16(e, kEntryCreateTime, FatTime(12, 34, 56));
  Put16(e, kEntryCreateDate, FatDate(2010, 5, 6));
  Put16(e, kEntryAccessDate, FatDate(2010, 5, 6));
  Put16(e, kEntryClusterHigh, static_cast<std::uint16_t>(cluster >> 16));
  Put16(e, kEntryWriteTime, FatTime(12, 34, 56));
  Put16(e, kEntryWriteDate, FatDate(2010, 5, 6));
  Put16(e, kEntryClusterLow, static_cast<std::uint16_t>(cluster));
  Put32(e, kEntryFileSize, size);
  return e;
}

// One long-name part holding up to 13 characters of text (NUL then 0xFFFF padding).
Bytes LfnPart(std::uint8_t sequence, std::uint8_t checksum, const std::u16string& text) {
  Bytes e(kDirEntrySize, 0);
  e[kLfnSequence] = sequence;
  e[kEntryAttr] = kAttrLongName;
  e[kLfnChecksum] = checksum;
  static constexpr std::size_t kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  for (std::size_t i = 0; i < 13; ++i) {
    std::uint16_t unit = 0xFFFF;
    if (i < text.size()) unit = text[i];
    else if (i == text.size()) unit = 0;
    Put16(e, kOffsets[i], unit);
  }
  return e;
}

Bytes Concat(std::initializer_list<Bytes> parts, std::size_t padTo = 0) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  if (out.size() < padTo) out.resize(padTo, 0);
  return out;
}

std::uint8_t ChecksumOf(const Bytes& entry) {
  return LfnChecksum(std::span<const std::uint8_t>(entry).first<kShortNameLength>());
}

Bytes DotPair() {
  Bytes dot = ShortEntry(".          ", kAttrFolder, 0, 7);
  Bytes dotDot = ShortEntry("..         ", kAttrFolder, 0, 0);
  return Concat({dot, dotDot});
}

// ---------------------------------------------------------------------------------------------
// Synthetic entries: the individual rules.

TEST(FatDirEntryTest, ShortSpansAreRejectedWithoutReadingPastThem) {
  const Bytes e = ShortEntry("README  TXT");
  const std::span<const std::uint8_t> all(e);
  for (std::size_t n = 0; n < kDirEntrySize; ++n) {
    // Copy into an exact-size heap buffer so that a read past the end trips the sanitizer.
    auto copy = std::make_unique<std::uint8_t[]>(n + 1);
    std::memcpy(copy.get(), e.data(), n);
    const std::span<const std::uint8_t> part(copy.get(), n);
    EXPECT_FALSE(IsPlausibleDirEntry(part)) << n;
    EXPECT_FALSE(IsDotPair(part)) << n;
    EXPECT_FALSE(DecodeDirEntry(part).has_value()) << n;
    EXPECT_FALSE(DecodeLfnEntry(part).has_value()) << n;
    const FatTimes t = DecodeFatTimes(part);
    EXPECT_FALSE(t.createdOk || t.accessedOk || t.modifiedOk) << n;
    EXPECT_TRUE(IsFatDirectorySector(part)) << n;  // fewer than one entry: nothing to refute
  }
  EXPECT_TRUE(IsPlausibleDirEntry(all));
  const Bytes lower = ShortEntry("readme  txt");
  EXPECT_TRUE(ShortNameHasBadChar(lower));
  EXPECT_FALSE(ShortNameHasBadChar(std::span<const std::uint8_t>(lower).first(10)));
  // The dot pair needs both entries; a lone "." entry is judged by the ordinary rules.
  const Bytes pair = DotPair();
  EXPECT_TRUE(IsDotPair(pair));
  EXPECT_FALSE(IsDotPair(std::span<const std::uint8_t>(pair).first(63)));
  EXPECT_TRUE(IsPlausibleDirEntry(pair));
  EXPECT_FALSE(IsPlausibleDirEntry(std::span<const std::uint8_t>(pair).first(32)));
}

TEST(FatDirEntryTest, DotPairNeedsBothFolderEntries) {
  const Bytes pair = DotPair();
  ASSERT_TRUE(IsDotPair(pair));
  auto mutated = [&](std::size_t at, std::uint8_t value) {
    Bytes m = pair;
    m[at] = value;
    return IsDotPair(m);
  };
  EXPECT_FALSE(mutated(1, '.'));                                  // ".." then ".."
  EXPECT_FALSE(mutated(33, ' '));                                 // "." then "."
  EXPECT_FALSE(mutated(kEntryAttr, kAttrArchive));                // "." not a folder
  EXPECT_FALSE(mutated(32 + kEntryAttr, kAttrArchive));           // ".." not a folder
  EXPECT_FALSE(mutated(kEntryFileSize + 1, 1));                   // "." with a size
  EXPECT_FALSE(mutated(32 + kEntryFileSize + 3, 1));              // ".." with a size
  EXPECT_TRUE(mutated(kEntryAttr, kAttrFolder | kAttrHidden));    // other bits do not matter
}

TEST(FatDirEntryTest, DecodesFieldsAndLongNameUnits) {
  Bytes e = ShortEntry("PHOTO   JPG", kAttrArchive, 0x12345678, 0x0003ABCD);
  const auto d = DecodeDirEntry(e);
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(d->size, 0x12345678u);
  EXPECT_EQ(d->clusterHigh, 3);
  EXPECT_EQ(d->clusterLow, 0xABCD);
  EXPECT_EQ(d->FirstCluster(), 0x0003ABCDu);
  EXPECT_EQ(FirstCluster(3, 0xABCD), 0x0003ABCDu);
  EXPECT_EQ(std::memcmp(d->shortName.data(), "PHOTO   JPG", 11), 0);
  EXPECT_FALSE(d->IsDeleted());
  EXPECT_FALSE(d->IsFolder());

  const std::u16string text = u"abcdefghijklm";
  const auto l = DecodeLfnEntry(LfnPart(0x41, 0x5A, text));
  ASSERT_TRUE(l.has_value());
  EXPECT_EQ(l->sequence, 0x41);
  EXPECT_EQ(l->checksum, 0x5A);
  EXPECT_EQ(std::u16string(l->units.begin(), l->units.end()), text);
  const auto shortText = DecodeLfnEntry(LfnPart(0x41, 0, u"ab"));
  ASSERT_TRUE(shortText.has_value());
  EXPECT_EQ(shortText->units[2], 0);
  EXPECT_EQ(shortText->units[3], 0xFFFF);
}

TEST(FatDirEntryTest, CreationHundredthsFollowTheirOwnArithmetic) {
  Bytes e = ShortEntry("A       TXT");
  auto createdWith = [&](std::uint8_t hundredths, int second) {
    Put16(e, kEntryCreateTime, FatTime(12, 34, second));
    e[kEntryCreateHundredths] = hundredths;
    return DecodeFatTimes(e);
  };
  FatTimes t = createdWith(0, 56);
  ASSERT_TRUE(t.createdOk);
  EXPECT_EQ(t.created, FileTime(2010, 5, 6, 12, 34, 56));
  EXPECT_EQ(createdWith(99, 56).created, FileTime(2010, 5, 6, 12, 34, 56, 90));
  EXPECT_EQ(createdWith(100, 56).created, FileTime(2010, 5, 6, 12, 34, 56, 100));
  // Above 100 the hundreds move into the seconds and the rest gives (rest / 10) * 10 ms.
  EXPECT_EQ(createdWith(157, 20).created, FileTime(2010, 5, 6, 12, 34, 21, 50));
  EXPECT_EQ(createdWith(255, 20).created, FileTime(2010, 5, 6, 12, 34, 22, 50));
  // ...which can push 58 seconds to 60: that stamp does not convert.
  EXPECT_TRUE(createdWith(199, 58).createdOk);
  t = createdWith(200, 58);
  EXPECT_FALSE(t.createdOk);
  EXPECT_EQ(t.created, 0u);
  EXPECT_TRUE(t.modifiedOk);
}

TEST(FatDirEntryTest, AccessIsDateOnlyAndInvalidFieldsDoNotConvert) {
  Bytes e = ShortEntry("A       TXT");
  Put16(e, kEntryAccessDate, FatDate(2020, 2, 29));
  Put16(e, kEntryWriteTime, FatTime(23, 59, 58));
  Put16(e, kEntryWriteDate, FatDate(2107, 12, 31));
  FatTimes t = DecodeFatTimes(e);
  ASSERT_TRUE(t.accessedOk && t.modifiedOk);
  EXPECT_EQ(t.accessed, FileTime(2020, 2, 29));
  EXPECT_EQ(t.modified, FileTime(2107, 12, 31, 23, 59, 58));

  struct Bad {
    const char* what;
    std::size_t offset;
    std::uint16_t value;
  };
  const Bad bads[] = {
      {"29 Feb of a common year", kEntryAccessDate, FatDate(2021, 2, 29)},
      {"month 0", kEntryWriteDate, FatDate(2010, 0, 1)},
      {"month 13", kEntryWriteDate, FatDate(2010, 13, 1)},
      {"day 0", kEntryCreateDate, FatDate(2010, 1, 0)},
      {"31 April", kEntryCreateDate, FatDate(2010, 4, 31)},
      {"hour 24", kEntryWriteTime, static_cast<std::uint16_t>(24 << 11)},
      {"minute 60", kEntryCreateTime, static_cast<std::uint16_t>(60 << 5)},
      {"second 60", kEntryWriteTime, 30},
  };
  for (const Bad& bad : bads) {
    Bytes m = ShortEntry("A       TXT");
    Put16(m, bad.offset, bad.value);
    t = DecodeFatTimes(m);
    const bool ok = bad.offset == kEntryAccessDate   ? t.accessedOk
                    : bad.offset == kEntryWriteDate || bad.offset == kEntryWriteTime
                        ? t.modifiedOk
                        : t.createdOk;
    EXPECT_FALSE(ok) << bad.what;
    EXPECT_FALSE(IsPlausibleDirEntry(m)) << bad.what;
  }
}

TEST(FatDirEntryTest, LiveFilesMustBeDatedInsideTheWindowButDeletedOnesNeedNot) {
  Bytes live = ShortEntry("OLDFILE TXT");
  Put16(live, kEntryWriteDate, FatDate(1985, 3, 4));
  EXPECT_FALSE(IsPlausibleDirEntry(live));
  Bytes deleted = live;
  deleted[0] = kDeletedMark;
  EXPECT_TRUE(IsPlausibleDirEntry(deleted));

  // The window's edges are inclusive, to the second.
  Bytes edge = ShortEntry("EDGE    TXT");
  Put16(edge, kEntryCreateDate, FatDate(1990, 1, 1));
  Put16(edge, kEntryCreateTime, 0);
  Put16(edge, kEntryAccessDate, FatDate(2050, 1, 1));
  Put16(edge, kEntryWriteDate, FatDate(2050, 1, 1));
  Put16(edge, kEntryWriteTime, 0);
  EXPECT_TRUE(IsPlausibleDirEntry(edge));
  Bytes late = edge;
  Put16(late, kEntryWriteTime, FatTime(0, 0, 2));
  EXPECT_FALSE(IsPlausibleDirEntry(late));
  Bytes lateHundredths = edge;
  Put16(lateHundredths, kEntryCreateDate, FatDate(2050, 1, 1));
  lateHundredths[kEntryCreateHundredths] = 10;
  EXPECT_FALSE(IsPlausibleDirEntry(lateHundredths));
  Bytes early = edge;
  Put16(early, kEntryAccessDate, FatDate(1989, 12, 31));
  EXPECT_FALSE(IsPlausibleDirEntry(early));

  // Folders are not judged by their dates.
  Bytes folder = ShortEntry("OLDDIR     ", kAttrFolder, 0, 9);
  Put16(folder, kEntryWriteDate, FatDate(1985, 3, 4));
  Put16(folder, kEntryCreateDate, 0);
  EXPECT_TRUE(IsPlausibleDirEntry(folder));
}

TEST(FatDirEntryTest, ShortNameCharacters) {
  EXPECT_FALSE(ShortNameHasBadChar(ShortEntry("ABC~1   TXT")));
  EXPECT_FALSE(ShortNameHasBadChar(ShortEntry("A$%&'()-@^_")));
  EXPECT_FALSE(ShortNameHasBadChar(ShortEntry("\x81\x40\xFE\x80    TXT")));
  for (const char bad : std::string("abz\\/:*?\"<>|.\x01\x1F")) {
    Bytes e = ShortEntry("ABC     TXT");
    e[9] = static_cast<std::uint8_t>(bad);
    EXPECT_TRUE(ShortNameHasBadChar(e)) << static_cast<int>(bad);
    EXPECT_FALSE(IsPlausibleDirEntry(e)) << static_cast<int>(bad);
  }
  // A deleted name keeps its lost first letter's replacement out of the test.
  Bytes deleted = ShortEntry("\xE5" "BC     TXT");
  EXPECT_FALSE(ShortNameHasBadChar(deleted));
  EXPECT_TRUE(IsPlausibleDirEntry(deleted));
  // ...but only the first byte is skipped, and only for the deleted mark.
  deleted[1] = 'b';
  EXPECT_TRUE(ShortNameHasBadChar(deleted));
  EXPECT_TRUE(ShortNameHasBadChar(ShortEntry("\x05" "BC     TXT")));
  // Volume labels are exempt from the character test.
  Bytes label = ShortEntry("my disk    ", kAttrVolumeLabel, 0, 0);
  EXPECT_TRUE(ShortNameHasBadChar(label));
  EXPECT_TRUE(IsPlausibleDirEntry(label));
}

TEST(FatDirEntryTest, AttributeSizeAndClusterRules) {
  EXPECT_TRUE(IsPlausibleDirEntry(ShortEntry("FILE    TXT", kAttrArchive | kAttrReadOnly)));
  EXPECT_TRUE(IsPlausibleDirEntry(ShortEntry("FILE    TXT", kAttrArchive, 0, 0)));
  // Empty files own no cluster.
  EXPECT_FALSE(IsPlausibleDirEntry(ShortEntry("FILE    TXT", kAttrArchive, 0, 5)));
  EXPECT_FALSE(IsPlausibleDirEntry(ShortEntry("FILE    TXT", kAttrArchive, 0, 0x10000)));
  // Neither folder nor archive bit: a file whose archive bit was cleared (backup tools do) or
  // never set. The entry is plausible; a sector needs a typed entry beside it (below).
  EXPECT_TRUE(IsPlausibleDirEntry(ShortEntry("FILE    TXT", kAttrHidden)));
  EXPECT_TRUE(IsPlausibleDirEntry(ShortEntry("FILE    TXT", 0)));
  EXPECT_TRUE(IsPlausibleDirEntry(ShortEntry("FILE    TXT", kAttrReadOnly | kAttrHidden | kAttrSystem)));
  EXPECT_TRUE(IsPlausibleDirEntry(ShortEntry("FILE    TXT", kAttrHidden | kAttrArchive)));
  EXPECT_FALSE(IsPlausibleDirEntry(ShortEntry("FILE    TXT", kAttrArchive | 0x40)));
  EXPECT_FALSE(IsPlausibleDirEntry(ShortEntry("FILE    TXT", kAttrArchive | 0x80)));
  EXPECT_FALSE(IsPlausibleDirEntry(ShortEntry("FILE    TXT", kAttrArchive | kAttrVolumeLabel)));
  // Folders: no size while live, never read-only.
  EXPECT_TRUE(IsPlausibleDirEntry(ShortEntry("DIR        ", kAttrFolder, 0, 9)));
  EXPECT_FALSE(IsPlausibleDirEntry(ShortEntry("DIR        ", kAttrFolder, 512, 9)));
  EXPECT_TRUE(IsPlausibleDirEntry(ShortEntry("\xE5IR        ", kAttrFolder, 512, 9)));
  EXPECT_FALSE(IsPlausibleDirEntry(ShortEntry("DIR        ", kAttrFolder | kAttrReadOnly, 0, 9)));
  // Labels own neither data nor clusters.
  EXPECT_TRUE(IsPlausibleDirEntry(ShortEntry("LABEL      ", kAttrVolumeLabel, 0, 0)));
  EXPECT_FALSE(IsPlausibleDirEntry(ShortEntry("LABEL      ", kAttrVolumeLabel, 1, 0)));
  EXPECT_FALSE(IsPlausibleDirEntry(ShortEntry("LABEL      ", kAttrVolumeLabel, 0, 0x20000)));
}

TEST(FatDirEntryTest, LongNameEntryRules) {
  const std::uint8_t sum = ChecksumOf(ShortEntry("LONGNA~1TXT"));
  EXPECT_TRUE(IsPlausibleDirEntry(LfnPart(0x41, sum, u"long name")));
  EXPECT_TRUE(IsPlausibleDirEntry(LfnPart(0x52, sum, u"long name")));
  EXPECT_FALSE(IsPlausibleDirEntry(LfnPart(0x53, sum, u"long name")));
  EXPECT_TRUE(IsPlausibleDirEntry(LfnPart(0x12, sum, u"long name")));
  EXPECT_FALSE(IsPlausibleDirEntry(LfnPart(0x13, sum, u"long name")));
  EXPECT_FALSE(IsPlausibleDirEntry(LfnPart(0x81, sum, u"long name")));
  EXPECT_TRUE(IsPlausibleDirEntry(LfnPart(kDeletedMark, sum, u"long name")));
  // The cluster word of a long-name part is always 0.
  Bytes withCluster = LfnPart(0x41, sum, u"long name");
  Put16(withCluster, kLfnClusterLow, 1);
  EXPECT_FALSE(IsPlausibleDirEntry(withCluster));
}

// ---------------------------------------------------------------------------------------------
// Synthetic sectors.

TEST(FatDirectorySectorTest, EndMarkerRules) {
  EXPECT_FALSE(IsFatDirectorySector(Bytes(512, 0)));
  Bytes leadingZero = Concat({ShortEntry("A       TXT"), ShortEntry("B       TXT")}, 512);
  EXPECT_TRUE(IsFatDirectorySector(leadingZero));
  leadingZero[0] = 0;
  EXPECT_FALSE(IsFatDirectorySector(leadingZero));

  // Third entry starts the free space: everything after it must be zero.
  Bytes sector = Concat({ShortEntry("A       TXT"), ShortEntry("B       TXT")}, 512);
  EXPECT_TRUE(IsFatDirectorySector(sector));
  sector[511] = 1;
  EXPECT_FALSE(IsFatDirectorySector(sector));
  sector[511] = 0;
  sector[64 + 5] = 'X';  // inside the zero entry itself
  EXPECT_FALSE(IsFatDirectorySector(sector));
  sector[64 + 5] = 0;
  // Trailing bytes that do not make a whole entry still belong to the free space.
  Bytes odd = sector;
  odd.resize(512 + 7, 0);
  EXPECT_TRUE(IsFatDirectorySector(odd));
  odd.back() = 1;
  EXPECT_FALSE(IsFatDirectorySector(odd));
  // A full sector of entries needs no end marker; partial trailing bytes are ignored then.
  Bytes full;
  for (int i = 0; i < 16; ++i) {
    char name[12];
    std::snprintf(name, sizeof(name), "FILE%04dTXT", i);
    const Bytes e = ShortEntry(name, kAttrArchive, 10, 10 + i);
    full.insert(full.end(), e.begin(), e.end());
  }
  EXPECT_TRUE(IsFatDirectorySector(full));
  full.push_back(0xAB);
  EXPECT_TRUE(IsFatDirectorySector(full));
}

TEST(FatDirectorySectorTest, EntriesWithoutTypeBitsNeedATypedEntryBesideThem) {
  const Bytes plain = ShortEntry("PLAIN   TXT", 0);
  const Bytes system = ShortEntry("SYSTEM  TXT", kAttrReadOnly | kAttrHidden | kAttrSystem, 10, 6);
  EXPECT_FALSE(IsFatDirectorySector(Concat({plain}, 512)));
  EXPECT_FALSE(IsFatDirectorySector(Concat({plain, system}, 512)));
  Bytes full;
  for (int i = 0; i < 16; ++i) full.insert(full.end(), system.begin(), system.end());
  for (int i = 0; i < 16; ++i) full[i * kDirEntrySize + 4] = static_cast<std::uint8_t>('A' + i);
  EXPECT_FALSE(IsFatDirectorySector(full));
  // One typed entry anywhere in the sector vouches for the rest.
  EXPECT_TRUE(IsFatDirectorySector(Concat({plain, system, ShortEntry("ARCHIVE TXT")}, 512)));
  EXPECT_TRUE(IsFatDirectorySector(Concat({plain, ShortEntry("FOLDER     ", kAttrFolder, 0, 9), system}, 512)));
  std::copy_n(ShortEntry("FOLDER     ", kAttrFolder, 0, 9).begin(), kDirEntrySize, full.end() - kDirEntrySize);
  EXPECT_TRUE(IsFatDirectorySector(full));
}

TEST(FatDirectorySectorTest, RepeatedPatternIsNotADirectory) {
  // Each entry repeats its own 16-byte half; every entry alone would still be plausible.
  Bytes e = ShortEntry("AAAAAAAAAAA", kAttrArchive, 0, 0);
  std::memcpy(e.data() + 17, e.data() + 1, 14);
  e[kEntryCreateDate] = 0x21;  // with the copied 'A' above it: 2012-09-01
  ASSERT_TRUE(IsPlausibleDirEntry(e));
  Bytes sector;
  for (int i = 0; i < 16; ++i) sector.insert(sector.end(), e.begin(), e.end());
  EXPECT_FALSE(IsFatDirectorySector(sector));
}

TEST(FatDirectorySectorTest, ShortEntryLayoutRules) {
  auto sectorWith = [](const Bytes& e) { return Concat({ShortEntry("FIRST   TXT"), e}, 512); };
  EXPECT_TRUE(IsFatDirectorySector(sectorWith(ShortEntry("SECOND  TXT"))));
  // Padding inside a field: a space may only be followed by spaces.
  EXPECT_FALSE(IsFatDirectorySector(sectorWith(ShortEntry("SEC OND TXT"))));
  EXPECT_FALSE(IsFatDirectorySector(sectorWith(ShortEntry("SECOND  T X"))));
  // A bad creation stamp is fatal here even for a deleted entry...
  Bytes badCreate = ShortEntry("\xE5" "ECOND  TXT");
  Put16(badCreate, kEntryCreateDate, 0);
  ASSERT_TRUE(IsPlausibleDirEntry(badCreate));
  EXPECT_FALSE(IsFatDirectorySector(sectorWith(badCreate)));
  // ...but not for a label (a live one would already fail plausibility for it).
  Bytes label = ShortEntry("\xE5" "ABEL      ", kAttrVolumeLabel, 0, 0);
  Put16(label, kEntryCreateDate, 0);
  Put16(label, kEntryCreateTime, 0);
  ASSERT_TRUE(IsPlausibleDirEntry(label));
  EXPECT_TRUE(IsFatDirectorySector(Concat({label, ShortEntry("FIRST   TXT")}, 512)));
  // Control bytes and '.' never appear, not even in a label.
  Bytes dottedLabel = ShortEntry("LA.EL      ", kAttrVolumeLabel, 0, 0);
  ASSERT_TRUE(IsPlausibleDirEntry(dottedLabel));
  EXPECT_FALSE(IsFatDirectorySector(Concat({dottedLabel}, 512)));
  // Bytes above 0x7F come in pairs (double-byte characters)...
  EXPECT_TRUE(IsFatDirectorySector(sectorWith(ShortEntry("\xB0\xB1\xC8\xC9    TXT"))));
  EXPECT_FALSE(IsFatDirectorySector(sectorWith(ShortEntry("\xB0" "A      TXT"))));
  EXPECT_FALSE(IsFatDirectorySector(sectorWith(ShortEntry("\xB0\xB1\xC8" "A    TXT"))));
  EXPECT_TRUE(IsFatDirectorySector(sectorWith(ShortEntry("\xE5\xB0\xC8     TXT"))));
  // ...or stand alone as an accented letter: CAFÉ, RÉSUMÉ, ÉTÉ, Ñ, ü as mtools writes them.
  EXPECT_TRUE(IsFatDirectorySector(sectorWith(ShortEntry("CAF\x90    TXT"))));
  EXPECT_TRUE(IsFatDirectorySector(sectorWith(ShortEntry("R\x90SUM\x90  TXT"))));
  EXPECT_TRUE(IsFatDirectorySector(sectorWith(ShortEntry("\x90T\x90        ", kAttrFolder, 0, 5))));
  EXPECT_TRUE(IsFatDirectorySector(sectorWith(ShortEntry("ESPA\xA5" "A  TXT"))));
  EXPECT_TRUE(IsFatDirectorySector(sectorWith(ShortEntry("\xE5\x81" "BER   TXT"))));
  // Symbols standing alone stay noise: box drawing, block shades, currency, the division sign.
  for (const char* name : {"CAF\xC8    TXT", "\xB0" "ABC    TXT", "AB\xCF     TXT", "AB\xF6     TXT"})
    EXPECT_FALSE(IsFatDirectorySector(sectorWith(ShortEntry(name)))) << name;
  // A lone high byte at index 9 is judged by the extension byte after it.
  EXPECT_FALSE(IsFatDirectorySector(sectorWith(ShortEntry("ABC     T\xB0X"))));
  EXPECT_TRUE(IsFatDirectorySector(sectorWith(ShortEntry("ABC     T\xB0\xB1"))));
  EXPECT_TRUE(IsFatDirectorySector(sectorWith(ShortEntry("ABC     T\x90X"))));
  // A sub-folder's opening pair is routed elsewhere: its "." name is not a directory sector.
  EXPECT_FALSE(IsFatDirectorySector(Concat({DotPair()}, 512)));
}

TEST(FatDirectorySectorTest, LongNameRunsMustAgreeWithTheirShortEntry) {
  const Bytes owner = ShortEntry("LONGNA~1TXT");
  const std::uint8_t sum = ChecksumOf(owner);
  const Bytes part2 = LfnPart(0x42, sum, u"txt");
  const Bytes part1 = LfnPart(0x01, sum, u"long name abc");
  EXPECT_TRUE(IsFatDirectorySector(Concat({part2, part1, owner}, 512)));

  // Wrong checksum in a part, or in the owner.
  EXPECT_FALSE(IsFatDirectorySector(
      Concat({part2, LfnPart(0x01, static_cast<std::uint8_t>(sum + 1), u"long name abc"), owner},
             512)));
  EXPECT_FALSE(IsFatDirectorySector(Concat({part2, part1, ShortEntry("LONGNA~2TXT")}, 512)));
  // A deleted owner has lost its first letter, so its checksum cannot be checked.
  Bytes deletedOwner = owner;
  deletedOwner[0] = kDeletedMark;
  EXPECT_TRUE(IsFatDirectorySector(Concat({part2, part1, deletedOwner}, 512)));
  // A run may leave the buffer before its owner appears (it continues in the next sector).
  EXPECT_TRUE(IsFatDirectorySector(Concat({ShortEntry("FIRST   TXT"), part2, part1})));
  // A part followed by the end marker has no owner.
  EXPECT_FALSE(IsFatDirectorySector(Concat({ShortEntry("FIRST   TXT"), part2, part1}, 512)));
  // A long run (16 parts) is still tied to its owner.
  Bytes longRun;
  for (int i = 0; i < 16; ++i) {
    const Bytes p = LfnPart(static_cast<std::uint8_t>(i == 0 ? 0x50 : 16 - i), sum, u"abcdefghijklm");
    longRun.insert(longRun.end(), p.begin(), p.end());
  }
  Bytes longSector = Concat({longRun, owner});
  EXPECT_TRUE(IsFatDirectorySector(longSector));
  longSector[longSector.size() - kDirEntrySize] = 'X';  // owner's checksum now differs
  EXPECT_FALSE(IsFatDirectorySector(longSector));
}

TEST(FatDirectorySectorTest, RandomBytesAreRejected) {
  std::mt19937 rng(20240611);
  int acceptedEntries = 0;
  for (int i = 0; i < 20000; ++i) {
    Bytes sector(512);
    for (auto& b : sector) b = static_cast<std::uint8_t>(rng());
    ASSERT_FALSE(IsFatDirectorySector(sector)) << "iteration " << i;
    EXPECT_FALSE(IsDotPair(sector));
    acceptedEntries += IsPlausibleDirEntry(sector) ? 1 : 0;
    // Plausible real entry, random remainder: still not a directory sector.
    const Bytes first = ShortEntry("REAL    TXT");
    std::copy(first.begin(), first.end(), sector.begin());
    ASSERT_FALSE(IsFatDirectorySector(sector)) << "iteration " << i;
  }
  // Single random entries pass only very rarely.
  EXPECT_LT(acceptedEntries, 20);
}

// ---------------------------------------------------------------------------------------------
// A real volume written by mkfs.fat and mtools.

class RealFatVolumeTest : public ::testing::Test {
 protected:
  struct NamedFile {
    std::string name;
    const char* stamp;  // UTC, for touch -d
    CivilTime time;
  };

  static void SetUpTestSuite() {
    if (test::RunCommand("command -v mkfs.fat >/dev/null && command -v mcopy >/dev/null && "
                         "command -v mmd >/dev/null") != 0) {
      return;
    }
    dir_ = new test::TempDir();
    const std::string d = dir_->path();
    const std::string img = d + "/vol.img";
    const std::string env = "TZ=UTC LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 ";
    std::string script = "set -e; cd '" + d + "'; mkdir src; mkfs.fat -C '" + img +
                         "' 4096 >/dev/null; " + env + "mlabel -i '" + img + "' ::TESTVOL; ";
    for (const NamedFile& f : Files()) {
      script += "printf 'data of %s' '" + f.name + "' > 'src/" + f.name + "'; " + env +
                "touch -d '" + f.stamp + "' 'src/" + f.name + "'; " + env + "mcopy -m -i '" +
                img + "' 'src/" + f.name + "' ::/; ";
    }
    script += env + "mmd -i '" + img + "' '::/Some Folder Name'; ";
    script += env + "mcopy -m -i '" + img + "' 'src/" + Files()[0].name +
              "' '::/Some Folder Name/inner copy with a long name.txt'; ";
    script += "printf gone > 'src/to be deleted later.bin'; " + env + "mcopy -i '" + img +
              "' 'src/to be deleted later.bin' ::/; " + env + "mdel -i '" + img +
              "' '::/to be deleted later.bin'";
    std::string output;
    if (test::RunCommand("bash -c \"" + script + "\" 2>&1", &output) != 0) {
      setupError_ = "building the volume failed: " + output;
      return;
    }
    image_ = test::ReadFileBytes(img);
  }

  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
    image_.clear();
    setupError_.clear();
  }

  static const std::vector<NamedFile>& Files() {
    static const std::vector<NamedFile> files = {
        {"A long file name.txt", "2015-06-07 08:09:10", {2015, 6, 7, 8, 9, 10, 0}},
        {"SHORT.TXT", "2001-02-03 04:05:58", {2001, 2, 3, 4, 5, 58, 0}},
        {"Grüße und été.txt", "1999-12-31 23:59:58", {1999, 12, 31, 23, 59, 58, 0}},
        {std::string(150, 'n') + ".data", "2044-01-02 03:04:06", {2044, 1, 2, 3, 4, 6, 0}},
        {"lower case.txt", "1990-01-01 00:00:00", {1990, 1, 1, 0, 0, 0, 0}},
    };
    return files;
  }

  void SetUp() override {
    ASSERT_TRUE(setupError_.empty()) << setupError_;
    if (image_.empty()) GTEST_SKIP() << "mkfs.fat or mtools unavailable";
    const ByteView boot(image_);
    bytesPerSector_ = boot.U16LE(11).value_or(0);
    sectorsPerCluster_ = boot.U8(13).value_or(0);
    const std::uint32_t reserved = boot.U16LE(14).value_or(0);
    const std::uint32_t fats = boot.U8(16).value_or(0);
    const std::uint32_t rootEntries = boot.U16LE(17).value_or(0);
    const std::uint32_t fatSectors = boot.U16LE(22).value_or(0);
    ASSERT_EQ(bytesPerSector_, 512u);
    rootOffset_ = (reserved + fats * fatSectors) * bytesPerSector_;
    rootBytes_ = rootEntries * kDirEntrySize;
    dataOffset_ = rootOffset_ + rootBytes_;
    ASSERT_LE(dataOffset_, image_.size());
  }

  std::span<const std::uint8_t> Root() const {
    return std::span<const std::uint8_t>(image_).subspan(rootOffset_, rootBytes_);
  }
  std::span<const std::uint8_t> Cluster(std::uint32_t cluster) const {
    const std::size_t bytes = std::size_t{sectorsPerCluster_} * bytesPerSector_;
    return std::span<const std::uint8_t>(image_).subspan(dataOffset_ + (cluster - 2) * bytes, bytes);
  }
  // Bytes of the used part of a folder: entries up to the end marker.
  static std::size_t UsedEntries(std::span<const std::uint8_t> folder) {
    std::size_t n = 0;
    while ((n + 1) * kDirEntrySize <= folder.size() && folder[n * kDirEntrySize] != 0) ++n;
    return n;
  }

  static std::string ShortNameText(std::span<const std::uint8_t> e) {
    auto trimmed = [](std::string t) { return t.erase(t.find_last_not_of(' ') + 1); };
    const std::string base = trimmed(std::string(e.begin(), e.begin() + 8));
    const std::string ext = trimmed(std::string(e.begin() + 8, e.begin() + 11));
    return ext.empty() ? base : base + "." + ext;
  }

  // Short entries of a folder by long (or short) name, with the long names rebuilt from parts.
  static std::map<std::string, std::size_t> EntriesByName(std::span<const std::uint8_t> folder) {
    std::map<std::string, std::size_t> out;
    std::u16string name;
    for (std::size_t i = 0; i < UsedEntries(folder); ++i) {
      const auto e = folder.subspan(i * kDirEntrySize);
      if (e[kEntryAttr] == kAttrLongName) {
        const auto part = DecodeLfnEntry(e);
        std::u16string units(part->units.begin(), part->units.end());
        units.resize(std::min(units.find(u'\0'), units.size()));
        name = units + name;
        continue;
      }
      out[name.empty() ? ShortNameText(e) : Utf16ToUtf8(name)] = i * kDirEntrySize;
      name.clear();
    }
    return out;
  }

  static test::TempDir* dir_;
  static Bytes image_;
  static std::string setupError_;
  std::uint32_t bytesPerSector_ = 0;
  std::uint32_t sectorsPerCluster_ = 0;
  std::size_t rootOffset_ = 0;
  std::size_t rootBytes_ = 0;
  std::size_t dataOffset_ = 0;
};

test::TempDir* RealFatVolumeTest::dir_ = nullptr;
Bytes RealFatVolumeTest::image_;
std::string RealFatVolumeTest::setupError_;

TEST_F(RealFatVolumeTest, RootFolderPassesEverySectorAndEntryTest) {
  const auto root = Root();
  const std::size_t used = UsedEntries(root);
  ASSERT_GT(used, 20u);  // the 150-character name alone spans 12 parts
  EXPECT_TRUE(IsFatDirectorySector(root));
  for (std::size_t s = 0; s * 512 < used * kDirEntrySize; ++s) {
    EXPECT_TRUE(IsFatDirectorySector(root.subspan(s * 512, 512))) << "sector " << s;
  }
  EXPECT_FALSE(IsFatDirectorySector(root.subspan(root.size() - 512)));  // all free: zeros
  for (std::size_t i = 0; i < used; ++i) {
    EXPECT_TRUE(IsPlausibleDirEntry(root.subspan(i * kDirEntrySize))) << "entry " << i;
    // Every entry on its own too, without the look at its successor.
    EXPECT_TRUE(IsPlausibleDirEntry(root.subspan(i * kDirEntrySize, kDirEntrySize))) << i;
  }
}

TEST_F(RealFatVolumeTest, LongNameChecksumsMatchTheirShortEntries) {
  const auto root = Root();
  int checkedParts = 0;
  int deletedRuns = 0;
  std::size_t i = 0;
  const std::size_t used = UsedEntries(root);
  while (i < used) {
    std::vector<std::uint8_t> sums;
    while (i < used && root[i * kDirEntrySize + kEntryAttr] == kAttrLongName) {
      sums.push_back(root[i * kDirEntrySize + kLfnChecksum]);
      ++i;
    }
    ASSERT_LT(i, used);
    const auto owner = root.subspan(i * kDirEntrySize, kDirEntrySize);
    if (owner[0] == kDeletedMark) {
      deletedRuns += sums.empty() ? 0 : 1;
    } else {
      for (std::uint8_t sum : sums) {
        EXPECT_EQ(sum, LfnChecksum(owner.first<kShortNameLength>())) << "entry " << i;
        ++checkedParts;
      }
    }
    ++i;
  }
  EXPECT_GE(checkedParts, 16);
  EXPECT_EQ(deletedRuns, 1);
}

TEST_F(RealFatVolumeTest, DecodedWriteTimesAreThoseSetOnTheFiles) {
  const auto root = Root();
  const auto entries = EntriesByName(root);
  for (const NamedFile& f : Files()) {
    const auto it = entries.find(f.name);
    ASSERT_NE(it, entries.end()) << f.name;
    const auto e = root.subspan(it->second, kDirEntrySize);
    const FatTimes t = DecodeFatTimes(e);
    ASSERT_TRUE(t.modifiedOk) << f.name;
    EXPECT_EQ(t.modified, CivilToFileTime(f.time).value()) << f.name;
    EXPECT_TRUE(t.createdOk && t.accessedOk) << f.name;
    // Last access is a date: midnight.
    EXPECT_EQ(t.accessed % (864000000000ULL), 0u) << f.name;
    const auto d = DecodeDirEntry(e);
    EXPECT_EQ(d->size, std::string("data of " + f.name).size()) << f.name;
  }
}

TEST_F(RealFatVolumeTest, SubFolderOpensWithTheDotPair) {
  const auto root = Root();
  const auto entries = EntriesByName(root);
  const auto it = entries.find("Some Folder Name");
  ASSERT_NE(it, entries.end());
  const auto folder = DecodeDirEntry(root.subspan(it->second));
  ASSERT_TRUE(folder->IsFolder());
  const auto cluster = Cluster(folder->FirstCluster());
  EXPECT_TRUE(IsDotPair(cluster));
  EXPECT_TRUE(IsPlausibleDirEntry(cluster));
  EXPECT_FALSE(IsDotPair(root));
  // Past the pair, the folder's own entries read as a directory.
  EXPECT_TRUE(IsFatDirectorySector(cluster.subspan(2 * kDirEntrySize)));
  EXPECT_EQ(EntriesByName(cluster).count("inner copy with a long name.txt"), 1u);
}

TEST_F(RealFatVolumeTest, OneFieldMutationsAreRejectedCleanly) {
  const auto entries = EntriesByName(Root());
  const auto shortIt = entries.find("SHORT.TXT");
  const auto longIt = entries.find("A long file name.txt");
  ASSERT_NE(shortIt, entries.end());
  ASSERT_NE(longIt, entries.end());
  Bytes root(Root().begin(), Root().end());
  const Bytes pristine = root;
  const std::size_t s = shortIt->second;             // SHORT.TXT, created at :58
  const std::size_t lfn = longIt->second - kDirEntrySize;  // last part before its owner
  ASSERT_EQ(root[lfn + kEntryAttr], kAttrLongName);

  struct Mutation {
    const char* what;
    std::size_t at;
    std::vector<std::uint8_t> bytes;
    bool entryStaysPlausible;  // some rules only bite at sector level
  };
  const std::uint16_t d1985 = FatDate(1985, 1, 1);
  const std::uint16_t d2051 = FatDate(2051, 1, 1);
  const Mutation mutations[] = {
      {"lower-case name", s + 1, {'h'}, false},
      {"slash in name", s + 3, {'/'}, false},
      {"control byte in extension", s + 9, {0x07}, false},
      {"label and archive bits", s + kEntryAttr, {kAttrVolumeLabel | kAttrArchive}, false},
      {"attribute 0x40", s + kEntryAttr, {kAttrArchive | 0x40}, false},
      {"write date 1985", s + kEntryWriteDate, {std::uint8_t(d1985), std::uint8_t(d1985 >> 8)}, false},
      {"access date 2051", s + kEntryAccessDate, {std::uint8_t(d2051), std::uint8_t(d2051 >> 8)}, false},
      {"write month 15", s + kEntryWriteDate, {0xE3, 0x2B}, false},
      {"hundredths push :58 to :60", s + kEntryCreateHundredths, {200}, false},
      {"empty file with a cluster", s + kEntryFileSize, {0, 0, 0, 0}, false},
      {"gap inside the base name", s + 2, {' '}, true},
      {"lone high byte", s + 0, {0xC8}, true},
      {"long-name checksum", lfn + kLfnChecksum, {std::uint8_t(root[lfn + kLfnChecksum] ^ 0x5A)}, true},
      {"long-name sequence 0x53", lfn + kLfnSequence, {0x53}, false},
      {"long-name cluster word", lfn + kLfnClusterLow, {1}, false},
      {"owner's name under a long name", longIt->second + 4, {'Q'}, true},
      {"end marker before used entries", 0, {0}, true},  // the label entry
  };
  ASSERT_TRUE(IsFatDirectorySector(std::span<const std::uint8_t>(root).first(512)));
  for (const Mutation& m : mutations) {
    std::copy(m.bytes.begin(), m.bytes.end(), root.begin() + static_cast<std::ptrdiff_t>(m.at));
    const std::size_t entryStart = m.at - m.at % kDirEntrySize;
    EXPECT_EQ(IsPlausibleDirEntry(std::span<const std::uint8_t>(root).subspan(entryStart, 32)),
              m.entryStaysPlausible)
        << m.what;
    EXPECT_FALSE(IsFatDirectorySector(std::span<const std::uint8_t>(root).first(512))) << m.what;
    root = pristine;
  }
  EXPECT_TRUE(IsFatDirectorySector(std::span<const std::uint8_t>(root).first(512)));
  // A file whose archive bit was cleared is still an entry of the same directory.
  root[s + kEntryAttr] = kAttrHidden;
  EXPECT_TRUE(IsPlausibleDirEntry(std::span<const std::uint8_t>(root).subspan(s, 32)));
  EXPECT_TRUE(IsFatDirectorySector(std::span<const std::uint8_t>(root).first(512)));
}

}  // namespace
}  // namespace rexmoor
