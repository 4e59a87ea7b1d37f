// Damaged and hostile NTFS volumes: every operation of the quick engine must finish, without a
// crash or a hang (the test build runs under the sanitizers), and nothing may be written outside
// the destination it was given. Each volume is the fixture with some records changed the way a
// failing disk or a crafted image would change them.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "engine/folder_recovery.h"
#include "engine/scan_log_index.h"
#include "fat/fat_engine_test_util.h"
#include "ntfs/fast_ntfs_recovery.h"
#include "ntfs/ntfs_test_util.h"
#include "test_support.h"

namespace rexmoor {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kTrash = 73, kSub = 75, kDeep = 76, kBig = 78, kNote = 72, kFrag = 83;

class FastNtfsCorrupt : public ::testing::Test {
 protected:
  void SetUp() override { ScanLogIndex::ResetForTesting(); }
  void TearDown() override { ScanLogIndex::ResetForTesting(); }

  std::string Copy(const std::string& name) { return test::NtfsFixtureCopy("ntfs_deleted.img", temp_, name); }

  struct Outcome {
    bool opened = false;
    Result scan = 0;
    std::map<std::string, test::TreeItem> tree;
  };

  // Everything a user could do with the volume: scan, browse, write out every record, preview
  // it, build the free map and walk its runs. Returns what the browse showed.
  Outcome Exercise(const std::string& image) {
    Outcome outcome;
    CFastNtfsRecovery engine;
    outcome.opened = engine.OpenImageFile(image, 1) == kSuccess;
    outcome.scan = engine.Scan(nullptr);
    outcome.tree = test::BrowseTree(engine, 5000);
    const std::string out = temp_ / ("out" + std::to_string(++runs_));
    std::size_t n = 0;
    for (const auto& [key, item] : outcome.tree) {
      if (++n > 300) break;
      const std::string destination = out + "/" + std::to_string(n);
      engine.RecoverItem(&item.record, destination, SeparatorLevel(destination) - item.level);
      std::string path;
      std::vector<std::uint8_t> buffer(4096);
      std::uint32_t count = static_cast<std::uint32_t>(buffer.size());
      engine.ExtractForPreview(&item.record, path, buffer.data(), &count, nullptr, nullptr);
      std::string folder;
      engine.GetFolderPath(&item.record, folder);
      std::int32_t files = 0;
      engine.CountFiles(&item.record, item.level, &files);
    }
    RecordList all;
    engine.FilterByType(".other.jpg.txt", all);
    if (engine.BuildFreeSpaceMap() == kSuccess) {
      std::uint64_t start = 0, length = 0;
      for (int guard = 0; guard < 100000; ++guard) {
        if (engine.GetNextFreeRange(&start, &length) == 0 || length == 0) break;
        start += length;
      }
    }
    // Whatever was written stays inside the destination.
    if (fs::exists(out)) {
      for (const auto& entry : fs::recursive_directory_iterator(out)) {
        const std::string p = entry.path().string();
        EXPECT_EQ(p.rfind(out + "/", 0), 0u) << p;
        EXPECT_EQ(p.find("/../"), std::string::npos) << p;
      }
    }
    return outcome;
  }

  bool Lists(const Outcome& o, const std::string& name) const {
    for (const auto& [key, item] : o.tree)
      if (RecordName(item.record) == name) return true;
    return false;
  }

