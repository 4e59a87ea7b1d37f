// Disk images kept in containers (EWF, VHD, VHDX, VMDK, QCOW2, split raw) read as the disks they
// hold: the same partitions, the same files found by the quick and the deep scan, the same bytes
// recovered and copied as from the raw image they were made of. A damaged container gives a clear
// error or read faults, never bytes that were not read.
#include <gtest/gtest.h>
#include <utime.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "cli/cli_json.h"
#include "device/sector_source.h"
#include "engine/scan_log_index.h"
#include "fat/fat_volume_builder.h"  // Sha256Hex
#include "fixtures/fixture_paths.h"
#include "scan/deep_scan_test_util.h"
#include "test_support.h"

namespace rexmoor {
namespace {

namespace fs = std::filesystem;
using test::FixturePath;
using test::JsonLines;
using test::ShellQuote;

std::string Containers(const std::string& name) { return FixturePath("containers") + "/" + name; }

struct CliRun {
  int status = 0;
  std::string out;
  std::string err;
};

CliRun Rexmoor(const test::TempDir& work, const std::string& args) {
  CliRun r;
  r.status = test::RunCommand("REXMOOR_DATA_DIR=" + ShellQuote(work / "data") + " " REXMOOR_CLI_PATH " " + args +
                                  " 2>" + ShellQuote(work / "stderr.txt"),
                              &r.out);
  const auto bytes = test::ReadFileBytes(work / "stderr.txt");
  r.err.assign(bytes.begin(), bytes.end());
  return r;
}

// What a user sees of one medium, with the medium's own name taken out.
struct Observed {
  std::vector<std::string> devices;   // rows of `devices --format json`
  std::set<std::string> quick, deep;  // records of `scan --format json`
  std::multiset<std::string> recovered;  // sha256 of every file `recover` wrote
  std::string copied;                 // sha256 of what `image` copied
};

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

std::set<std::string> Records(const std::string& json, const std::string& medium) {
  std::set<std::string> out;
  for (auto& r : JsonLines(json)) out.insert(Replaced(r.dump(), medium, "MEDIUM"));
  return out;
}

Observed Observe(const std::string& medium) {
  SCOPED_TRACE(medium);
  test::TempDir work;
  Observed seen;
  CliRun r = Rexmoor(work, "devices --format json " + ShellQuote(medium));
  EXPECT_EQ(r.status, 0) << r.err;
  for (auto& row : JsonLines(r.out)) seen.devices.push_back(Replaced(row.dump(), medium, "MEDIUM"));
  r = Rexmoor(work, "scan " + ShellQuote(medium) + " --quick --format json");
  EXPECT_EQ(r.status, 0) << r.err;
  seen.quick = Records(r.out, medium);
  r = Rexmoor(work, "scan " + ShellQuote(medium) + " --deep --resume no --format json");
  EXPECT_EQ(r.status, 0) << r.err;
  seen.deep = Records(r.out, medium);
  const std::string target = work / "out";
  r = Rexmoor(work, "recover " + ShellQuote(medium) + " --deep --resume yes --to " + ShellQuote(target) +
                        " --format json --no-report");  // the report holds times of its own
  EXPECT_EQ(r.status, 0) << r.err;
  if (fs::is_directory(target))
    for (const auto& entry : fs::recursive_directory_iterator(target))
      if (entry.is_regular_file()) seen.recovered.insert(test::Sha256Hex(entry.path().string()));
  r = Rexmoor(work, "image " + ShellQuote(medium) + " " + ShellQuote(work / "copy.img"));
  EXPECT_EQ(r.status, 0) << r.err;
  seen.copied = test::Sha256Hex(work / "copy.img");
  return seen;
}

// Every container of a FAT32 volume, an NTFS volume and an MBR disk holding both gives what the
// raw image gives; the recovered files include deleted ones written into the volume.
TEST(ContainerImages, ReadAsTheRawDiskTheyHold) {
  const struct {
    std::string raw;    // the image the containers were made of
    std::string truth;  // "<sha256>  <volume>:<path>" of the files written into it
    std::string volume;
    std::vector<std::string> kept;
  } cases[] = {
      {FixturePath("fat32.img"), FixturePath("sha256.txt"), "fat32.img:",
       {"fat32.E01", "fat32.vhd", "fat32_fixed.vhd", "fat32.qcow2", "fat32.img.001"}},
      {Containers("ntfs_deleted.img"), REXMOOR_TEST_SOURCE_DIR "/fixtures/ntfs/sha256.txt", "ntfs_deleted.img:",
       {"ntfs_deleted.E01", "ntfs_deleted.vhdx", "ntfs_deleted.vmdk", "ntfs_deleted.raw.aa"}},
      {FixturePath("mbr.img"), FixturePath("sha256.txt"), "mbr.img#p",
       {"mbr.E01", "mbr.qcow2", "mbr.vhdx", "mbr.vmdk"}},
      // Logical partitions found along the extended partition's chain; no files written.
      {Containers("logical.img"), "", "", {"logical.qcow2", "logical.vmdk"}},
  };
  for (const auto& [raw, truth, volume, kept] : cases) {
    SCOPED_TRACE(raw);
    ASSERT_TRUE(fs::is_regular_file(raw)) << raw << " is missing";
    const Observed want = Observe(raw);
    ASSERT_FALSE(want.devices.empty());
    EXPECT_EQ(want.copied, test::Sha256Hex(raw));
    if (!truth.empty()) {
      ASSERT_FALSE(want.deep.empty());
      std::size_t known = 0;
      std::ifstream sums(truth);
      for (std::string line; std::getline(sums, line);)
        if (line.size() > 66 && line.compare(66, volume.size(), volume) == 0 && want.recovered.count(line.substr(0, 64)) > 0)
          ++known;
      EXPECT_GE(known, 1u) << "none of the files written into " << raw << " came back";
    }
    for (const std::string& name : kept) {
      SCOPED_TRACE(name);
      const std::string path = Containers(name);
      ASSERT_TRUE(fs::is_regular_file(path)) << path << " is missing (tests/fixtures/make_containers.sh)";
      const Observed got = Observe(path);
      EXPECT_EQ(got.devices, want.devices);
      EXPECT_EQ(got.quick, want.quick);
      EXPECT_EQ(got.deep, want.deep);
      EXPECT_EQ(got.recovered, want.recovered);
      EXPECT_EQ(got.copied, want.copied) << "image copies the disk the container holds";
    }
  }
}

// A corrupt chunk of an EWF image is a read fault wherever it is read, and every sector that
// reads is the raw image's; verify says the media no longer match. A cut-off image, and a
// differencing image whose backing file is gone, are refused with their reason.
TEST(ContainerImages, DamageIsAFaultOrAClearErrorNeverMadeUpData) {
  REQUIRE_FIXTURE("fat32.img");
  SectorSource raw, corrupt;
  ASSERT_EQ(OpenImageSource(FixturePath("fat32.img"), raw), kSuccess);
  ASSERT_EQ(OpenImageSource(Containers("corrupt.E01"), corrupt), kSuccess);
  ASSERT_TRUE(corrupt.reader);
  ASSERT_EQ(corrupt.totalSectors, raw.totalSectors);
  constexpr std::int32_t kStep = 64;
  std::vector<std::uint8_t> want(kStep * 512), got(kStep * 512);
  std::uint64_t faults = 0;
  for (std::uint64_t at = 0; at + kStep <= raw.totalSectors; at += kStep) {
    std::uint32_t n = 0;
    ASSERT_EQ(ReadSectors(kStep, raw, want.data(), at, 512, &n), kSuccess);
    const Result r = ReadSectors(kStep, corrupt, got.data(), at, 512, &n);
    if (r != kSuccess) {
      EXPECT_EQ(r, kErrReadFault);
      ++faults;
      continue;
    }
    ASSERT_EQ(got, want) << "sectors at " << at << " were reported read but differ";
  }
  EXPECT_GE(faults, 1u) << "the changed chunk was read as if it were sound";
  CloseSource(raw);
  CloseSource(corrupt);

  test::TempDir work;
  CliRun r = Rexmoor(work, "scan " + ShellQuote(Containers("corrupt.E01")) + " --deep --format json");
  EXPECT_EQ(r.status, 0) << "a scan goes past unreadable stretches: " << r.err;
  r = Rexmoor(work, "verify " + ShellQuote(Containers("corrupt.E01")));
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("FAILED"), std::string::npos) << r.out;
  r = Rexmoor(work, "verify " + ShellQuote(Containers("mbr.E01")));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("OK"), std::string::npos) << r.out;

