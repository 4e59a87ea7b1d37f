#include "engine/scan_catalogue.h"

#include <gtest/gtest.h>

#include "app/type_patterns.h"
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/file_type_lists.h"
#include "platform/byte_view.h"
#include "test_support.h"

namespace rexmoor {
namespace {

using test::ReadFileBytes;
using test::RandomBytes;
using test::TempDir;
using test::WriteFileBytes;

std::uint64_t Key(std::uint32_t object, std::uint32_t level) { return ScanCatalogue::MakeFolderKey(object, level); }

std::vector<std::string> Names(const RecordList& list) {
  std::vector<std::string> names;
  for (const auto& r : list) names.emplace_back(RecordName(r));
  return names;
}

class ScanCatalogueTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(catalogue_.OpenCatalogueIn(dir_.path(), "Pro_Fat_0_20241"), kSuccess); }

  // Appends a record the way an engine does and registers it under its parent.
  std::uint32_t Add(std::uint64_t parent, const std::string& name, bool folder, std::uint32_t object,
                    std::int32_t contentState = 1) {
    FoundFileRecord* slot = catalogue_.AppendRecord();
    slot->engineTag = kTagProFat;
    slot->isFolder = folder ? 1 : 0;
    slot->contentState = contentState;
    slot->recordId = catalogue_.RecordCount();
    slot->objectNumber = object;
    slot->size = folder ? 0 : 1000 + object;
    SetRecordName(*slot, name);
    const std::uint32_t id = slot->recordId;
    if (folder)
      catalogue_.AddRelation(parent, id, object, name);
    else
      catalogue_.AddRelation(parent, id, object);
    return id;
  }

  TempDir dir_;
  ScanCatalogue catalogue_;
};

// --- relation text ----------------------------------------------------------------------------

TEST(ScanCatalogueRelations, TextMatchesTheStoredFormatAndParsesBack) {
  RelationMap map;
  map[2] = {1, 4, 9};
  map[(1ull << 32) + 5] = {12};
  const std::string text = FormatRelations(map);
  EXPECT_EQ(text, " | 2 - [1,4,9] | 4294967301 - [12]");

  RelationMap back = ParseRelations(text);
  ASSERT_EQ(back, map);
  auto it = back.begin();
  EXPECT_EQ(KeyObjectNumber(it->first), 2u);
  EXPECT_EQ(KeyLevel(it->first), 0u);
  ++it;
  EXPECT_EQ(KeyObjectNumber(it->first), 5u);
  EXPECT_EQ(KeyLevel(it->first), 1u);

  // Ids are signed in the text; the largest key survives the trip.
  RelationMap edge;
  edge[~0ull] = {-3, 2147483647, -2147483647 - 1};
  EXPECT_EQ(ParseRelations(FormatRelations(edge)), edge);
  EXPECT_TRUE(ParseRelations("").empty());
  EXPECT_TRUE(ParseRelations("2 - [1,2]").empty());
}

TEST(ScanCatalogueRelations, MalformedEntriesEndCleanly) {
  // An overflowing key drops its entry; the next one is still read.
  RelationMap a = ParseRelations(" | 18446744073709551616 - [1] | 3 - [4]");
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a.at(3), (std::vector<std::int32_t>{4}));
  // An overflowing id ends the list after the ids before it.
  RelationMap b = ParseRelations(" | 3 - [4,2147483648,5] | 6 - [7]");
  EXPECT_EQ(b.at(3), (std::vector<std::int32_t>{4}));
  EXPECT_EQ(b.at(6), (std::vector<std::int32_t>{7}));
  // A missing "]" keeps what was read; a missing "- [" ends the text.
  RelationMap c = ParseRelations(" | 3 - [4,5");
  EXPECT_EQ(c.at(3), (std::vector<std::int32_t>{4, 5}));
  EXPECT_TRUE(ParseRelations(" | 3 | 4 | 5").empty());
  // A key without digits is skipped.
  RelationMap d = ParseRelations(" | x - [1] | 8 - []");
  ASSERT_EQ(d.size(), 1u);
  EXPECT_TRUE(d.at(8).empty());
}

