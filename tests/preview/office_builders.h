// Documents made inside the tests: zip packages written with libarchive, holding the parts a
// word processor, presentation or spreadsheet program writes (only those the readers look at,
// plus the content-types part), and one-page PDFs.
#pragma once

#include <archive.h>
#include <archive_entry.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace rexmoor::test {

using Parts = std::vector<std::pair<std::string, std::string>>;

// A zip of the parts, in that order, deflated (stored when store is set).
inline void WriteZip(const std::string& path, const Parts& parts, bool store = false) {
  archive* zip = archive_write_new();
  archive_write_set_format_zip(zip);
  if (store) archive_write_set_format_option(zip, "zip", "compression", "store");
  if (archive_write_open_filename(zip, path.c_str()) != ARCHIVE_OK) throw std::runtime_error("cannot write " + path);
  for (const auto& [name, content] : parts) {
    archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, name.c_str());
    archive_entry_set_size(entry, static_cast<la_int64_t>(content.size()));
    archive_entry_set_filetype(entry, AE_IFREG);
    archive_entry_set_perm(entry, 0644);
    archive_write_header(zip, entry);
    archive_write_data(zip, content.data(), content.size());
    archive_entry_free(entry);
  }
  archive_write_close(zip);
  archive_write_free(zip);
}

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline const char* kXmlHead = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";
inline const char* kRelsNs = "http://schemas.openxmlformats.org/package/2006/relationships";
inline const char* kOfficeRelType = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";

// A relationships part: (id, type tail, target).
inline std::string Relationships(const std::vector<std::vector<std::string>>& relationships) {
  std::string xml = std::string(kXmlHead) + "<Relationships xmlns=\"" + kRelsNs + "\">";
  for (const auto& r : relationships)
    xml += "<Relationship Id=\"" + r[0] + "\" Type=\"" + kOfficeRelType + r[1] + "\" Target=\"" + r[2] + "\"/>";
  return xml + "</Relationships>";
}

inline std::string RootRelationships(const std::string& mainPart) {
  return Relationships({{"rId1", "officeDocument", mainPart}});
}

inline std::string ContentTypes() {
  return std::string(kXmlHead) +
         "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
         "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
         "<Default Extension=\"xml\" ContentType=\"application/xml\"/></Types>";
}

// Word: the body's XML (paragraphs) in a document part.
inline std::string WordDocument(const std::string& body) {
  return std::string(kXmlHead) +
         "<w:document xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\" "
         "xmlns:mc=\"http://schemas.openxmlformats.org/markup-compatibility/2006\"><w:body>" +
         body + "</w:body></w:document>";
}

inline std::string WordParagraph(const std::string& text) {
  return "<w:p><w:r><w:t xml:space=\"preserve\">" + text + "</w:t></w:r></w:p>";
}

inline Parts Docx(const std::string& body, const std::string& mainPart = "word/document.xml") {
  return {{"[Content_Types].xml", ContentTypes()},
          {"_rels/.rels", RootRelationships(mainPart)},
          {mainPart, WordDocument(body)}};
}

// A slide with one shape per text (paragraphs of a shape separated by '\n').
inline std::string Slide(const std::vector<std::string>& shapes) {
  std::string xml = std::string(kXmlHead) +
                    "<p:sld xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\" "
                    "xmlns:p=\"http://schemas.openxmlformats.org/presentationml/2006/main\"><p:cSld><p:spTree>";
  for (const std::string& shape : shapes) {
    xml += "<p:sp><p:nvSpPr><p:cNvPr id=\"2\" name=\"Shape\"/></p:nvSpPr><p:txBody><a:bodyPr/>";
    std::size_t start = 0;
    for (;;) {
      const std::size_t end = shape.find('\n', start);
      xml += "<a:p><a:r><a:t>" + shape.substr(start, end - start) + "</a:t></a:r></a:p>";
      if (end == std::string::npos) break;
      start = end + 1;
    }
    xml += "</p:txBody></p:sp>";
  }
  return xml + "</p:spTree></p:cSld></p:sld>";
}

// A presentation whose slide list names the slides in the given order, by relationship ids
// rId<N+1> for the N-th slide part given.
inline std::string PresentationPart(std::size_t slides) {
  std::string xml = std::string(kXmlHead) +
                    "<p:presentation xmlns:p=\"http://schemas.openxmlformats.org/presentationml/2006/main\" "
                    "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"><p:sldIdLst>";
  for (std::size_t i = 0; i < slides; ++i)
    xml += "<p:sldId id=\"" + std::to_string(256 + i) + "\" r:id=\"rId" + std::to_string(i + 2) + "\"/>";
  return xml + "</p:sldIdLst><p:sldSz cx=\"9144000\" cy=\"6858000\"/></p:presentation>";
}

