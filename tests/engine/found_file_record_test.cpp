#include "engine/found_file_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>

namespace rexmoor {
namespace {

FoundFileRecord Named(const char* name, bool folder) {
  FoundFileRecord r = MakeEmptyRecord();
  SetRecordName(r, name);
  r.isFolder = folder ? 1 : 0;
  return r;
}

TEST(FoundFileRecord, BytesLandAtTheirStoredOffsets) {
  FoundFileRecord r = MakeEmptyRecord();
  r.sourceTag = 0x4443;
  r.engineTag = kTagFileType;
  r.recordId = 0x01020304;
  r.objectNumber = 0xA0B0C0D0;
  r.clusterBytes = -1;
  r.modifiedTime = 0x1122334455667788ULL;
  r.partitionStartSector = 2048;
  SetRecordName(r, "photo.jpg");
  r.extra = 0xBEEF;
  std::uint8_t bytes[kRecordSize];
  std::memcpy(bytes, &r, kRecordSize);
  EXPECT_EQ(bytes[0], 0x43);
  EXPECT_EQ(bytes[1], 0x44);
  EXPECT_EQ(bytes[2], 4);
  EXPECT_EQ(bytes[18], 0x04);
  EXPECT_EQ(bytes[21], 0x01);
  EXPECT_EQ(bytes[22], 0xD0);
  EXPECT_EQ(bytes[26], 0xFF);
  EXPECT_EQ(bytes[29], 0xFF);
  EXPECT_EQ(bytes[46], 0x88);
  EXPECT_EQ(bytes[53], 0x11);
  EXPECT_EQ(bytes[78], 0x00);
  EXPECT_EQ(bytes[79], 0x08);
  EXPECT_EQ(std::memcmp(bytes + 86, "photo.jpg", 10), 0);
  EXPECT_EQ(bytes[344], 0xEF);
  EXPECT_EQ(bytes[345], 0xBE);
}

TEST(FoundFileRecord, NamesAreTruncatedOnACharacterBoundaryAndReadWithoutTerminator) {
  FoundFileRecord r = MakeEmptyRecord();
  std::string longName;
  for (int i = 0; i < 200; ++i) longName += "\xC3\xA9";  // 400 bytes of 'é'
  SetRecordName(r, longName);
  std::string_view stored = RecordName(r);
  EXPECT_EQ(stored.size(), 256u);  // 257 bytes would split a character
  EXPECT_EQ(r.name[kRecordNameSize - 1], '\0');
  // A record read from a damaged log may have no terminator at all.
  std::memset(r.name, 'A', kRecordNameSize);
  EXPECT_EQ(RecordName(r).size(), kRecordNameSize);
  SetRecordName(r, "archive.tar.gz");
  EXPECT_EQ(RecordExtension(r), "gz");
  SetRecordName(r, "README");
  EXPECT_EQ(RecordExtension(r), "");
}

TEST(FoundFileRecord, ListsPutFilesFirstThenSortByNameIgnoringCase) {
  RecordList list = {Named("b", true), Named("B.jpg", false), Named("A.txt", false), Named("a.jpg", false),
                     Named("Alpha", true)};
  SortRecords(list);
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(RecordName(list[0]), "a.jpg");
  EXPECT_EQ(RecordName(list[1]), "A.txt");
  EXPECT_EQ(RecordName(list[2]), "B.jpg");
  EXPECT_EQ(RecordName(list[3]), "Alpha");
  EXPECT_EQ(RecordName(list[4]), "b");
  EXPECT_FALSE(RecordLess(Named("x", true), Named("y", false)));
  EXPECT_TRUE(RecordLess(Named("Zeta", false), Named("alpha", true)));
}

// The list is sorted through its positions; equal names (the same file found twice, names that
// differ only in case) must still come out in the order a sort of the records themselves gives,
// and a list sorted from a position on keeps what lies before it.
TEST(FoundFileRecord, SortingGivesTheOrderOfASortOfTheRecordsThemselves) {
  std::mt19937 random(7);
  const char* names[] = {"a.jpg", "A.JPG", "b.txt", "B.txt", "c", "folder", "Folder", "z.png"};
  for (std::size_t size : {0u, 1u, 2u, 15u, 16u, 17u, 100u, 3000u}) {
    RecordList list;
    for (std::size_t i = 0; i < size; ++i) {
      FoundFileRecord r = Named(names[random() % 8], random() % 3 == 0);
      r.recordId = static_cast<std::uint32_t>(i);
      list.push_back(r);
    }
    for (std::size_t from : {std::size_t{0}, size / 3}) {
      RecordList expected = list;
      std::sort(expected.begin() + static_cast<std::ptrdiff_t>(std::min(from, size)), expected.end(), RecordLess);
      RecordList sorted = list;
      SortRecords(sorted, from);
      ASSERT_EQ(sorted.size(), expected.size());
      for (std::size_t i = 0; i < size; ++i)
        ASSERT_EQ(std::memcmp(&sorted[i], &expected[i], sizeof(FoundFileRecord)), 0) << size << " from " << from << " at " << i;
    }
  }
}

}  // namespace
}  // namespace rexmoor
