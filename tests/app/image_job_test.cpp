#include "app/image_job.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>

#include "fat/fat_volume_builder.h"
#include "test_support.h"

namespace rexmoor {
namespace {

namespace fs = std::filesystem;
constexpr std::uint64_t kGiB = 1ull << 30;

std::string KeyText(const std::string& key) {
  if (key == "MSG0301") return "Progress:";
  if (key == "MSG0302") return "Creating image";
  if (key == "MSG0303") return "Sectors:";
  if (key == "MSG0304") return "Time left: estimating";
  if (key == "MSG0305") return "Time left:";
  return "<" + key + ">";
}

struct View : IImageProgressView {
  std::mutex m;
  std::vector<std::string> stages, percents, times, sectors;
  std::vector<std::int32_t> bars;
  void SetStage(const std::string& t) override { Add(stages, t); }
  void SetTime(const std::string& t) override { Add(times, t); }
  void SetSectors(const std::string& t) override { Add(sectors, t); }
  void SetPercent(const std::string& t) override { Add(percents, t); }
  void SetProgressBar(std::int32_t p) override {
    std::lock_guard<std::mutex> l(m);
    bars.push_back(p);
  }
  void Add(std::vector<std::string>& to, const std::string& t) {
    std::lock_guard<std::mutex> l(m);
    to.push_back(t);
  }
};

// Holds the reads of the source from the given call on until opened.
struct Gate {
  std::mutex m;
  std::condition_variable cv;
  bool open = false;
  int calls = 0;
  void Open() {
    {
      std::lock_guard<std::mutex> l(m);
      open = true;
    }
    cv.notify_all();
  }
  ImageSourceReader Reader(const std::string& path, int holdFrom) {
    auto file = std::make_shared<FileHandle>();
    EXPECT_EQ(FileHandle::OpenReadOnly(path, *file), kSuccess);
    return [this, file, holdFrom](std::uint64_t offset, void* buffer, std::size_t length) {
      {
        std::unique_lock<std::mutex> l(m);
        if (++calls >= holdFrom) cv.wait(l, [this] { return open; });
      }
      return file->ReadFully(buffer, length, offset);
    };
  }
};

// Answers the cancel question; opening the gate first lets the job reach its next report.
struct Asker : IQuestionAsker {
  bool answer = false;
  Gate* gate = nullptr;
  std::vector<std::string> questions;
  bool AskYesNo(const std::string& q) override {
    questions.push_back(q);
    if (gate != nullptr) gate->Open();
    return answer;
  }
};

class ImageJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    source = dir / "card.img";
    bytes = test::RandomBytes(4096 * 512, 5);
    test::WriteFileBytes(source, bytes);
    request.sourcePath = source;
    request.targetPath = dir / "out.img";
  }
  test::TempDir dir;
  std::string source;
  std::vector<std::uint8_t> bytes;
  ImageRequest request;
};

TEST_F(ImageJobTest, ReportsItsStageProgressAndTimeWithTheCatalogTexts) {
  View view;
  ImageJob job(request, &view, nullptr, KeyText);
  ImageCopyOptions options;
  options.blockBytes = 1024 * 512;
  std::uint32_t now = 0;
  options.clock = [&now] { return now += 2000; };  // the third report comes 6 s after the start
  job.SetCopyOptions(options);
  job.Start();
  job.Wait();
  EXPECT_EQ(job.WindowResult(), kImageJobSucceeded);
  EXPECT_EQ(test::ReadFileBytes(request.targetPath), bytes);
  EXPECT_EQ(view.stages, (std::vector<std::string>{"Creating image " + request.targetPath}));
  EXPECT_EQ(view.bars, (std::vector<std::int32_t>{25, 50, 75, 100}));
  EXPECT_EQ(view.percents.back(), "Progress: 100%");
  EXPECT_EQ(view.sectors.front(), "Sectors: 1024 / 4096");
  ASSERT_EQ(view.times.size(), 4u);
  EXPECT_EQ(view.times[0], "Time left: estimating");
  EXPECT_EQ(view.times[1], "Time left: estimating");
  // 6 s for 3/4 of the copy: 2 s left.
  EXPECT_EQ(view.times[2], "Time left: 2 Sec");
}

