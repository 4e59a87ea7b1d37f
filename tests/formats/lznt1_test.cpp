// LZNT1 decoding: chunks made by hand for each token form (and for every way a chunk can lie),
// and real compressed units from the volume written by ntfs-3g (make_ntfs_compressed_volume.sh),
// whose contents the test can regenerate.
#include "formats/lznt1.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "ntfs/ntfs_test_util.h"

namespace rexmoor {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A chunk: header (stored length less 3, signature 3, compressed bit) and body.
Bytes Chunk(const Bytes& body, bool compressed) {
  const std::uint16_t header =
      static_cast<std::uint16_t>(((body.size() + 2 - 3) & 0x0FFF) | 0x3000 | (compressed ? 0x8000 : 0));
  Bytes out{static_cast<std::uint8_t>(header), static_cast<std::uint8_t>(header >> 8)};
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::string Text(const Bytes& b, std::size_t n) { return std::string(b.begin(), b.begin() + static_cast<long>(n)); }

struct Decoded {
  Result result = kSuccess;
  std::size_t produced = 0;
  Bytes out;
};

// Decodes from a heap copy of exactly the input's size into an output of exactly outBytes, so that
// the sanitizer sees any byte read or written past either.
Decoded Decode(const Bytes& in, std::size_t outBytes) {
  Decoded d;
  d.out.assign(outBytes, 0xEE);
  auto* heap = new std::uint8_t[in.size() + (in.empty() ? 1 : 0)];
  std::copy(in.begin(), in.end(), heap);
  d.result = DecompressLznt1(std::span<const std::uint8_t>(heap, in.size()), d.out, d.produced);
  delete[] heap;
  return d;
}

TEST(Lznt1, TokensOfAChunk) {
  // Literals "abc", then a back-reference (offset 3, length 9) overlapping what it writes.
  Decoded d = Decode(Chunk({0x08, 'a', 'b', 'c', 0x06, 0x20}, true), 4096);
  ASSERT_EQ(d.result, kSuccess);
  ASSERT_EQ(d.produced, 12u);
  EXPECT_EQ(Text(d.out, 12), "abcabcabcabc");
  EXPECT_EQ(d.out[12], 0xEE);  // nothing past the chunk's output is touched

  // One literal and a reference of the longest length at position 1 fill the chunk.
  d = Decode(Chunk({0x02, 'z', 0xFC, 0x0F}, true), 4096);
  ASSERT_EQ(d.result, kSuccess);
  ASSERT_EQ(d.produced, 4096u);
  EXPECT_EQ(std::count(d.out.begin(), d.out.end(), 'z'), 4096);

  // A stored chunk is the bytes themselves.
  Bytes raw(4096);
  for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<std::uint8_t>(i * 7 + 3);
  d = Decode(Chunk(raw, false), 4096);
  ASSERT_EQ(d.result, kSuccess);
  ASSERT_EQ(d.produced, 4096u);
  EXPECT_EQ(d.out, raw);
}

TEST(Lznt1, OffsetWidensWithThePositionInTheChunk) {
  // 16 literals, then at position 16 the split is still 4:12 (offset 16, length 3); at position 19
  // it is 5:11 (offset 19, length 4). Read with the wrong split, either offset would point before
  // the chunk's start.
  Bytes body{0x00};
  for (char c = 'A'; c < 'I'; ++c) body.push_back(static_cast<std::uint8_t>(c));
  body.push_back(0x00);
  for (char c = 'I'; c < 'Q'; ++c) body.push_back(static_cast<std::uint8_t>(c));
  body.push_back(0x03);  // two references
  const std::uint16_t at16 = (16 - 1) << 12 | (3 - 3);
  const std::uint16_t at19 = (19 - 1) << 11 | (4 - 3);
  for (std::uint16_t t : {at16, at19}) {
    body.push_back(static_cast<std::uint8_t>(t));
    body.push_back(static_cast<std::uint8_t>(t >> 8));
  }
  Decoded d = Decode(Chunk(body, true), 4096);
  ASSERT_EQ(d.result, kSuccess);
  ASSERT_EQ(d.produced, 23u);
  EXPECT_EQ(Text(d.out, 23), "ABCDEFGHIJKLMNOPABCABCD");

  // Past 2,048 bytes of output the split is 12:4: a reference 3,000 bytes back.
  Bytes longBody;
  Bytes expected;
  for (int group = 0; group < 400; ++group) {
    longBody.push_back(0x00);
    for (int i = 0; i < 8; ++i) {
      const auto b = static_cast<std::uint8_t>((group * 8 + i) * 13 % 251);
      longBody.push_back(b);
      expected.push_back(b);
    }
  }
  const std::uint16_t far = (3000 - 1) << 4 | (18 - 3);
  longBody.insert(longBody.end(), {0x01, static_cast<std::uint8_t>(far), static_cast<std::uint8_t>(far >> 8)});
  for (int i = 0; i < 18; ++i) expected.push_back(expected[expected.size() - 3000]);
  d = Decode(Chunk(longBody, true), 4096);
  ASSERT_EQ(d.result, kSuccess);
  ASSERT_EQ(d.produced, expected.size());
  EXPECT_EQ(Bytes(d.out.begin(), d.out.begin() + static_cast<long>(expected.size())), expected);
}

TEST(Lznt1, ChunksStandForFourKilobytesEachAndAZeroHeaderEnds) {
  const Bytes first = Chunk({0x08, 'a', 'b', 'c', 0x06, 0x20}, true);
  const Bytes second = Chunk({0x00, 'x', 'y'}, true);
  // The short first chunk is followed by zeros up to the second's place; the zero header ends the
  // stream, so the chunk after it is never read.
  Decoded d = Decode(Cat(Cat(Cat(first, second), {0x00, 0x00}), Chunk({0x00, 'q'}, true)), 3 * 4096);
  ASSERT_EQ(d.result, kSuccess);
  ASSERT_EQ(d.produced, 4096u + 2);
  EXPECT_EQ(Text(d.out, 12), "abcabcabcabc");
  EXPECT_TRUE(std::all_of(d.out.begin() + 12, d.out.begin() + 4096, [](std::uint8_t b) { return b == 0; }));
  EXPECT_EQ(d.out[4096], 'x');
  EXPECT_EQ(d.out[4097], 'y');
  EXPECT_EQ(d.out[4098], 0xEE);

  // Empty input, or one byte: nothing to decode.
  EXPECT_EQ(Decode({}, 4096).produced, 0u);
  EXPECT_EQ(Decode({0x05}, 4096).result, kSuccess);
}

TEST(Lznt1, HostileChunksEndWithAnError) {
  const Bytes good = Chunk({0x08, 'a', 'b', 'c', 0x06, 0x20}, true);
  // Length field past the input: the chunk claims 4,098 bytes.
  Decoded d = Decode({0xFF, 0xBF, 0x00, 'a', 'b'}, 4096);
  EXPECT_EQ(d.result, kErrCrc);
  EXPECT_EQ(d.produced, 0u);
  // The same after a good chunk: the good one stays decoded.
  d = Decode(Cat(good, {0x10, 0xB0, 0x00, 'a'}), 8192);
  EXPECT_EQ(d.result, kErrCrc);
  EXPECT_EQ(d.produced, 12u);
  // A reference as the first token, and one reaching before the chunk's start.
  EXPECT_EQ(Decode(Chunk({0x01, 0x00, 0x00}, true), 4096).result, kErrCrc);
  d = Decode(Chunk({0x04, 'a', 'b', 0x00, 0x20}, true), 4096);  // offset 3 at position 2
  EXPECT_EQ(d.result, kErrCrc);
  EXPECT_EQ(d.produced, 2u);
  // A reference cut off by the chunk's end (one byte of two left).
  EXPECT_EQ(Decode(Chunk({0x02, 'a', 0x06}, true), 4096).result, kErrCrc);
  // A reference that would take the chunk past 4,096 bytes.
  EXPECT_EQ(Decode(Chunk({0x06, 'z', 0xFC, 0x0F, 0x00, 0x00}, true), 4096).result, kErrCrc);
  // More chunks than the output holds, and a chunk larger than the room left.
  EXPECT_EQ(Decode(Cat(good, good), 4096).result, kErrCrc);
  d = Decode(Chunk({0x02, 'z', 0xFC, 0x0F}, true), 100);
  EXPECT_EQ(d.result, kErrCrc);
  EXPECT_LE(d.produced, 100u);
  EXPECT_EQ(Decode(Chunk(Bytes(200, 'r'), false), 100).result, kErrCrc);
  // A whole stored chunk with one byte too little room.
  EXPECT_EQ(Decode(Chunk(Bytes(4096, 'r'), false), 4095).result, kErrCrc);
}

// Random bytes as a stream: whatever they say, nothing is read or written out of bounds (the
// sanitizer watches) and produced never passes the output.
TEST(Lznt1, RandomInputStaysInBounds) {
  std::mt19937 rng(20240611);
  for (int round = 0; round < 3000; ++round) {
    Bytes in(rng() % 600);
    for (auto& b : in) b = static_cast<std::uint8_t>(rng());
    if (in.size() >= 2 && round % 2 == 0) in[1] |= 0x80;  // mostly compressed chunks
    const std::size_t outBytes = rng() % 9000;
    const Decoded d = Decode(in, outBytes);
    EXPECT_LE(d.produced, outBytes);
    EXPECT_TRUE(d.result == kSuccess || d.result == kErrCrc);
  }
}

// Compressed units as ntfs-3g wrote them: the first unit of holey.bin (20,000 bytes of numbered
// lines, zeros after) and of mixed.bin (one line over and over), read from the clusters the
// manifest lists for them.
// The allocated clusters at the head of a file's first unit, as the manifest lists them.
std::vector<std::uint64_t> FirstUnitClusters(const std::string& path) {
  std::ifstream in(test::NtfsFixtureSource("compressed_MANIFEST.txt"));
  const std::string key = "runs ntfs_compressed.img:" + path + ":";
  std::string line;
  std::vector<std::uint64_t> clusters;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) != 0) continue;
    std::istringstream numbers(line.substr(key.size()));
    std::uint64_t c = 0;
    while (clusters.size() < 16 && numbers >> c && c != 0) clusters.push_back(c);
  }
  return clusters;
}

