#include "preview/office_text.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "office_builders.h"
#include "preview/document_view.h"
#include "preview/preview_text.h"
#include "test_support.h"

namespace rexmoor {
namespace {

namespace fs = std::filesystem;
using test::Parts;

const fs::path kSamples = fs::path(REXMOOR_TEST_SOURCE_DIR) / "samples" / "files";

std::string Convert(OfficeFormat format, const std::string& path) {
  std::string text;
  EXPECT_EQ(OfficeText(format, path, text), kSuccess) << path;
  EXPECT_EQ(ValidUtf8(text), text) << "not valid UTF-8";
  return text;
}

std::vector<std::string> Rows(const std::string& text) {
  std::vector<std::string> rows;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    rows.push_back(text.substr(start, end - start));
  EXPECT_EQ(start, text.size()) << "rows must end with a line break";
  return rows;
}

std::vector<std::string> Cells(const std::string& row) {
  std::vector<std::string> cells;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = row.find('\t', start);
    cells.push_back(row.substr(start, end - start));
    if (end == std::string::npos) return cells;
    start = end + 1;
  }
}

// A mix of one-, two-, three- and four-byte characters.
std::string LongText(std::size_t characters) {
  static const char* kPieces[] = {"a", "\xC3\xA4", "\xE2\x82\xAC", "\xF0\x9F\x93\xB7", " "};
  std::string text;
  for (std::size_t i = 0; i < characters; ++i) text += kPieces[i % 5];
  return text;
}

class OfficeTextTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const Parts& parts) {
    const std::string path = dir_ / name;
    test::WriteZip(path, parts);
    return path;
  }
  test::TempDir dir_;
};

// ---- word processor -------------------------------------------------------------------------

TEST_F(OfficeTextTest, WordTextHasTabsBreaksAndParagraphEnds) {
  const std::string body =
      "<w:p><w:pPr><w:tabs><w:tab w:val=\"left\" w:pos=\"720\"/></w:tabs></w:pPr>"
      "<w:r><w:t>Name</w:t></w:r><w:r><w:tab/><w:t>Gr\xC3\xBC\xC3\x9F" "e &amp; \xE2\x82\xAC</w:t></w:r></w:p>"
      "<w:p><w:r><w:t>second</w:t><w:br/><w:t xml:space=\"preserve\"> line</w:t></w:r>"
      "<w:r><w:delText>deleted</w:delText><w:instrText>PAGE</w:instrText></w:r></w:p>"
      // A text box as Word writes it: once for new readers, once more as a fallback.
      "<w:p><w:r><mc:AlternateContent><mc:Choice Requires=\"wps\"><w:drawing><w:txbxContent>"
      "<w:p><w:r><w:t>boxed</w:t></w:r></w:p></w:txbxContent></w:drawing></mc:Choice><mc:Fallback><w:pict>"
      "<w:txbxContent><w:p><w:r><w:t>boxed</w:t></w:r></w:p></w:txbxContent></w:pict></mc:Fallback>"
      "</mc:AlternateContent></w:r></w:p>";
  EXPECT_EQ(Convert(OfficeFormat::WordXml, Write("a.docx", test::Docx(body))),
            "Name\tGr\xC3\xBC\xC3\x9F" "e & \xE2\x82\xAC\r\nsecond\r\n line\r\nboxed\r\n\r\n");

  // The main part is wherever the package's relationships say.
  EXPECT_EQ(Convert(OfficeFormat::WordXml, Write("b.docx", test::Docx(test::WordParagraph("moved"), "word/main2.xml"))),
            "moved\r\n");
}

TEST_F(OfficeTextTest, WordTextStopsAtExactly2048Characters) {
  const std::string text = LongText(5000);
  const std::string out = Convert(OfficeFormat::WordXml, Write("long.docx", test::Docx(test::WordParagraph(text))));
  EXPECT_EQ(CountCharacters(out), kPreviewWordCharacters);
  EXPECT_EQ(text.compare(0, out.size(), out), 0) << "not the document's first characters";

  // Paragraph ends count, and a cut never splits one: 682 paragraphs of "a\r\n" and one more
  // "a" leave room for half a line break only.
  std::string paragraphs;
  for (int i = 0; i < 1000; ++i) paragraphs += test::WordParagraph("a");
  const std::string cut = Convert(OfficeFormat::WordXml, Write("many.docx", test::Docx(paragraphs)));
  EXPECT_EQ(CountCharacters(cut), 2047u);
  EXPECT_EQ(cut.substr(cut.size() - 3), "\r\na");
}

