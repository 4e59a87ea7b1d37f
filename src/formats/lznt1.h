// LZNT1, the compression of NTFS compressed attributes. A compressed stream is a row of chunks,
// each standing for up to 4,096 bytes of output: a 2-byte header (bits 0-11: the chunk's stored
// length less 3, bit 15: compressed) and either the bytes as they are or groups of a flag byte and
// eight tokens, each a literal byte or a 2-byte back-reference whose split between offset and
// length widens the offset as the chunk's output grows. A header of 0 or the end of the input ends
// the stream.
//
// The input comes from the medium, so nothing in it is trusted: no byte is read past the input,
// none written past the output, and a chunk that does not add up ends the decoding with an error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/result_codes.h"

namespace rexmoor {

// Output bytes one chunk stands for.
inline constexpr std::size_t kLznt1ChunkBytes = 4096;

// Decompresses in into out. Chunk n starts at n * 4,096 bytes of the output; the bytes a short
// chunk leaves before the next are zeros. produced gets the end of the last chunk's output (so
// out's bytes past it are untouched). A chunk whose length runs past the input, a back-reference to
// before its chunk's start, a chunk that decodes to more than 4,096 bytes or a stream with more
// chunks than out holds gives kErrCrc; produced then covers the chunks decoded whole and the
// decoded part of the bad one.
Result DecompressLznt1(std::span<const std::uint8_t> in, std::span<std::uint8_t> out, std::size_t& produced);

}  // namespace rexmoor
