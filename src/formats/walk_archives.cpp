#include "formats/walk_archives.h"

#include <zlib.h>

#include <array>
#include <cstring>
#include <vector>

#include "platform/byte_view.h"

namespace rexmoor::formats {

namespace {

// No archive or document has more records than this; it bounds every walk on hostile bytes.
constexpr std::uint32_t kMaxRecords = 1000000;

// Whether [offset, offset + n) lies within the first `limit` bytes.
bool Within(std::uint64_t offset, std::uint64_t n, std::uint64_t limit) { return offset <= limit && n <= limit - offset; }

// n bytes at offset, all of them within the limit.
bool Fetch(FileBytes& file, std::uint64_t offset, void* out, std::size_t n, std::uint64_t limit) {
  return Within(offset, n, limit) && file.Read(offset, out, n);
}

// offset + a + b, false on overflow.
bool AddSizes(std::uint64_t offset, std::uint64_t a, std::uint64_t b, std::uint64_t* out) {
  return !__builtin_add_overflow(offset, a, out) && !__builtin_add_overflow(*out, b, out);
}

// Whether the medium holds the byte before `end`: a length read from a field is only the file's
// when its last byte is there to be had.
bool Reaches(FileBytes& file, std::uint64_t end) { return end == 0 || !file.View(end - 1, 1).empty(); }

// CRC-32 of [offset, offset + n), read through views; false when any of it cannot be had.
bool Crc32Of(FileBytes& file, std::uint64_t offset, std::uint64_t n, std::uint64_t limit, std::uint32_t* crc) {
  if (!Within(offset, n, limit)) return false;
  uLong c = crc32(0L, Z_NULL, 0);
  while (n > 0) {
    const auto v = file.View(offset, static_cast<std::size_t>(std::min<std::uint64_t>(n, kMaxFileView)));
    if (v.empty()) return false;
    c = crc32(c, v.data(), static_cast<uInt>(v.size()));
    offset += v.size();
    n -= v.size();
  }
  *crc = static_cast<std::uint32_t>(c);
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// 7z

WalkResult Measure7z(FileBytes& file, std::uint64_t limit) {
  static constexpr std::uint8_t kMagic[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
  std::uint8_t h[32];
  if (!Fetch(file, 0, h, sizeof h, limit)) return Unsure();
  if (std::memcmp(h, kMagic, sizeof kMagic) != 0 || h[6] != 0) return NotThisFormat();
  if (static_cast<std::uint32_t>(crc32(0L, h + 12, 20)) != LoadU32LE(h + 8)) return NotThisFormat();
  const std::uint64_t offset = LoadU64LE(h + 12);
  const std::uint64_t size = LoadU64LE(h + 20);
  std::uint64_t end = 0;
  if (!AddSizes(32, offset, size, &end)) return NotThisFormat();
  if (end > limit) return Unsure();
  if (size == 0) return offset == 0 ? Measured(32) : Unsure();
  // The next header opens with its kind: a plain header (1) or a packed one (0x17).
  std::uint8_t kind = 0;
  if (!Fetch(file, 32 + offset, &kind, 1, limit)) return Unsure();
  std::uint32_t crc = 0;
  if ((kind != 0x01 && kind != 0x17) || !Crc32Of(file, 32 + offset, size, limit, &crc) || crc != LoadU32LE(h + 28))
    return Unsure();
  return Measured(end);
}

}  // namespace rexmoor::formats