TEST_F(OfficeTextTest, SampleWordDocumentGivesItsParagraphs) {
  const std::string text = Convert(OfficeFormat::WordXml, (kSamples / "sample.docx").string());
  const std::vector<std::string> rows = Rows(text);
  ASSERT_EQ(rows.size(), 41u);
  EXPECT_EQ(rows[0], "Rexmoor sample");
  EXPECT_EQ(rows[1], "Paragraph 1 of the Rexmoor sample document.");
  EXPECT_EQ(rows[40], "Paragraph 40 of the Rexmoor sample document.");
}

TEST_F(OfficeTextTest, OpenDocumentTextFollowsItsSpacingRules) {
  const std::string body =
      "<office:text><text:sequence-decls/><text:h text:outline-level=\"1\">Title</text:h>"
      "<text:p>  several   spaces\n   collapse<text:s text:c=\"3\"/>but these stay</text:p>"
      "<text:p>tab<text:tab/>and<text:line-break/>break <text:span>in a span</text:span></text:p>"
      "<text:p>a note<office:annotation><text:p>not shown</text:p></office:annotation> here</text:p>"
      "<text:p>many<text:s text:c=\"999999999\"/></text:p></office:text>";
  const std::string text =
      Convert(OfficeFormat::OpenText, Write("a.odt", test::OdfPackage("application/vnd.oasis.opendocument.text", body)));
  const std::vector<std::string> rows = Rows(text.substr(0, text.find("many")));
  ASSERT_EQ(rows.size(), 5u) << text;
  EXPECT_EQ(rows[0], "Title");
  EXPECT_EQ(rows[1], "several spaces collapse   but these stay");
  EXPECT_EQ(rows[2], "tab\tand");
  EXPECT_EQ(rows[3], "break in a span");
  EXPECT_EQ(rows[4], "a note here");
  // A huge space count is cut at the limit like any text.
  EXPECT_EQ(CountCharacters(text), kPreviewWordCharacters);

  const std::string long_ = Convert(OfficeFormat::OpenText,
                                    Write("long.odt", test::OdfPackage("", "<office:text><text:p>" + LongText(3000) +
                                                                              "</text:p></office:text>")));
  EXPECT_EQ(CountCharacters(long_), kPreviewWordCharacters);
}

// ---- presentations --------------------------------------------------------------------------

// 25 slides, listed in order 1..25 while their part numbers run backwards, so that only the
// presentation's own list gives the order.
Parts Presentation(std::size_t count) {
  Parts parts = {{"[Content_Types].xml", test::ContentTypes()},
                 {"_rels/.rels", test::RootRelationships("ppt/presentation.xml")},
                 {"ppt/presentation.xml", test::PresentationPart(count)}};
  std::vector<std::vector<std::string>> relationships = {{"rId1", "slideMaster", "slideMasters/slideMaster1.xml"}};
  for (std::size_t i = 1; i <= count; ++i) {
    const std::string part = "slides/slide" + std::to_string(count + 1 - i) + ".xml";
    relationships.push_back({"rId" + std::to_string(i + 1), "slide", part});
    const std::string n = std::to_string(i);
    parts.push_back({"ppt/" + part, test::Slide({"Title " + n + ".", "Body " + n + " first\nsecond", ""})});
  }
  parts.push_back({"ppt/_rels/presentation.xml.rels", test::Relationships(relationships)});
  return parts;
}

TEST_F(OfficeTextTest, PresentationGivesTheFirst20SlidesInTheirOrder) {
  const std::string text = Convert(OfficeFormat::PresentationXml, Write("a.pptx", Presentation(25)));
  std::string expected;
  for (int i = 1; i <= 20; ++i)
    expected += "Title " + std::to_string(i) + ".\r\nBody " + std::to_string(i) + " first second\r\n";
  EXPECT_EQ(text, expected);
  EXPECT_EQ(text.find("Title 21."), std::string::npos);

  // Without the slide list, slides go by their part numbers (slide10 after slide9).
  Parts unlisted;
  for (int n : {10, 2, 9, 1}) unlisted.push_back({"ppt/slides/slide" + std::to_string(n) + ".xml", test::Slide({"S" + std::to_string(n)})});
  EXPECT_EQ(Convert(OfficeFormat::PresentationXml, Write("b.pptx", unlisted)), "S1\r\nS2\r\nS9\r\nS10\r\n");
}

