#include "formats/walk_images.h"

#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <set>
#include <vector>

#include "platform/byte_view.h"

namespace rexmoor::formats {
namespace {

using Byte = std::uint8_t;


// Sizes taken from the bytes are at most 2^32 (2^64 in the 64-bit variants), so sums are checked.
bool AddOk(std::uint64_t a, std::uint64_t b, std::uint64_t* out) { return !__builtin_add_overflow(a, b, out); }

// A measured end is only claimed over bytes that are there and within the caller's limit.
WalkResult Finish(FileBytes& file, std::uint64_t end, std::uint64_t limit) {
  if (end == 0 || end > limit) return Unsure();
  if (file.View(end - 1, 1).empty()) return Unsure();
  return Measured(end);
}

// Reads n bytes at offset unless that would pass the limit.
bool ReadWithin(FileBytes& file, std::uint64_t offset, void* out, std::size_t n, std::uint64_t limit) {
  std::uint64_t end = 0;
  if (!AddOk(offset, n, &end) || end > limit) return false;
  return file.Read(offset, out, n);
}

// ================================================================= JPEG

constexpr std::size_t kMaxJpegMarkers = 1'000'000;
constexpr int kMaxJpegFill = 64;
constexpr std::size_t kMaxMpEntries = 256;

bool IsStartOfFrame(Byte m) {
  return (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) || m == 0xF7;
}

// Markers with a length field besides SOS: frames, tables, DNL/DRI/DHP/EXP, APPn, JPEG extensions, COM.
bool HasLength(Byte m) {
  return (m >= 0xC0 && m <= 0xCF) || (m >= 0xDB && m <= 0xDF) || (m >= 0xE0 && m <= 0xFE);
}

// The next marker after entropy-coded data from pos: an FF that is not stuffing (FF 00) nor a
// restart marker. Scans whole views with memchr. Empty when the bytes or the limit run out.
std::optional<std::uint64_t> NextMarker(FileBytes& file, std::uint64_t pos, std::uint64_t limit) {
  while (pos < limit) {
    const std::span<const Byte> v = file.View(pos, kMaxFileView);
    if (v.empty()) return std::nullopt;
    const Byte* p = v.data();
    const Byte* const end = v.data() + v.size();
    bool refetch = false;
    while (p < end) {
      const Byte* ff = static_cast<const Byte*>(std::memchr(p, 0xFF, static_cast<std::size_t>(end - p)));
      if (ff == nullptr) break;
      const std::uint64_t at = pos + static_cast<std::uint64_t>(ff - v.data());
      if (at >= limit) return std::nullopt;
      if (ff + 1 == end) {
        if (v.size() == 1) return std::nullopt;  // the medium ends on the FF
        pos = at;  // look at the byte after it in a view that starts at the FF
        refetch = true;
        break;
      }
      const Byte next = ff[1];
      if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) {
        p = ff + 2;
        continue;
      }
      return at;
    }
    if (!refetch) pos += v.size();
  }
  return std::nullopt;
}

// The furthest end of the images a Multi-Picture index lists; `base` is where its TIFF header
// stands, to which the offsets are relative. nullopt when the index points at missing images.
std::optional<std::uint64_t> MultiPictureEnd(FileBytes& file, std::uint64_t base, std::uint64_t firstEnd,
                                             std::uint64_t limit) {
  Byte h[8];
  if (!ReadWithin(file, base, h, 8, limit)) return firstEnd;
  const bool le = std::memcmp(h, "II\x2A\x00", 4) == 0;
  if (!le && std::memcmp(h, "MM\x00\x2A", 4) != 0) return firstEnd;
  const auto u16 = [le](const Byte* p) { return le ? LoadU16LE(p) : LoadU16BE(p); };
  const auto u32 = [le](const Byte* p) { return le ? LoadU32LE(p) : LoadU32BE(p); };
  const std::uint64_t ifd = base + u32(h + 4);
  Byte c[2];
  if (!ReadWithin(file, ifd, c, 2, limit)) return firstEnd;
  const std::size_t count = std::min<std::size_t>(u16(c), 64);
  std::vector<Byte> entries(count * 12);
  if (!ReadWithin(file, ifd + 2, entries.data(), entries.size(), limit)) return firstEnd;
  std::uint64_t end = firstEnd;
  for (std::size_t i = 0; i < count; ++i) {
    const Byte* e = entries.data() + i * 12;
    if (u16(e) != 0xB002 || u16(e + 2) != 7) continue;  // the MP entry list, UNDEFINED bytes
    const std::size_t images = std::min<std::size_t>(u32(e + 4) / 16, kMaxMpEntries);
    std::vector<Byte> list(images * 16);
    if (images == 0 || !ReadWithin(file, base + u32(e + 8), list.data(), list.size(), limit)) return firstEnd;
    for (std::size_t k = 0; k < images; ++k) {
      const std::uint64_t size = u32(list.data() + k * 16 + 4);
      const std::uint64_t offset = u32(list.data() + k * 16 + 8);
      if (offset == 0 || size == 0) continue;  // the first image: this one
      Byte soi[2];
      if (!ReadWithin(file, base + offset, soi, 2, limit) || soi[0] != 0xFF || soi[1] != 0xD8) return std::nullopt;
      end = std::max(end, base + offset + size);
    }
    break;
  }
  return end;
}

}  // namespace

