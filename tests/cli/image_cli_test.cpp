// rexmoor image run as a user runs it: on a partitioned disk image standing in for a drive, with
// sectors made unreadable by a preloaded reader, interrupted by Ctrl-C and continued.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>

#include "fat/fat_volume_builder.h"
#include "test_support.h"

namespace rexmoor {
namespace {

namespace fs = std::filesystem;
using test::ShellQuote;

constexpr std::uint64_t kDiskSectors = 32768;  // 16 MiB
constexpr std::uint64_t kPartStart = 2048;
constexpr std::uint64_t kPartSectors = 16384;

struct Outcome {
  int status = 0;
  std::string out;
  std::string err;
};

class ImageCli : public ::testing::Test {
 protected:
  void SetUp() override {
    disk = work / "disk.img";
    test::WriteFileBytes(disk, test::RandomBytes(kDiskSectors * 512, 21));
    ASSERT_EQ(test::RunCommand("printf 'label: dos\\nstart=2048, size=16384, type=c\\nstart=18432, type=83\\n' | sfdisk -q " +
                               ShellQuote(disk) + " >/dev/null 2>&1"),
              0);
    // A FAT volume with files in the first partition.
    test::FatVolumeBuilder volume(work, "part.img");
    ASSERT_TRUE(volume.Format(8192, 12)) << volume.lastError();
    ASSERT_TRUE(volume.Put("/PHOTO.JPG", test::RandomBytes(300000, 4), "2020-01-02 03:04:06"));
    ASSERT_TRUE(volume.Put("/NOTES.TXT", test::RandomBytes(5000, 5), "2020-01-02 03:04:06"));
    ASSERT_EQ(test::RunCommand("dd if=" + ShellQuote(volume.image()) + " of=" + ShellQuote(disk) +
                               " bs=512 seek=2048 conv=notrunc status=none"),
              0);
  }

  // Runs rexmoor with REXMOOR_DRIVES naming the disk; env adds variables (and the fault reader).
  Outcome Run(const std::string& args, const std::string& env = "") {
    Outcome r;
    const std::string errFile = work / "stderr.txt";
    r.status = test::RunCommand("env REXMOOR_DRIVES=" + ShellQuote(disk) + " " + env + " " REXMOOR_CLI_PATH " " +
                                    args + " 2>" + ShellQuote(errFile),
                                &r.out);
    const auto bytes = test::ReadFileBytes(errFile);
    r.err.assign(bytes.begin(), bytes.end());
    return r;
  }
  static std::string Faults(const std::string& file, const std::string& ranges, const std::string& delayUs = "0") {
    return "LD_PRELOAD=" REXMOOR_FAULT_LIB " ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1:abort_on_error=1 "
           "REXMOOR_FAULT_FILE=" +
           ShellQuote(file) + " REXMOOR_FAULT_RANGES=" + ranges + " REXMOOR_FAULT_DELAY_US=" + delayUs;
  }
  std::string DdSha(std::uint64_t skip, std::uint64_t count) {
    std::string out;
    test::RunCommand("dd if=" + ShellQuote(disk) + " bs=512 skip=" + std::to_string(skip) +
                         " count=" + std::to_string(count) + " status=none | sha256sum",
                     &out);
    return out.substr(0, 64);
  }
  // The '-' ranges of a mapfile as (position, size) in bytes.
  static std::map<std::uint64_t, std::uint64_t> BadRanges(const std::string& mapPath) {
    std::map<std::uint64_t, std::uint64_t> out;
    const auto bytes = test::ReadFileBytes(mapPath);
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    std::string line;
    while (std::getline(in, line)) {
      unsigned long long pos = 0, size = 0;
      char status = 0;
      if (std::sscanf(line.c_str(), "0x%llx 0x%llx %c", &pos, &size, &status) == 3 && status == '-') out[pos] = size;
    }
    return out;
  }
  static std::string Hex(std::uint64_t n) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(n));
    return text;
  }
  static std::size_t Lines(const std::string& text) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')); }

  test::TempDir work;
  std::string disk;
};