TEST_F(OfficeTextTest, SamplePresentationGivesItsSlideTitles) {
  EXPECT_EQ(Convert(OfficeFormat::PresentationXml, (kSamples / "sample.pptx").string()),
            "Rexmoor sample slide 1\r\nRexmoor sample slide 2\r\nRexmoor sample slide 3\r\n");
}

TEST_F(OfficeTextTest, OpenDocumentPresentationGivesTheFirst20Pages) {
  std::string body = "<office:presentation>";
  for (int i = 1; i <= 25; ++i) {
    const std::string n = std::to_string(i);
    body += "<draw:page draw:name=\"page" + n + "\"><draw:frame><draw:text-box><text:p>Title " + n +
            "</text:p></draw:text-box></draw:frame><draw:frame><draw:text-box><text:p>first</text:p><text:p>second "
            "line</text:p></draw:text-box></draw:frame><draw:frame><draw:image/></draw:frame>"
            "<presentation:notes><draw:frame><draw:text-box><text:p>notes " + n +
            "</text:p></draw:text-box></draw:frame></presentation:notes></draw:page>";
  }
  body += "</office:presentation>";
  const std::string text = Convert(OfficeFormat::OpenPresentation, Write("a.odp", test::OdfPackage("", body)));
  std::string expected;
  for (int i = 1; i <= 20; ++i) expected += "Title " + std::to_string(i) + "\r\nfirst second line\r\n";
  EXPECT_EQ(text, expected);
}

// ---- spreadsheets ---------------------------------------------------------------------------

std::string CellText(std::size_t row, std::size_t column) { return "r" + std::to_string(row) + "c" + std::to_string(column); }

// 50 rows of 15 columns, from C4 (so that the used range does not start at A1); cells from the
// shared strings, inline strings and plain numbers in turn.
Parts Workbook(std::size_t activeTab) {
  std::string shared = std::string(test::kXmlHead) + "<sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">";
  std::size_t sharedCount = 0;
  std::vector<std::vector<test::SheetCell>> rows;
  for (std::size_t r = 0; r < 50; ++r) {
    rows.emplace_back();
    for (std::size_t c = 0; c < 15; ++c) {
      const std::string reference = test::ColumnName(c + 2) + std::to_string(r + 4);
      switch ((r + c) % 3) {
        case 0:
          // Rich text in runs, with a phonetic reading that is not shown.
          shared += "<si><r><t>" + CellText(r, c).substr(0, 2) + "</t></r><r><t>" + CellText(r, c).substr(2) +
                    "</t></r><rPh><t>yomi</t></rPh></si>";
          rows.back().push_back({reference, "s", "<v>" + std::to_string(sharedCount++) + "</v>"});
          break;
        case 1:
          rows.back().push_back({reference, "inlineStr", "<is><t>" + CellText(r, c) + "</t></is>"});
          break;
        default:
          rows.back().push_back({reference, "", "<f>1+1</f><v>" + std::to_string(r * 100 + c) + "</v>"});
      }
    }
  }
  shared += "</sst>";
  const std::string other = test::Worksheet({{{"A1", "inlineStr", "<is><t>other sheet</t></is>"}}});
  return {{"[Content_Types].xml", test::ContentTypes()},
          {"_rels/.rels", test::RootRelationships("xl/workbook.xml")},
          {"xl/workbook.xml", std::string(test::kXmlHead) +
                                  "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
                                  "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
                                  "<bookViews><workbookView activeTab=\"" + std::to_string(activeTab) + "\"/></bookViews>"
                                  "<sheets><sheet name=\"Other\" sheetId=\"1\" r:id=\"rId1\"/>"
                                  "<sheet name=\"Data\" sheetId=\"2\" r:id=\"rId2\"/></sheets></workbook>"},
          {"xl/_rels/workbook.xml.rels", test::Relationships({{"rId1", "worksheet", "worksheets/sheet1.xml"},
                                                              {"rId2", "worksheet", "/xl/worksheets/data.xml"},
                                                              {"rId3", "sharedStrings", "sharedStrings.xml"}})},
          {"xl/worksheets/sheet1.xml", other},
          {"xl/worksheets/data.xml", test::Worksheet(rows, 4)},
          {"xl/sharedStrings.xml", shared}};
}

