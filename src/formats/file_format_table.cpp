#include "formats/file_format_table.h"

#include <array>
#include <cstdlib>

#include "formats/carving_context.h"
#include "formats/compound_document.h"
#include "formats/format_rules.h"
#include "formats/package_typing.h"
#include "formats/text_carving.h"
#include "formats/transport_stream.h"

namespace rexmoor {

namespace {

using namespace formats;

// A header test that looks at the bytes alone, in the shape the table wants.
template <FileTypeId (*Test)(std::span<const std::uint8_t>)>
FileTypeId Pure(CarvingContext&, std::span<const std::uint8_t> bytes) {
  return Test(bytes);
}

// The compound-document rows stand before "fla", whose test checks only the first four magic
// bytes: compound documents are carved under their document types, and "fla" is reported only
// for the short magic without the full compound-file signature.
constexpr FileFormatEntry kRows[] = {
    {"mpeg", kTypeMpeg, Pure<MpegTest>, MpegExtent},
    {"mpg", kTypeMpeg, Pure<MpegTest>, MpegExtent},
    {"vob", kTypeMpeg, Pure<MpegTest>, MpegExtent},
    {"mp4", kTypeMp4, Pure<Mp4Test>, Mp4Extent},
    {"rmvb", kTypeRmvb, Pure<RmTest>, RmExtent},
    {"rm", kTypeRmvb, Pure<RmTest>, RmExtent},
    {"wmv", kTypeWmv, Pure<AsfTest>, AsfExtent},
    {"asf", kTypeWmv, Pure<AsfTest>, AsfExtent},
    {"wma", kTypeWmv, Pure<AsfTest>, AsfExtent},
    {"swf", kTypeSwf, Pure<SwfTest>, SwfExtent},
    {"avi", kTypeAvi, Pure<AviTest>, RiffExtent},
    {"flv", kTypeFlv, Pure<FlvTest>, FlvExtent},
    {"3gp", kType3gp, Pure<ThreeGpTest>, IsoMediaExtent},
    {"mkv", kTypeMkv, Pure<MkvTest>, MkvExtent},
    {"ts", kTypeTs, TsTest, TsExtent},
    {"mts", kTypeMts, MtsTest, MtsExtent},
    {"mxf", kTypeMxf, Pure<MxfTest>, MxfExtent},
    {"mp3", kTypeMp3, Mp3Test, Mp3Extent},
    {"mid", kTypeMid, Pure<MidiTest>, MidiExtent},
    {"ape", kTypeApe, Pure<ApeTest>, ApeExtent},
    {"wav", kTypeWav, Pure<WavTest>, RiffExtent},
    {"mov", kTypeMov, Pure<MovTest>, IsoMediaExtent},
    {"mp2", kTypeMp2, Mp2Test, Mp2Extent},
    {"mmf", kTypeMmf, Pure<MmfTest>, MmfExtent},
    {"gif", kTypeGif, Pure<GifTest>, GifExtent},
    {"bmp", kTypeBmp, Pure<BmpTest>, BmpExtent},
    {"dib", kTypeBmp, Pure<BmpTest>, BmpExtent},
    {"jpg", kTypeJpg, Pure<JpegTest>, JpegExtent},
    {"jpeg", kTypeJpg, Pure<JpegTest>, JpegExtent},
    {"jpe", kTypeJpg, Pure<JpegTest>, JpegExtent},
    {"jfif", kTypeJpg, Pure<JpegTest>, JpegExtent},
    {"png", kTypePng, Pure<PngTest>, PngExtent},
    {"psd", kTypePsd, Pure<PsdTest>, PsdExtent},
    {"tif", kTypeTif, Pure<TifTest>, TifExtent},
    {"tiff", kTypeTif, Pure<TifTest>, TifExtent},
    {"ico", kTypeIco, Pure<IcoTest>, IcoExtent},
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
    {"fla", kTypeFla, Pure<FlaTest>, FlaExtent},
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
    {"pdf", kTypePdf, Pure<PdfTest>, PdfExtent},
    {"gz", kTypeGz, Pure<GzTest>, GzExtent},
    {"gzip", kTypeGz, Pure<GzTest>, GzExtent},
    {"7z", kType7z, Pure<SevenZipTest>, SevenZipExtent},
    {"zip", kTypeZip, Pure<ZipTest>, ZipExtent},
    {"rar", kTypeRar, Pure<RarTest>, RarExtent},
    {"cab", kTypeCab, Pure<CabTest>, CabExtent},
    {"exe", kTypeExe, Pure<PeTest>, nullptr},
    {"dll", kTypeDll, Pure<PeTest>, nullptr},
    {"sys", kTypeSys, Pure<PeTest>, nullptr},
    {"gho", kTypeGho, Pure<GhoTest>, nullptr},
    {"db", kTypeDb, Pure<SqliteTest>, SqliteExtent},
    {"dbx", kTypeDbx, Pure<DbxTest>, Walk2GiBExtent},
    {"pst", kTypePst, Pure<PstTest>, Walk2GiBExtent},
    {"fla", kTypeFla, Pure<FlaTest>, FlaExtent},
    {"ttf", kTypeTtf, Pure<TtfTest>, TtfExtent},
    {"ico", kTypeIco, Pure<IcoTest>, IcoExtent},
    // Camera raws: the TIFF and ISO-media rows above already report them, so these rows give
    // them their extensions and keep the earlier rows' priority.
    {"cr2", kTypeCr2, Pure<TifTest>, TifExtent},
    {"nef", kTypeNef, Pure<TifTest>, TifExtent},
    {"nrw", kTypeNef, Pure<TifTest>, TifExtent},
    {"arw", kTypeArw, Pure<TifTest>, TifExtent},
    {"sr2", kTypeArw, Pure<TifTest>, TifExtent},
    {"srf", kTypeArw, Pure<TifTest>, TifExtent},
    {"dng", kTypeDng, Pure<TifTest>, TifExtent},
    {"orf", kTypeOrf, Pure<TifTest>, TifExtent},
    {"rw2", kTypeRw2, Pure<TifTest>, TifExtent},
    {"pef", kTypePef, Pure<TifTest>, TifExtent},
    {"srw", kTypeSrw, Pure<TifTest>, TifExtent},
    {"cr3", kTypeCr3, Pure<Mp4Test>, IsoMediaExtent},
    {"raf", kTypeRaf, Pure<RafTest>, RafExtent},
    {"webp", kTypeWebp, Pure<WebpTest>, WebpExtent},
    // One test names heic or avif by the brands, so both HEIF rows and the AVIF row share it.
    {"heic", kTypeHeic, Pure<HeifTest>, HeifExtent},
    {"heif", kTypeHeic, Pure<HeifTest>, HeifExtent},
    {"avif", kTypeAvif, Pure<HeifTest>, HeifExtent},
    {"jxl", kTypeJxl, Pure<JxlTest>, JxlExtent},
    {"flac", kTypeFlac, Pure<FlacTest>, FlacExtent},
    {"ogg", kTypeOgg, Pure<OggTest>, OggExtent},
    {"oga", kTypeOgg, Pure<OggTest>, OggExtent},
    {"ogv", kTypeOgg, Pure<OggTest>, OggExtent},
    {"opus", kTypeOpus, Pure<OggTest>, OggExtent},
    // The MP4 and Matroska tests, far above, give these ids for audio brands and WebM.
    {"m4a", kTypeM4a, Pure<Mp4Test>, Mp4Extent},
    {"m4b", kTypeM4a, Pure<Mp4Test>, Mp4Extent},
    {"aiff", kTypeAiff, Pure<AiffTest>, AiffExtent},
    {"aif", kTypeAiff, Pure<AiffTest>, AiffExtent},
    {"aifc", kTypeAiff, Pure<AiffTest>, AiffExtent},
    {"webm", kTypeWebm, Pure<MkvTest>, MkvExtent},
    {"aac", kTypeAac, AacTest, AacExtent},
    {"amr", kTypeAmr, Pure<AmrTest>, AmrExtent},
    {"awb", kTypeAmr, Pure<AmrTest>, AmrExtent},
    {"caf", kTypeCaf, Pure<CafTest>, CafExtent},
    {"wv", kTypeWv, Pure<WvTest>, WvExtent},
    {"dsf", kTypeDsf, Pure<DsfTest>, DsfExtent},
    // The MP4 test gives this id for the M4V brands.
    {"m4v", kTypeM4v, Pure<Mp4Test>, Mp4Extent},
    {"crw", kTypeCrw, Pure<CrwTest>, CrwExtent},
    {"mrw", kTypeMrw, Pure<MrwTest>, MrwExtent},
    {"x3f", kTypeX3f, Pure<X3fTest>, X3fExtent},
    // More raws the TIFF test, far above, reports by their Make and markers.
    {"erf", kTypeErf, Pure<TifTest>, TifExtent},
    {"3fr", kType3fr, Pure<TifTest>, TifExtent},
    {"kdc", kTypeKdc, Pure<TifTest>, TifExtent},
    {"dcr", kTypeDcr, Pure<TifTest>, TifExtent},
    {"mef", kTypeMef, Pure<TifTest>, TifExtent},
    {"mos", kTypeMos, Pure<TifTest>, TifExtent},
    {"iiq", kTypeIiq, Pure<TifTest>, TifExtent},
    // The package test and the zip test, far above, give these ids by the stored "mimetype".
    {"odt", kTypeOdt, Pure<ZipTest>, ZipExtent},
    {"ods", kTypeOds, Pure<ZipTest>, ZipExtent},
    {"odp", kTypeOdp, Pure<ZipTest>, ZipExtent},
    {"odg", kTypeOdg, Pure<ZipTest>, ZipExtent},
    {"epub", kTypeEpub, Pure<ZipTest>, ZipExtent},
    {"rtf", kTypeRtf, Pure<RtfTest>, RtfExtent},
    // A binary plist by its own test; an XML one is told by the text test below.
    {"plist", kTypePlist, Pure<BinaryPlistTest>, PlistExtent},
    // Text last: every binary format keeps its priority.
    {"txt", kTypeTxt, Pure<TextTest>, TextExtent},
    {"html", kTypeHtml, Pure<TextTest>, TextExtent},
    {"xml", kTypeXml, Pure<TextTest>, TextExtent},
    {"json", kTypeJson, Pure<TextTest>, TextExtent},
    {"csv", kTypeCsv, Pure<TextTest>, TextExtent},
    {"eml", kTypeEml, Pure<TextTest>, TextExtent},
    {"c", kTypeC, Pure<TextTest>, TextExtent},
    {"py", kTypePy, Pure<TextTest>, TextExtent},
    {"sh", kTypeSh, Pure<TextTest>, TextExtent},
    {"mbox", kTypeMbox, Pure<TextTest>, TextExtent},
    {"vcf", kTypeVcf, Pure<TextTest>, TextExtent},
    {"ics", kTypeIcs, Pure<TextTest>, TextExtent},
    {"svg", kTypeSvg, Pure<TextTest>, TextExtent},
};
static_assert(std::size(kRows) == kFileFormatRowCount);

// Rows of the text test: text stops no file. (A binary plist shares its type with XML plists,
// which are text, but its own test reads a binary signature that does end a file.)
bool IsTextRow(const FileFormatEntry& row) { return row.headerTest == Pure<TextTest>; }

// Text begins with a printable ASCII byte, a line break or tab, a UTF-8 lead byte or byte-order
// mark, or (UTF-16 big-endian) a zero.
constexpr char kTextFirstBytes[] =
    "\t\n\f\r !\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~"
    "\xC2\xC3\xC4\xC5\xC6\xC7\xC8\xC9\xCA\xCB\xCC\xCD\xCE\xCF\xD0\xD1\xD2\xD3\xD4\xD5\xD6\xD7\xD8\xD9\xDA"
    "\xDB\xDC\xDD\xDE\xDF\xE0\xE1\xE2\xE3\xE4\xE5\xE6\xE7\xE8\xE9\xEA\xEB\xEC\xED\xEE\xEF\xF0\xF1\xF2"
    "\xF3\xF4\xFE\xFF\x00";

// The first bytes each header test can accept; null for tests that do not look at byte 0
// (a box type at offset 4, a packet pattern at offset 8, a package name at offset 31).
struct TestFirstBytes {
  HeaderTest test;
  const char* firstBytes;
  std::size_t count;
};

constexpr TestFirstBytes kFirstBytes[] = {
    {Pure<MpegTest>, "\x00", 1},  {Pure<Mp4Test>, nullptr, 0},   {Pure<RmTest>, ".", 1},       {Pure<AsfTest>, "\x30", 1},
    {Pure<SwfTest>, "CF", 2},     {Pure<AviTest>, "R", 1},       {Pure<FlvTest>, "F", 1},      {Pure<ThreeGpTest>, nullptr, 0},
    {Pure<MkvTest>, "\x1A", 1},   {TsTest, "\x47", 1},     {MtsTest, nullptr, 0},  {Pure<MxfTest>, "\x06", 1},
    {Mp3Test, "I\xFF", 2},        {Pure<MidiTest>, "M", 1},      {Pure<ApeTest>, "M", 1},      {Pure<WavTest>, "R", 1},
    {Pure<MovTest>, nullptr, 0},  {Mp2Test, "\xFF", 1},          {Pure<MmfTest>, "M", 1},      {Pure<GifTest>, "G", 1},
    {Pure<BmpTest>, "B", 1},      {Pure<JpegTest>, "\xFF", 1},   {Pure<PngTest>, "\x89", 1},   {Pure<PsdTest>, "8", 1},
    {Pure<TifTest>, "MI", 2},     {Pure<IcoTest>, "\x00", 1},    {CompoundTest, "\xD0", 1}, {Pure<FlaTest>, "\xD0", 1},
    {PackageTest, nullptr, 0}, {Pure<PdfTest>, "%", 1},    {Pure<GzTest>, "\x1F", 1},    {Pure<SevenZipTest>, "7", 1},
    {Pure<ZipTest>, "P", 1},      {Pure<RarTest>, "R", 1},       {Pure<CabTest>, "M", 1},      {Pure<PeTest>, "M", 1},
    {Pure<GhoTest>, "\xFE", 1},   {Pure<SqliteTest>, "S", 1},    {Pure<DbxTest>, "\xCF", 1},   {Pure<PstTest>, "!", 1},
    {Pure<TtfTest>, "\x00", 1},   {Pure<RafTest>, "F", 1},       {Pure<WebpTest>, "R", 1},      {Pure<HeifTest>, "\x00", 1},
    {Pure<JxlTest>, "\x00\xFF", 2},     {Pure<FlacTest>, "f", 1},      {Pure<OggTest>, "O", 1},      {Pure<AiffTest>, "F", 1},
    {AacTest, "\xFF", 1},          {Pure<AmrTest>, "#", 1},       {Pure<CafTest>, "c", 1},      {Pure<WvTest>, "w", 1},
    {Pure<DsfTest>, "D", 1},
    {Pure<CrwTest>, "I", 1},      {Pure<MrwTest>, "\x00", 1},   {Pure<X3fTest>, "F", 1},
    {Pure<RtfTest>, "{", 1},      {Pure<BinaryPlistTest>, "b", 1},
    {Pure<TextTest>, kTextFirstBytes, sizeof kTextFirstBytes - 1},
};

constexpr std::size_t kMaxUniqueTests = 70;
constexpr std::size_t kMaxCandidates = 16;

struct Dispatch {
  std::array<HeaderTest, kMaxUniqueTests> tests{};
  std::array<bool, kMaxUniqueTests> isMpeg{};
  std::array<bool, kMaxUniqueTests> isText{};
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
      d.isText[d.testCount] = IsTextRow(row);
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

FileTypeId RecogniseHeader(CarvingContext& ctx, std::span<const std::uint8_t> bytes, bool skipMpeg) {
  for (const FileFormatEntry& row : kRows) {
    if (skipMpeg && row.typeId == kTypeMpeg) continue;
    if (ctx.stopScan && IsTextRow(row)) continue;
    const FileTypeId id = row.headerTest(ctx, bytes);
    if (id != kTypeNone) return id;
  }
  return kTypeNone;
}

FileTypeId RecogniseHeaderFast(CarvingContext& ctx, std::span<const std::uint8_t> bytes, bool skipMpeg) {
  if (bytes.empty()) return kTypeNone;  // every test wants some bytes
  const Dispatch& kDispatch = TheDispatch();
  const std::uint8_t first = bytes[0];
  const std::uint8_t count = kDispatch.candidateCount[first];
  const std::uint8_t* list = kDispatch.candidates[first].data();
  for (std::uint8_t i = 0; i < count; ++i) {
    const std::uint8_t t = list[i];
    if (skipMpeg && kDispatch.isMpeg[t]) continue;
    if (ctx.stopScan && kDispatch.isText[t]) continue;  // text stops no file
    const FileTypeId id = kDispatch.tests[t](ctx, bytes);
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