TEST_F(ImageCli, DrivesPartitionsAndAreasCopyAsDdReadsThem) {
  const std::string out = work / "out.img";
  Outcome whole = Run("image drive:0 " + ShellQuote(out));
  ASSERT_EQ(whole.status, 0) << whole.err;
  EXPECT_EQ(test::Sha256Hex(out), test::Sha256Hex(disk));
  EXPECT_NE(whole.out.find("copied 32768 sectors (16777216 bytes) of " + disk + " (drive:0) into " + out), std::string::npos)
      << whole.out;
  EXPECT_NE(whole.err.find("Sectors: 32768 / 32768"), std::string::npos) << whole.err;
  EXPECT_FALSE(fs::exists(out + ".map"));

  // The FAT partition, over the longer image already there.
  Outcome kept = Run("image drive:0@2048+16384 " + ShellQuote(out));
  EXPECT_EQ(kept.status, 1);
  EXPECT_NE(kept.err.find("exists (--force overwrites it"), std::string::npos) << kept.err;
  EXPECT_EQ(test::Sha256Hex(out), test::Sha256Hex(disk)) << "untouched without --force";
  Outcome part = Run("image drive:0@" + std::to_string(kPartStart) + "+" + std::to_string(kPartSectors) + " " +
                     ShellQuote(out) + " --force");
  ASSERT_EQ(part.status, 0) << part.err;
  EXPECT_EQ(fs::file_size(out), kPartSectors * 512);
  EXPECT_EQ(test::Sha256Hex(out), DdSha(kPartStart, kPartSectors));
  std::string files;
  test::RunCommand("mdir -b -i " + ShellQuote(out) + " ::", &files);
  EXPECT_NE(files.find("PHOTO.JPG"), std::string::npos) << "the copy is a FAT volume: " << files;

  // An odd area, and the disk image named directly.
  const std::string area = work / "area.img";
  ASSERT_EQ(Run("image drive:0@777+1001 " + ShellQuote(area)).status, 0);
  EXPECT_EQ(test::Sha256Hex(area), DdSha(777, 1001));
  const std::string direct = work / "direct.img";
  ASSERT_EQ(Run("image " + ShellQuote(disk) + " " + ShellQuote(direct)).status, 0);
  EXPECT_EQ(test::Sha256Hex(direct), test::Sha256Hex(disk));
  const std::string inImage = work / "in-image.img";
  ASSERT_EQ(Run("image " + ShellQuote(disk + "@2048+16384") + " " + ShellQuote(inImage)).status, 0);
  EXPECT_EQ(test::Sha256Hex(inImage), DdSha(kPartStart, kPartSectors));

  Outcome past = Run("image drive:0@32000+1000 " + ShellQuote(work / "past.img"));
  EXPECT_EQ(past.status, 1);
  EXPECT_FALSE(fs::exists(work / "past.img"));
}

TEST_F(ImageCli, AReadFaultNamesItsSectorAndKeepsThePartialImage) {
  const std::string out = work / "out.img";
  Outcome r = Run("image drive:0@2048+16384 " + ShellQuote(out), Faults(disk, "5000-5003"));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.out.empty()) << r.out;
  ASSERT_EQ(Lines(r.err.substr(r.err.rfind("rexmoor:"))), 1u) << r.err;
  EXPECT_NE(r.err.find("rexmoor: read fault at sector 5000 of " + disk), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("the partial image stays in " + out), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("--skip-bad"), std::string::npos) << r.err;
  EXPECT_EQ(fs::file_size(out), (5000 - kPartStart) * 512);
  EXPECT_EQ(test::Sha256Hex(out), DdSha(kPartStart, 5000 - kPartStart));
}

