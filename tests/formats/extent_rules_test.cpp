// Measuring carved files: the walk, its stops, the footers and size fields, on image files.
#include <gtest/gtest.h>

#include "formats/carve_at_sector.h"
#include "formats/carving_context.h"
#include "formats/compound_document.h"
#include "formats/extent_walk.h"
#include "formats/file_format_table.h"
#include "carve_test_support.h"

namespace rexmoor {
namespace {

using carvetest::Bytes;
using carvetest::ImageBuilder;
using carvetest::Medium;

struct Carve {
  Result rc = kSuccess;
  CarvedFile file;
};

Carve CarveAt(CarvingContext& ctx, const Medium& medium, std::uint64_t sector, std::int32_t sectorSize = 512) {
  Carve c;
  const Bytes first = medium.Sector(sector, static_cast<std::size_t>(sectorSize));
  c.rc = CarveAtSector(ctx, sectorSize, medium.source(), first, sector, 0, 1000, -1, 0, &c.file);
  return c;
}

std::uint64_t LengthAt(CarvingContext& ctx, const Medium& medium, std::uint64_t sector) {
  const Carve c = CarveAt(ctx, medium, sector);
  EXPECT_EQ(c.rc, kSuccess);
  return c.file.length;
}

// The footer and size-field rules themselves: what measures a file whose structure breaks off.
// (The structure walks have tests of their own, over real files.)
class ExtentRules : public ::testing::Test {
 protected:
  ExtentRules() { ctx.structureWalks = false; }
  CarvingContext ctx;
};

TEST_F(ExtentRules, JpegEndingInItsFirstSectorNeedsNoFurtherRead) {
  const Bytes jpeg = carvetest::MakeJpeg(200, 1);
  ASSERT_LT(jpeg.size(), 512u);
  ImageBuilder b;
  b.Zeros(3);
  const std::uint64_t at = b.Place(jpeg);
  b.Random(4, 2);
  Medium medium(b.bytes());
  const std::uint64_t reads = SystemReadCount();
  const Carve c = CarveAt(ctx, medium, at);
  EXPECT_EQ(SystemReadCount(), reads);
  EXPECT_EQ(c.rc, kSuccess);
  EXPECT_EQ(c.file.length, jpeg.size());
  EXPECT_EQ(c.file.typeId, kTypeJpg);
  EXPECT_EQ(c.file.Name(), "3.jpg");
}

TEST_F(ExtentRules, JpegEndMarkerFollowedByDataIsNotTheEnd) {
  // FF D9 inside the first sector but with non-zero bytes after it: the walk goes on, here to the
  // next JPEG's header three sectors later (the second marker is rejected the same way).
  Bytes jpeg = carvetest::MakeJpeg(200, 3);
  jpeg.resize(512 * 3, 0x5A);
  jpeg[700] = 0xFF;
  jpeg[701] = 0xD9;
  ImageBuilder b;
  const std::uint64_t at = b.Place(jpeg);
  const std::uint64_t next = b.Place(carvetest::MakeJpeg(100, 4));
  Medium medium(b.bytes());
  EXPECT_EQ(LengthAt(ctx, medium, at), (next - at) * 512);
  // A marker followed only by zeros to the end of its sector is accepted in a later chunk.
  Bytes padded = carvetest::MakeJpeg(200, 5);
  padded.resize(512 * 2 + 100, 0x5A);
  padded.push_back(0xFF);
  padded.push_back(0xD9);
  ImageBuilder b2;
  b2.Place(padded);
  b2.Random(3, 6);
  b2.Place(carvetest::MakeJpeg(100, 7));
  Medium medium2(b2.bytes());
  EXPECT_EQ(LengthAt(ctx, medium2, 0), padded.size());
}

TEST_F(ExtentRules, CameraJpegIsMeasuredPastItsThumbnail) {
  // The thumbnail inside the Exif segment ends with FF D9 and zeros to its sector's end; the
  // picture's own end comes later.
  const Bytes exif = carvetest::MakeExifJpeg(5000, 8);
  ImageBuilder b;
  b.Place(exif);
  b.Random(2, 9);
  b.Zeros(1);
  b.Place(carvetest::MakePng(100, 10));
  Medium medium(b.bytes());
  EXPECT_EQ(LengthAt(ctx, medium, 0), exif.size());
  // The real camera sample: the thumbnail's marker is at 3452.
  const Bytes camera = carvetest::LoadSample("camera_exif.jpg");
  ImageBuilder b2;
  b2.Place(camera);
  b2.Random(2, 11);
  b2.Zeros(1);
  b2.Place(carvetest::MakePng(100, 12));
  Medium medium2(b2.bytes());
  EXPECT_EQ(LengthAt(ctx, medium2, 0), camera.size());
  // When the segments cannot be walked, the first accepted marker decides, as before.
  Bytes broken = exif;
  broken[4] = 0x00;
  broken[5] = 0x01;  // APP1 length 1
  ImageBuilder b3;
  b3.Place(broken);
  b3.Place(carvetest::MakePng(100, 13));
  Medium medium3(b3.bytes());
  const Bytes thumb = carvetest::MakeJpeg(300, 9);
  EXPECT_EQ(LengthAt(ctx, medium3, 0), 6 + 14 + thumb.size());
}

TEST_F(ExtentRules, PngEndingOnASectorBoundaryIsAcceptedAtOnce) {
  Bytes png = carvetest::MakePng(512 - 8 - 25 - 12 - 12, 14);
  ASSERT_EQ(png.size(), 512u);
  ImageBuilder b;
  b.Place(png);
  b.Random(3, 15);
  Medium medium(b.bytes());
  const std::uint64_t reads = SystemReadCount();
  EXPECT_EQ(LengthAt(ctx, medium, 0), 512u);
  EXPECT_EQ(SystemReadCount(), reads);
  // Longer files: the end in a later sector, and an IEND inside the data followed by more data.
  Bytes longer = carvetest::MakePng(3000, 16);
  ImageBuilder b2;
  b2.Place(longer);
  b2.Random(2, 17);
  Medium medium2(b2.bytes());
  EXPECT_EQ(LengthAt(ctx, medium2, 0), longer.size());
}

TEST_F(ExtentRules, PlainWalkEndsWhereTheNextHeaderOrMetadataBegins) {
  Bytes tif = {'I', 'I', 0x2A, 0x00};
  tif.resize(512 * 5 + 77, 0x11);
  struct Follower {
    const char* what;
    Bytes sector;
  };
  Bytes fileRecord(512, 0x33);
  std::memcpy(fileRecord.data(), "FILE0", 5);
  Bytes indx(512, 0x33);
  std::memcpy(indx.data(), "INDX", 4);
  Bytes rstr(512, 0x33);
  std::memcpy(rstr.data(), "RSTR", 4);
  std::memcpy(rstr.data() + 300, "N\0T\0F\0S\0", 8);
  Bytes attrDef(512, 0x33);
  std::memcpy(attrDef.data(), "$\0S\0T\0A\0", 8);
  Bytes boot(512, 0x33);
  boot[0] = 0xEB;
  boot[1] = 0x3C;
  boot[2] = 0x90;
  std::memcpy(boot.data() + 3, "MSWIN4.1", 8);
  // A FAT folder: two files and a sub-folder, then the end marker.
  Bytes dir(512, 0);
  const auto entry = [&dir](int i, const char* name, std::uint8_t attr, std::uint16_t cluster, std::uint32_t size) {
    std::memset(dir.data() + i * 32, ' ', 11);
    std::memcpy(dir.data() + i * 32, name, std::strlen(name));
    dir[i * 32 + 11] = attr;
    const std::uint16_t date = ((2020 - 1980) << 9) | (5 << 5) | 17;
    const std::uint16_t time = (10 << 11) | (30 << 5);
    carvetest::Put16(dir, i * 32 + 14, time);
    carvetest::Put16(dir, i * 32 + 16, date);
    carvetest::Put16(dir, i * 32 + 18, date);
    carvetest::Put16(dir, i * 32 + 22, time);
    carvetest::Put16(dir, i * 32 + 24, date);
    carvetest::Put16(dir, i * 32 + 26, cluster);
    carvetest::Put32(dir, i * 32 + 28, size);
  };
  entry(0, "REPORT  TXT", 0x20, 9, 1234);
  entry(1, "PHOTOS", 0x10, 12, 0);
  entry(2, "NOTES   TXT", 0x20, 15, 99);
  const Follower followers[] = {
      {"jpeg", carvetest::MakeJpeg(100, 20)}, {"NTFS file record", fileRecord}, {"index block", indx},
      {"log restart page", rstr},             {"attribute table", attrDef},     {"boot sector", boot},
      {"FAT folder", dir},                    {"PE image", carvetest::MakePe(0x0022)},
  };
  for (const Follower& f : followers) {
    ImageBuilder b;
    b.Place(tif);
    b.Random(2, 21);
    b.Zeros(2);
    const std::uint64_t stop = b.Place(f.sector);
    b.Random(2, 22);
    Medium medium(b.bytes());
    EXPECT_EQ(LengthAt(ctx, medium, 0), stop * 512) << f.what;
  }
  EXPECT_TRUE(IsStructureSector(dir));
  EXPECT_FALSE(IsStructureSector(Bytes(512, 0)));
  EXPECT_FALSE(IsStructureSector(Bytes(fileRecord.begin(), fileRecord.begin() + 31)));
  Bytes noNtfs = rstr;
  noNtfs[302] = 'X';
  EXPECT_FALSE(IsStructureSector(noNtfs));
}

TEST_F(ExtentRules, PeImagesAreRecognisedButNeverCarved) {
  ImageBuilder b;
  b.Place(carvetest::MakePe(0x0022));
  b.Place(carvetest::MakePe(0x2022));
  b.Place(carvetest::MakePe(0x1022));
  Medium medium(b.bytes());
  for (std::uint64_t s : {0u, 2u, 4u}) {
    Carve c;
    std::strcpy(c.file.name, "untouched");
    c.rc = CarveAtSector(ctx, 512, medium.source(), medium.Sector(s), s, 0, 10, -1, 0, &c.file);
    EXPECT_EQ(c.rc, kErrInvalidParameter);
    EXPECT_EQ(c.file.Name(), "untouched");
  }
  Carve none = CarveAt(ctx, medium, 1);
  EXPECT_EQ(none.rc, kErrInvalidParameter);
  // Unsupported sector sizes are refused before anything is computed from them.
  CarvedFile out;
  EXPECT_EQ(CarveAtSector(ctx, 300, medium.source(), carvetest::MakeJpeg(10, 1), 0, 0, 0, -1, 0, &out),
            kErrInvalidParameter);
}

TEST_F(ExtentRules, SizeFieldsGiveTheLengthWhateverFollows) {
  Bytes wav = carvetest::MakeRiff("WAVE", "fmt ", 16, 30);
  carvetest::Put32(wav, 4, 1000);
  ImageBuilder b;
  b.Place(wav);
  b.Place(carvetest::MakeJpeg(50, 31));  // a header right after does not matter
  Medium medium(b.bytes());
  EXPECT_EQ(LengthAt(ctx, medium, 0), 1008u);

  struct Case {
    Bytes file;
    std::uint64_t expected;
  };
  Bytes bmp = carvetest::MakeBmp(3000, 32);
  Bytes hugeBmp = bmp;
  carvetest::Put32(hugeBmp, 2, 0xFFFFFFFF);
  Bytes cab = carvetest::MakeCab(2000, 33);
  Bytes hugeCab = cab;
  carvetest::Put32(hugeCab, 8, 0xF0000000);
  Bytes swf = {'F', 'W', 'S', 4};
  swf.resize(600, 1);
  carvetest::Put32(swf, 4, 600);
  Bytes hugeSwf = swf;
  carvetest::Put32(hugeSwf, 4, 0x7FFFFFFF);
  Bytes avi = carvetest::MakeRiff("AVI ", "LIST", 4000, 34);
  const Case cases[] = {
      {bmp, bmp.size()},   {hugeBmp, 0x8000000},   {cab, cab.size()}, {hugeCab, 0x40000000},
      {swf, 600},          {hugeSwf, 0x10000000},  {avi, avi.size()},
  };
  for (const Case& c : cases) {
    ImageBuilder bb;
    bb.Place(c.file);
    bb.Random(2, 35);
    Medium m(bb.bytes());
    EXPECT_EQ(LengthAt(ctx, m, 0), c.expected);
  }
}

TEST_F(ExtentRules, AsfUsesTheFilePropertiesSizeUnlessBroadcast) {
  Bytes asf = carvetest::SyntheticHeader(kTypeWmv, 40);
  const std::uint8_t props[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                  0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
  std::memcpy(asf.data() + 30, props, 16);
  carvetest::Put64(asf, 30 + 40, 123456);
  carvetest::Put32(asf, 30 + 88, 2);
  ImageBuilder b;
  b.Place(asf);
  Medium medium(b.bytes());
  EXPECT_EQ(LengthAt(ctx, medium, 0), 123456u);
  carvetest::Put32(asf, 30 + 88, 3);  // broadcast: size unknown
  ImageBuilder b2;
  b2.Place(asf);
  Medium medium2(b2.bytes());
  EXPECT_EQ(LengthAt(ctx, medium2, 0), 512u);
  carvetest::Put32(asf, 30 + 88, 2);
  carvetest::Put64(asf, 30 + 40, 0x123456789ULL);  // capped
  ImageBuilder b3;
  b3.Place(asf);
  Medium medium3(b3.bytes());
  EXPECT_EQ(LengthAt(ctx, medium3, 0), 0x10000000u);
}

TEST_F(ExtentRules, ZipPackagesAreTypedByTheirEntryNames) {
  struct Case {
    std::vector<carvetest::ZipMember> members;
    FileTypeId type;
    const char* ext;
  };
  const Case cases[] = {
      {{{"word/document.xml", 400}, {"[Content_Types].xml", 300}}, kTypeDocx, "docx"},
      {{{"[Content_Types].xml", 700}, {"_rels/.rels", 200}, {"xl/workbook.xml", 300}}, kTypeXlsx, "xlsx"},
      {{{"[Content_Types].xml", 700}, {"PPT/presentation.xml", 300}}, kTypePptx, "pptx"},
      {{{"readme.txt", 700}, {"notes.txt", 300}}, kTypeZip, "zip"},
      // The decisive name lies beyond the first 20 sectors: only a plain archive.
      {{{"big.bin", 20 * 512}, {"word/document.xml", 100}}, kTypeZip, "zip"},
  };
  for (const Case& c : cases) {
    const Bytes zip = carvetest::MakeZip(c.members, 50, "a comment");
    ImageBuilder b;
    b.Zeros(1);
    b.Place(zip);
    b.Random(1, 51);
    b.Zeros(1);
    b.Place(carvetest::MakePng(50, 52));
    Medium medium(b.bytes());
    const Carve carve = CarveAt(ctx, medium, 1);
    ASSERT_EQ(carve.rc, kSuccess) << c.ext;
    EXPECT_EQ(carve.file.typeId, c.type) << c.ext;
    EXPECT_EQ(carve.file.Name(), std::string("1.") + c.ext);
    EXPECT_EQ(carve.file.length, zip.size()) << c.ext;  // the end record's comment included
  }
  // A local header whose name straddles two 4-sector windows is still read.
  std::vector<carvetest::ZipMember> members = {{"a.bin", 4 * 512 - 30 - 5 - 2}, {"xl/styles.xml", 10}};
  const Bytes zip = carvetest::MakeZip(members, 53);
  ASSERT_EQ(zip[4 * 512 - 2], 'P');
  ImageBuilder b;
  b.Place(zip);
  Medium medium(b.bytes());
  EXPECT_EQ(CarveAt(ctx, medium, 0).file.typeId, kTypeXlsx);
  // The real samples.
  for (const char* name : {"sample.docx", "sample.xlsx", "sample.pptx", "sample.zip"}) {
    const Bytes file = carvetest::LoadSample(name);
    ImageBuilder bb;
    bb.Place(file);
    bb.Random(2, 54);
    Medium m(bb.bytes());
    const Carve carve = CarveAt(ctx, m, 0);
    EXPECT_EQ(carve.file.Name(), std::string("0.") + (std::strrchr(name, '.') + 1));
    EXPECT_EQ(carve.file.length, file.size()) << name;
  }
}

TEST_F(ExtentRules, CompoundDocumentsAreTypedAndMeasuredFromTheirFat) {
  const Bytes wordClass = {0x06, 0x09, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                           0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
  const Bytes pptClass = {0x10, 0x8D, 0x81, 0x64, 0x9B, 0x4F, 0xCF, 0x11,
                          0x86, 0xEA, 0x00, 0xAA, 0x00, 0xB9, 0x29, 0xE8};
  struct Case {
    Bytes file;
    FileTypeId type;
  };
  const Case cases[] = {
      {carvetest::MakeCompound(6, {0xEC, 0xA5}, {}, "Data", 60), kTypeDoc},
      {carvetest::MakeCompound(6, {0x09, 0x08, 0x10, 0x00, 0x00, 0x06}, {}, "Data", 61), kTypeXls},
      {carvetest::MakeCompound(6, {}, wordClass, "Data", 62), kTypeDoc},
      {carvetest::MakeCompound(6, {}, pptClass, "Data", 63), kTypePpt},
      {carvetest::MakeCompound(6, {}, {}, "workbook", 64), kTypeXls},
      {carvetest::MakeCompound(6, {}, {}, "PowerPoint Document", 65), kTypePpt},
      {carvetest::MakeCompound(6, {}, {}, "SummaryInformation", 66), kTypeOle},
  };
  for (const Case& c : cases) {
    ImageBuilder b;
    b.Zeros(2);
    b.Place(c.file);
    b.Random(3, 67);
    Medium medium(b.bytes());
    const Carve carve = CarveAt(ctx, medium, 2);
    ASSERT_EQ(carve.rc, kSuccess);
    EXPECT_EQ(carve.file.typeId, c.type);
    EXPECT_EQ(carve.file.length, c.file.size());  // (6 data + FAT + directory + header) × 512
  }
  // The real samples: a workbook and a generic compound file.
  for (const auto& [name, type] : {std::pair{"sample.xls", kTypeXls}, std::pair{"installer.msi", kTypeOle}}) {
    const Bytes file = carvetest::LoadSample(name);
    ImageBuilder b;
    b.Place(file);
    b.Random(2, 68);
    Medium medium(b.bytes());
    const Carve carve = CarveAt(ctx, medium, 0);
    EXPECT_EQ(carve.file.typeId, type) << name;
    EXPECT_EQ(carve.file.length, file.size()) << name;
  }
}

TEST_F(ExtentRules, CompoundEstimateFollowsTheDifatChain) {
  // 300 FAT sectors: 109 in the header, 127 in the first DIFAT sector, 64 in the second.
  Bytes header = carvetest::MakeCompound(1, {0xEC, 0xA5}, {}, "Data", 70);
  header.resize(512);
  carvetest::Put32(header, 44, 300);
  carvetest::Put32(header, 72, 2);
  carvetest::Put32(header, 68, 10);  // first DIFAT sector
  Bytes difat1(512, 0xFF);
  carvetest::Put32(difat1, 127 * 4, 11);
  Bytes difat2(512, 0xFF);
  carvetest::Put32(difat2, ((300 - 109) % 127 - 1) * 4, 12);  // the last FAT sector is document sector 12
  Bytes lastFat(512, 0xFF);
  for (int i = 0; i < 28; ++i) carvetest::Put32(lastFat, 4 * i, 1);  // 100 free entries at the end
  ImageBuilder b;
  b.Place(header);
  b.Random(10, 71);
  b.Place(difat1);  // sector 11: document sector 10
  b.Place(difat2);
  b.Place(lastFat);
  b.Random(4, 72);
  Medium medium(b.bytes());
  ctx.source = &medium.source();
  ctx.sectorSize = 512;
  ctx.fileStartSector = 0;
  EXPECT_EQ(formats::CompoundEstimate(ctx, header), (300u * 128 + 1 - 100) * 512);

  // A chain that ends before its second sector: no estimate; the walk decides.
  carvetest::Put32(difat1, 127 * 4, 0xFFFFFFFE);
  ImageBuilder b2;
  b2.Place(header);
  b2.Random(10, 71);
  b2.Place(difat1);
  b2.Place(difat2);
  b2.Place(lastFat);
  b2.Zeros(2);
  const std::uint64_t next = b2.Place(carvetest::MakeJpeg(10, 73));
  Medium medium2(b2.bytes());
  ctx.source = &medium2.source();
  EXPECT_EQ(formats::CompoundEstimate(ctx, header), 0u);
  EXPECT_EQ(LengthAt(ctx, medium2, 0), next * 512);

  // Out-of-range header fields give no estimate.
  Bytes bad = header;
  carvetest::Put16(bad, 30, 10);  // sector shift
  EXPECT_EQ(formats::CompoundEstimate(ctx, bad), 0u);
  bad = header;
  carvetest::Put32(bad, 72, 1);
  carvetest::Put32(bad, 44, 100);  // DIFAT sectors with fewer than 109 FAT sectors
  EXPECT_EQ(formats::CompoundEstimate(ctx, bad), 0u);
  bad = header;
  carvetest::Put32(bad, 44, 0x2000001);
  EXPECT_EQ(formats::CompoundEstimate(ctx, bad), 0u);
}

TEST_F(ExtentRules, CompoundDocumentWithLargeSectorsUsesItsOwnSectorSize) {
  // Version 4: 4096-byte document sectors, header padded to one such sector.
  Bytes doc(4096, 0);
  const std::uint8_t magic[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  std::memcpy(doc.data(), magic, 8);
  carvetest::Put16(doc, 26, 4);
  carvetest::Put16(doc, 30, 12);
  carvetest::Put32(doc, 44, 1);
  carvetest::Put32(doc, 48, 2);  // directory in document sector 2
  carvetest::Put32(doc, 68, 0xFFFFFFFE);
  for (int i = 0; i < 109; ++i) carvetest::Put32(doc, 76 + 4 * i, 0xFFFFFFFF);
  carvetest::Put32(doc, 76, 1);  // FAT in document sector 1
  Bytes data = test::RandomBytes(4096, 80);
  Bytes fat(4096, 0xFF);
  carvetest::Put32(fat, 0, 0xFFFFFFFE);
  carvetest::Put32(fat, 4, 0xFFFFFFFD);
  carvetest::Put32(fat, 8, 0xFFFFFFFE);
  Bytes dir(4096, 0);
  const char* name = "Workbook";
  for (int i = 0; name[i] != 0; ++i) carvetest::Put16(dir, 128 + 2 * i, static_cast<std::uint8_t>(name[i]));
  carvetest::Put16(dir, 128 + 64, 18);
  carvetest::AppendBytes(doc, data);
  carvetest::AppendBytes(doc, fat);
  carvetest::AppendBytes(doc, dir);
  ImageBuilder b;
  b.Place(doc);
  b.Random(3, 81);
  Medium medium(b.bytes());
  const Carve carve = CarveAt(ctx, medium, 0);
  EXPECT_EQ(carve.file.typeId, kTypeXls);
  EXPECT_EQ(carve.file.length, 4u * 4096);
}

TEST_F(ExtentRules, TransportStreamIsCarvedOnceAndEndsAtTheFirstBrokenPacket) {
  const Bytes ts = carvetest::MakeTs(200, 90);  // 37600 bytes, 74 sectors
  ImageBuilder b;
  b.Zeros(2);
  const std::uint64_t at = b.Place(ts);
  b.Random(3, 91);
  Medium medium(b.bytes());
  const Carve carve = CarveAt(ctx, medium, at);
  ASSERT_EQ(carve.rc, kSuccess);
  EXPECT_EQ(carve.file.typeId, kTypeTs);
  EXPECT_EQ(carve.file.length, ts.size());
  ASSERT_EQ(ctx.tsExtents.size(), 1u);
  EXPECT_EQ(ctx.tsExtents.extents()[0].first, at);
  EXPECT_EQ(ctx.tsExtents.extents()[0].last, at + (ts.size() + 511) / 512 - 1);
  EXPECT_TRUE(ctx.tsStreamMode);

  // The stream's packets meet a sector start again 47 sectors in; the sector before continues
  // the packet grid, so it is not a new stream.
  const std::uint64_t inside = at + 47;
  EXPECT_EQ(CarveAt(ctx, medium, inside).rc, kErrInvalidParameter);
  // A sector inside a carved stream whose predecessor does not continue the grid: still refused
  // while the carved extent covers it.
  Bytes restart = ts;
  for (std::size_t i = 47 * 512 - 2 * 188; i < 47 * 512; ++i) restart[i] = 0;
  ImageBuilder b2;
  b2.Zeros(2);
  b2.Place(restart);
  b2.Random(3, 91);
  Medium medium2(b2.bytes());
  ctx.tsStreamMode = true;
  EXPECT_EQ(CarveAt(ctx, medium2, inside).rc, kErrInvalidParameter);
  // After a carve of another type the strict checks are off: the same sector is reported.
  ImageBuilder b3;
  b3.Place(carvetest::MakeJpeg(50, 92));
  Medium medium3(b3.bytes());
  ASSERT_EQ(CarveAt(ctx, medium3, 0).rc, kSuccess);
  EXPECT_FALSE(ctx.tsStreamMode);
  const Carve again = CarveAt(ctx, medium2, inside);
  EXPECT_EQ(again.rc, kSuccess);
  EXPECT_EQ(again.file.typeId, kTypeTs);

  // The real sample ends where its packets end.
  const Bytes sample = carvetest::LoadSample("sample.ts");
  ImageBuilder b4;
  b4.Place(sample);
  b4.Random(4, 93);
  Medium medium4(b4.bytes());
  ctx.ResetState();
  EXPECT_EQ(LengthAt(ctx, medium4, 0), sample.size());
}

TEST_F(ExtentRules, MtsFlagKeepsAStreamsOwnPatPacketsFromEndingIt) {
  // Every third sector begins a packet; packets after the first carry non-zero time stamps.
  const Bytes mts = carvetest::MakeMts(64, 100);  // 12288 bytes = 24 sectors
  ImageBuilder b;
  b.Place(mts);
  b.Zeros(2);
  const std::uint64_t next = b.Place(carvetest::MakeMts(8, 101));  // time stamp 0: a new stream
  b.Random(2, 102);
  Medium medium(b.bytes());
  const Carve carve = CarveAt(ctx, medium, 0);
  ASSERT_EQ(carve.rc, kSuccess);
  EXPECT_EQ(carve.file.typeId, kTypeMts);
  EXPECT_EQ(carve.file.length, next * 512);
  EXPECT_TRUE(ctx.mtsInProgress);
  // The next call's header test still sees the flag: a packet with a stamp is not a new file...
  EXPECT_EQ(CarveAt(ctx, medium, 3).rc, kErrInvalidParameter);
  // ...and that call cleared it, so now it is.
  EXPECT_FALSE(ctx.mtsInProgress);
  EXPECT_EQ(CarveAt(ctx, medium, 3).file.typeId, kTypeMts);
}

TEST_F(ExtentRules, FootersOfTheOtherFormats) {
  struct Case {
    const char* what;
    Bytes file;
    std::uint64_t expected;  // 0: the file's size
  };
  // MPEG program stream: packs at every sector do not stop the walk; the end code does.
  Bytes mpeg;
  for (int i = 0; i < 12; ++i) {
    Bytes pack = {0, 0, 1, 0xBA, 0x44, 0, 4, 0, 4, 1, 0, 0, 3, 0xF8, 0, 0, 1, 0xBB};
    pack.resize(512, 0x21);
    carvetest::AppendBytes(mpeg, pack);
  }
  carvetest::Append(mpeg, {0, 0, 1, 0xB9});
  Bytes es = {0, 0, 1, 0xB3, 0x14, 0, 0xF0, 0x13, 0xFF, 0xFF, 0xE0, 0x18, 0, 0, 1, 0xB8};
  es.resize(1500, 0x31);
  carvetest::Append(es, {0, 0, 1, 0xB7});
  // RealMedia's closing empty index.
  Bytes rm = {'.', 'R', 'M', 'F'};
  rm.resize(2000, 0x41);
  carvetest::Append(rm, {'I', 'N', 'D', 'X', 0, 0, 0, 0x14, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0});
  rm.resize(rm.size() + 5, 0x42);  // what follows the footer is not part of the file
  // One encoder's closing text in MP4, its non-zero tail included.
  Bytes mp4 = carvetest::SyntheticHeader(kTypeMp4, 110);
  mp4.resize(3000, 0x51);
  carvetest::Append(mp4, "freeIsoMedia File Produced by Someone");
  const std::size_t mp4End = mp4.size();
  mp4.resize(mp4.size() + 20, 0);
  // RAR end-of-archive block (sector-tail rule: one inside data is skipped).
  Bytes rar = carvetest::SyntheticHeader(kTypeRar, 111);
  rar.resize(1000, 0x61);
  carvetest::Append(rar, {0xC4, 0x3D, 0x7B, 0x00, 0x40, 0x07, 0x00});
  rar.resize(1400, 0x62);
  carvetest::Append(rar, {0xC4, 0x3D, 0x7B, 0x00, 0x40, 0x07, 0x00});
  // GIF trailer.
  Bytes gif = carvetest::MakeGif(5000, 112);
  // PDF: the end of line after the last %%EOF belongs to the file.
  Bytes pdfCrlf = carvetest::MakePdf(3000, 113, "\r\n");
  Bytes pdfCr = carvetest::MakePdf(3000, 114, "\r");
  Bytes pdfNone = carvetest::MakePdf(3000, 115, "");
  // MIDI tracks, with "MTrk" inside a track's data.
  Bytes midi = carvetest::MakeMidi({300, 2000, 50}, 116);
  std::memcpy(midi.data() + 14 + 8 + 300 + 8 + 100, "MTrk", 4);
  // 7z: the start header's next-header fields give the length.
  Bytes sevenZip = carvetest::Make7z(6000, 300, 117);
  // APE: a tag footer alone, and a tag with header and footer.
  Bytes ape = {'M', 'A', 'C', ' '};
  ape.resize(3000, 0x71);
  Bytes tag = {'A', 'P', 'E', 'T', 'A', 'G', 'E', 'X', 0xD0, 0x07, 0, 0};
  carvetest::Append32(tag, 32 + 40);
  carvetest::Append32(tag, 1);
  carvetest::Append32(tag, 0);  // footer flags
  tag.resize(32, 0);
  Bytes apeFooterOnly = ape;
  apeFooterOnly.resize(apeFooterOnly.size() + 40, 0x72);
  carvetest::AppendBytes(apeFooterOnly, tag);
  Bytes apeBoth = ape;
  Bytes tagHeader = tag;
  carvetest::Put32(tagHeader, 20, 0xA0000000);
  carvetest::AppendBytes(apeBoth, tagHeader);
  apeBoth.resize(apeBoth.size() + 40, 0x72);
  carvetest::AppendBytes(apeBoth, tag);
  // MP3: ID3v1 tag 128 bytes from "TAG".
  Bytes mp3 = carvetest::SyntheticHeader(kTypeMp3, 118);
  mp3.resize(4000, 0x55);
  carvetest::Append(mp3, "TAG");
  mp3.resize(mp3.size() + 125, 0x20);
  // ICO and TTF directories.
  Bytes ico = carvetest::MakeIco({1000, 3000, 20}, 119);
  Bytes ttf = carvetest::MakeTtf(12, 120);

  const Case cases[] = {
      {"mpeg", mpeg, 0},     {"mpeg es", es, 0},     {"rm", rm, rm.size() - 5},  {"mp4", mp4, mp4End},
      {"rar", rar, 0},       {"gif", gif, 0},        {"pdf crlf", pdfCrlf, 0},   {"pdf cr", pdfCr, 0},
      {"pdf", pdfNone, 0},   {"midi", midi, 0},      {"7z", sevenZip, 0},       {"ape footer", apeFooterOnly, 0},
      {"ape both", apeBoth, 0}, {"mp3", mp3, 0},     {"ico", ico, 0},           {"ttf", ttf, 0},
  };
  for (const Case& c : cases) {
    ImageBuilder b;
    b.Zeros(1);
    b.Place(c.file);
    b.Random(3, 121);
    b.Zeros(1);
    b.Place(carvetest::MakeJpeg(100, 122));
    Medium medium(b.bytes());
    const Carve carve = CarveAt(ctx, medium, 1);
    ASSERT_EQ(carve.rc, kSuccess) << c.what;
    EXPECT_EQ(carve.file.length, c.expected != 0 ? c.expected : c.file.size()) << c.what;
  }
}

TEST_F(ExtentRules, FallbacksWhenTheExactRuleDoesNotApply) {
  // 7z whose start-header CRC is wrong: the property block near the end decides.
  Bytes sevenZip = carvetest::Make7z(3000, 0, 130);
  sevenZip[8] ^= 1;
  const std::size_t block = sevenZip.size();
  carvetest::Append(sevenZip, {0x00, 0x07, 0x0B, 0x01, 0x00, 0x01, 0x23, 0x03, 0x01, 0x01, 0x05, 0x5D});
  sevenZip.resize(sevenZip.size() + 40, 0x13);
  // A linearised PDF: its first object gives the length, so an early %%EOF does not end it.
  Bytes linear;
  carvetest::Append(linear, "%PDF-1.6\n1 0 obj\n<</Linearized 1/L 70000/O 3/E 900/N 1/T 69000/H [ 600 150]>>\nendobj\n");
  carvetest::Append(linear, "trailer\n<</Size 4>>\nstartxref\n0\n%%EOF\n");
  carvetest::AppendBytes(linear, carvetest::RandomAvoiding(70000 - linear.size() - 6, 131, {'%'}));
  carvetest::Append(linear, "%%EOF\n");
  ASSERT_EQ(linear.size(), 70000u);
  // A PDF whose "trailer" falls at the very end of a chunk: its %%EOF is in the next one.
  Bytes split;
  carvetest::Append(split, "%PDF-1.4\n");
  carvetest::AppendBytes(split, carvetest::RandomAvoiding(512 + 65536 - 9 - split.size(), 132, {'%', 't'}));
  carvetest::Append(split, "trailer\n<<>>\nstartxref\n0\n%%EOF\n");
  // A compressed SWF: walked to the next file within its inflated size.
  Bytes cws = {'C', 'W', 'S', 10};
  cws.resize(3000, 0x44);
  carvetest::Put32(cws, 4, 100000);
  struct Case {
    const char* what;
    Bytes file;
    std::uint64_t expected;
  };
  const Case cases[] = {
      {"7z pattern", sevenZip, block + 27},
      {"linearized pdf", linear, linear.size()},
      {"pdf split trailer", split, split.size()},
  };
  for (const Case& c : cases) {
    ImageBuilder b;
    b.Place(c.file);
    b.Random(3, 133);
    b.Zeros(1);
    b.Place(carvetest::MakeJpeg(100, 134));
    Medium medium(b.bytes());
    EXPECT_EQ(LengthAt(ctx, medium, 0), c.expected) << c.what;
  }
  ImageBuilder b;
  b.Place(cws);
  b.Random(3, 135);
  const std::uint64_t next = b.Place(carvetest::MakeJpeg(100, 136));
  Medium medium(b.bytes());
  EXPECT_EQ(LengthAt(ctx, medium, 0), next * 512);
}

TEST_F(ExtentRules, FootersAreFoundAcrossChunkBoundariesButNotPastTheNextFile) {
  // A PNG whose IEND straddles the 64 KiB boundary between the first and second walk chunks.
  const std::size_t chunkEnd = 512 + 65536;
  Bytes png = carvetest::MakePng(chunkEnd - 3 - 8 - 25 - 8 - 4 - 4, 140);
  ASSERT_EQ(png.size(), chunkEnd + 5);
  ImageBuilder b;
  b.Place(png);
  b.Random(2, 141);
  b.Zeros(1);
  b.Place(carvetest::MakeJpeg(100, 142));
  Medium medium(b.bytes());
  EXPECT_EQ(LengthAt(ctx, medium, 0), png.size());
  // Two archives in one chunk: the first ends at its own end record, not the second's.
  const Bytes zip1 = carvetest::MakeZip({{"a.txt", 3000}}, 143);
  const Bytes zip2 = carvetest::MakeZip({{"b.txt", 2000}}, 144);
  ImageBuilder b2;
  b2.Place(zip1);
  b2.Random(2, 145);
  const std::uint64_t second = b2.Place(zip2);
  Medium medium2(b2.bytes());
  EXPECT_EQ(LengthAt(ctx, medium2, 0), zip1.size());
  EXPECT_EQ(LengthAt(ctx, medium2, second), zip2.size());
  // A file with no footer at the end of the medium runs to the medium's end.
  ImageBuilder b3;
  b3.Place(carvetest::SyntheticHeader(kTypeMkv, 146));
  b3.Random(10, 147);
  Medium medium3(b3.bytes());
  EXPECT_EQ(LengthAt(ctx, medium3, 0), 11u * 512);
}

TEST_F(ExtentRules, WalkReportsProgressAndStopsOnCancel) {
  struct Log {
    int calls = 0;
    std::int32_t progress = 0, weight = 0, secondsLeft = 0;
    std::uint64_t done = 0, total = 0, files = 0;
    std::int32_t answer = 0;
  };
  const auto callback = [](void* user, std::int32_t progress, std::int32_t weight, std::int32_t secondsLeft,
                           std::uint64_t done, std::uint64_t total, std::uint64_t files, std::int32_t) {
    Log* log = static_cast<Log*>(user);
    ++log->calls;
    log->progress = progress;
    log->weight = weight;
    log->secondsLeft = secondsLeft;
    log->done = done;
    log->total = total;
    log->files = files;
    return log->answer;
  };
  ImageBuilder b;
  b.Place(carvetest::SyntheticHeader(kTypeTif, 150));
  b.Random(300, 151);  // three chunks
  b.Place(carvetest::MakeJpeg(100, 152));
  Medium medium(b.bytes());
  Log log;
  ctx.SetProgress(callback, &log, 90);
  CarvedFile out;
  ASSERT_EQ(CarveAtSector(ctx, 512, medium.source(), medium.Sector(0), 0, 1000, 2000, 77, 5, &out), kSuccess);
  EXPECT_EQ(out.length, 301u * 512);
  EXPECT_EQ(log.calls, 3);
  EXPECT_EQ(log.weight, 90);
  EXPECT_EQ(log.secondsLeft, 77);
  EXPECT_EQ(log.files, 5u);
  EXPECT_EQ(log.total, 2000u);
  EXPECT_EQ(log.done, 1000u + 301);  // every sector after the header was read
  // The sweep's share of 90 from 10 on, so the figure never passes 100.
  EXPECT_EQ(log.progress, 10 + static_cast<std::int32_t>(1301 * 90 / 2000));

  log = Log{};
  log.answer = kCancelled;
  EXPECT_EQ(CarveAtSector(ctx, 512, medium.source(), medium.Sector(0), 0, 1000, 2000, 77, 5, &out), kCancelled);
  EXPECT_EQ(log.calls, 1);
  EXPECT_EQ(out.length, 512u);  // what was measured before the cancel
  EXPECT_EQ(out.Name(), "0.tif");
  EXPECT_EQ(ctx.lastCallbackResult, kCancelled);
  // Another non-zero answer ends the walk too, but is not a cancel.
  log = Log{};
  log.answer = 5;
  EXPECT_EQ(CarveAtSector(ctx, 512, medium.source(), medium.Sector(0), 0, 1000, 2000, 77, 5, &out), kSuccess);
  EXPECT_EQ(out.length, 512u);
}

TEST_F(ExtentRules, WalkRespectsItsLimitAndTheMpegStopVariant) {
  ImageBuilder b;
  const Bytes header = carvetest::SyntheticHeader(kTypeTif, 160);
  b.Place(header);
  b.Random(20, 161);
  b.Place(carvetest::SyntheticHeader(kTypeMpeg, 162));
  b.Random(4, 163);
  b.Place(carvetest::MakeJpeg(10, 164));
  Medium medium(b.bytes());
  ctx.source = &medium.source();
  ctx.sectorSize = 512;
  WalkParams params;
  params.limit = 10 * 512 + 100;  // ten sectors, the header included
  ctx.fileStartSector = ctx.cursorSector = 0;
  EXPECT_EQ(ExtentWalk(ctx, header, params, nullptr), 10u * 512);
  EXPECT_EQ(ctx.cursorSector, 9u);
  params.limit = 1 << 20;
  ctx.fileStartSector = ctx.cursorSector = 0;
  EXPECT_EQ(ExtentWalk(ctx, header, params, nullptr), 21u * 512);  // the MPEG pack header stops it
  params.mpegStops = true;
  ctx.fileStartSector = ctx.cursorSector = 0;
  EXPECT_EQ(ExtentWalk(ctx, header, params, nullptr), 26u * 512);  // ...except in an MPEG walk

  // The stop scan reports the distance to the first stop sector.
  std::uint64_t length = 1000;
  ctx.cursorSector = 0;
  Bytes chunk = test::RandomBytes(512 * 4, 165);
  std::memcpy(chunk.data() + 1024, "FILE", 4);
  EXPECT_TRUE(ScanChunkForStop(ctx, chunk, length));
  EXPECT_EQ(length, 1000u + 1024);
  EXPECT_EQ(ctx.cursorSector, 3u);
  chunk[1024] = 'X';
  length = 0;
  EXPECT_FALSE(ScanChunkForStop(ctx, chunk, length));
  EXPECT_EQ(length, 0u);
}

TEST_F(ExtentRules, LargeSectorMedia) {
  // 4096-byte sectors: the JPEG's end in its first sector, a PNG over several sectors.
  const Bytes jpeg = carvetest::MakeJpeg(3000, 170);
  const Bytes png = carvetest::MakePng(20000, 171);
  Bytes image(4096 * 40, 0);
  std::copy(jpeg.begin(), jpeg.end(), image.begin());
  std::copy(png.begin(), png.end(), image.begin() + 4096 * 2);
  Medium medium(image);
  Carve c = CarveAt(ctx, medium, 0, 4096);
  EXPECT_EQ(c.file.length, jpeg.size());
  c = CarveAt(ctx, medium, 2, 4096);
  EXPECT_EQ(c.file.length, png.size());
  EXPECT_EQ(c.file.Name(), "2.png");
}

}  // namespace
}  // namespace rexmoor
