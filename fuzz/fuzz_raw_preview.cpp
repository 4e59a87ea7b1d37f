#include <cstddef>
#include <cstdint>
#include <cstring>

#include "preview/raw_preview.h"

// A camera raw file's own structure, walked for its JPEG preview: whatever the offsets say, the
// walk ends, reads only inside the file, and names a span inside it.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const rexmoor::ByteSpan span = rexmoor::LargestEmbeddedPreview(
      [data, size](std::uint64_t offset, std::size_t n, std::uint8_t* out) {
        if (offset > size || n > size - offset) return false;
        std::memcpy(out, data + offset, n);
        return true;
      },
      size);
  if (span.length != 0 && (span.offset > size || span.length > size - span.offset)) __builtin_trap();
  return 0;
}
