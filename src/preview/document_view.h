// What a preview needs to know before it shows a found file: whether it is audio, video, a PDF or
// another document, which converter turns it into text, and the character dump every other file
// (and every failed conversion) is shown as. Converters share one small interface.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/result_codes.h"

namespace rexmoor {

enum class ConverterKind { None, Word, PowerPoint, Excel, Pdf, Archive };

struct PreviewPlan {
  bool media = false;     // audio or video: played, not converted
  bool audio = false;
  bool document = false;  // office formats and archives
  bool pdf = false;
  ConverterKind converter = ConverterKind::None;
};

// Decided by the extension of the name, lower-cased, looked up as a substring of the type lists;
// the converter lists are tried in the order word processor, presentation, spreadsheet, PDF,
// archive (so an .odt goes to the word processor's).
PreviewPlan PlanPreview(std::string_view fileName);

// Every byte one character (bytes that would not print, a zero byte among them, become "."),
// "\r\n" after every 1024 characters and at the end. Bytes above 0x7F are shown as Latin-1, so
// the text is valid UTF-8 whatever the data.
std::string CharacterDump(std::span<const std::uint8_t> bytes);
inline constexpr std::size_t kDumpLineLength = 1024;
// What the dump of a file shows when its conversion failed.
inline constexpr std::size_t kDumpFallbackBytes = 8192;

class IDocumentView {
 public:
  virtual ~IDocumentView() = default;
  // The file's text (UTF-8); kErrInvalidParameter when it could not be converted.
  virtual Result Convert(const std::string& path, std::string& text) = 0;
};

// The converter of a kind; none for ConverterKind::None. Word, PowerPoint and Excel take a file
// by its own extension (office_text.h, legacy_office.h) and fail for the extensions of their
// lists that have no reader. A PDF's first page is drawn into pdfPagePath (a PNG), whose path
// its Convert returns as the text (pdf_page.h); without a path there is no PDF converter.
// cancelled, when given, may end a PDF's drawing early (kCancelled).
std::unique_ptr<IDocumentView> MakeDocumentView(ConverterKind kind, const std::string& pdfPagePath = {},
                                                std::function<bool()> cancelled = {});

// The listing of an archive (zip, 7z, rar, tar and its compressed forms, cab, iso, lzh, ...)
// through libarchive: one line per entry with its size and name. Only headers are read; the
// listing stops at kMaxEntries entries or kMaxText bytes, with a last line saying so.
class ArchiveListing : public IDocumentView {
 public:
  static constexpr std::size_t kMaxEntries = 10000;
  static constexpr std::size_t kMaxText = 1 << 20;
  Result Convert(const std::string& path, std::string& text) override;
};

}  // namespace rexmoor