WalkResult MeasureJpeg(FileBytes& file, std::uint64_t limit) {
  Byte soi[2];
  if (!file.Read(0, soi, 2)) return Unsure();
  if (soi[0] != 0xFF || soi[1] != 0xD8) return NotThisFormat();
  std::uint64_t pos = 2;
  bool frame = false;
  bool scanned = false;
  std::optional<std::uint64_t> mpf;
  // Before the first scan a broken marker means the header matched by chance.
  const auto broken = [&scanned] { return scanned ? Unsure() : NotThisFormat(); };
  for (std::size_t n = 0; n < kMaxJpegMarkers; ++n) {
    Byte m[2];
    if (!ReadWithin(file, pos, m, 2, limit)) return Unsure();
    if (m[0] != 0xFF) return broken();
    for (int fill = 0; m[1] == 0xFF; ++fill) {
      if (fill == kMaxJpegFill) return broken();
      ++pos;
      if (!ReadWithin(file, pos, m, 2, limit)) return Unsure();
    }
    const Byte marker = m[1];
    if (marker == 0xD9) {
      if (!scanned) return Unsure();
      const std::uint64_t end = pos + 2;
      if (!mpf) return Finish(file, end, limit);
      const std::optional<std::uint64_t> all = MultiPictureEnd(file, *mpf, end, limit);
      return all ? Finish(file, *all, limit) : Unsure();
    }
    if ((marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {  // no length
      if (!scanned) return broken();
      pos += 2;
      continue;
    }
    if (marker != 0xDA && !HasLength(marker)) return broken();
    Byte seg[12] = {};
    if (!ReadWithin(file, pos + 2, seg, 2, limit)) return Unsure();
    const std::uint32_t length = LoadU16BE(seg);
    if (length < 2) return broken();
    const std::size_t peek = std::min<std::size_t>(length, sizeof seg);
    if (!ReadWithin(file, pos + 2, seg, peek, limit)) return Unsure();
    if (IsStartOfFrame(marker)) {
      const std::uint32_t components = length >= 8 ? seg[7] : 0;
      if (length < 8 || components == 0 || length != 8 + 3 * components || LoadU16BE(seg + 5) == 0) return broken();
      frame = true;
    } else if (marker == 0xDA) {
      const std::uint32_t components = length >= 3 ? seg[2] : 0;
      if (!frame || components == 0 || components > 4 || length != 6 + 2 * components) return broken();
    } else if (marker == 0xDD) {
      if (length != 4) return broken();
    } else if (marker == 0xE2 && !mpf && length >= 2 + 4 + 8 && std::memcmp(seg + 2, "MPF\0", 4) == 0) {
      mpf = pos + 8;
    }
    const std::uint64_t segmentEnd = pos + 2 + length;
    if (marker == 0xDA) {
      scanned = true;
      const std::optional<std::uint64_t> next = NextMarker(file, segmentEnd, limit);
      if (!next) return Unsure();
      pos = *next;
    } else {
      pos = segmentEnd;
    }
  }
  return Unsure();
}

// ================================================================= PNG

namespace {
constexpr std::size_t kMaxPngChunks = 1'000'000;

bool PngChunkType(const Byte* t) {
  return std::all_of(t, t + 4, [](Byte c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); });
}
}  // namespace

WalkResult MeasurePng(FileBytes& file, std::uint64_t limit) {
  static constexpr Byte kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  Byte sig[8];
  if (!file.Read(0, sig, 8)) return Unsure();
  if (std::memcmp(sig, kSignature, 8) != 0) return NotThisFormat();
  std::uint64_t pos = 8;
  for (std::size_t n = 0; n < kMaxPngChunks; ++n) {
    const auto broken = [n] { return n == 0 ? NotThisFormat() : Unsure(); };
    Byte h[8];
    if (!ReadWithin(file, pos, h, 8, limit)) return Unsure();
    const std::uint32_t length = LoadU32BE(h);
    if (length > 0x7FFFFFFFu || !PngChunkType(h + 4)) return broken();
    if (n == 0 && (std::memcmp(h + 4, "IHDR", 4) != 0 || length != 13)) return NotThisFormat();
    const std::uint64_t end = pos + 12 + length;
    if (end > limit) return Unsure();
    uLong crc = crc32(0L, h + 4, 4);
    for (std::uint64_t at = pos + 8, left = length; left > 0;) {
      const std::span<const Byte> v = file.View(at, static_cast<std::size_t>(std::min<std::uint64_t>(left, kMaxFileView)));
      if (v.empty()) return Unsure();
      crc = crc32(crc, v.data(), static_cast<uInt>(v.size()));
      at += v.size();
      left -= v.size();
    }
    Byte stored[4];
    if (!file.Read(pos + 8 + length, stored, 4)) return Unsure();
    if (LoadU32BE(stored) != static_cast<std::uint32_t>(crc)) return broken();
    if (std::memcmp(h + 4, "IEND", 4) == 0) return Measured(end);
    pos = end;
  }
  return Unsure();
}

// ================================================================= GIF

namespace {
constexpr std::size_t kMaxGifBlocks = 10'000'000;

// Skips a chain of data sub-blocks up to and past its zero-length terminator.
bool SkipSubBlocks(FileBytes& file, std::uint64_t& pos, std::uint64_t limit) {
  while (pos < limit) {
    const std::span<const Byte> v = file.View(pos, kMaxFileView);
    if (v.empty()) return false;
    std::size_t i = 0;
    while (i < v.size()) {
      if (v[i] == 0) {
        pos += i + 1;
        return pos <= limit;
      }
      i += 1 + std::size_t{v[i]};
    }
    pos += i;
  }
  return false;
}
}  // namespace

WalkResult MeasureGif(FileBytes& file, std::uint64_t limit) {
  Byte h[13];
  if (!file.Read(0, h, sizeof h)) return Unsure();
  if (std::memcmp(h, "GIF87a", 6) != 0 && std::memcmp(h, "GIF89a", 6) != 0) return NotThisFormat();
  std::uint64_t pos = 13;
  if (h[10] & 0x80) pos += 3u << ((h[10] & 7) + 1);  // global colour table
  bool image = false;
  for (std::size_t n = 0; n < kMaxGifBlocks; ++n) {
    const auto broken = [n] { return n == 0 ? NotThisFormat() : Unsure(); };
    Byte b[10];
    if (!ReadWithin(file, pos, b, 1, limit)) return Unsure();
    // No writer ends a GIF before its first image; a trailer there is a chance byte.
    if (b[0] == 0x3B) return image ? Finish(file, pos + 1, limit) : broken();
    if (b[0] == 0x21) {
      if (!ReadWithin(file, pos, b, 3, limit)) return Unsure();
      const Byte label = b[1];
      const Byte first = b[2];
      // Graphic control (4), plain text (12), application (11) and comment extensions.
      if ((label == 0xF9 && first != 4) || (label == 0x01 && first != 12) || (label == 0xFF && first != 11) ||
          (label != 0xF9 && label != 0x01 && label != 0xFF && label != 0xFE))
        return broken();
      pos += 2;
    } else if (b[0] == 0x2C) {
      if (!ReadWithin(file, pos, b, 10, limit)) return Unsure();
      if (LoadU16LE(b + 5) == 0 || LoadU16LE(b + 7) == 0) return broken();
      pos += 10;
      if (b[9] & 0x80) pos += 3u << ((b[9] & 7) + 1);  // local colour table
      Byte codeSize;
      if (!ReadWithin(file, pos, &codeSize, 1, limit)) return Unsure();
      if (codeSize == 0 || codeSize > 11) return broken();
      pos += 1;
      image = true;
    } else {
      return broken();
    }
    if (!SkipSubBlocks(file, pos, limit)) return Unsure();
  }
  return Unsure();
}

// ================================================================= BMP

WalkResult MeasureBmp(FileBytes& file, std::uint64_t limit) {
  Byte h[14 + 124] = {};
  if (!file.Read(0, h, 18)) return Unsure();
  if (h[0] != 'B' || h[1] != 'M') return NotThisFormat();
  const std::uint64_t fileSize = LoadU32LE(h + 2);
  const std::uint64_t pixels = LoadU32LE(h + 10);
  const std::uint32_t infoSize = LoadU32LE(h + 14);
  if (infoSize != 12 && infoSize != 40 && infoSize != 52 && infoSize != 56 && infoSize != 64 && infoSize != 108 &&
      infoSize != 124)
    return NotThisFormat();
  if (!file.Read(14, h + 14, infoSize)) return Unsure();
  const Byte* info = h + 14;
  std::uint64_t width = 0;
  std::uint64_t height = 0;
  std::uint32_t planes = 0;
  std::uint32_t bpp = 0;
  std::uint32_t compression = 0;
  std::uint64_t sizeImage = 0;
  if (infoSize == 12) {
    width = LoadU16LE(info + 4);
    height = LoadU16LE(info + 6);
    planes = LoadU16LE(info + 8);
    bpp = LoadU16LE(info + 10);
  } else {
    const auto w = static_cast<std::int32_t>(LoadU32LE(info + 4));
    const auto hh = static_cast<std::int32_t>(LoadU32LE(info + 8));
    if (w <= 0 || hh == 0 || hh == INT32_MIN) return NotThisFormat();
    width = static_cast<std::uint64_t>(w);
    height = static_cast<std::uint64_t>(hh < 0 ? -static_cast<std::int64_t>(hh) : hh);
    planes = LoadU16LE(info + 12);
    bpp = LoadU16LE(info + 14);
    compression = LoadU32LE(info + 16);
    sizeImage = LoadU32LE(info + 20);
  }
  const bool knownDepth = bpp == 1 || bpp == 2 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32 ||
                          (bpp == 0 && (compression == 4 || compression == 5));
  if (planes != 1 || !knownDepth || compression > 6 || width == 0 || height == 0 || pixels < 14 + infoSize)
    return NotThisFormat();
  // Dimensions past 2^20 are no picture anyone stores as a bitmap; they also keep the size in range.
  if (width > (1u << 20) || height > (1u << 20)) return NotThisFormat();
  std::uint64_t imageSize = 0;
  if (compression == 0 || compression == 3 || compression == 6) {
    imageSize = (width * bpp + 31) / 32 * 4 * height;  // rows padded to 4 bytes
  } else {
    if (sizeImage == 0) return Unsure();
    imageSize = sizeImage;
  }
  std::uint64_t expected = pixels + imageSize;
  // A version 5 header may embed a colour profile after the pixels.
  if (infoSize == 124 && std::memcmp(info + 56, "DEBM", 4) == 0) {
    const std::uint64_t profileEnd = 14 + std::uint64_t{LoadU32LE(info + 112)} + LoadU32LE(info + 116);
    expected = std::max(expected, profileEnd);
  }
  if (fileSize == 0 && compression == 0) return Finish(file, expected, limit);
  // Some writers pad the file to a multiple of 4 past the last row.
  if (fileSize >= expected && fileSize - expected < 4) return Finish(file, fileSize, limit);
  return Unsure();
}

// ================================================================= TIFF

namespace {
constexpr std::size_t kMaxTiffIfds = 4096;
constexpr std::uint64_t kMaxTiffEntries = 4096;
constexpr std::uint64_t kMaxTiffArray = 1u << 20;
// Entries and array values over all IFDs: IFDs and arrays may be shared, so bound the work itself.
constexpr std::uint64_t kTiffBudget = 1u << 24;

class TiffWalk {
 public:
  TiffWalk(FileBytes& file, std::uint64_t limit, bool le, bool big) : file_(file), limit_(limit), le_(le), big_(big) {}

  WalkResult Run(std::uint64_t first) {
    std::vector<std::uint64_t> queue{first};
    std::set<std::uint64_t> seen;
    for (std::size_t i = 0; i < queue.size(); ++i) {
      if (seen.size() == kMaxTiffIfds) return Unsure();
      if (!seen.insert(queue[i]).second) continue;
      const WalkResult r = Ifd(queue[i], i == 0, false, queue);
      if (r.verdict != WalkVerdict::kMeasured) return r;
    }
    // Maker notes laid out as an IFD with offsets from the TIFF header (Canon, Sony, Pentax,
    // Samsung) reach their previews from there. Other makers' notes start with a text header and
    // are left as the bytes their tag spans. A note that does not parse changes nothing; one whose
    // offsets count from the note itself is read short of its data, never past it.
    for (std::size_t i = 0; i < notes_.size() && i < kMaxTiffIfds; ++i) {
      if (!seen.insert(notes_[i]).second) continue;
      const std::uint64_t before = furthest_;
      std::vector<std::uint64_t> none;
      if (Ifd(notes_[i], false, true, none).verdict != WalkVerdict::kMeasured) furthest_ = before;
    }
    return Finish(file_, furthest_, limit_);
  }

 private:
  std::uint64_t U16(const Byte* p) const { return le_ ? LoadU16LE(p) : LoadU16BE(p); }
  std::uint64_t U32(const Byte* p) const { return le_ ? LoadU32LE(p) : LoadU32BE(p); }
  std::uint64_t U64(const Byte* p) const { return le_ ? LoadU64LE(p) : LoadU64BE(p); }
  std::uint64_t Offset(const Byte* p) const { return big_ ? U64(p) : U32(p); }

  static std::uint64_t TypeSize(std::uint64_t type) {
    switch (type) {
      case 1: case 2: case 6: case 7: return 1;
      case 3: case 8: return 2;
      case 4: case 9: case 11: case 13: return 4;
      case 5: case 10: case 12: case 16: case 17: case 18: return 8;
      default: return 0;
    }
  }

  bool Reach(std::uint64_t end) {
    if (end > limit_) return false;
    furthest_ = std::max(furthest_, end);
    return true;
  }

  // The integer values of an entry (offsets, byte counts, IFD pointers), inline or out of line.
  bool Values(const Byte* entry, std::vector<std::uint64_t>& out) {
    const std::uint64_t type = U16(entry + 2);
    const std::uint64_t count = big_ ? U64(entry + 4) : U32(entry + 4);
    const std::uint64_t size = TypeSize(type);
    const bool integer = type == 3 || type == 4 || type == 9 || type == 13 || type == 16 || type == 17 || type == 18;
    if (!integer || count > kMaxTiffArray || count > budget_) return false;
    budget_ -= count;
    out.clear();
    if (count == 0) return true;
    std::vector<Byte> raw(static_cast<std::size_t>(count * size));
    const std::size_t inlineBytes = big_ ? 8 : 4;
    const Byte* field = entry + (big_ ? 12 : 8);
    if (raw.size() <= inlineBytes) {
      std::memcpy(raw.data(), field, raw.size());
    } else if (!ReadWithin(file_, Offset(field), raw.data(), raw.size(), limit_)) {
      return false;
    }
    out.resize(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < out.size(); ++i) {
      const Byte* p = raw.data() + i * size;
      out[i] = size == 2 ? U16(p) : size == 4 ? U32(p) : U64(p);
    }
    return true;
  }

  // `note`: a maker note tried as an IFD; it queues nothing and must look like one throughout.
  WalkResult Ifd(std::uint64_t at, bool first, bool note, std::vector<std::uint64_t>& queue) {
    const auto broken = [first] { return first ? NotThisFormat() : Unsure(); };
    const std::size_t countBytes = big_ ? 8 : 2;
    const std::size_t entryBytes = big_ ? 20 : 12;
    Byte c[8];
    if (at < (big_ ? 16u : 8u)) return broken();
    // A first directory that is not there (past the medium) leaves nothing to recover as a
    // picture: the header most likely matched by chance.
    if (!ReadWithin(file_, at, c, countBytes, limit_)) return broken();
    const std::uint64_t count = big_ ? U64(c) : U16(c);
    if (count == 0 || count > kMaxTiffEntries) return broken();
    if (count > budget_) return Unsure();
    budget_ -= count;
    std::vector<Byte> entries(static_cast<std::size_t>(count) * entryBytes + (big_ ? 8 : 4));  // + next IFD
    if (!ReadWithin(file_, at + countBytes, entries.data(), entries.size(), limit_)) return Unsure();
    if (!Reach(at + countBytes + entries.size())) return Unsure();
    std::uint64_t unknown = 0;
    std::vector<std::uint64_t> offsets[3], counts[3];  // strips, tiles, JPEG interchange
    for (std::uint64_t i = 0; i < count; ++i) {
      const Byte* e = entries.data() + i * entryBytes;
      const std::uint64_t tag = U16(e);
      const std::uint64_t type = U16(e + 2);
      const std::uint64_t n = big_ ? U64(e + 4) : U32(e + 4);
      const std::uint64_t size = TypeSize(type);
      if (size == 0 || (!big_ && type >= 16)) {
        ++unknown;  // readers skip types they do not know
        continue;
      }
      if (n > (std::uint64_t{1} << 40)) return broken();
      const std::uint64_t bytes = n * size;
      if (bytes > (big_ ? 8u : 4u)) {
        std::uint64_t end = 0;
        if (!AddOk(Offset(e + (big_ ? 12 : 8)), bytes, &end) || !Reach(end)) return Unsure();
      }
      std::vector<std::uint64_t>* into = nullptr;
      switch (tag) {
        case 273: into = &offsets[0]; break;
        case 279: into = &counts[0]; break;
        case 324: into = &offsets[1]; break;
        case 325: into = &counts[1]; break;
        case 513: into = &offsets[2]; break;
        case 514: into = &counts[2]; break;
        case 37500:  // maker note
          if (!note && !big_ && bytes > 4 && notes_.size() < kMaxTiffIfds) notes_.push_back(Offset(e + 8));
          break;
        // SubIFDs, Exif, GPS, interoperability, and Kodak's private IFDs (DCS and consumer raws)
        case 330: case 34665: case 34853: case 40965: case 33424: case 65024: {
          if (note) break;
          std::vector<std::uint64_t> ifds;
          if (!Values(e, ifds)) return Unsure();
          for (const std::uint64_t p : ifds)
            if (p != 0 && queue.size() < kMaxTiffIfds) queue.push_back(p);
          break;
        }
        default: break;
      }
      if (into != nullptr && !Values(e, *into)) return Unsure();
    }
    if (first && unknown * 2 > count) return NotThisFormat();
    if (note && unknown * 2 > count) return Unsure();
    for (int k = 0; k < 3; ++k) {
      const std::size_t m = std::min(offsets[k].size(), counts[k].size());
      for (std::size_t j = 0; j < m; ++j) {
        std::uint64_t end = 0;
        if (counts[k][j] == 0) continue;
        if (!AddOk(offsets[k][j], counts[k][j], &end) || !Reach(end)) return Unsure();
      }
    }
    const std::uint64_t next = Offset(entries.data() + count * entryBytes);
    if (!note && next != 0 && queue.size() < kMaxTiffIfds) queue.push_back(next);
    return Measured(0);
  }

  FileBytes& file_;
  std::uint64_t limit_;
  bool le_;
  bool big_;
  std::uint64_t furthest_ = 0;
  std::uint64_t budget_ = kTiffBudget;
  std::vector<std::uint64_t> notes_;
};
}  // namespace

// ================================================================= Phase One raw block

namespace {
constexpr std::uint64_t kPhaseOneBase = 8;  // the block follows the TIFF header; its offsets count from here
constexpr std::uint64_t kMaxPhaseOneEntries = 4096;

// The furthest byte of the raw block's directory and of the values it points at (entries whose
// value is longer than four bytes; shorter ones sit in the entry). 0 when there is no block;
// nothing when the block is there but breaks off.
std::optional<std::uint64_t> PhaseOneBlockEnd(FileBytes& file, std::uint64_t limit) {
  Byte h[12];
  if (!ReadWithin(file, kPhaseOneBase, h, sizeof h, limit)) return 0;
  if (std::memcmp(h, "IIII", 4) != 0 || std::memcmp(h + 5, "waR", 3) != 0) return 0;
  const std::uint64_t dir = kPhaseOneBase + LoadU32LE(h + 8);
  Byte c[8];
  if (!ReadWithin(file, dir, c, sizeof c, limit)) return std::nullopt;
  const std::uint64_t count = LoadU32LE(c);
  if (count == 0 || count > kMaxPhaseOneEntries) return std::nullopt;
  std::vector<Byte> entries(static_cast<std::size_t>(count) * 16);
  if (!ReadWithin(file, dir + 8, entries.data(), entries.size(), limit)) return std::nullopt;
  std::uint64_t furthest = dir + 8 + entries.size();
  for (std::size_t i = 0; i < count; ++i) {
    const Byte* e = entries.data() + i * 16;
    const std::uint64_t size = LoadU32LE(e + 8);
    if (size <= 4) continue;
    const std::uint64_t end = kPhaseOneBase + LoadU32LE(e + 12) + size;  // below 2^34: no overflow
    if (end > limit) return std::nullopt;
    furthest = std::max(furthest, end);
  }
  return furthest;
}
}  // namespace

WalkResult MeasureTiff(FileBytes& file, std::uint64_t limit) {
  Byte h[16];
  if (!file.Read(0, h, 8)) return Unsure();
  const bool le = h[0] == 'I' && h[1] == 'I';
  if (!le && !(h[0] == 'M' && h[1] == 'M')) return NotThisFormat();
  const std::uint32_t version = le ? LoadU16LE(h + 2) : LoadU16BE(h + 2);
  // 42, or the numbers Olympus ("RO", "RS") and Panasonic (0x55) put in its place.
  if (version == 42 || version == 0x4F52 || version == 0x5352 || version == 0x55) {
    const std::uint64_t first = le ? LoadU32LE(h + 4) : LoadU32BE(h + 4);
    const WalkResult r = TiffWalk(file, limit, le, false).Run(first);
    if (r.verdict != WalkVerdict::kMeasured || !le || version != 42) return r;
    // Phase One's raw block may hold data no IFD points at.
    const std::optional<std::uint64_t> block = PhaseOneBlockEnd(file, limit);
    return block ? Finish(file, std::max(r.length, *block), limit) : Unsure();
  }
  if (version != 43) return NotThisFormat();
  if (!file.Read(0, h, 16)) return Unsure();
  if ((le ? LoadU16LE(h + 4) : LoadU16BE(h + 4)) != 8 || h[6] != 0 || h[7] != 0) return NotThisFormat();
  return TiffWalk(file, limit, le, true).Run(le ? LoadU64LE(h + 8) : LoadU64BE(h + 8));
}

// ================================================================= RAF

namespace {
constexpr std::size_t kRafHeader = 0x6C;
constexpr std::size_t kRafParts = 0x54;  // JPEG, CFA header, CFA: each a u32 BE offset and length
}  // namespace

WalkResult MeasureRaf(FileBytes& file, std::uint64_t limit) {
  Byte h[kRafHeader];
  if (!file.Read(0, h, sizeof h)) return Unsure();
  if (std::memcmp(h, "FUJIFILMCCD-RAW ", 16) != 0) return NotThisFormat();
  // Every camera writes its JPEG preview first: one that is not there, or is no JPEG, means the
  // magic matched by chance.
  const std::uint64_t jpeg = LoadU32BE(h + kRafParts);
  Byte soi[2];
  if (jpeg < kRafHeader || LoadU32BE(h + kRafParts + 4) == 0) return NotThisFormat();
  if (!ReadWithin(file, jpeg, soi, 2, limit) || soi[0] != 0xFF || soi[1] != 0xD8) return NotThisFormat();
  std::uint64_t furthest = kRafHeader;
  for (int k = 0; k < 3; ++k) {
    const std::uint64_t offset = LoadU32BE(h + kRafParts + 8 * k);
    const std::uint64_t length = LoadU32BE(h + kRafParts + 8 * k + 4);
    if (length == 0) continue;
    if (offset < kRafHeader) return NotThisFormat();
    if (offset + length > limit) return Unsure();
    furthest = std::max(furthest, offset + length);
  }
  return Finish(file, furthest, limit);
}

// ================================================================= CRW, X3F: directories at the end

namespace {
constexpr std::uint64_t kMaxTrailerScan = 256u << 20;

// Offers every offset from `from` on to `at(window, i, offset)`, window[i] being the byte at
// offset, with at least `reach` bytes after it in the window unless the file ends sooner. The
// first offset it measures a file at gives that length. Reads the file 64 KiB at a time into a
// copy (so that `at` may read the file itself); stops at the limit, at `kMaxTrailerScan` bytes and
// where the file's bytes end.
template <typename At>
std::optional<std::uint64_t> ScanForTrailer(FileBytes& file, std::uint64_t from, std::uint64_t limit,
                                            std::size_t reach, At at) {
  const std::uint64_t end = std::min(limit, kMaxTrailerScan);
  std::vector<Byte> copy;
  std::uint64_t pos = from;
  while (pos < end) {
    const std::span<const Byte> view = file.View(pos, kMaxFileView);
    if (view.empty()) return std::nullopt;
    copy.assign(view.begin(), view.end());
    const std::span<const Byte> window(copy);
    const bool full = window.size() == kMaxFileView;
    const std::size_t offer = full ? kMaxFileView - reach : window.size();
    for (std::size_t i = 0; i < offer && pos + i < end; ++i) {
      if (const std::optional<std::uint64_t> length = at(window, i, pos + i)) return length;
    }
    if (!full) return std::nullopt;
    pos += offer;
  }
  return std::nullopt;
}

constexpr std::size_t kCrwHeader = 26;
constexpr std::uint64_t kMaxCrwHeader = 0x1000;
constexpr std::size_t kMaxCiffRecords = 255;
constexpr std::size_t kCiffRecord = 10;
constexpr std::size_t kCiffTableReach = 2 + kMaxCiffRecords * kCiffRecord + 4;

// Whether a CIFF table of `count` records at `table` (heap-relative) fits a heap that ends right
// after it: every record's data lies in the heap before the table, or in the record itself.
bool CiffTableHolds(const Byte* records, std::size_t count, std::uint64_t table) {
  bool data = false;
  for (std::size_t r = 0; r < count; ++r) {
    const Byte* rec = records + r * kCiffRecord;
    const std::uint32_t tag = LoadU16LE(rec);
    const std::uint32_t where = tag & 0xC000;
    if (where == 0x4000) continue;  // value kept in the record
    if (where != 0) return false;
    const std::uint64_t size = LoadU32LE(rec + 2);
    const std::uint64_t offset = LoadU32LE(rec + 6);
    if (size == 0 || offset + size > table) return false;
    data = true;
  }
  return data;
}
}  // namespace

WalkResult MeasureCrw(FileBytes& file, std::uint64_t limit) {
  Byte h[kCrwHeader];
  if (!ReadWithin(file, 0, h, sizeof h, limit)) return Unsure();
  if (std::memcmp(h, "II", 2) != 0 || std::memcmp(h + 6, "HEAPCCDR", 8) != 0) return NotThisFormat();
  const std::uint64_t heap = LoadU32LE(h + 2);
  if (heap < kCrwHeader || heap > kMaxCrwHeader) return NotThisFormat();
  // Version 1.2, then two reserved words that are zero.
  static constexpr Byte kVersionAndReserved[12] = {2, 0, 1, 0};
  if (std::memcmp(h + 14, kVersionAndReserved, sizeof kVersionAndReserved) != 0) return NotThisFormat();
  // The root heap fills the rest of the file and its last four bytes point back at its record
  // table. No field gives the heap's length, so the walk looks for the table that a pointer
  // right after it names, and whose records all lie in the heap before it.
  const auto at = [heap](std::span<const Byte> w, std::size_t i, std::uint64_t offset) -> std::optional<std::uint64_t> {
    if (i + 2 > w.size()) return std::nullopt;
    const std::size_t count = LoadU16LE(w.data() + i);
    if (count == 0 || count > kMaxCiffRecords) return std::nullopt;
    const std::size_t pointer = i + 2 + count * kCiffRecord;
    if (pointer + 4 > w.size() || LoadU32LE(w.data() + pointer) != offset - heap) return std::nullopt;
    if (!CiffTableHolds(w.data() + i + 2, count, offset - heap)) return std::nullopt;
    return offset + 2 + count * kCiffRecord + 4;
  };
  const std::optional<std::uint64_t> end = ScanForTrailer(file, heap, limit, kCiffTableReach, at);
  return end ? Finish(file, *end, limit) : Unsure();
}

namespace {
constexpr std::size_t kX3fHeader = 8;
constexpr std::uint64_t kMaxX3fSections = 1024;
}  // namespace

WalkResult MeasureX3f(FileBytes& file, std::uint64_t limit) {
  Byte h[kX3fHeader];
  if (!ReadWithin(file, 0, h, sizeof h, limit)) return Unsure();
  if (std::memcmp(h, "FOVb", 4) != 0) return NotThisFormat();
  // Versions 2 and 3 go on with an identifier, mark bits, the picture's columns and rows and its
  // rotation in degrees: a header whose picture has no size or turns by another angle is none.
  const std::uint32_t major = LoadU16LE(h + 6);
  if (major == 2 || major == 3) {
    Byte p[16];
    if (!ReadWithin(file, 24, p, sizeof p, limit)) return Unsure();
    const std::uint32_t columns = LoadU32LE(p + 4), rows = LoadU32LE(p + 8), rotation = LoadU32LE(p + 12);
    if (columns == 0 || rows == 0 || columns > 0xFFFF || rows > 0xFFFF) return NotThisFormat();
    if (rotation != 0 && rotation != 90 && rotation != 180 && rotation != 270) return NotThisFormat();
  }
  // The section directory ("SECd", version, count, then offset, length and kind per section)
  // comes after every section, and the file's last four bytes point back at it. The walk looks for
  // a directory that such a pointer follows and whose sections all lie before it.
  const auto at = [&file, limit](std::span<const Byte> w, std::size_t i,
                                 std::uint64_t offset) -> std::optional<std::uint64_t> {
    if (i + 4 > w.size() || std::memcmp(w.data() + i, "SECd", 4) != 0) return std::nullopt;
    Byte d[12];
    if (!ReadWithin(file, offset, d, sizeof d, limit)) return std::nullopt;
    const std::uint64_t count = LoadU32LE(d + 8);
    if (count == 0 || count > kMaxX3fSections) return std::nullopt;
    std::vector<Byte> entries(static_cast<std::size_t>(count) * 12 + 4);
    if (!ReadWithin(file, offset + 12, entries.data(), entries.size(), limit)) return std::nullopt;
    if (LoadU32LE(entries.data() + count * 12) != offset) return std::nullopt;
    for (std::size_t k = 0; k < count; ++k) {
      const Byte* e = entries.data() + k * 12;
      if (LoadU32LE(e) < kX3fHeader || LoadU32LE(e) + std::uint64_t{LoadU32LE(e + 4)} > offset) return std::nullopt;
    }
    return offset + 12 + entries.size();
  };
  const std::optional<std::uint64_t> end = ScanForTrailer(file, kX3fHeader, limit, 4, at);
  return end ? Finish(file, *end, limit) : Unsure();
}

// ================================================================= MRW

namespace {
constexpr std::size_t kMaxMrwBlocks = 64;
}  // namespace

WalkResult MeasureMrw(FileBytes& file, std::uint64_t limit) {
  Byte h[8];
  if (!ReadWithin(file, 0, h, sizeof h, limit)) return Unsure();
  if (std::memcmp(h, "\0MRM", 4) != 0) return NotThisFormat();
  // The MRM block's blocks (PRD, TTW, WBG, RIF, padding), then the sensor data, whose size the
  // picture description gives: rows × columns at 12 bits (packed) or 16.
  const std::uint64_t data = 8 + std::uint64_t{LoadU32BE(h + 4)};
  std::uint64_t at = 8;
  std::uint64_t sensorBytes = 0;
  bool described = false;
  for (std::size_t n = 0; at < data; ++n) {
    if (n == kMaxMrwBlocks) return Unsure();
    Byte b[8 + 19];
    if (!ReadWithin(file, at, b, 8, limit)) return Unsure();
    // The chain sits in the file's first sectors, next to the header: where it breaks, the header
    // stands before bytes of another kind.
    const std::uint64_t size = LoadU32BE(b + 4);
    if (b[0] != 0 || at + 8 + size > data) return NotThisFormat();
    if (std::memcmp(b, "\0PRD", 4) == 0 && size >= 19) {
      if (!ReadWithin(file, at + 8, b + 8, 19, limit)) return Unsure();
      const std::uint64_t rows = LoadU16BE(b + 8 + 8);
      const std::uint64_t columns = LoadU16BE(b + 8 + 10);
      const std::uint64_t bits = b[8 + 18] == 0x59 ? 12 : 16;
      sensorBytes = rows * columns * bits / 8;
      described = sensorBytes > 0;
    } else if (n == 0) {
      return NotThisFormat();  // the picture description always comes first
    }
    at += 8 + size;
  }
  if (!described) return NotThisFormat();
  return Finish(file, data + sensorBytes, limit);
}

// ================================================================= PSD

namespace {
constexpr std::size_t kMaxPsdResources = 1'000'000;

// Walks the image resource blocks of [pos, end): they must fill it exactly.
WalkResult PsdResources(FileBytes& file, std::uint64_t pos, std::uint64_t end, std::uint64_t limit) {
  for (std::size_t n = 0; pos < end; ++n) {
    if (n == kMaxPsdResources) return Unsure();
    Byte r[7];
    if (!ReadWithin(file, pos, r, sizeof r, limit)) return Unsure();
    if (std::memcmp(r, "8BIM", 4) != 0 && std::memcmp(r, "MeSa", 4) != 0 && std::memcmp(r, "AgHg", 4) != 0 &&
        std::memcmp(r, "PHUT", 4) != 0 && std::memcmp(r, "DCSR", 4) != 0)
      return n == 0 ? NotThisFormat() : Unsure();
    const std::uint64_t name = (std::uint64_t{r[6]} + 2) & ~std::uint64_t{1};  // Pascal string, even
    Byte s[4];
    if (!ReadWithin(file, pos + 6 + name, s, 4, limit)) return Unsure();
    const std::uint64_t size = (std::uint64_t{LoadU32BE(s)} + 1) & ~std::uint64_t{1};
    pos += 6 + name + 4 + size;
  }
  return pos == end ? Measured(end) : Unsure();
}
}  // namespace

WalkResult MeasurePsd(FileBytes& file, std::uint64_t limit) {
  Byte h[26];
  if (!file.Read(0, h, sizeof h)) return Unsure();
  if (std::memcmp(h, "8BPS", 4) != 0) return NotThisFormat();
  const std::uint32_t version = LoadU16BE(h + 4);
  const std::uint64_t channels = LoadU16BE(h + 12);
  const std::uint64_t height = LoadU32BE(h + 14);
  const std::uint64_t width = LoadU32BE(h + 18);
  const std::uint32_t depth = LoadU16BE(h + 22);
  const std::uint32_t mode = LoadU16BE(h + 24);
  const std::uint64_t maxSide = version == 2 ? 300000 : 30000;
  if ((version != 1 && version != 2) || std::any_of(h + 6, h + 12, [](Byte b) { return b != 0; }) || channels == 0 ||
      channels > 56 || height == 0 || height > maxSide || width == 0 || width > maxSide ||
      (depth != 1 && depth != 8 && depth != 16 && depth != 32) || mode > 9 || mode == 5 || mode == 6)
    return NotThisFormat();
  std::uint64_t pos = 26;
  Byte len[8];
  if (!ReadWithin(file, pos, len, 4, limit)) return Unsure();  // colour mode data
  pos += 4 + std::uint64_t{LoadU32BE(len)};
  if (!ReadWithin(file, pos, len, 4, limit)) return Unsure();  // image resources
  const std::uint64_t resourcesEnd = pos + 4 + LoadU32BE(len);
  if (const WalkResult r = PsdResources(file, pos + 4, resourcesEnd, limit); r.verdict != WalkVerdict::kMeasured)
    return r;
  pos = resourcesEnd;
  const std::size_t layerField = version == 2 ? 8 : 4;  // layer and mask information
  if (!ReadWithin(file, pos, len, layerField, limit)) return Unsure();
  const std::uint64_t layers = version == 2 ? LoadU64BE(len) : LoadU32BE(len);
  if (!AddOk(pos + layerField, layers, &pos)) return Unsure();
  Byte comp[2];
  if (!ReadWithin(file, pos, comp, 2, limit)) return Unsure();
  pos += 2;
  const std::uint64_t rows = channels * height;
  const std::uint64_t rowBytes = (width * depth + 7) / 8;
  switch (LoadU16BE(comp)) {
    case 0: {
      std::uint64_t end = 0;
      return AddOk(pos, rows * rowBytes, &end) ? Finish(file, end, limit) : Unsure();
    }
    case 1: {  // PackBits: a table of each row's packed length, then the rows
      const std::size_t field = version == 2 ? 4 : 2;
      std::uint64_t total = rows * field;
      std::uint64_t at = pos;
      for (std::uint64_t left = rows * field; left > 0;) {
        if (at >= limit) return Unsure();
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, kMaxFileView)) / field * field;
        const std::span<const Byte> v = file.View(at, want);
        const std::size_t usable = v.size() / field * field;
        if (usable == 0) return Unsure();
        for (std::size_t i = 0; i < usable; i += field) total += field == 2 ? LoadU16BE(v.data() + i) : LoadU32BE(v.data() + i);
        at += usable;
        left -= usable;
      }
      std::uint64_t end = 0;
      return AddOk(pos, total, &end) ? Finish(file, end, limit) : Unsure();
    }
    default: return Unsure();  // zip-compressed image data has no length of its own
  }
}

