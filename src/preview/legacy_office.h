// Text of the binary office formats (Word .doc/.dot, RTF, Excel .xls, PowerPoint .ppt/.pps)
// through the converter programs antiword, catdoc, xls2csv and catppt, each run as a child
// process with a time limit, a memory limit and a cap on its output (platform/child_process.h):
// the parsers of these formats are large and the files found on a damaged medium are anything,
// so a converter that crashes or loops takes nothing down with it.
#pragma once

#include <string>

#include "platform/child_process.h"
#include "platform/result_codes.h"

namespace rexmoor {

enum class LegacyFormat { Word, Rtf, Excel, PowerPoint };

// The programs used (looked up in PATH) and the limits they run under.
struct LegacyTools {
  std::string antiword = "antiword";
  std::string catdoc = "catdoc";
  std::string xls2csv = "xls2csv";
  std::string catppt = "catppt";
  ChildLimits limits;
};

// The text, limited as the other converters' (office_text.h): Word and RTF to
// kPreviewWordCharacters characters, a workbook's first sheet to its first rows and cells,
// a presentation to its first kPreviewSlides slides. Word goes through antiword, and through
// catdoc when antiword fails (catdoc also reads the RTF files that are often saved as .doc).
// Valid UTF-8 with "\r\n" line ends. kErrInvalidParameter when the file does not look like
// the format, the program is missing, times out, or gives no text.
Result LegacyOfficeText(LegacyFormat format, const std::string& path, std::string& text,
                        const LegacyTools& tools = {});

}  // namespace rexmoor