  test::ScopedDataDir data_;
  test::TempDir temp_;
  int runs_ = 0;
};

TEST_F(FastNtfsCorrupt, RandomBytesOverMftRecords) {
  const std::string image = Copy("random.img");
  test::MftRecordEditor mft(image);
  // Random bytes over the system records that are read again later ($MFT's own is kept, or there
  // would be nothing to read) and over many file records, some keeping a valid-looking header.
  for (std::uint32_t n : {6u, 9u, 11u, 64u, 69u, 71u, 73u, 74u, 77u, 79u, 80u, 83u, 90u, 100u}) {
    Bytes noise = test::RandomBytes(1024, 6000 + n);
    if (n % 2 == 1) {
      Bytes real = mft.Load(n);
      std::copy(real.begin(), real.begin() + 56, noise.begin());  // a sound header, rubbish after it
      noise[22] = 0;
    }
    test::PatchBytes(image, mft.Offset(n), noise);
  }
  for (int i = 0; i < 5; ++i) {
    Outcome o = Exercise(image);
    EXPECT_TRUE(o.opened);
    EXPECT_EQ(o.scan, kSuccess);
    EXPECT_TRUE(Lists(o, "small note.txt"));
    // Rubbish folder records make lost folders, they do not hide the files.
    if (i == 0) {
      EXPECT_TRUE(o.tree.count("LostFolder73/Sub/deep.txt"));
    }
    test::PatchBytes(image, mft.Offset(kDeep) + 60 + 80 * i, test::RandomBytes(80, 7000 + i));
  }
}

TEST_F(FastNtfsCorrupt, RunListsPointingPastTheVolume) {
  const std::string image = Copy("runs.img");
  const std::string before = test::Sha256Hex(image);
  test::MftRecordEditor mft(image);
  // big random.bin: its one run moved far past the end.
  Bytes big = mft.Load(kBig);
  const std::size_t data = *test::MftRecordEditor::FindAttr(big, kAttrData);
  const std::size_t runs = data + LoadU16LE(big.data() + data + 32);
  const Bytes farRun = {0x41, 0x08, 0x00, 0x00, 0x00, 0x40, 0x00};  // 8 clusters at 0x40000000
  std::copy(farRun.begin(), farRun.end(), big.begin() + static_cast<std::ptrdiff_t>(runs));
  mft.Store(kBig, big);
  // fragmented.bin: its real size made absurd, and its second run sent past the end.
  Bytes frag = mft.Load(kFrag);
  const std::size_t fd = *test::MftRecordEditor::FindAttr(frag, kAttrData);
  test::PutU64(frag, fd + kAttrRealSize, 1ull << 60);
  test::PutU64(frag, fd + kAttrInitializedSize, 1ull << 60);
  const std::size_t fr = fd + LoadU16LE(frag.data() + fd + 32);
  const std::size_t second = fr + 1 + (frag[fr] & 0x0F) + (frag[fr] >> 4);
  frag[second + (frag[second] & 0x0F) + (frag[second] >> 4)] = 0x3F;  // the offset's top byte: far off

  mft.Store(kFrag, frag);
  // $MFT's own runs: one more run, far past the end.
  Bytes root = mft.Load(0);
  const std::size_t md = *test::MftRecordEditor::FindAttr(root, kAttrData);
  std::size_t mr = md + LoadU16LE(root.data() + md + 32);
  while (root[mr] != 0) mr += 1 + (root[mr] & 0x0F) + (root[mr] >> 4);
  const Bytes extra = {0x31, 0x10, 0x00, 0x00, 0x70, 0x00};
  if (mr + extra.size() <= md + LoadU32LE(root.data() + md + 4)) {
    std::copy(extra.begin(), extra.end() - 1, root.begin() + static_cast<std::ptrdiff_t>(mr));
    mft.Store(0, root);
  }
  const std::string patched = test::Sha256Hex(image);

  Outcome o = Exercise(image);
  EXPECT_EQ(o.scan, kSuccess);
  ASSERT_TRUE(o.tree.count("big random.bin"));
  ASSERT_TRUE(o.tree.count("fragmented.bin"));
  // Sizes are bounded by the volume; the clusters that lie on it are still written.
  EXPECT_LE(+o.tree.at("fragmented.bin").record.size, 16u << 20);
  CFastNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImageFile(image, 1), kSuccess);
  const std::string out = temp_ / "frag.bin";
  ASSERT_EQ(engine.Scan(nullptr), kSuccess);
  // Written as far as its runs lie on the volume, and reported short of its size.
  EXPECT_EQ(engine.RecoverItem(&o.tree.at("fragmented.bin").record, out, 0), kErrIncomplete);
  const Bytes got = test::ReadFileBytes(out);
  const Bytes want = test::ReadFileBytes(test::NtfsFixture("ntfs_deleted.img"));  // for its size only
  EXPECT_GE(got.size(), 12288u);
  EXPECT_LT(got.size(), want.size());
  EXPECT_EQ(test::Sha256Hex(image), patched);
  EXPECT_NE(patched, before);
}

