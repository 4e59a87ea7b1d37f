// recover on hostile targets and hostile volumes, run as a user runs it: links planted in the
// target, a plain file where a category folder goes, sizes no volume can hold, and a target on
// the very medium being scanned.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "cli/cli_json.h"
#include "fat/fat_volume_builder.h"
#include "fixtures/fixture_paths.h"
#include "test_support.h"

namespace rexmoor {
namespace {

namespace fs = std::filesystem;
using test::FixturePath;
using test::FixtureSha256;
using test::JsonLines;
using test::OrderedJson;

struct Outcome {
  int status = 0;
  std::string out;
  std::string err;
};

class RecoverSafety : public ::testing::Test {
 protected:
  Outcome Recover(const std::string& source, const std::string& target, const std::string& extra = "") {
    Outcome r;
    const std::string errFile = work / "stderr.txt";
    r.status = test::RunCommand(std::string(REXMOOR_CLI_PATH) + " recover " + test::ShellQuote(source) +
                                    " --quick --data-dir " + test::ShellQuote(work / "data") + " --to " +
                                    test::ShellQuote(target) + " " + extra + " 2>" + test::ShellQuote(errFile),
                                &r.out);
    const auto bytes = test::ReadFileBytes(errFile);
    r.err.assign(bytes.begin(), bytes.end());
    return r;
  }
  // How many per-file results carry this status.
  static std::size_t CountStatus(const std::vector<OrderedJson>& lines, const std::string& status) {
    return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const OrderedJson& line) {
      return !line.contains("summary") && line["status"] == status;
    }));
  }
  // The final summary object, or null when there is none.
  static OrderedJson Summary(const std::vector<OrderedJson>& lines) {
    return !lines.empty() && lines.back().contains("summary") ? lines.back() : OrderedJson();
  }
  static std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }
  // Every regular file below a folder, with its size.
  static std::uint64_t BytesBelow(const std::string& root, std::uint64_t* largest = nullptr) {
    std::uint64_t total = 0;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
      if (!e.is_regular_file()) continue;
      total += e.file_size();
      if (largest != nullptr) *largest = std::max<std::uint64_t>(*largest, e.file_size());
    }
    return total;
  }

  test::TempDir work;
  std::string outside = work / "outside";
  std::string target = work / "out";
  void SetUp() override {
    fs::create_directories(outside);
    fs::create_directories(target);
  }
};

