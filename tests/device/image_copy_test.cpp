#include "device/image_copy.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>

#include "test_support.h"

namespace rexmoor {
namespace {

namespace fs = std::filesystem;

std::string ReadText(const std::string& path) {
  const auto bytes = test::ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

// ---- The map and its text --------------------------------------------------------------------

TEST(ImageMap, MarksSplitAndMergeIntoContiguousRanges) {
  ImageMap map;
  map.Reset(10 * 512);
  map.Mark(0, 1024, '+');
  map.Mark(1024, 512, '-');
  map.Mark(4096, 1024, '-');
  map.Mark(1536, 2560, '+');
  EXPECT_EQ(map.Ranges(), (std::vector<ImageMapRange>{{0, 1024, '+'}, {1024, 512, '-'}, {1536, 2560, '+'}, {4096, 1024, '-'}}));
  // Marking across several ranges and merging with both neighbours.
  map.Mark(1024, 512, '+');
  EXPECT_EQ(map.Ranges(), (std::vector<ImageMapRange>{{0, 4096, '+'}, {4096, 1024, '-'}}));
  map.Mark(512, 4096, '?');
  EXPECT_EQ(map.Ranges(), (std::vector<ImageMapRange>{{0, 512, '+'}, {512, 4096, '?'}, {4608, 512, '-'}}));
  // Outside the range: nothing changes.
  map.Mark(5120, 512, '+');
  map.Mark(4608, 1024, '+');
  EXPECT_EQ(map.Ranges().size(), 3u);
  EXPECT_EQ(map.BytesWith('?'), 4096u);
}

TEST(ImageMap, TextRoundTripsAndReadsOtherToolsSpelling) {
  ImageMap map;
  map.Reset(0x100000);
  map.Mark(0, 0x8000, '+');
  map.Mark(0x8000, 0x400, '-');
  const std::string text = FormatImageMap(map, 0x8400, '?');
  EXPECT_EQ(text,
            "# Mapfile. Created by rexmoor\n"
            "# current_pos  current_status  current_pass\n"
            "0x00008400     ?               1\n"
            "#      pos        size  status\n"
            "0x00000000  0x00008000  +\n"
            "0x00008000  0x00000400  -\n"
            "0x00008400  0x000F7C00  ?\n");
  ImageMap back;
  std::string error;
  ASSERT_EQ(ParseImageMap(text, 0x100000, 512, back, error), kSuccess) << error;
  EXPECT_EQ(back.Ranges(), map.Ranges());

  // Blank lines, CRLF, tabs, decimal numbers, no pass number, and the half-tried statuses.
  const std::string other =
      "# a comment\r\n\r\n0x0 *\r\n0x0\t0x200\t+\r\n512 512 *\r\n0x400 0x200 /\r\n  # indented comment\n0x600 0x200 +\n";
  ASSERT_EQ(ParseImageMap(other, 0x800, 512, back, error), kSuccess) << error;
  EXPECT_EQ(back.Ranges(), (std::vector<ImageMapRange>{{0, 0x200, '+'}, {0x200, 0x400, '?'}, {0x600, 0x200, '+'}}));
}

TEST(ImageMap, HostileTextsAreRefusedWithAReason) {
  const std::string head = "0x0 + 1\n";
  const struct {
    const char* name;
    std::string text;
    const char* reason;
  } cases[] = {
      {"empty", "", "no status line"},
      {"garbage", "\x7f\x45LF\x01\x02 binary\n", "not a status line"},
      {"status only", head, "describes 0 bytes"},
      {"bad status char", "0x0 Z 1\n", "not a status line"},
      {"too many fields", head + "0x0 0x800 + extra\n", "not a range"},
      {"unknown status", head + "0x0 0x800 X\n", "unknown status"},
      {"gap", head + "0x0 0x200 +\n0x400 0x400 +\n", "gap"},
      {"overlap", head + "0x0 0x400 +\n0x200 0x600 +\n", "overlap"},
      {"does not start at 0", head + "0x200 0x600 +\n", "expected position 0"},
      {"past the end", head + "0x0 0x1000 +\n", "passes the end"},
      {"short of the end", head + "0x0 0x400 +\n", "describes 1024 bytes"},
      {"size 0", head + "0x0 0x0 +\n0x0 0x800 +\n", "size 0"},
      {"wrapping size", head + "0x0 0x200 +\n0x200 0xFFFFFFFFFFFFFE00 +\n", "passes the end"},
      {"number too wide", head + "0x0 0x10000000000000000 +\n", "not a range"},
      {"negative", head + "0x0 -0x800 +\n", "not a range"},
      {"half sector", head + "0x0 0x100 +\n0x100 0x700 +\n", "sectors"},
  };
  for (const auto& c : cases) {
    ImageMap map;
    std::string error;
    EXPECT_EQ(ParseImageMap(c.text, 0x800, 512, map, error), kErrInvalidParameter) << c.name;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.name << ": " << error;
  }
}

TEST(ImageMap, AMapOfMoreRangesThanTheCapIsRefused) {
  // Alternating statuses so that no two neighbours merge.
  std::string text = "0x0 + 1\n";
  const std::size_t ranges = kMaxMapRanges + 1;
  text.reserve(ranges * 16);
  for (std::size_t i = 0; i < ranges; ++i) text += std::to_string(i * 512) + " 512 " + (i % 2 ? "-" : "+") + "\n";
  ImageMap map;
  std::string error;
  EXPECT_EQ(ParseImageMap(text, ranges * 512, 512, map, error), kErrInvalidParameter);
  EXPECT_NE(error.find("more than"), std::string::npos) << error;
}

// ---- The copy --------------------------------------------------------------------------------

struct Report {
  std::int32_t percent;
  std::uint64_t done, total;
  std::int32_t secondsLeft;
};

struct Recorder {
  std::vector<Report> reports;
  std::size_t stopAt = SIZE_MAX;  // report index whose answer stops the copy
  std::int32_t stopWith = kCancelled;
  static std::int32_t OnProgress(void* user, std::int32_t percent, std::uint64_t done, std::uint64_t total,
                                 std::int32_t secondsLeft) {
    auto* self = static_cast<Recorder*>(user);
    self->reports.push_back({percent, done, total, secondsLeft});
    return self->reports.size() - 1 == self->stopAt ? self->stopWith : 0;
  }
};

// Reads the source file itself, failing for the chosen sectors (counted from the file's start).
ImageSourceReader FaultyReader(const std::string& path, std::set<std::uint64_t> badSectors,
                               std::vector<std::pair<std::uint64_t, std::size_t>>* calls = nullptr) {
  auto file = std::make_shared<FileHandle>();
  EXPECT_EQ(FileHandle::OpenReadOnly(path, *file), kSuccess);
  return [file, badSectors, calls](std::uint64_t offset, void* buffer, std::size_t length) -> Result {
    if (calls != nullptr) calls->emplace_back(offset, length);
    for (std::uint64_t s = offset / 512; s < (offset + length + 511) / 512; ++s)
      if (badSectors.count(s) != 0) return kErrReadFault;
    return file->ReadFully(buffer, length, offset);
  };
}

class ImageCopyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    source = dir / "source.img";
    image = dir / "out.img";
    bytes = test::RandomBytes(kSectors * 512, 11);
    test::WriteFileBytes(source, bytes);
  }
  Result Copy(std::uint64_t first, std::uint64_t count, ImageCopyOptions options, Recorder* recorder = nullptr) {
    ImageCopyJob job;
    Result r = OpenImageCopy(job, image, source, first, count, recorder ? &Recorder::OnProgress : nullptr, recorder,
                             std::move(options));
    if (r == kSuccess) r = RunImageCopy(job);
    last = job.error;
    lastFailedSector = job.failedSector;
    lastBad = job.BadSectorRanges();
    CloseImageCopy(job);
    return r;
  }
  std::vector<std::uint8_t> Range(std::uint64_t first, std::uint64_t count) const {
    return {bytes.begin() + static_cast<std::ptrdiff_t>(first * 512),
            bytes.begin() + static_cast<std::ptrdiff_t>((first + count) * 512)};
  }
  static constexpr std::uint64_t kSectors = 6000;  // about 3 MiB: several 1 MiB blocks and a short one
  test::TempDir dir;
  std::string source, image;
  std::vector<std::uint8_t> bytes;
  std::string last;
  std::uint64_t lastFailedSector = 0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> lastBad;
};

TEST_F(ImageCopyTest, WholeMediumAndAreasCopyExactlyWithAReportPerBlock) {
  Recorder whole;
  ASSERT_EQ(Copy(0, 0, {}, &whole), kSuccess) << last;
  EXPECT_EQ(test::ReadFileBytes(image), bytes);
  EXPECT_FALSE(fs::exists(ImageMapPath(image))) << "a clean complete copy leaves no mapfile";
  // 2048-sector blocks, the last one short.
  ASSERT_EQ(whole.reports.size(), 3u);
  EXPECT_EQ(whole.reports[0].done, 2048u);
  EXPECT_EQ(whole.reports[0].percent, 34);
  EXPECT_EQ(whole.reports[2].done, kSectors);
  EXPECT_EQ(whole.reports[2].total, kSectors);
  EXPECT_EQ(whole.reports[2].percent, 100);

  // Over a longer file: the image is cut to the new copy.
  std::vector<std::pair<std::uint64_t, std::size_t>> calls;
  ImageCopyOptions options;
  options.reader = FaultyReader(source, {}, &calls);
  Recorder area;
  ASSERT_EQ(Copy(1000, 100, options, &area), kSuccess) << last;
  EXPECT_EQ(test::ReadFileBytes(image), Range(1000, 100));
  // 100 sectors are one block of 51,200 bytes and one report at 100 percent.
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0], (std::pair<std::uint64_t, std::size_t>{1000 * 512, 51200}));
  ASSERT_EQ(area.reports.size(), 1u);
  EXPECT_EQ(area.reports[0].percent, 100);
  EXPECT_EQ(area.reports[0].done, 100u);
  EXPECT_EQ(area.reports[0].total, 100u);

  // Smaller blocks that do not divide the area; the last sector of the medium.
  ImageCopyOptions small;
  small.blockBytes = 64 * 1024 + 100;  // rounded down to 128 sectors
  Recorder tail;
  ASSERT_EQ(Copy(kSectors - 300, 0, small, &tail), kSuccess) << last;
  EXPECT_EQ(test::ReadFileBytes(image), Range(kSectors - 300, 300));
  ASSERT_EQ(tail.reports.size(), 3u);
  EXPECT_EQ(tail.reports[1].done, 256u);
  EXPECT_EQ(tail.reports[2].done, 300u);
}