TEST_F(ImageJobTest, ANoToTheCancelQuestionGoesOnWhereItWasAndAYesStops) {
  Gate gate;
  Asker asker;
  asker.gate = &gate;
  View view;
  {
    ImageJob job(request, &view, &asker, KeyText);
    ImageCopyOptions options;
    options.blockBytes = 256 * 512;
    options.reader = gate.Reader(source, 3);
    job.SetCopyOptions(options);
    job.Start();
    EXPECT_FALSE(job.RequestCancel());
    job.Wait();
    EXPECT_EQ(job.WindowResult(), kImageJobSucceeded);
    EXPECT_EQ(test::ReadFileBytes(request.targetPath), bytes) << "nothing skipped, nothing twice";
    EXPECT_EQ(asker.questions, (std::vector<std::string>{"<MSG0306>"}));
  }
  Gate second;
  asker.gate = &second;
  asker.answer = true;
  ImageJob job(request, &view, &asker, KeyText);
  ImageCopyOptions options;
  options.blockBytes = 256 * 512;
  options.reader = second.Reader(source, 3);
  job.SetCopyOptions(options);
  job.Start();
  EXPECT_TRUE(job.RequestCancel());
  job.Wait();
  EXPECT_EQ(job.WindowResult(), kImageJobCancelled);
  EXPECT_EQ(job.CopyResult(), kCancelled);
  EXPECT_LT(fs::file_size(request.targetPath), bytes.size());
  EXPECT_TRUE(fs::exists(ImageMapPath(request.targetPath))) << "the partial image can be continued";
}

TEST_F(ImageJobTest, AnyOtherFailureClosesWithThree) {
  request.sourcePath = dir / "missing.img";
  ImageJob job(request, nullptr, nullptr, KeyText);
  job.Start();
  job.Wait();
  EXPECT_EQ(job.WindowResult(), kImageJobFailed);
  EXPECT_EQ(job.CopyResult(), kErrFileNotFound);

  request.sourcePath = source;
  request.resume = true;
  ImageJob resume(request, nullptr, nullptr, KeyText);
  resume.Start();
  resume.Wait();
  EXPECT_EQ(resume.WindowResult(), kImageJobFailed);
  EXPECT_NE(resume.Copy().error.find("no mapfile"), std::string::npos) << resume.Copy().error;

  // A source that goes away is a failure the window tells, not a finished image.
  request.resume = false;
  ImageJob gone(request, nullptr, nullptr, KeyText);
  ImageCopyOptions options;
  options.reader = [](std::uint64_t offset, void*, std::size_t) { return offset == 0 ? kSuccess : kErrNotReady; };
  options.blockBytes = 512;
  gone.SetCopyOptions(options);
  gone.Start();
  gone.Wait();
  EXPECT_EQ(gone.WindowResult(), kImageJobFailed);
  EXPECT_NE(gone.Copy().error.find(" went away at byte 512 "), std::string::npos) << gone.Copy().error;
}

TEST(ImageTarget, FileSystemLimitsAndFreeSpaceDecide) {
  using FS = TargetFileSystem;
  const std::uint64_t plenty = 1000 * kGiB;
  EXPECT_EQ(ImageSizeRule(FS::Fat32, 4 * kGiB - 1, plenty, 0), "");
  EXPECT_EQ(ImageSizeRule(FS::Fat32, 4 * kGiB, plenty, 0), "MSG0220") << "4 GiB itself does not fit";
  EXPECT_EQ(ImageSizeRule(FS::Fat16, 2 * kGiB - 512, plenty, 0), "");
  EXPECT_EQ(ImageSizeRule(FS::Fat16, 2 * kGiB, plenty, 0), "MSG0219");
  EXPECT_EQ(ImageSizeRule(FS::Other, 64 * kGiB, plenty, 0), "");
  // The limit is told before the space.
  EXPECT_EQ(ImageSizeRule(FS::Fat32, 5 * kGiB, 1, 0), "MSG0220");
  EXPECT_EQ(ImageSizeRule(FS::Other, 10 * kGiB, 10 * kGiB - 1, 0), "MSG0221");
  EXPECT_EQ(ImageSizeRule(FS::Other, 10 * kGiB, 10 * kGiB, 0), "");
  // The file that will be overwritten gives its room back.
  EXPECT_EQ(ImageSizeRule(FS::Other, 10 * kGiB, 6 * kGiB, 4 * kGiB), "");
  EXPECT_EQ(ImageSizeRule(FS::Other, 10 * kGiB, UINT64_MAX, UINT64_MAX), "") << "no overflow";
}

