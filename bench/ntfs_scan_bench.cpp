// How fast the quick NTFS engine reads a large MFT, next to a plain sequential read of the same
// bytes.
//
//   ntfs_scan_bench [RECORDS] [DELETED-PERCENT]     (defaults 100000 and 80)
//
// The volume is made on the spot: mkntfs on a sparse 512 MiB file, one small file copied in with
// ntfscp, then the MFT is moved to a free stretch big enough for RECORDS records and filled with
// copies of that file's record, renumbered and renamed, DELETED-PERCENT of them marked free. $MFT's
// own record is rewritten to describe the new extent, so the engine finds it as it would any MFT.
// Both the plain read and the scan run from the page cache (the image is read once before timing),
// so the comparison is of the work per byte, not of the disk. Each figure is the best of three.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/scan_log_index.h"
#include "ntfs/fast_ntfs_recovery.h"
#include "formats/ntfs_record.h"
#include "platform/byte_view.h"
#include "platform/file_handle.h"

namespace {

using namespace rexmoor;

constexpr int kRuns = 3;
constexpr std::uint64_t kVolumeBytes = 512ull << 20;
constexpr const char* kTemplateName = "bench-template.txt";

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "ntfs_scan_bench: %s\n", what.c_str());
  std::exit(1);
}

void Run(const std::string& command) {
  if (std::system(command.c_str()) != 0) Fail("command failed: " + command);
}

