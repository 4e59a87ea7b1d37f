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
bool Within(std::uint64_t offset, std::uint64_t n, std::uint64_t limit) {
  return offset <= limit && n <= limit - offset;
}

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

// ---------------------------------------------------------------------------------------------
// ZIP

namespace {

constexpr std::uint32_t kZipLocal = 0x04034B50;
constexpr std::uint32_t kZipCentral = 0x02014B50;
constexpr std::uint32_t kZipEnd = 0x06054B50;
constexpr std::uint32_t kZip64End = 0x06064B50;
constexpr std::uint32_t kZip64Locator = 0x07064B50;
constexpr std::uint32_t kZipDescriptor = 0x08074B50;
constexpr std::uint32_t kZipSignature = 0x05054B50;
constexpr std::uint32_t kZipSpanMarker = 0x30304B50;  // "PK00": a split archive made whole

bool KnownZipMethod(std::uint16_t m) {
  return m <= 20 || (m >= 93 && m <= 99);
}

// Whether a record that may follow an entry's data starts with this signature.
bool ZipRecordFollows(std::uint32_t sig) {
  return sig == kZipLocal || sig == kZipCentral || sig == kZipSignature || sig == kZip64End || sig == kZipEnd;
}

// Where the data descriptor that closes an entry ends, found by its signature (or, unsigned, by
// the next record's signature) with a compressed size equal to its distance from the data.
// 0 when the limit or the medium's end comes first.
std::uint64_t FindDescriptorEnd(FileBytes& file, std::uint64_t dataStart, std::uint64_t limit) {
  std::uint64_t pos = dataStart;
  while (pos < limit) {
    const auto v = file.View(pos, static_cast<std::size_t>(std::min<std::uint64_t>(limit - pos, kMaxFileView)));
    if (v.size() < 4) return 0;
    std::uint64_t candidate = 0;
    bool found = false;
    for (const std::uint8_t* p = v.data(); p + 4 <= v.data() + v.size();) {
      p = static_cast<const std::uint8_t*>(std::memchr(p, 'P', static_cast<std::size_t>(v.data() + v.size() - 3 - p)));
      if (p == nullptr) break;
      if (p[1] == 'K' && ((p[2] == 7 && p[3] == 8) || (p[2] == 3 && p[3] == 4) || (p[2] == 1 && p[3] == 2))) {
        candidate = pos + static_cast<std::uint64_t>(p - v.data());
        found = true;
        break;
      }
      ++p;
    }
    if (!found) {
      pos += v.size() - 3;
      continue;
    }
    // The view is no longer used from here on: Read below replaces it.
    std::uint8_t d[24];
    if (!Fetch(file, candidate, d, 4, limit)) return 0;
    const std::uint32_t sig = LoadU32LE(d);
    const std::uint64_t packed = candidate - dataStart;
    if (sig == kZipDescriptor) {
      // 32-bit sizes or Zip64 ones: when the packed size fits both, the record that follows tells.
      std::uint8_t e[28] = {};
      if (!Fetch(file, candidate, e, 16, limit)) return 0;
      (void)Fetch(file, candidate, e, 28, limit);
      const bool short32 = LoadU32LE(e + 8) == packed;
      const bool long64 = LoadU64LE(e + 8) == packed;
      const auto record = [&](int at) { return ZipRecordFollows(LoadU32LE(e + at)); };
      if (long64 && (!short32 || (record(24) && !record(16)))) return candidate + 24;
      if (short32) return candidate + 16;
    } else {
      // Unsigned: CRC and sizes right before the next record's signature.
      if (packed >= 12 && Fetch(file, candidate - 12, d, 12, limit) && LoadU32LE(d + 4) == packed - 12)
        return candidate;
      if (packed >= 20 && Fetch(file, candidate - 20, d, 20, limit) && LoadU64LE(d + 4) == packed - 20)
        return candidate;
    }
    pos = candidate + 1;
  }
  return 0;
}

}  // namespace

