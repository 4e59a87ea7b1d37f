// Hostile and corrupt input: absurd header fields, random damage, loops in on-disk chains, start
// sectors at and past the medium's end. Nothing may crash, read outside a buffer (the test build
// runs under the address and undefined-behaviour sanitizers) or run away.
#include <gtest/gtest.h>

#include <map>

#include <random>

#include "formats/carve_at_sector.h"
#include "formats/carving_context.h"
#include "formats/compound_document.h"
#include "formats/extent_walk.h"
#include "formats/file_format_table.h"
#include "formats/format_rules.h"
#include "formats/package_typing.h"
#include "carve_test_support.h"

namespace rexmoor {
namespace {

using carvetest::Bytes;

// Starting points: a first sector (or whole small file) of every format.
std::vector<Bytes> Seeds() {
  std::vector<Bytes> seeds;
  for (FileTypeId type = 0; type < kFileTypeCount; ++type) {
    Bytes h = carvetest::SyntheticHeader(type, 1000 + type);
    if (!h.empty()) seeds.push_back(h);
  }
  seeds.push_back(carvetest::MakeCompound(4, {0xEC, 0xA5}, {}, "WordDocument", 1));
  seeds.push_back(carvetest::MakeZip({{"word/document.xml", 700}}, 2));
  seeds.push_back(carvetest::MakeTs(60, 3));
  seeds.push_back(carvetest::MakeMts(30, 4));
  seeds.push_back(carvetest::MakeJpeg(2000, 5));
  seeds.push_back(carvetest::MakeExifJpeg(2000, 6));
  seeds.push_back(carvetest::MakeMidi({100, 200}, 7));
  seeds.push_back(carvetest::Make7z(1000, 100, 8));
  seeds.push_back(carvetest::MakeIco({500, 700}, 9));
  seeds.push_back(carvetest::MakeTtf(10, 10));
  seeds.push_back(carvetest::MakePdf(1000, 11));
  for (const auto& sample : carvetest::LoadManifest()) {
    Bytes file = carvetest::LoadSample(sample.name);
    file.resize(std::min<std::size_t>(file.size(), 6144));
    seeds.push_back(file);
  }
  return seeds;
}

// Carves every start; each call must end with a legal result and a bounded number of reads.
void CarveAll(CarvingContext& ctx, const carvetest::Medium& medium, const std::vector<std::uint64_t>& starts, std::uint64_t* carved) {
  for (std::uint64_t start : starts) {
    CarvedFile out;
    const std::uint64_t reads = SystemReadCount();
    const Result rc = CarveAtSector(ctx, 512, medium.source(), medium.Sector(start), start, 0, 1, -1, 0, &out);
    ASSERT_TRUE(rc == kSuccess || rc == kErrInvalidParameter) << rc;
    ASSERT_LT(SystemReadCount() - reads, 5000u) << "start " << start;
    if (rc == kSuccess) {
      ASSERT_GE(out.typeId, 0);
      ASSERT_LT(out.typeId, kFileTypeCount);
      ++*carved;
    }
  }
}

TEST(CarveHostile, AbsurdValuesInEveryHeaderField) {
  CarvingContext ctx;
  const std::uint32_t values[] = {0x00000000, 0xFFFFFFFF, 0x7FFFFFFF, 0x80000000, 0x00010000, 0x000001FF};
  std::uint64_t carved = 0;
  std::uint32_t garbageSeed = 1;
  for (const Bytes& seed : Seeds()) {
    carvetest::ImageBuilder builder;
    std::vector<std::uint64_t> starts;
    for (std::size_t offset = 0; offset < 84; offset += 2) {
      for (std::uint32_t value : values) {
        Bytes variant(seed.begin(), seed.begin() + std::min<std::size_t>(seed.size(), 2048));
        if (offset + 4 > variant.size()) continue;
        carvetest::Put32(variant, offset, value);
        starts.push_back(builder.Place(variant));
        builder.Random(2, garbageSeed++);
      }
    }
    carvetest::Medium medium(builder.bytes());
    CarveAll(ctx, medium, starts, &carved);
  }
  EXPECT_GT(carved, 1000u);
}

TEST(CarveHostile, RandomDamageAnywhereInTheFirstSectors) {
  CarvingContext ctx;
  const std::vector<Bytes> seeds = Seeds();
  std::mt19937 rng(99);
  std::uint64_t carved = 0;
  for (int batch = 0; batch < 12; ++batch) {
    carvetest::ImageBuilder builder;
    std::vector<std::uint64_t> starts;
    for (int i = 0; i < 400; ++i) {
      Bytes variant = seeds[rng() % seeds.size()];
      variant.resize(std::min<std::size_t>(variant.size(), 8192));
      const int damage = 1 + static_cast<int>(rng() % 16);
      for (int d = 0; d < damage; ++d) {
        const std::size_t at = rng() % 2 == 0 ? rng() % std::min<std::size_t>(variant.size(), 96) : rng() % variant.size();
        variant[at] = static_cast<std::uint8_t>(rng());
      }
      starts.push_back(builder.Place(variant));
      if (rng() % 2 == 0) builder.Random(1 + rng() % 3, static_cast<std::uint32_t>(rng()));
    }
    carvetest::Medium medium(builder.bytes());
    CarveAll(ctx, medium, starts, &carved);
  }
  // Many damaged headers are still carved (others are now seen to be no file at all).
  EXPECT_GT(carved, 1500u);
}

TEST(CarveHostile, LoopsAndRunawaysInOnDiskStructures) {
  CarvingContext ctx;

  // Compound document: a DIFAT chain that points at itself, as long as the cap allows, and longer.
  Bytes cfb = carvetest::MakeCompound(2, {}, {}, "Data", 20);
  cfb.resize(512);
  carvetest::Put32(cfb, 44, 109 + 127 * 2047 + 5);
  carvetest::Put32(cfb, 72, 2048);
  carvetest::Put32(cfb, 68, 0);  // document sector 0: the next sector of the medium
  Bytes selfLink(512, 0xFF);
  carvetest::Put32(selfLink, 127 * 4, 0);
  carvetest::ImageBuilder b;
  b.Place(cfb);
  b.Place(selfLink);
  b.Random(4, 21);
  carvetest::Medium medium(b.bytes());
  ctx.source = &medium.source();
  ctx.sectorSize = 512;
  ctx.fileStartSector = ctx.cursorSector = 0;
  std::uint64_t reads = SystemReadCount();
  EXPECT_EQ(formats::CompoundEstimate(ctx, cfb), 0u);  // the last FAT sector number is not a sector
  EXPECT_LE(SystemReadCount() - reads, 2048u + 2);
  carvetest::Put32(cfb, 72, 2049);
  reads = SystemReadCount();
  EXPECT_EQ(formats::CompoundEstimate(ctx, cfb), 0u);
  EXPECT_EQ(SystemReadCount(), reads);  // refused without reading
  // Directory and FAT sector numbers far past the medium.
  carvetest::Put32(cfb, 48, 0xFFFFFFF0);
  EXPECT_EQ(formats::CompoundSubtype(ctx, cfb), kTypeOle);

  // JPEG whose segments go nowhere: zero-length segments, lengths past the medium, fill runs.
  Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
  for (int i = 0; i < 200; ++i) carvetest::Append(jpeg, {0xFF, 0xFE, 0x00, 0x02});
  jpeg.resize(1024, 0);
  Bytes far = jpeg;
  far[22] = 0xFF;
  far[23] = 0xFF;  // a 64 KiB comment running off the medium
  Bytes fill = jpeg;
  std::fill(fill.begin() + 20, fill.begin() + 120, 0xFF);
  for (const Bytes& j : {jpeg, far, fill}) {
    carvetest::ImageBuilder bj;
    bj.Place(j);
    carvetest::Medium mj(bj.bytes());
    ctx.source = &mj.source();
    ctx.fileStartSector = ctx.cursorSector = 0;
    EXPECT_EQ(formats::JpegEntropyStart(ctx, Bytes(j.begin(), j.begin() + 512)), 0u);
  }

  // MIDI declaring 65535 tracks of 4 GiB each.
  Bytes midi = carvetest::MakeMidi({10, 10, 10}, 22);
  carvetest::Put16BE(midi, 10, 0xFFFF);
  carvetest::Put32BE(midi, 18, 0xFFFFFFFF);
  // ICO and TTF directories read beyond the given bytes.
  Bytes ico = carvetest::MakeIco({10, 10}, 23);
  carvetest::Put16(ico, 4, 0xFFFF);
  Bytes ttf = carvetest::MakeTtf(9, 24);
  carvetest::Put16BE(ttf, 4, 0xFFFF);
  // A package whose window is full of local-header signatures with truncated names.
  Bytes zip;
  for (int i = 0; i < 2560; ++i) carvetest::Append(zip, {'P', 'K', 3, 4});
  // 7z start header with offsets that overflow when added, and a valid CRC.
  Bytes sevenZip = carvetest::Make7z(10, 10, 25);
  carvetest::Put64(sevenZip, 12, ~0ULL - 10);
  carvetest::Put32(sevenZip, 8, carvetest::Crc32(sevenZip.data() + 12, 20));
  // A linearised PDF whose stated length lies past the medium, and one with an endless number.
  Bytes pdf;
  carvetest::Append(pdf, "%PDF-1.7\n<</Linearized 1/L 99999999>>\n");
  pdf.resize(600, ' ');
  Bytes pdfDigits;
  carvetest::Append(pdfDigits, "%PDF-1.7\n<</Linearized 1/L ");
  pdfDigits.resize(512, '9');
  for (const Bytes& file : {midi, ico, ttf, zip, sevenZip, pdf, pdfDigits}) {
    carvetest::ImageBuilder bf;
    bf.Place(file);
    bf.Random(40, 26);
    carvetest::Medium mf(bf.bytes());
    CarvedFile out;
    const Result rc = CarveAtSector(ctx, 512, mf.source(), mf.Sector(0), 0, 0, 1, -1, 0, &out);
    EXPECT_TRUE(rc == kSuccess || rc == kErrInvalidParameter);
    if (rc == kSuccess && out.typeId != kTypeZip) {
      EXPECT_LE(out.length, 0x100000000ULL + 8) << out.Name();
    }
  }
  // The directory-driven rules called straight on bytes that promise more than they hold: the
  // structure shows them to be no file.
  ctx.source = &medium.source();
  ctx.fileStartSector = 0;
  EXPECT_EQ(formats::IcoExtent(ctx, Bytes(ico.begin(), ico.begin() + 16)), 0u);
  EXPECT_EQ(ctx.extentBasis, CarvingContext::ExtentBasis::kRejected);
  EXPECT_EQ(formats::TtfExtent(ctx, Bytes(ttf.begin(), ttf.begin() + 16)), 0u);
  EXPECT_EQ(ctx.extentBasis, CarvingContext::ExtentBasis::kRejected);
  EXPECT_EQ(formats::PackageTypeFromWindow(zip), kTypeNone);
}

TEST(CarveHostile, StartSectorsAtAndBeyondTheMediumsEnd) {
  CarvingContext ctx;
  carvetest::ImageBuilder b;
  b.Random(3, 30);
  b.Place(carvetest::SyntheticHeader(kTypeMkv, 31));
  carvetest::Medium medium(b.bytes());
  const Bytes mkv = carvetest::SyntheticHeader(kTypeMkv, 31);
  const Bytes zip = carvetest::MakeZip({{"word/a.xml", 10}}, 32);
  const Bytes ts = carvetest::MakeTs(3, 33);
  const Bytes cfb = carvetest::MakeCompound(1, {}, {}, "x", 34);
  for (std::uint64_t start : {3ULL, 4ULL, 1000ULL, ~0ULL, ~0ULL - 1}) {
    for (const Bytes* sector : {&mkv, &zip, &ts, &cfb}) {
      CarvedFile out;
      const Result rc = CarveAtSector(ctx, 512, medium.source(), *sector, start, 0, 0, -1, 0, &out);
      EXPECT_TRUE(rc == kSuccess || rc == kErrInvalidParameter);
      if (rc == kSuccess) {
        EXPECT_LE(out.length, 0x8000000u);
      }
    }
  }
  // A real file's first sector as the medium's last: its structure runs off the medium, so the
  // footer rule measures what there is, and says the end is estimated.
  const Bytes realMkv = carvetest::LoadSample("sample.mkv");
  carvetest::ImageBuilder last;
  last.Random(3, 30);
  last.Place(Bytes(realMkv.begin(), realMkv.begin() + 512));
  carvetest::Medium lastMedium(last.bytes());
  CarvedFile out;
  ASSERT_EQ(CarveAtSector(ctx, 512, lastMedium.source(), lastMedium.Sector(3), 3, 0, 0, -1, 0, &out), kSuccess);
  EXPECT_EQ(out.length, 512u);
  EXPECT_TRUE(out.endEstimated);

  // Every extent rule on spans shorter than any header, and a closed medium.
  SectorSource closed;
  for (const SectorSource* source : {&medium.source(), static_cast<const SectorSource*>(&closed)}) {
    ctx.source = source;
    ctx.fileStartSector = ctx.cursorSector = 1;
    for (const FileFormatEntry& row : FileFormatTable()) {
      for (std::size_t n : {0u, 1u, 8u, 31u, 100u}) {
        const Bytes bytes = test::RandomBytes(n, static_cast<std::uint32_t>(n));
        if (row.extentRule != nullptr) row.extentRule(ctx, bytes);
        row.headerTest(ctx, bytes);
        CheckSignatureByExtension(bytes, row.extension, *source, 512, 1);
      }
    }
  }
  // The stop scan and metadata test on ragged buffers.
  std::uint64_t length = 0;
  ctx.sectorSize = 512;
  EXPECT_FALSE(ScanChunkForStop(ctx, Bytes(700, 0), length));
  EXPECT_FALSE(IsStructureSector(Bytes(31, 'F')));
  ctx.sectorSize = 0;
  EXPECT_FALSE(ScanChunkForStop(ctx, Bytes(700, 0), length));
  EXPECT_EQ(ExtentWalk(ctx, mkv, WalkParams{1 << 20, false}, nullptr), 0u);
  std::uint8_t byte = 0;
  EXPECT_FALSE(ReadMediumBytes(ctx, 0, &byte, 1));
}

// Random bytes hold a format's signature now and then; what follows it is then no file of that
// format, and the structure walk says so: 16 MiB of random sectors, nearly a thousand of them
// opened by a signature of every format, swept as a deep scan sweeps, give (almost) no file.
TEST(CarveHostile, SignaturesInRandomBytesAreNotCarved) {
  constexpr std::uint64_t kSectors = 32768;
  carvetest::ImageBuilder b;
  b.Random(kSectors, 4711);
  std::mt19937 rng(17);
  std::map<std::uint64_t, FileTypeId> planted;
  for (FileTypeId type = 0; type < kFileTypeCount; ++type) {
    // Mail stores have no structure the carver walks; their signatures are too long to meet by
    // chance. The icon, font and raw-maker TIFF headers made here are whole, consistent
    // directories, not chance, and so are the packages' first entries below.
    if (type == kTypePst || type == kTypeDbx || type == kTypeIco || type == kTypeTtf) continue;
    if (type == kTypeNef || type == kTypeArw || type == kTypeDng || type == kTypePef || type == kTypeSrw) continue;
    if (type == kTypeErf || type == kType3fr || type == kTypeKdc || type == kTypeDcr || type == kTypeMef ||
        type == kTypeMos)
      continue;
    // The "mimetype" entry made here for OpenDocument and EPUB is a whole stored zip entry.
    if (type >= kTypeOdt && type <= kTypeEpub) continue;
    for (int i = 0; i < 25; ++i) {
      const Bytes header = carvetest::SyntheticHeader(type, static_cast<std::uint32_t>(rng()));
      if (header.empty()) break;
      const std::uint64_t sector = rng() % kSectors;
      std::copy(header.begin(), header.begin() + 512, b.bytes().begin() + static_cast<std::ptrdiff_t>(sector * 512));
      planted[sector] = type;
    }
  }
  ASSERT_GT(planted.size(), 800u);
  carvetest::Medium medium(b.bytes());
  CarvingContext ctx;
  std::map<std::string, int> carved;
  for (std::uint64_t s = 0; s < kSectors;) {
    CarvedFile out;
    const Result rc = CarveAtSector(ctx, 512, medium.source(), medium.Sector(s), s, 0, kSectors, -1, 0, &out);
    ASSERT_TRUE(rc == kSuccess || rc == kErrInvalidParameter);
    if (rc == kSuccess) {
      ++carved[std::string(ExtensionForType(out.typeId))];
      s += std::max<std::uint64_t>(1, (out.length + 511) / 512);
    } else {
      ++s;
    }
  }
  std::string list;
  int total = 0;
  for (const auto& [ext, n] : carved) {
    list += ext + ":" + std::to_string(n) + " ";
    total += n;
  }
  // A few signatures stand before bytes that could be a damaged file of the type (an ID3 tag whose
  // audio is gone, a TIFF whose directory lies past the medium): those are carved, as estimates.
  EXPECT_LE(total * 100, static_cast<int>(planted.size())) << list;
}

}  // namespace
}  // namespace rexmoor
