#include "preview/pdf_page.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <zlib.h>

#include "office_builders.h"
#include "preview/document_view.h"
#include "test_support.h"

namespace rexmoor {
namespace {

namespace fs = std::filesystem;

const fs::path kSamples = fs::path(REXMOOR_TEST_SOURCE_DIR) / "samples" / "files";

struct PngSize {
  bool png = false;
  std::uint32_t width = 0, height = 0;
};

// The signature and the IHDR chunk's size.
PngSize ReadPng(const std::string& path) {
  const std::string bytes = test::ReadWholeFile(path);
  PngSize size;
  if (bytes.size() < 24 || bytes.compare(0, 8, "\x89PNG\r\n\x1A\n") != 0 || bytes.compare(12, 4, "IHDR") != 0) return size;
  const auto be32 = [&](std::size_t at) {
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) << 24) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 8) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 3]));
  };
  size.png = true;
  size.width = be32(16);
  size.height = be32(20);
  return size;
}

// A small PDF with a cross-reference table: pages of the given media box, each with a line of text.
std::string MakePdf(const std::string& mediaBox, int pages) {
  std::vector<std::string> objects;
  objects.push_back("<< /Type /Catalog /Pages 2 0 R >>");
  std::string kids;
  for (int i = 0; i < pages; ++i) kids += std::to_string(4 + 2 * i) + " 0 R ";
  objects.push_back("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages) + " >>");
  objects.push_back("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
  for (int i = 0; i < pages; ++i) {
    const std::string stream = "BT /F1 24 Tf 20 20 Td (Page " + std::to_string(i + 1) + ") Tj ET";
    objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [" + mediaBox + "] /Resources << /Font << /F1 3 0 R >> >> /Contents " +
                      std::to_string(5 + 2 * i) + " 0 R >>");
    objects.push_back("<< /Length " + std::to_string(stream.size()) + " >>\nstream\n" + stream + "\nendstream");
  }
  std::string pdf = "%PDF-1.4\n";
  std::vector<std::size_t> offsets;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const std::size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (std::size_t offset : offsets) {
    char line[32];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", offset);
    pdf += line;
  }
  pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) +
         "\n%%EOF\n";
  return pdf;
}

// count bytes of c, deflated (a stream that inflates to far more than its file).
std::string Deflated(std::uint64_t count, char c) {
  z_stream z{};
  EXPECT_EQ(deflateInit(&z, 1), Z_OK);
  const std::string chunk(1 << 20, c);
  std::string out;
  std::vector<unsigned char> buffer(1 << 16);
  for (std::uint64_t left = count; left > 0 || z.avail_in > 0;) {
    if (z.avail_in == 0) {
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size()));
      z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(chunk.data()));
      z.avail_in = static_cast<uInt>(take);
      left -= take;
    }
    do {
      z.next_out = buffer.data();
      z.avail_out = static_cast<uInt>(buffer.size());
      deflate(&z, left == 0 ? Z_FINISH : Z_NO_FLUSH);
      out.append(reinterpret_cast<char*>(buffer.data()), buffer.size() - z.avail_out);
    } while (z.avail_out == 0);
  }
  deflateEnd(&z);
  return out;
}

class PdfFirstPageTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = dir_ / name;
    test::WriteWholeFile(path, bytes);
    return path;
  }
  std::size_t FilesInDir() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()));
  }
  test::TempDir dir_;
};

TEST_F(PdfFirstPageTest, SamplePdfRendersToAPngOfItsShape) {
  const std::string png = dir_ / "page.png";
  PdfFirstPage view(png);
  std::string text;
  ASSERT_EQ(view.Convert((kSamples / "sample.pdf").string(), text), kSuccess);
  EXPECT_EQ(text, png);
  const PngSize size = ReadPng(png);
  ASSERT_TRUE(size.png);
  // An A4 page (595 x 842 points), its longer side at the limit.
  EXPECT_NEAR(size.height, PdfFirstPage::kMaxSide, 1.0);
  EXPECT_NEAR(static_cast<double>(size.width) / size.height, 595.0 / 842.0, 0.01);
  // Through the PDF converter of MakeDocumentView.
  auto made = MakeDocumentView(ConverterKind::Pdf, dir_ / "made.png");
  ASSERT_NE(made, nullptr);
  ASSERT_EQ(made->Convert((kSamples / "sample.pdf").string(), text), kSuccess);
  EXPECT_TRUE(ReadPng(text).png);
}

TEST_F(PdfFirstPageTest, ASecondRenderReplacesTheFirst) {
  const std::string png = dir_ / "page.png";
  PdfFirstPage view(png);
  std::string text;
  const std::string wide = Write("wide.pdf", MakePdf("0 0 800 400", 3));
  ASSERT_EQ(view.Convert(wide, text), kSuccess);
  PngSize size = ReadPng(png);
  ASSERT_TRUE(size.png);
  EXPECT_NEAR(size.width, PdfFirstPage::kMaxSide, 1.0);
  EXPECT_NEAR(size.height, PdfFirstPage::kMaxSide / 2, 1.0);
  ASSERT_EQ(view.Convert((kSamples / "sample.pdf").string(), text), kSuccess);
  size = ReadPng(png);
  EXPECT_GT(size.height, size.width);
  // No partial file left beside it: only wide.pdf and page.png.
  EXPECT_EQ(FilesInDir(), 2u);
}