WalkResult MeasureZip(FileBytes& file, std::uint64_t limit) {
  std::uint64_t pos = 0;
  std::uint8_t h[64];
  if (!Fetch(file, 0, h, 4, limit)) return Unsure();
  const std::uint32_t first = LoadU32LE(h);
  if (first == kZipDescriptor || first == kZipSpanMarker) pos = 4;

  std::uint64_t locals = 0;
  std::uint64_t centrals = 0;
  std::uint64_t centralStart = 0;
  std::uint64_t centralEnd = 0;
  std::uint64_t zip64EndAt = 0;
  bool zip64 = false;
  std::uint64_t zip64Entries = 0, zip64CdSize = 0, zip64CdOffset = 0;

  for (std::uint32_t records = 0; records < 3 * kMaxRecords; ++records) {
    // Until the first entry parses, a mismatch means the header test matched by chance.
    const WalkResult broken = locals + centrals == 0 ? NotThisFormat() : Unsure();
    if (!Fetch(file, pos, h, 4, limit)) return Unsure();
    const std::uint32_t sig = LoadU32LE(h);
    if (sig == kZipLocal) {
      if (centrals > 0) return Unsure();
      if (!Fetch(file, pos, h, 30, limit)) return Unsure();
      const std::uint16_t flags = LoadU16LE(h + 6);
      const std::uint16_t method = LoadU16LE(h + 8);
      std::uint64_t packed = LoadU32LE(h + 18);
      const std::uint16_t nameLength = LoadU16LE(h + 26);
      const std::uint16_t extraLength = LoadU16LE(h + 28);
      if (h[4] > 100 || !KnownZipMethod(method) || nameLength == 0) return broken;
      const std::uint64_t dataStart = pos + 30 + nameLength + extraLength;
      if (packed == 0xFFFFFFFF || LoadU32LE(h + 22) == 0xFFFFFFFF) {
        // Zip64 sizes stand in the extra field (tag 1: original size, then packed size).
        std::vector<std::uint8_t> extra(extraLength);
        if (!Fetch(file, pos + 30 + nameLength, extra.data(), extra.size(), limit)) return Unsure();
        bool have = false;
        for (std::size_t e = 0; e + 4 <= extra.size();) {
          const std::uint16_t tag = LoadU16LE(&extra[e]);
          const std::uint16_t len = LoadU16LE(&extra[e + 2]);
          if (e + 4 + len > extra.size()) break;
          if (tag == 1 && len >= 16) {
            packed = LoadU64LE(&extra[e + 12]);
            have = true;
          } else if (tag == 1 && len >= 8 && packed == 0xFFFFFFFF) {
            packed = LoadU64LE(&extra[e + 4]);
            have = true;
          }
          e += 4 + len;
        }
        if (!have && !(flags & 8)) return broken;
      }
      std::uint64_t next = 0;
      if ((flags & 8) && (packed == 0 || packed == 0xFFFFFFFF)) {
        next = FindDescriptorEnd(file, dataStart, limit);
        if (next == 0) return Unsure();
      } else if (!AddSizes(dataStart, packed, 0, &next)) {
        return broken;
      } else if (flags & 8) {
        // Sizes known up front and a descriptor as well: it follows the data, signed or not.
        std::uint8_t d[4];
        if (!Fetch(file, next, d, 4, limit)) return Unsure();
        next += LoadU32LE(d) == kZipDescriptor ? 16 : 12;
      }
      ++locals;
      pos = next;
    } else if (sig == kZipCentral) {
      if (!Fetch(file, pos, h, 46, limit)) return Unsure();
      if (!KnownZipMethod(LoadU16LE(h + 10))) return broken;
      if (centrals == 0) centralStart = pos;
      ++centrals;
      pos += 46 + std::uint64_t{LoadU16LE(h + 28)} + LoadU16LE(h + 30) + LoadU16LE(h + 32);
      centralEnd = pos;
    } else if (sig == kZipSignature) {
      if (!Fetch(file, pos, h, 6, limit)) return Unsure();
      pos += 6 + std::uint64_t{LoadU16LE(h + 4)};
      centralEnd = pos;
    } else if (sig == kZip64End) {
      if (!Fetch(file, pos, h, 56, limit)) return Unsure();
      const std::uint64_t size = LoadU64LE(h + 4);
      if (size < 44) return broken;
      zip64 = true;
      zip64EndAt = pos;
      zip64Entries = LoadU64LE(h + 32);
      zip64CdSize = LoadU64LE(h + 40);
      zip64CdOffset = LoadU64LE(h + 48);
      if (!AddSizes(pos, 12, size, &pos)) return broken;
    } else if (sig == kZip64Locator) {
      if (!Fetch(file, pos, h, 20, limit)) return Unsure();
      if (!zip64 || LoadU64LE(h + 8) != zip64EndAt) return broken;
      pos += 20;
    } else if (sig == kZipEnd) {
      if (!Fetch(file, pos, h, 22, limit)) return Unsure();
      std::uint64_t entries = LoadU16LE(h + 10);
      std::uint64_t cdSize = LoadU32LE(h + 12);
      std::uint64_t cdOffset = LoadU32LE(h + 16);
      if (zip64 && entries == 0xFFFF) entries = zip64Entries;
      if (zip64 && cdSize == 0xFFFFFFFF) cdSize = zip64CdSize;
      if (zip64 && cdOffset == 0xFFFFFFFF) cdOffset = zip64CdOffset;
      // The end record must describe the central directory just walked, or it is not this
      // archive's end (damage, or a stray record).
      const std::uint64_t start = centrals > 0 ? centralStart : pos;
      const std::uint64_t bytes = centrals > 0 ? centralEnd - centralStart : 0;
      if (entries != centrals || cdOffset != start || cdSize != bytes) return broken;
      const std::uint64_t end = pos + 22 + LoadU16LE(h + 20);
      if (end > limit || !Reaches(file, end)) return Unsure();
      return Measured(end);
    } else {
      return broken;
    }
    if (pos > limit) return Unsure();
  }
  return Unsure();
}