TEST_F(ImageCli, SkipBadCopiesEveryReadableSectorAndMapsTheRest) {
  const std::string out = work / "out.img";
  Outcome r = Run("image drive:0 " + ShellQuote(out) + " --skip-bad", Faults(disk, "0,5000-5003,9000-9100,32767"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("107 sectors could not be read and are zeros in the image: sectors 0, 5000-5003, 9000-9100, "
                       "32767 (listed in " + out + ".map)"),
            std::string::npos)
      << r.out;
  std::vector<std::uint8_t> expected = test::ReadFileBytes(disk);
  for (auto [first, last] : {std::pair{0, 0}, {5000, 5003}, {9000, 9100}, {32767, 32767}})
    std::fill(expected.begin() + first * 512, expected.begin() + (last + 1) * 512, 0);
  EXPECT_TRUE(test::ReadFileBytes(out) == expected);
  EXPECT_EQ(BadRanges(out + ".map"), (std::map<std::uint64_t, std::uint64_t>{
                                         {0, 512}, {5000 * 512, 4 * 512}, {9000 * 512, 101 * 512}, {32767 * 512, 512}}));

  // Positions in the mapfile count from the first copied sector.
  Outcome part = Run("image drive:0@4096+8192 " + ShellQuote(work / "area.img") + " --skip-bad", Faults(disk, "5000-5003"));
  ASSERT_EQ(part.status, 0) << part.err;
  EXPECT_NE(part.out.find("sectors 5000-5003"), std::string::npos) << part.out;
  EXPECT_EQ(BadRanges(work / "area.img.map"), (std::map<std::uint64_t, std::uint64_t>{{(5000 - 4096) * 512, 2048}}));
}

// Ctrl-C on a slow card with bad sectors, then --resume: the image and mapfile of one run.
TEST_F(ImageCli, CtrlCLeavesAPartialImageThatResumeCompletes) {
  const std::string faults = "100-103,20000-20001";
  const std::string whole = work / "whole.img";
  ASSERT_EQ(Run("image drive:0 " + ShellQuote(whole) + " --skip-bad", Faults(disk, faults)).status, 0);

  const std::string out = work / "out.img";
  // A file of its own: Run's stderr.txt still holds the first copy's progress lines, which the
  // loop below would take for this copy's and interrupt it before it started.
  const std::string errFile = work / "interrupted-stderr.txt";
  // Each 1 MiB read takes 150 ms: the copy cannot end before the interrupt comes at its first
  // progress line with figures.
  const std::string script = "env REXMOOR_DRIVES=" + ShellQuote(disk) + " " + Faults(disk, faults, "150000") +
                             " " REXMOOR_CLI_PATH " image drive:0 " + ShellQuote(out) + " --skip-bad 2>" +
                             ShellQuote(errFile) + " & pid=$!; while kill -0 $pid 2>/dev/null && ! grep -q 'Sectors:' " +
                             ShellQuote(errFile) + "; do sleep 0.02; done; kill -INT $pid 2>/dev/null; wait $pid; echo $?";
  std::string status;
  test::RunCommand("bash -c " + ShellQuote(script), &status);
  const auto errBytes = test::ReadFileBytes(errFile);
  const std::string err(errBytes.begin(), errBytes.end());
  ASSERT_EQ(status, "130\n") << err;
  EXPECT_NE(err.find("rexmoor: cancelled; the partial image stays in " + out), std::string::npos) << err;
  EXPECT_NE(err.find("--resume continues it"), std::string::npos) << err;
  ASSERT_TRUE(fs::exists(out + ".map"));
  EXPECT_LT(fs::file_size(out), kDiskSectors * 512) << "stopped before the end";

  Outcome resumed = Run("image drive:0 " + ShellQuote(out) + " --skip-bad --resume", Faults(disk, faults));
  ASSERT_EQ(resumed.status, 0) << resumed.err;
  EXPECT_EQ(test::Sha256Hex(out), test::Sha256Hex(whole));
  EXPECT_EQ(test::ReadFileBytes(out + ".map"), test::ReadFileBytes(whole + ".map"));
  EXPECT_NE(resumed.out.find("6 sectors could not be read"), std::string::npos) << resumed.out;
}

// Links and pipes planted at the names the copy writes or reads beside OUTPUT: each is refused
// with its name, nothing is written through it, and no pipe makes the copy wait for ever.
TEST_F(ImageCli, LinksAndPipesAtTheOutputNamesAreRefused) {
  const std::string out = work / "out.img";
  const std::string victim = work / "victim.txt";
  const std::vector<std::uint8_t> victimBytes{'k', 'e', 'e', 'p', '\n'};
  struct Case {
    std::string planted;  // the name something is planted at
    bool fifo;            // a pipe there, else a link to the victim
    std::string args;
  };
  const std::vector<Case> cases = {
      {out, false, " --force --skip-bad"},           {out, true, " --force --skip-bad"},
      {out + ".map", true, " --skip-bad --resume"}, {out + ".map", false, " --skip-bad"},
      {out + ".map.tmp", false, " --skip-bad"},     {out + ".map.tmp", true, " --skip-bad"}};
  for (const Case& c : cases) {
    const std::string label = c.planted + (c.fifo ? " (pipe)" : " (link)") + c.args;
    fs::remove_all(work / "planted");
    for (const std::string& name : {out, out + ".map", out + ".map.tmp"}) fs::remove(name);
    test::WriteFileBytes(victim, victimBytes);
    // A resumed copy needs an image to continue.
    if (c.args.find("--resume") != std::string::npos) test::WriteFileBytes(out, test::RandomBytes(4096, 3));
    if (c.fifo) {
      ASSERT_EQ(::mkfifo(c.planted.c_str(), 0644), 0) << label;
    } else {
      fs::create_symlink(victim, c.planted);
    }
    // A bad sector makes the copy keep its mapfile; the timeout ends a copy that hangs on a pipe.
    Outcome r = Run("image drive:0 " + ShellQuote(out) + c.args, Faults(disk, "5000") + " timeout -s KILL 60");
    EXPECT_EQ(r.status, 1) << label << ": " << r.err;
    EXPECT_NE(r.err.find(c.planted + " is in the way"), std::string::npos) << label << ": " << r.err;
    EXPECT_TRUE(test::ReadFileBytes(victim) == victimBytes) << label;
    struct stat st {};
    ASSERT_EQ(::lstat(c.planted.c_str(), &st), 0) << label;
    EXPECT_TRUE(c.fifo ? S_ISFIFO(st.st_mode) : S_ISLNK(st.st_mode)) << label << ": left as it was";
  }
}

// A source that goes away is not a run of bad sectors: the copy stops, says where, keeps what it
// had and leaves the rest to try, so that --resume completes it once the source is back.
TEST_F(ImageCli, ASourceThatGoesAwayStopsTheCopyAndResumeCompletesIt) {
  struct Case {
    std::string name;
    std::string faults;  // fault reader variables after the file
  };
  const std::vector<Case> cases = {
      // Every read fails from the moment one reaches sector 20000, sectors read before too.
      {"gone", "REXMOOR_FAULT_GONE_AT=20000"},
      // A removed medium's own error, at the first read of sector 9000.
      {"removed", "REXMOOR_FAULT_ERRNO=" + std::to_string(ENODEV)},
      {"no medium", "REXMOOR_FAULT_ERRNO=" + std::to_string(ENOMEDIUM)},
  };
  for (const Case& c : cases) {
    const std::string out = work / "out.img";
    for (const std::string& name : {out, out + ".map"}) fs::remove(name);
    Outcome r = Run("image drive:0 " + ShellQuote(out) + " --skip-bad",
                    Faults(disk, c.name == "gone" ? "" : "9000") + " " + c.faults);
    EXPECT_EQ(r.status, 1) << c.name << ": " << r.err;
    EXPECT_TRUE(r.out.empty()) << c.name << ": " << r.out;
    const std::size_t at = r.err.find("rexmoor: the source went away at byte ");
    ASSERT_NE(at, std::string::npos) << c.name << ": " << r.err;
    const std::uint64_t goneAt = std::stoull(r.err.substr(at + 38));
    EXPECT_EQ(goneAt % 512, 0u) << c.name;
    if (c.name == "gone") {
      EXPECT_LE(goneAt, 20000u * 512) << c.name;
      EXPECT_GT(goneAt, 20000u * 512 - (1u << 20)) << c.name << ": it went away in the block that reached it";
    } else {
      EXPECT_EQ(goneAt, 9000u * 512) << c.name;
    }
    EXPECT_NE(r.err.find("once it is back, rexmoor image drive:0 " + out + " --skip-bad --resume continues it"),
              std::string::npos)
        << c.name << ": " << r.err;
    // Everything before it was copied as it is; nothing was marked bad, the rest is still to try.
    const auto image = test::ReadFileBytes(out);
    const auto source = test::ReadFileBytes(disk);
    ASSERT_GE(image.size(), goneAt) << c.name;
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(goneAt), source.begin()))
        << c.name;
    EXPECT_TRUE(BadRanges(out + ".map").empty()) << c.name;
    const auto mapBytes = test::ReadFileBytes(out + ".map");
    const std::string map(mapBytes.begin(), mapBytes.end());
    EXPECT_NE(map.find(Hex(goneAt) + "  " + Hex(kDiskSectors * 512 - goneAt) + "  ?"), std::string::npos)
        << c.name << ": " << map;

    Outcome resumed = Run("image drive:0 " + ShellQuote(out) + " --skip-bad --resume");
    ASSERT_EQ(resumed.status, 0) << c.name << ": " << resumed.err;
    EXPECT_EQ(test::Sha256Hex(out), test::Sha256Hex(disk)) << c.name;
    EXPECT_FALSE(fs::exists(out + ".map")) << c.name;
  }
}