TEST_F(ImageCopyTest, ADriveNumberIsTakenFromTheDriveList) {
  const char* previous = std::getenv("REXMOOR_DRIVES");
  const std::string saved = previous != nullptr ? previous : "";
  ::setenv("REXMOOR_DRIVES", source.c_str(), 1);
  ImageCopyJob job;
  Result opened = OpenImageCopy(job, image, 0, 10, 20, nullptr, nullptr);
  Result copied = opened == kSuccess ? RunImageCopy(job) : opened;
  CloseImageCopy(job);
  ImageCopyJob missing;
  const Result none = OpenImageCopy(missing, image, 7, 0, 0, nullptr, nullptr);
  if (previous != nullptr) {
    ::setenv("REXMOOR_DRIVES", saved.c_str(), 1);
  } else {
    ::unsetenv("REXMOOR_DRIVES");
  }
  ASSERT_EQ(copied, kSuccess) << job.error;
  EXPECT_EQ(job.sourcePath, source);
  EXPECT_EQ(test::ReadFileBytes(image), Range(10, 20));
  EXPECT_EQ(none, kErrFileNotFound);
  EXPECT_NE(missing.error.find("no drive number 7"), std::string::npos) << missing.error;
}

TEST_F(ImageCopyTest, RangesPastTheMediumAndTheSourceAsImageAreRefused) {
  EXPECT_EQ(Copy(kSectors, 0, {}), kErrInvalidParameter);
  EXPECT_NE(last.find("past the end"), std::string::npos) << last;
  EXPECT_EQ(Copy(kSectors - 10, 11, {}), kErrInvalidParameter);
  EXPECT_FALSE(fs::exists(image)) << "nothing is created for a refused range";

  // The image named as the source itself (through a link): refused before it is truncated.
  fs::create_symlink(source, dir / "link.img");
  ImageCopyJob job;
  EXPECT_EQ(OpenImageCopy(job, dir / "link.img", source, 0, 0, nullptr, nullptr), kErrInvalidParameter);
  EXPECT_NE(job.error.find("is the source itself"), std::string::npos) << job.error;
  EXPECT_EQ(test::ReadFileBytes(source), bytes);
}

