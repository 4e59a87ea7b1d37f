#include "formats/crc32c.h"

#include <array>

namespace rexmoor {
namespace {

constexpr std::array<std::uint32_t, 256> MakeTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;  // reflected polynomial
    table[i] = c;
  }
  return table;
}

constexpr std::array<std::uint32_t, 256> kTable = MakeTable();

}  // namespace

std::uint32_t Crc32c(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
  for (std::uint8_t b : bytes) crc = kTable[(crc ^ b) & 0xFFu] ^ (crc >> 8);
  return crc;
}

}  // namespace rexmoor
