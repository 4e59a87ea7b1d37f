#include "preview/legacy_office.h"

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <vector>

#include "preview/office_text.h"
#include "preview/preview_text.h"

namespace rexmoor {

namespace {

std::string Head(const std::string& path, std::size_t count) {
  std::string bytes(count, '\0');
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return {};
  bytes.resize(std::fread(bytes.data(), 1, count, file));
  std::fclose(file);
  return bytes;
}

// Compound documents (every binary Office format since 97, and Word 6/95) and RTF.
bool IsCompoundDocument(const std::string& head) { return head.rfind("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 0) == 0; }
bool IsRtf(const std::string& head) { return head.rfind("{\\rtf", 0) == 0; }

// A path the converters cannot take for an option.
std::string AsArgument(const std::string& path) { return !path.empty() && path[0] == '-' ? "./" + path : path; }

// The program's output as valid UTF-8, or false when it did not run, ran out of time, or said
// nothing. A program that failed part way keeps what it wrote before.
bool Run(const std::vector<std::string>& argv, const ChildLimits& limits, std::string& output) {
  ChildResult child;
  if (RunChild(argv, limits, child) != kSuccess || child.timedOut) return false;
  output = ValidUtf8(child.output);
  return output.find_first_not_of(" \t\r\n\f") != std::string::npos;
}

std::string Limited(std::string_view text, std::size_t characters) {
  LimitedText limited(characters);
  limited.Append(text);
  return limited.str();
}

Result WordText(const std::string& path, const LegacyTools& tools, std::string& text) {
  ChildLimits limits = tools.limits;
  limits.outputBytes = std::min<std::size_t>(limits.outputBytes, 64 * 1024);  // far more than is shown
  std::string output;
  bool ok = Run({tools.antiword, "-m", "UTF-8.txt", "-w", "0", AsArgument(path)}, limits, output);
  if (!ok) {
    // catdoc copies what is no Word file through unchanged: only give it the kinds it reads.
    const std::string head = Head(path, 8);
    if (IsCompoundDocument(head) || IsRtf(head))
      ok = Run({tools.catdoc, "-d", "utf-8", "-w", AsArgument(path)}, limits, output);
  }
  if (!ok) return kErrInvalidParameter;
  text = Limited(NormalizeLines(output), kPreviewWordCharacters);
  return kSuccess;
}

Result RtfText(const std::string& path, const LegacyTools& tools, std::string& text) {
  if (!IsRtf(Head(path, 8))) return kErrInvalidParameter;
  ChildLimits limits = tools.limits;
  limits.outputBytes = std::min<std::size_t>(limits.outputBytes, 64 * 1024);
  std::string output;
  if (!Run({tools.catdoc, "-d", "utf-8", "-w", AsArgument(path)}, limits, output)) return kErrInvalidParameter;
  text = Limited(NormalizeLines(output), kPreviewWordCharacters);
  return kSuccess;
}

Result ExcelText(const std::string& path, const LegacyTools& tools, std::string& text) {
  if (!IsCompoundDocument(Head(path, 8))) return kErrInvalidParameter;
  // Every cell quoted, so that separators and line breaks inside cells are not taken for the
  // table's; sheets end with a form feed, and only the first is shown.
  std::string output;
  if (!Run({tools.xls2csv, "-d", "utf-8", "-q", "3", "-c", ",", AsArgument(path)}, tools.limits, output))
    return kErrInvalidParameter;
  CellGrid grid;
  grid.AnchorAtOrigin();
  ParseCsv(output, ',', grid);
  text = grid.Text();
  return text.empty() ? kErrInvalidParameter : kSuccess;
}

Result PowerPointText(const std::string& path, const LegacyTools& tools, std::string& text) {
  if (!IsCompoundDocument(Head(path, 8))) return kErrInvalidParameter;
  std::string output;
  if (!Run({tools.catppt, "-d", "utf-8", AsArgument(path)}, tools.limits, output)) return kErrInvalidParameter;
  // Slides end with a form feed.
  std::size_t end = 0;
  for (std::size_t slides = 0; slides < kPreviewSlides && end < output.size(); ++slides) {
    end = output.find('\f', end);
    if (end == std::string::npos) end = output.size();
    else ++end;
  }
  std::string slides = output.substr(0, end);
  std::replace(slides.begin(), slides.end(), '\f', '\n');
  text = Limited(NormalizeLines(slides), kPreviewPresentationCharacters);
  return kSuccess;
}

}  // namespace

Result LegacyOfficeText(LegacyFormat format, const std::string& path, std::string& text, const LegacyTools& tools) {
  text.clear();
  Result result = kErrInvalidParameter;
  switch (format) {
    case LegacyFormat::Word:
      result = WordText(path, tools, text);
      break;
    case LegacyFormat::Rtf:
      result = RtfText(path, tools, text);
      break;
    case LegacyFormat::Excel:
      result = ExcelText(path, tools, text);
      break;
    case LegacyFormat::PowerPoint:
      result = PowerPointText(path, tools, text);
      break;
  }
  if (result != kSuccess) text.clear();
  return result;
}

}  // namespace rexmoor
