#include "formats/package_typing.h"

#include <cstring>
#include <string_view>

#include "formats/byte_search.h"
#include "formats/carving_context.h"
#include "formats/extent_walk.h"

namespace rexmoor::formats {

namespace {

constexpr std::size_t kLocalHeaderName = 30;    // name of a local file header
constexpr std::size_t kCentralHeaderName = 46;  // name of a central directory header
constexpr std::size_t kCentralHeaderMinimum = 48;
constexpr std::size_t kContentTypesOffset = 31;
constexpr char kContentTypes[] = "[Content_Types].xml";

bool NameStarts(const std::uint8_t* name, std::size_t available, const char* prefix, std::size_t needed) {
  if (available < needed) return false;
  for (std::size_t i = 0; prefix[i] != 0; ++i) {
    std::uint8_t c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<std::uint8_t>(c + 32);
    if (c != static_cast<std::uint8_t>(prefix[i])) return false;
  }
  return true;
}

FileTypeId TypeFromName(const std::uint8_t* name, std::size_t available) {
  if (NameStarts(name, available, "word", 5)) return kTypeDocx;
  if (NameStarts(name, available, "ppt", 4)) return kTypePptx;
  if (NameStarts(name, available, "xl", 3)) return kTypeXlsx;
  return kTypeNone;
}

}  // namespace

FileTypeId OpenPackageType(std::span<const std::uint8_t> b) {
  static constexpr char kMimetype[] = "mimetype";
  constexpr std::size_t kNameLength = sizeof kMimetype - 1;
  if (b.size() < kLocalHeaderName + kNameLength || std::memcmp(b.data(), "PK\x03\x04", 4) != 0) return kTypeNone;
  const auto u16 = [&](std::size_t at) { return static_cast<std::uint32_t>(b[at] | (b[at + 1] << 8)); };
  const auto u32 = [&](std::size_t at) { return u16(at) | (u16(at + 2) << 16); };
  // Stored (method 0), sizes in the header, named "mimetype".
  if (u16(8) != 0 || u16(26) != kNameLength || std::memcmp(b.data() + kLocalHeaderName, kMimetype, kNameLength) != 0)
    return kTypeNone;
  const std::uint32_t size = u32(18);
  const std::size_t content = kLocalHeaderName + kNameLength + u16(28);
  if (size != u32(22) || size == 0 || content > b.size() || size > b.size() - content) return kTypeNone;
  const std::string_view type(reinterpret_cast<const char*>(b.data()) + content, size);
  static constexpr struct {
    std::string_view mimetype;
    FileTypeId id;
  } kTypes[] = {
      {"application/vnd.oasis.opendocument.text", kTypeOdt},
      {"application/vnd.oasis.opendocument.spreadsheet", kTypeOds},
      {"application/vnd.oasis.opendocument.presentation", kTypeOdp},
      {"application/vnd.oasis.opendocument.graphics", kTypeOdg},
      {"application/epub+zip", kTypeEpub},
  };
  for (const auto& t : kTypes) {
    if (type == t.mimetype) return t.id;
  }
  return kTypeNone;
}

FileTypeId PackageTypeFromWindow(std::span<const std::uint8_t> window) {
  const std::uint8_t* data = window.data();
  std::size_t limit = window.size();
  // Entries after the end-of-central-directory record belong to something else.
  if (const std::uint8_t* eocd = FindForward(window.size(), data, reinterpret_cast<const std::uint8_t*>("PK\x05\x06"), 4))
    limit = static_cast<std::size_t>(eocd - data);
  const std::uint8_t* p = data;
  const std::uint8_t* end = data + limit;
  while (end - p >= 4) {
    const void* hit = std::memchr(p, 'P', static_cast<std::size_t>(end - p) - 3);
    if (hit == nullptr) break;
    p = static_cast<const std::uint8_t*>(hit);
    const std::size_t at = static_cast<std::size_t>(p - data);
    const std::size_t remaining = window.size() - at;
    if (p[1] == 'K' && p[2] == 0x03 && p[3] == 0x04 && remaining >= kLocalHeaderName) {
      const FileTypeId type = TypeFromName(p + kLocalHeaderName, remaining - kLocalHeaderName);
      if (type != kTypeNone) return type;
    } else if (p[1] == 'K' && p[2] == 0x01 && p[3] == 0x02 && remaining >= kCentralHeaderMinimum) {
      const FileTypeId type = TypeFromName(p + kCentralHeaderName, remaining - kCentralHeaderName);
      if (type != kTypeNone) return type;
    }
    ++p;
  }
  return kTypeNone;
}

FileTypeId PackageTypingScan(const CarvingContext& ctx) {
  if (!IsSupportedSectorSize(ctx.sectorSize)) return kTypeNone;
  const std::size_t s = static_cast<std::size_t>(ctx.sectorSize);
  std::uint8_t buffer[kPackageSeamBytes + kPackageWindowSectors * kMaxSectorSize];
  std::size_t carried = 0;
  for (std::uint32_t w = 0; w < kPackageWindows; ++w) {
    const std::uint64_t first = ctx.cursorSector + std::uint64_t{w} * kPackageWindowSectors;
    if (first < ctx.cursorSector) return kTypeNone;
    // A package near the end of the medium is read up to the end.
    const std::uint32_t got = ReadMediumSectorsClipped(ctx, first, kPackageWindowSectors, buffer + carried);
    if (got == 0) return kTypeNone;
    const std::size_t size = carried + got * s;
    const FileTypeId type = PackageTypeFromWindow({buffer, size});
    if (type != kTypeNone) return type;
    if (got < kPackageWindowSectors) return kTypeNone;
    // Keep the window's last bytes in front of the next one, for a signature split by the seam.
    std::memmove(buffer, buffer + size - kPackageSeamBytes, kPackageSeamBytes);
    carried = kPackageSeamBytes;
  }
  return kTypeNone;
}

FileTypeId PackageTest(CarvingContext& ctx, std::span<const std::uint8_t> b) {
  if (b.size() < 31) return kTypeNone;
  const bool local = std::memcmp(b.data(), "PK\x03\x04", 4) == 0;
  const bool contentTypes = b.size() >= kContentTypesOffset + sizeof kContentTypes - 1 &&
                            std::memcmp(b.data() + kContentTypesOffset, kContentTypes, sizeof kContentTypes - 1) == 0;
  if (!local && !contentTypes) return kTypeNone;
  // A package that says what it is needs no scan (and no entry name of its can mislead one).
  if (const FileTypeId open = OpenPackageType(b); open != kTypeNone) return open;
  return PackageTypingScan(ctx);
}

}  // namespace rexmoor::formats
