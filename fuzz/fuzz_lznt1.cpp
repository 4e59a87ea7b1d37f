#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "formats/lznt1.h"

// A compression unit of a compressed attribute. The first byte chooses how many chunks the output
// has room for; the decoder must stay inside it and leave the bytes past what it produced alone.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  constexpr std::uint8_t kUntouched = 0xA5;
  const std::size_t chunks = data[0] % 17;
  std::vector<std::uint8_t> out(chunks * rexmoor::kLznt1ChunkBytes, kUntouched);
  std::size_t produced = 0;
  (void)rexmoor::DecompressLznt1(std::span<const std::uint8_t>(data + 1, size - 1), out, produced);
  if (produced > out.size()) __builtin_trap();
  for (std::size_t i = produced; i < out.size(); ++i)
    if (out[i] != kUntouched) __builtin_trap();
  return 0;
}
