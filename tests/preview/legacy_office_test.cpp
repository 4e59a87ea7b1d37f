#include "preview/legacy_office.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "office_builders.h"
#include "preview/document_view.h"
#include "preview/office_text.h"
#include "preview/preview_text.h"
#include "test_support.h"

namespace rexmoor {
namespace {

namespace fs = std::filesystem;

const fs::path kSamples = fs::path(REXMOOR_TEST_SOURCE_DIR) / "samples" / "files";
const std::string kOleSignature = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1";

class LegacyOfficeTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = dir_ / name;
    test::WriteWholeFile(path, bytes);
    return path;
  }
  // A stand-in for a converter program: a shell script.
  std::string Script(const std::string& name, const std::string& body) {
    const std::string path = Write(name, "#!/bin/sh\n" + body + "\n");
    chmod(path.c_str(), 0755);
    return path;
  }
  Result Convert(LegacyFormat format, const std::string& path, std::string& text, const LegacyTools& tools = {}) {
    const Result result = LegacyOfficeText(format, path, text, tools);
    EXPECT_EQ(ValidUtf8(text), text) << "not valid UTF-8";
    return result;
  }
  test::TempDir dir_;
};

TEST_F(LegacyOfficeTest, SampleWorkbookGivesItsFirstTenRows) {
  std::string text;
  ASSERT_EQ(Convert(LegacyFormat::Excel, (kSamples / "sample.xls").string(), text), kSuccess);
  // The sheet has 40 rows: "row N", N*N and N/7.
  std::vector<std::string> rows;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    rows.push_back(text.substr(start, end - start));
  ASSERT_EQ(rows.size(), 10u) << text;
  EXPECT_EQ(rows[0], "row 0\t0\t0");
  EXPECT_EQ(rows[7], "row 7\t49\t1");
  EXPECT_EQ(rows[9].substr(0, 14), "row 9\t81\t1.285");

  // Through the spreadsheet converter, by its extension.
  auto view = MakeDocumentView(ConverterKind::Excel);
  std::string viaView;
  ASSERT_EQ(view->Convert((kSamples / "sample.xls").string(), viaView), kSuccess);
  EXPECT_EQ(viaView, text);
}

TEST_F(LegacyOfficeTest, RtfThroughCatdocAlsoWhenSavedAsDoc) {
  const std::string rtf =
      "{\\rtf1\\ansi\\ansicpg1252{\\fonttbl{\\f0 Arial;}}\\f0 Hello RTF world caf\\'e9\\par Second line\\par}";
  std::string text;
  ASSERT_EQ(Convert(LegacyFormat::Rtf, Write("letter.rtf", rtf), text), kSuccess);
  EXPECT_NE(text.find("Hello RTF world caf\xC3\xA9"), std::string::npos) << text;
  EXPECT_NE(text.find("\r\nSecond line"), std::string::npos) << text;
  // antiword refuses RTF; the .doc goes on to catdoc.
  std::string asDoc;
  ASSERT_EQ(Convert(LegacyFormat::Word, Write("letter.doc", rtf), asDoc), kSuccess);
  EXPECT_EQ(asDoc, text);

  // Long text is cut like any word processor's.
  std::string longRtf = "{\\rtf1\\ansi ";
  for (int i = 0; i < 500; ++i) longRtf += "word\\'e9 ";
  longRtf += "}";
  ASSERT_EQ(Convert(LegacyFormat::Rtf, Write("long.rtf", longRtf), text), kSuccess);
  EXPECT_EQ(CountCharacters(text), kPreviewWordCharacters);
}