  r = Rexmoor(work, "scan " + ShellQuote(Containers("truncated.E01")));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("truncated.E01"), std::string::npos) << r.err;
  r = Rexmoor(work, "scan " + ShellQuote(Containers("child.qcow2")));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("gone.qcow2"), std::string::npos) << "the missing backing file is named: " << r.err;
}

// A deep scan of an EWF image stopped half-way is found again by the next scan of it, which
// continues and ends with what an uninterrupted scan of the raw image finds; a change to any of
// the image's segments makes the earlier scan stale.
TEST(ContainerImages, AnInterruptedDeepScanOfAnEwfImageResumes) {
  REQUIRE_FIXTURE("mbr.img");
  const auto fileSet = [](const RecordList& records) {
    std::set<std::tuple<int, std::string, std::uint64_t>> out;
    for (const FoundFileRecord& r : records)
      out.emplace(static_cast<int>(r.engineTag), std::string(RecordName(r)), std::uint64_t{r.size});
    return out;
  };
  test::ScopedDataDir data;
  std::set<std::tuple<int, std::string, std::uint64_t>> whole;
  {
    test::ScopedDataDir other;
    ScanLogIndex::ResetForTesting();
    auto engine = deeptest::DeepScanImage(FixturePath("mbr.img"));
    ASSERT_NE(engine, nullptr);
    whole = fileSet(deeptest::FilterAll(*engine));
  }
  ScanLogIndex::ResetForTesting();
  ASSERT_FALSE(whole.empty());

  // A copy whose segments can be touched.
  test::TempDir copy;
  for (const auto& entry : fs::directory_iterator(FixturePath("containers")))
    if (entry.path().filename().string().rfind("mbr.E", 0) == 0)
      fs::copy_file(entry.path(), copy / entry.path().filename().string());
  const std::string image = copy / "mbr.E01";
  {
    deeptest::ProgressLog log;
    log.cancelAt = 0.5;
    Result result = 0;
    auto first = deeptest::DeepScanImage(image, &log, &result);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(result, kCancelled);
    EXPECT_LT(first->LastScan().position.sectorsDone, first->LastScan().sectorsTotal);
  }
  {
    EnginePtr engine = CreateEngineForImage(image, 'D', true);
    auto* second = dynamic_cast<CProfessionalRecovery*>(engine.get());
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(second->FoundPreviousScan());
    EXPECT_EQ(second->Scan(nullptr), kSuccess);
    EXPECT_TRUE(second->LastScan().resumed);
    EXPECT_EQ(fileSet(deeptest::FilterAll(*second)), whole);
  }
  struct utimbuf later {};
  later.actime = later.modtime = 1700000000;
  ASSERT_EQ(::utime((copy / "mbr.E05").c_str(), &later), 0);
  EnginePtr engine = CreateEngineForImage(image, 'D', true);
  auto* third = dynamic_cast<CProfessionalRecovery*>(engine.get());
  ASSERT_NE(third, nullptr);
  EXPECT_FALSE(third->FoundPreviousScan()) << "a changed segment leaves the earlier scan stale";
}

}  // namespace
}  // namespace rexmoor