TEST(ScanCatalogueRelations, ParsingStopsAtItsBudget) {
  std::string text;
  for (int key = 0; key < 100; ++key) text += " | " + std::to_string(key) + " - [1,2,3,4]";
  RelationMap all = ParseRelations(text);
  EXPECT_EQ(all.size(), 100u);
  // Each entry costs 16 for its key and 1 per id.
  RelationMap some = ParseRelations(text, 200);
  ASSERT_EQ(some.size(), 10u);
  EXPECT_EQ(some.at(9), (std::vector<std::int32_t>{1, 2, 3, 4}));
  RelationMap cut = ParseRelations(" | 1 - [1,2,3,4,5,6,7,8,9]", 20);
  EXPECT_EQ(cut.at(1), (std::vector<std::int32_t>{1, 2, 3, 4}));
}

TEST(ScanCatalogueRelations, RandomTextParsesToAStableMap) {
  const std::string alphabet = " |-[],0123456789";
  for (std::uint32_t seed = 1; seed <= 40; ++seed) {
    std::vector<std::uint8_t> bytes = RandomBytes(4000, seed);
    std::string text;
    for (std::uint8_t b : bytes) text += seed % 2 ? alphabet[b % alphabet.size()] : static_cast<char>(b);
    RelationMap first = ParseRelations(text);
    // Whatever was salvaged is written and read back unchanged.
    EXPECT_EQ(ParseRelations(FormatRelations(first)), first) << "seed " << seed;
  }
}

TEST(ScanCatalogueRelations, FolderInfoRecordsAreFixedSize) {
  std::vector<std::uint8_t> bytes = RandomBytes(3 * kFolderInfoSize + 100, 7);
  std::vector<FolderInfo> folders = ParseFolderInfo(bytes);
  ASSERT_EQ(folders.size(), 3u);
  EXPECT_EQ(folders[1].objectNumber, LoadU32LE(bytes.data() + kFolderInfoSize));
  EXPECT_EQ(folders[2].recordId, LoadU32LE(bytes.data() + 2 * kFolderInfoSize + 4));
  // Names without a NUL stop at the field's end.
  EXPECT_LE(folders[0].Name().size(), kFolderInfoNameSize);
  std::vector<std::uint8_t> again = FormatFolderInfo(folders);
  EXPECT_TRUE(std::equal(again.begin(), again.end(), bytes.begin()));
}

// --- writing and reading ----------------------------------------------------------------------

TEST_F(ScanCatalogueTest, RecordsCrossTheWriteBufferAndReadBackUnchanged) {
  constexpr std::uint32_t kCount = 450;  // two full buffers and a part
  std::vector<FoundFileRecord> written;
  for (std::uint32_t i = 1; i <= kCount; ++i) {
    FoundFileRecord* slot = catalogue_.AppendRecord();
    for (std::size_t b = 0; b < kRecordSize; ++b) EXPECT_EQ(reinterpret_cast<std::uint8_t*>(slot)[b], 0) << b;
    slot->recordId = catalogue_.RecordCount();
    slot->objectNumber = i * 7;
    slot->locationSector = 1000000ull + i;
    slot->clusterBytes = -1;
    slot->contentState = 1;
    SetRecordName(*slot, "file" + std::to_string(i) + ".jpg");
    written.push_back(*slot);
  }
  EXPECT_EQ(catalogue_.RecordCount(), kCount);
  // Records still in the buffer are readable before any flush.
  FoundFileRecord r;
  ASSERT_TRUE(catalogue_.ReadRecord(kCount, r));
  EXPECT_EQ(std::memcmp(&r, &written.back(), kRecordSize), 0);

  ASSERT_EQ(catalogue_.Flush(), kSuccess);
  std::vector<std::uint8_t> file = ReadFileBytes(catalogue_.MainPath());
  ASSERT_EQ(file.size(), kCount * kRecordSize);
  for (std::uint32_t id = 1; id <= kCount; ++id) {
    ASSERT_TRUE(catalogue_.ReadRecord(id, r));
    EXPECT_EQ(std::memcmp(&r, &written[id - 1], kRecordSize), 0) << id;
    EXPECT_EQ(std::memcmp(file.data() + (id - 1) * kRecordSize, &written[id - 1], kRecordSize), 0) << id;
  }
  EXPECT_FALSE(catalogue_.ReadRecord(0, r));
  EXPECT_FALSE(catalogue_.ReadRecord(kCount + 1, r));
}

