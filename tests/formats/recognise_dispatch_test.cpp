// The first-byte dispatch must give exactly the answer of trying every row in table order.
#include <gtest/gtest.h>

#include <atomic>
#include <random>

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime (its header is not always installed).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void*, std::size_t),
                                                         void (*freeHook)(const volatile void*));
#endif

#include "formats/carving_context.h"
#include "formats/extent_walk.h"
#include "formats/file_format_table.h"
#include "carve_test_support.h"

namespace rexmoor {
namespace {

using carvetest::Bytes;

struct Mismatch {
  std::size_t count = 0;
  std::string first;
};

void Compare(CarvingContext& ctx, std::span<const std::uint8_t> sector, Mismatch& m, const char* what, std::size_t index) {
  for (bool skipMpeg : {false, true}) {
    const FileTypeId ref = RecogniseHeader(ctx, sector, skipMpeg);
    const FileTypeId fast = RecogniseHeaderFast(ctx, sector, skipMpeg);
    if (ref != fast) {
      if (m.count++ == 0)
        m.first = std::string(what) + " #" + std::to_string(index) + ": reference " + std::to_string(ref) +
                  ", dispatch " + std::to_string(fast) + (skipMpeg ? " (mpeg skipped)" : "");
    }
  }
}

TEST(RecogniseDispatch, AgreesWithTableOrderOnMillionsOfRandomSectors) {
  CarvingContext ctx;
  Mismatch m;
  std::size_t recognised = 0;
  // Uniform random bytes, every byte offset a sector start: two million distinct sectors.
  const Bytes uniform = test::RandomBytes(2'000'000 + 512, 2024);
  for (std::size_t pos = 0; pos < 2'000'000; ++pos) {
    const std::span<const std::uint8_t> sector(uniform.data() + pos, 512);
    const FileTypeId fast = RecogniseHeaderFast(ctx, sector);
    const FileTypeId ref = RecogniseHeader(ctx, sector);
    recognised += fast != kTypeNone;
    if (fast != ref && m.count++ == 0) m.first = "uniform #" + std::to_string(pos);
  }
  // Bytes drawn from the signatures' alphabet, so partial matches are common.
  const std::uint8_t alphabet[] = {0x00, 0x01, 0x47, 'M', 'P', 'K', 0x03, 0x04, 0xFF, 0xD8, 0xD0, 'I', 'R',
                                   'F', 'T', 0x2A, 0x1A, 0x06, 0xB0, 0x11, 0xC1, 'f', 't', 'y', 'p'};
  std::mt19937 rng(77);
  Bytes biased(1'000'000 + 512);
  for (auto& b : biased) b = alphabet[rng() % sizeof alphabet];
  for (std::size_t pos = 0; pos < 1'000'000; ++pos) {
    const std::span<const std::uint8_t> sector(biased.data() + pos, 512);
    if (pos % 8 == 0) {
      Compare(ctx, sector, m, "biased", pos);
    } else if (RecogniseHeaderFast(ctx, sector) != RecogniseHeader(ctx, sector) && m.count++ == 0) {
      m.first = "biased #" + std::to_string(pos);
    }
  }
  EXPECT_EQ(m.count, 0u) << m.first;
  EXPECT_LT(recognised, 10u);  // random data is almost never a file start
}

// Random sectors with every format's signature planted at offset 0 and then a few bytes changed,
// on a medium, so the tests that read on (packages, streams, compound documents) run too.
TEST(RecogniseDispatch, AgreesOnPlantedSignaturesOfEveryRow) {
  CarvingContext ctx;
  std::mt19937 rng(4242);
  std::vector<Bytes> seeds;
  for (FileTypeId type = 0; type < kFileTypeCount; ++type) {
    Bytes h = carvetest::SyntheticHeader(type, 500 + type);
    if (!h.empty()) seeds.push_back(h);
  }
  // Whole files for the formats whose tests read further sectors.
  const Bytes word = {0xEC, 0xA5, 0xC1, 0x00};
  seeds.push_back(carvetest::MakeCompound(3, word, {}, "WordDocument", 1));
  seeds.push_back(carvetest::MakeCompound(3, {}, {}, "PowerPoint Document", 2));
  seeds.push_back(carvetest::MakeCompound(3, {}, {}, "Other", 3));
  seeds.push_back(carvetest::MakeZip({{"[Content_Types].xml", 900}, {"word/document.xml", 300}}, 4));
  seeds.push_back(carvetest::MakeZip({{"[Content_Types].xml", 900}, {"xl/workbook.xml", 300}}, 5));
  seeds.push_back(carvetest::MakeZip({{"readme.txt", 3000}}, 6));
  seeds.push_back(carvetest::MakeTs(40, 7));
  seeds.push_back(carvetest::MakeMts(40, 8));
  for (const auto& sample : carvetest::LoadManifest()) seeds.push_back(carvetest::LoadSample(sample.name));

  carvetest::ImageBuilder builder;
  std::vector<std::uint64_t> starts;
  for (int round = 0; round < 60; ++round) {
    for (const Bytes& seed : seeds) {
      Bytes variant(seed.begin(), seed.begin() + std::min<std::size_t>(seed.size(), 16384));
      const int changes = static_cast<int>(rng() % 5);
      for (int c = 0; c < changes; ++c) {
        const std::size_t at = rng() % 4 == 0 ? rng() % std::min<std::size_t>(variant.size(), 512) : rng() % 64;
        if (at < variant.size()) variant[at] = static_cast<std::uint8_t>(rng());
      }
      starts.push_back(builder.Place(variant));
    }
  }
  carvetest::Medium medium(builder.bytes());
  ctx.source = &medium.source();
  ctx.sectorSize = 512;
  Mismatch m;
  std::size_t recognised = 0;
  for (std::size_t i = 0; i < starts.size(); ++i) {
    const Bytes sector = medium.Sector(starts[i]);
    ctx.fileStartSector = ctx.cursorSector = starts[i];
    for (int mode = 0; mode < 4; ++mode) {
      ctx.tsStreamMode = (mode & 1) != 0;
      ctx.mtsInProgress = (mode & 2) != 0;
      Compare(ctx, sector, m, "planted", i);
    }
    recognised += RecogniseHeaderFast(ctx, sector) != kTypeNone;
  }
  EXPECT_EQ(m.count, 0u) << m.first;
  EXPECT_GT(recognised, starts.size() / 3);  // the rare paths really were reached
}

TEST(RecogniseDispatch, AgreesOnEverySectorOfTheRealSamples) {
  CarvingContext ctx;
  Mismatch m;
  for (const auto& sample : carvetest::LoadManifest()) {
    carvetest::ImageBuilder builder;
    builder.Place(carvetest::LoadSample(sample.name));
    builder.Zeros(8);
    carvetest::Medium medium(builder.bytes());
    ctx.source = &medium.source();
    for (std::uint64_t s = 0; s < builder.Sectors(); ++s) {
      ctx.fileStartSector = ctx.cursorSector = s;
      Compare(ctx, medium.Sector(s), m, sample.name.c_str(), s);
    }
  }
  EXPECT_EQ(m.count, 0u) << m.first;
}

#if defined(__SANITIZE_ADDRESS__)
std::atomic<bool> g_countAllocations{false};
std::atomic<std::uint64_t> g_allocations{0};

void CountMalloc(const volatile void*, std::size_t) {
  if (g_countAllocations.load(std::memory_order_relaxed)) g_allocations.fetch_add(1, std::memory_order_relaxed);
}
void IgnoreFree(const volatile void*) {}
#endif

// Recognising a sector, and the stop scan of a walk, never touch the heap: not for plain data,
// and not for the signatures whose tests read further sectors of the medium.
TEST(RecogniseDispatch, RecognitionDoesNotAllocate) {
#if !defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "allocation hooks need the sanitizer build";
#else
  static const bool installed = __sanitizer_install_malloc_and_free_hooks(CountMalloc, IgnoreFree) != 0;
  ASSERT_TRUE(installed);
  CarvingContext ctx;
  carvetest::ImageBuilder builder;
  std::vector<std::uint64_t> starts;
  for (FileTypeId type = 0; type < kFileTypeCount; ++type) {
    const Bytes h = carvetest::SyntheticHeader(type, 9 + type);
    if (!h.empty()) starts.push_back(builder.Place(h));
  }
  starts.push_back(builder.Place(carvetest::MakeZip({{"xl/workbook.xml", 3000}}, 1)));
  starts.push_back(builder.Place(carvetest::MakeTs(40, 2)));
  starts.push_back(builder.Place(carvetest::MakeCompound(2, {}, {}, "Workbook", 3)));
  builder.Random(300, 4);
  carvetest::Medium medium(builder.bytes());
  const Bytes image = medium.image();
  ctx.source = &medium.source();
  ctx.sectorSize = 512;
  std::uint64_t recognised = 0;
  std::uint64_t stops = 0;

  g_allocations = 0;
  g_countAllocations = true;
  for (std::uint64_t s : starts) {
    ctx.fileStartSector = ctx.cursorSector = s;
    recognised += RecogniseHeaderFast(ctx, {image.data() + s * 512, 512}) != kTypeNone;
  }
  for (std::size_t at = 512; at + 65536 <= image.size(); at += 65536) {
    std::uint64_t length = 0;
    ctx.cursorSector = at / 512 - 1;  // the scan advances to each sector before testing it
    stops += ScanChunkForStop(ctx, {image.data() + at, 65536}, length);
  }
  g_countAllocations = false;

  EXPECT_EQ(g_allocations.load(), 0u);
  EXPECT_EQ(recognised, starts.size());
  EXPECT_GT(stops, 0u);
#endif
}

}  // namespace
}  // namespace rexmoor
