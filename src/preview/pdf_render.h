// The first page of a PDF drawn with poppler in this process. Only the page program (and the
// fuzz target) call it: a hostile PDF can make poppler take any time and memory, so the preview
// runs it in a child process with limits (pdf_page.h).
#pragma once

#include <string>

#include "platform/result_codes.h"

namespace rexmoor {

// The longer side of the picture, in pixels.
inline constexpr int kPdfPageMaxSide = 1600;

// Renders page 1 of pdfPath into pngPath (PNG, written beside it and renamed over it).
// kErrInvalidParameter when the file is no PDF, is encrypted, has no page, or the page cannot be
// rendered or written, kErrNotEnoughMemory when memory ran out; a picture already at pngPath is
// then left as it was.
Result RenderPdfFirstPage(const std::string& pdfPath, const std::string& pngPath);

}  // namespace rexmoor