TEST_F(ScanCatalogueTest, RelationAndFolderFilesHoldTheirExactBytes) {
  const std::uint32_t folder = Add(Key(2, 0), "Photos", true, 40);
  Add(Key(40, 1), "a.jpg", false, 41);
  Add(Key(2, 0), "b.txt", false, 42);
  ASSERT_EQ(catalogue_.Flush(), kSuccess);

  std::vector<std::uint8_t> rel = ReadFileBytes(catalogue_.RelationPath());
  EXPECT_EQ(std::string(rel.begin(), rel.end()), " | 2 - [1,3] | 4294967336 - [2]");

  std::vector<std::uint8_t> dir = ReadFileBytes(catalogue_.FolderInfoPath());
  ASSERT_EQ(dir.size(), kFolderInfoSize);
  EXPECT_EQ(LoadU32LE(dir.data()), 40u);
  EXPECT_EQ(LoadU32LE(dir.data() + 4), folder);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(dir.data() + 8)), "Photos");
  EXPECT_TRUE(std::all_of(dir.begin() + 8 + 6, dir.end(), [](std::uint8_t b) { return b == 0; }));
}

TEST_F(ScanCatalogueTest, ListingSortsSkipsBadPicturesAndUsesTheLowestKeyForTheRoot) {
  Add(Key(7, 0), "zeta", true, 70);
  Add(Key(7, 0), "Beta.txt", false, 71);
  Add(Key(7, 0), "alpha.TXT", false, 72);
  Add(Key(7, 0), "broken.jpg", false, 73, /*contentState=*/0);
  Add(Key(7, 0), "broken.doc", false, 74, /*contentState=*/0);
  Add(Key(7, 0), "Alpha", true, 75);
  Add(Key(9, 0), "other-root.txt", false, 76);
  ASSERT_EQ(catalogue_.Flush(), kSuccess);

  RecordList root;
  ASSERT_EQ(catalogue_.ListChildren(0, root), kSuccess);
  EXPECT_EQ(Names(root), (std::vector<std::string>{"alpha.TXT", "Beta.txt", "broken.doc", "Alpha", "zeta"}));

  RecordList other;
  catalogue_.ListChildren(Key(9, 0), other);
  EXPECT_EQ(Names(other), (std::vector<std::string>{"other-root.txt"}));
  RecordList none;
  catalogue_.ListChildren(Key(1234, 3), none);
  EXPECT_TRUE(none.empty());
}

TEST_F(ScanCatalogueTest, ChildIdsThatNameNoRecordAreSkipped) {
  Add(Key(3, 0), "real.txt", false, 1);
  catalogue_.AddRelation(Key(3, 0), 99, 0);           // beyond the file
  catalogue_.AddRelation(Key(3, 0), 0, 0);            // ids start at 1
  catalogue_.AddRelation(Key(3, 0), 0xFFFFFFFFu, 0);  // "-1" in the text
  ASSERT_EQ(catalogue_.Flush(), kSuccess);
  RecordList list;
  catalogue_.ListChildren(Key(3, 0), list);
  EXPECT_EQ(Names(list), (std::vector<std::string>{"real.txt"}));
  std::int32_t count = -1;
  catalogue_.CountFilesBelow(Key(3, 0), count);
  EXPECT_EQ(count, 1);
}

