// Text of the zipped XML office formats, Office Open XML (docx, pptx, xlsx and their template
// and macro forms) and OpenDocument (odt, odp, ods), read in-process: the zip through libarchive,
// the XML through expat, and of comma-separated text. Found files are untrusted: every part is
// read only up to a cap, so is the number of zip entries looked at, and the parse stops as soon
// as the preview has what it shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/result_codes.h"

namespace rexmoor {

enum class OfficeFormat {
  WordXml,           // docx, dotx, docm, dotm
  PresentationXml,   // pptx, pptm, ppsx, ppsm
  SpreadsheetXml,    // xlsx, xlsm
  OpenText,          // odt
  OpenPresentation,  // odp
  OpenSpreadsheet,   // ods
  Csv,
};

// What a preview shows at most.
inline constexpr std::size_t kPreviewWordCharacters = 2048;
inline constexpr std::size_t kPreviewSlides = 20;
inline constexpr std::size_t kPreviewPresentationCharacters = 65536;
// Spreadsheets show CellGrid::kRows rows of CellGrid::kColumns cells (preview_text.h).

// Caps on what is read of a file.
inline constexpr std::uint64_t kMaxPartBytes = 16u << 20;      // one zip part, uncompressed
inline constexpr std::uint64_t kMaxPackageBytes = 64u << 20;   // all parts read (or skipped) of one file
inline constexpr std::size_t kMaxPackageEntries = 10000;
inline constexpr std::size_t kMaxCsvBytes = 1 << 20;

// The text of the file in that format: word processor text with "\r\n" after every paragraph and
// tabs as tabs; a presentation's slides in order, a line break after the text of every shape;
// a spreadsheet's first rows and columns, cells separated by tabs and rows ended by "\r\n".
// Valid UTF-8. A damaged file gives what could be read of it; kErrInvalidParameter when it is
// not of the format at all (no such part, not a zip, XML that fails before any text).
Result OfficeText(OfficeFormat format, const std::string& path, std::string& text);

}  // namespace rexmoor