// ================================================================= ICO

WalkResult MeasureIco(FileBytes& file, std::uint64_t limit) {
  Byte h[6];
  if (!file.Read(0, h, 6)) return Unsure();
  const std::uint32_t type = LoadU16LE(h + 2);
  const std::size_t count = LoadU16LE(h + 4);
  if (LoadU16LE(h) != 0 || (type != 1 && type != 2) || count == 0 || count > 1024) return NotThisFormat();
  std::vector<Byte> dir(16 * count);
  if (!ReadWithin(file, 6, dir.data(), dir.size(), limit)) return Unsure();
  const std::uint64_t dirEnd = 6 + dir.size();
  std::uint64_t end = dirEnd;
  for (std::size_t i = 0; i < count; ++i) {
    const Byte* e = dir.data() + 16 * i;
    const std::uint64_t size = LoadU32LE(e + 8);
    const std::uint64_t offset = LoadU32LE(e + 12);
    if (size < 8 || offset < dirEnd) return NotThisFormat();
    end = std::max(end, offset + size);
  }
  if (end > limit) return Unsure();
  // Each image is a PNG or a bitmap info header.
  for (std::size_t i = 0; i < count; ++i) {
    Byte b[8];
    if (!file.Read(LoadU32LE(dir.data() + 16 * i + 12), b, 8)) return Unsure();
    if (std::memcmp(b, "\x89PNG\r\n\x1A\n", 8) != 0 && LoadU32LE(b) != 40 && LoadU32LE(b) != 12 && LoadU32LE(b) != 108 &&
        LoadU32LE(b) != 124)
      return Unsure();
  }
  return Finish(file, end, limit);
}

