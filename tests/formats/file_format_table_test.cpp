#include "formats/file_format_table.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "formats/carve_at_sector.h"
#include "formats/carving_context.h"
#include "carve_test_support.h"

namespace rexmoor {
namespace {

using carvetest::Bytes;

TEST(FileFormatTable, RowsKeepTheirOrderAndFirstRowNamesTheType) {
  const auto rows = FileFormatTable();
  ASSERT_EQ(rows.size(), kFileFormatRowCount);
  std::string order;
  for (const FileFormatEntry& row : rows) order += std::string(row.extension) + ":" + std::to_string(row.typeId) + " ";
  EXPECT_EQ(order,
            "mpeg:15 mpg:15 vob:15 mp4:18 rmvb:23 rm:23 wmv:24 asf:24 wma:24 swf:26 avi:22 flv:27 3gp:16 mkv:19 "
            "ts:20 mts:47 mxf:48 mp3:12 mid:13 ape:25 wav:21 mov:17 mp2:11 mmf:14 gif:31 bmp:29 dib:29 jpg:10 "
            "jpeg:10 jpe:10 jfif:10 png:30 psd:28 tif:32 tiff:32 ico:46 doc:0 dot:0 wps:0 wpt:0 xls:3 xlt:3 "
            "xla:3 et:3 ett:3 ppt:5 pot:5 pps:5 dps:5 dpt:5 ole:2 fla:44 docx:1 docm:1 dotm:1 dotx:1 xlsx:4 "
            "xlsb:4 xlsm:4 xlsx:4 xlam:4 xltx:4 xltm:4 pptx:6 pptm:6 potx:6 potm:6 ppsx:6 ppsm:6 mso07:7 pdf:8 "
            "gz:36 gzip:36 7z:34 zip:35 rar:37 cab:33 exe:41 dll:42 sys:43 gho:9 db:39 dbx:40 pst:38 fla:44 "
            "ttf:45 ico:46 cr2:59 nef:60 nrw:60 arw:61 sr2:61 srf:61 dng:62 orf:63 rw2:64 pef:65 srw:66 cr3:67 "
            "raf:68 webp:69 heic:70 heif:70 avif:71 jxl:72 flac:73 ogg:74 oga:74 ogv:74 opus:75 m4a:76 m4b:76 "
            "aiff:77 aif:77 aifc:77 webm:78 aac:79 amr:80 awb:80 caf:81 wv:82 dsf:83 m4v:84 crw:85 mrw:86 x3f:87 "
            "erf:88 3fr:89 kdc:90 dcr:91 mef:92 mos:93 iiq:94 odt:95 ods:96 odp:97 odg:98 epub:99 rtf:100 "
            "plist:104 txt:50 html:51 xml:52 json:53 csv:54 eml:55 c:56 py:57 sh:58 mbox:101 vcf:102 ics:103 "
            "svg:105 ");

  // Rows of one type share their functions; only the PE and GHO rows are never carved.
  std::set<FileTypeId> seen;
  for (const FileFormatEntry& row : rows) {
    const FileFormatEntry* first = FirstRowForType(row.typeId);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->headerTest, row.headerTest) << row.extension;
    EXPECT_EQ(first->extentRule, row.extentRule) << row.extension;
    const bool carved = row.extentRule != nullptr;
    const bool neverCarved = row.typeId == kTypeExe || row.typeId == kTypeDll || row.typeId == kTypeSys ||
                             row.typeId == kTypeGho;
    EXPECT_NE(carved, neverCarved) << row.extension;
    seen.insert(row.typeId);
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kFileTypeCount - 1));  // every id but kTypeNone has a row
  EXPECT_EQ(seen.count(kTypeNone), 0u);

