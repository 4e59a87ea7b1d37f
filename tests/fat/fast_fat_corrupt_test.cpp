// Damaged and hostile FAT volumes: every operation of the quick engine must finish, without a
// crash or a hang (the test build runs under the sanitizers), and nothing may be written outside
// the destination it was given.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "engine/folder_recovery.h"
#include "engine/scan_log_index.h"
#include "fat/fast_fat_recovery.h"
#include "formats/fat_dir_entry.h"
#include "fat/fat_engine_test_util.h"
#include "fat/fat_volume_builder.h"
#include "fixtures/fixture_paths.h"
#include "platform/byte_view.h"
#include "test_support.h"

namespace rexmoor {
namespace {

using test::FixturePath;

class FastFatCorrupt : public ::testing::Test {
 protected:
  void SetUp() override { ScanLogIndex::ResetForTesting(); }
  void TearDown() override { ScanLogIndex::ResetForTesting(); }

  std::string CopyOf(const std::string& source, const std::string& name) {
    const std::string path = temp_ / name;
    std::filesystem::copy_file(source, path, std::filesystem::copy_options::overwrite_existing);
    return path;
  }

  struct Outcome {
    bool opened = false;
    std::size_t records = 0;
  };

  // Everything a user could do with the volume: scan, browse, write out every record, preview
  // it, build the free map and walk its runs.
  Outcome Exercise(const std::string& image) {
    Outcome outcome;
    CFastFatRecovery engine;
    outcome.opened = engine.OpenImageFile(image, 1) == kSuccess;
    engine.Scan(nullptr);
    const auto tree = test::BrowseTree(engine, 5000);
    outcome.records = tree.size();
    const std::string out = temp_ / ("out" + std::to_string(++runs_));
    std::size_t n = 0;
    for (const auto& [key, item] : tree) {
      if (++n > 200) break;
      const std::string destination = out + "/" + std::to_string(n);
      engine.RecoverItem(&item.record, destination, SeparatorLevel(destination) - item.level);
      std::string path;
      std::vector<std::uint8_t> buffer(4096);
      std::uint32_t count = static_cast<std::uint32_t>(buffer.size());
      engine.ExtractForPreview(&item.record, path, buffer.data(), &count, nullptr, nullptr);
      std::string folder;
      engine.GetFolderPath(&item.record, folder);
    }
    if (engine.BuildFreeSpaceMap() == kSuccess) {
      std::uint64_t start = 0, length = 0;
      std::uint64_t previous = 0;
      for (int guard = 0; guard < 10000000; ++guard) {
        if (engine.GetNextFreeRange(&start, &length) == 0 || length == 0) break;
        EXPECT_GE(start, previous);
        start += length;
        previous = start;
      }
    }
    // Nothing escapes the output folder.
    if (std::filesystem::exists(out)) {
      for (const auto& entry : std::filesystem::recursive_directory_iterator(out))
        EXPECT_EQ(entry.path().string().rfind(out + "/", 0), 0u);
    }
    return outcome;
  }