// A spreadsheet part from (cell reference, XML inside <c>, type attribute) per row.
struct SheetCell {
  std::string reference, type, inner;
};
inline std::string Worksheet(const std::vector<std::vector<SheetCell>>& rows, std::size_t firstRow = 1) {
  std::string xml = std::string(kXmlHead) +
                    "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><sheetData>";
  for (std::size_t r = 0; r < rows.size(); ++r) {
    xml += "<row r=\"" + std::to_string(firstRow + r) + "\">";
    for (const SheetCell& c : rows[r]) {
      xml += "<c";
      if (!c.reference.empty()) xml += " r=\"" + c.reference + "\"";
      if (!c.type.empty()) xml += " t=\"" + c.type + "\"";
      xml += ">" + c.inner + "</c>";
    }
    xml += "</row>";
  }
  return xml + "</sheetData></worksheet>";
}

inline std::string ColumnName(std::size_t column) {  // 0 -> A
  std::string name;
  for (std::size_t c = column + 1; c > 0; c = (c - 1) / 26) name.insert(name.begin(), static_cast<char>('A' + (c - 1) % 26));
  return name;
}

// OpenDocument: content.xml around a body (office:text, office:presentation or
// office:spreadsheet with its content).
inline std::string OdfContent(const std::string& body) {
  return std::string(kXmlHead) +
         "<office:document-content xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
         "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\" "
         "xmlns:table=\"urn:oasis:names:tc:opendocument:xmlns:table:1.0\" "
         "xmlns:draw=\"urn:oasis:names:tc:opendocument:xmlns:drawing:1.0\" "
         "xmlns:presentation=\"urn:oasis:names:tc:opendocument:xmlns:presentation:1.0\" "
         "office:version=\"1.3\"><office:body>" +
         body + "</office:body></office:document-content>";
}

inline Parts OdfPackage(const std::string& mimeType, const std::string& body) {
  return {{"mimetype", mimeType},
          {"content.xml", OdfContent(body)},
          {"META-INF/manifest.xml", std::string(kXmlHead) +
                                        "<manifest:manifest xmlns:manifest=\"urn:oasis:names:tc:opendocument:xmlns:manifest:1.0\"/>"}};
}

inline std::string Repeat(const std::string& text, int times) {
  std::string out;
  out.reserve(text.size() * static_cast<std::size_t>(times));
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

// One 612 x 792 page drawn by the content stream (its dictionary extended by contentKeys), with
// the resources and further objects (numbered from 5) given.
inline std::string OnePagePdf(const std::string& resources, const std::string& content, const std::string& contentKeys = "",
                       const std::vector<std::string>& extra = {}) {
  std::vector<std::string> objects = {
      "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources " + resources + " /Contents 4 0 R >>",
      "<< /Length " + std::to_string(content.size()) + contentKeys + " >>\nstream\n" + content + "\nendstream"};
  objects.insert(objects.end(), extra.begin(), extra.end());
  std::string pdf = "%PDF-1.4\n";
  std::string xref;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    char line[32];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", pdf.size());
    xref += line;
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const std::size_t at = pdf.size();
  pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n" + xref + "trailer\n<< /Size " +
         std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" + std::to_string(at) + "\n%%EOF\n";
  return pdf;
}

// A page that draws 198 lines with a dash pattern of 0.0001 units.
inline std::string DashPatternPdf() {
  return OnePagePdf("<< >>", "[0.0001 0.0001] 0 d 1 w\n" + Repeat("10 10 m 600 780 l S\n", 198));
}

// A page filled with a pattern whose tile is 0.0001 units wide: poppler draws it for ever.
inline std::string TilingPatternPdf() {
  const std::string tile = "0 0 0.0001 0.0001 re f";
  return OnePagePdf("<< /Pattern << /P0 5 0 R >> >>", "/Pattern cs /P0 scn 0 0 612 792 re f", "",
                    {"<< /PatternType 1 /PaintType 1 /TilingType 1 /BBox [0 0 0.0001 0.0001] /XStep 0.0001 "
                     "/YStep 0.0001 /Resources << >> /Length " +
                     std::to_string(tile.size()) + " >>\nstream\n" + tile + "\nendstream"});
}

}  // namespace rexmoor::test
