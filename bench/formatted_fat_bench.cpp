// How fast the formatted FAT engine takes in the directory sectors a deep scan hands it, next to
// a plain sequential read of the same medium and to the sweep's classification alone.
//
//   formatted_fat_bench [FOLDERS] [SPREAD]     (defaults 2000 and 4)
//
// The medium is made on the spot: a sparse image with FOLDERS folders of one 4 KiB cluster each
// (a "."/".." pair and 126 file entries, the kind a camera card holds), one folder every SPREAD
// clusters, the clusters between them holding file data. The sweep reads it 64 KiB at a time
// from the page cache, classifies every sector and hands the FAT ones to the engine's intake,
// then runs the finishing pass. Each figure is the best of three runs.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "device/sector_source.h"
#include "engine/scan_log_index.h"
#include "fat/pro_fat_recovery.h"
#include "formats/fat_dir_entry.h"
#include "platform/file_handle.h"
#include "scan/sector_dispatch.h"

namespace {

using namespace rexmoor;

constexpr int kRuns = 3;
constexpr std::uint32_t kSectorsPerCluster = 8;
constexpr std::uint64_t kDataStart = 2048;
constexpr std::size_t kBuffer = 64 * 1024;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "formatted_fat_bench: %s\n", what.c_str());
  std::exit(1);
}

void Put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
  Put16(p, static_cast<std::uint16_t>(v));
  Put16(p + 2, static_cast<std::uint16_t>(v >> 16));
}

void Entry(std::uint8_t* e, const char* name11, std::uint8_t attr, std::uint32_t cluster, std::uint32_t size) {
  std::memcpy(e, name11, 11);
  e[kEntryAttr] = attr;
  const std::uint16_t date = static_cast<std::uint16_t>(((2021 - 1980) << 9) | (6 << 5) | 5);
  const std::uint16_t time = static_cast<std::uint16_t>((10 << 11) | (20 << 5) | 15);
  Put16(e + kEntryCreateTime, time);
  Put16(e + kEntryCreateDate, date);
  Put16(e + kEntryAccessDate, date);
  Put16(e + kEntryClusterHigh, static_cast<std::uint16_t>(cluster >> 16));
  Put16(e + kEntryWriteTime, time);
  Put16(e + kEntryWriteDate, date);
  Put16(e + kEntryClusterLow, static_cast<std::uint16_t>(cluster));
  Put32(e + kEntryFileSize, size);
}

