#include <cstddef>
#include <cstdint>

#include "app/type_patterns.h"
#include "fuzz_support.h"
#include "scan/engine_factory.h"
#include "scan/professional_recovery.h"

namespace {

// Cancels the sweep at the report the input's last byte names (0: never), so that a scan stopped
// half-way and then continued from its saved place is reached too.
struct CancelAt {
  int reports = 0;
  int stopAt = 0;
  static std::int32_t Callback(void* self, std::int32_t, std::int32_t weight, std::int32_t, std::uint64_t,
                               std::uint64_t sectorsTotal, std::uint64_t, std::int32_t) {
    auto* c = static_cast<CancelAt*>(self);
    if (weight != rexmoor::kSweepWeight || sectorsTotal == 0) return 0;
    return ++c->reports == c->stopAt ? rexmoor::kCancelled : 0;
  }
};

}  // namespace

// A medium of any kind deep-scanned whole: the quick phase where the factory finds a file system,
// the sweep feeding the formatted engines and the carver, the finishing passes, the merged
// filter, browsing and writing out; then the same source opened again and continued from the
// saved place.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  rexmoor::fuzz::FuzzDataDir();
  rexmoor::ScanLogIndex::ResetForTesting();
  rexmoor::fuzz::MemoryMedium medium(data, size);
  if (!medium.ok() || size == 0) return 0;
  static const std::string kAll = rexmoor::ConvertSearchPattern(rexmoor::BuildSearchPattern({}, {}));
  for (int pass = 0; pass < 2; ++pass) {
    rexmoor::EnginePtr engine = rexmoor::CreateEngineForImage(medium.path(), 1, true);
    if (!engine) return 0;
    CancelAt cancel{0, pass == 0 ? data[size - 1] % 8 : 0};
    engine->SetCallbacks(&CancelAt::Callback, nullptr, &cancel, 100);
    const rexmoor::Result result = engine->Scan(nullptr);
    rexmoor::RecordList found;
    (void)engine->FilterByType(kAll, found);
    rexmoor::fuzz::ScratchFolder out;
    rexmoor::fuzz::BrowseAndRecover(*engine, out.path(), 32);
    if (result != rexmoor::kCancelled) break;
  }
  return 0;
}