// ---------------------------------------------------------------------------------------------
// RAR

namespace {

// A RAR 5 variable-length integer at p (at most `avail` bytes); its length, or 0 when it is
// longer than 10 bytes or runs off the end.
std::size_t ReadVint(const std::uint8_t* p, std::size_t avail, std::uint64_t* value) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < avail && i < 10; ++i) {
    v |= std::uint64_t{p[i] & 0x7Fu} << (7 * i);
    if (!(p[i] & 0x80)) {
      *value = v;
      return i + 1;
    }
  }
  return 0;
}

WalkResult MeasureRar4(FileBytes& file, std::uint64_t limit) {
  std::uint64_t pos = 7;  // the marker block
  std::vector<std::uint8_t> head;
  for (std::uint32_t blocks = 0; blocks < kMaxRecords; ++blocks) {
    std::uint8_t b[7];
    if (!Fetch(file, pos, b, sizeof b, limit)) return Unsure();
    const std::uint8_t type = b[2];
    const std::uint16_t flags = LoadU16LE(b + 3);
    const std::uint16_t size = LoadU16LE(b + 5);
    const bool fileLike = type == 0x74 || type == 0x7A;  // file and service headers carry data
    bool valid = type >= 0x73 && type <= 0x7B && size >= (fileLike ? 32 : 7);
    if (valid) {
      head.resize(size);
      if (!Fetch(file, pos, head.data(), size, limit)) return Unsure();
      valid = (crc32(0L, head.data() + 2, size - 2) & 0xFFFF) == LoadU16LE(b);
    }
    if (blocks == 0 && (!valid || type != 0x73)) return NotThisFormat();
    // With encrypted headers no block after the main one can be read.
    if (blocks == 0 && (flags & 0x80)) return Unsure();
    // An archive that does not close with an end block ends after its last sound block.
    if (!valid) return Measured(pos);
    std::uint64_t data = 0;
    if (fileLike) {
      data = LoadU32LE(head.data() + 7);
      if (flags & 0x100) {
        if (size < 36) return Measured(pos);
        data |= std::uint64_t{LoadU32LE(head.data() + 32)} << 32;
      }
    } else if (flags & 0x8000) {
      if (size < 11) return Measured(pos);
      data = LoadU32LE(head.data() + 7);
    }
    std::uint64_t next = 0;
    if (!AddSizes(pos, size, data, &next) || next > limit) return Unsure();
    if (type == 0x7B) return Reaches(file, next) ? Measured(next) : Unsure();
    pos = next;
  }
  return Unsure();
}

WalkResult MeasureRar5(FileBytes& file, std::uint64_t limit) {
  std::uint64_t pos = 8;
  for (std::uint32_t blocks = 0; blocks < kMaxRecords; ++blocks) {
    const WalkResult broken = blocks == 0 ? NotThisFormat() : Unsure();
    std::uint8_t b[48] = {};
    if (pos >= limit) return Unsure();
    const auto v = file.View(pos, static_cast<std::size_t>(std::min<std::uint64_t>(limit - pos, sizeof b)));
    if (v.size() < 7) return Unsure();
    std::memcpy(b, v.data(), v.size());
    const std::size_t avail = v.size();
    std::uint64_t headerSize = 0;
    const std::size_t sizeLength = ReadVint(b + 4, avail - 4, &headerSize);
    // Headers are at most 2 MiB.
    if (sizeLength == 0 || headerSize == 0 || headerSize > 0x200000) return broken;
    std::uint32_t crc = 0;
    if (!Crc32Of(file, pos + 4, sizeLength + headerSize, limit, &crc)) return Unsure();
    if (crc != LoadU32LE(b)) return broken;
    std::size_t at = 4 + sizeLength;
    const std::size_t headerEnd = static_cast<std::size_t>(std::min<std::uint64_t>(at + headerSize, avail));
    std::uint64_t type = 0, flags = 0, extra = 0, data = 0;
    std::size_t n = ReadVint(b + at, headerEnd - at, &type);
    if (n == 0) return broken;
    at += n;
    n = ReadVint(b + at, headerEnd - at, &flags);
    if (n == 0) return broken;
    at += n;
    if (flags & 1) {
      n = ReadVint(b + at, headerEnd - at, &extra);
      if (n == 0) return broken;
      at += n;
    }
    if (flags & 2) {
      n = ReadVint(b + at, headerEnd - at, &data);
      if (n == 0) return broken;
    }
    if (type < 1 || type > 5 || (blocks == 0 && type != 1 && type != 4)) return broken;
    // Past an encryption header the headers themselves are encrypted: no walk goes on.
    if (type == 4) return Unsure();
    std::uint64_t next = 0;
    if (!AddSizes(pos, 4 + sizeLength, headerSize, &next) || !AddSizes(next, data, 0, &next) || next > limit)
      return Unsure();
    if (type == 5) return Reaches(file, next) ? Measured(next) : Unsure();
    pos = next;
  }
  return Unsure();
}

}  // namespace