// ================================================================= TTF

namespace {
constexpr std::uint32_t kMaxFontTables = 1024;
constexpr std::uint32_t kMaxCollectionFonts = 1024;

bool Printable(const Byte* p, std::size_t n) {
  return std::all_of(p, p + n, [](Byte c) { return c >= 0x20 && c <= 0x7E; });
}

bool SfntVersion(const Byte* p) {
  return std::memcmp(p, "\x00\x01\x00\x00", 4) == 0 || std::memcmp(p, "OTTO", 4) == 0 ||
         std::memcmp(p, "true", 4) == 0 || std::memcmp(p, "typ1", 4) == 0;
}

// The furthest table end of the table directory at `at`. The fonts of a collection share tables,
// which may stand before a later font's directory.
WalkResult FontDirectoryEnd(FileBytes& file, std::uint64_t at, bool shared, std::uint64_t limit, std::uint64_t& end) {
  Byte h[12];
  if (!ReadWithin(file, at, h, 12, limit)) return Unsure();
  const std::uint32_t tables = LoadU16BE(h + 4);
  if (!SfntVersion(h) || tables == 0 || tables > kMaxFontTables) return NotThisFormat();
  std::vector<Byte> dir(16 * std::size_t{tables});
  if (!ReadWithin(file, at + 12, dir.data(), dir.size(), limit)) return Unsure();
  const std::uint64_t dirEnd = at + 12 + dir.size();
  end = std::max(end, dirEnd);
  for (std::size_t i = 0; i < tables; ++i) {
    const Byte* r = dir.data() + 16 * i;
    const std::uint64_t offset = LoadU32BE(r + 8);
    const std::uint64_t length = LoadU32BE(r + 12);
    if (!Printable(r, 4) || offset < (shared ? 12 : dirEnd)) return NotThisFormat();
    end = std::max(end, offset + length);
  }
  return Measured(end);
}
}  // namespace

