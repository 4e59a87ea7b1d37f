// rexmoor devices as a user runs it: partitioned images named on the command line, image files
// standing in for drives, a loop device, and a drive the user may not read. Every SOURCE the
// listing prints must scan.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "cli/cli_json.h"
#include "device/partitioned_images.h"
#include "test_support.h"

namespace rexmoor {
namespace {

using test::JsonLines;
using test::OrderedJson;
using test::ShellQuote;

struct CliRun {
  int status = 0;
  std::string out;
  std::string err;
};

class DevicesCli : public test::PartitionedImagesTest {
 protected:
  static CliRun Rexmoor(const std::string& args, const std::string& env = "") {
    CliRun r;
    const std::string errFile = dir_->path() + "/stderr.txt";
    r.status = test::RunCommand(env + " " + std::string(REXMOOR_CLI_PATH) + " " + args + " 2>" + ShellQuote(errFile),
                                &r.out);
    const auto bytes = test::ReadFileBytes(errFile);
    r.err.assign(bytes.begin(), bytes.end());
    return r;
  }
  // Scans a SOURCE the way its row suggests; returns the names found.
  static std::vector<std::string> ScanNames(const OrderedJson& row, const std::string& env = "") {
    const bool fat = row["filesystem"] == "FAT" || row["filesystem"] == "NTFS";
    const CliRun r = Rexmoor("scan " + ShellQuote(row["source"].get<std::string>()) +
                              (fat ? " --quick" : " --deep --resume no") + " --format json --data-dir " +
                              ShellQuote(dir_->path() + "/data"),
                          env);
    EXPECT_EQ(r.status, 0) << row["source"] << ": " << r.err;
    std::vector<std::string> names;
    for (const OrderedJson& found : JsonLines(r.out)) names.push_back(found["name"]);
    return names;
  }
  static std::map<std::uint64_t, std::uint64_t> SfdiskLayout(const std::string& image) {
    std::string out;
    EXPECT_EQ(test::RunCommand("sfdisk -J " + ShellQuote(image), &out), 0);
    std::map<std::uint64_t, std::uint64_t> layout;
    const auto table = nlohmann::json::parse(out, nullptr, false);
    if (table.is_discarded()) return layout;
    for (const auto& p : table["partitiontable"]["partitions"])
      if (p["type"] != "5") layout[p["start"].get<std::uint64_t>()] = p["size"].get<std::uint64_t>();
    return layout;
  }
};

TEST_F(DevicesCli, ImagesListTheirPartitionsAndEverySourceScans) {
  ASSERT_TRUE(built_);
  std::string args = "devices --format json";
  for (test::PartitionedImage* image : images_->All()) args += " " + ShellQuote(image->path);
  const CliRun r = Rexmoor(args);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<OrderedJson> rows = JsonLines(r.out);
  std::size_t next = 0;
  for (std::size_t d = 0; d < images_->All().size(); ++d) {
    const test::PartitionedImage& image = *images_->All()[d];
    SCOPED_TRACE(image.path);
    const auto sfdisk = image.tableType.empty() ? std::map<std::uint64_t, std::uint64_t>() : SfdiskLayout(image.path);
    std::size_t partitions = 0;
    for (const test::ExpectedRow& want : image.rows) {
      ASSERT_LT(next, rows.size());
      const OrderedJson& row = rows[next++];
      EXPECT_EQ(row["drive"], d);
      EXPECT_EQ(row["type"], want.type);
      EXPECT_EQ(row["start"], want.start);
      EXPECT_EQ(row["length"], want.length);
      EXPECT_EQ(row["filesystem"], want.fileSystem.empty() ? OrderedJson(nullptr) : OrderedJson(want.fileSystem));
      EXPECT_EQ(row["label"], want.label.empty() ? OrderedJson(nullptr) : OrderedJson(want.label));
      EXPECT_EQ(row["needs_root"], false);
      const bool whole = want.start == 0 && want.type != "partition";
      EXPECT_EQ(row["source"], whole ? image.path
                                     : image.path + "@" + std::to_string(want.start) + "+" +
                                           std::to_string(want.length));
      if (want.type == "partition") {
        ++partitions;
        auto it = sfdisk.find(want.start);
        ASSERT_NE(it, sfdisk.end()) << "sfdisk has no partition at " << want.start;
        EXPECT_EQ(it->second, want.length);
      }
      const std::vector<std::string> names = ScanNames(row);
      if (d == 0 && want.start == 2048) {
        EXPECT_NE(std::find(names.begin(), names.end(), images_->deletedName), names.end());
      }
    }
    EXPECT_EQ(partitions, sfdisk.size());
  }
  EXPECT_EQ(next, rows.size());

  const CliRun table = Rexmoor("devices " + ShellQuote(images_->mbr.path));
  ASSERT_EQ(table.status, 0);
  EXPECT_NE(table.out.find("MBR partition table"), std::string::npos) << table.out;
  EXPECT_NE(table.out.find(images_->mbr.path + "@24576+16384"), std::string::npos) << table.out;
  EXPECT_NE(table.out.find("LOGICAL"), std::string::npos) << table.out;
}

TEST_F(DevicesCli, ImagesStandingInForDrivesAreAddressedByDriveNumber) {
  ASSERT_TRUE(built_);
  const std::string env = "REXMOOR_DRIVES=" + ShellQuote(images_->mbr.path + ":" + images_->gpt.path);
  const CliRun r = Rexmoor("devices --format json", env);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<OrderedJson> rows = JsonLines(r.out);
  ASSERT_EQ(rows.size(), images_->mbr.rows.size() + images_->gpt.rows.size());
  EXPECT_EQ(rows[0]["source"], "drive:0@2048+20480");
  EXPECT_EQ(rows[4]["source"], "drive:1@63+20417");
  EXPECT_EQ(rows[5]["number"], 6);
  const std::vector<std::string> names = ScanNames(rows[0], env);
  EXPECT_NE(std::find(names.begin(), names.end(), images_->deletedName), names.end());
  ScanNames(rows[4], env);
  const CliRun outside = Rexmoor("scan drive:0@131000+100 --quick", env);
  EXPECT_EQ(outside.status, 1);
  EXPECT_NE(outside.err.find("lies outside the drive"), std::string::npos) << outside.err;
}

TEST_F(DevicesCli, ALoopDeviceIsListedWithItsPartitions) {
  const test::LoopDeviceLock loops;
  ASSERT_TRUE(built_);
  if (::geteuid() != 0) GTEST_SKIP() << "losetup needs root";
  std::string loop;
  if (test::RunCommand("losetup -f --show -P " + ShellQuote(images_->mbr.path) + " 2>/dev/null", &loop) != 0 ||
      loop.empty())
    GTEST_SKIP() << "no loop device can be had here";
  while (!loop.empty() && loop.back() == '\n') loop.pop_back();
  struct Detach {
    std::string device;
    ~Detach() { test::RunCommand("losetup -d " + ShellQuote(device)); }
  } detach{loop};
  const CliRun r = Rexmoor("devices --format json", "env -u REXMOOR_DRIVES");
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<OrderedJson> rows;
  for (const OrderedJson& row : JsonLines(r.out))
    if (row["drive_path"] == loop) rows.push_back(row);
  ASSERT_EQ(rows.size(), images_->mbr.rows.size()) << r.out;
  const bool kernelPartitions = std::filesystem::exists(loop + "p1");
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const test::ExpectedRow& want = images_->mbr.rows[i];
    EXPECT_EQ(rows[i]["start"], want.start);
    EXPECT_EQ(rows[i]["length"], want.length);
    EXPECT_EQ(rows[i]["label"], want.label.empty() ? OrderedJson(nullptr) : OrderedJson(want.label));
    EXPECT_EQ(rows[i]["removable"], false);
    if (kernelPartitions && want.partition > 0) {
      EXPECT_EQ(rows[i]["device"], loop + "p" + std::to_string(want.partition));
    }
  }
  const std::vector<std::string> names = ScanNames(rows[0], "env -u REXMOOR_DRIVES");
  EXPECT_NE(std::find(names.begin(), names.end(), images_->deletedName), names.end());
  if (!kernelPartitions) {
    std::printf("[ NOTE     ] this kernel made no partition devices for %s; their paths were not checked\n",
                loop.c_str());
    return;
  }
  const CliRun byDevice = Rexmoor("scan " + loop + "p1 --quick --format json", "env -u REXMOOR_DRIVES");
  EXPECT_EQ(byDevice.status, 0) << byDevice.err;
}

TEST_F(DevicesCli, ADriveTheUserMayNotReadIsListedAndScanningItSaysWhy) {
  ASSERT_TRUE(built_);
  if (::geteuid() != 0) GTEST_SKIP() << "switching to another user needs root";
  if (test::RunCommand("command -v setpriv >/dev/null") != 0) GTEST_SKIP() << "setpriv is not installed";
  // A private copy in a folder others may enter, read as the unprivileged user nobody.
  const std::string shared = dir_->path() + "/shared";
  const std::string card = shared + "/private.img";
  ASSERT_EQ(test::RunCommand("mkdir -p " + ShellQuote(shared) + " && chmod 755 " + ShellQuote(dir_->path()) + " " +
                             ShellQuote(shared) + " && cp " + ShellQuote(images_->mbr.path) + " " + ShellQuote(card) +
                             " && chmod 600 " + ShellQuote(card)),
            0);
  const std::string asNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups";
  const CliRun listed = Rexmoor("devices --format json " + ShellQuote(card), asNobody);
  if (listed.status != 0 && listed.err.find("ermission") != std::string::npos)
    GTEST_SKIP() << "the test program's folder is not open to other users: " << listed.err;
  ASSERT_EQ(listed.status, 0) << listed.err;
  const std::vector<OrderedJson> rows = JsonLines(listed.out);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["needs_root"], true);
  EXPECT_EQ(rows[0]["readable"], false);
  EXPECT_EQ(rows[0]["length"], 131072u);
  const CliRun table = Rexmoor("devices " + ShellQuote(card), asNobody);
  EXPECT_NE(table.out.find("needs root to read"), std::string::npos) << table.out;

  const CliRun scan = Rexmoor("scan " + ShellQuote(card) + " --quick --data-dir /tmp", asNobody);
  EXPECT_EQ(scan.status, 1);
  EXPECT_NE(scan.err.find("cannot read " + card + ": permission denied (run rexmoor as root"), std::string::npos)
      << scan.err;
  EXPECT_EQ(std::count(scan.err.begin(), scan.err.end(), '\n'), 1) << scan.err;
}

}  // namespace
}  // namespace rexmoor
