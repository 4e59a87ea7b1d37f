// How fast the carver recognises sectors, next to a plain memcpy of the same buffer.
//
//   recognise_bench [MiB]     (default 64)
//
// For random data and for zero-filled data it times, per 512-byte sector: the first-byte
// dispatch (RecogniseHeaderFast, what the sweep and the walks use), the reference that tries every
// table row in order (RecogniseHeader), and the stop scan of the extent walk (dispatch plus the
// file-system metadata test, in 64 KiB chunks). Each figure is the best of a few runs.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <span>
#include <vector>

#include "formats/carving_context.h"
#include "formats/extent_walk.h"
#include "formats/file_format_table.h"

namespace {

using rexmoor::CarvingContext;

constexpr std::size_t kSector = 512;
constexpr int kRuns = 3;

volatile std::uint64_t g_sink = 0;  // keeps the work from being optimised away

template <typename Work>
double BestMBps(std::size_t bytes, Work work) {
  double best = 0;
  for (int run = 0; run < kRuns; ++run) {
    const auto start = std::chrono::steady_clock::now();
    work();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::max(best, static_cast<double>(bytes) / (1024.0 * 1024.0) / took.count());
  }
  return best;
}

void Measure(rexmoor::CarvingContext& ctx, const char* label, const std::vector<std::uint8_t>& data) {
  const std::size_t sectors = data.size() / kSector;
  std::vector<std::uint8_t> copy(data.size());

  const double memcpyRate = BestMBps(data.size(), [&] {
    std::memcpy(copy.data(), data.data(), data.size());
    g_sink = g_sink + copy[copy.size() / 2];
  });
  const double fastRate = BestMBps(data.size(), [&] {
    std::uint64_t hits = 0;
    for (std::size_t i = 0; i < sectors; ++i)
      hits += rexmoor::RecogniseHeaderFast(ctx, {data.data() + i * kSector, kSector}) != rexmoor::kTypeNone;
    g_sink = g_sink + hits;
  });
  const double referenceRate = BestMBps(data.size(), [&] {
    std::uint64_t hits = 0;
    for (std::size_t i = 0; i < sectors; ++i)
      hits += rexmoor::RecogniseHeader(ctx, {data.data() + i * kSector, kSector}) != rexmoor::kTypeNone;
    g_sink = g_sink + hits;
  });
  const double stopScanRate = BestMBps(data.size(), [&] {
    std::uint64_t stops = 0;
    for (std::size_t at = 0; at < data.size(); at += rexmoor::kWalkChunkBytes) {
      const std::size_t n = std::min(rexmoor::kWalkChunkBytes, data.size() - at);
      std::uint64_t length = 0;
      stops += rexmoor::ScanChunkForStop(ctx, {data.data() + at, n}, length);
    }
    g_sink = g_sink + stops;
  });

  std::printf("%-12s memcpy %9.0f MB/s | dispatch %8.0f MB/s (%5.1f%% of memcpy) | table order %7.0f MB/s | "
              "stop scan %7.0f MB/s\n",
              label, memcpyRate, fastRate, 100.0 * fastRate / memcpyRate, referenceRate, stopScanRate);
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t mib = 64;
  if (argc > 1) mib = std::max<std::size_t>(1, std::strtoul(argv[1], nullptr, 10));
  const std::size_t bytes = mib * 1024 * 1024;

  // No medium: the few tests that read further sectors find nothing to read.
  CarvingContext ctx;
  ctx.sectorSize = static_cast<std::int32_t>(kSector);
  ctx.source = nullptr;

  std::vector<std::uint8_t> random(bytes);
  std::mt19937_64 rng(12345);
  for (std::size_t i = 0; i + 8 <= random.size(); i += 8) {
    const std::uint64_t v = rng();
    std::memcpy(random.data() + i, &v, 8);
  }
  const std::vector<std::uint8_t> zeros(bytes, 0);

  std::printf("recognition throughput over %zu MiB of %zu-byte sectors, best of %d runs\n", mib, kSector, kRuns);
  Measure(ctx, "random", random);
  Measure(ctx, "zero-filled", zeros);
  return g_sink == 0xFFFFFFFFFFFFFFFFull ? 1 : 0;
}