// Sectors that fail a given number of reads, then read: each retry pass reads them once more.
TEST_F(ImageCli, RetriesReadBackSectorsThatFailedBefore) {
  const std::string faults = "5000-5003,9000-9100";
  struct Case {
    int failures;  // single-sector reads each bad sector fails before it reads
    int retries;
    std::uint64_t badSectors;
  };
  const std::string out = work / "out.img";
  for (const Case c : {Case{1, 1, 0}, Case{2, 2, 0}, Case{2, 5, 0}, Case{1, 0, 105}, Case{2, 1, 105}}) {
    const std::string label = std::to_string(c.failures) + " failures, --retries " + std::to_string(c.retries);
    Outcome r = Run("image drive:0 " + ShellQuote(out) + " --force --skip-bad --retries " + std::to_string(c.retries),
                    Faults(disk, faults) + " REXMOOR_FAULT_TIMES=" + std::to_string(c.failures));
    ASSERT_EQ(r.status, 0) << label << ": " << r.err;
    if (c.badSectors == 0) {
      EXPECT_EQ(test::Sha256Hex(out), test::Sha256Hex(disk)) << label;
      EXPECT_FALSE(fs::exists(out + ".map")) << label;
      EXPECT_EQ(r.out.find("could not be read"), std::string::npos) << label << ": " << r.out;
    } else {
      EXPECT_NE(r.out.find("105 sectors could not be read and are zeros in the image: sectors 5000-5003, 9000-9100"),
                std::string::npos)
          << label << ": " << r.out;
      EXPECT_EQ(BadRanges(out + ".map"),
                (std::map<std::uint64_t, std::uint64_t>{{5000 * 512, 4 * 512}, {9000 * 512, 101 * 512}}))
          << label;
    }
  }
  // The areas the last copy left bad are tried again by a resumed one.
  Outcome resumed = Run("image drive:0 " + ShellQuote(out) + " --skip-bad --resume --retries 1");
  ASSERT_EQ(resumed.status, 0) << resumed.err;
  EXPECT_EQ(test::Sha256Hex(out), test::Sha256Hex(disk));
  EXPECT_FALSE(fs::exists(out + ".map"));
  EXPECT_EQ(Run("image drive:0 " + ShellQuote(out) + " --force --retries").status, 2);
}

