#include "platform/byte_view.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

namespace rexmoor {
namespace {

TEST(ByteViewTest, ReadsBothByteOrders) {
  const std::vector<std::uint8_t> bytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0xFF};
  const ByteView v(bytes);
  EXPECT_EQ(v.U8(8), 0xFF);
  EXPECT_EQ(v.U16LE(0), 0x0201);
  EXPECT_EQ(v.U16BE(0), 0x0102);
  EXPECT_EQ(v.U32LE(1), 0x05040302u);
  EXPECT_EQ(v.U32BE(1), 0x02030405u);
  EXPECT_EQ(v.U64LE(0), 0x0807060504030201ull);
  EXPECT_EQ(v.U64BE(1), 0x02030405060708FFull);
  EXPECT_EQ(v.U16LE(7), 0xFF08);  // the last whole pair
  EXPECT_EQ(LoadU32LE(bytes.data() + 5), 0xFF080706u);
  EXPECT_EQ(LoadU64LE(bytes.data()), *v.U64LE(0));
}

TEST(ByteViewTest, NeverReadsPastTheEnd) {
  // Exact-size heap block so that any overrun is caught by the sanitizer.
  constexpr std::size_t kSize = 7;
  auto block = std::make_unique<std::uint8_t[]>(kSize);
  const ByteView v(block.get(), kSize);
  EXPECT_TRUE(v.U8(6).has_value());
  EXPECT_FALSE(v.U8(7).has_value());
  EXPECT_FALSE(v.U16LE(6).has_value());
  EXPECT_FALSE(v.U32BE(4).has_value());
  EXPECT_TRUE(v.U32BE(3).has_value());
  EXPECT_FALSE(v.U64LE(0).has_value());
  constexpr std::size_t kHuge = std::numeric_limits<std::size_t>::max();
  EXPECT_FALSE(v.U32LE(kHuge).has_value());
  EXPECT_FALSE(v.U16LE(kHuge - 1).has_value());
  EXPECT_FALSE(v.Has(2, kHuge));  // would wrap if added
  EXPECT_FALSE(v.Sub(1, kHuge).has_value());
  EXPECT_TRUE(v.Has(7, 0));
  EXPECT_EQ(v.Sub(3, 4)->size(), 4u);
  EXPECT_FALSE(v.Sub(3, 5).has_value());
  EXPECT_TRUE(v.From(7).empty());
  EXPECT_TRUE(v.From(kHuge).empty());
  EXPECT_EQ(v.From(5).size(), 2u);
  const ByteView empty;
  EXPECT_FALSE(empty.U8(0).has_value());
}

// The eight-bytes-at-a-time tests mark exactly the bytes the one-byte tests would: every byte
// value in every lane, beside neighbours that could carry or borrow into it.
TEST(ByteView, EightByteTestsMarkExactlyTheBytesTheyName) {
  const auto stray = [](unsigned b) { return b < 0x20 && b != '\t' && b != '\n' && b != '\f' && b != '\r'; };
  for (const std::uint8_t fill : {0x00, 0x01, 0x1F, 0x20, 0x7F, 0x80, 0xFF}) {
    for (unsigned lane = 0; lane < 8; ++lane) {
      for (unsigned b = 0; b < 256; ++b) {
        std::uint8_t bytes[8];
        std::memset(bytes, fill, sizeof bytes);
        bytes[lane] = static_cast<std::uint8_t>(b);
        const std::uint64_t x = LoadU64LE(bytes);
        std::uint64_t zero = 0;
        std::uint64_t brace = 0;
        std::uint64_t control = 0;
        for (unsigned k = 0; k < 8; ++k) {
          const std::uint64_t bit = std::uint64_t{0x80} << (8 * k);
          zero |= bytes[k] == 0 ? bit : 0;
          brace |= bytes[k] == '{' ? bit : 0;
          control |= stray(bytes[k]) ? bit : 0;
        }
        ASSERT_EQ(ZeroBytes(x), zero) << b << " in lane " << lane;
        ASSERT_EQ(BytesEqualTo(x, '{'), brace) << b << " in lane " << lane;
        ASSERT_EQ(StrayControlBytes(x), control) << b << " in lane " << lane;
      }
    }
  }
}

}  // namespace
}  // namespace rexmoor
