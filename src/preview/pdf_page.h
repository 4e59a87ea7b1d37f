// The first page of a PDF as a picture: what the preview shows of a PDF instead of its text. The
// page is drawn by a program of its own (rexmoor-pdf-page) as a child process under the limits of
// every converter program, so that no PDF can hang the preview or take the program's memory.
#pragma once

#include <functional>
#include <string>

#include "preview/document_view.h"
#include "preview/pdf_render.h"

namespace rexmoor {

// The page program: $REXMOOR_PDF_PAGE when set, else beside the running program, else in the
// installed libexec folder, else the one of the build tree; empty when none is there.
std::string PdfPageProgram();

class PdfFirstPage : public IDocumentView {
 public:
  // The longer side of the picture, in pixels.
  static constexpr int kMaxSide = kPdfPageMaxSide;
  // How long the page program may take, and how much memory it may have.
  static constexpr int kTimeLimitMs = 6000;
  static constexpr std::uint64_t kMemoryBytes = 512ull << 20;

  // The picture goes to pngPath (PNG), replacing the one of an earlier preview. cancelled, when
  // given, is asked while the page is drawn; true ends the drawing at once.
  explicit PdfFirstPage(std::string pngPath, std::function<bool()> cancelled = {});
  // Draws page 1 and gives the picture's path as the text. kErrInvalidParameter when the file is
  // no PDF, is encrypted, has no page, or the page cannot be drawn within the limits (Failure()
  // says which limit), kCancelled on a cancel; a picture already at the path is then left as it
  // was.
  Result Convert(const std::string& path, std::string& text) override;
  // Why the last Convert failed, in words for the user; empty when it did not fail for a limit.
  const std::string& Failure() const { return failure_; }

 private:
  std::string pngPath_;
  std::function<bool()> cancelled_;
  std::string failure_;
};

}  // namespace rexmoor