  EXPECT_EQ(ExtensionForType(kTypeWmv), "wmv");
  EXPECT_EQ(ExtensionForType(kTypeBmp), "bmp");
  EXPECT_EQ(ExtensionForType(kTypeFla), "fla");
  EXPECT_EQ(ExtensionForType(kTypeIco), "ico");
  EXPECT_EQ(ExtensionForType(kTypeNone), "");
  EXPECT_EQ(ExtensionForType(-1), "");
  EXPECT_EQ(FindFormatByExtension("WMA")->typeId, kTypeWmv);
  EXPECT_EQ(FindFormatByExtension("Tiff")->typeId, kTypeTif);
  EXPECT_EQ(FindFormatByExtension("jp"), nullptr);
  EXPECT_EQ(FindFormatByExtension("jpegs"), nullptr);
  EXPECT_EQ(FindFormatByExtension(""), nullptr);
}

// Every type's synthetic first sector is recognised as that type, under its first extension.
TEST(FileFormatTable, SyntheticHeadersAreRecognisedAsTheirType) {
  CarvingContext ctx;
  for (FileTypeId type = 0; type < kFileTypeCount; ++type) {
    const Bytes header = carvetest::SyntheticHeader(type, 100 + type);
    if (header.empty()) continue;
    EXPECT_EQ(RecogniseHeader(ctx, header), type) << ExtensionForType(type);
    EXPECT_EQ(RecogniseHeaderFast(ctx, header), type) << ExtensionForType(type);
  }
}

