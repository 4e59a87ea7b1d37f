#include "formats/lznt1.h"

#include <algorithm>
#include <cstring>

namespace rexmoor {

namespace {

constexpr std::uint16_t kChunkLengthMask = 0x0FFF;
constexpr std::uint16_t kChunkCompressed = 0x8000;

// Decodes the tokens of one compressed chunk into out (at most one chunk's worth of room).
// written gets the bytes decoded, also when the chunk turns out to be bad.
Result DecodeChunk(std::span<const std::uint8_t> in, std::span<std::uint8_t> out, std::size_t& written) {
  std::size_t at = 0;
  std::size_t pos = 0;
  while (at < in.size()) {
    const std::uint8_t flags = in[at++];
    for (int bit = 0; bit < 8 && at < in.size(); ++bit) {
      if ((flags & (1u << bit)) == 0) {
        if (pos >= out.size()) {
          written = pos;
          return kErrCrc;
        }
        out[pos++] = in[at++];
        continue;
      }
      if (in.size() - at < 2 || pos == 0) {
        written = pos;
        return kErrCrc;
      }
      const std::uint16_t token = static_cast<std::uint16_t>(in[at] | (in[at + 1] << 8));
      at += 2;
      // The further into the chunk, the more bits the offset needs: 4 bits up to 16 bytes of
      // output, one more at each doubling, up to 12.
      unsigned offsetShift = 12;
      std::uint16_t lengthMask = 0x0FFF;
      for (std::size_t p = pos - 1; p >= 0x10; p >>= 1) {
        --offsetShift;
        lengthMask >>= 1;
      }
      const std::size_t offset = static_cast<std::size_t>(token >> offsetShift) + 1;
      const std::size_t length = static_cast<std::size_t>(token & lengthMask) + 3;
      if (offset > pos || length > out.size() - pos) {
        written = pos;
        return kErrCrc;
      }
      // Byte by byte: the source may overlap what is being written (a run of a repeated pattern).
      for (std::size_t i = 0; i < length; ++i, ++pos) out[pos] = out[pos - offset];
    }
  }
  written = pos;
  return kSuccess;
}

}  // namespace

Result DecompressLznt1(std::span<const std::uint8_t> in, std::span<std::uint8_t> out, std::size_t& produced) {
  produced = 0;
  std::size_t at = 0;
  std::size_t chunkStart = 0;  // where the next chunk's output goes
  while (in.size() - at >= 2) {
    const std::uint16_t header = static_cast<std::uint16_t>(in[at] | (in[at + 1] << 8));
    if (header == 0) break;
    const std::size_t stored = static_cast<std::size_t>(header & kChunkLengthMask) + 1;  // bytes after the header
    if (stored > in.size() - at - 2 || chunkStart >= out.size()) return kErrCrc;
    const std::span<const std::uint8_t> body = in.subspan(at + 2, stored);
    const std::span<std::uint8_t> room = out.subspan(chunkStart, std::min(kLznt1ChunkBytes, out.size() - chunkStart));
    // The chunks before this one stand for 4,096 bytes each, however short they decoded.
    if (produced < chunkStart) std::memset(out.data() + produced, 0, chunkStart - produced);
    std::size_t written = 0;
    if ((header & kChunkCompressed) == 0) {
      if (body.size() > room.size()) return kErrCrc;
      std::memcpy(room.data(), body.data(), body.size());
      written = body.size();
    } else if (Result r = DecodeChunk(body, room, written); r != kSuccess) {
      produced = chunkStart + written;
      return r;
    }
    produced = chunkStart + written;
    at += 2 + stored;
    chunkStart += kLznt1ChunkBytes;
  }
  return kSuccess;
}

}  // namespace rexmoor