TEST_F(ImageCopyTest, TimeLeftIsUnknownForFiveSecondsThenRecomputedEveryFive) {
  ImageCopyOptions options;
  options.blockBytes = 512;
  std::uint32_t now = 0;
  options.clock = [&now] {
    const std::uint32_t t = now;
    now += 1000;  // every call is a second later: start, then one call per block
    return t;
  };
  options.mapSaveIntervalMs = 1u << 30;
  Recorder r;
  ASSERT_EQ(Copy(0, 20, options, &r), kSuccess) << last;
  ASSERT_EQ(r.reports.size(), 20u);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(r.reports[i].secondsLeft, -1) << i;
  // At 5 s: 5 sectors in 5 s, 15 to go; held until 10 s: 10 in 10 s, 10 to go.
  for (std::size_t i = 4; i < 9; ++i) EXPECT_EQ(r.reports[i].secondsLeft, 15) << i;
  for (std::size_t i = 9; i < 14; ++i) EXPECT_EQ(r.reports[i].secondsLeft, 10) << i;
  EXPECT_EQ(r.reports[14].secondsLeft, 5);
}

TEST_F(ImageCopyTest, AStopFromTheCallbackKeepsThePartialImageAndItsMap) {
  ImageCopyOptions options;
  options.blockBytes = 64 * 512;
  Recorder r;
  r.stopAt = 2;
  ASSERT_EQ(Copy(0, 0, options, &r), kCancelled);
  EXPECT_EQ(r.reports.size(), 3u);
  EXPECT_EQ(test::ReadFileBytes(image), Range(0, 3 * 64));
  ImageMap map;
  std::string error;
  ASSERT_EQ(ParseImageMap(ReadText(ImageMapPath(image)), kSectors * 512, 512, map, error), kSuccess) << error;
  EXPECT_EQ(map.Ranges(), (std::vector<ImageMapRange>{{0, 3 * 64 * 512, '+'}, {3 * 64 * 512, (kSectors - 192) * 512, '?'}}));

  Recorder other;
  other.stopAt = 0;
  other.stopWith = 7;
  EXPECT_EQ(Copy(0, 0, options, &other), 7) << "any non-zero answer stops the copy with itself";
}