TEST_F(ImageCli, ResumeNeedsASoundMapfile) {
  const std::string out = work / "out.img";
  Outcome none = Run("image drive:0 " + ShellQuote(out) + " --resume");
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.err.find("there is no mapfile " + out + ".map to continue from"), std::string::npos) << none.err;
  EXPECT_FALSE(fs::exists(out));

  const auto partial = test::RandomBytes(1 << 20, 8);
  test::WriteFileBytes(out, partial);
  for (const std::string& map : {std::string("\x01\x02garbage\n"), std::string("0x0 ? 1\n0x0 0x800000 +\n0x400000 0x800000 ?\n"),
                                std::string("0x0 ? 1\n0x0 0x40000000 ?\n")}) {
    test::WriteFileBytes(out + ".map", std::vector<std::uint8_t>(map.begin(), map.end()));
    Outcome r = Run("image drive:0 " + ShellQuote(out) + " --resume");
    EXPECT_EQ(r.status, 1) << map;
    // One line says why, after the stage line of the copy that could not begin.
    EXPECT_EQ(r.err.find("rexmoor: " + out + ".map: mapfile line"), r.err.rfind("rexmoor:")) << r.err;
    EXPECT_EQ(Lines(r.err.substr(r.err.rfind("rexmoor:"))), 1u) << r.err;
    EXPECT_TRUE(test::ReadFileBytes(out) == partial);
  }
  EXPECT_EQ(Run("image drive:0 " + ShellQuote(out) + " --resume --force").status, 2);
  EXPECT_EQ(Run("image drive:0").status, 2);
  EXPECT_EQ(Run("image drive:0 a.img b.img").status, 2);
}