WalkResult MeasureRar(FileBytes& file, std::uint64_t limit) {
  static constexpr std::uint8_t kRar4[7] = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x00};
  static constexpr std::uint8_t kRar5[8] = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x01, 0x00};
  std::uint8_t m[8];
  if (!Fetch(file, 0, m, sizeof m, limit)) return Unsure();
  if (std::memcmp(m, kRar5, sizeof kRar5) == 0) return MeasureRar5(file, limit);
  if (std::memcmp(m, kRar4, sizeof kRar4) == 0) return MeasureRar4(file, limit);
  return NotThisFormat();
}

// ---------------------------------------------------------------------------------------------
// gzip

namespace {

// Inflating a deflate or zlib stream in place on the medium.

struct Inflated {
  enum Kind : std::uint8_t { kEnd, kBadData, kCutOff } kind = kCutOff;
  std::uint64_t consumed = 0;  // compressed bytes up to the stream's end (kEnd)
  std::uint64_t produced = 0;  // bytes it inflated to
  std::uint32_t crc = 0;       // CRC-32 of those bytes
};

// Inflates from `start` to the stream's end, never reading past `limit`. The output goes to a
// small buffer that is reused: only its length and CRC are kept. More than `maxOut` bytes of
// output counts as bad data.
Inflated InflateAt(FileBytes& file, std::uint64_t start, std::uint64_t limit, int windowBits,
                   std::uint64_t maxOut) {
  Inflated r;
  z_stream zs{};
  if (inflateInit2(&zs, windowBits) != Z_OK) return r;
  std::array<std::uint8_t, 32768> out;
  uLong crc = crc32(0L, Z_NULL, 0);
  std::uint64_t pos = start;
  for (;;) {
    if (zs.avail_in == 0) {
      if (pos >= limit) break;
      const auto v = file.View(pos, static_cast<std::size_t>(std::min<std::uint64_t>(limit - pos, kMaxFileView)));
      if (v.empty()) break;
      // zlib only reads through next_in; the view stays valid until the next View call.
      zs.next_in = const_cast<Bytef*>(v.data());
      zs.avail_in = static_cast<uInt>(v.size());
      pos += v.size();
    }
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    const int rc = inflate(&zs, Z_NO_FLUSH);
    const std::size_t got = out.size() - zs.avail_out;
    r.produced += got;
    if (got > 0) crc = crc32(crc, out.data(), static_cast<uInt>(got));
    if (r.produced > maxOut) {
      r.kind = Inflated::kBadData;
      break;
    }
    if (rc == Z_STREAM_END) {
      r.kind = Inflated::kEnd;
      r.consumed = pos - zs.avail_in - start;
      break;
    }
    if (rc != Z_OK && !(rc == Z_BUF_ERROR && zs.avail_in == 0)) {
      r.kind = Inflated::kBadData;
      break;
    }
  }
  r.crc = static_cast<std::uint32_t>(crc);
  inflateEnd(&zs);
  return r;
}

enum class GzipHeader : std::uint8_t { kOk, kNotHeader, kCutOff };

// The member header at pos: where its deflate data starts.
GzipHeader ParseGzipHeader(FileBytes& file, std::uint64_t pos, std::uint64_t limit, std::uint64_t* dataStart) {
  // Whatever does not open with the magic is not a member, even where the medium ends in it.
  if (pos >= limit) return GzipHeader::kNotHeader;
  const auto magic = file.View(pos, static_cast<std::size_t>(std::min<std::uint64_t>(limit - pos, 3)));
  if (magic.size() < 3 || magic[0] != 0x1F || magic[1] != 0x8B || magic[2] != 8) return GzipHeader::kNotHeader;
  std::uint8_t h[10];
  if (!Fetch(file, pos, h, sizeof h, limit)) return GzipHeader::kCutOff;
  const std::uint8_t flags = h[3];
  // Reserved flag bits clear, extra flags as gzip and zlib write them, a known system.
  if ((flags & 0xE0) || (h[8] != 0 && h[8] != 2 && h[8] != 4) ||
      (h[9] > 13 && h[9] != 255))
    return GzipHeader::kNotHeader;
  std::uint64_t at = pos + 10;
  if (flags & 4) {
    std::uint8_t x[2];
    if (!Fetch(file, at, x, 2, limit)) return GzipHeader::kCutOff;
    at += 2 + std::uint64_t{LoadU16LE(x)};
  }
  // Name and comment: zero-terminated, and no real one is longer than this.
  constexpr std::size_t kMaxText = 0x10000;
  for (const std::uint8_t bit : {std::uint8_t{8}, std::uint8_t{16}}) {
    if (!(flags & bit)) continue;
    if (at >= limit) return GzipHeader::kCutOff;
    const auto v = file.View(at, static_cast<std::size_t>(std::min<std::uint64_t>(limit - at, kMaxText)));
    const void* zero = v.empty() ? nullptr : std::memchr(v.data(), 0, v.size());
    if (zero == nullptr) return v.size() == kMaxText ? GzipHeader::kNotHeader : GzipHeader::kCutOff;
    at += static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(zero) - v.data()) + 1;
  }
  if (flags & 2) {
    std::uint32_t crc = 0;
    std::uint8_t c[2];
    if (!Crc32Of(file, pos, at - pos, limit, &crc) || !Fetch(file, at, c, 2, limit)) return GzipHeader::kCutOff;
    if ((crc & 0xFFFF) != LoadU16LE(c)) return GzipHeader::kNotHeader;
    at += 2;
  }
  *dataStart = at;
  return GzipHeader::kOk;
}

}  // namespace