TEST_F(ScanCatalogueTest, CountsFilesThroughNestedFolders) {
  Add(Key(2, 0), "top.txt", false, 100);
  Add(Key(2, 0), "F", true, 10);
  Add(Key(10, 1), "f1.txt", false, 101);
  Add(Key(10, 1), "f2.txt", false, 102);
  Add(Key(10, 1), "G", true, 11);
  Add(Key(11, 2), "g1.txt", false, 103);
  Add(Key(11, 2), "g2.jpg", false, 104, /*contentState=*/0);
  Add(Key(11, 2), "g3.txt", false, 105);
  Add(Key(11, 2), "Empty", true, 12);
  ASSERT_EQ(catalogue_.Flush(), kSuccess);

  std::int32_t count = -1;
  ASSERT_EQ(catalogue_.CountFilesBelow(Key(2, 0), count), kSuccess);
  EXPECT_EQ(count, 6);
  catalogue_.CountFilesBelow(Key(10, 1), count);
  EXPECT_EQ(count, 5);
  catalogue_.CountFilesBelow(Key(12, 3), count);
  EXPECT_EQ(count, 0);
}

TEST_F(ScanCatalogueTest, AncestorsGiveTheFolderPath) {
  Add(Key(2, 0), "F", true, 10);
  Add(Key(10, 1), "G", true, 11);
  const std::uint32_t deep = Add(Key(11, 2), "deep.txt", false, 200);
  const std::uint32_t top = Add(Key(2, 0), "top.txt", false, 201);
  ASSERT_EQ(catalogue_.Flush(), kSuccess);

  FoundFileRecord record;
  ASSERT_TRUE(catalogue_.ReadRecord(deep, record));
  RecordList ancestors;
  // The root folder has no record of its own, so the walk ends there with 87.
  ASSERT_EQ(catalogue_.AncestorRecords(&record, ancestors), kErrInvalidParameter);
  EXPECT_EQ(Names(ancestors), (std::vector<std::string>{"G", "F"}));
  EXPECT_EQ(std::uint32_t{ancestors[0].recordId}, 2u);
  EXPECT_EQ(std::uint32_t{ancestors[1].recordId}, 1u);
  std::string path;
  ASSERT_EQ(catalogue_.FolderPathOf(&record, path), kSuccess);
  EXPECT_EQ(path, "F/G/");

  ASSERT_TRUE(catalogue_.ReadRecord(top, record));
  catalogue_.FolderPathOf(&record, path);
  EXPECT_EQ(path, "");

  EXPECT_EQ(catalogue_.AncestorRecords(nullptr, ancestors), kErrInvalidParameter);
  EXPECT_EQ(catalogue_.FolderPathOf(nullptr, path), kErrInvalidParameter);
}

TEST_F(ScanCatalogueTest, AncestorMissingFromTheFolderListIsFoundInTheRecords) {
  // A folder registered without a name: only its record knows it.
  FoundFileRecord* slot = catalogue_.AppendRecord();
  slot->isFolder = 1;
  slot->recordId = catalogue_.RecordCount();
  slot->objectNumber = 30;
  SetRecordName(*slot, "Unnamed");
  catalogue_.AddRelation(Key(2, 0), slot->recordId, 30);
  const std::uint32_t inside = Add(Key(30, 1), "in.txt", false, 31);
  const std::uint32_t orphan = Add(Key(77, 1), "orphan.txt", false, 32);  // no folder 77 anywhere
  ASSERT_EQ(catalogue_.Flush(), kSuccess);

  FoundFileRecord record;
  ASSERT_TRUE(catalogue_.ReadRecord(inside, record));
  std::string path;
  catalogue_.FolderPathOf(&record, path);
  EXPECT_EQ(path, "Unnamed/");

  ASSERT_TRUE(catalogue_.ReadRecord(orphan, record));
  RecordList ancestors;
  EXPECT_EQ(catalogue_.AncestorRecords(&record, ancestors), kErrInvalidParameter);
  EXPECT_TRUE(ancestors.empty());
  EXPECT_EQ(catalogue_.FolderPathOf(&record, path), kSuccess);  // the broken chain is ignored
  EXPECT_EQ(path, "");
}

