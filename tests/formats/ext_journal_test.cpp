// The jbd2 journal index and the extent-block recogniser on real ext3/ext4 volumes (made by
// tests/fixtures/make_ext_journal.sh), checked against debugfs logdump and against the sha256 of
// every deleted file; then the same journals damaged.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "engine/file_digest.h"
#include "formats/ext_extent_scan.h"
#include "formats/ext_journal.h"
#include "platform/byte_view.h"
#include "test_support.h"

namespace rexmoor {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string FixturePath(const std::string& name) {
  return std::string(REXMOOR_TEST_SOURCE_DIR) + "/fixtures/ext/journal/" + name;
}

std::vector<std::vector<std::string>> ReadTable(const std::string& name) {
  std::vector<std::vector<std::string>> rows;
  std::ifstream in(FixturePath(name));
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> cols;
    std::stringstream ss(line);
    std::string col;
    while (std::getline(ss, col, '\t')) cols.push_back(col);
    rows.push_back(cols);
  }
  return rows;
}

// One volume with its journal laid out as the journal inode maps it.
struct Volume {
  std::string name;
  std::uint32_t blockSize = 0;
  std::uint64_t blocks = 0;
  std::array<std::uint8_t, 16> uuid{};
  std::uint32_t inodeSize = 0;
  Bytes image;
  std::vector<std::uint64_t> journal;  // physical block of each journal block

  std::span<const std::uint8_t> Block(std::uint64_t b) const {
    return std::span<const std::uint8_t>(image).subspan(b * blockSize, blockSize);
  }
};

Volume LoadVolume(const std::vector<std::string>& row) {
  Volume v;
  v.name = row.at(0);
  v.blockSize = static_cast<std::uint32_t>(std::stoul(row.at(1)));
  v.blocks = std::stoull(row.at(2));
  std::string hex = row.at(3);
  std::erase(hex, '-');
  for (std::size_t i = 0; i < 16; ++i) v.uuid[i] = static_cast<std::uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  v.inodeSize = static_cast<std::uint32_t>(std::stoul(row.at(4)));
  v.image = test::ReadFileBytes(test::UnpackedImage(FixturePath(v.name + ".gz")));
  std::stringstream runs(row.at(5));
  std::string run;
  while (std::getline(runs, run, ',')) {
    unsigned long long logical = 0, physical = 0, count = 0;
    EXPECT_EQ(std::sscanf(run.c_str(), "%llu:%llu:%llu", &logical, &physical, &count), 3);
    EXPECT_EQ(logical, v.journal.size());
    for (unsigned long long i = 0; i < count; ++i) v.journal.push_back(physical + i);
  }
  return v;
}

// Reads journal block k through the volume's mapping, optionally through a mangled copy.
JournalBlockReader ReaderOf(const Volume& v, const std::map<std::uint64_t, Bytes>* patched = nullptr) {
  return [&v, patched](std::uint64_t k, std::span<std::uint8_t> out) {
    if (k >= v.journal.size() || out.size() != v.blockSize) return false;
    if (patched != nullptr) {
      if (auto it = patched->find(k); it != patched->end()) {
        std::copy(it->second.begin(), it->second.end(), out.begin());
        return true;
      }
    }
    const auto b = v.Block(v.journal[k]);
    std::copy(b.begin(), b.end(), out.begin());
    return true;
  };
}

std::string Sha256(const Bytes& bytes) {
  StreamDigest d;
  d.Begin(true, false);
  d.Update(bytes.data(), bytes.size());
  return d.Finish().sha256;
}

// The file's bytes from its extents (uninitialised ones and holes read as zeros).
Bytes Assemble(const Volume& v, const std::vector<ExtentEntry>& extents, std::uint64_t size) {
  Bytes out(size, 0);
  for (const ExtentEntry& e : extents) {
    if (e.uninitialized) continue;
    for (std::uint32_t i = 0; i < e.length; ++i) {
      const std::uint64_t at = (std::uint64_t{e.logical} + i) * v.blockSize;
      if (at >= size) break;
      const auto b = v.Block(e.physical + i);
      std::copy_n(b.begin(), std::min<std::uint64_t>(v.blockSize, size - at), out.begin() + at);
    }
  }
  return out;
}

using CopyKey = std::tuple<std::uint32_t, std::uint64_t, std::uint64_t>;  // sequence, fs block, journal block

std::set<CopyKey> CopiesIn(const JournalIndex& index) {
  std::set<CopyKey> keys;
  for (const auto& [fs, copies] : index.blocks())
    for (const JournalCopy& c : copies) keys.emplace(c.sequence, fs, c.journalBlock);
  return keys;
}

