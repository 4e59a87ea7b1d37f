// Bounds-checked reads of fixed-width integers from untrusted bytes. Every parser of an on-disk
// structure goes through this view instead of casting bytes to structs, so a short or truncated
// buffer gives "no value" rather than a read past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace rexmoor {

class ByteView {
 public:
  constexpr ByteView() = default;
  constexpr explicit ByteView(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  constexpr ByteView(const std::uint8_t* data, std::size_t size) : bytes_(data, size) {}

  constexpr std::size_t size() const { return bytes_.size(); }
  constexpr bool empty() const { return bytes_.empty(); }
  constexpr std::span<const std::uint8_t> bytes() const { return bytes_; }

  // True when [offset, offset + length) lies inside the view; written so it cannot overflow.
  constexpr bool Has(std::size_t offset, std::size_t length) const {
    return offset <= bytes_.size() && length <= bytes_.size() - offset;
  }

  // The sub-range [offset, offset + length), or nothing when it does not fit.
  constexpr std::optional<std::span<const std::uint8_t>> Sub(std::size_t offset,
                                                             std::size_t length) const {
    if (!Has(offset, length)) return std::nullopt;
    return bytes_.subspan(offset, length);
  }
  // Everything from offset to the end (empty when offset is past the end).
  constexpr std::span<const std::uint8_t> From(std::size_t offset) const {
    return offset <= bytes_.size() ? bytes_.subspan(offset) : std::span<const std::uint8_t>();
  }

  constexpr std::optional<std::uint8_t> U8(std::size_t offset) const {
    if (!Has(offset, 1)) return std::nullopt;
    return bytes_[offset];
  }
  constexpr std::optional<std::uint16_t> U16LE(std::size_t o) const { return Read<std::uint16_t, 2, false>(o); }
  constexpr std::optional<std::uint32_t> U32LE(std::size_t o) const { return Read<std::uint32_t, 4, false>(o); }
  constexpr std::optional<std::uint64_t> U64LE(std::size_t o) const { return Read<std::uint64_t, 8, false>(o); }
  constexpr std::optional<std::uint16_t> U16BE(std::size_t o) const { return Read<std::uint16_t, 2, true>(o); }
  constexpr std::optional<std::uint32_t> U32BE(std::size_t o) const { return Read<std::uint32_t, 4, true>(o); }
  constexpr std::optional<std::uint64_t> U64BE(std::size_t o) const { return Read<std::uint64_t, 8, true>(o); }

 private:
  template <typename T, std::size_t N, bool BigEndian>
  constexpr std::optional<T> Read(std::size_t offset) const {
    if (!Has(offset, N)) return std::nullopt;
    T value = 0;
    for (std::size_t i = 0; i < N; ++i) {
      const std::size_t index = BigEndian ? offset + i : offset + N - 1 - i;
      value = static_cast<T>((value << 8) | bytes_[index]);
    }
    return value;
  }

  std::span<const std::uint8_t> bytes_;
};

// Unchecked little-endian loads for callers that have already checked the range once (hot loops
// over a fixed-size record). The pointer must have at least 2, 4 or 8 readable bytes.
constexpr std::uint16_t LoadU16LE(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
constexpr std::uint32_t LoadU32LE(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
constexpr std::uint64_t LoadU64LE(const std::uint8_t* p) {
  return static_cast<std::uint64_t>(LoadU32LE(p)) |
         (static_cast<std::uint64_t>(LoadU32LE(p + 4)) << 32);
}

// The same, big-endian (the byte order of most media and font formats).
constexpr std::uint16_t LoadU16BE(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
constexpr std::uint32_t LoadU32BE(const std::uint8_t* p) {
  return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
         (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}
constexpr std::uint64_t LoadU64BE(const std::uint8_t* p) {
  return (static_cast<std::uint64_t>(LoadU32BE(p)) << 32) | LoadU32BE(p + 4);
}

// Eight bytes at a time, loaded with LoadU64LE: each answer marks a byte by its high bit.
inline constexpr std::uint64_t kEveryByte = 0x0101010101010101ull;
inline constexpr std::uint64_t kHighBits = kEveryByte * 0x80;
// The bytes that are zero.
constexpr std::uint64_t ZeroBytes(std::uint64_t x) { return ~(((x & ~kHighBits) + ~kHighBits) | x) & kHighBits; }
constexpr std::uint64_t BytesEqualTo(std::uint64_t x, std::uint8_t c) { return ZeroBytes(x ^ (kEveryByte * c)); }
// The bytes under 0x20 other than the tab, line feed, form feed and carriage return text holds.
constexpr std::uint64_t StrayControlBytes(std::uint64_t x) {
  const std::uint64_t below = ~(((x & ~kHighBits) + kEveryByte * 0x60) | x) & kHighBits;
  if (below == 0) return 0;
  return below & ~(BytesEqualTo(x, '\t') | BytesEqualTo(x, '\n') | BytesEqualTo(x, '\f') | BytesEqualTo(x, '\r'));
}

}  // namespace rexmoor