TEST_F(ScanCatalogueTest, ReopenReadsRelationsAndFoldersBack) {
  Add(Key(2, 0), "Docs", true, 10);
  Add(Key(10, 1), "a.doc", false, 11);
  Add(Key(2, 0), "b.txt", false, 12);
  const RelationMap relations = catalogue_.Relations();
  const std::string logName = "Pro_Fat_0_20241";
  catalogue_.Close();
  EXPECT_FALSE(catalogue_.IsOpen());

  ScanCatalogue again;
  ASSERT_EQ(again.OpenCatalogueIn(dir_.path() + "/", logName), kSuccess);
  EXPECT_EQ(again.Relations(), relations);
  ASSERT_EQ(again.Folders().size(), 1u);
  EXPECT_EQ(again.Folders()[0].Name(), "Docs");
  EXPECT_EQ(again.LoadedRecordCount(), 3u);

  RecordList root;
  again.ListChildren(0, root);
  EXPECT_EQ(Names(root), (std::vector<std::string>{"b.txt", "Docs"}));
  RecordList docs;
  again.ListChildren(Key(10, 1), docs);
  ASSERT_EQ(docs.size(), 1u);
  std::string path;
  again.FolderPathOf(&docs[0], path);
  EXPECT_EQ(path, "Docs/");

  // Appending continues after the loaded records, so ids keep naming their positions.
  FoundFileRecord* slot = again.AppendRecord();
  slot->recordId = again.RecordCount();
  SetRecordName(*slot, "later.txt");
  again.AddRelation(Key(2, 0), slot->recordId, 13);
  EXPECT_EQ(std::uint32_t{slot->recordId}, 4u);
  ASSERT_EQ(again.Flush(), kSuccess);
  FoundFileRecord r;
  ASSERT_TRUE(again.ReadRecord(4, r));
  EXPECT_EQ(RecordName(r), "later.txt");
  ASSERT_TRUE(again.ReadRecord(1, r));
  EXPECT_EQ(RecordName(r), "Docs");
}

// --- filtering --------------------------------------------------------------------------------

std::int32_t StopAfterFirstBlock(void* userData, std::int32_t percent, std::int32_t reserved) {
  auto* calls = static_cast<std::vector<std::int32_t>*>(userData);
  calls->push_back(percent);
  EXPECT_EQ(reserved, 0);
  return 1;
}

std::int32_t RecordPercent(void* userData, std::int32_t percent, std::int32_t) {
  static_cast<std::vector<std::int32_t>*>(userData)->push_back(percent);
  return 0;
}

TEST_F(ScanCatalogueTest, FilterMatchesDottedExtensionsAndOtherMode) {
  Add(0, "photo.jpg", false, 1);
  Add(0, "bad.jpg", false, 2, /*contentState=*/0);
  Add(0, "report.doc", false, 3, /*contentState=*/0);
  Add(0, "readme.xyz", false, 4);
  Add(0, "noext", false, 5);
  Add(0, "song.MP3", false, 6);
  Add(0, "short.jp", false, 7);
  Add(0, "album.jpg", true, 8);
  // Unflushed records count too: the filter flushes first.

  RecordList out;
  EXPECT_EQ(catalogue_.FilterByExtensions(".jpg", out), 1);
  EXPECT_EQ(Names(out), (std::vector<std::string>{"photo.jpg", "short.jp"}));  // ".jp" is inside ".jpg"
  out.clear();
  catalogue_.FilterByExtensions(".doc.mp3", out);
  EXPECT_EQ(Names(out), (std::vector<std::string>{"report.doc", "song.MP3"}));
  out.clear();
  catalogue_.FilterByExtensions(".other", out);
  EXPECT_EQ(Names(out), (std::vector<std::string>{"noext", "readme.xyz"}));
  out.clear();
  catalogue_.FilterByExtensions(".png", out);
  EXPECT_TRUE(out.empty());
}