  test::ScopedDataDir data_;
  test::TempDir temp_;
  int runs_ = 0;
};

// The boot sector's own numbers, to find the FAT and the directories in a copy.
FatLayout LayoutOf(const std::string& image) {
  FatLayout layout;
  EXPECT_EQ(ParseFatLayout(test::ReadFileHead(image, 512), layout), kSuccess);
  return layout;
}

TEST_F(FastFatCorrupt, RandomBytesOverTheFat) {
  REQUIRE_FIXTURE("fat12.img");
  REQUIRE_FIXTURE("fat16.img");
  REQUIRE_FIXTURE("fat32.img");
  test::FatVolumeBuilder built(temp_, "built.img");
  ASSERT_TRUE(test::BuildFat12WithDeletions(built)) << built.lastError();
  std::uint32_t seed = 9000;
  for (const std::string& source : {FixturePath("fat12.img"), FixturePath("fat16.img"), FixturePath("fat32.img"),
                                   built.image()}) {
    SCOPED_TRACE(source);
    const std::string image = CopyOf(source, "fat.img");
    const FatLayout l = LayoutOf(image);
    // Both copies of the FAT, past the media entries, turned to noise.
    const std::uint64_t from = l.fatStartSector * 512 + 8;
    test::PatchBytes(image, from, test::RandomBytes(l.numberOfFats * l.FatBytes() - 8, ++seed));
    const Outcome outcome = Exercise(image);
    EXPECT_TRUE(outcome.opened);
  }
}

TEST_F(FastFatCorrupt, RandomBytesOverTheFolders) {
  REQUIRE_FIXTURE("fat16.img");
  REQUIRE_FIXTURE("fat32.img");
  test::FatVolumeBuilder built(temp_, "built.img");
  ASSERT_TRUE(test::BuildFat12WithDeletions(built)) << built.lastError();
  std::uint32_t seed = 9100;
  for (const std::string& source : {FixturePath("fat16.img"), FixturePath("fat32.img"), built.image()}) {
    SCOPED_TRACE(source);
    const FatLayout l = LayoutOf(source);
    // The root and the first clusters, where mkfs and mtools put the folders, in several patterns:
    // noise, noise that keeps every entry's first byte deleted, and a sprinkling over real entries.
    for (int pattern = 0; pattern < 3; ++pattern) {
      const std::string image = CopyOf(source, "dirs.img");
      const std::uint64_t from = l.rootDirSector * 512;
      std::vector<std::uint8_t> bytes = test::ReadBytesAt(image, from, 256 * 1024);
      const std::vector<std::uint8_t> noise = test::RandomBytes(bytes.size(), ++seed);
      for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (pattern == 0) bytes[i] = noise[i];
        if (pattern == 1) bytes[i] = i % 32 == 0 ? kDeletedMark : noise[i];
        if (pattern == 2 && noise[i] < 16) bytes[i] = noise[(i + 1) % noise.size()];
      }
      test::PatchBytes(image, from, bytes);
      EXPECT_TRUE(Exercise(image).opened);
    }
  }
}

// Chains that loop: a folder whose last cluster leads back to its first, a root that points at
// itself, ".." entries that go round, and a deleted file whose cleared chain was made a loop and
// whose size claims 4 GiB.
TEST_F(FastFatCorrupt, LoopsInChainsAndParents) {
  REQUIRE_FIXTURE("fat32.img");
  const std::string image = CopyOf(FixturePath("fat32.img"), "loops.img");
  const FatLayout l = LayoutOf(image);
  CFastFatRecovery probe;
  ASSERT_EQ(probe.OpenImageFile(image, 1), kSuccess);
  ASSERT_EQ(probe.Scan(nullptr), kSuccess);
  const auto tree = test::BrowseTree(probe);
  const FoundFileRecord notes = tree.at("old notes.txt").record;
  const FoundFileRecord trash = tree.at("Trash Folder/").record;
  const FoundFileRecord sub = tree.at("Trash Folder/!ub/").record;

  auto setEntry = [&](std::uint32_t cluster, std::uint32_t value) {
    for (std::uint32_t fat = 0; fat < l.numberOfFats; ++fat) {
      test::PatchBytes(image, (l.fatStartSector + std::uint64_t{fat} * l.fatSectors) * 512 + cluster * 4ull,
                       {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                        static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)});
    }
  };
  auto sectorOf = [&](std::uint32_t cluster) { return *l.ClusterSector(cluster) * 512; };
  // The root's chain: root -> the next cluster -> root.
  setEntry(l.rootCluster, l.rootCluster + 1);
  setEntry(l.rootCluster + 1, l.rootCluster);
  // The deleted file's clusters 227 -> 228 -> 227, and its size 4 GiB - 1.
  setEntry(notes.objectNumber, notes.objectNumber + 1);
  setEntry(notes.objectNumber + 1, notes.objectNumber);
  const std::uint64_t entryAt = notes.locationSector * 512;
  auto sector = test::ReadBytesAt(image, entryAt, 512);
  for (std::size_t at = 0; at < 512; at += 32) {
    if (sector[at] == kDeletedMark && sector[at + kEntryAttr] == kAttrArchive)
      test::PatchBytes(image, entryAt + at + kEntryFileSize, {0xFF, 0xFF, 0xFF, 0xFF});
  }
  // "..": sub says its parent is itself, Trash says its parent is sub.
  auto setDotDot = [&](std::uint32_t folder, std::uint32_t parent) {
    test::PatchBytes(image, sectorOf(folder) + 32 + kEntryClusterHigh,
                     {static_cast<std::uint8_t>(parent >> 16), static_cast<std::uint8_t>(parent >> 24)});
    test::PatchBytes(image, sectorOf(folder) + 32 + kEntryClusterLow,
                     {static_cast<std::uint8_t>(parent), static_cast<std::uint8_t>(parent >> 8)});
  };
  setDotDot(sub.objectNumber, sub.objectNumber);
  setDotDot(trash.objectNumber, sub.objectNumber);

