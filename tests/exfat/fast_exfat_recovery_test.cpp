// The quick exFAT engine on the real volumes made by mkfs.exfat and exfat-fuse, checked against
// what was written into them (tests/fixtures/exfat/MANIFEST.txt), and on damaged copies of them:
// the main boot sector gone, a set whose checksum no longer holds, a folder whose cluster lies
// outside the heap, and FAT chains that run in a loop.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "exfat/fast_exfat_recovery.h"
#include "fat/fat_engine_test_util.h"
#include "fat/fat_volume_builder.h"
#include "engine/file_type_lists.h"
#include "engine/name_sanitize.h"
#include "fixtures/exfat_fixtures.h"
#include "formats/carve_test_support.h"
#include "formats/exfat_dir_entry.h"
#include "test_support.h"

namespace rexmoor {
namespace {

using carvetest::Bytes;
using carvetest::Put16;
using carvetest::Put32;
using test::ExfatManifestEntry;
using test::TreeItem;

// A copy of an image to damage.
struct Volume {
  std::string image;      // the fixture's name
  std::string path;       // the copy
  std::uint64_t base = 0; // byte offset of the volume in the image
  std::uint64_t sectors = 0;
};

struct Scanned {
  std::unique_ptr<CFastExfatRecovery> engine;
  std::map<std::string, TreeItem> tree;  // "/folder/" and "/folder/name", as a user browses it
};

Scanned ScanVolume(const Volume& v) {
  Scanned s;
  s.engine = std::make_unique<CFastExfatRecovery>();
  Result opened = kSuccess;
  if (v.base == 0) {
    opened = s.engine->OpenImageFile(v.path, 1);
  } else {
    // A partition of a disk: the image stands in for drive 0.
    setenv("REXMOOR_DRIVES", v.path.c_str(), 1);
    opened = s.engine->OpenDisk(0, v.base / 512, v.sectors, 1);
    unsetenv("REXMOOR_DRIVES");
  }
  if (opened != kSuccess || s.engine->Scan(nullptr) != kSuccess) return s;
  for (auto& [key, item] : test::BrowseTree(*s.engine)) s.tree["/" + key] = item;
  return s;
}

// The sha256 of a found file as recovery writes it, or the error code.
std::string RecoveredSha(CFastExfatRecovery& engine, const TreeItem& item, const std::string& out) {
  const FoundFileRecord r = item.record;
  const Result result = engine.RecoverItem(&r, out, SeparatorLevel(out) - item.level);
  if (result != kSuccess) return "error " + std::to_string(result);
  return test::Sha256Hex(out);
}

// Rewrites a set with its checksum made to hold again: the checksum of a deleted set is the one
// it had while it was in use.
void PatchSet(const std::string& path, const ExfatManifestEntry& e, const std::function<void(Bytes&)>& change) {
  Bytes set = test::ReadBytesAt(path, e.entryOffset, e.entryCount * kExfatEntrySize);
  ASSERT_EQ(set.size(), e.entryCount * kExfatEntrySize);
  change(set);
  Bytes inUse = set;
  for (std::size_t at = 0; at < inUse.size(); at += kExfatEntrySize) inUse[at] |= kExfatInUse;
  Put16(set, 2, ExfatSetChecksum(inUse));
  test::PatchBytes(path, e.entryOffset, set);
}

void SetFatEntry(const Volume& v, const ExfatLayout& layout, std::uint32_t cluster, std::uint32_t value) {
  Bytes bytes(4);
  Put32(bytes, 0, value);
  test::PatchBytes(v.path, v.base + layout.ActiveFatSector() * layout.bytesPerSector + ExfatFatEntryOffset(cluster),
                   bytes);
}

const ExfatManifestEntry& Entry(const std::vector<ExfatManifestEntry>& manifest, const std::string& path) {
  for (const ExfatManifestEntry& e : manifest)
    if (e.path == path) return e;
  ADD_FAILURE() << "no manifest line for " << path;
  static const ExfatManifestEntry none;
  return none;
}

struct Damage {
  const char* what;
  std::function<void(const Volume&, const ExfatLayout&, const std::vector<ExfatManifestEntry>&)> apply;
  std::vector<std::string> gone;     // paths no longer listed; a folder's takes everything below it
  std::vector<std::string> inexact;  // files still listed whose bytes can no longer be told exactly
  bool fromBackup = false;
  std::vector<std::string> incomplete;  // files whose data runs past the heap's end
};

TEST(FastExfatRecovery, DeletedFilesComeBackByPathAndBytesOnSoundAndDamagedVolumes) {
  test::ScopedDataDir data;
  test::TempDir work;
  const std::string ledger = "/Documents/Projects/ledger.csv";  // split around another file
  const std::string longName =
      "/Documents/Projects/Alpha/Beta/Gamma/Very long file name written by a camera application that never shortens "
      "anything it stores, padded with words until it is well over two hundred characters long which takes many "
      "name entries.txt";
  const std::vector<Damage> asMade = {{"as made", nullptr, {}, {}}};
  const std::vector<Damage> damages = {
      {"as made", nullptr, {}, {}},
      {"main boot sector zeroed: the backup region is used",
       [](const Volume& v, const ExfatLayout&, const auto&) {
         test::PatchBytes(v.path, v.base, std::vector<std::uint8_t>(512, 0));
       },
       {}, {}, true},
      {"a deleted file's set checksum broken: it is not listed",
       [&](const Volume& v, const ExfatLayout&, const auto& manifest) {
         const std::uint64_t at = Entry(manifest, longName).entryOffset + 2;
         test::PatchBytes(v.path, at, {static_cast<std::uint8_t>(test::ReadBytesAt(v.path, at, 1)[0] ^ 0x5A)});
       },
       {longName}, {}},
      {"a deleted name whose hash no longer holds: it is not listed",
       [&](const Volume& v, const ExfatLayout&, const auto& manifest) {
         // The first name unit of "journal_entry_0150.txt" becomes 'k': the set's checksum is
         // made to hold, its NameHash does not.
         PatchSet(v.path, Entry(manifest, "/Logs/journal_entry_0150.txt"), [](Bytes& set) { set[66] = 'k'; });
       },
       {"/Logs/journal_entry_0150.txt"}, {}},
      {"a deleted folder's cluster outside the heap: nothing below it is listed",
       [](const Volume& v, const ExfatLayout& layout, const auto& manifest) {
         PatchSet(v.path, Entry(manifest, "/Documents/Taxes/"),
                  [&](Bytes& set) { Put32(set, kExfatEntrySize + 20, layout.clusterCount + 100); });
       },
       {"/Documents/Taxes/"}, {}},
      {"a deleted file moved to the heap's last cluster: written as far as the heap goes, and said to be incomplete",
       [](const Volume& v, const ExfatLayout& layout, const auto& manifest) {
         PatchSet(v.path, Entry(manifest, "/Documents/Taxes/2025/return.pdf"),
                  [&](Bytes& set) { Put32(set, kExfatEntrySize + 20, layout.clusterCount + 1); });
       },
       {}, {}, false, {"/Documents/Taxes/2025/return.pdf"}},
      {"the root's chain and the split file's chain loop: the walk ends, the file is read contiguously",
       [&](const Volume& v, const ExfatLayout& layout, const auto& manifest) {
         SetFatEntry(v, layout, layout.rootCluster, layout.rootCluster);
         const ExfatManifestEntry& split = Entry(manifest, ledger);
         ASSERT_GE(split.runs.size(), 2u);
         SetFatEntry(v, layout, split.runs.back().second, split.firstCluster);
       },
       {}, {ledger}},
  };
  const std::vector<std::pair<std::string, const std::vector<Damage>*>> images = {
      {"exfat_deleted.img", &damages}, {"exfat_mbr.img", &asMade}};

  int written = 0;
  for (const auto& [image, cases] : images) {
    const std::string original = test::ExfatFixture(image);
    ASSERT_FALSE(original.empty());
    const std::vector<ExfatManifestEntry> manifest = test::ExfatManifest(image);
    const test::ExfatVolumeInfo info = test::ExfatVolume(image);
    for (const Damage& damage : *cases) {
      SCOPED_TRACE(image + ": " + damage.what);
      Volume v{image, work / (image + ".copy"), info.partitionStart * 512, info.bytes / 512 - info.partitionStart};
      test::WriteFileBytes(v.path, test::ReadFileBytes(original));
      const std::optional<ExfatLayout> layout = ParseExfatBootSector(test::ReadBytesAt(v.path, v.base, 512));
      ASSERT_TRUE(layout.has_value());
      if (damage.apply) damage.apply(v, *layout, manifest);

      Scanned s = ScanVolume(v);
      ASSERT_NE(s.engine->Layout(), nullptr);
      EXPECT_EQ(s.engine->Layout()->fromBackup, damage.fromBackup);
      EXPECT_TRUE(s.engine->UpcaseLoaded());
      auto listed = [&](const std::vector<std::string>& paths, const std::string& path) {
        for (const std::string& p : paths)
          if (path == p || (p.back() == '/' && path.rfind(p, 0) == 0)) return true;
        return false;
      };

      // Every deleted file comes back under its path: with its bytes where its clusters still hold
      // them, marked as overwritten where they were handed to another file.
      std::set<std::string> deleted;
      for (const ExfatManifestEntry& f : manifest) {
        if (!f.deleted || f.folder) continue;
        deleted.insert(f.path);
        const auto it = s.tree.find(f.path);
        if (listed(damage.gone, f.path)) {
          EXPECT_EQ(it, s.tree.end()) << f.path;
          continue;
        }
        // A picture whose clusters another file took is marked overwritten, which keeps it out of
        // every listing.
        if (it == s.tree.end()) {
          EXPECT_TRUE(f.reused.value_or(false) && IsPictureExtension(RealExtension(f.path))) << "not found: " << f.path;
          continue;
        }
        const FoundFileRecord r = it->second.record;
        EXPECT_EQ(std::uint64_t{r.size}, f.size) << f.path;
        EXPECT_NE(std::int32_t{r.deletedMark}, 0) << f.path;
        if (f.reused.value_or(false)) {
          EXPECT_EQ(std::int32_t{r.contentState}, 0) << f.path << " lost its clusters to a later file";
          continue;
        }
        const std::string sha = RecoveredSha(*s.engine, it->second, work / ("out" + std::to_string(++written)));
        if (listed(damage.incomplete, f.path)) {
          EXPECT_EQ(sha, "error " + std::to_string(kErrIncomplete)) << f.path;
        } else if (f.dataIntact.value_or(false) && !listed(damage.inexact, f.path)) {
          EXPECT_EQ(sha, f.sha256) << f.path;
        } else if (f.size != 0) {
          EXPECT_EQ(sha.rfind("error", 0), std::string::npos) << f.path << ": " << sha;
        }
      }
      // Nothing else: a set that fails its checks, or a live file in a live folder, is never listed.
      for (const auto& [path, item] : s.tree)
        if (item.record.isFolder == 0) EXPECT_EQ(deleted.count(path), 1u) << "listed but never deleted: " << path;

      // The free runs the deep scan sweeps hold the deleted files' clusters that nothing took,
      // and never a cluster of a live file or folder.
      if (damage.apply) continue;
      ASSERT_EQ(s.engine->BuildFreeSpaceMap(), kSuccess);
      std::vector<std::pair<std::uint64_t, std::uint64_t>> free;  // volume sectors, [start, end)
      std::uint64_t start = 0, length = 0;
      while (s.engine->GetNextFreeRange(&start, &length) == 1 && length != 0) {
        free.emplace_back(start, start + length);
        start += length;
      }
      auto isFree = [&](std::uint32_t cluster) {
        const std::uint64_t sector = *layout->ClusterSector(cluster);
        for (const auto& [from, to] : free)
          if (sector >= from && sector + layout->sectorsPerCluster <= to) return true;
        return false;
      };
      for (const ExfatManifestEntry& f : manifest)
        for (const auto& [first, last] : f.runs)
          for (std::uint32_t c = first; c <= last; ++c) {
            if (!f.deleted) EXPECT_FALSE(isFree(c)) << f.path << " cluster " << c;
            if (f.deleted && !f.reused.value_or(true) && f.entry != "lost") EXPECT_TRUE(isFree(c)) << f.path << " cluster " << c;
          }
    }
  }
}

}  // namespace
}  // namespace rexmoor
