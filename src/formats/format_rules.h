// The header test and extent rule of every format in the carver's table. Each header test
// returns its type id or kTypeNone and rejects on its first bytes with fixed comparisons; each
// extent rule measures a file from its first sector, reading on through the CarvingContext.
// Kept apart from the table so tests and fuzzers can call one format directly.
#pragma once

#include <cstdint>
#include <span>

#include "formats/file_type_id.h"

namespace rexmoor::formats {

using Bytes = std::span<const std::uint8_t>;

// Walk limits in bytes.
inline constexpr std::uint64_t kLimit0x7FFFFFF = 0x7FFFFFF;
inline constexpr std::uint64_t kLimit8MiB = 0x800000;
inline constexpr std::uint64_t kLimit128MiB = 0x8000000;
inline constexpr std::uint64_t kLimit256MiB = 0x10000000;
inline constexpr std::uint64_t kLimit1GiB = 0x40000000;
inline constexpr std::uint64_t kLimit2GiB = 0x80000000;
inline constexpr std::uint64_t kLimit4GiB = 0x100000000;
inline constexpr std::uint64_t kLimit6GiB = 0x180000000;
inline constexpr std::uint64_t kLimit64GiB = 0x1000000000;

FileTypeId MpegTest(Bytes b);
std::uint64_t MpegExtent(Bytes header);
FileTypeId Mp4Test(Bytes b);
std::uint64_t Mp4Extent(Bytes header);
FileTypeId RmTest(Bytes b);
std::uint64_t RmExtent(Bytes header);
FileTypeId AsfTest(Bytes b);
std::uint64_t AsfExtent(Bytes header);
FileTypeId SwfTest(Bytes b);
std::uint64_t SwfExtent(Bytes header);
FileTypeId AviTest(Bytes b);
std::uint64_t RiffExtent(Bytes header);  // wav and avi: RIFF size + 8
FileTypeId FlvTest(Bytes b);
FileTypeId ThreeGpTest(Bytes b);
FileTypeId MkvTest(Bytes b);
FileTypeId MtsTest(Bytes b);
FileTypeId MxfTest(Bytes b);
FileTypeId Mp3Test(Bytes b);
std::uint64_t Mp3Extent(Bytes header);
FileTypeId MidiTest(Bytes b);
std::uint64_t MidiExtent(Bytes header);
FileTypeId ApeTest(Bytes b);
std::uint64_t ApeExtent(Bytes header);
FileTypeId WavTest(Bytes b);
FileTypeId MovTest(Bytes b);
FileTypeId Mp2Test(Bytes b);
FileTypeId MmfTest(Bytes b);
FileTypeId GifTest(Bytes b);
std::uint64_t GifExtent(Bytes header);
FileTypeId BmpTest(Bytes b);
std::uint64_t BmpExtent(Bytes header);
FileTypeId JpegTest(Bytes b);
std::uint64_t JpegExtent(Bytes header);
FileTypeId PngTest(Bytes b);
std::uint64_t PngExtent(Bytes header);
FileTypeId PsdTest(Bytes b);
FileTypeId TifTest(Bytes b);
FileTypeId IcoTest(Bytes b);
std::uint64_t IcoExtent(Bytes header);
FileTypeId PdfTest(Bytes b);
std::uint64_t PdfExtent(Bytes header);
FileTypeId GzTest(Bytes b);
FileTypeId SevenZipTest(Bytes b);
std::uint64_t SevenZipExtent(Bytes header);
FileTypeId ZipTest(Bytes b);
std::uint64_t ZipExtent(Bytes header);
std::uint64_t PackageExtent(Bytes header);  // docx, xlsx, pptx, mso07
FileTypeId RarTest(Bytes b);
std::uint64_t RarExtent(Bytes header);
FileTypeId CabTest(Bytes b);
std::uint64_t CabExtent(Bytes header);
FileTypeId PeTest(Bytes b);  // exe, dll, sys
FileTypeId GhoTest(Bytes b);
FileTypeId SqliteTest(Bytes b);
FileTypeId DbxTest(Bytes b);
FileTypeId PstTest(Bytes b);
FileTypeId FlaTest(Bytes b);
FileTypeId TtfTest(Bytes b);
std::uint64_t TtfExtent(Bytes header);

// Plain walks (no footer): the file ends at the next recognised header or metadata sector.
std::uint64_t Mp2Extent(Bytes header);      // 256 MiB
std::uint64_t MmfExtent(Bytes header);      // 256 MiB
std::uint64_t VideoWalkExtent(Bytes header);  // 6 GiB: 3gp, mov, flv, gz, mts, mxf
std::uint64_t MkvExtent(Bytes header);      // 64 GiB
std::uint64_t PictureWalkExtent(Bytes header);  // 128 MiB: psd, tif
std::uint64_t Walk2GiBExtent(Bytes header);  // pst, dbx
std::uint64_t Walk4GiBExtent(Bytes header);  // db
std::uint64_t FlaExtent(Bytes header);      // 256 MiB

// Where a JPEG's entropy-coded data begins, found by walking its marker segments from offset 2
// (reading on from the medium where the segments pass the given bytes); 0 when the segments do
// not lead to a start-of-scan marker within bounds.
std::uint64_t JpegEntropyStart(Bytes header);

}  // namespace rexmoor::formats