void PutU16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void PutU64(std::uint8_t* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The update sequence undone (so fields can be edited) and redone.
void Unfix(std::vector<std::uint8_t>& rec) {
  const std::uint16_t usa = LoadU16LE(rec.data() + kRecUsaOffset);
  for (std::size_t i = 1; i * kFixupStride <= rec.size(); ++i) {
    rec[i * kFixupStride - 2] = rec[usa + 2 * i];
    rec[i * kFixupStride - 1] = rec[usa + 2 * i + 1];
  }
}
void Refix(std::vector<std::uint8_t>& rec) {
  const std::uint16_t usa = LoadU16LE(rec.data() + kRecUsaOffset);
  for (std::size_t i = 1; i * kFixupStride <= rec.size(); ++i) {
    rec[usa + 2 * i] = rec[i * kFixupStride - 2];
    rec[usa + 2 * i + 1] = rec[i * kFixupStride - 1];
    rec[i * kFixupStride - 2] = rec[usa];
    rec[i * kFixupStride - 1] = rec[usa + 1];
  }
}

std::vector<std::uint8_t> ReadAt(const FileHandle& f, std::uint64_t offset, std::size_t length) {
  std::vector<std::uint8_t> b(length);
  if (f.Pread(b.data(), length, offset) != static_cast<ssize_t>(length)) Fail("short read");
  return b;
}

struct Volume {
  std::string path;
  std::uint64_t mftOffset = 0;  // byte offset of the new MFT
  std::uint64_t mftBytes = 0;
  std::uint64_t records = 0;
  std::uint64_t deleted = 0;
};

Volume Build(const std::string& dir, std::uint64_t records, int deletedPercent) {
  Volume v;
  v.path = dir + "/bench.img";
  v.records = records;
  Run("truncate -s " + std::to_string(kVolumeBytes) + " '" + v.path + "'");
  Run("PATH=\"$PATH:/usr/sbin:/sbin\" mkntfs -F -Q -q -s 512 -c 4096 '" + v.path + "' >/dev/null 2>&1");
  Run("printf 'a small file that every record of the benchmark copies\\n' > '" + dir + "/t.txt'");
  Run("ntfscp -q '" + v.path + "' '" + dir + "/t.txt' " + kTemplateName + " >/dev/null 2>&1");

  // Where the MFT lies now, and a free stretch for the big one (from the volume bitmap).
  CFastNtfsRecovery probe;
  if (probe.OpenImageFile(v.path, 1) != kSuccess || probe.BuildFreeSpaceMap() != kSuccess) Fail("cannot open");
  const NtfsVolumeReader& volume = *probe.Volume();
  const NtfsGeometry g = volume.Geometry();
  const std::uint64_t clusterBytes = g.ClusterBytes();
  const std::uint64_t oldRecords = volume.MftRecordCount();
  const std::uint64_t clusters = (records * g.recordSize + clusterBytes - 1) / clusterBytes;
  std::uint64_t lcn = 0, run = 0;
  for (std::uint64_t c = 0; c < volume.ClusterCount() && run < clusters; ++c) {
    if (probe.IsClusterUsed(c)) {
      run = 0;
      lcn = c + 1;
    } else {
      ++run;
    }
  }
  if (run < clusters) Fail("no free stretch for the MFT");
  v.mftOffset = lcn * clusterBytes;
  v.mftBytes = records * g.recordSize;
  const std::uint64_t oldMft = g.mftCluster * clusterBytes;

  FileHandle image;
  if (FileHandle::OpenReadWrite(v.path, image) != kSuccess) Fail("cannot write the image");
  std::vector<std::vector<std::uint8_t>> old;
  std::vector<std::uint8_t> templ;
  const std::vector<std::uint8_t> wanted = [] {
    std::vector<std::uint8_t> u;
    for (const char* c = kTemplateName; *c != 0; ++c) u.insert(u.end(), {static_cast<std::uint8_t>(*c), 0});
    return u;
  }();
  for (std::uint64_t n = 0; n < oldRecords; ++n) {
    old.push_back(ReadAt(image, oldMft + n * g.recordSize, g.recordSize));
    if (std::search(old.back().begin(), old.back().end(), wanted.begin(), wanted.end()) != old.back().end() &&
        n >= kFirstUserRecord)
      templ = old.back();
  }
  if (templ.empty()) Fail("the template file's record was not found");
  const std::size_t nameAt = std::search(templ.begin(), templ.end(), wanted.begin(), wanted.end()) - templ.begin();

  // $MFT's record: one run over the new extent, and sizes to match.
  std::vector<std::uint8_t>& root = old[0];
  Unfix(root);
  auto header = ParseRecordHeader(root);
  auto data = header ? FindAttribute(root, *header, kAttrData, true) : std::nullopt;
  if (!data || !data->nonResident) Fail("no $DATA in $MFT's record");
  std::uint8_t* attr = root.data() + data->offset;
  std::uint8_t* runs = attr + LoadU16LE(attr + kAttrRunsOffset);
  unsigned offsetBytes = 1;
  while (offsetBytes < 8 && lcn >= (std::uint64_t{1} << (8 * offsetBytes - 1))) ++offsetBytes;
  const unsigned lengthBytes = clusters < 0x80 ? 1 : clusters < 0x8000 ? 2 : clusters < 0x800000 ? 3 : 4;
  if (runs + 2 + lengthBytes + offsetBytes > attr + data->length) Fail("no room for the run");
  runs[0] = static_cast<std::uint8_t>(lengthBytes | (offsetBytes << 4));
  for (unsigned i = 0; i < lengthBytes; ++i) runs[1 + i] = static_cast<std::uint8_t>(clusters >> (8 * i));
  for (unsigned i = 0; i < offsetBytes; ++i) runs[1 + lengthBytes + i] = static_cast<std::uint8_t>(lcn >> (8 * i));
  runs[1 + lengthBytes + offsetBytes] = 0;
  PutU64(attr + kAttrHighestVcn, clusters - 1);
  PutU64(attr + kAttrAllocatedSize, clusters * clusterBytes);
  PutU64(attr + kAttrRealSize, v.mftBytes);
  PutU64(attr + kAttrInitializedSize, v.mftBytes);
  Refix(root);
  if (WriteAll(image, root.data(), root.size(), oldMft) != kSuccess) Fail("cannot write $MFT's record");

  // The new MFT: the old records, then copies of the template, written a megabyte at a time.
  const std::size_t perChunk = (1u << 20) / g.recordSize;
  std::vector<std::uint8_t> chunk(perChunk * g.recordSize);
  for (std::uint64_t first = 0; first < records; first += perChunk) {
    const std::uint64_t count = std::min<std::uint64_t>(perChunk, records - first);
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint64_t n = first + i;
      std::uint8_t* rec = chunk.data() + i * g.recordSize;
      if (n < old.size()) {
        std::memcpy(rec, old[n].data(), g.recordSize);
        continue;
      }
      std::memcpy(rec, templ.data(), g.recordSize);
      // Number, state and a name of the same length; none of them in a protected word.
      const bool deleted = static_cast<int>(n % 100) < deletedPercent;
      v.deleted += deleted ? 1 : 0;
      PutU16(rec + kRecFlags, deleted ? 0 : kRecFlagInUse);
      rec[kRecNumber] = static_cast<std::uint8_t>(n);
      rec[kRecNumber + 1] = static_cast<std::uint8_t>(n >> 8);
      rec[kRecNumber + 2] = static_cast<std::uint8_t>(n >> 16);
      rec[kRecNumber + 3] = static_cast<std::uint8_t>(n >> 24);
      char digits[16];
      std::snprintf(digits, sizeof(digits), "%08llu", static_cast<unsigned long long>(n % 100000000));
      for (int k = 0; k < 8; ++k) rec[nameAt + 2 * (6 + k)] = static_cast<std::uint8_t>(digits[k]);
    }
    if (WriteAll(image, chunk.data(), count * g.recordSize, v.mftOffset + first * g.recordSize) != kSuccess)
      Fail("cannot write the MFT");
  }
  return v;
}