void ExpectCornerOf50x15(const std::string& text) {
  const std::vector<std::string> rows = Rows(text);
  ASSERT_EQ(rows.size(), 10u) << text;
  for (std::size_t r = 0; r < 10; ++r) {
    const std::vector<std::string> cells = Cells(rows[r]);
    ASSERT_EQ(cells.size(), 10u) << rows[r];
    for (std::size_t c = 0; c < 10; ++c) {
      const std::string expected = (r + c) % 3 == 2 ? std::to_string(r * 100 + c) : CellText(r, c);
      EXPECT_EQ(cells[c], expected) << "row " << r << " column " << c;
    }
  }
}

TEST_F(OfficeTextTest, SpreadsheetShowsTheActiveSheetsFirst10RowsAnd10Columns) {
  ExpectCornerOf50x15(Convert(OfficeFormat::SpreadsheetXml, Write("a.xlsx", Workbook(1))));
  EXPECT_EQ(Convert(OfficeFormat::SpreadsheetXml, Write("b.xlsx", Workbook(0))), "other sheet\r\n");
  // An active tab past the sheets falls back to the first.
  EXPECT_EQ(Convert(OfficeFormat::SpreadsheetXml, Write("c.xlsx", Workbook(7))), "other sheet\r\n");
}

TEST_F(OfficeTextTest, SpreadsheetUsedRangeAndCellsWithoutReferences) {
  // Cells without references follow the one before; a later row reaching further left widens
  // the range to the left; booleans read as words; empty and style-only cells are not used.
  const std::vector<std::vector<test::SheetCell>> rows = {
      {{"D2", "", "<v>1</v>"}, {"", "b", "<v>1</v>"}, {"", "str", "<v>text</v>"}, {"H2", "", ""}},
      {},
      {{"B4", "inlineStr", "<is><t>left</t></is>"}, {"C4", "b", "<v>0</v>"}}};
  Parts parts = {{"xl/worksheets/sheet1.xml", test::Worksheet(rows, 2)}};
  EXPECT_EQ(Convert(OfficeFormat::SpreadsheetXml, Write("a.xlsx", parts)),
            "\t\t1\tTRUE\ttext\r\n\t\t\t\t\r\nleft\tFALSE\t\t\t\r\n");
}

TEST_F(OfficeTextTest, SampleSpreadsheetGivesItsFirstRows) {
  const std::vector<std::string> rows = Rows(Convert(OfficeFormat::SpreadsheetXml, (kSamples / "sample.xlsx").string()));
  ASSERT_EQ(rows.size(), 10u);
  for (int i = 1; i <= 10; ++i)
    EXPECT_EQ(rows[static_cast<std::size_t>(i - 1)],
              "item " + std::to_string(i) + "\t" + std::to_string(i * i) + "\t" + std::to_string(2 * i * i));
}

std::string OdsCell(const std::string& text, std::size_t repeat = 1) {
  std::string cell = "<table:table-cell";
  if (repeat != 1) cell += " table:number-columns-repeated=\"" + std::to_string(repeat) + "\"";
  return cell + " office:value-type=\"string\"><text:p>" + text + "</text:p></table:table-cell>";
}

TEST_F(OfficeTextTest, OpenDocumentSpreadsheetShowsTheFirstTablesCorner) {
  std::string table = "<office:spreadsheet><table:table table:name=\"Data\"><table:table-column/>";
  // Three empty rows and two empty columns first, as runs.
  table += "<table:table-row table:number-rows-repeated=\"3\"><table:table-cell table:number-columns-repeated=\"9\"/></table:table-row>";
  for (std::size_t r = 0; r < 50; ++r) {
    table += "<table:table-row><table:table-cell table:number-columns-repeated=\"2\"/>";
    for (std::size_t c = 0; c < 15; ++c)
      table += (r + c) % 3 == 2 ? "<table:table-cell office:value-type=\"float\" office:value=\"" + std::to_string(r * 100 + c) +
                                      "\"><text:p>" + std::to_string(r * 100 + c) + "</text:p></table:table-cell>"
                                : OdsCell(CellText(r, c));
    table += "</table:table-row>";
  }
  // What the format writes after the last used row.
  table += "<table:table-row table:number-rows-repeated=\"1048520\"><table:table-cell table:number-columns-repeated=\"16384\"/></table:table-row>";
  table += "</table:table><table:table table:name=\"Second\"><table:table-row>" + OdsCell("second table") +
           "</table:table-row></table:table></office:spreadsheet>";
  ExpectCornerOf50x15(Convert(OfficeFormat::OpenSpreadsheet, Write("a.ods", test::OdfPackage("", table))));
}