TEST_F(ImageCopyTest, AReadFaultNamesTheFirstBadSectorAndKeepsWhatCameBefore) {
  ImageCopyOptions options;
  options.reader = FaultyReader(source, {2100, 2101, 4000});
  Recorder r;
  ASSERT_EQ(Copy(100, 0, options, &r), kErrReadFault);
  EXPECT_EQ(lastFailedSector, 2100u);
  EXPECT_NE(last.find("read fault at sector 2100"), std::string::npos) << last;
  EXPECT_EQ(test::ReadFileBytes(image), Range(100, 2000));
  ImageMap map;
  std::string error;
  ASSERT_EQ(ParseImageMap(ReadText(ImageMapPath(image)), (kSectors - 100) * 512, 512, map, error), kSuccess) << error;
  EXPECT_EQ(map.Ranges().front(), (ImageMapRange{0, 2000 * 512, '+'}));
  EXPECT_EQ(map.Ranges().back().status, '?') << "the faulty sector is left to try again";
}

TEST_F(ImageCopyTest, SkipBadZeroesExactlyTheUnreadableSectorsAndListsThem) {
  // One sector, a run across a block boundary, the very first and the very last sector.
  const std::set<std::uint64_t> bad = {0, 7, 2040, 2041, 2042, 2043, 2044, 2045, 2046, 2047, 2048, 2049, 5999};
  ImageCopyOptions options;
  options.skipBad = true;
  options.reader = FaultyReader(source, bad);
  ASSERT_EQ(Copy(0, 0, options), kSuccess) << last;
  std::vector<std::uint8_t> expected = bytes;
  for (std::uint64_t s : bad) std::fill_n(expected.begin() + static_cast<std::ptrdiff_t>(s * 512), 512, 0);
  EXPECT_EQ(test::ReadFileBytes(image), expected);
  EXPECT_EQ(lastBad, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{0, 1}, {7, 1}, {2040, 10}, {5999, 1}}));
  EXPECT_EQ(ReadText(ImageMapPath(image)),
            "# Mapfile. Created by rexmoor\n"
            "# current_pos  current_status  current_pass\n"
            "0x002EE000     +               1\n"
            "#      pos        size  status\n"
            "0x00000000  0x00000200  -\n"
            "0x00000200  0x00000C00  +\n"
            "0x00000E00  0x00000200  -\n"
            "0x00001000  0x000FE000  +\n"
            "0x000FF000  0x00001400  -\n"
            "0x00100400  0x001EDA00  +\n"
            "0x002EDE00  0x00000200  -\n");
  EXPECT_FALSE(fs::exists(ImageMapPath(image) + ".tmp"));
}