WalkResult MeasureGzip(FileBytes& file, std::uint64_t limit) {
  std::uint64_t end = 0;  // the end of the last whole member
  for (std::uint32_t members = 0; members < kMaxRecords; ++members) {
    std::uint64_t dataStart = 0;
    const GzipHeader header = ParseGzipHeader(file, end, limit, &dataStart);
    if (header == GzipHeader::kCutOff) return Unsure();
    if (header == GzipHeader::kNotHeader) return members == 0 ? NotThisFormat() : Measured(end);
    const Inflated z = InflateAt(file, dataStart, limit, -15, ~std::uint64_t{0});
    if (z.kind == Inflated::kCutOff) return Unsure();
    if (z.kind == Inflated::kBadData) {
      // A first member that does not inflate at all was never gzip; bytes after a whole member
      // that only look like a header are not one.
      if (members > 0) return Measured(end);
      return z.produced == 0 ? NotThisFormat() : Unsure();
    }
    std::uint8_t t[8];
    if (!Fetch(file, dataStart + z.consumed, t, sizeof t, limit)) return Unsure();
    if (LoadU32LE(t) != z.crc || LoadU32LE(t + 4) != static_cast<std::uint32_t>(z.produced))
      return members > 0 ? Measured(end) : Unsure();
    end = dataStart + z.consumed + 8;
  }
  return Unsure();
}

// ---------------------------------------------------------------------------------------------
// PDF

namespace {

bool PdfSpace(std::uint8_t c) { return c == ' ' || c == '\r' || c == '\n' || c == '\t' || c == '\f' || c == 0; }
bool Digit(std::uint8_t c) { return c >= '0' && c <= '9'; }

// Whether p (n bytes) starts, after white space, with "<number> <number> obj" or "xref": what
// an object, a cross-reference section or an incremental update begins with.
bool StartsPdfBody(const std::uint8_t* p, std::size_t n) {
  std::size_t i = 0;
  while (i < n && PdfSpace(p[i])) ++i;
  if (n - i >= 4 && std::memcmp(p + i, "xref", 4) == 0) return true;
  for (int number = 0; number < 2; ++number) {
    const std::size_t digits = i;
    while (i < n && Digit(p[i]) && i - digits < 10) ++i;
    if (i == digits || i >= n || !PdfSpace(p[i])) return false;
    while (i < n && PdfSpace(p[i])) ++i;
  }
  return n - i >= 3 && std::memcmp(p + i, "obj", 3) == 0;
}

// Whether the "%%EOF" at `at` closes a revision: "startxref", a number and white space stand
// right before it, and the number points at a cross-reference section or stream before it.
bool TrueEndMarker(FileBytes& file, std::uint64_t at, std::uint64_t limit) {
  std::uint8_t b[64];
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(at, sizeof b));
  if (n < 12 || !Fetch(file, at - n, b, n, limit)) return false;
  std::size_t i = n;
  while (i > 0 && PdfSpace(b[i - 1])) --i;
  const std::size_t digitsEnd = i;
  while (i > 0 && Digit(b[i - 1]) && digitsEnd - i < 20) --i;
  if (i == digitsEnd || digitsEnd - i >= 20 || i == 0 || !PdfSpace(b[i - 1])) return false;
  std::uint64_t target = 0;
  for (std::size_t k = i; k < digitsEnd; ++k) target = target * 10 + (b[k] - '0');
  while (i > 0 && PdfSpace(b[i - 1])) --i;
  if (i < 9 || std::memcmp(b + i - 9, "startxref", 9) != 0) return false;
  // Linearised files close the first page's section with "startxref 0".
  if (target == 0) return true;
  if (target >= at - (n - (i - 9))) return false;
  std::uint8_t t[40];
  const auto v = file.View(target, static_cast<std::size_t>(std::min<std::uint64_t>(limit - target, sizeof t)));
  if (v.empty()) return false;
  std::memcpy(t, v.data(), v.size());
  return StartsPdfBody(t, v.size());
}

}  // namespace