struct Reference {
  std::set<CopyKey> copies;
  std::map<std::uint32_t, std::uint64_t> commits;          // sequence -> commit block
  std::map<std::uint64_t, std::uint32_t> newestRevoke;     // fs block -> newest revoking sequence
};

Reference LogdumpOf(const std::string& image) {
  Reference r;
  for (const auto& row : ReadTable("logdump.txt")) {
    if (row.at(0) != image) continue;
    const auto seq = static_cast<std::uint32_t>(std::stoul(row.at(2)));
    if (row.at(1) == "copy") r.copies.emplace(seq, std::stoull(row.at(3)), std::stoull(row.at(4)));
    if (row.at(1) == "commit") r.commits[seq] = std::stoull(row.at(3));
    if (row.at(1) == "revoke") {
      auto& newest = r.newestRevoke[std::stoull(row.at(3))];
      newest = std::max(newest, seq);
    }
  }
  return r;
}

struct JournalCase {
  const char* image;
  bool is64bit;
  bool csumV3;
  bool extents;
  bool dataJournaled;  // file data logged too (data=journal): a block with the magic was escaped
};
constexpr JournalCase kCases[] = {
    {"ext4_journal.img", true, true, true, false},
    {"ext4_1k_journal.img", true, true, true, false},
    {"ext3_journal.img", false, false, false, true},
};

Volume VolumeNamed(const std::string& image) {
  for (const auto& row : ReadTable("volumes.txt"))
    if (row.at(0) == image) return LoadVolume(row);
  ADD_FAILURE() << image << " not in volumes.txt";
  return {};
}

