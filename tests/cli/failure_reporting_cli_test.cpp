// Failures the command line must never pass off as success, run as a user meets them: a data
// folder that cannot take the scan log, a target that is no folder or has too little room,
// output that cannot be written; and a partitioned image given whole.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>

#include "cli/cli_json.h"
#include "fat/fat_volume_builder.h"  // ShellQuote
#include "fixtures/fixture_paths.h"
#include "test_support.h"

namespace rexmoor {
namespace {

namespace fs = std::filesystem;
using test::FixturePath;
using test::FixtureSha256;
using test::JsonLines;
using test::ShellQuote;

struct Outcome {
  int status = 0;
  std::string out;
  std::string err;
};

class FailureReporting : public ::testing::Test {
 protected:
  Outcome Run(const std::string& args, const std::string& prefix = "") {
    Outcome r;
    const std::string errFile = work / "stderr.txt";
    r.status = test::RunCommand(prefix + REXMOOR_CLI_PATH " " + args + " 2>" + ShellQuote(errFile), &r.out);
    const auto bytes = test::ReadFileBytes(errFile);
    r.err.assign(bytes.begin(), bytes.end());
    return r;
  }
  // A small tmpfs of its own (root only); false where it cannot be had.
  bool MountSmallFolder(const std::string& path, const char* size) {
    fs::create_directories(path);
    if (::mount("tmpfs", path.c_str(), "tmpfs", 0, size) != 0) return false;
    mounts_.push_back(path);
    return true;
  }
  void TearDown() override {
    for (const std::string& path : mounts_) ::umount2(path.c_str(), MNT_DETACH);
  }
  test::TempDir work;
  std::vector<std::string> mounts_;
};

// Every way the scan log or the target can fail ends in exit 1 and a line that names the path
// and the system's reason, before any scanning where that can be known.
TEST_F(FailureReporting, UnusableDataFoldersAndTargetsAreToldNotPassedOffAsEmptyResults) {
  REQUIRE_FIXTURE("fat16.img");
  const std::string image = ShellQuote(FixturePath("fat16.img"));
  const std::string plain = work / "plain";
  test::WriteFileBytes(plain, {1, 2, 3});
  // A folder only root may write to, tried as another user.
  const std::string locked = work / "locked";
  fs::create_directories(locked);
  fs::permissions(work.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  const std::string nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  const std::string readable = work / "fat16.img";
  fs::copy_file(FixturePath("fat16.img"), readable);
  fs::permissions(readable, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  const std::string data = " --quick --data-dir " + ShellQuote(work / "data");

  const struct {
    std::string args;
    std::string prefix;
    std::string said;
  } cases[] = {
      {"scan " + image + " --data-dir " + ShellQuote(plain),
       "",
       "rexmoor: The scan cannot keep what it finds in " + plain + "/Rexmoor Pro/ScanLog: Not a directory."},
      {"scan " + ShellQuote(readable) + " --quick --data-dir " + ShellQuote(locked), nobody,
       "rexmoor: The scan cannot keep what it finds in " + locked + "/Rexmoor Pro/ScanLog: Permission denied."},
      {"recover " + image + data + " --to " + ShellQuote(plain), "",
       "rexmoor: cannot recover into " + plain + ": it is a file, not a folder"},
      {"recover " + image + data + " --to " + ShellQuote(plain + "/sub"), "",
       "rexmoor: cannot recover into " + plain + "/sub: " + plain + ": Not a directory"},
      {"recover " + ShellQuote(readable) + " --quick --data-dir " + ShellQuote(work / "nobody-data") + " --to " +
           ShellQuote(locked + "/out"),
       nobody, "rexmoor: cannot recover into " + locked + "/out: " + locked + ": Permission denied"},
      {"image " + image + " " + ShellQuote(work.path()), "",
       "rexmoor: " + work.path() + " is a folder; OUTPUT names the image file to write"},
  };
  fs::permissions(locked, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  fs::create_directories(work / "nobody-data");
  fs::permissions(work / "nobody-data", fs::perms::all);
  for (const auto& c : cases) {
    const Outcome r = Run(c.args, c.prefix);
    EXPECT_EQ(r.status, 1) << c.args << "\n" << r.err;
    EXPECT_EQ(r.out, "") << c.args;
    EXPECT_EQ(r.err.rfind(c.said, 0), 0u) << c.args << "\n" << r.err;
    EXPECT_EQ(r.err.find("Scanning"), std::string::npos) << "told before the scan: " << r.err;
  }
  EXPECT_FALSE(fs::exists(locked + "/out"));

  // Results that cannot be written out fail the run.
  const Outcome full = Run("scan " + image + data + " --format json > /dev/full", "");
  EXPECT_EQ(full.status, 1);
  EXPECT_NE(full.err.find("rexmoor: cannot write the output: No space left on device"), std::string::npos) << full.err;
}

// A target with less room than the files found is refused with both numbers before anything is
// written; a scan log that fills up half-way ends the scan in an error, with what it found listed.
TEST_F(FailureReporting, TooLittleRoomIsToldBeforeWritingAndAFullLogEndsTheScanInAnError) {
  REQUIRE_FIXTURE("fat16.img");
  const std::string image = ShellQuote(FixturePath("fat16.img"));
  const std::string small = work / "small";
  if (!MountSmallFolder(small, "size=8k")) GTEST_SKIP() << "mounting a tmpfs needs root";
  const std::string data = " --quick --data-dir " + ShellQuote(work / "data");

  std::string listing;
  ASSERT_EQ(test::RunCommand(REXMOOR_CLI_PATH " scan " + image + data + " --format json 2>/dev/null", &listing), 0);
  std::uint64_t needed = 0;
  for (const auto& r : JsonLines(listing)) needed += r["size"].get<std::uint64_t>();
  ASSERT_GT(needed, 8192u);

  const Outcome refused = Run("recover " + image + data + " --to " + ShellQuote(small + "/out"));
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("need " + std::to_string(needed) + " bytes"), std::string::npos) << refused.err;
  EXPECT_NE(refused.err.find("has only 8192 bytes"), std::string::npos) << refused.err;
  EXPECT_FALSE(fs::exists(small + "/out"));
  // Told to go on, what does not fit fails file by file, in the system's words.
  const Outcome forced =
      Run("recover " + image + data + " --to " + ShellQuote(small + "/out") + " --ignore-free-space --format json");
  EXPECT_EQ(forced.status, 1);
  EXPECT_NE(forced.out.find("\"status\":\"No space left on device\""), std::string::npos) << forced.out;

  // A data folder with room for a scratch file but not for the scan's log. The deep scan's
  // log outgrows 8 KiB on this volume.
  const std::string tight = work / "tight";
  ASSERT_TRUE(MountSmallFolder(tight, "size=4k"));
  const Outcome filled = Run("scan " + image + " --deep --resume no --format json --data-dir " + ShellQuote(tight));
  EXPECT_EQ(filled.status, 1) << filled.err;
  EXPECT_NE(filled.err.find("ended early: No space left on device"), std::string::npos) << filled.err;
  const auto lines = JsonLines(filled.out, true);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back()["complete"], false);
  EXPECT_TRUE(lines.back()["error"].is_string());
}

// A partitioned image given whole is scanned partition by partition, each file tagged with its
// partition, and recovered byte for byte; preview asks for one partition.
TEST_F(FailureReporting, APartitionedImageIsScannedPartitionByPartition) {
  REQUIRE_FIXTURE("mbr.img");
  const std::string image = FixturePath("mbr.img");
  const std::string data = " --quick --data-dir " + ShellQuote(work / "data");
  const Outcome listed = Run("scan " + ShellQuote(image) + data + " --format json");
  ASSERT_EQ(listed.status, 0) << listed.err;
  const auto records = JsonLines(listed.out);
  ASSERT_EQ(records.size(), 1u) << listed.out;
  EXPECT_EQ(records[0]["source"], image + "@2048+81920");
  EXPECT_EQ(records[0]["name"].get<std::string>().substr(1), "emoved.txt");
  EXPECT_NE(listed.err.find("scanning its 2 partitions one by one"), std::string::npos) << listed.err;
  EXPECT_NE(listed.err.find("Scanning partition 2"), std::string::npos) << listed.err;

  const std::string target = work / "out";
  const Outcome recovered = Run("recover " + ShellQuote(image) + data + " --to " + ShellQuote(target));
  ASSERT_EQ(recovered.status, 0) << recovered.err;
  std::string sum;
  test::RunCommand("sha256sum " + ShellQuote(target) + "/document/*emoved.txt", &sum);
  EXPECT_EQ(sum.substr(0, 64), FixtureSha256("mbr.img#p1:/removed.txt"));

  const Outcome preview = Run("preview " + ShellQuote(image) + data + " --id 1:1");
  EXPECT_EQ(preview.status, 1);
  EXPECT_NE(preview.err.find("holds a partition table; name one of its partitions, e.g. " + image + "@2048+81920"),
            std::string::npos)
      << preview.err;
}

}  // namespace
}  // namespace rexmoor