// A long run of failures is a bad area while the source still reads what it read before, and a
// source gone away when it has shrunk or says it is no longer there: then the copy stops, and the
// run is left to try rather than marked bad.
TEST_F(ImageCopyTest, ASourceThatGoesAwayStopsTheCopyWhereALongBadAreaDoesNot) {
  struct Case {
    const char* name;
    bool skipBad;
    std::function<Result(std::uint64_t sector)> fault;  // kSuccess: read the source
    Result expected;
    std::uint64_t goneAtSector;  // UINT64_MAX: the copy did not stop for it
  };
  const std::vector<Case> cases = {
      {"long bad area", true, [](std::uint64_t s) { return s >= 2100 && s < 2500 ? kErrReadFault : kSuccess; },
       kSuccess, UINT64_MAX},
      {"shrunk to sector 3000", true,
       [this](std::uint64_t s) {
         if (s >= 3000 && fs::file_size(source) != 3000 * 512) fs::resize_file(source, 3000 * 512);
         return kSuccess;
       },
       kErrNotReady, 3000},
      {"no such device from sector 4000", false,
       [](std::uint64_t s) { return s >= 4000 ? kErrNotReady : kSuccess; }, kErrNotReady, 4000},
  };
  for (const Case& c : cases) {
    test::WriteFileBytes(source, bytes);
    auto live = FaultyReader(source, {});
    ImageCopyOptions options;
    options.skipBad = c.skipBad;
    options.suspectRunBytes = 64 * 512;
    options.reader = [&](std::uint64_t offset, void* buffer, std::size_t length) -> Result {
      for (std::uint64_t s = offset / 512; s < (offset + length) / 512; ++s)
        if (Result r = c.fault(s); r != kSuccess) return r;
      return live(offset, buffer, length);
    };
    ImageCopyJob job;
    ASSERT_EQ(OpenImageCopy(job, image, source, 0, 0, nullptr, nullptr, options), kSuccess) << c.name << job.error;
    EXPECT_EQ(RunImageCopy(job), c.expected) << c.name << ": " << job.error;
    EXPECT_EQ(job.goneAt, c.goneAtSector == UINT64_MAX ? UINT64_MAX : c.goneAtSector * 512) << c.name;
    CloseImageCopy(job);
    ImageMap map;
    std::string error;
    ASSERT_EQ(ParseImageMap(ReadText(ImageMapPath(image)), kSectors * 512, 512, map, error), kSuccess) << c.name << error;
    if (c.goneAtSector == UINT64_MAX) {
      EXPECT_EQ(map.BytesWith('-'), 400u * 512) << c.name;
      continue;
    }
    EXPECT_NE(job.error.find(source + " went away at byte " + std::to_string(c.goneAtSector * 512)), std::string::npos)
        << c.name << ": " << job.error;
    EXPECT_EQ(map.Ranges(), (std::vector<ImageMapRange>{{0, c.goneAtSector * 512, '+'},
                                                        {c.goneAtSector * 512, (kSectors - c.goneAtSector) * 512, '?'}}))
        << c.name;
    const auto copied = test::ReadFileBytes(image);
    ASSERT_GE(copied.size(), c.goneAtSector * 512) << c.name;
    EXPECT_TRUE(std::equal(copied.begin(), copied.begin() + static_cast<std::ptrdiff_t>(c.goneAtSector * 512),
                           bytes.begin()))
        << c.name;
  }
}

