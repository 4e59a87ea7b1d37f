#include "formats/file_format_table.h"

#include <array>
#include <cstdlib>

#include "formats/compound_document.h"
#include "formats/format_rules.h"
#include "formats/package_typing.h"
#include "formats/transport_stream.h"

namespace rexmoor {

namespace {

using namespace formats;

// The compound-document rows stand before "fla", whose test checks only the first four magic
// bytes: compound documents are carved under their document types, and "fla" is reported only
// for the short magic without the full compound-file signature.
constexpr FileFormatEntry kRows[] = {
    {"mpeg", kTypeMpeg, MpegTest, MpegExtent},
    {"mpg", kTypeMpeg, MpegTest, MpegExtent},
    {"vob", kTypeMpeg, MpegTest, MpegExtent},
    {"mp4", kTypeMp4, Mp4Test, Mp4Extent},
    {"rmvb", kTypeRmvb, RmTest, RmExtent},
    {"rm", kTypeRmvb, RmTest, RmExtent},
    {"wmv", kTypeWmv, AsfTest, AsfExtent},
    {"asf", kTypeWmv, AsfTest, AsfExtent},
    {"wma", kTypeWmv, AsfTest, AsfExtent},
    {"swf", kTypeSwf, SwfTest, SwfExtent},
    {"avi", kTypeAvi, AviTest, RiffExtent},
    {"flv", kTypeFlv, FlvTest, VideoWalkExtent},
    {"3gp", kType3gp, ThreeGpTest, VideoWalkExtent},
    {"mkv", kTypeMkv, MkvTest, MkvExtent},
    {"ts", kTypeTs, TsTest, TsExtent},
    {"mts", kTypeMts, MtsTest, VideoWalkExtent},
    {"mxf", kTypeMxf, MxfTest, VideoWalkExtent},
    {"mp3", kTypeMp3, Mp3Test, Mp3Extent},
    {"mid", kTypeMid, MidiTest, MidiExtent},
    {"ape", kTypeApe, ApeTest, ApeExtent},
    {"wav", kTypeWav, WavTest, RiffExtent},
    {"mov", kTypeMov, MovTest, VideoWalkExtent},
    {"mp2", kTypeMp2, Mp2Test, Mp2Extent},
    {"mmf", kTypeMmf, MmfTest, MmfExtent},
    {"gif", kTypeGif, GifTest, GifExtent},
    {"bmp", kTypeBmp, BmpTest, BmpExtent},
    {"dib", kTypeBmp, BmpTest, BmpExtent},
    {"jpg", kTypeJpg, JpegTest, JpegExtent},
    {"jpeg", kTypeJpg, JpegTest, JpegExtent},
    {"jpe", kTypeJpg, JpegTest, JpegExtent},
    {"jfif", kTypeJpg, JpegTest, JpegExtent},
    {"png", kTypePng, PngTest, PngExtent},
    {"psd", kTypePsd, PsdTest, PictureWalkExtent},
    {"tif", kTypeTif, TifTest, PictureWalkExtent},
    {"tiff", kTypeTif, TifTest, PictureWalkExtent},
    {"ico", kTypeIco, IcoTest, IcoExtent},
    {"doc", kTypeDoc, CompoundTest, CompoundExtent},
    {"dot", kTypeDoc, CompoundTest, CompoundExtent},
    {"wps", kTypeDoc, CompoundTest, CompoundExtent},
    {"wpt", kTypeDoc, CompoundTest, CompoundExtent},
    {"xls", kTypeXls, CompoundTest, CompoundExtent},
    {"xlt", kTypeXls, CompoundTest, CompoundExtent},
    {"xla", kTypeXls, CompoundTest, CompoundExtent},
    {"et", kTypeXls, CompoundTest, CompoundExtent},
    {"ett", kTypeXls, CompoundTest, CompoundExtent},
    {"ppt", kTypePpt, CompoundTest, CompoundExtent},
    {"pot", kTypePpt, CompoundTest, CompoundExtent},
    {"pps", kTypePpt, CompoundTest, CompoundExtent},
    {"dps", kTypePpt, CompoundTest, CompoundExtent},
    {"dpt", kTypePpt, CompoundTest, CompoundExtent},
    {"ole", kTypeOle, CompoundTest, CompoundExtent},
    {"fla", kTypeFla, FlaTest, FlaExtent},
    {"docx", kTypeDocx, PackageTest, PackageExtent},
    {"docm", kTypeDocx, PackageTest, PackageExtent},
    {"dotm", kTypeDocx, PackageTest, PackageExtent},
    {"dotx", kTypeDocx, PackageTest, PackageExtent},
    {"xlsx", kTypeXlsx, PackageTest, PackageExtent},
    {"xlsb", kTypeXlsx, PackageTest, PackageExtent},
    {"xlsm", kTypeXlsx, PackageTest, PackageExtent},
    {"xlsx", kTypeXlsx, PackageTest, PackageExtent},
    {"xlam", kTypeXlsx, PackageTest, PackageExtent},
    {"xltx", kTypeXlsx, PackageTest, PackageExtent},
    {"xltm", kTypeXlsx, PackageTest, PackageExtent},
    {"pptx", kTypePptx, PackageTest, PackageExtent},
    {"pptm", kTypePptx, PackageTest, PackageExtent},
    {"potx", kTypePptx, PackageTest, PackageExtent},
    {"potm", kTypePptx, PackageTest, PackageExtent},
    {"ppsx", kTypePptx, PackageTest, PackageExtent},
    {"ppsm", kTypePptx, PackageTest, PackageExtent},
    {"mso07", kTypeMso07, PackageTest, PackageExtent},
    {"pdf", kTypePdf, PdfTest, PdfExtent},
    {"gz", kTypeGz, GzTest, VideoWalkExtent},
    {"gzip", kTypeGz, GzTest, VideoWalkExtent},
    {"7z", kType7z, SevenZipTest, SevenZipExtent},
    {"zip", kTypeZip, ZipTest, ZipExtent},
    {"rar", kTypeRar, RarTest, RarExtent},
    {"cab", kTypeCab, CabTest, CabExtent},
    {"exe", kTypeExe, PeTest, nullptr},
    {"dll", kTypeDll, PeTest, nullptr},
    {"sys", kTypeSys, PeTest, nullptr},
    {"gho", kTypeGho, GhoTest, nullptr},
    {"db", kTypeDb, SqliteTest, Walk4GiBExtent},
    {"dbx", kTypeDbx, DbxTest, Walk2GiBExtent},
    {"pst", kTypePst, PstTest, Walk2GiBExtent},
    {"fla", kTypeFla, FlaTest, FlaExtent},
    {"ttf", kTypeTtf, TtfTest, TtfExtent},
    {"ico", kTypeIco, IcoTest, IcoExtent},
};
static_assert(std::size(kRows) == kFileFormatRowCount);

// The first bytes each header test can accept; null for tests that do not look at byte 0
// (a box type at offset 4, a packet pattern at offset 8, a package name at offset 31).
struct TestFirstBytes {
  HeaderTest test;
  const char* firstBytes;
  std::size_t count;
};

constexpr TestFirstBytes kFirstBytes[] = {
    {MpegTest, "\x00", 1},  {Mp4Test, nullptr, 0},   {RmTest, ".", 1},       {AsfTest, "\x30", 1},
    {SwfTest, "CF", 2},     {AviTest, "R", 1},       {FlvTest, "F", 1},      {ThreeGpTest, nullptr, 0},
    {MkvTest, "\x1A", 1},   {TsTest, "\x47", 1},     {MtsTest, nullptr, 0},  {MxfTest, "\x06", 1},
    {Mp3Test, "I", 1},      {MidiTest, "M", 1},      {ApeTest, "M", 1},      {WavTest, "R", 1},
    {MovTest, nullptr, 0},  {Mp2Test, "\xFF", 1},    {MmfTest, "M", 1},      {GifTest, "G", 1},
    {BmpTest, "B", 1},      {JpegTest, "\xFF", 1},   {PngTest, "\x89", 1},   {PsdTest, "8", 1},
    {TifTest, "MI", 2},     {IcoTest, "\x00", 1},    {CompoundTest, "\xD0", 1}, {FlaTest, "\xD0", 1},
    {PackageTest, nullptr, 0}, {PdfTest, "%", 1},    {GzTest, "\x1F", 1},    {SevenZipTest, "7", 1},
    {ZipTest, "P", 1},      {RarTest, "R", 1},       {CabTest, "M", 1},      {PeTest, "M", 1},
    {GhoTest, "\xFE", 1},   {SqliteTest, "S", 1},    {DbxTest, "\xCF", 1},   {PstTest, "!", 1},
    {TtfTest, "\x00", 1},
};

constexpr std::size_t kMaxUniqueTests = 48;
constexpr std::size_t kMaxCandidates = 16;

struct Dispatch {
  std::array<HeaderTest, kMaxUniqueTests> tests{};
  std::array<bool, kMaxUniqueTests> isMpeg{};
  std::size_t testCount = 0;
  // For each first byte, the unique tests to try, in table order.
  std::array<std::array<std::uint8_t, kMaxCandidates>, 256> candidates{};
  std::array<std::uint8_t, 256> candidateCount{};
  std::array<const FileFormatEntry*, kFileTypeCount> firstRow{};
};

const TestFirstBytes* FirstBytesOf(HeaderTest test) {
  for (const TestFirstBytes& info : kFirstBytes) {
    if (info.test == test) return &info;
  }
  return nullptr;
}

bool AcceptsFirstByte(HeaderTest test, int byte) {
  const TestFirstBytes* info = FirstBytesOf(test);
  if (info == nullptr || info->firstBytes == nullptr) return true;  // unknown: always tried
  for (std::size_t i = 0; i < info->count; ++i) {
    if (static_cast<std::uint8_t>(info->firstBytes[i]) == byte) return true;
  }
  return false;
}

Dispatch BuildDispatch() {
  Dispatch d{};
  for (const FileFormatEntry& row : kRows) {
    bool seen = false;
    for (std::size_t i = 0; i < d.testCount; ++i) seen = seen || d.tests[i] == row.headerTest;
    if (!seen) {
      if (d.testCount == kMaxUniqueTests) std::abort();  // the arrays above are too small
      d.isMpeg[d.testCount] = row.typeId == kTypeMpeg;
      d.tests[d.testCount++] = row.headerTest;
    }
    if (row.typeId >= 0 && row.typeId < kFileTypeCount && d.firstRow[row.typeId] == nullptr)
      d.firstRow[row.typeId] = &row;
  }
  for (int byte = 0; byte < 256; ++byte) {
    for (std::size_t i = 0; i < d.testCount; ++i) {
      if (!AcceptsFirstByte(d.tests[i], byte)) continue;
      if (d.candidateCount[byte] == kMaxCandidates) std::abort();  // the arrays above are too small
      d.candidates[byte][d.candidateCount[byte]++] = static_cast<std::uint8_t>(i);
    }
  }
  return d;
}

// Built once, on first use, from the table itself.
const Dispatch& TheDispatch() {
  static const Dispatch dispatch = BuildDispatch();
  return dispatch;
}

bool SameExtension(std::string_view a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size(); ++i) {
    if (b[i] == 0) return false;
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != b[i]) return false;
  }
  return b[i] == 0;
}

}  // namespace