TEST_F(ImageCli, ATargetThatIsTheSourceIsRefusedBeforeAnythingIsWritten) {
  const test::LoopDeviceLock loops;
  const std::string before = test::Sha256Hex(disk);
  Outcome self = Run("image " + ShellQuote(disk) + " " + ShellQuote(disk) + " --force");
  EXPECT_EQ(self.status, 1);
  EXPECT_EQ(Lines(self.err), 1u) << self.err;
  EXPECT_NE(self.err.find("rexmoor: refusing to write the image to " + disk + ": The image file lies on the drive being imaged"),
            std::string::npos)
      << self.err;
  EXPECT_EQ(test::Sha256Hex(disk), before);

  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a loop device";
  std::string device;
  if (test::RunCommand("losetup -f --show " + ShellQuote(disk) + " 2>/dev/null", &device) != 0 || device.empty())
    GTEST_SKIP() << "no loop device can be had here";
  device.erase(device.find_last_not_of('\n') + 1);
  Outcome loop = Run("image " + device + " " + ShellQuote(disk) + " --force");
  Outcome fine = Run("image " + device + " " + ShellQuote(work / "copy.img"));
  test::RunCommand("losetup -d " + device);
  EXPECT_EQ(loop.status, 1);
  EXPECT_NE(loop.err.find("refusing"), std::string::npos) << loop.err;
  EXPECT_EQ(test::Sha256Hex(disk), before);
  EXPECT_EQ(fine.status, 0) << fine.err;
  EXPECT_EQ(test::Sha256Hex(work / "copy.img"), before);
}

// A target inside a mounted volume of the very loop device being copied, and one with too little room.
TEST_F(ImageCli, ATargetOnTheCopiedVolumeOrWithoutRoomIsRefused) {
  const test::LoopDeviceLock loops;
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a loop device and a mount";
  const std::string volume = work / "ext.img";
  ASSERT_EQ(test::RunCommand("truncate -s 16M " + ShellQuote(volume) + " && mkfs.ext4 -q -F " + ShellQuote(volume) +
                             " >/dev/null 2>&1"),
            0);
  std::string device;
  if (test::RunCommand("losetup -f --show " + ShellQuote(volume) + " 2>/dev/null", &device) != 0 || device.empty())
    GTEST_SKIP() << "no loop device can be had here";
  device.erase(device.find_last_not_of('\n') + 1);
  const std::string mount = work / "mnt";
  fs::create_directories(mount);
  if (test::RunCommand("mount " + device + " " + ShellQuote(mount) + " 2>/dev/null") != 0) {
    test::RunCommand("losetup -d " + device);
    GTEST_SKIP() << "cannot mount an ext4 volume here";
  }
  const std::string inside = mount + "/copy.img";
  Outcome viaDevice = Run("image " + device + " " + ShellQuote(inside));
  Outcome viaFile = Run("image " + ShellQuote(volume) + " " + ShellQuote(inside));
  Outcome noRoom = Run("image drive:0 " + ShellQuote(inside));  // 16 MiB onto a 16 MiB volume
  const bool writtenWhenRefused = fs::exists(inside);
  Outcome fits = Run("image drive:0@0+4096 " + ShellQuote(inside));
  const std::string copied = test::Sha256Hex(inside);
  test::RunCommand("umount " + ShellQuote(mount));
  test::RunCommand("losetup -d " + device);

  for (const Outcome* r : {&viaDevice, &viaFile}) {
    EXPECT_EQ(r->status, 1) << r->err;
    EXPECT_NE(r->err.find("refusing to write the image to " + inside + ": The image file lies on the drive being imaged"),
              std::string::npos)
        << r->err;
    EXPECT_EQ(Lines(r->err), 1u) << r->err;
  }
  EXPECT_EQ(noRoom.status, 1);
  EXPECT_NE(noRoom.err.find("There is not enough free space for the image"), std::string::npos) << noRoom.err;
  EXPECT_NE(noRoom.err.find("16777216 bytes to write"), std::string::npos) << noRoom.err;
  EXPECT_EQ(fits.status, 0) << fits.err;
  EXPECT_FALSE(writtenWhenRefused) << "nothing is written for a refused target";
  EXPECT_EQ(copied, DdSha(0, 4096));
}

}  // namespace
}  // namespace rexmoor