std::string MakeMedium(const std::string& path, std::uint32_t folders, std::uint32_t spread) {
  const std::uint64_t clusters = std::uint64_t{folders} * spread + 8;
  const std::uint64_t bytes = (kDataStart + clusters * kSectorsPerCluster) * 512;
  FileHandle file;
  if (FileHandle::CreateNew(path, file) != kSuccess) Fail("cannot create " + path);
  if (::ftruncate(file.fd(), static_cast<off_t>(bytes)) != 0) Fail("cannot size the medium");
  std::vector<std::uint8_t> cluster(kSectorsPerCluster * 512);
  for (std::uint32_t f = 0; f < folders; ++f) {
    const std::uint32_t c = 2 + f * spread;
    std::fill(cluster.begin(), cluster.end(), 0);
    Entry(cluster.data(), ".          ", kAttrFolder, c, 0);
    Entry(cluster.data() + 32, "..         ", kAttrFolder, 0, 0);
    for (std::size_t i = 2; i < cluster.size() / 32; ++i) {
      char name[12];
      std::snprintf(name, sizeof(name), "IMG%05zuJPG", (f * 128 + i) % 100000);
      std::uint8_t* e = cluster.data() + i * 32;
      Entry(e, name, kAttrArchive, c + 1 + static_cast<std::uint32_t>(i % (spread - 1)), 3000);
      if (i % 5 == 0) e[0] = kDeletedMark;
    }
    const std::uint64_t at = (kDataStart + std::uint64_t{c - 2} * kSectorsPerCluster) * 512;
    if (WriteAll(file, cluster.data(), cluster.size(), at) != kSuccess) Fail("cannot write the medium");
  }
  return path;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

struct Sweep {
  double seconds = 0;
  std::uint64_t directorySectors = 0;
  std::uint64_t records = 0;
};

// mode 0: read only; 1: read and classify; 2: read, classify and hand to the engine.
Sweep Run(const std::string& image, int mode) {
  Sweep out;
  SectorSource source;
  if (OpenImageSource(image, source) != kSuccess) Fail("cannot open " + image);
  std::uint64_t bytes = 0;
  (void)source.handle.Size(bytes);
  source.totalSectors = bytes / 512;
  CProfessionalFatRecovery engine;
  if (mode == 2) {
    if (engine.OpenImageFile(image, 'B') != kSuccess) Fail("engine cannot open the medium");
    (void)engine.BeginFormattedCatalogue(nullptr);
    (void)engine.PrepareSweep();
  }
  std::vector<std::uint8_t> buffer(kBuffer);
  volatile std::uint64_t sink = 0;
  const auto start = std::chrono::steady_clock::now();
  for (std::uint64_t at = 0; at < source.totalSectors; at += kBuffer / 512) {
    const std::uint64_t n = std::min<std::uint64_t>(kBuffer / 512, source.totalSectors - at);
    std::uint32_t got = 0;
    (void)ReadSectors(static_cast<std::int32_t>(n), source, buffer.data(), at, 512, &got);
    if (mode == 0) {
      sink = sink + buffer[0];
      continue;
    }
    for (std::uint32_t i = 0; i < got; ++i) {
      const std::span<const std::uint8_t> sector(buffer.data() + std::size_t{i} * 512, 512);
      const SweepSectorKind kind = ClassifySweepSector(sector, SweepRecordSize(512));
      if (kind != SweepSectorKind::FatFolderStart && kind != SweepSectorKind::FatDirectorySector) continue;
      ++out.directorySectors;
      if (mode != 2) continue;
      if (kind == SweepSectorKind::FatFolderStart) {
        engine.TakeFolderStart(sector, at + i);
      } else {
        engine.TakeDirectorySector(sector, at + i);
      }
    }
  }
  if (mode == 2) (void)engine.FinishSweep();
  out.seconds = Seconds(start);
  out.records = mode == 2 ? engine.GetFoundCount() : 0;
  CloseSource(source);
  return out;
}

Sweep Best(const std::string& image, int mode) {
  Sweep best;
  for (int i = 0; i < kRuns; ++i) {
    ScanLogIndex::ResetForTesting();
    const Sweep s = Run(image, mode);
    if (i == 0 || s.seconds < best.seconds) best = s;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint32_t folders = argc > 1 ? static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 2000;
  const std::uint32_t spread = argc > 2 ? std::max<std::uint32_t>(2, std::strtoul(argv[2], nullptr, 10)) : 4;
  char dir[] = "/tmp/rexmoor-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) Fail("no scratch folder");
  setenv("REXMOOR_DATA_DIR", dir, 1);
  const std::string image = MakeMedium(std::string(dir) + "/formatted.img", folders, spread);

  (void)Run(image, 0);  // into the page cache
  const Sweep read = Best(image, 0);
  const Sweep classify = Best(image, 1);
  const Sweep intake = Best(image, 2);
  const double mib = static_cast<double>(folders) * spread * kSectorsPerCluster * 512 / (1 << 20);
  std::printf("medium: %.0f MiB, %u folders, %llu directory sectors\n", mib, folders,
              static_cast<unsigned long long>(intake.directorySectors));
  std::printf("plain read        %8.3f s  %8.0f MiB/s  1.00\n", read.seconds, mib / read.seconds);
  std::printf("read + classify   %8.3f s  %8.0f MiB/s  %.2f\n", classify.seconds, mib / classify.seconds,
              classify.seconds / read.seconds);
  std::printf("read + intake     %8.3f s  %8.0f MiB/s  %.2f  (%.0f directory sectors/s, %llu records)\n",
              intake.seconds, mib / intake.seconds, intake.seconds / read.seconds,
              static_cast<double>(intake.directorySectors) / intake.seconds,
              static_cast<unsigned long long>(intake.records));
  std::string cleanup = std::string("rm -rf '") + dir + "'";
  return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