WalkResult MeasureTtf(FileBytes& file, std::uint64_t limit) {
  Byte h[12];
  if (!file.Read(0, h, 12)) return Unsure();
  std::uint64_t end = 0;
  if (std::memcmp(h, "ttcf", 4) == 0) {
    const std::uint32_t major = LoadU16BE(h + 4);
    const std::uint32_t fonts = LoadU32BE(h + 8);
    if ((major != 1 && major != 2) || fonts == 0 || fonts > kMaxCollectionFonts) return NotThisFormat();
    std::vector<Byte> offsets(4 * std::size_t{fonts} + 12);
    if (!ReadWithin(file, 12, offsets.data(), offsets.size(), limit)) return Unsure();
    end = 12 + 4 * std::uint64_t{fonts} + (major == 2 ? 12 : 0);
    for (std::size_t i = 0; i < fonts; ++i) {
      const WalkResult r = FontDirectoryEnd(file, LoadU32BE(offsets.data() + 4 * i), true, limit, end);
      if (r.verdict != WalkVerdict::kMeasured) return i == 0 ? r : Unsure();
    }
    const Byte* dsig = offsets.data() + 4 * std::size_t{fonts};
    if (major == 2 && std::memcmp(dsig, "DSIG", 4) == 0) end = std::max(end, std::uint64_t{LoadU32BE(dsig + 8)} + LoadU32BE(dsig + 4));
  } else {
    const WalkResult r = FontDirectoryEnd(file, 0, false, limit, end);
    if (r.verdict != WalkVerdict::kMeasured) return r;
  }
  // Tables start on 4-byte boundaries and fonts pad the last one with zeros; a font that does not
  // is followed by whatever came next, which is rarely all zeros.
  const std::uint64_t padded = (end + 3) & ~std::uint64_t{3};
  if (padded != end && padded <= limit) {
    Byte pad[3];
    if (file.Read(end, pad, padded - end) && std::all_of(pad, pad + (padded - end), [](Byte b) { return b == 0; }))
      end = padded;
  }
  return Finish(file, end, limit);
}

