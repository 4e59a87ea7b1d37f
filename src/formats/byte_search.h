// Searches for a byte pattern in a buffer, used by the footer rules of the carver. Both return a
// pointer into the data, or null when the pattern does not occur (also when the data is shorter
// than the pattern or the pattern is empty).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace rexmoor {

const std::uint8_t* FindForward(std::size_t count, const std::uint8_t* data, const std::uint8_t* pattern,
                                std::size_t patternLength);
const std::uint8_t* FindBackward(std::size_t count, const std::uint8_t* data, const std::uint8_t* pattern,
                                 std::size_t patternLength);

inline const std::uint8_t* FindForward(std::span<const std::uint8_t> data, std::span<const std::uint8_t> pattern) {
  return FindForward(data.size(), data.data(), pattern.data(), pattern.size());
}
inline const std::uint8_t* FindBackward(std::span<const std::uint8_t> data, std::span<const std::uint8_t> pattern) {
  return FindBackward(data.size(), data.data(), pattern.data(), pattern.size());
}

}  // namespace rexmoor