TEST_F(RecoverSafety, LinksPlantedInTheTargetAreNeverFollowed) {
  REQUIRE_FIXTURE("fat32.img");
  const std::string before = test::Sha256Hex(FixturePath("fat32.img"));
  // A category folder that is a link, and a link at the name a file will take.
  ASSERT_EQ(::symlink(outside.c_str(), (target + "/photo").c_str()), 0);
  fs::create_directories(target + "/document");
  test::WriteFileBytes(outside + "/victim", {'v'});
  ASSERT_EQ(::symlink((outside + "/victim").c_str(), (target + "/document/old notes.txt").c_str()), 0);

  Outcome r = Recover(FixturePath("fat32.img"), target);
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_EQ(test::ReadFileBytes(outside + "/victim"), (std::vector<std::uint8_t>{'v'}));
  EXPECT_EQ(fs::directory_iterator(outside)->path().filename(), "victim");
  EXPECT_EQ(std::distance(fs::directory_iterator(outside), fs::directory_iterator()), 1) << "nothing written outside";
  // The photo fails with a reason; the link's name is passed over, so the text file is written.
  EXPECT_NE(r.out.find("FAILED     " + target + "/photo/deleted photo.jpg\n"
                       "           Is a symbolic link (not followed)"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(test::Sha256Hex(target + "/document/old notes(1).txt"), FixtureSha256("fat32.img:/old notes.txt"));
  EXPECT_NE(r.out.find("6 of 7 file(s) recovered into " + target + ", 1 failed"), std::string::npos) << r.out;
  EXPECT_EQ(test::Sha256Hex(FixturePath("fat32.img")), before);

  // What the link points to is not even looked at: the failed file's size is what was written.
  test::WriteFileBytes(outside + "/deleted photo.jpg", {1, 2, 3, 4, 5});
  Outcome json = Recover(FixturePath("fat32.img"), target, "--format json --types photo");
  EXPECT_EQ(json.status, 1);
  const auto lines = JsonLines(json.out);
  ASSERT_EQ(lines.size(), 2u) << json.out;
  EXPECT_EQ(lines[0]["name"], "deleted photo.jpg");
  EXPECT_EQ(lines[0]["path"], target + "/photo/deleted photo.jpg");
  EXPECT_EQ(lines[0]["size"], 0) << "the size is of what was written";
  EXPECT_EQ(lines[0]["status"], "Is a symbolic link (not followed)") << lines[0];
  EXPECT_EQ(Summary(lines)["failed"], 1);
  EXPECT_EQ(test::ReadFileBytes(outside + "/deleted photo.jpg"), (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));
}

TEST_F(RecoverSafety, APlainFileWhereACategoryFolderGoesFailsItsFiles) {
  REQUIRE_FIXTURE("fat32.img");
  test::WriteFileBytes(target + "/document", {'x'});
  Outcome r = Recover(FixturePath("fat32.img"), target, "--format json");
  EXPECT_EQ(r.status, 1);
  // old notes.txt, Trash Folder/x.txt and Trash Folder/sub/z.pdf are documents.
  const auto lines = JsonLines(r.out);
  EXPECT_EQ(CountStatus(lines, "Not a directory"), 3u) << r.out;
  EXPECT_EQ(CountStatus(lines, "ok"), 4u) << r.out;
  const OrderedJson summary = Summary(lines);
  EXPECT_EQ(summary, OrderedJson::parse(R"({"summary":true,"target":")" + target +
                                        R"(","total":7,"done":7,"recovered":4,"incomplete":0,"failed":3,"cancelled":false})"))
      << r.out;
  EXPECT_EQ(test::ReadFileBytes(target + "/document"), (std::vector<std::uint8_t>{'x'}));
}

// Deleted entries that claim 4 GiB each: what is written is bounded by what the volume holds, and
// every such file is reported incomplete rather than recovered.
TEST_F(RecoverSafety, SizesNoVolumeCanHoldAreBoundedAndReportedIncomplete) {
  test::FatVolumeBuilder volume(work, "floppy.img");
  ASSERT_TRUE(volume.Format(1440, 12)) << volume.lastError();
  constexpr int kFiles = 20;
  for (int i = 0; i < kFiles; ++i)
    ASSERT_TRUE(volume.Put("/F" + std::to_string(i) + ".BIN", test::RandomBytes(3000, i + 1), "2020-01-02 03:04:06"));
  for (int i = 0; i < kFiles; ++i) ASSERT_TRUE(volume.Delete("/F" + std::to_string(i) + ".BIN"));
  // The root folder of a 1.44 MB floppy: 224 entries at sector 19.
  std::vector<std::uint8_t> image = test::ReadFileBytes(volume.image());
  int patched = 0;
  for (std::size_t at = 19 * 512; at < 19 * 512 + 224 * 32; at += 32) {
    if (image[at] != 0xE5 || image[at + 11] == 0x0F) continue;
    for (int k = 28; k < 32; ++k) image[at + k] = 0xFF;
    ++patched;
  }
  ASSERT_EQ(patched, kFiles);
  test::WriteFileBytes(volume.image(), image);

  Outcome r = Recover(volume.image(), target, "--format json");
  EXPECT_EQ(r.status, 1) << r.err;
  const auto lines = JsonLines(r.out);
  EXPECT_EQ(CountStatus(lines, "incomplete"), static_cast<std::size_t>(kFiles)) << r.out;
  EXPECT_EQ(CountStatus(lines, "ok"), 0u);
  EXPECT_EQ(Summary(lines)["incomplete"], kFiles) << r.out;
  EXPECT_EQ(Summary(lines)["failed"], 0) << r.out;
  std::uint64_t largest = 0;
  const std::uint64_t total = BytesBelow(target, &largest);
  EXPECT_LE(largest, image.size()) << "no file is larger than its volume";
  EXPECT_LE(total, kFiles * image.size());
  EXPECT_GE(largest, 3000u) << "what the volume holds is still written";
}

// Recovering onto the volume being scanned would overwrite what is still to be recovered.
TEST_F(RecoverSafety, ATargetOnTheScannedMediumIsRefused) {
  const test::LoopDeviceLock loops;
  REQUIRE_FIXTURE("ntfs.img");
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a loop device and an ntfs-3g mount";
  const std::string image = work / "ntfs.img";
  fs::copy_file(FixturePath("ntfs.img"), image);
  std::string device;
  if (test::RunCommand("losetup -f --show " + test::ShellQuote(image) + " 2>/dev/null", &device) != 0 ||
      device.empty())
    GTEST_SKIP() << "no loop device can be had here";
  device.erase(device.find_last_not_of('\n') + 1);
  const std::string mount = work / "mnt";
  fs::create_directories(mount);
  if (test::RunCommand("ntfs-3g " + device + " " + test::ShellQuote(mount) + " 2>/dev/null") != 0) {
    test::RunCommand("losetup -d " + device);
    GTEST_SKIP() << "ntfs-3g cannot mount here (no FUSE?)";
  }
  const std::string onVolume = mount + "/recovered";

  Outcome refused = Recover(device, onVolume);
  Outcome viaImage = Recover(image, onVolume);  // the image behind the loop device is the same medium
  Outcome allowed = Recover(device, onVolume, "--allow-same-device");
  Outcome elsewhere = Recover(device, target);
  test::RunCommand("umount " + test::ShellQuote(mount));
  test::RunCommand("losetup -d " + device);

  EXPECT_EQ(refused.status, 1);
  EXPECT_TRUE(refused.out.empty());
  EXPECT_EQ(Count(refused.err, "\n"), 1u) << "one line says why: " << refused.err;
  EXPECT_NE(refused.err.find("refusing to recover into " + onVolume), std::string::npos) << refused.err;
  EXPECT_NE(refused.err.find(device + " holds both"), std::string::npos) << refused.err;
  EXPECT_NE(refused.err.find("--allow-same-device"), std::string::npos);
  EXPECT_EQ(viaImage.status, 1) << viaImage.err;
  EXPECT_NE(viaImage.err.find("refusing"), std::string::npos) << viaImage.err;
  EXPECT_NE(allowed.err.find("warning: " + onVolume + " is on the medium being scanned"), std::string::npos)
      << allowed.err;
  EXPECT_NE(allowed.out.find("file(s) recovered into"), std::string::npos) << allowed.out;
  EXPECT_EQ(elsewhere.status, 0) << elsewhere.err;
  EXPECT_EQ(elsewhere.err.find("same"), std::string::npos) << elsewhere.err;
}

}  // namespace
}  // namespace rexmoor
