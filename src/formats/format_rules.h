// The header test and extent rule of every format in the carver's table. Each header test
// returns its type id or kTypeNone and rejects on its first bytes with fixed comparisons; each
// extent rule measures a file from its first sector, reading on through the CarvingContext.
// Kept apart from the table so tests and fuzzers can call one format directly.
#pragma once

#include <cstdint>
#include <span>

#include "formats/file_type_id.h"

namespace rexmoor {
class CarvingContext;
}

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
std::uint64_t MpegExtent(CarvingContext& ctx, Bytes header);
FileTypeId Mp4Test(Bytes b);
std::uint64_t Mp4Extent(CarvingContext& ctx, Bytes header);
FileTypeId RmTest(Bytes b);
std::uint64_t RmExtent(CarvingContext& ctx, Bytes header);
FileTypeId AsfTest(Bytes b);
std::uint64_t AsfExtent(CarvingContext& ctx, Bytes header);
FileTypeId SwfTest(Bytes b);
std::uint64_t SwfExtent(CarvingContext& ctx, Bytes header);
FileTypeId AviTest(Bytes b);
std::uint64_t RiffExtent(CarvingContext& ctx, Bytes header);  // wav and avi: RIFF size + 8
FileTypeId FlvTest(Bytes b);
FileTypeId ThreeGpTest(Bytes b);
FileTypeId MkvTest(Bytes b);
FileTypeId MtsTest(Bytes b);
FileTypeId MxfTest(Bytes b);
FileTypeId Mp3Test(CarvingContext& ctx, Bytes b);  // an ID3v2 tag, or layer III frames
std::uint64_t Mp3Extent(CarvingContext& ctx, Bytes header);
FileTypeId MidiTest(Bytes b);
std::uint64_t MidiExtent(CarvingContext& ctx, Bytes header);
FileTypeId ApeTest(Bytes b);
std::uint64_t ApeExtent(CarvingContext& ctx, Bytes header);
FileTypeId WavTest(Bytes b);
FileTypeId MovTest(Bytes b);
FileTypeId Mp2Test(CarvingContext& ctx, Bytes b);  // layer II frames
FileTypeId MmfTest(Bytes b);
FileTypeId GifTest(Bytes b);
std::uint64_t GifExtent(CarvingContext& ctx, Bytes header);
FileTypeId BmpTest(Bytes b);
std::uint64_t BmpExtent(CarvingContext& ctx, Bytes header);
FileTypeId JpegTest(Bytes b);
std::uint64_t JpegExtent(CarvingContext& ctx, Bytes header);
FileTypeId PngTest(Bytes b);
std::uint64_t PngExtent(CarvingContext& ctx, Bytes header);
FileTypeId PsdTest(Bytes b);
// also cr2, nef, arw, dng, orf, rw2, pef, srw, erf, 3fr, kdc, dcr, mef, mos, iiq
FileTypeId TifTest(Bytes b);
FileTypeId RafTest(Bytes b);
std::uint64_t RafExtent(CarvingContext& ctx, Bytes header);
FileTypeId CrwTest(Bytes b);
std::uint64_t CrwExtent(CarvingContext& ctx, Bytes header);
FileTypeId MrwTest(Bytes b);
std::uint64_t MrwExtent(CarvingContext& ctx, Bytes header);
FileTypeId X3fTest(Bytes b);
std::uint64_t X3fExtent(CarvingContext& ctx, Bytes header);
FileTypeId IcoTest(Bytes b);
std::uint64_t IcoExtent(CarvingContext& ctx, Bytes header);
FileTypeId PdfTest(Bytes b);
std::uint64_t PdfExtent(CarvingContext& ctx, Bytes header);
FileTypeId GzTest(Bytes b);
FileTypeId SevenZipTest(Bytes b);
std::uint64_t SevenZipExtent(CarvingContext& ctx, Bytes header);
FileTypeId ZipTest(Bytes b);
std::uint64_t ZipExtent(CarvingContext& ctx, Bytes header);
std::uint64_t PackageExtent(CarvingContext& ctx, Bytes header);  // docx, xlsx, pptx, mso07
FileTypeId RarTest(Bytes b);
std::uint64_t RarExtent(CarvingContext& ctx, Bytes header);
FileTypeId CabTest(Bytes b);
std::uint64_t CabExtent(CarvingContext& ctx, Bytes header);
FileTypeId PeTest(Bytes b);  // exe, dll, sys
FileTypeId GhoTest(Bytes b);
FileTypeId SqliteTest(Bytes b);
FileTypeId DbxTest(Bytes b);
FileTypeId PstTest(Bytes b);
FileTypeId FlaTest(Bytes b);
FileTypeId FlacTest(Bytes b);
std::uint64_t FlacExtent(CarvingContext& ctx, Bytes header);
FileTypeId OggTest(Bytes b);  // ogg or opus, by the first packet
std::uint64_t OggExtent(CarvingContext& ctx, Bytes header);
FileTypeId AiffTest(Bytes b);
std::uint64_t AiffExtent(CarvingContext& ctx, Bytes header);
FileTypeId AacTest(CarvingContext& ctx, Bytes b);  // ADTS frames, the later ones read from the medium
std::uint64_t AacExtent(CarvingContext& ctx, Bytes header);
FileTypeId AmrTest(Bytes b);
std::uint64_t AmrExtent(CarvingContext& ctx, Bytes header);
FileTypeId CafTest(Bytes b);
std::uint64_t CafExtent(CarvingContext& ctx, Bytes header);
FileTypeId WvTest(Bytes b);
std::uint64_t WvExtent(CarvingContext& ctx, Bytes header);
FileTypeId DsfTest(Bytes b);
std::uint64_t DsfExtent(CarvingContext& ctx, Bytes header);
FileTypeId TtfTest(Bytes b);
std::uint64_t TtfExtent(CarvingContext& ctx, Bytes header);
FileTypeId WebpTest(Bytes b);
std::uint64_t WebpExtent(CarvingContext& ctx, Bytes header);  // RIFF size + 8 where the chunks break off
FileTypeId HeifTest(Bytes b);  // heic or avif, by the ftyp brands
std::uint64_t HeifExtent(CarvingContext& ctx, Bytes header);
FileTypeId JxlTest(Bytes b);  // the box container, or a bare codestream whose headers decode
std::uint64_t JxlExtent(CarvingContext& ctx, Bytes header);

