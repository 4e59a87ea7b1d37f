#include "preview/document_view.h"

#include "engine/file_type_lists.h"
#include "engine/preview_target.h"
#include "platform/text.h"
#include "preview/archive_library.h"
#include "preview/legacy_office.h"
#include "preview/office_text.h"
#include "preview/pdf_page.h"
#include "preview/preview_text.h"

namespace rexmoor {

namespace {

constexpr std::string_view kWordList = "*.doc|*.dot|*.docx|*.dotx|*.docm|*.dotm|*.rtf|*.odt";
constexpr std::string_view kPresentationList = "*.ppt|*.pptx|*.pptm|*.pps|*.ppsx|*.ppsm|*.odp";
constexpr std::string_view kSpreadsheetList =
    "*.xls|*.xlsx|*.xlsm|*.ods|*.csv|*.odc|*.vsd|*.vsdm|*.vsdx|*.pub|*.mpp|*.ics|*.vcf|*.msg";
constexpr std::string_view kPdfList = "*.pdf";

// The converter lists are matched by a plain substring search of the extension, as the type
// lists are: "do" finds the word processor's list.
bool Contains(std::string_view list, std::string_view extension) {
  return !extension.empty() && list.find(extension) != std::string_view::npos;
}

void AppendLatin1(std::string& out, std::uint8_t byte) {
  if (byte < 0x80) {
    out.push_back(static_cast<char>(byte));
  } else {
    out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
    out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
  }
}

}  // namespace

PreviewPlan PlanPreview(std::string_view fileName) {
  PreviewPlan plan;
  const std::string extension = ToLowerAscii(ExtensionOf(fileName));
  if (extension.empty()) return plan;
  const std::string dotted = "." + extension;
  if (kPreviewAudioList.find(dotted) != std::string_view::npos) plan.media = plan.audio = true;
  if (kPreviewVideoList.find(dotted) != std::string_view::npos) plan.media = true;
  if (kPreviewDocumentList.find(dotted) != std::string_view::npos) plan.document = true;
  if (!plan.document) return plan;
  plan.pdf = extension == "pdf";
  if (Contains(kWordList, extension))
    plan.converter = ConverterKind::Word;
  else if (Contains(kPresentationList, extension))
    plan.converter = ConverterKind::PowerPoint;
  else if (Contains(kSpreadsheetList, extension))
    plan.converter = ConverterKind::Excel;
  else if (Contains(kPdfList, extension))
    plan.converter = ConverterKind::Pdf;
  else if (Contains(kArchiveList, extension))
    plan.converter = ConverterKind::Archive;
  return plan;
}

std::string CharacterDump(std::span<const std::uint8_t> bytes) {
  std::string text;
  text.reserve(bytes.size() + bytes.size() / kDumpLineLength * 2 + 2);
  std::size_t column = 0;
  for (std::uint8_t byte : bytes) {
    // Control characters would break the lines of the dump; they show as dots like zeros.
    const bool shown = (byte >= 0x20 && byte != 0x7F && (byte < 0x80 || byte >= 0xA0));
    AppendLatin1(text, shown ? byte : static_cast<std::uint8_t>('.'));
    if (++column == kDumpLineLength) {
      text += "\r\n";
      column = 0;
    }
  }
  if (column != 0 || bytes.empty()) text += "\r\n";
  return text;
}

namespace {

// Which reader takes a file of a converter's lists, by the file's own extension. Extensions of
// the lists without one here (Visio, Publisher, Project, calendars, cards, mail) are not
// converted: the caller shows their character dump.
struct Reader {
  std::string_view extension;
  ConverterKind kind;
  bool legacy;
  OfficeFormat office;
  LegacyFormat old;
};

constexpr Reader kReaders[] = {
    {"docx", ConverterKind::Word, false, OfficeFormat::WordXml, {}},
    {"dotx", ConverterKind::Word, false, OfficeFormat::WordXml, {}},
    {"docm", ConverterKind::Word, false, OfficeFormat::WordXml, {}},
    {"dotm", ConverterKind::Word, false, OfficeFormat::WordXml, {}},
    {"odt", ConverterKind::Word, false, OfficeFormat::OpenText, {}},
    {"doc", ConverterKind::Word, true, {}, LegacyFormat::Word},
    {"dot", ConverterKind::Word, true, {}, LegacyFormat::Word},
    {"rtf", ConverterKind::Word, true, {}, LegacyFormat::Rtf},
    {"pptx", ConverterKind::PowerPoint, false, OfficeFormat::PresentationXml, {}},
    {"pptm", ConverterKind::PowerPoint, false, OfficeFormat::PresentationXml, {}},
    {"ppsx", ConverterKind::PowerPoint, false, OfficeFormat::PresentationXml, {}},
    {"ppsm", ConverterKind::PowerPoint, false, OfficeFormat::PresentationXml, {}},
    {"odp", ConverterKind::PowerPoint, false, OfficeFormat::OpenPresentation, {}},
    {"ppt", ConverterKind::PowerPoint, true, {}, LegacyFormat::PowerPoint},
    {"pps", ConverterKind::PowerPoint, true, {}, LegacyFormat::PowerPoint},
    {"xlsx", ConverterKind::Excel, false, OfficeFormat::SpreadsheetXml, {}},
    {"xlsm", ConverterKind::Excel, false, OfficeFormat::SpreadsheetXml, {}},
    {"ods", ConverterKind::Excel, false, OfficeFormat::OpenSpreadsheet, {}},
    {"csv", ConverterKind::Excel, false, OfficeFormat::Csv, {}},
    {"xls", ConverterKind::Excel, true, {}, LegacyFormat::Excel},
};

class OfficeDocumentView : public IDocumentView {
 public:
  explicit OfficeDocumentView(ConverterKind kind) : kind_(kind) {}
  Result Convert(const std::string& path, std::string& text) override {
    text.clear();
    // The extension of the file's name, not of a folder on its path.
    std::string_view name = path;
    if (const std::size_t slash = name.rfind('/'); slash != std::string_view::npos) name.remove_prefix(slash + 1);
    const std::string extension = ToLowerAscii(ExtensionOf(name));
    for (const Reader& reader : kReaders) {
      if (reader.kind != kind_ || reader.extension != extension) continue;
      return reader.legacy ? LegacyOfficeText(reader.old, path, text) : OfficeText(reader.office, path, text);
    }
    return kErrInvalidParameter;
  }

