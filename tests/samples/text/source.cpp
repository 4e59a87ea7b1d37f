#include "formats/byte_search.h"

#include <cstring>

namespace rexmoor {

namespace {

// The pattern byte the searches look for first: the last one that is neither 00 nor FF, as those
// fill whole regions of a medium (and of most files), where a search for them stops at every byte.
std::size_t PivotOf(const std::uint8_t* pattern, std::size_t patternLength) {
  for (std::size_t k = patternLength; k > 0; --k)
    if (pattern[k - 1] != 0x00 && pattern[k - 1] != 0xFF) return k - 1;
  return patternLength - 1;
}

}  // namespace

const std::uint8_t* FindForward(std::size_t count, const std::uint8_t* data, const std::uint8_t* pattern,
                                std::size_t patternLength) {
  if (data == nullptr || pattern == nullptr || patternLength == 0 || count < patternLength) return nullptr;
  const std::size_t k = PivotOf(pattern, patternLength);
  const std::uint8_t pivot = pattern[k];
  const std::size_t lastStart = count - patternLength;
  std::size_t start = 0;  // the next start to try
  while (start <= lastStart) {
    const void* hit = std::memchr(data + start + k, pivot, lastStart - start + 1);
    if (hit == nullptr) return nullptr;
    start = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - data) - k;
    if (std::memcmp(data + start, pattern, patternLength) == 0) return data + start;
    ++start;
  }
  return nullptr;
}

const std::uint8_t* FindBackward(std::size_t count, const std::uint8_t* data, const std::uint8_t* pattern,
                                 std::size_t patternLength) {
  if (data == nullptr || pattern == nullptr || patternLength == 0 || count < patternLength) return nullptr;
  const std::size_t k = PivotOf(pattern, patternLength);
  const std::uint8_t pivot = pattern[k];
  std::size_t starts = count - patternLength + 1;  // starts 0 .. starts-1 are left to try
  while (starts > 0) {
    const void* hit = ::memrchr(data + k, pivot, starts);
    if (hit == nullptr) return nullptr;
    const std::size_t start = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - data) - k;
    if (std::memcmp(data + start, pattern, patternLength) == 0) return data + start;
    starts = start;
  }
  return nullptr;
}

}  // namespace rexmoor