WalkResult MeasurePdf(FileBytes& file, std::uint64_t limit) {
  {
    // "%PDF-1.x", then comment lines, then the first object.
    const auto v = file.View(0, static_cast<std::size_t>(std::min<std::uint64_t>(limit, 1024)));
    if (v.size() < 8) return Unsure();
    if (std::memcmp(v.data(), "%PDF-", 5) != 0 || !Digit(v[5]) || v[6] != '.' || !Digit(v[7])) return NotThisFormat();
    std::size_t i = 8;
    while (i < v.size()) {
      while (i < v.size() && PdfSpace(v[i])) ++i;
      if (i < v.size() && v[i] == '%') {
        while (i < v.size() && v[i] != '\r' && v[i] != '\n') ++i;
        continue;
      }
      break;
    }
    if (i >= v.size()) return v.size() < 1024 ? Unsure() : NotThisFormat();
    if (!StartsPdfBody(v.data() + i, v.size() - i)) return v.size() - i < 40 ? Unsure() : NotThisFormat();
  }
  static constexpr std::uint8_t kEof[5] = {'%', '%', 'E', 'O', 'F'};
  std::uint64_t pos = 8;
  while (pos < limit) {
    const auto v = file.View(pos, static_cast<std::size_t>(std::min<std::uint64_t>(limit - pos, kMaxFileView)));
    if (v.size() < sizeof kEof) return Unsure();
    const std::uint8_t* hit = nullptr;
    const std::uint8_t* const stop = v.data() + v.size();
    for (const std::uint8_t* p = v.data(); p < stop;) {
      p = static_cast<const std::uint8_t*>(std::memchr(p, '%', static_cast<std::size_t>(stop - p)));
      if (p == nullptr) break;
      if (stop - p < static_cast<std::ptrdiff_t>(sizeof kEof)) {
        hit = p;  // too near the view's end to tell: look again from here
        break;
      }
      if (std::memcmp(p, kEof, sizeof kEof) == 0) {
        hit = p;
        break;
      }
      ++p;
    }
    if (hit == nullptr) {
      pos += v.size();
      continue;
    }
    const std::uint64_t at = pos + static_cast<std::uint64_t>(hit - v.data());
    if (stop - hit < static_cast<std::ptrdiff_t>(sizeof kEof)) {
      if (at == pos) return Unsure();  // the medium or the limit ends inside it
      pos = at;
      continue;
    }
    pos = at + sizeof kEof;
    if (!TrueEndMarker(file, at, limit)) continue;
    // The marker's end-of-line belongs to the file; then either an update follows or the
    // file is over.
    std::uint8_t t[48];
    const auto after = file.View(pos, static_cast<std::size_t>(std::min<std::uint64_t>(limit - pos, sizeof t)));
    const std::size_t n = after.size();
    if (n > 0) std::memcpy(t, after.data(), n);
    std::size_t eol = 0;
    if (n >= 1 && t[0] == '\r') eol = n >= 2 && t[1] == '\n' ? 2 : 1;
    else if (n >= 1 && t[0] == '\n') eol = 1;
    if (!StartsPdfBody(t + eol, n - eol)) return Measured(pos + eol);
  }
  return Unsure();
}

// ---------------------------------------------------------------------------------------------
// SQLite

WalkResult MeasureSqlite(FileBytes& file, std::uint64_t limit) {
  std::uint8_t h[100];
  if (!Fetch(file, 0, h, sizeof h, limit)) return Unsure();
  if (std::memcmp(h, "SQLite format 3", 16) != 0) return NotThisFormat();
  const ByteView v(h, sizeof h);
  std::uint32_t pageSize = *v.U16BE(16);
  if (pageSize == 1) pageSize = 65536;
  // Fixed values every database carries: payload fractions 64/32/32, file format 1 or 2.
  if (pageSize < 512 || (pageSize & (pageSize - 1)) || h[18] < 1 || h[18] > 2 || h[19] < 1 || h[19] > 2 ||
      h[21] != 64 || h[22] != 32 || h[23] != 32 || h[20] >= pageSize - 480)
    return NotThisFormat();
  const std::uint32_t pages = *v.U32BE(28);
  // The page count is current only when the change counter it was written with still holds.
  if (*v.U32BE(92) != *v.U32BE(24) || pages == 0) return Unsure();
  const std::uint64_t end = std::uint64_t{pageSize} * pages;
  if (end > limit || !Reaches(file, end)) return Unsure();
  return Measured(end);
}

// ---------------------------------------------------------------------------------------------
// OLE compound file