template <typename Work>
double BestSeconds(Work work) {
  double best = 1e30;
  for (int run = 0; run < kRuns; ++run) {
    const auto start = std::chrono::steady_clock::now();
    work();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t records = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
  const int deletedPercent = argc > 2 ? std::atoi(argv[2]) : 80;
  if (records < 100 || records > 400000) Fail("RECORDS must lie between 100 and 400000");

  char dirTemplate[] = "/tmp/ntfs_scan_bench.XXXXXX";
  if (::mkdtemp(dirTemplate) == nullptr) Fail("no temporary folder");
  const std::string dir = dirTemplate;
  ::setenv("REXMOOR_DATA_DIR", (dir + "/data").c_str(), 1);
  const Volume v = Build(dir, records, deletedPercent);

  FileHandle image;
  if (FileHandle::OpenReadOnly(v.path, image) != kSuccess) Fail("cannot open the image");
  std::vector<std::uint8_t> buffer(1u << 20);
  auto plainRead = [&] {
    for (std::uint64_t at = 0; at < v.mftBytes; at += buffer.size()) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), v.mftBytes - at));
      if (image.Pread(buffer.data(), n, v.mftOffset + at) != static_cast<ssize_t>(n)) Fail("short read");
    }
  };
  plainRead();  // into the page cache
  const double readSeconds = BestSeconds(plainRead);

  std::uint64_t found = 0, scanned = 0;
  const double scanSeconds = BestSeconds([&] {
    ScanLogIndex::ResetForTesting();
    CFastNtfsRecovery engine;
    if (engine.OpenImageFile(v.path, 1) != kSuccess) Fail("the engine cannot open the volume");
    if (engine.Scan(nullptr) != kSuccess) Fail("the scan failed");
    found = engine.GetFoundCount();
    scanned = engine.RecordsScanned();
  });

  const double mb = static_cast<double>(v.mftBytes) / (1024.0 * 1024.0);
  std::printf("MFT: %llu records (%.1f MiB), %llu of them deleted files\n",
              static_cast<unsigned long long>(v.records), mb, static_cast<unsigned long long>(v.deleted));
  std::printf("plain sequential read : %8.3f s  %10.0f records/s  %8.1f MiB/s\n", readSeconds,
              static_cast<double>(v.records) / readSeconds, mb / readSeconds);
  std::printf("quick NTFS scan       : %8.3f s  %10.0f records/s  %8.1f MiB/s  (%llu records read, %llu found)\n",
              scanSeconds, static_cast<double>(scanned) / scanSeconds, mb / scanSeconds,
              static_cast<unsigned long long>(scanned), static_cast<unsigned long long>(found));
  std::printf("scan / read           : %8.2f\n", scanSeconds / readSeconds);
  if (found != v.deleted) std::printf("warning: %llu deleted records were made\n", static_cast<unsigned long long>(v.deleted));
  Run("rm -rf '" + dir + "'");
  return 0;
}