TEST(ImageTarget, TheSourceItselfAndTheFileBehindALoopDeviceAreRefused) {
  const test::LoopDeviceLock loops;
  test::TempDir dir;
  const std::string image = dir / "disk.img";
  test::WriteFileBytes(image, test::RandomBytes(1 << 20, 9));
  ImageRequest request;
  request.sourcePath = image;
  request.targetPath = image;
  ImageTargetCheck check = CheckImageTarget(request, 1 << 20);
  EXPECT_EQ(check.messageKey, "MSG0218");
  EXPECT_NE(check.detail.find("holds the source itself"), std::string::npos) << check.detail;
  request.targetPath = dir / "copy.img";
  EXPECT_TRUE(CheckImageTarget(request, 1 << 20).Passed());

  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a loop device";
  std::string device;
  if (test::RunCommand("losetup -f --show " + test::ShellQuote(image) + " 2>/dev/null", &device) != 0 || device.empty())
    GTEST_SKIP() << "no loop device can be had here";
  device.erase(device.find_last_not_of('\n') + 1);
  request.sourcePath = device;
  request.targetPath = image;
  check = CheckImageTarget(request, 1 << 20);
  test::RunCommand("losetup -d " + device);
  EXPECT_EQ(check.messageKey, "MSG0218") << device;
}

// A real FAT volume on a loop device: its width, its free space, and the volume as the source.
TEST(ImageTarget, MountedFatVolumesAreToldApart) {
  const test::LoopDeviceLock loops;
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a FAT volume";
  test::TempDir dir;
  struct Volume {
    const char* name;
    int fatBits;
    int kib;
    TargetFileSystem expected;
  } volumes[] = {{"fat16.img", 16, 16 * 1024, TargetFileSystem::Fat16}, {"fat32.img", 32, 40 * 1024, TargetFileSystem::Fat32}};
  // The checks take the image's size as given: the source only matters for the medium check.
  const std::string elsewhere = dir / "elsewhere.img";
  test::WriteFileBytes(elsewhere, test::RandomBytes(4096, 1));
  for (const Volume& v : volumes) {
    test::FatVolumeBuilder builder(dir, v.name);
    ASSERT_TRUE(builder.Format(v.kib, v.fatBits)) << builder.lastError();
    std::string device;
    if (test::RunCommand("losetup -f --show " + test::ShellQuote(builder.image()) + " 2>/dev/null", &device) != 0 ||
        device.empty())
      GTEST_SKIP() << "no loop device can be had here";
    device.erase(device.find_last_not_of('\n') + 1);
    const std::string mount = dir / (std::string(v.name) + ".mnt");
    fs::create_directories(mount);
    if (test::RunCommand("mount -t vfat " + device + " " + test::ShellQuote(mount) + " 2>/dev/null") != 0) {
      test::RunCommand("losetup -d " + device);
      GTEST_SKIP() << "cannot mount a FAT volume here";
    }
    TargetFileSystem fileSystem = TargetFileSystem::Other;
    std::uint64_t freeBytes = 0;
    const bool examined = TargetFolderFacts(mount, fileSystem, freeBytes);
    ImageRequest request;
    request.targetPath = mount + "/out.img";
    request.sourcePath = elsewhere;
    const ImageTargetCheck tooLarge = CheckImageTarget(request, v.fatBits == 32 ? 4 * kGiB : 2 * kGiB);
    const ImageTargetCheck noRoom = CheckImageTarget(request, static_cast<std::uint64_t>(v.kib) * 1024);
    const ImageTargetCheck fits = CheckImageTarget(request, 1024 * 1024);
    request.sourcePath = device;
    const ImageTargetCheck onSource = CheckImageTarget(request, 1024);
    test::RunCommand("umount " + test::ShellQuote(mount));
    test::RunCommand("losetup -d " + device);

    EXPECT_TRUE(examined) << v.name;
    EXPECT_EQ(fileSystem, v.expected) << v.name;
    EXPECT_GT(freeBytes, 0u) << v.name;
    EXPECT_LT(freeBytes, static_cast<std::uint64_t>(v.kib) * 1024) << v.name;
    EXPECT_EQ(tooLarge.messageKey, v.fatBits == 32 ? "MSG0220" : "MSG0219") << v.name;
    EXPECT_EQ(noRoom.messageKey, "MSG0221") << v.name << " " << noRoom.detail;
    EXPECT_EQ(onSource.messageKey, "MSG0218") << v.name;
    EXPECT_TRUE(fits.Passed()) << v.name << " " << fits.messageKey;
  }
}

}  // namespace
}  // namespace rexmoor