TEST_F(FastNtfsCorrupt, ParentChainThatLoops) {
  const std::string image = Copy("loop.img");
  test::MftRecordEditor mft(image);
  // Trash's parent becomes Sub, whose parent is Trash.
  Bytes trash = mft.Load(kTrash);
  const std::size_t fn = *test::MftRecordEditor::FindAttr(trash, kAttrFileName);
  const std::size_t value = fn + LoadU16LE(trash.data() + fn + 20);
  test::PutU64(trash, value, (std::uint64_t{1} << 48) | kSub);
  mft.Store(kTrash, trash);
  // And a file that is its own parent.
  Bytes note = mft.Load(kNote);
  const std::size_t nfn = *test::MftRecordEditor::FindAttr(note, kAttrFileName);
  test::PutU64(note, nfn + LoadU16LE(note.data() + nfn + 20), kNote);
  mft.Store(kNote, note);

  Outcome o = Exercise(image);
  EXPECT_EQ(o.scan, kSuccess);
  // The loop is cut at one of its folders, which becomes a lost folder; nothing is hidden.
  EXPECT_TRUE(Lists(o, "inner photo.jpg"));
  EXPECT_TRUE(Lists(o, "deep.txt"));
  EXPECT_TRUE(Lists(o, "picture.png"));
  EXPECT_TRUE(o.tree.count("LostFolder73/") || o.tree.count("LostFolder75/"));
  EXPECT_TRUE(o.tree.count("LostFolder72/small note.txt"));
}

// Puts a resident $ATTRIBUTE_LIST in front of the record's $FILE_NAME, as a real one sits, with
// entries of type $DATA that name the given records.
void AddAttributeList(Bytes& rec, const std::vector<std::pair<std::uint64_t, std::uint64_t>>& entries) {
  const std::size_t at = *test::MftRecordEditor::FindAttr(rec, kAttrFileName);
  const std::size_t inUse = LoadU32LE(rec.data() + 24);
  const std::size_t length = 24 + 32 * entries.size();
  ASSERT_LT(inUse + length, rec.size() - 8);
  std::copy_backward(rec.begin() + static_cast<std::ptrdiff_t>(at), rec.begin() + static_cast<std::ptrdiff_t>(inUse),
                     rec.begin() + static_cast<std::ptrdiff_t>(inUse + length));
  Bytes list(length, 0);
  test::PutU32(list, 0, kAttrAttributeList);
  test::PutU32(list, 4, static_cast<std::uint32_t>(length));
  test::PutU32(list, 16, static_cast<std::uint32_t>(32 * entries.size()));
  test::PutU16(list, 20, 24);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::size_t e = 24 + 32 * i;
    test::PutU32(list, e, kAttrData);
    test::PutU16(list, e + 4, 32);
    test::PutU64(list, e + 8, entries[i].second);   // lowest vcn
    test::PutU64(list, e + 16, entries[i].first);   // record
  }
  std::copy(list.begin(), list.end(), rec.begin() + static_cast<std::ptrdiff_t>(at));
  test::PutU32(rec, 24, static_cast<std::uint32_t>(inUse + length));
}