TEST_F(ScanCatalogueTest, FilterReportsProgressAndStopsWhenAsked) {
  for (std::uint32_t i = 1; i <= 450; ++i) Add(0, "f" + std::to_string(i) + ".txt", false, i);
  std::vector<std::int32_t> calls;
  catalogue_.SetFilterCallback(RecordPercent, &calls);
  RecordList out;
  EXPECT_EQ(catalogue_.FilterByExtensions(".txt", out), 1);
  EXPECT_EQ(out.size(), 450u);
  EXPECT_EQ(calls, (std::vector<std::int32_t>{44, 88, 100}));

  calls.clear();
  catalogue_.SetFilterCallback(StopAfterFirstBlock, &calls);
  out.clear();
  catalogue_.FilterByExtensions(".txt", out);
  EXPECT_EQ(out.size(), 200u);
  EXPECT_EQ(calls.size(), 1u);
}

TEST(ScanCatalogueLarge, OtherModeIsOffForCataloguesOf128MiB) {
  TempDir dir;
  {
    ScanCatalogue catalogue;
    ASSERT_EQ(catalogue.OpenCatalogueIn(dir.path(), "File_Type_0_1"), kSuccess);
    FoundFileRecord* slot = catalogue.AppendRecord();
    slot->recordId = 1;
    SetRecordName(*slot, "readme.xyz");
  }
  const std::string main = dir / "File_Type_0_1";
  // Sparse: the rest reads as zero-filled records without a name.
  std::filesystem::resize_file(main, 0x8000000);
  ScanCatalogue catalogue;
  ASSERT_EQ(catalogue.OpenCatalogueIn(dir.path(), "File_Type_0_1"), kSuccess);
  RecordList out;
  EXPECT_EQ(catalogue.FilterByExtensions(".xyz.other", out), 1);
  EXPECT_EQ(Names(out), (std::vector<std::string>{"readme.xyz"}));
  out.clear();
  catalogue.FilterByExtensions(".other", out);
  EXPECT_TRUE(out.empty());
}

TEST(ScanCatalogueClosed, FilterOnAClosedCatalogueReadsNothing) {
  ScanCatalogue catalogue;
  RecordList out;
  EXPECT_EQ(catalogue.FilterByExtensions(".jpg", out), 0);
  // Appending without files still hands out slots; the records are lost, not the process.
  FoundFileRecord* slot = nullptr;
  for (int i = 0; i < 300; ++i) slot = catalogue.AppendRecord();
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(catalogue.RecordCount(), 300u);
  EXPECT_NE(catalogue.Flush(), kSuccess);
  EXPECT_EQ(catalogue.OpenCatalogueIn(test::TempDir().path(), "a/b"), kErrInvalidParameter);
}

// --- damaged catalogues -----------------------------------------------------------------------