// ================================================================= RIFF

namespace {
constexpr std::size_t kMaxRiffChunks = 1'000'000;  // over all parts of a file
constexpr std::size_t kMaxAvixParts = 100'000;

bool FourCc(const Byte* p) {
  return std::all_of(p, p + 4, [](Byte c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' ' || c == '_';
  });
}

// One RIFF list at `at`: its end with the pad byte, once its top-level chunks fill it.
constexpr std::uint64_t kMaxWaveFormatBytes = 4096;

WalkResult RiffPart(FileBytes& file, std::uint64_t at, std::uint64_t limit, bool first, std::size_t& chunks) {
  const auto broken = [first] { return first ? NotThisFormat() : Unsure(); };
  Byte h[12];
  if (!ReadWithin(file, at, h, 12, limit)) return Unsure();
  const std::uint64_t size = LoadU32LE(h + 4);
  if (std::memcmp(h, "RIFF", 4) != 0 || !FourCc(h + 8) || size < 4) return broken();
  const std::uint64_t end = at + 8 + size;
  if (end > limit) return Unsure();
  std::uint64_t pos = at + 12;
  for (std::size_t n = 0; pos + 8 <= end; ++n) {
    if (++chunks > kMaxRiffChunks) return Unsure();
    // Until two chunks have parsed, a break means the RIFF header matched by chance.
    const bool early = n <= 1;
    Byte c[8];
    if (!file.Read(pos, c, 8)) return early ? broken() : Unsure();
    if (!FourCc(c)) return early ? broken() : Unsure();
    const std::uint64_t chunk = LoadU32LE(c + 4);
    // A wave format chunk holds a few dozen bytes.
    if (n == 0 && std::memcmp(c, "fmt ", 4) == 0 && (chunk < 14 || chunk > kMaxWaveFormatBytes)) return broken();
    if (pos + 8 + chunk == end) {  // the last chunk, odd and unpadded inside the size
      pos = end;
      break;
    }
    pos += 8 + chunk + (chunk & 1);
  }
  if (pos != end) return Unsure();
  return Measured(end + (size & 1));
}
}  // namespace

