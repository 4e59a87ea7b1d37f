// The archive, document and database walks over real files: each must end a file at its last
// byte whatever follows it on the medium, and must not take random bytes behind a header for a file.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "formats/walk_archives.h"
#include "test_support.h"

namespace rexmoor::formats {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Walk = WalkResult (*)(FileBytes&, std::uint64_t);

std::string SamplePath(const std::string& name) { return std::string(REXMOOR_TEST_SOURCE_DIR) + "/samples/files/" + name; }

WalkResult WalkOver(Walk walk, const Bytes& bytes, std::uint64_t limit) {
  MemoryFileBytes file(bytes);
  return walk(file, limit);
}

void Append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

struct Case {
  std::string name;
  Walk walk;
  Bytes bytes;
};

std::vector<Case> Cases() {
  const std::vector<std::pair<const char*, Walk>> samples = {
      {"sample.7z", Measure7z},
      {"solid_off.7z", Measure7z},
      {"sample.zip", MeasureZip},
      {"sample.docx", MeasureZip},
      {"sample.xlsx", MeasureZip},
      {"sample.pptx", MeasureZip},
      {"zip_streamed.zip", MeasureZip},
      {"zip64.zip", MeasureZip},
      {"zip_stored.zip", MeasureZip},
  };
  std::vector<Case> cases;
  for (const auto& [name, walk] : samples) cases.push_back({name, walk, test::ReadFileBytes(SamplePath(name))});
  return cases;
}

void ExpectMeasured(const WalkResult& r, std::uint64_t length, const std::string& what) {
  EXPECT_EQ(r.verdict, WalkVerdict::kMeasured) << what;
  if (r.verdict == WalkVerdict::kMeasured) {
    EXPECT_EQ(r.length, length) << what;
  }
}

TEST(ArchiveWalks, RealFilesEndAtTheirLastByteWhateverFollows) {
  const Bytes random = test::RandomBytes(1 << 20, 7);
  const Bytes zeros(1 << 20, 0);
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    ASSERT_GT(c.bytes.size(), 512u);
    const std::uint64_t size = c.bytes.size();
    for (const Bytes* after : {&random, &zeros}) {
      Bytes medium = c.bytes;
      Append(medium, *after);
      ExpectMeasured(WalkOver(c.walk, medium, medium.size()), size, after == &random ? "random after" : "zeros after");
    }
    Bytes twice = c.bytes;
    Append(twice, c.bytes);
    ExpectMeasured(WalkOver(c.walk, twice, twice.size()), size, "a copy after");
    // The file alone, its end the medium's end and the limit.
    ExpectMeasured(WalkOver(c.walk, c.bytes, size), size, "alone");
    const WalkResult cut = WalkOver(c.walk, twice, size - 1);
    EXPECT_TRUE(cut.verdict != WalkVerdict::kMeasured || cut.length < size) << "limit one byte short";
  }
}

TEST(ArchiveWalks, DamagedFilesNeverMeasureBeyondTheBytesThere) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    const std::size_t size = c.bytes.size();
    Bytes headerThenRandom(c.bytes.begin(), c.bytes.begin() + 512);
    Append(headerThenRandom, test::RandomBytes(size - 512, 11));
    Bytes holed = c.bytes;  // a sector in the middle overwritten
    std::memset(holed.data() + size / 2 / 512 * 512, 0xA5, 512);
    const std::vector<std::pair<const char*, Bytes>> variants = {
        {"half", Bytes(c.bytes.begin(), c.bytes.begin() + size / 2)},
        {"header sector only", Bytes(c.bytes.begin(), c.bytes.begin() + 512)},
        {"last byte missing", Bytes(c.bytes.begin(), c.bytes.end() - 1)},
        {"header sector then random", headerThenRandom},
        {"sector overwritten", holed},
    };
    for (const auto& [what, bytes] : variants) {
      // The limit lies well past the bytes: a walk that trusted a size field or ran on
      // through an unreadable stretch would measure past them.
      const WalkResult r = WalkOver(c.walk, bytes, bytes.size() + (1 << 20));
      EXPECT_TRUE(r.verdict != WalkVerdict::kMeasured || r.length <= bytes.size())
          << what << ": measured " << r.length << " of " << bytes.size();
    }
  }
}

TEST(ArchiveWalks, RandomBytesBehindAHeaderAreNotMeasured) {
  struct Magic {
    const char* name;
    Walk walk;
    Bytes head;
  };
  const std::vector<Magic> magics = {
      {"7z", Measure7z, {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0, 4}},
      {"zip", MeasureZip, {'P', 'K', 3, 4}},
  };
  // 64 MiB of random bytes in 64 KiB blocks, each tried behind every header.
  constexpr std::size_t kBlock = 1 << 16;
  constexpr int kBlocks = 1024;
  std::mt19937_64 rng(20261209);
  Bytes block(kBlock);
  std::vector<int> measured(magics.size(), 0);
  for (int i = 0; i < kBlocks; ++i) {
    for (std::size_t k = 0; k < kBlock; k += 8) {
      const std::uint64_t v = rng();
      std::memcpy(block.data() + k, &v, 8);
    }
    for (std::size_t m = 0; m < magics.size(); ++m) {
      Bytes b = block;
      std::memcpy(b.data(), magics[m].head.data(), magics[m].head.size());
      if (WalkOver(magics[m].walk, b, b.size()).verdict == WalkVerdict::kMeasured) ++measured[m];
    }
  }
  for (std::size_t m = 0; m < magics.size(); ++m) EXPECT_LE(measured[m], kBlocks / 1000) << magics[m].name;
}

}  // namespace
}  // namespace rexmoor::formats