TEST_F(ImageCopyTest, AResumedCopyEndsAsTheUninterruptedOne) {
  const std::set<std::uint64_t> bad = {10, 11, 3000, 4500};
  ImageCopyOptions options;
  options.skipBad = true;
  options.blockBytes = 256 * 512;
  options.reader = FaultyReader(source, bad);
  ASSERT_EQ(Copy(50, 5000, options), kSuccess) << last;
  const auto wholeImage = test::ReadFileBytes(image);
  const std::string wholeMap = ReadText(ImageMapPath(image));
  fs::remove(image);
  fs::remove(ImageMapPath(image));

  // Stopped twice (once after the first bad sectors, once past the middle), continued each time.
  std::vector<std::pair<std::uint64_t, std::size_t>> calls;
  options.reader = FaultyReader(source, bad, &calls);
  Recorder first;
  first.stopAt = 3;
  ASSERT_EQ(Copy(50, 5000, options, &first), kCancelled);
  options.resume = true;
  Recorder second;
  second.stopAt = 8;
  ASSERT_EQ(Copy(50, 5000, options, &second), kCancelled) << last;
  EXPECT_EQ(second.reports.front().done, 5 * 256u) << "goes on after the four blocks written, not after those read ahead";
  calls.clear();
  Recorder third;
  ASSERT_EQ(Copy(50, 5000, options, &third), kSuccess) << last;
  EXPECT_EQ(third.reports.back().percent, 100);
  EXPECT_EQ(test::ReadFileBytes(image), wholeImage);
  EXPECT_EQ(ReadText(ImageMapPath(image)), wholeMap);
  for (const auto& [offset, length] : calls) EXPECT_GE(offset, (50 + 13 * 256) * 512u) << "only untried areas are read";

  // A clean copy continued to its end leaves no mapfile.
  options.skipBad = false;
  options.resume = false;
  options.reader = nullptr;
  Recorder stop;
  stop.stopAt = 1;
  ASSERT_EQ(Copy(0, 0, options, &stop), kCancelled);
  options.resume = true;
  ASSERT_EQ(Copy(0, 0, options), kSuccess) << last;
  EXPECT_EQ(test::ReadFileBytes(image), bytes);
  EXPECT_FALSE(fs::exists(ImageMapPath(image)));
}

TEST_F(ImageCopyTest, ResumeRefusesAMissingOrHostileMapAndLeavesTheImageAlone) {
  ImageCopyOptions options;
  options.resume = true;
  EXPECT_EQ(Copy(0, 0, options), kErrFileNotFound);
  EXPECT_NE(last.find("no mapfile"), std::string::npos) << last;
  EXPECT_FALSE(fs::exists(image));

  const std::vector<std::uint8_t> partial = test::RandomBytes(4096, 3);
  test::WriteFileBytes(image, partial);
  const std::string mapPath = ImageMapPath(image);
  const std::string size = std::to_string(kSectors * 512);
  const std::pair<std::string, const char*> hostile[] = {
      {std::string("\0\0\xff\xfe garbage", 12), "not a status line"},
      {"0x0 ? 1\n0 4096 +\n2048 " + size + " ?\n", "overlap"},
      {"0x0 ? 1\n0 4096 +\n4096 " + size + " ?\n", "passes the end"},
      {"0x0 ? 1\n0 " + std::to_string(kSectors * 1024) + " ?\n", "passes the end"},
      {"0x0 ? 1\n0 8192 +\n8192 " + std::to_string(kSectors * 512 - 8192) + " ?\n", "shorter than its mapfile"},
  };
  for (const auto& [text, reason] : hostile) {
    test::WriteFileBytes(mapPath, std::vector<std::uint8_t>(text.begin(), text.end()));
    EXPECT_NE(Copy(0, 0, options), kSuccess) << reason;
    EXPECT_NE(last.find(reason), std::string::npos) << last;
    EXPECT_EQ(test::ReadFileBytes(image), partial);
  }
  // A file too large to be a mapfile is not read into memory.
  ASSERT_EQ(::truncate(mapPath.c_str(), static_cast<off_t>(kMaxMapFileBytes + 1)), 0);
  EXPECT_EQ(Copy(0, 0, options), kErrInvalidParameter);
  EXPECT_NE(last.find("too large"), std::string::npos) << last;

  // A map of this range with the image gone.
  const std::string good = "0x0 ? 1\n0 " + size + " ?\n";
  test::WriteFileBytes(mapPath, std::vector<std::uint8_t>(good.begin(), good.end()));
  fs::remove(image);
  EXPECT_EQ(Copy(0, 0, options), kErrFileNotFound);
  EXPECT_NE(last.find("no image"), std::string::npos) << last;
}

}  // namespace
}  // namespace rexmoor