Bytes UnitOnImage(const std::string& path) {
  const std::vector<std::uint64_t> clusters = FirstUnitClusters(path);
  EXPECT_FALSE(clusters.empty()) << path;
  Bytes packed(clusters.size() * 4096);
  FileHandle file;
  EXPECT_EQ(FileHandle::OpenReadOnly(test::NtfsFixture("ntfs_compressed.img"), file), kSuccess);
  for (std::size_t i = 0; i < clusters.size(); ++i)
    EXPECT_EQ(file.Pread(packed.data() + i * 4096, 4096, clusters[i] * 4096), 4096);
  return packed;
}

TEST(Lznt1, RealUnitsWrittenByNtfs3g) {
  Decoded d = Decode(UnitOnImage("/Packed/holey.bin"), 65536);
  ASSERT_EQ(d.result, kSuccess);
  std::string head;
  for (int i = 0; head.size() < 20000; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "head line %05d of the holey file\n", i);
    head += line;
  }
  head.resize(20000);
  ASSERT_GE(d.produced, 20000u);
  EXPECT_EQ(Text(d.out, 20000), head);
  EXPECT_TRUE(std::all_of(d.out.begin() + 20000, d.out.begin() + static_cast<long>(d.produced),
                          [](std::uint8_t b) { return b == 0; }));

  d = Decode(UnitOnImage("/Packed/mixed.bin"), 65536);
  ASSERT_EQ(d.result, kSuccess);
  ASSERT_EQ(d.produced, 65536u);
  std::string pattern;
  while (pattern.size() < 65536) pattern += "the same line again and again 32\n";
  pattern.resize(65536);
  EXPECT_EQ(Text(d.out, 65536), pattern);
}

}  // namespace
}  // namespace rexmoor
