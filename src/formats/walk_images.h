// Structure walks of picture, font and RIFF files: each measures a candidate file to its last byte
// by the structure its format defines (segments, chunks, blocks, directories), reading only what
// it needs through FileBytes. See file_bytes.h for what the three verdicts mean.
#pragma once

#include <cstdint>

#include "formats/file_bytes.h"

namespace rexmoor::formats {

// SOI, the marker segments up to each scan, the entropy-coded data to the next marker, on to EOI;
// the further images of a Multi-Picture file count as well.
WalkResult MeasureJpeg(FileBytes& file, std::uint64_t limit);
// The chunks from IHDR to IEND, each with its CRC checked.
WalkResult MeasurePng(FileBytes& file, std::uint64_t limit);
// Screen descriptor, colour tables, extension and image blocks with their sub-blocks, to the trailer.
WalkResult MeasureGif(FileBytes& file, std::uint64_t limit);
// The file-size field, checked against the pixel offset plus the size the info header implies.
WalkResult MeasureBmp(FileBytes& file, std::uint64_t limit);
// The furthest byte of any IFD, tag value, strip or tile (SubIFDs, Exif, GPS; BigTIFF too).
// Camera raws built on TIFF too (Olympus and Panasonic headers); maker notes laid out as IFDs.
WalkResult MeasureTiff(FileBytes& file, std::uint64_t limit);
// Fujifilm raw: the furthest of the JPEG preview, CFA header and CFA data its header lists.
WalkResult MeasureRaf(FileBytes& file, std::uint64_t limit);
// Canon CIFF: the root heap's record table, found by the pointer after it that ends the file.
WalkResult MeasureCrw(FileBytes& file, std::uint64_t limit);
// Minolta: the MRM blocks, then the sensor data the picture description sizes.
WalkResult MeasureMrw(FileBytes& file, std::uint64_t limit);
// Sigma/Foveon: the section directory that the pointer in the file's last four bytes names.
WalkResult MeasureX3f(FileBytes& file, std::uint64_t limit);
// Header, the length-prefixed sections, then the image data (raw, or by its RLE row counts).
WalkResult MeasurePsd(FileBytes& file, std::uint64_t limit);
// Icon or cursor directory: the furthest image end.
WalkResult MeasureIco(FileBytes& file, std::uint64_t limit);
// Font table directory (or a collection of them): the furthest table end, padded as fonts are.
WalkResult MeasureTtf(FileBytes& file, std::uint64_t limit);
// RIFF size confirmed by a walk of its top-level chunks; AVIX extension chunks of a large AVI too.
WalkResult MeasureRiff(FileBytes& file, std::uint64_t limit);
// WebP: its first chunk checked against the RIFF, then the RIFF walk.
WalkResult MeasureWebp(FileBytes& file, std::uint64_t limit);

}  // namespace rexmoor::formats
