// Every in-process converter of the preview against damaged and hostile files: truncated and
// byte-mutated copies of real documents, the same with the XML inside the zip mutated instead
// (so that the XML readers, not only the zip reader, see the damage), and random bytes. Each
// must end with text within its limits or a clean failure; the sanitizers watch for the rest.
#include <gtest/gtest.h>

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "office_builders.h"
#include "preview/document_view.h"
#include "preview/office_text.h"
#include "preview/pdf_page.h"
#include "preview/preview_text.h"
#include "test_support.h"

namespace rexmoor {
namespace {

namespace fs = std::filesystem;
using test::Parts;

const fs::path kSamples = fs::path(REXMOOR_TEST_SOURCE_DIR) / "samples" / "files";
constexpr int kRounds = 200;

Parts ReadZip(const std::string& path) {
  Parts parts;
  archive* zip = archive_read_new();
  archive_read_support_format_zip(zip);
  if (archive_read_open_filename(zip, path.c_str(), 65536) == ARCHIVE_OK) {
    archive_entry* entry;
    while (archive_read_next_header(zip, &entry) == ARCHIVE_OK) {
      std::string data;
      char buffer[65536];
      la_ssize_t n;
      while ((n = archive_read_data(zip, buffer, sizeof buffer)) > 0) data.append(buffer, static_cast<std::size_t>(n));
      parts.push_back({archive_entry_pathname(entry), data});
    }
  }
  archive_read_free(zip);
  return parts;
}

void Mutate(std::string& bytes, std::mt19937& random) {
  if (bytes.empty()) return;
  const std::size_t flips = 1 + random() % 16;
  for (std::size_t i = 0; i < flips; ++i) {
    const std::size_t at = random() % bytes.size();
    switch (random() % 4) {
      case 0:
        bytes[at] = static_cast<char>(random());
        break;
      case 1:  // the characters that matter most to XML and CSV
        bytes[at] = "<>\"&/=;,\n\0"[random() % 10];
        break;
      case 2:
        bytes.insert(at, std::string(1 + random() % 8, bytes[at]));
        break;
      default:
        bytes.erase(at, 1 + random() % 8);
    }
    if (bytes.empty()) return;
  }
}

struct Figures {
  int run = 0, converted = 0, failed = 0;
  double seconds = 0;
};

// What a converter's successful text must look like.
void CheckText(const std::string& extension, const std::string& text) {
  ASSERT_EQ(ValidUtf8(text), text) << extension << ": not valid UTF-8";
  const std::size_t characters = CountCharacters(text);
  if (extension == "docx" || extension == "odt") {
    EXPECT_LE(characters, kPreviewWordCharacters) << extension;
  } else if (extension == "pptx" || extension == "odp") {
    EXPECT_LE(characters, kPreviewPresentationCharacters) << extension;
  } else if (extension != "pdf") {
    std::size_t rows = 0, start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
      ++rows;
      const std::string row = text.substr(start, end - start);
      EXPECT_LT(static_cast<std::size_t>(std::count(row.begin(), row.end(), '\t')), CellGrid::kColumns) << extension;
    }
    EXPECT_LE(rows, CellGrid::kRows) << extension;
    EXPECT_EQ(start, text.size()) << extension;
  }
}

class PreviewHostileTest : public ::testing::Test {
 protected:
  // Runs the converter over kRounds damaged versions of the seeds (whole files; for zips also
  // their parts, damaged inside) and random bytes.
  Figures Sweep(const std::string& extension, ConverterKind kind, const std::vector<std::string>& seeds,
                std::uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<std::string> files;
    std::vector<Parts> packages;
    for (const std::string& path : seeds) {
      files.push_back(test::ReadWholeFile(path));
      EXPECT_FALSE(files.back().empty()) << path;
      Parts parts = ReadZip(path);
      if (!parts.empty()) packages.push_back(std::move(parts));
    }
    const std::string png = dir_ / "page.png";
    auto view = MakeDocumentView(kind, png);
    EXPECT_NE(view, nullptr);
    if (view == nullptr) return {};
    Figures figures;
    const auto start = std::chrono::steady_clock::now();
    const std::string path = dir_ / ("hostile." + extension);
    for (int round = 0; round < kRounds; ++round) {
      const int way = round % 10;
      if (way < 3 || (way < 6 && packages.empty())) {
        // Truncated, and sometimes mutated too.
        std::string bytes = files[random() % files.size()];
        bytes.resize(random() % bytes.size());
        if (way == 2) Mutate(bytes, random);
        test::WriteWholeFile(path, bytes);
      } else if (way < 6) {
        // One part of a package damaged, the package otherwise sound.
        Parts parts = packages[random() % packages.size()];
        std::string& part = parts[random() % parts.size()].second;
        if (way == 5)
          part.resize(random() % (part.size() + 1));
        else
          Mutate(part, random);
        test::WriteZip(path, parts, round % 2 == 0);
      } else if (way < 9) {
        std::string bytes = files[random() % files.size()];
        Mutate(bytes, random);
        test::WriteWholeFile(path, bytes);
      } else {
        std::string bytes(random() % 20000, '\0');
        for (char& c : bytes) c = static_cast<char>(random());
        if (round % 20 == 9) bytes.insert(0, round % 40 == 9 ? "PK\x03\x04" : "%PDF-1.4\n");
        test::WriteWholeFile(path, bytes);
      }
      std::string text;
      const Result result = view->Convert(path, text);
      ++figures.run;
      if (result == kSuccess) {
        ++figures.converted;
        if (kind == ConverterKind::Pdf) {
          EXPECT_EQ(text, png);
          EXPECT_EQ(test::ReadWholeFile(png).substr(0, 8), "\x89PNG\r\n\x1A\n");
        } else {
          CheckText(extension, text);
        }
      } else {
        ++figures.failed;
        EXPECT_EQ(result, kErrInvalidParameter) << extension << " round " << round;
        EXPECT_TRUE(text.empty()) << extension << " round " << round;
      }
    }
    figures.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("[ hostile  ] %-5s %d files: %d converted, %d failed cleanly, %.1f s\n", extension.c_str(), figures.run,
                figures.converted, figures.failed, figures.seconds);
    RecordProperty(extension + "_converted", figures.converted);
    RecordProperty(extension + "_failed", figures.failed);
    return figures;
  }