WalkResult MeasureCompoundDocument(FileBytes& file, std::uint64_t limit) {
  static constexpr std::uint8_t kMagic[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  constexpr std::uint32_t kFree = 0xFFFFFFFF, kEndOfChain = 0xFFFFFFFE, kFatSector = 0xFFFFFFFD,
                          kDifatSector = 0xFFFFFFFC, kMaxRegular = 0xFFFFFFFA;
  std::uint8_t h[512];
  if (!Fetch(file, 0, h, sizeof h, limit)) return Unsure();
  const std::uint16_t shift = LoadU16LE(h + 0x1E);
  if (std::memcmp(h, kMagic, sizeof kMagic) != 0 || LoadU16LE(h + 0x1C) != 0xFFFE || (shift != 9 && shift != 12) ||
      LoadU16LE(h + 0x20) != 6 || LoadU32LE(h + 0x38) != 4096)
    return NotThisFormat();
  const std::uint32_t sectorSize = 1u << shift;
  const std::uint32_t perSector = sectorSize / 4;
  const std::uint32_t fatCount = LoadU32LE(h + 0x2C);
  const std::uint32_t difatCount = LoadU32LE(h + 0x48);
  if (fatCount == 0 || (difatCount > 0 && fatCount <= 109)) return NotThisFormat();
  // Each FAT sector is a sector of the file: no more of them than the limit holds.
  if (fatCount > limit / sectorSize || fatCount > kMaxRecords) return Unsure();

  const auto sectorOffset = [&](std::uint32_t s) { return (std::uint64_t{s} + 1) * sectorSize; };
  std::vector<std::uint32_t> fat;
  fat.reserve(fatCount);
  for (std::uint32_t i = 0; i < 109 && fat.size() < fatCount; ++i) fat.push_back(LoadU32LE(h + 0x4C + 4 * i));
  std::vector<std::uint8_t> sector(sectorSize);
  std::uint32_t next = LoadU32LE(h + 0x44);
  for (std::uint32_t d = 0; d < difatCount && fat.size() < fatCount; ++d) {
    if (next > kMaxRegular) return d == 0 ? NotThisFormat() : Unsure();
    if (!Fetch(file, sectorOffset(next), sector.data(), sectorSize, limit)) return Unsure();
    for (std::uint32_t i = 0; i + 1 < perSector && fat.size() < fatCount; ++i) fat.push_back(LoadU32LE(&sector[4 * i]));
    next = LoadU32LE(&sector[4 * (perSector - 1)]);
  }
  if (fat.size() < fatCount) return Unsure();

  const std::uint64_t entries = std::uint64_t{fatCount} * perSector;
  std::uint64_t highest = 0;
  bool used = false;
  for (std::uint32_t k = 0; k < fatCount; ++k) {
    const WalkResult broken = k == 0 ? NotThisFormat() : Unsure();
    if (fat[k] > kMaxRegular) return broken;
    if (!Fetch(file, sectorOffset(fat[k]), sector.data(), sectorSize, limit)) return Unsure();
    for (std::uint32_t i = 0; i < perSector; ++i) {
      const std::uint32_t e = LoadU32LE(&sector[4 * i]);
      if (e == kFree) continue;
      // An entry links to another sector of the file or marks a chain end, a FAT or DIFAT sector.
      if (e <= kMaxRegular ? e >= entries : e != kEndOfChain && e != kFatSector && e != kDifatSector) return broken;
      highest = std::uint64_t{k} * perSector + i;
      used = true;
    }
    // The FAT marks its own sectors.
    if (k == 0 && fat[0] < perSector && LoadU32LE(&sector[4 * fat[0]]) != kFatSector) return NotThisFormat();
  }
  if (!used) return NotThisFormat();
  const std::uint64_t end = (highest + 2) * sectorSize;
  if (end > limit || !Reaches(file, end)) return Unsure();
  return Measured(end);
}

// ---------------------------------------------------------------------------------------------
// Cabinet

WalkResult MeasureCab(FileBytes& file, std::uint64_t limit) {
  std::uint8_t h[40];
  if (!Fetch(file, 0, h, 36, limit)) return Unsure();
  const std::uint32_t size = LoadU32LE(h + 8);
  const std::uint32_t filesAt = LoadU32LE(h + 16);
  const std::uint16_t folders = LoadU16LE(h + 26);
  const std::uint16_t files = LoadU16LE(h + 28);
  const std::uint16_t flags = LoadU16LE(h + 30);
  if (std::memcmp(h, "MSCF", 4) != 0 || LoadU32LE(h + 4) != 0 || LoadU32LE(h + 12) != 0 || LoadU32LE(h + 20) != 0 ||
      h[24] != 3 || h[25] != 1 || folders == 0 || files == 0 || (flags & ~7u) || filesAt < 36 || filesAt >= size)
    return NotThisFormat();
  if (size > limit) return Unsure();
  std::uint64_t at = 36;
  std::uint8_t folderReserve = 0, dataReserve = 0;
  if (flags & 4) {
    if (!Fetch(file, at, h, 4, limit)) return Unsure();
    folderReserve = h[2];
    dataReserve = h[3];
    at += 4 + std::uint64_t{LoadU16LE(h)};
  }
  // Names of the previous and next cabinets of a set, and their disks: zero-terminated.
  const int names = ((flags & 1) ? 2 : 0) + ((flags & 2) ? 2 : 0);
  for (int n = 0; n < names; ++n) {
    if (at >= size) return NotThisFormat();
    const auto v = file.View(at, static_cast<std::size_t>(std::min<std::uint64_t>(size - at, 256)));
    const void* zero = v.empty() ? nullptr : std::memchr(v.data(), 0, v.size());
    if (zero == nullptr) return v.size() == 256 ? NotThisFormat() : Unsure();
    at += static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(zero) - v.data()) + 1;
  }
  // Every folder's data blocks lie between the file list and the cabinet's end; the last one
  // ends exactly there.
  std::uint64_t dataEnd = 0;
  std::uint32_t blocksSeen = 0;
  for (std::uint32_t f = 0; f < folders; ++f) {
    std::uint8_t folder[8];
    if (!Fetch(file, at, folder, sizeof folder, size)) return NotThisFormat();
    at += 8 + std::uint64_t{folderReserve};
    std::uint64_t block = LoadU32LE(folder);
    const std::uint16_t count = LoadU16LE(folder + 4);
    if (block <= filesAt || block >= size || (LoadU16LE(folder + 6) & 0x0F) > 3) return NotThisFormat();
    for (std::uint32_t b = 0; b < count; ++b) {
      if (++blocksSeen > kMaxRecords) return Unsure();
      std::uint8_t d[8];
      if (!Fetch(file, block, d, sizeof d, size)) return Unsure();
      const std::uint16_t packed = LoadU16LE(d + 4);
      // Blocks hold at most 32 KiB of output, and a little more input when stored.
      if (packed == 0 || packed > 32768 + 6144 || LoadU16LE(d + 6) > 32768) return Unsure();
      block += 8 + std::uint64_t{dataReserve} + packed;
    }
    if (block > size) return Unsure();
    dataEnd = std::max(dataEnd, block);
  }
  if (dataEnd != size || !Reaches(file, size)) return Unsure();
  return Measured(size);
}

