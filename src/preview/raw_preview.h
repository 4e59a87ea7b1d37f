// The JPEG preview a camera raw file carries, found through the file's own structure: the TIFF
// directories of the TIFF-based raws (JPEGInterchangeFormat, a single JPEG strip, Panasonic's tag
// 0x2E; through IFD0's chain, SubIFDs and the EXIF directory), Fujifilm's header offsets, Canon
// CR3's preview box. The picture program uses it where LibRaw does not know the camera or picks a
// smaller thumbnail. The bytes are untrusted: every offset is checked, every walk bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace rexmoor {

struct ByteSpan {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

// Reads exactly n bytes at offset into out; false when they are not all there.
using ReadBytesAt = std::function<bool(std::uint64_t offset, std::size_t n, std::uint8_t* out)>;

// The largest embedded JPEG (starting FF D8 FF, 128 bytes to 64 MiB, within the file); length 0
// when there is none.
ByteSpan LargestEmbeddedPreview(const ReadBytesAt& read, std::uint64_t fileSize);

}  // namespace rexmoor