TEST(FileFormatTable, HeaderTestsRejectNearMisses) {
  CarvingContext ctx;
  using carvetest::SyntheticHeader;
  struct Case {
    FileTypeId type;
    std::size_t offset;
    std::uint8_t value;
  };
  // One field broken at a time; each must turn the sector into "not this type".
  const Case cases[] = {
      {kTypeJpg, 3, 0xE1},    // APP1 without "Exif"
      {kTypeJpg, 6, 'j'},     // "jFIF"
      {kTypeGif, 5, 'A'},     // upper-case version letter
      {kTypeGif, 3, 'x'},     // version not digits
      {kTypeBmp, 14, 20},     // no bitmap info header has 20 bytes
      {kTypeBmp, 6, 1},       // reserved field set
      {kTypeMp3, 5, 0x01},    // undefined flag bit
      {kTypeMp3, 9, 0x80},    // size byte not sync-safe
      {kTypeMp3, 3, 0xFF},    // version byte 0xFF
      {kTypeSwf, 3, 51},      // no player version past 50
      {kTypeGz, 8, 1},        // extra flags gzip never writes
      {kTypeGz, 3, 1},        // FTEXT flag
      {kTypeFlv, 8, 8},       // header size not 9
      {kTypeMid, 7, 7},       // MThd length not 6
      {kTypePst, 9, 'N'},     // "SN"
      {kTypeExe, 0x80 + 22, 0x20},  // not an executable image
      {kTypeMts, 15, 1},
      {kTypeMp4, 8, 'x'},     // brand neither iso* nor mp42
      {kTypeRar, 6, 2},       // neither the RAR 4 nor the RAR 5 signature
      {kTypeCr2, 10, 3},      // CR marker of another major version
      {kTypeNef, 26, 'n'},    // a Make of no raw maker
      {kTypeDng, 12, 3},      // DNGVersion not four bytes
      {kTypeOrf, 4, 0},       // Olympus header pointing into itself
      {kTypeCr3, 9, 'X'},     // brand "cXx "
      {kTypeRaf, 18, 'x'},    // version not digits
      {kTypeFlac, 7, 0x21},   // STREAMINFO is 34 bytes
      {kTypeFlac, 9, 0x0F},   // block size under 16
      {kTypeOgg, 5, 0x00},    // not a first page: its CRC no longer holds either
      {kTypeOpus, 40, 'h'},   // one packet byte: the page CRC fails
      {kTypeM4a, 11, 'x'},    // brand "M4Ax"
      {kTypeAiff, 11, 'X'},   // form type "AIFX"
      {kTypeWebm, 25, 'x'},   // DocType "wxbm": plain Matroska
      {kTypeAac, 1, 0xF3},    // layer 1: MPEG audio, not ADTS
      {kTypeAac, 102, 0x90},  // the second frame's sampling rate differs
      {kTypeAmr, 6, 0x48},    // frame type 9: no AMR encoder writes it
      {kTypeCaf, 5, 2},       // version 2
      {kTypeWv, 16, 1},       // a block in the middle of a stream
      {kTypeDsf, 40, 2},      // format version 2
      {kTypeM4v, 11, 'X'},    // brand "M4VX"
      {kTypeCrw, 13, 'S'},    // "HEAPCCDS"
      {kTypeCrw, 3, 0x10},    // header length past 4 KiB
      {kTypeMrw, 11, 'X'},    // first block not PRD
      {kTypeMrw, 6, 0},       // MRM block shorter than its PRD block
      {kTypeX3f, 6, 9},       // format version 9
      {kTypeErf, 26, 'X'},    // a Make of no raw maker
      {kTypeKdc, 23, 0},      // Kodak without its KDC IFD: a plain TIFF
      {kTypeDcr, 64, 'X'},    // Kodak without its DCS IFD or model: a plain TIFF
      {kTypeIiq, 14, 'x'},    // "IIII" not followed by the reversed "Raw"
      {kTypeOds, 83, 'x'},    // "spreadsheex": a zip of no known package
      {kTypeEpub, 8, 8},      // mimetype deflated, not stored
      {kTypeRtf, 5, 'x'},     // "{\rtfx": no version
      {kTypePlist, 8, 0x70},  // no object kind 7 in a bplist00
  };
  for (const Case& c : cases) {
    Bytes header = SyntheticHeader(c.type, 7);
    ASSERT_EQ(RecogniseHeader(ctx, header), c.type) << ExtensionForType(c.type);
    header[c.offset] = c.value;
    EXPECT_NE(RecogniseHeader(ctx, header), c.type) << ExtensionForType(c.type) << " offset " << c.offset;
  }

  // Short buffers never match and never read past their end (every signature has 4 bytes or more).
  for (FileTypeId type = 0; type < kFileTypeCount; ++type) {
    const Bytes header = SyntheticHeader(type, 3);
    if (header.empty()) continue;
    for (std::size_t n : {0u, 1u, 2u, 3u}) {
      const Bytes prefix(header.begin(), header.begin() + n);
      EXPECT_EQ(RecogniseHeader(ctx, prefix), kTypeNone) << ExtensionForType(type) << " " << n;
    }
  }
  // A PE header offset past 488 is refused even when "PE" stands there.
  Bytes pe = carvetest::MakePe(0x0022);
  pe[60] = 0xEC;
  pe[61] = 0x01;  // 492
  std::memcpy(pe.data() + 492, "PE\0\0", 4);
  pe[492 + 22] = 0x22;
  EXPECT_EQ(RecogniseHeader(ctx, Bytes(pe.begin(), pe.begin() + 512)), kTypeNone);
  // The PE row's characteristics decide between sys, dll and exe.
  EXPECT_EQ(RecogniseHeader(ctx, carvetest::MakePe(0x3022)), kTypeSys);
}

TEST(FileFormatTable, IcoAndTtfDirectoriesMustBeConsistent) {
  CarvingContext ctx;
  Bytes ico = carvetest::MakeIco({100, 200, 300}, 1);
  ico.resize(512);
  EXPECT_EQ(RecogniseHeader(ctx, ico), kTypeIco);
  Bytes gap = ico;
  carvetest::Put32(gap, 6 + 16 + 12, 6 + 48 + 101);  // second image not right after the first
  EXPECT_EQ(RecogniseHeader(ctx, gap), kTypeNone);
  Bytes reserved = ico;
  reserved[6 + 3] = 1;
  EXPECT_EQ(RecogniseHeader(ctx, reserved), kTypeNone);
  Bytes tooMany = ico;
  carvetest::Put16(tooMany, 4, 32);  // 16 × 32 + 6 > 512
  EXPECT_EQ(RecogniseHeader(ctx, tooMany), kTypeNone);

  Bytes ttf = carvetest::MakeTtf(9, 2);
  ttf.resize(512);
  EXPECT_EQ(RecogniseHeader(ctx, ttf), kTypeTtf);
  Bytes noTables = ttf;
  carvetest::Put16BE(noTables, 4, 0);
  EXPECT_EQ(RecogniseHeader(ctx, noTables), kTypeNone);
  Bytes hugeCount = ttf;
  carvetest::Put16BE(hugeCount, 4, 0xFFFF);
  EXPECT_EQ(RecogniseHeader(ctx, hugeCount), kTypeNone);
  Bytes zeroShift = ttf;
  carvetest::Put16BE(zeroShift, 10, 0);
  EXPECT_EQ(RecogniseHeader(ctx, zeroShift), kTypeNone);
}