TEST(ExtJournal, RealJournalsMatchLogdumpAndGiveDeletedFilesBack) {
  for (const JournalCase& c : kCases) {
    SCOPED_TRACE(c.image);
    const Volume v = VolumeNamed(c.image);
    ASSERT_FALSE(v.journal.empty());
    const JournalBlockReader read = ReaderOf(v);
    const auto index = BuildJournalIndex(read, v.journal.size(), v.blockSize);
    ASSERT_TRUE(index.has_value());
    EXPECT_TRUE(index->complete());
    const JournalSuperblock& sb = index->superblock();
    EXPECT_EQ(sb.blockType, 4u);
    EXPECT_EQ(sb.is64bit, c.is64bit);
    EXPECT_EQ(sb.csumV3, c.csumV3);
    EXPECT_FALSE(sb.csumV2);
    EXPECT_EQ(sb.start, 0u);  // unmounted cleanly: every transaction found is an old one

    // The same transactions and copies as debugfs logdump, revocations as its revoke records say.
    const Reference ref = LogdumpOf(c.image);
    ASSERT_FALSE(ref.commits.empty());
    EXPECT_EQ(CopiesIn(*index), ref.copies);
    std::map<std::uint32_t, std::uint64_t> commits;
    for (const JournalTransaction& t : index->transactions()) commits[t.sequence] = t.commitBlock;
    EXPECT_EQ(commits, ref.commits);
    ASSERT_TRUE(std::is_sorted(index->transactions().begin(), index->transactions().end(),
                               [](const auto& a, const auto& b) { return a.sequence > b.sequence; }));
    std::size_t revoked = 0;
    for (const auto& [fs, copies] : index->blocks()) {
      for (std::size_t i = 0; i < copies.size(); ++i) {
        if (i > 0) {
          EXPECT_GE(copies[i - 1].sequence, copies[i].sequence);
        }
        const auto r = ref.newestRevoke.find(fs);
        EXPECT_EQ(copies[i].revoked, r != ref.newestRevoke.end() && copies[i].sequence <= r->second) << fs;
        EXPECT_EQ(copies[i].checksumVerified, c.csumV3);
        EXPECT_NE(copies[i].commitSeconds, 0u);
        revoked += copies[i].revoked;
      }
    }
    EXPECT_GT(revoked, 0u);  // the deleted tree's blocks were revoked

    // An escaped copy reads back with its magic number, equal to the block on the volume.
    std::size_t escaped = 0;
    for (const auto& [fs, copies] : index->blocks()) {
      for (const JournalCopy& copy : copies) {
        if (!copy.escaped) continue;
        ++escaped;
        Bytes bytes;
        ASSERT_TRUE(ReadJournalCopy(read, copy, v.blockSize, bytes));
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), v.Block(fs).begin())) << fs;
      }
    }
    EXPECT_EQ(escaped > 0, c.dataJournaled);

    // Every deleted file: its inode as an earlier transaction held it, and its bytes from there.
    const std::uint32_t seed = ExtChecksumSeed(v.uuid);
    std::size_t files = 0, reusedInodes = 0;
    for (const auto& row : ReadTable("files.txt")) {
      if (row.at(0) != c.image) continue;
      SCOPED_TRACE(row.at(1));
      ++files;
      const auto ino = static_cast<std::uint32_t>(std::stoul(row.at(2)));
      const auto gen = static_cast<std::uint32_t>(std::stoul(row.at(3)));
      const std::uint64_t size = std::stoull(row.at(4));
      const std::string& sha = row.at(5);
      const std::uint64_t itable = std::stoull(row.at(6));
      const auto offset = static_cast<std::uint32_t>(std::stoul(row.at(7)));

      // The inode in the volume no longer maps the file (its map cleared, or the number taken by
      // a new file with another generation); the journal still has it as it was.
      const auto live = v.Block(itable).subspan(offset, v.inodeSize);
      const bool reused = LoadU32LE(live.data() + 0x64) != gen;
      reusedInodes += reused;
      EXPECT_TRUE(reused || !InodeMapsData(live));
      const auto old = FindJournalInodeCopy(*index, read, itable, offset, v.inodeSize, gen);
      ASSERT_TRUE(old.has_value());
      EXPECT_FALSE(FindJournalInodeCopy(*index, read, itable, offset, v.inodeSize, gen + 1).has_value());
      ASSERT_EQ(old->inode.size(), v.inodeSize);
      EXPECT_LT(old->copy.sequence, index->transactions().front().sequence);
      const auto inode = std::span<const std::uint8_t>(old->inode);
      EXPECT_EQ(LoadU32LE(inode.data() + 0x04), size);  // i_size as it was

      std::vector<ExtentEntry> extents;
      if (c.extents) {
        const auto root = ParseExtentNode(inode.subspan(0x28, 60), v.blocks);
        ASSERT_TRUE(root.has_value());
        extents = root->extents;
        const std::string leaves = row.at(8);
        EXPECT_EQ(root->header.depth > 0, leaves != "-");
        for (const ExtentIndexEntry& child : root->indexes) {
          EXPECT_EQ(std::to_string(child.child), leaves);
          // The leaf left in free space: recognised, and tied to this inode by its checksum.
          const auto leafBytes = v.Block(child.child);
          const auto leaf = ParseExtentBlock(leafBytes, v.blocks);
          ASSERT_TRUE(leaf.has_value());
          EXPECT_TRUE(ExtentBlockBelongsTo(leafBytes, seed, ino, gen));
          EXPECT_FALSE(ExtentBlockBelongsTo(leafBytes, seed, ino, gen + 1));
          EXPECT_FALSE(ExtentBlockBelongsTo(leafBytes, seed, ino + 1, gen));
          const auto found = FindExtentBlocks(v.image, v.blockSize, v.blocks);
          EXPECT_NE(std::find(found.begin(), found.end(), child.child * v.blockSize), found.end());
          EXPECT_GE(leaf->extents.size(), 5u);
          extents.insert(extents.end(), leaf->extents.begin(), leaf->extents.end());
        }
      } else {
        // Block-mapped: the twelve direct pointers, then the single indirect block.
        for (std::uint32_t i = 0; i < 12; ++i)
          if (const std::uint32_t b = LoadU32LE(inode.data() + 0x28 + 4 * i); b != 0) extents.push_back({i, b, 1, false});
        if (const std::uint32_t ind = LoadU32LE(inode.data() + 0x28 + 48); ind != 0) {
          ASSERT_LT(ind, v.blocks);
          const auto ptrs = v.Block(ind);
          for (std::uint32_t i = 0; i < v.blockSize / 4; ++i)
            if (const std::uint32_t b = LoadU32LE(ptrs.data() + 4 * i); b != 0 && b < v.blocks)
              extents.push_back({12 + i, b, 1, false});
        }
      }
      EXPECT_EQ(Sha256(Assemble(v, extents, size)), sha);
    }
    EXPECT_EQ(files, 5u);
    EXPECT_EQ(reusedInodes, 1u);  // late.txt took contig.bin's number

    // A directory block's old copies: the deleted folder's names are in one of them.
    std::size_t named = 0;
    for (const auto& [fs, copies] : index->blocks()) {
      for (const auto& content : JournalBlockCopies(*index, read, fs)) {
        const std::string text(content.bytes.begin(), content.bytes.end());
        named += text.find("n2.dat") != std::string::npos;
      }
    }
    EXPECT_GT(named, 0u);
  }
}