WalkResult MeasureRiff(FileBytes& file, std::uint64_t limit) {
  std::size_t chunks = 0;
  const WalkResult r = RiffPart(file, 0, limit, true, chunks);
  if (r.verdict != WalkVerdict::kMeasured) return r;
  std::uint64_t end = r.length;
  Byte form[4];
  if (!file.Read(8, form, 4)) return Unsure();
  if (std::memcmp(form, "AVI ", 4) == 0) {
    // An AVI past 1 GiB goes on in RIFF 'AVIX' lists directly after the first.
    for (std::size_t n = 0; n < kMaxAvixParts; ++n) {
      Byte h[12];
      if (end + 12 > limit || !file.Read(end, h, 12)) break;
      if (std::memcmp(h, "RIFF", 4) != 0 || std::memcmp(h + 8, "AVIX", 4) != 0) break;
      const WalkResult part = RiffPart(file, end, limit, false, chunks);
      if (part.verdict != WalkVerdict::kMeasured) return Unsure();
      end = part.length;
    }
  }
  return Finish(file, end, limit);
}

// ================================================================= WebP

WalkResult MeasureWebp(FileBytes& file, std::uint64_t limit) {
  // The image chunk comes first and lies inside the RIFF; the extended header is 10 bytes.
  Byte h[20];
  if (!ReadWithin(file, 0, h, 20, limit)) return Unsure();
  const std::uint64_t riff = LoadU32LE(h + 4);
  const std::uint64_t first = LoadU32LE(h + 16);
  if (std::memcmp(h + 8, "WEBP", 4) != 0 || riff < 12 || first > riff - 12) return NotThisFormat();
  if (std::memcmp(h + 12, "VP8X", 4) == 0 && first != 10) return NotThisFormat();
  return MeasureRiff(file, limit);
}

}  // namespace rexmoor::formats
