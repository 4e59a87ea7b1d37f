// The footer searches find the first and the last occurrence exactly as a byte-by-byte search
// does, whichever bytes the pattern and the data are made of.
#include "formats/byte_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace rexmoor {
namespace {

using Bytes = std::vector<std::uint8_t>;

const std::uint8_t* NaiveFirst(const Bytes& data, const Bytes& pattern) {
  if (pattern.empty() || data.size() < pattern.size()) return nullptr;
  const auto it = std::search(data.begin(), data.end(), pattern.begin(), pattern.end());
  return it == data.end() ? nullptr : data.data() + (it - data.begin());
}

const std::uint8_t* NaiveLast(const Bytes& data, const Bytes& pattern) {
  if (pattern.empty() || data.size() < pattern.size()) return nullptr;
  const auto it = std::find_end(data.begin(), data.end(), pattern.begin(), pattern.end());
  return it == data.end() ? nullptr : data.data() + (it - data.begin());
}

TEST(ByteSearch, FirstAndLastOccurrenceAsAPlainSearchFindsThem) {
  // Real footers: MPEG's sequence end, JPEG's end of image, PDF's end marker, one all zeros.
  const std::vector<Bytes> patterns = {{0x00, 0x00, 0x01, 0xB7}, {0xFF, 0xD9}, {'%', '%', 'E', 'O', 'F'},
                                       {0x00, 0x00}, {0xFF}, {0x3B}, {0x00, 0xFF, 0x00}};
  std::mt19937 rng(5);
  for (int round = 0; round < 400; ++round) {
    // Few byte values, so that near misses and overlapping copies are common.
    Bytes data(rng() % 300);
    const std::uint8_t alphabet[] = {0x00, 0x00, 0xFF, 0x01, 0xB7, 0xD9, '%', 'E', 'O', 'F', 0x3B};
    for (auto& b : data) b = alphabet[rng() % sizeof alphabet];
    for (const Bytes& p : patterns) {
      EXPECT_EQ(FindForward(data, p), NaiveFirst(data, p)) << round;
      EXPECT_EQ(FindBackward(data, p), NaiveLast(data, p)) << round;
    }
  }
  const Bytes data = {1, 2, 3};
  EXPECT_EQ(FindForward(data, Bytes{}), nullptr);
  EXPECT_EQ(FindBackward(data, Bytes{1, 2, 3, 4}), nullptr);
  EXPECT_EQ(FindBackward(data, Bytes{1, 2, 3}), data.data());
}

}  // namespace
}  // namespace rexmoor
