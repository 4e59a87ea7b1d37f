#include "preview/raw_preview.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace rexmoor {

namespace {

constexpr std::uint64_t kMaxPreviewBytes = 64ull << 20;

// A JPEG that starts where the span says and fits the file.
bool IsJpegAt(const ReadBytesAt& read, std::uint64_t fileSize, const ByteSpan& span) {
  std::uint8_t soi[3];
  return span.length >= 128 && span.length <= kMaxPreviewBytes && span.offset < fileSize &&
         span.length <= fileSize - span.offset && read(span.offset, 3, soi) && soi[0] == 0xFF &&
         soi[1] == 0xD8 && soi[2] == 0xFF;
}

// TIFF-based raws: the JPEGs their directories point to (JPEGInterchangeFormat, or a single
// strip holding a JPEG), through IFD0's chain, SubIFDs and the EXIF directory.
void TiffPreviews(const ReadBytesAt& read, std::uint64_t fileSize, std::vector<ByteSpan>& found) {
  std::uint8_t head[8];
  if (!read(0, 8, head)) return;
  const bool little = head[0] == 'I' && head[1] == 'I';
  if (!little && !(head[0] == 'M' && head[1] == 'M')) return;
  const bool panasonic = little && head[2] == 'U' && head[3] == 0;  // RW2: IFD0 holds the JPEG in tag 0x2E
  auto u16 = [little](const std::uint8_t* p) {
    return static_cast<std::uint32_t>(little ? p[0] | (p[1] << 8) : (p[0] << 8) | p[1]);
  };
  auto u32 = [little](const std::uint8_t* p) {
    return little ? (std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
                     (std::uint32_t{p[3]} << 24))
                  : ((std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3]);
  };
  std::vector<std::uint32_t> pending{u32(head + 4)};
  std::vector<std::uint32_t> seen;
  // At most 32 directories of at most 512 entries: every walk ends, whatever the offsets say.
  while (!pending.empty() && seen.size() < 32) {
    const std::uint32_t at = pending.back();
    pending.pop_back();
    if (at < 8 || at >= fileSize || std::find(seen.begin(), seen.end(), at) != seen.end()) continue;
    seen.push_back(at);
    std::uint8_t countBytes[2];
    if (!read(at, 2, countBytes)) continue;
    const std::uint32_t count = u16(countBytes);
    if (count == 0 || count > 512) continue;
    std::vector<std::uint8_t> table(count * 12 + 4);
    if (!read(at + 2, table.size(), table.data())) continue;
    ByteSpan jpeg, strip, inlineJpeg;
    std::uint32_t stripCount = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint8_t* e = table.data() + i * 12;
      const std::uint32_t tag = u16(e), type = u16(e + 2), n = u32(e + 4);
      const std::uint32_t value = type == 3 && n == 1 ? u16(e + 8) : u32(e + 8);
      switch (tag) {
        case 0x0201: jpeg.offset = value; break;
        case 0x0202: jpeg.length = value; break;
        case 0x0111: strip.offset = value; stripCount = n; break;
        case 0x0117: strip.length = value; break;
        case 0x8769: pending.push_back(value); break;  // EXIF
        case 0x002E:
          if (panasonic && type == 7) inlineJpeg = {value, n};
          break;
        case 0x014A:  // SubIFDs: one offset in the entry, or a list of them
          if (n == 1) {
            pending.push_back(value);
          } else if (n > 1 && n <= 16) {
            std::uint8_t list[64];
            if (read(value, n * 4, list))
              for (std::uint32_t k = 0; k < n; ++k) pending.push_back(u32(list + k * 4));
          }
          break;
        default: break;
      }
    }
    if (IsJpegAt(read, fileSize, jpeg)) found.push_back(jpeg);
    if (stripCount == 1 && IsJpegAt(read, fileSize, strip)) found.push_back(strip);
    if (IsJpegAt(read, fileSize, inlineJpeg)) found.push_back(inlineJpeg);
    pending.push_back(u32(table.data() + count * 12));  // the next directory of the chain
  }
}

// Fujifilm: the header gives the JPEG's offset and length.
void RafPreview(const ReadBytesAt& read, std::uint64_t fileSize, std::vector<ByteSpan>& found) {
  std::uint8_t head[92];
  if (!read(0, sizeof head, head) || std::memcmp(head, "FUJIFILMCCD-RAW ", 16) != 0) return;
  auto be32 = [](const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
  };
  const ByteSpan jpeg{be32(head + 84), be32(head + 88)};
  if (IsJpegAt(read, fileSize, jpeg)) found.push_back(jpeg);
}

// Canon CR3: the top-level preview box (uuid eaf42b5e-...) holds a PRVW box with the JPEG.
void Cr3Preview(const ReadBytesAt& read, std::uint64_t fileSize, std::vector<ByteSpan>& found) {
  static constexpr std::uint8_t kPreviewUuid[16] = {0xea, 0xf4, 0x2b, 0x5e, 0x1c, 0x98, 0x4b, 0x88,
                                                    0xb9, 0xfb, 0xb7, 0xdc, 0x40, 0x6e, 0x4d, 0x16};
  std::uint64_t at = 0;
  for (int boxes = 0; boxes < 64 && at + 8 <= fileSize; ++boxes) {
    std::uint8_t h[24];
    if (!read(at, 8, h)) return;
    std::uint64_t size = (std::uint64_t{h[0]} << 24) | (std::uint64_t{h[1]} << 16) | (std::uint64_t{h[2]} << 8) | h[3];
    std::uint64_t header = 8;
    if (size == 1) {
      std::uint8_t large[8];
      if (!read(at + 8, 8, large)) return;
      size = 0;
      for (std::uint8_t b : large) size = (size << 8) | b;
      header = 16;
    } else if (size == 0) {
      size = fileSize - at;
    }
    if (size < header || size > fileSize - at) return;
    if (std::memcmp(h + 4, "uuid", 4) == 0 && size >= header + 16 + 32 && read(at + header, 16, h) &&
        std::memcmp(h, kPreviewUuid, 16) == 0) {
      // The JPEG starts a few header bytes into the PRVW box: the first SOI within them.
      std::uint8_t look[64];
      const std::uint64_t from = at + header + 16;
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof look, at + size - from));
      if (!read(from, n, look)) return;
      for (std::size_t i = 0; i + 3 <= n; ++i)
        if (look[i] == 0xFF && look[i + 1] == 0xD8 && look[i + 2] == 0xFF) {
          const ByteSpan jpeg{from + i, at + size - (from + i)};
          if (IsJpegAt(read, fileSize, jpeg)) found.push_back(jpeg);
          break;
        }
      return;
    }
    at += size;
  }
}

}  // namespace

ByteSpan LargestEmbeddedPreview(const ReadBytesAt& read, std::uint64_t fileSize) {
  std::vector<ByteSpan> found;
  TiffPreviews(read, fileSize, found);
  RafPreview(read, fileSize, found);
  Cr3Preview(read, fileSize, found);
  if (found.empty()) return {};
  return *std::max_element(found.begin(), found.end(),
                           [](const ByteSpan& a, const ByteSpan& b) { return a.length < b.length; });
}

}  // namespace rexmoor
