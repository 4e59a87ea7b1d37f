// The quick ext engine on the ext2/3/4 volumes the kernel wrote and deleted from
// (tests/fixtures/ext/MANIFEST.txt), and on broken copies of one: every deleted file whose data
// can still be had comes back under its path with its bytes, no live file and nothing else is
// listed, the free runs hold no live block, and damage gives an error or less, never a crash.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ext/fast_ext_recovery.h"
#include "engine/folder_recovery.h"
#include "fat/fat_engine_test_util.h"
#include "fat/fat_volume_builder.h"
#include "fixtures/ext_fixtures.h"
#include "test_support.h"

namespace rexmoor {
namespace {

using test::ExtManifestEntry;
using test::TreeItem;

struct Scanned {
  std::unique_ptr<CFastExtRecovery> engine;
  Result opened = kSuccess;
  Result scanned = kSuccess;
  std::map<std::string, TreeItem> tree;  // "/folder/" and "/folder/name"
};

Scanned ScanImage(const std::string& path, std::uint64_t partitionSector) {
  Scanned s;
  s.engine = std::make_unique<CFastExtRecovery>();
  if (partitionSector == 0) {
    s.opened = s.engine->OpenImageFile(path, 1);
  } else {
    // A partition of a disk: the image stands in for drive 0.
    setenv("REXMOOR_DRIVES", path.c_str(), 1);
    s.opened = s.engine->OpenDisk(0, partitionSector, std::filesystem::file_size(path) / 512 - partitionSector, 1);
    unsetenv("REXMOOR_DRIVES");
  }
  if (s.opened != kSuccess) return s;
  s.scanned = s.engine->Scan(nullptr);
  if (s.scanned != kSuccess) return s;
  for (auto& [key, item] : test::BrowseTree(*s.engine)) s.tree["/" + key] = item;
  return s;
}

std::string RecoveredSha(CFastExtRecovery& engine, const TreeItem& item, const std::string& out) {
  const FoundFileRecord r = item.record;
  const Result result = engine.RecoverItem(&r, out, SeparatorLevel(out) - item.level);
  if (result != kSuccess) return "error " + std::to_string(result);
  return test::Sha256Hex(out);
}

// Whether the manifest says a deleted file's bytes can still be had: its blocks hold them and
// nothing took them, and its inode still maps them or the journal holds both its name and a copy
// of the inode whose newest mapping gives them back.
bool Recoverable(const ExtManifestEntry& f) {
  if (!f.dataIntact.value_or(false) || f.reused.value_or(false)) return false;
  if (f.inodeNow == "intact" || f.inodeNow == "inline") return true;
  return f.journalData.value_or(false) && f.journalName.value_or(false);
}

// The lost folder's entry for an inode: "inode<N>", with its type's extension where one shows.
std::map<std::string, TreeItem>::const_iterator LostEntry(const std::map<std::string, TreeItem>& tree,
                                                          std::uint32_t inode) {
  const std::string stem = "/LostFolder1/inode" + std::to_string(inode);
  for (auto it = tree.lower_bound(stem); it != tree.end() && it->first.rfind(stem, 0) == 0; ++it)
    if (it->first.size() == stem.size() || it->first[stem.size()] == '.') return it;
  return tree.end();
}

// A deleted file whose bytes the journal's inode copy gives back while no name of it is left,
// whether its inode is free now or a later file took it.
bool Nameless(const ExtManifestEntry& f) {
  return f.dataIntact.value_or(false) && !f.reused.value_or(false) &&
         (f.inodeNow == "zeroed" || f.inodeNow == "reused") && f.journalData.value_or(false) &&
         !f.journalName.value_or(false);
}

TEST(FastExtRecovery, DeletedFilesComeBackByPathAndBytesAndDamageNeverCrashes) {
  test::ScopedDataDir data;
  test::TempDir work;
  const std::vector<std::pair<std::string, std::uint64_t>> images = {
      {"ext2_deleted.img", 0},          {"ext3_deleted.img", 0}, {"ext4_deleted.img", 0},
      {"ext4_deleted_more.img", 0},     {"ext4_inline.img", 0},  {"ext4_mbr.img", 2048}};
  int written = 0;
  int recoveredDeleted = 0;
  for (const auto& [image, partition] : images) {
    SCOPED_TRACE(image);
    const std::string path = test::ExtFixture(image);
    ASSERT_FALSE(path.empty());
    const std::vector<ExtManifestEntry> manifest = test::ExtManifest(image);
    Scanned s = ScanImage(path, partition);
    ASSERT_EQ(s.opened, kSuccess);
    ASSERT_EQ(s.scanned, kSuccess);
    const ExtSuperblock& sb = *s.engine->Superblock();
    // An engine that never scanned stands for one that reopened the scan's log (a resumed deep
    // scan): it must find the same older inodes again.
    Scanned reopened;
    reopened.engine = std::make_unique<CFastExtRecovery>();
    if (partition == 0) {
      ASSERT_EQ(reopened.engine->OpenImageFile(path, 1), kSuccess);
    } else {
      setenv("REXMOOR_DRIVES", path.c_str(), 1);
      ASSERT_EQ(reopened.engine->OpenDisk(0, partition, std::filesystem::file_size(path) / 512 - partition, 1), kSuccess);
      unsetenv("REXMOOR_DRIVES");
    }

    std::set<std::string> known{"/lost+found/"};
    for (const ExtManifestEntry& f : manifest) {
      known.insert(f.path);
      const auto it = s.tree.find(f.path);
      if (!f.deleted) {
        // The list holds what was lost: a live file never, a live folder only on the way to a find.
        if (it == s.tree.end()) continue;
        EXPECT_TRUE(f.folder) << "live, but listed: " << f.path;
        EXPECT_EQ(std::int32_t{it->second.record.deletedMark}, 0) << f.path;
        EXPECT_EQ(ExtNameSourceOf(it->second.record), ExtNameSource::Directory) << f.path;
        continue;
      }
      if (f.folder) continue;
      // Bytes the journal gives back under a name it no longer holds: listed by inode number.
      const auto where = Recoverable(f) || !Nameless(f) ? it : LostEntry(s.tree, f.inode);
      if (Recoverable(f) || Nameless(f)) {
        ASSERT_NE(where, s.tree.end()) << "recoverable, not listed: " << f.path;
        const TreeItem& item = where->second;
        const FoundFileRecord r = item.record;
        EXPECT_NE(std::int32_t{r.deletedMark}, 0) << f.path;
        EXPECT_EQ(std::uint64_t{r.size}, f.size) << f.path;
        // A nameless photo is named for what its first block shows.
        if (!Recoverable(f) && f.path.size() > 4 && test::Folded(f.path.substr(f.path.size() - 4)) == ".jpg")
          EXPECT_EQ(where->first.substr(where->first.size() - 4), ".jpg") << f.path;
        // On a journalled volume a deleted inode's map is gone: only the journal can have given it.
        if (f.inodeNow == "zeroed") EXPECT_EQ(ExtDataSourceOf(r), ExtDataSource::Journal) << f.path;
        // The volumes were written by root with umask 022: the inode (or its journal copy) says so.
        const auto owner = s.engine->OwnershipOf(r);
        ASSERT_TRUE(owner.has_value()) << f.path;
        EXPECT_EQ(owner->mode, 0100644) << f.path;
        EXPECT_EQ(owner->uid, 0u) << f.path;
        EXPECT_EQ(RecoveredSha(*s.engine, item, work / ("out" + std::to_string(++written))), f.sha256) << f.path;
        EXPECT_EQ(RecoveredSha(*reopened.engine, item, work / ("out" + std::to_string(++written))), f.sha256)
            << f.path << " from a reopened log";
        ++recoveredDeleted;
      } else if (it != s.tree.end() && f.reused.value_or(false)) {
        EXPECT_EQ(std::int32_t{it->second.record.contentState}, 0) << f.path << " lost its blocks to a later file";
      }
    }
    // Nothing is listed that was never written there; nameless finds go to the lost folder.
    for (const auto& [p, item] : s.tree)
      if (p.rfind("/LostFolder1/", 0) != 0) EXPECT_EQ(known.count(p), 1u) << "listed but never written: " << p;

    // The free runs hold no block of a live file, and every block of a deleted file nothing took.
    ASSERT_EQ(s.engine->BuildFreeSpaceMap(), kSuccess);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> free;  // volume sectors, [start, end)
    std::uint64_t start = 0, length = 0;
    while (s.engine->GetNextFreeRange(&start, &length) == 1 && length != 0) {
      free.emplace_back(start, start + length);
      start += length;
    }
    const std::uint64_t perBlock = sb.blockSize / 512;
    auto isFree = [&](std::uint64_t block) {
      for (const auto& [from, to] : free)
        if (block * perBlock >= from && (block + 1) * perBlock <= to) return true;
      return false;
    };
    for (const ExtManifestEntry& f : manifest)
      for (const auto& [first, last] : f.blocks)
        for (std::uint64_t b = first; b <= last; ++b) {
          if (!f.deleted) EXPECT_FALSE(isFree(b)) << f.path << " block " << b;
          if (f.deleted && !f.reused.value_or(true)) EXPECT_TRUE(isFree(b)) << f.path << " block " << b;
        }
  }
  EXPECT_GT(recoveredDeleted, 60);

  // Damaged copies of one volume: a clear refusal, or a scan that ends with what it can still read.
  const std::string original = test::ExtFixture("ext4_deleted.img");
  const std::vector<std::uint8_t> bytes = test::ReadFileBytes(original);
  struct Damage {
    const char* what;
    std::function<void(std::vector<std::uint8_t>&)> apply;
    Result open;
  };
  const std::vector<Damage> damages = {
      {"magic gone", [](auto& v) { v[1024 + 56] = 0; }, kErrInvalidParameter},
      {"an incompatible feature nobody reads", [](auto& v) { v[1024 + 96 + 3] |= 0x80; }, kErrNotSupported},
      {"block size out of range", [](auto& v) { v[1024 + 24] = 9; }, kErrInvalidParameter},
      {"cut to its first 3 MiB", [](auto& v) { v.resize(3 << 20); }, kSuccess},
      {"every group's tables point past the end", [](auto& v) {
         // The descriptors follow the superblock's block; ext4 here keeps 64 bytes each.
         const std::size_t block = std::size_t{1024} << v[1024 + 24];
         const std::size_t descs = block == 1024 ? 2048 : block;
         for (std::size_t at = descs; at < descs + block; at += 32)
           for (std::size_t k = 0; k < 12; ++k) v[at + k] = 0xEE;
       }, kSuccess},
      {"the journal gone: a deleted file with a tree block comes back nameless from its leaf", [](auto& v) {
         v[1024 + 92] &= static_cast<std::uint8_t>(~0x04);
       }, kSuccess},
      {"the root's extent header loops to itself", [](auto& v) {
         // Every extent header in the inode tables claims depth 1 with an index to block 0.
         for (std::size_t at = 0; at + 12 <= v.size(); at += 4)
           if (v[at] == 0x0A && v[at + 1] == 0xF3 && v[at + 6] == 0) { v[at + 6] = 1; v[at + 16] = 0; }
       }, kSuccess},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.what);
    std::vector<std::uint8_t> copy = bytes;
    d.apply(copy);
    const std::string damaged = work / "damaged.img";
    test::WriteFileBytes(damaged, copy);
    Scanned s = ScanImage(damaged, 0);
    EXPECT_EQ(s.opened, d.open);
    // The scan of a volume that did not open says why, as the factory ignores the open's result.
    if (s.opened != kSuccess) {
      EXPECT_EQ(s.engine->Scan(nullptr), d.open);
      continue;
    }
    EXPECT_EQ(s.scanned, kSuccess);
    if (std::string(d.what).rfind("the journal gone", 0) == 0) {
      // Its leaf's checksum names its inode and generation; its end is the last block's.
      const std::vector<ExtManifestEntry> manifest = test::ExtManifest("ext4_deleted.img");
      const ExtManifestEntry* pieces = nullptr;
      for (const ExtManifestEntry& f : manifest)
        if (f.path == "/Video/pieces.bin") pieces = &f;
      ASSERT_NE(pieces, nullptr);
      ASSERT_FALSE(pieces->metaBlocks.empty());
      const auto it = LostEntry(s.tree, pieces->inode);
      ASSERT_NE(it, s.tree.end());
      EXPECT_EQ(ExtDataSourceOf(it->second.record), ExtDataSource::ExtentLeaf);
      EXPECT_EQ(std::int32_t{it->second.record.contentState}, 2);
      const std::string out = work / "leaf";
      ASSERT_EQ(RecoveredSha(*s.engine, it->second, out).rfind("error", 0), std::string::npos);
      std::vector<std::uint8_t> got = test::ReadFileBytes(out);
      ASSERT_GE(got.size(), pieces->size);
      got.resize(pieces->size);
      test::WriteFileBytes(out, got);
      EXPECT_EQ(test::Sha256Hex(out), pieces->sha256);
    }
    // Whatever is listed is written out or refused, never more than the volume holds.
    for (const auto& [p, item] : s.tree) {
      if (item.record.isFolder != 0) continue;
      const std::string out = work / ("damaged" + std::to_string(++written));
      (void)RecoveredSha(*s.engine, item, out);
      if (std::filesystem::exists(out)) EXPECT_LE(std::filesystem::file_size(out), copy.size()) << p;
    }
  }
}

}  // namespace
}  // namespace rexmoor