 private:
  ConverterKind kind_;
};

}  // namespace

std::unique_ptr<IDocumentView> MakeDocumentView(ConverterKind kind, const std::string& pdfPagePath,
                                                std::function<bool()> cancelled) {
  switch (kind) {
    case ConverterKind::Word:
    case ConverterKind::PowerPoint:
    case ConverterKind::Excel:
      return std::make_unique<OfficeDocumentView>(kind);
    case ConverterKind::Pdf:
      if (pdfPagePath.empty()) return nullptr;
      return std::make_unique<PdfFirstPage>(pdfPagePath, std::move(cancelled));
    case ConverterKind::Archive:
      return std::make_unique<ArchiveListing>();
    default:
      return nullptr;
  }
}

namespace {

// Lists the entries of one reading of the file; rawStream reads a lone compressed stream (a .gz
// of a single file), which has no entries of its own, as one entry.
Result ListEntries(const std::string& path, bool rawStream, std::string& text) {
  text.clear();
  ArchiveHandle reader;
  if (reader.handle == nullptr) return kErrInvalidParameter;
  archive_read_support_filter_all(reader.handle);
  if (rawStream)
    archive_read_support_format_raw(reader.handle);
  else
    archive_read_support_format_all(reader.handle);
  if (archive_read_open_filename(reader.handle, path.c_str(), 64 * 1024) != ARCHIVE_OK) return kErrInvalidParameter;
  std::size_t entries = 0;
  archive_entry* entry = nullptr;
  int status = ARCHIVE_OK;
  while ((status = archive_read_next_header(reader.handle, &entry)) == ARCHIVE_OK || status == ARCHIVE_WARN) {
    // Without a compression filter the raw reader would take any file for a stream.
    if (rawStream && archive_filter_count(reader.handle) < 2) return kErrInvalidParameter;
    if (entries == ArchiveListing::kMaxEntries || text.size() >= ArchiveListing::kMaxText) {
      text += "...\r\n";
      break;
    }
    const char* name = archive_entry_pathname_utf8(entry);
    if (name == nullptr) name = archive_entry_pathname(entry);
    const long long size = archive_entry_size_is_set(entry) != 0 ? static_cast<long long>(archive_entry_size(entry)) : 0;
    std::string line = Format("%12lld  ", size);
    // Names come from the found file: keep them on one line and printable.
    for (const char* c = name != nullptr ? name : ""; *c != '\0' && line.size() < 4096; ++c)
      line.push_back(static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F ? '?' : *c);
    // Names in another encoding (or cut above) must not make the listing invalid UTF-8.
    text += ValidUtf8(line) + "\r\n";
    ++entries;
    if (rawStream) break;  // its data is the whole stream, not to be walked through
    if (archive_read_data_skip(reader.handle) != ARCHIVE_OK) break;
  }
  if (entries == 0) {
    text.clear();
    return kErrInvalidParameter;
  }
  return kSuccess;
}

}  // namespace

Result ArchiveListing::Convert(const std::string& path, std::string& text) {
  if (ListEntries(path, false, text) == kSuccess) return kSuccess;
  return ListEntries(path, true, text);
}

}  // namespace rexmoor
