#include "formats/byte_search.h"

#include <cstring>

namespace rexmoor {

const std::uint8_t* FindForward(std::size_t count, const std::uint8_t* data, const std::uint8_t* pattern,
                                std::size_t patternLength) {
  if (data == nullptr || pattern == nullptr || patternLength == 0 || count < patternLength) return nullptr;
  const std::uint8_t first = pattern[0];
  const std::size_t lastStart = count - patternLength;
  std::size_t pos = 0;
  while (pos <= lastStart) {
    const void* hit = std::memchr(data + pos, first, lastStart - pos + 1);
    if (hit == nullptr) return nullptr;
    pos = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - data);
    if (std::memcmp(data + pos + 1, pattern + 1, patternLength - 1) == 0) return data + pos;
    ++pos;
  }
  return nullptr;
}

const std::uint8_t* FindBackward(std::size_t count, const std::uint8_t* data, const std::uint8_t* pattern,
                                 std::size_t patternLength) {
  if (data == nullptr || pattern == nullptr || patternLength == 0 || count < patternLength) return nullptr;
  const std::uint8_t first = pattern[0];
  std::size_t pos = count - patternLength + 1;
  while (pos > 0) {
    --pos;
    if (data[pos] == first && std::memcmp(data + pos + 1, pattern + 1, patternLength - 1) == 0) return data + pos;
  }
  return nullptr;
}

}  // namespace rexmoor
