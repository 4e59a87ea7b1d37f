#include "formats/compound_document.h"

#include <algorithm>
#include <cstring>

#include "formats/byte_search.h"
#include "formats/carving_context.h"
#include "formats/extent_walk.h"
#include "formats/format_rules.h"
#include "formats/structure_extent.h"
#include "formats/walk_archives.h"
#include "platform/byte_view.h"

namespace rexmoor::formats {

namespace {

constexpr std::uint8_t kMagic[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

// Root-entry class ids in their stored byte order.
constexpr std::uint8_t kWordClass[16] = {0x06, 0x09, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                         0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr std::uint8_t kExcelClass[16] = {0x20, 0x08, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                          0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr std::uint8_t kExcel5Class[16] = {0x10, 0x08, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                           0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr std::uint8_t kPowerPointClass[16] = {0x10, 0x8D, 0x81, 0x64, 0x9B, 0x4F, 0xCF, 0x11,
                                               0x86, 0xEA, 0x00, 0xAA, 0x00, 0xB9, 0x29, 0xE8};

constexpr std::uint16_t kWordFibMagic = 0xA5EC;
constexpr std::uint16_t kExcelBof[3] = {0x0809, 0x0010, 0x0600};

std::uint32_t DocSectorSize(std::span<const std::uint8_t> header) {
  const auto shift = ByteView(header).U16LE(kCfbSectorShift);
  return shift && *shift == 12 ? 4096u : 512u;
}

// Byte offset of the header (base) plus (1 + n) document sectors; false on overflow.
bool DocSectorOffset(std::uint64_t base, std::uint32_t n, std::uint32_t docSectorSize, std::uint64_t* out) {
  std::uint64_t rel = 0;
  return !__builtin_mul_overflow(std::uint64_t{n} + 1, std::uint64_t{docSectorSize}, &rel) &&
         !__builtin_add_overflow(base, rel, out);
}

bool SectorBase(const CarvingContext& ctx, std::uint64_t sector, std::uint64_t* out) {
  const std::int32_t s = ctx.sectorSize;
  return s > 0 && !__builtin_mul_overflow(sector, static_cast<std::uint64_t>(s), out);
}

// Case-insensitive comparison of a stored UTF-16 entry name with an ASCII name.
bool EntryNameIs(const std::uint8_t* entry, const char* name) {
  const std::size_t n = std::strlen(name);
  const std::uint16_t stored = LoadU16LE(entry + kCfbDirEntryNameLength);
  if (stored != (n + 1) * 2) return false;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint16_t c = LoadU16LE(entry + 2 * i);
    const auto lower = [](std::uint16_t ch) -> std::uint16_t { return ch >= 'A' && ch <= 'Z' ? ch + 32 : ch; };
    if (lower(c) != lower(static_cast<std::uint8_t>(name[i]))) return false;
  }
  return true;
}

// The Word user-type text of the CompObj stream ("Microsoft Office Word" and a two-character
// localised word for document), next to the stream's byte-order and format marks.
class WordUserTypeFooter : public WalkFooter {
 public:
  bool Examine(const ChunkView& chunk, std::uint64_t* end) override {
    static const std::uint8_t kMarks[] = {0x01, 0x00, 0xFE, 0xFF, 0x03, 0x0A};
    static const std::uint8_t kText[] = {'M', 'i', 'c', 'r', 'o', 's', 'o', 'f', 't', ' ', 'O', 'f', 'f',
                                         'i', 'c', 'e', ' ', 'W', 'o', 'r', 'd', ' ', 0xCE, 0xC4, 0xB5, 0xB5};
    const std::uint8_t* text = chunk.Find({kText, sizeof kText});
    if (text == nullptr || chunk.Find({kMarks, sizeof kMarks}) == nullptr) return false;
    const std::uint64_t s = static_cast<std::uint64_t>(chunk.sectorSize);
    const std::uint64_t e = chunk.FileOffset(text) + sizeof kText;
    *end = (e + s - 1) / s * s;
    return true;
  }
};

}  // namespace

FileTypeId CompoundTest(CarvingContext& ctx, std::span<const std::uint8_t> b) {
  if (b.size() < 8 || std::memcmp(b.data(), kMagic, sizeof kMagic) != 0) return kTypeNone;
  return CompoundSubtype(ctx, b);
}

FileTypeId CompoundSubtype(const CarvingContext& ctx, std::span<const std::uint8_t> header) {
  const std::uint32_t docSectorSize = DocSectorSize(header);
  std::uint64_t base = 0;
  std::uint64_t offset = 0;
  if (!SectorBase(ctx, ctx.cursorSector, &base) || !DocSectorOffset(base, 0, docSectorSize, &offset)) return kTypeOle;

  // The first document sector usually starts the main stream: a Word FIB or an Excel BOF record.
  std::uint8_t first[6];
  if (!ReadMediumBytes(ctx, offset, first, sizeof first)) return kTypeOle;
  if (LoadU16LE(first) == kWordFibMagic) return kTypeDoc;
  if (LoadU16LE(first) == kExcelBof[0] && LoadU16LE(first + 2) == kExcelBof[1] && LoadU16LE(first + 4) == kExcelBof[2])
    return kTypeXls;

  const auto dirSector = ByteView(header).U32LE(kCfbFirstDirSector);
  if (!dirSector || !DocSectorOffset(base, *dirSector, docSectorSize, &offset)) return kTypeOle;
  std::uint8_t dir[kMaxSectorSize];
  if (!ReadMediumBytes(ctx, offset, dir, docSectorSize)) return kTypeOle;

  const std::uint8_t* rootClass = dir + kCfbDirEntryClassId;
  if (std::memcmp(rootClass, kWordClass, 16) == 0) return kTypeDoc;
  if (std::memcmp(rootClass, kExcelClass, 16) == 0 || std::memcmp(rootClass, kExcel5Class, 16) == 0) return kTypeXls;
  if (std::memcmp(rootClass, kPowerPointClass, 16) == 0) return kTypePpt;

  for (std::size_t i = 0; i < docSectorSize / kCfbDirEntrySize; ++i) {
    const std::uint8_t* entry = dir + i * kCfbDirEntrySize;
    if (EntryNameIs(entry, "WordDocument")) return kTypeDoc;
    if (EntryNameIs(entry, "Workbook")) return kTypeXls;
    if (EntryNameIs(entry, "PowerPoint Document")) return kTypePpt;
  }
  return kTypeOle;
}

std::uint64_t CompoundEstimate(const CarvingContext& ctx, std::span<const std::uint8_t> header) {
  const ByteView h(header);
  if (!h.Has(0, kCfbHeaderDifat + 4 * kCfbHeaderDifatEntries)) return 0;
  const std::uint16_t shift = *h.U16LE(kCfbSectorShift);
  if (shift != 9 && shift != 12) return 0;
  const std::uint32_t docSectorSize = 1u << shift;
  const std::uint32_t perFatSector = docSectorSize / 4;        // 128 or 1024 entries
  const std::uint32_t perDifatSector = perFatSector - 1;       // the last entry links the chain
  const std::uint32_t fatSectors = *h.U32LE(kCfbFatSectors);
  const std::uint32_t miniFatSectors = *h.U32LE(kCfbMiniFatSectors);
  const std::uint32_t difatSectors = *h.U32LE(kCfbDifatSectors);
  const std::uint32_t firstDifat = *h.U32LE(kCfbFirstDifatSector);

  const std::uint32_t bound = (0xFFFFFFFAu >> (shift - 2)) + 1;
  if (fatSectors > bound || miniFatSectors > bound) return 0;
  if (difatSectors > bound / perDifatSector + 1) return 0;
  if (difatSectors > 0 && fatSectors < kCfbHeaderDifatEntries) return 0;
  if (fatSectors == 0) return 0;

  std::uint64_t base = 0;
  if (!SectorBase(ctx, ctx.fileStartSector, &base)) return 0;
  std::uint8_t sector[kMaxSectorSize];

  std::uint32_t lastFat = 0;
  if (difatSectors == 0) {
    if (fatSectors > kCfbHeaderDifatEntries) return 0;
    lastFat = *h.U32LE(kCfbHeaderDifat + 4 * (fatSectors - 1));
  } else {
    if (difatSectors > kCfbMaxDifatWalk) return 0;
    std::uint32_t next = firstDifat;
    for (std::uint32_t i = 1;; ++i) {
      std::uint64_t offset = 0;
      if (next > kCfbMaxRegularSector || !DocSectorOffset(base, next, docSectorSize, &offset) ||
          !ReadMediumBytes(ctx, offset, sector, docSectorSize))
        return 0;
      if (i == difatSectors) {
        const std::uint32_t remainder = (fatSectors - kCfbHeaderDifatEntries) % perDifatSector;
        const std::uint32_t index = remainder == 0 ? perDifatSector - 1 : remainder - 1;
        lastFat = LoadU32LE(sector + 4 * index);
        break;
      }
      next = LoadU32LE(sector + 4 * perDifatSector);
    }
  }

  std::uint64_t offset = 0;
  if (lastFat > kCfbMaxRegularSector || !DocSectorOffset(base, lastFat, docSectorSize, &offset) ||
      !ReadMediumBytes(ctx, offset, sector, docSectorSize))
    return 0;
  std::uint32_t freeAtEnd = 0;
  while (freeAtEnd < perFatSector && LoadU32LE(sector + 4 * (perFatSector - 1 - freeAtEnd)) == kCfbFreeSector)
    ++freeAtEnd;

  const std::uint64_t sectors = std::uint64_t{fatSectors} * perFatSector + 1 - freeAtEnd;
  return std::min<std::uint64_t>(sectors * docSectorSize, kCfbSizeCap);
}

std::uint64_t CompoundExtent(CarvingContext& ctx, std::span<const std::uint8_t> header) {
  if (const auto length = MeasureByStructure(ctx, header, MeasureCompoundDocument, kLimit4GiB)) return *length;
  if (const std::uint64_t estimate = CompoundEstimate(ctx, header); estimate != 0) return estimate;
  WordUserTypeFooter footer;
  return ExtentWalk(ctx, header, kCfbSizeCap, &footer);
}

}  // namespace rexmoor::formats
