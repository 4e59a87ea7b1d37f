// The deep scan's sweep on several threads finds what it finds on one: the same records with the
// same ids and names in the same order, and it ends at the same place, on a raw medium of carved
// files, a quick-formatted FAT card, a re-formatted NTFS volume and a sparse image whose holes are
// not read, and on a block device read past the system's cache as through it. Small pages put many page seams inside carved files and folders. A scan cancelled at
// a random point and continued finds the same again, and what the cancelled part kept is exactly
// what lies before its saved place.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "fixtures/fixture_paths.h"
#include "ntfs/ntfs_test_util.h"
#include "scan/deep_scan_test_util.h"
#include "scan/engine_factory.h"
#include "scan/professional_recovery.h"

namespace rexmoor {
namespace {

// engine, record id, folder and name, first sector, size
using Find = std::tuple<int, std::uint32_t, std::string, std::uint64_t, std::uint64_t>;

struct Outcome {
  Result result = -1;
  std::vector<Find> finds;
  SweepPosition position;
  SweepCounts counts;
  bool resumed = false;
};

Outcome Finish(CProfessionalRecovery& engine, Result result) {
  Outcome out;
  out.result = result;
  for (const FoundFileRecord& r : deeptest::FilterAll(engine)) {
    std::string folder;
    (void)engine.GetFolderPath(&r, folder);
    out.finds.emplace_back(int{r.engineTag}, std::uint32_t{r.recordId}, folder + std::string(RecordName(r)),
                           std::uint64_t{r.locationSector}, std::uint64_t{r.size});
  }
  out.position = engine.LastScan().position;
  out.counts = engine.LastScan().sweep;
  out.resumed = engine.LastScan().resumed;
  return out;
}

// A deep scan of the image with this many sweep threads; log (optional) may cancel it.
Outcome DeepScanWith(const std::string& image, unsigned jobs, std::uint32_t pageBytes,
                     deeptest::ProgressLog* log = nullptr) {
  EnginePtr made = CreateEngineForImage(image, 'D', true);
  auto* engine = dynamic_cast<CProfessionalRecovery*>(made.get());
  if (engine == nullptr) return {};
  engine->SetSweepJobs(jobs, pageBytes);
  engine->SetCallbacks(log != nullptr ? &deeptest::ProgressLog::Callback : nullptr, nullptr, log, 100);
  const Result r = engine->Scan(nullptr);
  return Finish(*engine, r);
}

void ExpectSamePlace(const SweepPosition& a, const SweepPosition& b, const std::string& what) {
  EXPECT_EQ(a.rangeStart, b.rangeStart) << what;
  EXPECT_EQ(a.rangeLength, b.rangeLength) << what;
  EXPECT_EQ(a.positionInRange, b.positionInRange) << what;
  EXPECT_EQ(a.sectorsDone, b.sectorsDone) << what;
}

class SweepJobs : public ::testing::Test {
 protected:
  void SetUp() override { ScanLogIndex::ResetForTesting(); }
  void TearDown() override { ScanLogIndex::ResetForTesting(); }
  test::TempDir work;
};

TEST_F(SweepJobs, AnyNumberOfThreadsFindsWhatOneFinds) {
  REQUIRE_FIXTURE("fmt_fat32.img");
  carvetest::ImageBuilder builder;
  (void)deeptest::BuildRawImage(builder, 4242, 2);
  struct Medium {
    std::string name;
    std::string path;
    bool carvedOnly;  // every find is the carver's, catalogued in sweep order
  };
  const std::vector<Medium> media = {
      {"raw", work / "raw.img", true},
      {"fat", work / "fmt_fat32.img", false},
      {"ntfs", work / "ntfs_reformatted.img", false},
      {"sparse", work / "sparse.img", true},
  };
  test::WriteFileBytes(media[0].path, builder.bytes());
  // The raw medium twice in a sparse file, the second copy starting inside a 4 KiB block, with
  // holes of 16 MiB and more around it.
  const std::uint64_t size = builder.bytes().size();
  const std::uint64_t second = (size / (16u << 20) + 2) * (16u << 20) + 3 * 512;
  {
    std::ofstream out(media[3].path, std::ios::binary);
    for (const std::uint64_t at : {std::uint64_t{0}, second}) {
      out.seekp(static_cast<std::streamoff>(at));
      out.write(reinterpret_cast<const char*>(builder.bytes().data()), static_cast<std::streamsize>(size));
    }
  }
  std::filesystem::resize_file(media[3].path, second + size + (40u << 20));
  bool holes = false;  // whether this file system keeps them
  if (const int fd = open(media[3].path.c_str(), O_RDONLY); fd >= 0) {
    holes = lseek(fd, 0, SEEK_HOLE) < static_cast<off_t>(second);
    close(fd);
  }
  test::WriteFileBytes(media[1].path, test::ReadFileBytes(test::FixturePath("fmt_fat32.img")));
  test::WriteFileBytes(media[2].path, test::ReadFileBytes(test::NtfsFixture("ntfs_reformatted.img")));

  std::mt19937 rng(::testing::UnitTest::GetInstance()->random_seed());
  for (const Medium& medium : media) {
    SCOPED_TRACE(medium.name);
    Outcome one;
    {
      // The one-thread sweep reads every page; the others pass over the holes.
      test::ScopedDataDir data;
      ScanLogIndex::ResetForTesting();
      SetSweepUsesImageLayout(false);
      one = DeepScanWith(medium.path, 1, 0);
      SetSweepUsesImageLayout(true);
    }
    ASSERT_EQ(one.result, kSuccess);
    ASSERT_GT(one.finds.size(), 20u);
    EXPECT_EQ(one.counts.blocksInHoles, 0u);
    // Pages of 192 KiB: not a multiple of the dispatch buffer, and many seams per file.
    for (const auto& [jobs, pageBytes] : {std::pair{2u, 192u << 10}, std::pair{3u, 192u << 10}, std::pair{2u, 0u}}) {
      test::ScopedDataDir data;
      ScanLogIndex::ResetForTesting();
      const Outcome many = DeepScanWith(medium.path, jobs, pageBytes);
      const std::string what = std::to_string(jobs) + " jobs, page " + std::to_string(pageBytes);
      EXPECT_EQ(many.result, kSuccess) << what;
      EXPECT_EQ(many.finds, one.finds) << what;
      ExpectSamePlace(many.position, one.position, what);
      // The threads did the work: the calling thread took most of the sweep from their traces.
      EXPECT_GT(many.counts.piecesTaken, 0u) << what;
      EXPECT_LT(many.counts.sectorsSweptHere * 10, many.counts.sectorsDispatched) << what;
      if (medium.name == "sparse" && holes) {
        EXPECT_GT(many.counts.blocksInHoles, 0u) << what;
      }
    }

    // Cancelled somewhere between a fifth and four fifths of the way, then continued.
    test::ScopedDataDir data;
    ScanLogIndex::ResetForTesting();
    deeptest::ProgressLog log;
    log.cancelAt = 0.2 + 0.6 * std::uniform_real_distribution<double>(0, 1)(rng);
    const Outcome part = DeepScanWith(medium.path, 2, 192u << 10, &log);
    SCOPED_TRACE("cancelled at " + std::to_string(log.cancelAt));
    ASSERT_EQ(part.result, kCancelled);
    EXPECT_LT(part.position.sectorsDone, one.position.sectorsDone);
    if (medium.carvedOnly) {
      // Nothing past the saved place was kept, nothing before it was lost.
      const std::uint64_t stop = part.position.rangeStart + part.position.positionInRange;
      std::vector<Find> before;
      for (const Find& f : one.finds)
        if (std::get<3>(f) < stop) before.push_back(f);
      EXPECT_EQ(part.finds, before);
    }
    const Outcome rest = DeepScanWith(medium.path, 2, 192u << 10);
    EXPECT_TRUE(rest.resumed);
    EXPECT_EQ(rest.result, kSuccess);
    EXPECT_EQ(rest.finds, one.finds);
    ExpectSamePlace(rest.position, one.position, "continued");
  }
}

// A block device is read past the system's cache when it is larger than the cache could keep, a
// page in one request: the finds and the place the sweep ends are those of reads through the
// cache, on one thread and several, up to a device end that is not on a 4 KiB boundary.
TEST_F(SweepJobs, ABlockDeviceReadPastTheCacheFindsTheSame) {
  const test::LoopDeviceLock loops;
  carvetest::ImageBuilder builder;
  (void)deeptest::BuildRawImage(builder, 4242, 2);
  std::vector<std::uint8_t> bytes = builder.bytes();
  bytes.resize((bytes.size() / 4096 + 1) * 4096 + 3 * 512, 0);
  const std::string image = work / "raw.img";
  test::WriteFileBytes(image, bytes);
  std::string device;
  if (test::RunCommand("losetup -rf --show '" + image + "' 2>/dev/null", &device) != 0 || device.empty())
    GTEST_SKIP() << "no loop device available here";
  device.erase(device.find_last_not_of('\n') + 1);
  struct Detach {
    std::string device;
    ~Detach() { (void)test::RunCommand("losetup -d " + device); }
  } detach{device};
  auto scan = [&](SweepDirectReads when, unsigned jobs, std::uint32_t pageBytes) {
    test::ScopedDataDir data;
    ScanLogIndex::ResetForTesting();
    SetSweepReadsDirect(when);
    Outcome out = DeepScanWith(device, jobs, pageBytes);
    SetSweepReadsDirect(SweepDirectReads::WhenLarge);
    return out;
  };
  for (const auto& [jobs, pageBytes] : {std::pair{1u, 0u}, std::pair{2u, 192u << 10}, std::pair{3u, 0u}}) {
    const std::string what = std::to_string(jobs) + " jobs, page " + std::to_string(pageBytes);
    const Outcome cached = scan(SweepDirectReads::Never, jobs, pageBytes);
    ASSERT_EQ(cached.result, kSuccess) << what;
    ASSERT_GT(cached.finds.size(), 20u) << what;
    EXPECT_EQ(cached.counts.blocksReadDirect, 0u) << what;
    const Outcome direct = scan(SweepDirectReads::Always, jobs, pageBytes);
    EXPECT_EQ(direct.result, kSuccess) << what;
    EXPECT_EQ(direct.counts.blocksReadDirect, direct.counts.blocksRead) << what;
    EXPECT_EQ(direct.finds, cached.finds) << what;
    ExpectSamePlace(direct.position, cached.position, what);
    // A device this small is read through the cache unless told otherwise.
    EXPECT_EQ(scan(SweepDirectReads::WhenLarge, jobs, pageBytes).counts.blocksReadDirect, 0u) << what;
  }
}

// A scan stopped inside a carved container goes on as the uninterrupted one did when another
// process continues it: the sweep walks on inside a WAV file (whose samples here read as text) and
// must not carve that text as files of their own, on one thread or several.
TEST_F(SweepJobs, AScanStoppedInsideAContainerContinuesAsIfNeverStopped) {
  std::string text;
  while (text.size() < (1u << 20)) text += "Minutes of the meeting, item 4: the budget was agreed.\n";
  std::vector<std::uint8_t> wav;
  auto u32 = [&wav](std::uint32_t v) {
    for (int k = 0; k < 4; ++k) wav.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
  };
  auto tag = [&wav](const char* t) { wav.insert(wav.end(), t, t + 4); };
  tag("RIFF");
  u32(static_cast<std::uint32_t>(36 + text.size()));
  tag("WAVE");
  tag("fmt ");
  u32(16);
  u32(0x00010001);  // PCM, one channel
  u32(8000);
  u32(8000);
  u32(0x00080001);  // one byte a frame, 8 bits a sample
  tag("data");
  u32(static_cast<std::uint32_t>(text.size()));
  wav.insert(wav.end(), text.begin(), text.end());
  carvetest::ImageBuilder builder;
  builder.Zeros(8);
  builder.Place(wav);
  builder.Zeros(256);
  const std::string image = work / "container.img";
  test::WriteFileBytes(image, builder.bytes());

  for (const unsigned jobs : {1u, 2u}) {
    SCOPED_TRACE(std::to_string(jobs) + " jobs");
    Outcome whole;
    {
      test::ScopedDataDir data;
      ScanLogIndex::ResetForTesting();
      whole = DeepScanWith(image, jobs, 192u << 10);
    }
    ASSERT_EQ(whole.result, kSuccess);
    ASSERT_EQ(whole.finds.size(), 1u) << "the text inside the WAV file is the WAV file's";

    // Stopped at the n-th report of the sweep, wherever that falls inside the WAV file.
    int inside = 0;
    for (int n = 2; n <= 16; n += 2) {
      SCOPED_TRACE("stopped at report " + std::to_string(n));
      test::ScopedDataDir data;
      ScanLogIndex::ResetForTesting();
      struct Stopper {
        int left;
        static std::int32_t Callback(void* self, std::int32_t, std::int32_t weight, std::int32_t, std::uint64_t,
                                     std::uint64_t, std::uint64_t, std::int32_t) {
          auto* stopper = static_cast<Stopper*>(self);
          return weight == kSweepWeight && --stopper->left <= 0 ? kCancelled : 0;
        }
      } stopper{n};
      Outcome part;
      {
        EnginePtr made = CreateEngineForImage(image, 'D', true);
        auto* engine = dynamic_cast<CProfessionalRecovery*>(made.get());
        ASSERT_NE(engine, nullptr);
        engine->SetSweepJobs(jobs, 192u << 10);
        engine->SetCallbacks(&Stopper::Callback, nullptr, &stopper, 100);
        part = Finish(*engine, engine->Scan(nullptr));
      }
      if (part.result == kSuccess) break;  // the sweep made fewer reports
      ASSERT_EQ(part.result, kCancelled);
      if (part.position.positionInRange <= 9 || part.position.positionInRange >= 8 + wav.size() / 512) continue;
      ++inside;
      // A new process knows nothing of the first: only the index and the logs on disk go on.
      ScanLogIndex::ResetForTesting();
      const Outcome rest = DeepScanWith(image, jobs, 192u << 10);
      EXPECT_TRUE(rest.resumed);
      EXPECT_EQ(rest.result, kSuccess);
      EXPECT_EQ(rest.finds, whole.finds);
    }
    EXPECT_GT(inside, 0) << "no stop fell inside the WAV file";
  }
}

}  // namespace
}  // namespace rexmoor