// Each real sample's first sector is recognised as the manifest says (the manifest's emulation
// puts "fla" before the compound-document rows; here the compound rows come first).
TEST(FileFormatTable, RealSamplesAreRecognisedWithTheirExtension) {
  CarvingContext ctx;
  const auto samples = carvetest::LoadManifest();
  ASSERT_GE(samples.size(), 40u);
  for (const auto& sample : samples) {
    const Bytes file = carvetest::LoadSample(sample.name);
    ASSERT_EQ(file.size(), sample.size) << sample.name;
    // The file alone, as a medium: tests that read on (packages, compound documents, streams)
    // see its further sectors.
    carvetest::ImageBuilder builder;
    builder.Place(file);
    builder.Zeros(8);
    carvetest::Medium medium(builder.bytes());
    CarvingContext ctx;
    ctx.source = &medium.source();
    ctx.sectorSize = 512;
    ctx.fileStartSector = ctx.cursorSector = 0;
    const Bytes first = medium.Sector(0);
    const FileTypeId got = RecogniseHeader(ctx, first);
    if (sample.headerCheck == "NO-MATCH") {
      EXPECT_EQ(got, kTypeNone) << sample.name;
      EXPECT_FALSE(CheckSignatureByExtension(first, sample.ext, medium.source(), 512, 0)) << sample.name;
      continue;
    }
    EXPECT_EQ(got, sample.type) << sample.name;
    EXPECT_EQ(ExtensionForType(got), ExtensionForType(sample.type)) << sample.name;
    EXPECT_TRUE(CheckSignatureByExtension(first, sample.ext, medium.source(), 512, 0)) << sample.name;
  }
}

TEST(FileFormatTable, CheckSignatureByExtensionWantsTheRowsOwnType) {
  CarvingContext ctx;
  // A spreadsheet saved under a Word name does not hold what its name promises.
  const Bytes xls = carvetest::LoadSample("sample.xls");
  carvetest::ImageBuilder builder;
  builder.Place(xls);
  carvetest::Medium medium(builder.bytes());
  const Bytes first = medium.Sector(0);
  EXPECT_TRUE(CheckSignatureByExtension(first, "xls", medium.source(), 512, 0));
  EXPECT_TRUE(CheckSignatureByExtension(first, "XLT", medium.source(), 512, 0));
  EXPECT_FALSE(CheckSignatureByExtension(first, "doc", medium.source(), 512, 0));
  EXPECT_FALSE(CheckSignatureByExtension(first, "ole", medium.source(), 512, 0));
  // "fla" only checks the four magic bytes.
  EXPECT_TRUE(CheckSignatureByExtension(first, "fla", medium.source(), 512, 0));
  // Unknown extensions always pass; known ones with other content do not.
  EXPECT_TRUE(CheckSignatureByExtension(first, "txt", medium.source(), 512, 0));
  EXPECT_TRUE(CheckSignatureByExtension(first, "", medium.source(), 512, 0));
  EXPECT_FALSE(CheckSignatureByExtension(first, "jpg", medium.source(), 512, 0));
}

}  // namespace
}  // namespace rexmoor