TEST(ScanCatalogueDamaged, RandomFilesGiveBoundedResults) {
  for (std::uint32_t seed = 1; seed <= 12; ++seed) {
    TempDir dir;
    const std::string main = dir / "Fast_0_1";
    WriteFileBytes(main, RandomBytes(kRecordSize * 30 + seed * 13, seed));
    WriteFileBytes(main + "_DirInfo", RandomBytes(kFolderInfoSize * 5 + seed, seed + 100));
    // Random bytes with a few well-formed entries whose ids point into the file and back at
    // folders of random identity.
    std::vector<std::uint8_t> rel = RandomBytes(2000, seed + 200);
    std::string text(rel.begin(), rel.end());
    text += " | 0 - [1,2,3,4,5,6,7,8,9,10] | 4294967296 - [11,12,13,-4,99999]";
    WriteFileBytes(main + "_Relation", std::vector<std::uint8_t>(text.begin(), text.end()));

    ScanCatalogue catalogue;
    ASSERT_EQ(catalogue.OpenCatalogueIn(dir.path(), "Fast_0_1"), kSuccess);
    EXPECT_EQ(catalogue.LoadedRecordCount(), 30u);
    std::size_t total = 0;
    for (const auto& [key, ids] : catalogue.Relations()) {
      RecordList list;
      catalogue.ListChildren(key, list);
      EXPECT_LE(list.size(), ids.size());
      total += list.size();
      std::int32_t count = -1;
      catalogue.CountFilesBelow(key, count);
      EXPECT_GE(count, 0);
    }
    EXPECT_GT(total, 0u);
    for (std::uint32_t id = 1; id <= 31; ++id) {
      FoundFileRecord record = MakeEmptyRecord();
      record.recordId = id;
      RecordList ancestors;
      catalogue.AncestorRecords(&record, ancestors);
      EXPECT_LE(ancestors.size(), catalogue.Relations().size());
      std::string path;
      EXPECT_EQ(catalogue.FolderPathOf(&record, path), kSuccess);
    }
    RecordList out;
    EXPECT_EQ(catalogue.FilterByExtensions(".other.jpg", out), 1);
    EXPECT_LE(out.size(), 30u);
  }
}

TEST(ScanCatalogueDamaged, TruncatedMainFileKeepsItsWholeRecords) {
  TempDir dir;
  {
    ScanCatalogue catalogue;
    ASSERT_EQ(catalogue.OpenCatalogueIn(dir.path(), "File_Type_0_1"), kSuccess);
    for (int i = 0; i < 3; ++i) {
      FoundFileRecord* slot = catalogue.AppendRecord();
      slot->recordId = catalogue.RecordCount();
      slot->contentState = 1;
      SetRecordName(*slot, "r" + std::to_string(slot->recordId) + ".zip");
      catalogue.AddRelation(0, slot->recordId, 0);
    }
  }
  const std::string main = dir / "File_Type_0_1";
  ASSERT_EQ(::truncate(main.c_str(), 3 * kRecordSize - 100), 0);

  ScanCatalogue catalogue;
  ASSERT_EQ(catalogue.OpenCatalogueIn(dir.path(), "File_Type_0_1"), kSuccess);
  EXPECT_EQ(catalogue.LoadedRecordCount(), 2u);
  RecordList root;
  catalogue.ListChildren(0, root);
  EXPECT_EQ(Names(root), (std::vector<std::string>{"r1.zip", "r2.zip"}));
  RecordList filtered;
  catalogue.FilterByExtensions(".zip", filtered);
  EXPECT_EQ(filtered.size(), 2u);

  // The next record takes the damaged slot and is read back whole.
  FoundFileRecord* slot = catalogue.AppendRecord();
  slot->recordId = catalogue.RecordCount();
  SetRecordName(*slot, "new.zip");
  EXPECT_EQ(std::uint32_t{slot->recordId}, 3u);
  ASSERT_EQ(catalogue.Flush(), kSuccess);
  root.clear();
  catalogue.ListChildren(0, root);
  EXPECT_EQ(Names(root), (std::vector<std::string>{"new.zip", "r1.zip", "r2.zip"}));
  EXPECT_EQ(std::filesystem::file_size(main), 3 * kRecordSize);
}