  CFastFatRecovery engine;
  ASSERT_EQ(engine.OpenImageFile(image, 1), kSuccess);
  ASSERT_EQ(engine.Scan(nullptr), kSuccess);
  const auto looped = test::BrowseTree(engine);
  ASSERT_TRUE(looped.count("old notes.txt"));
  const FoundFileRecord& big = looped.at("old notes.txt").record;
  EXPECT_EQ(+big.size, 0xFFFFFFFFu);
  const std::string out = temp_ / "notes.txt";
  engine.RecoverItem(&big, out, 0);
  // The loop is left after as many clusters as the volume has.
  EXPECT_LE(std::filesystem::file_size(out), (std::uint64_t{l.clusterCount} + 2) * l.ClusterBytes());
  Exercise(image);
}

// Boot sectors with absurd numbers: refused at open, or, where they still describe a volume,
// walked to the end.
TEST_F(FastFatCorrupt, AbsurdBootSectors) {
  REQUIRE_FIXTURE("fat16.img");
  REQUIRE_FIXTURE("fat32.img");
  REQUIRE_FIXTURE("fat12.img");
  struct Patch {
    const char* fixture;
    std::size_t offset;
    std::vector<std::uint8_t> bytes;
    bool opens;
  };
  const std::vector<Patch> patches = {
      {"fat16.img", kBpbBytesPerSector, {0, 0}, false},
      {"fat16.img", kBpbBytesPerSector, {0x01, 0x02}, false},
      {"fat16.img", kBpbSectorsPerCluster, {0}, false},
      {"fat16.img", kBpbSectorsPerCluster, {6}, false},
      {"fat16.img", kBpbNumberOfFats, {0}, false},
      {"fat16.img", kBpbReservedSectors, {0xFF, 0xFF}, false},
      // Still a volume, but not this one: the walk reads whatever it now points at.
      {"fat16.img", kBpbNumberOfFats, {9}, true},
      {"fat16.img", kBpbRootEntries, {0xF0, 0x0F}, true},
      {"fat16.img", kBpbSectorsPerCluster, {128}, true},
      {"fat16.img", kBpbFatSize16, {1, 0}, true},
      {"fat12.img", kBpbTotalSectors16, {0xFF, 0xFF}, true},  // larger than the image
      {"fat12.img", kBpbBytesPerSector, {0x00, 0x10}, true},  // 4,096-byte sectors on a floppy
      {"fat32.img", kBpbTotalSectors32, {0xFF, 0xFF, 0xFF, 0x0F}, true},
      {"fat32.img", kBpbRootCluster, {0xFF, 0xFF, 0xFF, 0xFF}, false},
      {"fat32.img", kBpbRootCluster, {0x40, 0x00, 0x00, 0x00}, true},
      {"fat32.img", kBpbFatSize32, {0xFF, 0xFF, 0xFF, 0xFF}, false},
      {"fat32.img", kBpbFatSize32, {0x01, 0x00, 0x00, 0x00}, true},
  };
  for (const Patch& p : patches) {
    SCOPED_TRACE(std::string(p.fixture) + " at " + std::to_string(p.offset));
    const std::string image = CopyOf(FixturePath(p.fixture), "boot.img");
    test::PatchBytes(image, p.offset, p.bytes);
    EXPECT_EQ(Exercise(image).opened, p.opens);
  }
}