TEST_F(LegacyOfficeTest, FilesThatAreNotTheFormatFail) {
  std::string text;
  const std::vector<std::uint8_t> random = test::RandomBytes(4096, 3);
  const std::string noise = Write("noise.doc", std::string(random.begin(), random.end()));
  EXPECT_EQ(Convert(LegacyFormat::Word, noise, text), kErrInvalidParameter);
  EXPECT_EQ(Convert(LegacyFormat::Rtf, noise, text), kErrInvalidParameter);
  EXPECT_EQ(Convert(LegacyFormat::Excel, noise, text), kErrInvalidParameter);
  EXPECT_EQ(Convert(LegacyFormat::PowerPoint, noise, text), kErrInvalidParameter);
  // A compound document that is no workbook or presentation: the programs say nothing.
  const std::string msi = (kSamples / "installer.msi").string();
  EXPECT_EQ(Convert(LegacyFormat::Excel, msi, text), kErrInvalidParameter);
  EXPECT_EQ(Convert(LegacyFormat::PowerPoint, msi, text), kErrInvalidParameter);
  EXPECT_EQ(Convert(LegacyFormat::Word, (kSamples / "sample.xls").string(), text), kErrInvalidParameter);
  EXPECT_EQ(Convert(LegacyFormat::Word, dir_ / "missing.doc", text), kErrInvalidParameter);
  EXPECT_TRUE(text.empty());
}

TEST_F(LegacyOfficeTest, MissingHangingAndSilentProgramsFail) {
  const std::string xls = (kSamples / "sample.xls").string();
  std::string text;
  LegacyTools missing;
  missing.xls2csv = "rexmoor-no-such-xls2csv";
  EXPECT_EQ(Convert(LegacyFormat::Excel, xls, text, missing), kErrInvalidParameter);

  LegacyTools hanging;
  hanging.xls2csv = Script("hang.sh", "echo '\"partial\"'; sleep 30");
  hanging.limits.timeLimit = std::chrono::milliseconds(500);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Convert(LegacyFormat::Excel, xls, text, hanging), kErrInvalidParameter);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));

  LegacyTools silent;
  silent.antiword = Script("fail.sh", "echo 'cannot read it' >&2; exit 1");
  silent.catdoc = silent.antiword;
  EXPECT_EQ(Convert(LegacyFormat::Word, Write("a.doc", kOleSignature + std::string(504, '\0')), text, silent),
            kErrInvalidParameter);
}

TEST_F(LegacyOfficeTest, ProgramOutputIsMadeValidAndLimited) {
  const std::string ole = Write("a.ppt", kOleSignature + std::string(504, '\0'));
  std::string text;
  // Bytes that are no UTF-8 and control characters from a converter.
  LegacyTools tools;
  tools.antiword = Script("bytes.sh", "printf 'caf\\351 \\001bad\\r\\nline\\n'");
  ASSERT_EQ(Convert(LegacyFormat::Word, ole, text, tools), kSuccess);
  EXPECT_EQ(text, "caf\xC3\xA9 bad\r\nline\r\n");

  // A presentation's first 20 slides, each ended by a form feed.
  tools.catppt = Script("slides.sh", "i=1; while [ $i -le 25 ]; do printf 'slide %d\\f' $i; i=$((i+1)); done");
  ASSERT_EQ(Convert(LegacyFormat::PowerPoint, ole, text, tools), kSuccess);
  EXPECT_NE(text.find("slide 1\r\nslide 2\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("slide 20\r\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("slide 21"), std::string::npos) << text;

  // Endless output is cut off with the program.
  tools.antiword = Script("endless.sh", "while :; do echo endless text; done");
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(Convert(LegacyFormat::Word, ole, text, tools), kSuccess);
  EXPECT_EQ(CountCharacters(text), kPreviewWordCharacters);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));

  // A workbook: only the first sheet (up to the form feed), in quoted cells.
  tools.xls2csv = Script("sheets.sh", "printf '\"a, b\",\"two\\nlines\"\\n\"c\"\\n\\f\"next sheet\"\\n'");
  ASSERT_EQ(Convert(LegacyFormat::Excel, Write("b.xls", kOleSignature), text, tools), kSuccess);
  EXPECT_EQ(text, "a, b\ttwo lines\r\nc\t\r\n");
}

}  // namespace
}  // namespace rexmoor