// The structure walk first; where it breaks off, a plain walk to the next recognised file.
std::uint64_t Mp2Extent(CarvingContext& ctx, Bytes header);
std::uint64_t MmfExtent(CarvingContext& ctx, Bytes header);
std::uint64_t IsoMediaExtent(CarvingContext& ctx, Bytes header);  // 3gp, mov, cr3
std::uint64_t FlvExtent(CarvingContext& ctx, Bytes header);
std::uint64_t GzExtent(CarvingContext& ctx, Bytes header);
std::uint64_t MtsExtent(CarvingContext& ctx, Bytes header);
std::uint64_t MxfExtent(CarvingContext& ctx, Bytes header);
std::uint64_t MkvExtent(CarvingContext& ctx, Bytes header);
std::uint64_t PsdExtent(CarvingContext& ctx, Bytes header);
std::uint64_t TifExtent(CarvingContext& ctx, Bytes header);
std::uint64_t SqliteExtent(CarvingContext& ctx, Bytes header);
std::uint64_t FlaExtent(CarvingContext& ctx, Bytes header);  // a compound document by its allocation tables
// Plain walks (no structure known): the file ends at the next recognised header or metadata sector.
std::uint64_t Walk2GiBExtent(CarvingContext& ctx, Bytes header);  // pst, dbx

// Text of every kind: its length to the first byte that is not text; vCard, iCalendar, SVG and XML
// property lists to their closing line or tag.
std::uint64_t TextExtent(CarvingContext& ctx, Bytes header);

FileTypeId RtfTest(Bytes b);
std::uint64_t RtfExtent(CarvingContext& ctx, Bytes header);
FileTypeId BinaryPlistTest(Bytes b);
std::uint64_t PlistExtent(CarvingContext& ctx, Bytes header);  // binary by its trailer, XML as text

// Where a JPEG's entropy-coded data begins, found by walking its marker segments from offset 2
// (reading on from the medium where the segments pass the given bytes); 0 when the segments do
// not lead to a start-of-scan marker within bounds.
std::uint64_t JpegEntropyStart(const CarvingContext& ctx, Bytes header);

}  // namespace rexmoor::formats