// Images cut short: the FAT window and every read stop at the end of the medium.
TEST_F(FastFatCorrupt, TruncatedImages) {
  REQUIRE_FIXTURE("fat16.img");
  REQUIRE_FIXTURE("fat32.img");
  for (const char* fixture : {"fat16.img", "fat32.img"}) {
    for (std::uint64_t size : {4096ull, 20 * 1024ull, 100 * 1024ull, 1024 * 1024ull}) {
      SCOPED_TRACE(std::string(fixture) + " cut to " + std::to_string(size));
      const std::string image = CopyOf(FixturePath(fixture), "cut.img");
      std::filesystem::resize_file(image, size);
      EXPECT_TRUE(Exercise(image).opened);
    }
  }
}

// Names that try to leave the destination: a folder whose long name reads ".." and a file whose
// long name is "../../x/y.txt".
TEST_F(FastFatCorrupt, HostileNamesStayInsideTheDestination) {
  REQUIRE_FIXTURE("fat32.img");
  const std::string image = CopyOf(FixturePath("fat32.img"), "names.img");
  // "old notes.txt" is 13 characters: one long-name entry, which becomes "../../x/y.txt".
  const std::int64_t notes = test::FindBytes(image, test::Utf16Bytes("old n"));
  ASSERT_GT(notes, 0);
  const std::string hostile = "../../x/y.txt";
  std::vector<std::uint8_t> units = test::Utf16Bytes(hostile);
  test::PatchBytes(image, static_cast<std::uint64_t>(notes), {units.begin(), units.begin() + 10});
  test::PatchBytes(image, static_cast<std::uint64_t>(notes) + 13, {units.begin() + 10, units.begin() + 22});
  test::PatchBytes(image, static_cast<std::uint64_t>(notes) + 27, {units.begin() + 22, units.end()});
  // "Trash Folder": its first units become ".." and the end of the name.
  const std::int64_t trash = test::FindBytes(image, test::Utf16Bytes("Trash"));
  ASSERT_GT(trash, 0);
  test::PatchBytes(image, static_cast<std::uint64_t>(trash), {'.', 0, '.', 0, 0, 0});

  CFastFatRecovery engine;
  ASSERT_EQ(engine.OpenImageFile(image, 1), kSuccess);
  ASSERT_EQ(engine.Scan(nullptr), kSuccess);
  const auto tree = test::BrowseTree(engine);
  std::set<std::string> keys;
  for (const auto& [key, item] : tree) keys.insert(key);
  EXPECT_TRUE(keys.count(".._.._x_y.txt")) << ::testing::PrintToString(keys);
  EXPECT_TRUE(keys.count("_/!ub/!.pdf")) << ::testing::PrintToString(keys);

  const std::string root = temp_ / "dest";
  for (const auto& [key, item] : tree) {
    const std::string destination = root + "/" + key;
    engine.RecoverItem(&item.record, destination, SeparatorLevel(destination) - item.level);
  }
  for (const auto& entry : std::filesystem::recursive_directory_iterator(temp_.path())) {
    const std::string path = entry.path().string();
    EXPECT_TRUE(path.rfind(root + "/", 0) == 0 || path == root || path == image) << path;
  }
  EXPECT_TRUE(std::filesystem::exists(root + "/_/!ub/!.pdf"));
}

}  // namespace
}  // namespace rexmoor
