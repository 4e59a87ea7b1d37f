// The detect command, run as a user would run it, on volumes made by the real tools.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "fixtures/fixture_paths.h"
#include "test_support.h"

namespace rexmoor {
namespace {

using test::FixturePath;

struct Outcome {
  int status;
  std::string out;
};

Outcome Detect(const std::string& source, const std::string& env = "") {
  Outcome o;
  o.status = test::RunCommand(env + " " REXMOOR_CLI_PATH " detect '" + source + "' 2>&1", &o.out);
  return o;
}

TEST(DetectCommand, NamesTheKindOfEveryRealVolume) {
  struct Case {
    const char* file;
    const char* kind;
  } cases[] = {{"fat12.img", "FAT\n"},  {"fat16.img", "FAT\n"},  {"fat32.img", "FAT\n"},
               {"ntfs.img", "NTFS\n"},  {"ext4.img", "EXT4\n"},   {"exfat.img", "EXFAT\n"},
               {"raw.bin", "NONE\n"},   {"fat32_bitlocker.img", "NONE\n"}};
  for (const auto& c : cases) {
    REQUIRE_FIXTURE(c.file);
    Outcome o = Detect(FixturePath(c.file));
    EXPECT_EQ(o.status, 0) << c.file;
    EXPECT_EQ(o.out, c.kind) << c.file;
  }
}

// Partition ranges of the MBR image, as the fixture script records them.
std::vector<std::tuple<std::uint64_t, std::uint64_t, std::string>> MbrPartitions() {
  std::vector<std::tuple<std::uint64_t, std::uint64_t, std::string>> parts;
  std::ifstream manifest(FixturePath("MANIFEST.txt"));
  std::string line;
  while (std::getline(manifest, line)) {
    if (line.rfind("mbr.img p", 0) != 0) continue;
    std::uint64_t start = 0;
    std::uint64_t count = 0;
    std::string kind;
    std::istringstream words(line);
    std::string word;
    while (words >> word) {
      if (word.rfind("start=", 0) == 0) start = std::stoull(word.substr(6));
      if (word.rfind("count=", 0) == 0) count = std::stoull(word.substr(6));
      if (word.rfind("kind=", 0) == 0) kind = word.substr(5);
    }
    parts.emplace_back(start, count, kind);
  }
  return parts;
}

TEST(DetectCommand, PartitionsOfAStandInDriveAreAddressedBySectorRange) {
  REQUIRE_FIXTURE("mbr.img");
  const std::string env = "REXMOOR_DRIVES='" + FixturePath("mbr.img") + "'";
  auto parts = MbrPartitions();
  ASSERT_GE(parts.size(), 2u) << "MANIFEST.txt lists the MBR partitions";
  for (const auto& [start, count, kind] : parts) {
    Outcome o = Detect("drive:0@" + std::to_string(start) + "+" + std::to_string(count), env);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, kind + "\n") << "partition at " << start;
  }
  // The whole drive starts with the partition table, not a volume.
  EXPECT_EQ(Detect("drive:0", env).out, "NONE\n");
}

TEST(DetectCommand, BadSourcesGetOneLineErrors) {
  Outcome missing = Detect("/nonexistent/card.img");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.out.find("/nonexistent/card.img"), std::string::npos);
  EXPECT_EQ(std::count(missing.out.begin(), missing.out.end(), '\n'), 1);

  REQUIRE_FIXTURE("mbr.img");
  const std::string env = "REXMOOR_DRIVES='" + FixturePath("mbr.img") + "'";
  EXPECT_EQ(Detect("drive:7", env).status, 1);
  EXPECT_EQ(Detect("drive:0@99999999999+1", env).status, 1);
  EXPECT_EQ(Detect("drive:0@5", env).status, 1);
  EXPECT_EQ(Detect("drive:x", env).status, 1);
  EXPECT_EQ(Detect("/tmp").status, 1);

  std::string out;
  EXPECT_EQ(test::RunCommand(REXMOOR_CLI_PATH " detect 2>&1", &out), 2);
  EXPECT_EQ(test::RunCommand(REXMOOR_CLI_PATH " frobnicate 2>&1", &out), 2);
  EXPECT_EQ(test::RunCommand(REXMOOR_CLI_PATH " --help", &out), 0);
  EXPECT_NE(out.find("detect SOURCE"), std::string::npos);
  EXPECT_EQ(test::RunCommand(REXMOOR_CLI_PATH " --version", &out), 0);
}

TEST(DetectCommand, SourcesShorterThanABootAreaHoldNoVolume) {
  REQUIRE_FIXTURE("small.bin");
  Outcome o = Detect(FixturePath("small.bin"));
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "NONE\n");
}

}  // namespace
}  // namespace rexmoor

namespace rexmoor {
namespace {

// A real block device and its partitions, through a loop device over the MBR image. Needs root
// and loop support; elsewhere the test says why it did not run.
TEST(DetectCommand, BlockDevicesAndTheirPartitions) {
  const test::LoopDeviceLock loops;
  REQUIRE_FIXTURE("mbr.img");
  std::string device;
  if (test::RunCommand("losetup -rfP --show '" + test::FixturePath("mbr.img") + "' 2>/dev/null", &device) != 0 ||
      device.empty()) {
    GTEST_SKIP() << "no loop device available here";
  }
  device.erase(device.find_last_not_of("\n") + 1);
  test::RunCommand("partx -a " + device + " 2>/dev/null");
  std::string out;
  test::RunCommand(REXMOOR_CLI_PATH " detect " + device + "p1 2>&1", &out);
  EXPECT_EQ(out, "FAT\n");
  out.clear();
  test::RunCommand(REXMOOR_CLI_PATH " detect " + device + "p2 2>&1", &out);
  EXPECT_EQ(out, "NTFS\n");
  out.clear();
  test::RunCommand(REXMOOR_CLI_PATH " detect " + device + " 2>&1", &out);
  EXPECT_EQ(out, "NONE\n");
  test::RunCommand("losetup -d " + device);
}

}  // namespace
}  // namespace rexmoor