TEST_F(OfficeTextTest, OpenDocumentSpreadsheetRepeatsAreCapped) {
  // A cell repeated a million times in a row repeated a million times: the corner, at once.
  const std::string table =
      "<office:spreadsheet><table:table><table:table-row table:number-rows-repeated=\"1000000\">" +
      OdsCell("x", 1000000) + OdsCell("after") +
      "</table:table-row><table:table-row table:number-rows-repeated=\"999999999\">" + OdsCell("y", 999999999) +
      "</table:table-row></table:table></office:spreadsheet>";
  const auto start = std::chrono::steady_clock::now();
  const std::string text = Convert(OfficeFormat::OpenSpreadsheet, Write("huge.ods", test::OdfPackage("", table)));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  std::string row = "x";
  for (int i = 1; i < 10; ++i) row += "\tx";
  std::string expected;
  for (int i = 0; i < 10; ++i) expected += row + "\r\n";
  EXPECT_EQ(text, expected);
}

// ---- comma-separated text -------------------------------------------------------------------

TEST_F(OfficeTextTest, CsvQuotesSeparatorsAndTheCorner) {
  const std::string path = dir_ / "a.csv";
  test::WriteWholeFile(path,
                       "\xEF\xBB\xBFname,\"quoted, with comma\",\"say \"\"hi\"\"\"\r\n"
                       "\"two\nlines\",plain,\xE9t\xE9\n"
                       ",,third\n");
  EXPECT_EQ(Convert(OfficeFormat::Csv, path),
            "name\tquoted, with comma\tsay \"hi\"\r\ntwo lines\tplain\t\xC3\xA9t\xC3\xA9\r\n\t\tthird\r\n");

  std::string big;
  for (int r = 0; r < 15; ++r) {
    for (int c = 0; c < 15; ++c) big += (c ? ";" : "") + CellText(r, c);
    big += "\n";
  }
  test::WriteWholeFile(path, big);
  const std::vector<std::string> rows = Rows(Convert(OfficeFormat::Csv, path));
  ASSERT_EQ(rows.size(), 10u);
  EXPECT_EQ(Cells(rows[9]).size(), 10u);
  EXPECT_EQ(Cells(rows[9])[9], CellText(9, 9));

  // Binary data is no text.
  test::WriteWholeFile(path, std::string("a,b\n\0\0\0", 7));
  std::string text;
  EXPECT_EQ(OfficeText(OfficeFormat::Csv, path, text), kErrInvalidParameter);
  EXPECT_EQ(OfficeText(OfficeFormat::Csv, dir_ / "missing.csv", text), kErrInvalidParameter);
}

// ---- what is not the format -----------------------------------------------------------------

TEST_F(OfficeTextTest, FilesOfTheWrongKindFailCleanly) {
  std::string text;
  const std::string notZip = dir_ / "plain.docx";
  test::WriteWholeFile(notZip, "just some text, not a package");
  const std::string otherZip = (kSamples / "sample.zip").string();
  for (OfficeFormat format : {OfficeFormat::WordXml, OfficeFormat::PresentationXml, OfficeFormat::SpreadsheetXml,
                              OfficeFormat::OpenText, OfficeFormat::OpenPresentation, OfficeFormat::OpenSpreadsheet}) {
    EXPECT_EQ(OfficeText(format, notZip, text), kErrInvalidParameter);
    EXPECT_EQ(OfficeText(format, otherZip, text), kErrInvalidParameter);
    EXPECT_EQ(OfficeText(format, dir_ / "missing", text), kErrInvalidParameter);
    EXPECT_TRUE(text.empty());
  }
  // Each reader wants its own package.
  EXPECT_EQ(OfficeText(OfficeFormat::WordXml, (kSamples / "sample.xlsx").string(), text), kErrInvalidParameter);
  EXPECT_EQ(OfficeText(OfficeFormat::SpreadsheetXml, (kSamples / "sample.pptx").string(), text), kErrInvalidParameter);
}