// ---------------------------------------------------------------------------------------------
// SWF

constexpr std::uint16_t kMaxSwfTag = 100;
constexpr std::uint32_t kSwfTagsToTrust = 3;

WalkResult MeasureSwf(FileBytes& file, std::uint64_t limit) {
  std::uint8_t h[9];
  if (!Fetch(file, 0, h, sizeof h, limit)) return Unsure();
  const bool compressed = h[0] == 'C';
  if ((h[0] != 'F' && h[0] != 'C') || h[1] != 'W' || h[2] != 'S' || h[3] == 0 || h[3] > 60) return NotThisFormat();
  const std::uint32_t length = LoadU32LE(h + 4);
  // A header, a frame rectangle, a frame rate and count, an end tag.
  if (length < 8 + 1 + 4 + 2) return NotThisFormat();
  if (compressed) {
    const Inflated z = InflateAt(file, 8, limit, 15, length - 8);
    if (z.kind == Inflated::kCutOff) return Unsure();
    if (z.kind == Inflated::kBadData) return z.produced == 0 ? NotThisFormat() : Unsure();
    if (z.produced != length - 8) return Unsure();
    return Measured(8 + z.consumed);
  }
  // The frame rectangle: a 5-bit field width, then four fields of that width.
  const std::uint64_t rectBits = 5 + 4 * static_cast<std::uint64_t>(h[8] >> 3);
  std::uint64_t pos = 8 + (rectBits + 7) / 8 + 4;
  for (std::uint32_t tags = 0; tags < kMaxRecords; ++tags) {
    // Until a few tags have parsed, a mismatch means the header matched by chance (one random tag
    // header in ten passes the code check).
    const WalkResult broken = tags < kSwfTagsToTrust ? NotThisFormat() : Unsure();
    std::uint8_t t[6];
    // A tag that would cross the length field is not one; a tag cut off by the limit or the
    // medium is.
    if (!Within(pos, 2, length)) return broken;
    if (!Fetch(file, pos, t, 2, limit)) return Unsure();
    const std::uint16_t codeAndLength = LoadU16LE(t);
    // No tag code beyond this has ever been defined.
    if (codeAndLength >> 6 > kMaxSwfTag) return broken;
    std::uint64_t tagLength = codeAndLength & 0x3F;
    pos += 2;
    if (tagLength == 0x3F) {
      if (!Within(pos, 4, length)) return broken;
      if (!Fetch(file, pos, t + 2, 4, limit)) return Unsure();
      tagLength = LoadU32LE(t + 2);
      pos += 4;
    }
    pos += tagLength;
    if (pos > length) return broken;
    if (pos > limit) return Unsure();
    if (codeAndLength >> 6 == 0) return pos == length && Reaches(file, pos) ? Measured(pos) : Unsure();
  }
  return Unsure();
}

}  // namespace rexmoor::formats