TEST_F(FastNtfsCorrupt, AttributeListThatPointsAtItself) {
  const std::string image = Copy("list.img");
  test::MftRecordEditor mft(image);
  // big random.bin: its $DATA renamed away, and an attribute list whose entries name the record
  // itself over and over, and one record past the MFT's end.
  Bytes big = mft.Load(kBig);
  test::PutU32(big, *test::MftRecordEditor::FindAttr(big, kAttrData), 0x90);
  AddAttributeList(big, {{kBig, 0}, {kBig, 5}, {kBig, 0}, {kBig, 5}, {0xFFFFFFFF, 0}, {kBig, 0}});
  mft.Store(kBig, big);
  // deep.txt keeps its $DATA but gets a list naming itself twice: the data is still found once.
  Bytes deep = mft.Load(kDeep);
  AddAttributeList(deep, {{kDeep, 0}, {kDeep, 0}});
  mft.Store(kDeep, deep);
  // $MFT's own record names itself too; its runs still lead the way.
  Bytes root = mft.Load(0);
  AddAttributeList(root, {{0, 0}, {0, 0}, {1, 0}});
  mft.Store(0, root);

  Outcome o = Exercise(image);
  EXPECT_EQ(o.scan, kSuccess);
  ASSERT_TRUE(o.tree.count("big random.bin"));
  ASSERT_TRUE(o.tree.count("Trash/Sub/deep.txt"));
  CFastNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImageFile(image, 1), kSuccess);
  ASSERT_EQ(engine.Scan(nullptr), kSuccess);
  const std::string out = temp_ / "big.bin";
  EXPECT_EQ(engine.RecoverItem(&o.tree.at("big random.bin").record, out, 0), kSuccess);
  EXPECT_TRUE(test::ReadFileBytes(out).empty());  // no data could be found, and none was made up
  const std::string deepOut = temp_ / "deep.txt";
  EXPECT_EQ(engine.RecoverItem(&o.tree.at("Trash/Sub/deep.txt").record, deepOut, 0), kSuccess);
  EXPECT_EQ(test::Sha256Hex(deepOut), test::NtfsSha256("ntfs_deleted.img:/Trash/Sub/deep.txt"));
}

// Makes the record's $DATA a non-resident extent from firstVcn with one run of count clusters at
// lcn; the extent that starts at vcn 0 carries the sizes of the whole stream.
void SetDataExtent(Bytes& rec, std::uint64_t firstVcn, std::uint64_t count, std::uint8_t lcn, std::uint64_t totalBytes) {
  const std::size_t at = *test::MftRecordEditor::FindAttr(rec, kAttrData);
  ASSERT_EQ(rec[at + 8], 1) << "the test needs a non-resident $DATA";
  test::PutU16(rec, at + 12, 0);  // neither compressed nor sparse
  test::PutU64(rec, at + 16, firstVcn);
  test::PutU64(rec, at + 24, firstVcn + count - 1);
  const std::size_t runs = at + LoadU16LE(rec.data() + at + 32);
  ASSERT_LE(runs + 4, at + LoadU32LE(rec.data() + at + 4));
  // One run: a one-byte length and a one-byte cluster number, then the end mark.
  rec[runs] = 0x11;
  rec[runs + 1] = static_cast<std::uint8_t>(count);
  rec[runs + 2] = lcn;
  rec[runs + 3] = 0;
  for (std::size_t field : {40u, 48u, 56u}) test::PutU64(rec, at + field, firstVcn == 0 ? totalBytes : 0);
}

// Attribute-list extents are told apart by their record and first vcn exactly: (78, vcn 0) and
// (77, vcn 31) are two extents, though 78 x 31 + 0 = 77 x 31 + 31.
TEST_F(FastNtfsCorrupt, AttributeListExtentsWithLookalikeKeys) {
  const std::string image = Copy("extents.img");
  test::MftRecordEditor mft(image);
  const Bytes boot = test::ReadFileHead(image, 512);
  const std::uint64_t clusterBytes = std::uint64_t{LoadU16LE(boot.data() + 11)} * boot[13];
  constexpr std::uint32_t kOther = kBig - 1;
  static_assert(kBig * 31 + 0 == kOther * 31 + 31);
  constexpr std::uint8_t kFirstLcn = 16, kSecondLcn = 100;
  const std::uint64_t total = 40 * clusterBytes;
  Bytes big = mft.Load(kBig);
  SetDataExtent(big, 0, 31, kFirstLcn, total);
  AddAttributeList(big, {{kBig, 0}, {kOther, 31}});
  mft.Store(kBig, big);
  Bytes other = mft.Load(kOther);
  SetDataExtent(other, 31, 9, kSecondLcn, total);
  mft.Store(kOther, other);

  Outcome o = Exercise(image);
  ASSERT_TRUE(o.tree.count("big random.bin"));
  const FoundFileRecord& record = o.tree.at("big random.bin").record;
  EXPECT_EQ(+record.size, total);
  CFastNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImageFile(image, 1), kSuccess);
  ASSERT_EQ(engine.Scan(nullptr), kSuccess);
  const std::string out = temp_ / "big.bin";
  EXPECT_EQ(engine.RecoverItem(&record, out, 0), kSuccess) << "both extents are read";
  const Bytes whole = test::ReadFileBytes(image);
  Bytes want(whole.begin() + static_cast<std::ptrdiff_t>(kFirstLcn * clusterBytes),
             whole.begin() + static_cast<std::ptrdiff_t>((kFirstLcn + 31) * clusterBytes));
  want.insert(want.end(), whole.begin() + static_cast<std::ptrdiff_t>(kSecondLcn * clusterBytes),
              whole.begin() + static_cast<std::ptrdiff_t>((kSecondLcn + 9) * clusterBytes));
  EXPECT_TRUE(test::ReadFileBytes(out) == want);
}