std::span<const FileFormatEntry> FileFormatTable() { return kRows; }

FileTypeId RecogniseHeader(std::span<const std::uint8_t> bytes, bool skipMpeg) {
  for (const FileFormatEntry& row : kRows) {
    if (skipMpeg && row.typeId == kTypeMpeg) continue;
    const FileTypeId id = row.headerTest(bytes);
    if (id != kTypeNone) return id;
  }
  return kTypeNone;
}

FileTypeId RecogniseHeaderFast(std::span<const std::uint8_t> bytes, bool skipMpeg) {
  if (bytes.empty()) return kTypeNone;  // every test wants some bytes
  const Dispatch& kDispatch = TheDispatch();
  const std::uint8_t first = bytes[0];
  const std::uint8_t count = kDispatch.candidateCount[first];
  const std::uint8_t* list = kDispatch.candidates[first].data();
  for (std::uint8_t i = 0; i < count; ++i) {
    const std::uint8_t t = list[i];
    if (skipMpeg && kDispatch.isMpeg[t]) continue;
    const FileTypeId id = kDispatch.tests[t](bytes);
    if (id != kTypeNone) return id;
  }
  return kTypeNone;
}

const FileFormatEntry* FindFormatByExtension(std::string_view extension) {
  for (const FileFormatEntry& row : kRows) {
    if (SameExtension(extension, row.extension)) return &row;
  }
  return nullptr;
}

const FileFormatEntry* FirstRowForType(FileTypeId typeId) {
  if (typeId < 0 || typeId >= kFileTypeCount) return nullptr;
  return TheDispatch().firstRow[typeId];
}

std::string_view ExtensionForType(FileTypeId typeId) {
  const FileFormatEntry* row = FirstRowForType(typeId);
  return row != nullptr ? std::string_view(row->extension) : std::string_view();
}

}  // namespace rexmoor