TEST_F(ScanCatalogueTest, LoopingRelationsEnd) {
  // Two folders that name each other as parent.
  Add(Key(20, 0), "A", true, 10);
  Add(Key(10, 0), "B", true, 20);
  const std::uint32_t file = Add(Key(10, 0), "x.txt", false, 30);
  ASSERT_EQ(catalogue_.Flush(), kSuccess);
  FoundFileRecord record;
  ASSERT_TRUE(catalogue_.ReadRecord(file, record));
  RecordList ancestors;
  catalogue_.AncestorRecords(&record, ancestors);
  EXPECT_EQ(Names(ancestors), (std::vector<std::string>{"A", "B"}));

  // A folder listed under every level of itself, twice per level: the walk is capped and each
  // key is visited once.
  ScanCatalogue deep;
  TempDir dir;
  ASSERT_EQ(deep.OpenCatalogueIn(dir.path(), "Pro_Ntfs_0_1"), kSuccess);
  for (int i = 0; i < 3; ++i) {
    FoundFileRecord* slot = deep.AppendRecord();
    slot->recordId = deep.RecordCount();
    slot->isFolder = i < 2 ? 1 : 0;
    slot->objectNumber = 1;
    SetRecordName(*slot, i < 2 ? "loop" : "f.txt");
  }
  for (std::uint32_t level = 0; level < 6000; ++level)
    for (std::uint32_t id = 1; id <= 3; ++id) deep.AddRelation(Key(1, level), id, 1);
  std::int32_t count = -1;
  ASSERT_EQ(deep.CountFilesBelow(Key(1, 0), count), kSuccess);
  EXPECT_GT(count, 1000);
  EXPECT_LE(count, 4097);
}

// --- type lists -------------------------------------------------------------------------------

TEST(ScanCatalogueTypeLists, SubstringTestsOnLowerCasedExtensions) {
  EXPECT_TRUE(IsPictureExtension("jpg"));
  EXPECT_TRUE(IsPictureExtension("JPG"));
  EXPECT_TRUE(IsPictureExtension("jp"));  // a prefix of a listed one
  EXPECT_FALSE(IsPictureExtension(""));
  EXPECT_FALSE(IsPictureExtension("mp3"));
  EXPECT_TRUE(IsAudioExtension("midi"));
  EXPECT_TRUE(IsDocumentExtension("accdb"));
  EXPECT_TRUE(IsVideoExtension("lrv"));
  EXPECT_TRUE(IsArchiveExtension("7z"));
  EXPECT_FALSE(IsArchiveExtension("xyz"));
  // A whole item of one list is not a part of another's: avi is a video, avif a picture, and a
  // recovered .avi goes into the video folder.
  EXPECT_FALSE(IsPictureExtension("avi"));
  EXPECT_TRUE(IsVideoExtension("avi"));
  EXPECT_TRUE(IsPictureExtension("avif"));
  EXPECT_EQ(CategoryFolderFor("clip.avi"), "video");
  EXPECT_EQ(CategoryFolderFor("photo.avif"), "photo");
  EXPECT_EQ(CategoryFolderFor("x.pg"), "photo");

  const std::string& known = KnownExtensions();
  EXPECT_EQ(known.size(), kPictureList.size() + kAudioList.size() + kDocumentList.size() + kVideoList.size() +
                              kArchiveList.size() + 4);
  EXPECT_EQ(known.rfind("*.bmp|", 0), 0u);
  EXPECT_NE(known.find("*.svg|*.mp3|"), std::string::npos);
  EXPECT_NE(known.find("*.dsf|*.doc|"), std::string::npos);
  EXPECT_NE(known.find("*.ics|*.rmvb|"), std::string::npos);
  EXPECT_NE(known.find("*.webm|*.zip|"), std::string::npos);
  EXPECT_EQ(known.substr(known.size() - 6), "|*.iso");
  EXPECT_EQ(ExtensionOf("a.b.C"), "C");
  EXPECT_EQ(ExtensionOf("none"), "");
}

}  // namespace
}  // namespace rexmoor