// The file system's own records marked free (as a half-finished format could leave them) are
// still never listed, whatever their names.
TEST_F(FastNtfsCorrupt, SystemRecordsMarkedFreeAreNeverListed) {
  const std::string image = Copy("system.img");
  test::MftRecordEditor mft(image);
  for (std::uint32_t n = 0; n < kFirstUserRecord; ++n) {
    Bytes rec = mft.Load(n);
    if (rec.size() < 24 || rec[0] != 'F') continue;
    test::PutU16(rec, 22, 0);
    mft.Store(n, rec);
  }
  Outcome o = Exercise(image);
  EXPECT_EQ(o.scan, kSuccess);
  std::size_t files = 0;
  for (const auto& [key, item] : o.tree) {
    EXPECT_GE(+item.record.objectNumber, kFirstUserRecord) << key;
    EXPECT_NE(RecordName(item.record).rfind('$', 0), 0u) << key;
    files += item.record.isFolder == 0 ? 1 : 0;
  }
  EXPECT_EQ(files, 11u);
}

TEST_F(FastNtfsCorrupt, DamagedBootAndMftRecord) {
  // $MFT's own record unreadable: the volume opens, the scan finds nothing.
  {
    const std::string image = Copy("nomft.img");
    test::MftRecordEditor mft(image);
    test::PatchBytes(image, mft.Offset(0), test::RandomBytes(1024, 42));
    Outcome o = Exercise(image);
    EXPECT_TRUE(o.opened);
    EXPECT_EQ(o.scan, kSuccess);
    EXPECT_TRUE(o.tree.empty());
  }
  // Geometry outside the whitelist: refused at open.
  for (auto [at, value] : std::vector<std::pair<std::size_t, std::uint8_t>>{{12, 0x03}, {13, 0x03}, {13, 0x00}}) {
    const std::string image = Copy("boot.img");
    test::PatchBytes(image, at, {value});
    CFastNtfsRecovery engine;
    EXPECT_NE(engine.OpenImageFile(image, 1), kSuccess) << at;
    EXPECT_NE(engine.Scan(nullptr), kSuccess);
    EXPECT_EQ(engine.GetFoundCount(), 0u);
  }
  // The MFT's cluster past the end of the volume.
  {
    const std::string image = Copy("mftfar.img");
    test::PatchBytes(image, 48, {0, 0, 0, 0, 0, 0, 0, 0x10});
    Outcome o = Exercise(image);
    EXPECT_TRUE(o.tree.empty());
  }
  // Random noise over the whole MFT area but $MFT's record.
  {
    const std::string image = Copy("noise.img");
    test::MftRecordEditor mft(image);
    test::PatchBytes(image, mft.Offset(1), test::RandomBytes(200 * 1024, 77));
    Outcome o = Exercise(image);
    EXPECT_EQ(o.scan, kSuccess);
  }
}

}  // namespace
}  // namespace rexmoor