  std::string Built(const std::string& name, const Parts& parts) {
    const std::string path = dir_ / name;
    test::WriteZip(path, parts);
    return path;
  }

  test::TempDir dir_;
};

TEST_F(PreviewHostileTest, WordProcessorFiles) {
  const std::string body =
      "<w:p><w:pPr><w:tabs><w:tab w:pos=\"720\"/></w:tabs></w:pPr><w:r><w:t>A</w:t><w:tab/><w:t>b</w:t><w:br/></w:r></w:p>"
      "<w:p><w:r><mc:AlternateContent><mc:Choice><w:t>choice</w:t></mc:Choice><mc:Fallback><w:t>fallback</w:t>"
      "</mc:Fallback></mc:AlternateContent></w:r></w:p>";
  Sweep("docx", ConverterKind::Word, {(kSamples / "sample.docx").string(), Built("built.docx", test::Docx(body))}, 1);
  const std::string odt =
      "<office:text><text:h>Heading</text:h><text:p>one<text:s text:c=\"4\"/>two<text:tab/>three<text:line-break/>"
      "<text:span>four</text:span><office:annotation><text:p>x</text:p></office:annotation></text:p></office:text>";
  Sweep("odt", ConverterKind::Word, {Built("built.odt", test::OdfPackage("application/vnd.oasis.opendocument.text", odt))}, 2);
}

TEST_F(PreviewHostileTest, PresentationFiles) {
  Parts pptx = {{"[Content_Types].xml", test::ContentTypes()},
                {"_rels/.rels", test::RootRelationships("ppt/presentation.xml")},
                {"ppt/presentation.xml", test::PresentationPart(3)},
                {"ppt/_rels/presentation.xml.rels",
                 test::Relationships({{"rId2", "slide", "slides/slide3.xml"},
                                      {"rId3", "slide", "slides/slide1.xml"},
                                      {"rId4", "slide", "../ppt/slides/slide2.xml"}})}};
  for (int i = 1; i <= 3; ++i)
    pptx.push_back({"ppt/slides/slide" + std::to_string(i) + ".xml", test::Slide({"Title", "first\nsecond"})});
  Sweep("pptx", ConverterKind::PowerPoint, {(kSamples / "sample.pptx").string(), Built("built.pptx", pptx)}, 3);
  const std::string odp =
      "<office:presentation><draw:page><draw:frame><draw:text-box><text:p>Title</text:p></draw:text-box></draw:frame>"
      "<draw:custom-shape><text:p>shape<text:s/>text</text:p></draw:custom-shape></draw:page>"
      "<draw:page><draw:frame><draw:text-box><text:p>two</text:p><text:p>lines</text:p></draw:text-box></draw:frame>"
      "<presentation:notes><draw:frame><draw:text-box><text:p>notes</text:p></draw:text-box></draw:frame>"
      "</presentation:notes></draw:page></office:presentation>";
  Sweep("odp", ConverterKind::PowerPoint, {Built("built.odp", test::OdfPackage("", odp))}, 4);
}

TEST_F(PreviewHostileTest, SpreadsheetFiles) {
  const std::string sheet = test::Worksheet({{{"A1", "s", "<v>0</v>"}, {"B1", "s", "<v>1</v>"}, {"C1", "", "<v>3.5</v>"}},
                                             {{"", "inlineStr", "<is><r><t>in</t></r><r><t>line</t></r></is>"}, {"", "b", "<v>1</v>"}}});
  Parts xlsx = {{"_rels/.rels", test::RootRelationships("xl/workbook.xml")},
                {"xl/workbook.xml", std::string(test::kXmlHead) +
                                        "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
                                        "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
                                        "<bookViews><workbookView activeTab=\"0\"/></bookViews><sheets>"
                                        "<sheet name=\"S\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>"},
                {"xl/_rels/workbook.xml.rels", test::Relationships({{"rId1", "worksheet", "worksheets/sheet1.xml"},
                                                                    {"rId2", "sharedStrings", "sharedStrings.xml"}})},
                {"xl/worksheets/sheet1.xml", sheet},
                {"xl/sharedStrings.xml", std::string(test::kXmlHead) +
                                             "<sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
                                             "<si><t>first</t></si><si><r><t>sec</t></r><r><t>ond</t></r><rPh><t>x</t></rPh></si></sst>"}};
  Sweep("xlsx", ConverterKind::Excel, {(kSamples / "sample.xlsx").string(), Built("built.xlsx", xlsx)}, 5);
  const std::string ods =
      "<office:spreadsheet><table:table><table:table-row table:number-rows-repeated=\"2\">"
      "<table:table-cell table:number-columns-repeated=\"3\"><text:p>a<text:s text:c=\"2\"/>b</text:p></table:table-cell>"
      "<table:covered-table-cell/><table:table-cell office:value=\"7\"/></table:table-row>"
      "<table:table-row table:number-rows-repeated=\"1048570\"><table:table-cell table:number-columns-repeated=\"16384\"/>"
      "</table:table-row></table:table></office:spreadsheet>";
  Sweep("ods", ConverterKind::Excel, {Built("built.ods", test::OdfPackage("", ods))}, 6);
  const std::string csv = dir_ / "built.csv";
  test::WriteWholeFile(csv, "a,\"b, c\",\"d\"\"e\"\r\n1,2,3\n\"multi\nline\",x\n;;;\n\xE9\xFF,end\n");
  Sweep("csv", ConverterKind::Excel, {csv}, 7);
}

TEST_F(PreviewHostileTest, PdfFiles) {
  Sweep("pdf", ConverterKind::Pdf, {(kSamples / "sample.pdf").string()}, 8);
}

}  // namespace
}  // namespace rexmoor
