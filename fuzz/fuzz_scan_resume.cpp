#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "app/type_patterns.h"
#include "engine/scan_log_index.h"
#include "fuzz_support.h"
#include "scan/engine_factory.h"

namespace {

namespace fs = std::filesystem;

// A medium with something for the carver: a few small BMP pictures between pattern bytes.
std::vector<std::uint8_t> MakeMedium() {
  std::vector<std::uint8_t> bytes(256 * 1024);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 131 + (i >> 9));
  for (std::size_t at : {4096u, 65536u, 131072u + 512u}) {
    const std::uint32_t size = 54 + 16 * 16 * 3;
    std::uint8_t* p = bytes.data() + at;
    std::fill(p, p + size, 0x40);
    p[0] = 'B';
    p[1] = 'M';
    for (int k = 0; k < 4; ++k) p[2 + k] = static_cast<std::uint8_t>(size >> (8 * k));
    p[10] = 54;
    p[14] = 40;
    p[18] = 16;
    p[22] = 16;
    p[26] = 1;
    p[28] = 24;
  }
  return bytes;
}

std::uint64_t FoundCount(const std::string& medium) {
  static const std::string kAll = rexmoor::ConvertSearchPattern(rexmoor::BuildSearchPattern({}, {}));
  rexmoor::EnginePtr engine = rexmoor::CreateEngineForImage(medium, 1, true);
  if (!engine) return 0;
  (void)engine->Scan(nullptr);
  rexmoor::RecordList found;
  (void)engine->FilterByType(kAll, found);
  return found.size();
}

}  // namespace

// The scan-log index as an earlier run may have left it, damaged or edited, beside the logs of a
// real deep scan of one medium: whatever the index says, the next deep scan of that medium ends,
// writes nothing outside the scan-log folder and lists what a fresh scan lists. The first entry
// is kept naming the medium, so that what varies is its folder and its saved place.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& dir = rexmoor::fuzz::FuzzDataDir();
  static const std::vector<std::uint8_t> bytes = MakeMedium();
  static rexmoor::fuzz::MemoryMedium medium(bytes.data(), bytes.size());
  if (!medium.ok()) return 0;
  const std::string base = rexmoor::ScanLogIndex::DefaultBasePath();
  std::error_code ec;
  fs::remove_all(dir + "/Rexmoor Pro", ec);
  rexmoor::ScanLogIndex::ResetForTesting();
  static const std::uint64_t fresh = FoundCount(medium.path());
  // The logs of a finished scan, then the input as its index.
  rexmoor::ScanLogIndex::ResetForTesting();
  fs::remove_all(dir + "/Rexmoor Pro", ec);
  if (FoundCount(medium.path()) != fresh) __builtin_trap();
  std::vector<std::uint8_t> index(data, data + size);
  if (index.size() >= 8 + 1120) {
    rexmoor::ScanLogEntry first;
    std::copy_n(index.data() + 8, 1120, first.bytes.data());
    first.SetImagePath(fs::absolute(medium.path()).lexically_normal().string());
    first.SetImageWriteTime(rexmoor::FileWriteTime(medium.path()));
    std::copy(first.bytes.begin(), first.bytes.end(), index.begin() + 8);
  }
  {
    std::FILE* file = std::fopen((base + "/config").c_str(), "wb");
    if (file == nullptr) return 0;
    std::fwrite(index.data(), 1, index.size(), file);
    std::fclose(file);
  }
  rexmoor::ScanLogIndex::ResetForTesting();
  if (FoundCount(medium.path()) != fresh) __builtin_trap();
  // Nothing beside the data folder's own tree (an index naming "../.." would write there).
  for (const auto& entry : fs::directory_iterator(dir, ec))
    if (entry.path().filename() != "Rexmoor Pro") __builtin_trap();
  return 0;
}