TEST_F(OfficeTextTest, HostileXmlIsRefusedOrCut) {
  std::string text;
  // Entities defined in a DTD are never expanded (billion laughs, external files).
  const std::string laughs =
      "<?xml version=\"1.0\"?><!DOCTYPE d [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
      "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\"><!ENTITY x SYSTEM \"file:///etc/passwd\">]>"
      "<w:document xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\"><w:body>"
      "<w:p><w:r><w:t>&c;&x;</w:t></w:r></w:p></w:body></w:document>";
  EXPECT_EQ(OfficeText(OfficeFormat::WordXml, Write("laughs.docx", {{"word/document.xml", laughs}}), text),
            kErrInvalidParameter);
  EXPECT_EQ(text.find("root:"), std::string::npos);

  // Elements nested a million deep: the parse gives up early with what it had.
  std::string deep = test::WordParagraph("before");
  for (int i = 0; i < 1000000; ++i) deep += "<w:r>";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(OfficeText(OfficeFormat::WordXml, Write("deep.docx", test::Docx(deep)), text), kSuccess);
  EXPECT_EQ(text, "before\r\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));

  // A part far larger than the cap (it compresses to almost nothing) is read only up to it.
  std::string huge = "<w:p><w:r><w:t>start</w:t></w:r></w:p>";
  huge += std::string(40u << 20, ' ');
  EXPECT_EQ(OfficeText(OfficeFormat::WordXml, Write("huge.docx", test::Docx(huge)), text), kSuccess);
  EXPECT_EQ(text, "start\r\n");
}

TEST_F(OfficeTextTest, LongListsOfSlidesAndEntriesStayCheap) {
  // Ten thousand slide ids whose parts are missing, as many relationships and entries: the
  // slides are then taken by their numbers, without a search of every list for every id.
  std::vector<std::vector<std::string>> relationships;
  Parts parts = {{"_rels/.rels", test::RootRelationships("ppt/presentation.xml")},
                 {"ppt/presentation.xml", test::PresentationPart(10000)}};
  for (int i = 0; i < 10000; ++i) relationships.push_back({"rId" + std::to_string(i + 2), "slide", "gone/" + std::to_string(i)});
  parts.push_back({"ppt/_rels/presentation.xml.rels", test::Relationships(relationships)});
  for (int i = 0; i < 9000; ++i) parts.push_back({"filler/" + std::to_string(i), ""});
  parts.push_back({"ppt/slides/slide1.xml", test::Slide({"numbered"})});
  const std::string path = Write("long.pptx", parts);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Convert(OfficeFormat::PresentationXml, path), "numbered\r\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

// ---- through the converter of a kind ---------------------------------------------------------

TEST_F(OfficeTextTest, ConvertersOfAKindGoByTheFilesExtension) {
  const std::string docx = Write("Report.DOCX", test::Docx(test::WordParagraph("hello")));
  auto word = MakeDocumentView(ConverterKind::Word);
  ASSERT_NE(word, nullptr);
  std::string text;
  EXPECT_EQ(word->Convert(docx, text), kSuccess);
  EXPECT_EQ(text, "hello\r\n");
  // Extensions of the lists without a reader, and files of another kind, are not converted.
  auto sheet = MakeDocumentView(ConverterKind::Excel);
  ASSERT_NE(sheet, nullptr);
  for (const char* name : {"drawing.vsd", "card.vcf", "mail.msg", "plan.mpp"}) {
    test::WriteWholeFile(dir_ / name, "some bytes");
    EXPECT_EQ(sheet->Convert(dir_ / name, text), kErrInvalidParameter) << name;
  }
  EXPECT_EQ(sheet->Convert(docx, text), kErrInvalidParameter);
  // Only the file name's extension counts, not a dot in a folder name.
  fs::create_directories(fs::path(dir_.path()) / "copy.docx");
  test::WriteZip(dir_ / "copy.docx/noext", test::Docx(test::WordParagraph("x")));
  EXPECT_EQ(word->Convert(dir_ / "copy.docx/noext", text), kErrInvalidParameter);

  const std::string csv = dir_ / "table.csv";
  test::WriteWholeFile(csv, "a,b\n");
  EXPECT_EQ(sheet->Convert(csv, text), kSuccess);
  EXPECT_EQ(text, "a\tb\r\n");
  EXPECT_EQ(MakeDocumentView(ConverterKind::None), nullptr);
  EXPECT_EQ(MakeDocumentView(ConverterKind::Pdf), nullptr);  // a PDF needs a place for its page
}

}  // namespace
}  // namespace rexmoor
