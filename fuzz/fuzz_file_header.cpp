#include <cstddef>
#include <cstdint>
#include <span>

#include "formats/carving_context.h"
#include "formats/compound_document.h"
#include "formats/file_format_table.h"
#include "formats/format_rules.h"
#include "formats/package_typing.h"

// A file's first bytes before any medium is known: every row's header test, the two recognisers
// (the fast dispatch must give exactly the reference answer) and the typing helpers that look at
// a header alone.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> bytes(data, size);
  rexmoor::CarvingContext ctx;
  ctx.ResetState();
  ctx.source = nullptr;
  for (bool skipMpeg : {false, true}) {
    ctx.tsStreamMode = !skipMpeg;
    const rexmoor::FileTypeId reference = rexmoor::RecogniseHeader(ctx, bytes, skipMpeg);
    const rexmoor::FileTypeId fast = rexmoor::RecogniseHeaderFast(ctx, bytes, skipMpeg);
    if (reference != fast) __builtin_trap();
    if (reference < 0 || reference >= rexmoor::kFileTypeCount) __builtin_trap();
    (void)rexmoor::ExtensionForType(reference);
    (void)rexmoor::FirstRowForType(reference);
  }
  for (const rexmoor::FileFormatEntry& row : rexmoor::FileFormatTable()) {
    const rexmoor::FileTypeId id = row.headerTest(ctx, bytes);
    if (id < 0 || id >= rexmoor::kFileTypeCount) __builtin_trap();
  }
  (void)rexmoor::formats::PackageTypeFromWindow(bytes);
  (void)rexmoor::formats::JpegEntropyStart(ctx, bytes);
  return 0;
}