TEST(ExtJournal, DamagedJournalsGivePartialIndexesNeverACrash) {
  for (const JournalCase& c : kCases) {
    SCOPED_TRACE(c.image);
    const Volume v = VolumeNamed(c.image);
    ASSERT_FALSE(v.journal.empty());
    const auto full = BuildJournalIndex(ReaderOf(v), v.journal.size(), v.blockSize);
    ASSERT_TRUE(full.has_value());
    const std::set<CopyKey> all = CopiesIn(*full);
    const auto& txs = full->transactions();
    ASSERT_GE(txs.size(), 3u);

    // Cut short in the middle of the log: the transactions wholly before the cut stay.
    const std::uint64_t cut = txs[txs.size() / 2].commitBlock;
    const auto shortIndex = BuildJournalIndex(ReaderOf(v), cut, v.blockSize);
    ASSERT_TRUE(shortIndex.has_value());
    EXPECT_FALSE(shortIndex->complete());
    std::set<std::uint32_t> expected;
    for (const auto& t : txs)
      if (t.commitBlock < cut) expected.insert(t.sequence);
    std::set<std::uint32_t> got;
    for (const auto& t : shortIndex->transactions()) got.insert(t.sequence);
    EXPECT_EQ(got, expected);

    // One commit block zeroed: only that transaction goes; logdump would stop there, the index does not.
    {
      const JournalTransaction& victim = txs[txs.size() / 2];
      std::map<std::uint64_t, Bytes> patched{{victim.commitBlock, Bytes(v.blockSize, 0)}};
      const auto index = BuildJournalIndex(ReaderOf(v, &patched), v.journal.size(), v.blockSize);
      ASSERT_TRUE(index.has_value());
      EXPECT_EQ(index->transactions().size(), txs.size() - 1);
      std::set<CopyKey> rest;
      for (const CopyKey& k : all)
        if (std::get<0>(k) != victim.sequence) rest.insert(k);
      EXPECT_EQ(CopiesIn(*index), rest);
    }

    // The log turned round so that a transaction runs over its end back to its first block: the
    // same copies come back, at the rotated places.
    {
      const JournalSuperblock& sb = full->superblock();
      const std::uint64_t len = sb.logEnd - sb.first;
      const JournalTransaction& t = txs[txs.size() / 2];
      const std::uint64_t shift = len - (t.firstBlock - sb.first) - 2;  // its descriptor lands two blocks before the end
      auto rotate = [&](std::uint64_t k) { return sb.first + (k - sb.first + shift) % len; };
      std::map<std::uint64_t, Bytes> moved;
      for (std::uint64_t k = sb.first; k < sb.logEnd; ++k) {
        const auto b = v.Block(v.journal[k]);
        moved[rotate(k)] = Bytes(b.begin(), b.end());
      }
      const auto index = BuildJournalIndex(ReaderOf(v, &moved), v.journal.size(), v.blockSize);
      ASSERT_TRUE(index.has_value());
      std::set<CopyKey> expectedMoved;
      for (const auto& [seq, fs, jb] : all) expectedMoved.emplace(seq, fs, rotate(jb));
      EXPECT_EQ(CopiesIn(*index), expectedMoved);
    }

    // Unreadable blocks: what can be read is kept, and the index says it is incomplete.
    {
      const JournalBlockReader base = ReaderOf(v);
      const std::uint64_t bad = txs.back().firstBlock;
      const auto index = BuildJournalIndex(
          [&](std::uint64_t k, std::span<std::uint8_t> out) { return k != bad && base(k, out); }, v.journal.size(),
          v.blockSize);
      ASSERT_TRUE(index.has_value());
      EXPECT_FALSE(index->complete());
      EXPECT_EQ(index->transactions().size(), txs.size() - 1);
    }

    // Random bytes in the metadata blocks and the superblock: never a crash, never a copy outside
    // the journal.
    std::vector<std::uint64_t> metaBlocks{0};
    for (const auto& t : txs) {
      metaBlocks.push_back(t.firstBlock);
      metaBlocks.push_back(t.commitBlock);
    }
    std::mt19937 rng(1234);
    for (int round = 0; round < 150; ++round) {
      std::map<std::uint64_t, Bytes> patched;
      for (int n = 0; n < 4; ++n) {
        const std::uint64_t k = metaBlocks[rng() % metaBlocks.size()];
        auto [it, fresh] = patched.try_emplace(k);
        if (fresh) {
          const auto b = v.Block(v.journal[k]);
          it->second.assign(b.begin(), b.end());
        }
        // Hit the header, the first tags and the superblock's fields more often than the rest.
        const std::size_t at = (rng() % 2) ? rng() % 128 : rng() % v.blockSize;
        it->second[at] = static_cast<std::uint8_t>(rng());
      }
      const auto index = BuildJournalIndex(ReaderOf(v, &patched), v.journal.size(), v.blockSize);
      if (!index) continue;
      for (const auto& [fs, copies] : index->blocks())
        for (const JournalCopy& copy : copies) ASSERT_LT(copy.journalBlock, v.journal.size());
    }
  }
}

}  // namespace
}  // namespace rexmoor