TEST_F(PdfFirstPageTest, WhatCannotBeRenderedFailsAndLeavesThePictureAlone) {
  const std::string png = dir_ / "page.png";
  PdfFirstPage view(png);
  std::string text;
  ASSERT_EQ(view.Convert((kSamples / "sample.pdf").string(), text), kSuccess);
  const std::string before = test::ReadWholeFile(png);
  const std::vector<std::string> bad = {
      (kSamples / "sample.docx").string(),                  // no PDF
      Write("empty.pdf", ""),                               // nothing
      Write("none.pdf", MakePdf("0 0 612 792", 0)),         // no page
      Write("vast.pdf", MakePdf("0 0 1000000000 1000000000", 1)),         // a page past any real size
      Write("flat.pdf", MakePdf("0 0 612 0.001", 1)),       // a page of no height
      Write("cut.pdf", MakePdf("0 0 612 792", 1).substr(0, 9)),
      dir_ / "missing.pdf",
  };
  for (const std::string& path : bad) {
    EXPECT_EQ(view.Convert(path, text), kErrInvalidParameter) << path;
    EXPECT_TRUE(text.empty());
  }
  EXPECT_TRUE(test::ReadWholeFile(png) == before) << "the picture was touched";
  // No target at all, or one that cannot be written.
  EXPECT_EQ(PdfFirstPage("").Convert((kSamples / "sample.pdf").string(), text), kErrInvalidParameter);
  EXPECT_EQ(PdfFirstPage(dir_ / "no/such/folder/page.png").Convert((kSamples / "sample.pdf").string(), text),
            kErrInvalidParameter);
}

// PDFs made to draw for ever or to take all memory end at the page program's limits with a word
// on which limit they hit; the picture of the last good page stays, and a cancel ends the drawing.
TEST_F(PdfFirstPageTest, HostilePdfsEndAtTheLimitsWithAReason) {
  const std::string png = dir_ / "page.png";
  PdfFirstPage view(png);
  std::string text;
  ASSERT_EQ(view.Convert((kSamples / "sample.pdf").string(), text), kSuccess);
  std::string before = test::ReadWholeFile(png);
  const std::string pixels = Deflated(64 << 20, '\x7f');
  // Whether the page may still come out: a fast machine draws the sparse image and reads the 2 GiB
  // stream within the limit, a busy one does not; either way the drawing ends.
  const struct {
    const char* name;
    bool mayDraw;
    std::string pdf;
  } cases[] = {
      {"dash.pdf", false, test::DashPatternPdf()},
      {"tiling.pdf", false, test::TilingPatternPdf()},
      {"image.pdf", true,
       test::OnePagePdf("<< /XObject << /Im0 5 0 R >> >>", "q 612 0 0 792 0 0 cm /Im0 Do Q", "",
                  {"<< /Type /XObject /Subtype /Image /Width 40000 /Height 40000 /ColorSpace /DeviceRGB "
                   "/BitsPerComponent 8 /Filter /FlateDecode /Length " +
                   std::to_string(pixels.size()) + " >>\nstream\n" + pixels + "\nendstream"})},
      {"stream.pdf", true, test::OnePagePdf("<< >>", Deflated(2ull << 30, ' '), " /Filter /FlateDecode")},
      {"nested.pdf", false,
       test::OnePagePdf("<< >>", test::Repeat("q ", 200000) + "0 0 m " + test::Repeat("1 1 l ", 1000000) + "S " + test::Repeat("Q ", 200000))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Result result = view.Convert(Write(c.name, c.pdf), text);
    if (c.mayDraw && result == kSuccess) {
      EXPECT_TRUE(ReadPng(png).png);
      before = test::ReadWholeFile(png);
      continue;
    }
    EXPECT_EQ(result, kErrInvalidParameter);
    EXPECT_TRUE(text.empty());
    const std::string& why = view.Failure();
    EXPECT_TRUE(why == "The PDF page could not be drawn within 6 seconds." ||
                why == "The PDF page could not be drawn within 512 MiB of memory.")
        << why;
    EXPECT_TRUE(test::ReadWholeFile(png) == before) << "the picture was touched";
  }

  // A cancel ends the drawing of the tiling pattern at once: kCancelled, not the time limit.
  int asked = 0;
  PdfFirstPage cancelled(png, [&asked] { return ++asked > 5; });
  EXPECT_EQ(cancelled.Convert(dir_ / "tiling.pdf", text), kCancelled);
  EXPECT_TRUE(cancelled.Failure().empty());
  EXPECT_TRUE(test::ReadWholeFile(png) == before);
}

}  // namespace
}  // namespace rexmoor
