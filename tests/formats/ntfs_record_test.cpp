// The pure NTFS decoders on real records (from the fixture volume) and on records with one field
// changed to a bad value: each must be refused cleanly, never read past.
#include "formats/ntfs_record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ntfs/ntfs_folders.h"
#include "formats/ntfs_runs.h"
#include "ntfs/ntfs_test_util.h"
#include "platform/text.h"

namespace rexmoor {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes BootSector() { return test::ReadBytesAt(test::NtfsFixture("ntfs_deleted.img"), 0, 512); }

// Record n of the fixture as it lies on the volume (update sequence in place).
Bytes RawRecord(std::uint32_t number) {
  const std::string image = test::NtfsFixture("ntfs_deleted.img");
  return test::ReadBytesAt(image, test::MftRecordEditor(image).Offset(number), 1024);
}

TEST(NtfsGeometry, WhitelistsSectorAndClusterSizes) {
  const Bytes good = BootSector();
  auto g = ParseNtfsGeometry(good);
  ASSERT_TRUE(g);
  EXPECT_EQ(g->bytesPerSector, 512u);
  EXPECT_EQ(g->sectorsPerCluster, 8u);
  EXPECT_EQ(g->recordSize, 1024u);
  EXPECT_EQ(g->sectorsPerRecord, 2u);
  EXPECT_EQ(g->ClusterBytes(), 4096u);

  struct Mutation {
    std::size_t at;
    std::vector<std::uint8_t> bytes;
    bool ok;
    std::uint32_t recordSize;
  } cases[] = {
      {11, {0x00, 0x00}, true, 1024},   // 0 means 512
      {11, {0x00, 0x10}, true, 4096},   // 4,096-byte sectors, 4,096-byte records
      {11, {0x00, 0x08}, true, 2048},
      {11, {0x00, 0x03}, false, 0},     // 768
      {11, {0x00, 0x20}, false, 0},     // 8,192
      {11, {0x01, 0x02}, false, 0},     // 513
      {13, {0x00}, false, 0},
      {13, {0x03}, false, 0},
      {13, {0xF4}, true, 1024},         // 2^12 sectors: 2 MiB clusters
      {13, {0xF3}, false, 0},           // 4 MiB: more than NTFS allows
      {13, {0x81}, false, 0},
      {13, {0x80}, true, 1024},
      {48, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, false, 0},  // MFT sector overflows
  };
  for (const auto& c : cases) {
    Bytes b = good;
    std::copy(c.bytes.begin(), c.bytes.end(), b.begin() + static_cast<std::ptrdiff_t>(c.at));
    auto r = ParseNtfsGeometry(b);
    EXPECT_EQ(r.has_value(), c.ok) << "offset " << c.at;
    if (r && c.ok) {
      EXPECT_EQ(r->recordSize, c.recordSize);
    }
  }
  EXPECT_FALSE(ParseNtfsGeometry(std::span(good.data(), 511)));
}

TEST(NtfsFileRecord, FixupRestoresTheProtectedWordsAndRefusesBadArrays) {
  Bytes raw = RawRecord(72);  // "small note.txt": resident, deleted
  ASSERT_TRUE(HasFileSignature(raw));
  const std::uint16_t usn = LoadU16LE(raw.data() + LoadU16LE(raw.data() + 4));
  EXPECT_EQ(LoadU16LE(raw.data() + 510), usn);
  Bytes fixed = raw;
  auto header = PrepareFileRecord(fixed);
  ASSERT_TRUE(header);
  EXPECT_FALSE(header->InUse());
  EXPECT_FALSE(header->IsDirectory());
  EXPECT_EQ(header->number, 72u);
  EXPECT_EQ(LoadU16LE(fixed.data() + 510), LoadU16LE(raw.data() + LoadU16LE(raw.data() + 4) + 2));

  struct Mutation {
    const char* what;
    std::size_t at;
    std::uint16_t value;
  } cases[] = {
      {"usa count", 6, 2},           {"usa count large", 6, 60},  {"usa offset odd", 4, 49},
      {"usa offset past header", 4, 0x3F0}, {"usa offset inside count", 4, 2},
      {"first attribute past use", 20, 0x3F8}, {"first attribute inside header", 20, 8},
  };
  for (const auto& c : cases) {
    Bytes b = raw;
    test::PutU16(b, c.at, c.value);
    const Bytes before = b;
    EXPECT_FALSE(PrepareFileRecord(b)) << c.what;
    EXPECT_EQ(b, before) << c.what << ": a refused record is left alone";
  }
  Bytes noSig = raw;
  noSig[0] = 'B';
  EXPECT_FALSE(PrepareFileRecord(noSig));
  Bytes shortRecord(raw.begin(), raw.begin() + 40);
  EXPECT_FALSE(PrepareFileRecord(shortRecord));
  // A record of a size the update sequence cannot cover.
  Bytes odd = raw;
  odd.resize(1000);
  EXPECT_FALSE(PrepareFileRecord(odd));
}

TEST(NtfsFileRecord, AttributeWalkStopsAtDamage) {
  Bytes rec = RawRecord(72);
  auto header = PrepareFileRecord(rec);
  ASSERT_TRUE(header);
  std::vector<std::uint32_t> types;
  AttributeWalker walk(rec, *header);
  while (auto a = walk.Next()) types.push_back(a->type);
  EXPECT_FALSE(walk.Damaged());
  EXPECT_EQ(types, (std::vector<std::uint32_t>{0x10, 0x30, 0x50, 0x80}));
  auto data = FindAttribute(rec, *header, kAttrData, true);
  ASSERT_TRUE(data);
  EXPECT_FALSE(data->nonResident);
  EXPECT_EQ(data->value.size(), 300u);

  const std::size_t fn = *test::MftRecordEditor::FindAttr(rec, kAttrFileName);
  struct Mutation {
    const char* what;
    std::size_t at;
    std::uint32_t value;
    int width;
    std::size_t seen;  // attributes read before the walk ends
  } cases[] = {
      {"length 0", fn + 4, 0, 4, 1},
      {"length past the record", fn + 4, 0x10000, 4, 1},
      {"length not aligned", fn + 4, 0x61, 4, 1},
      {"value past the attribute", fn + 16, 0x400, 4, 1},
      {"value offset inside the header", fn + 20, 8, 2, 1},
      {"name past the attribute", fn + 9, 0xFF, 1, 1},
      {"type 0", fn, 0, 4, 1},
      {"filler type", fn, 0xFDFDFDFD, 4, 1},
      {"bytes in use cut the record", 24, 0x60, 4, 0},
  };
  for (const auto& c : cases) {
    Bytes b = rec;
    if (c.width == 1) b[c.at] = static_cast<std::uint8_t>(c.value);
    if (c.width == 2) test::PutU16(b, c.at, static_cast<std::uint16_t>(c.value));
    if (c.width == 4) test::PutU32(b, c.at, c.value);
    auto h = ParseRecordHeader(b);
    if (!h) continue;  // refused even earlier
    AttributeWalker w(b, *h);
    std::size_t seen = 0;
    while (w.Next()) ++seen;
    EXPECT_EQ(seen, c.seen) << c.what;
    EXPECT_TRUE(w.Damaged()) << c.what;
  }
  // Non-resident: the run list must start after the header and inside the attribute.
  Bytes big = RawRecord(78);
  auto bh = PrepareFileRecord(big);
  ASSERT_TRUE(bh);
  const std::size_t da = *test::MftRecordEditor::FindAttr(big, kAttrData);
  for (std::uint16_t runs : {std::uint16_t{8}, std::uint16_t{0x200}}) {
    Bytes b = big;
    test::PutU16(b, da + 32, runs);
    EXPECT_FALSE(FindAttribute(b, *bh, kAttrData, true)) << runs;
  }
  auto good = FindAttribute(big, *bh, kAttrData, true);
  ASSERT_TRUE(good);
  EXPECT_TRUE(good->nonResident);
  EXPECT_EQ(good->realSize, 30000u);
}

TEST(NtfsFileName, DecodesNamesAndRefusesOverlongOnes) {
  Bytes rec = RawRecord(71);  // DOS name first, then the Win32 name
  auto header = PrepareFileRecord(rec);
  ASSERT_TRUE(header);
  std::vector<std::uint8_t> spaces;
  AttributeWalker walk(rec, *header);
  while (auto a = walk.Next()) {
    if (a->type != kAttrFileName) continue;
    auto name = ParseFileName(a->value);
    ASSERT_TRUE(name);
    EXPECT_EQ(name->ParentNumber(), 69u);
    spaces.push_back(name->nameSpace);
  }
  EXPECT_EQ(spaces, (std::vector<std::uint8_t>{kNameDos, kNameWin32}));
  auto chosen = ChooseFileName(rec, *header);
  ASSERT_TRUE(chosen);
  EXPECT_EQ(FoundNameOf(*chosen), "A rather long name that also has a DOS twin.txt");

  // A name that claims more characters than its value holds is refused.
  const std::size_t fn = *test::MftRecordEditor::FindAttr(rec, kAttrFileName);
  const std::size_t value = fn + LoadU16LE(rec.data() + fn + 20);
  Bytes b = rec;
  b[value + kFnNameLength] = 200;
  auto fnAttr = FindAttribute(b, *header, kAttrFileName, false);
  ASSERT_TRUE(fnAttr);
  EXPECT_FALSE(ParseFileName(fnAttr->value));
  EXPECT_FALSE(ParseFileName(std::span(fnAttr->value.data(), 60)));

  // UTF-16 becomes UTF-8, cut on a character boundary; separators cannot survive into a name.
  std::vector<std::uint8_t> v(kFnName, 0);
  for (char16_t c : std::u16string(u"a/b\u00e9\u00e9\u00e9")) {
    v.push_back(static_cast<std::uint8_t>(c));
    v.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  v[kFnNameLength] = 6;
  auto n = ParseFileName(v);
  ASSERT_TRUE(n);
  EXPECT_EQ(FileNameText(*n, 100), "a/b\u00e9\u00e9\u00e9");
  EXPECT_EQ(FileNameText(*n, 6), "a/b\u00e9");  // not half of the second é
  EXPECT_EQ(FoundNameOf(*n).find('/'), std::string::npos);
  // An unpaired surrogate is replaced, not passed on.
  v[kFnName] = 0x00;
  v[kFnName + 1] = 0xD8;
  EXPECT_EQ(FileNameText(*ParseFileName(v), 100).rfind("\xEF\xBF\xBD", 0), 0u);
}

TEST(NtfsRuns, DecodesRunsAndRefusesWhatDoesNotFit) {
  const RunDecodeLimits limits{4096, kMaxRunsPerAttribute};
  RunList runs;
  // 3 clusters at 100, sparse 5, 2 clusters at 100 - 20 = 80, end.
  const Bytes list = {0x11, 0x03, 0x64, 0x01, 0x05, 0x11, 0x02, 0xEC, 0x00};
  ASSERT_TRUE(DecodeRunList(list, 0, limits, runs));
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_EQ(runs[0].lcn, 100u);
  EXPECT_EQ(runs[0].length, 3u);
  EXPECT_TRUE(runs[1].sparse);
  EXPECT_EQ(runs[1].vcn, 3u);
  EXPECT_EQ(runs[2].lcn, 80u);
  EXPECT_EQ(runs[2].vcn, 8u);
  EXPECT_EQ(RunListEnd(runs), 10u);
  EXPECT_EQ(*FindRun(runs, 9), 2u);
  EXPECT_EQ(*FindRun(runs, 4), 1u);
  EXPECT_FALSE(FindRun(runs, 10));

  struct Case {
    const char* what;
    Bytes bytes;
    std::size_t kept;
  } bad[] = {
      {"no end marker", {0x11, 0x03, 0x64}, 1},
      {"field cut short", {0x21, 0x03, 0x64}, 0},
      {"offset of 8 bytes", {0x81, 0x03, 1, 2, 3, 4, 5, 6, 7, 8, 0}, 0},
      {"length of 8 bytes", {0x18, 1, 2, 3, 4, 5, 6, 7, 8, 1, 0}, 0},
      {"length 0", {0x11, 0x00, 0x10, 0x00}, 0},
      {"below cluster 0", {0x11, 0x01, 0x10, 0x11, 0x01, 0xE0, 0x00}, 1},
      {"past the volume", {0x21, 0x01, 0x00, 0x20, 0x00}, 0},
      {"sparse longer than a volume", {0x02, 0x00, 0x20, 0x00}, 0},
  };
  for (const auto& c : bad) {
    RunList out;
    EXPECT_FALSE(DecodeRunList(c.bytes, 0, limits, out)) << c.what;
    EXPECT_EQ(out.size(), c.kept) << c.what;
  }
  // A run that starts on the volume and runs off its end is cut at the end.
  RunList clipped;
  EXPECT_FALSE(DecodeRunList(Bytes{0x21, 0x20, 0xF0, 0x0F, 0x00}, 0, limits, clipped));
  ASSERT_EQ(clipped.size(), 1u);
  EXPECT_EQ(clipped[0].lcn, 4080u);
  EXPECT_EQ(clipped[0].length, 16u);
  // At most maxRuns runs.
  Bytes many;
  for (int i = 0; i < 100; ++i) many.insert(many.end(), {0x11, 0x01, 0x01});
  many.push_back(0);
  RunList capped;
  EXPECT_FALSE(DecodeRunList(many, 0, RunDecodeLimits{4096, 10}, capped));
  EXPECT_EQ(capped.size(), 10u);

  // Extents join up; a gap becomes a sparse run and a repeated extent is dropped.
  RunList joined = {DataRun{0, 4, 10, false}};
  EXPECT_TRUE(AppendExtent(joined, {DataRun{6, 2, 50, false}}));
  ASSERT_EQ(joined.size(), 3u);
  EXPECT_TRUE(joined[1].sparse);
  EXPECT_EQ(joined[1].length, 2u);
  EXPECT_FALSE(AppendExtent(joined, {DataRun{0, 4, 10, false}}));
  EXPECT_EQ(joined.size(), 3u);
}

TEST(NtfsAttributeList, EntriesAreBoundsChecked) {
  Bytes list(64, 0);
  test::PutU32(list, 0, kAttrData);
  test::PutU16(list, 4, 32);
  test::PutU64(list, 8, 7);
  test::PutU64(list, 16, 0x0005000000000091ull);
  test::PutU32(list, 32, kAttrEnd);
  std::size_t next = 0;
  auto e = ParseAttributeListEntry(list, 0, next);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->type, kAttrData);
  EXPECT_EQ(e->lowestVcn, 7u);
  EXPECT_EQ(e->RecordNumber(), 0x91u);
  EXPECT_EQ(next, 32u);
  EXPECT_FALSE(ParseAttributeListEntry(list, 32, next));  // the end marker
  for (std::uint16_t length : {std::uint16_t{0}, std::uint16_t{10}, std::uint16_t{100}}) {
    Bytes b = list;
    test::PutU16(b, 4, length);
    EXPECT_FALSE(ParseAttributeListEntry(b, 0, next)) << length;
  }
  EXPECT_FALSE(ParseAttributeListEntry(list, 50, next));
}

// Parent chains over a made-up set of folder records: loops and absurd depths end in lost folders,
// and every depth agrees with its parent's.
TEST(NtfsFolderChains, LoopsAndDepthsEndInLostFolders) {
  // number -> parent; folders only. 20 <-> 21 loop; 30 -> 31 -> 5; 40 -> 41 (a file).
  const std::map<std::uint32_t, std::uint32_t> folders = {{20, 21}, {21, 20}, {30, 31}, {31, 5}, {50, 50}};
  auto makeFolder = [](std::uint32_t parent, bool directory, std::span<std::uint8_t> out) {
    Bytes rec(1024, 0);
    std::memcpy(rec.data(), "FILE", 4);
    test::PutU16(rec, 4, 48);
    test::PutU16(rec, 6, 3);
    test::PutU16(rec, 20, 56);
    test::PutU16(rec, 22, directory ? 3 : 1);
    test::PutU32(rec, 24, 200);
    // $FILE_NAME with a one-letter name.
    test::PutU32(rec, 56, kAttrFileName);
    test::PutU32(rec, 60, 96);
    test::PutU32(rec, 56 + 16, 68);
    test::PutU16(rec, 56 + 20, 24);
    test::PutU64(rec, 80, parent);
    rec[80 + kFnNameLength] = 1;
    rec[80 + kFnNamespace] = kNameWin32;
    rec[80 + kFnName] = 'f';
    test::PutU32(rec, 152, kAttrEnd);
    std::copy(rec.begin(), rec.end(), out.begin());
  };
  int reads = 0;
  NtfsFolderChains chains;
  chains.Reset(
      [&](std::uint32_t n, std::span<std::uint8_t> buffer, RecordHeader& header) -> Result {
        ++reads;
        if (n == 41) {
          makeFolder(5, false, buffer);
        } else if (n >= 100 && n < 3000) {
          makeFolder(n + 1, true, buffer);  // a chain far deeper than any real tree
        } else if (auto it = folders.find(n); it != folders.end()) {
          makeFolder(it->second, true, buffer);
        } else {
          return kErrInvalidParameter;
        }
        auto h = PrepareFileRecord(buffer);
        if (!h) return kErrInvalidParameter;
        header = *h;
        return kSuccess;
      },
      1024);
  EXPECT_EQ(chains.Depth(5), 0u);
  EXPECT_EQ(chains.Depth(30), 2u);
  EXPECT_EQ(chains.Depth(31), 1u);
  EXPECT_EQ(chains.Find(30)->kind, NtfsFolder::Kind::Named);
  EXPECT_EQ(chains.Find(30)->name, "f");
  // The loop: one of the two becomes a lost folder, the other lies in it.
  EXPECT_EQ(chains.Depth(20), 2u);
  EXPECT_EQ(chains.Find(21)->kind, NtfsFolder::Kind::Lost);
  EXPECT_EQ(chains.Find(21)->depth, 1u);
  EXPECT_EQ(chains.Find(20)->parent, 21u);
  EXPECT_EQ(chains.Depth(50), 1u);  // its own parent
  EXPECT_EQ(chains.Find(50)->kind, NtfsFolder::Kind::Lost);
  EXPECT_EQ(chains.Depth(41), 1u);  // no longer a folder
  EXPECT_EQ(chains.Depth(7), 1u);   // one of the file system's own
  EXPECT_EQ(chains.Depth(99), 1u);  // unreadable
  const int before = reads;
  EXPECT_LE(chains.Depth(100), kMaxNtfsFolderDepth);
  EXPECT_LE(reads - before, static_cast<int>(kMaxNtfsFolderDepth) + 1);
  // Every named folder's depth is one more than its parent's.
  for (std::uint32_t n : chains.Deferred()) {
    const NtfsFolder* f = chains.Find(n);
    ASSERT_NE(f, nullptr);
    if (f->kind == NtfsFolder::Kind::Named) {
      EXPECT_EQ(f->depth, chains.Depth(f->parent) + 1) << n;
    }
  }
  const int settled = reads;
  chains.Depth(30);
  chains.Depth(100);
  EXPECT_EQ(reads, settled);  // each folder is read once
}

}  // namespace
}  // namespace rexmoor
