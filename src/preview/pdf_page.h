// The first page of a PDF as a picture, rendered in-process with poppler: what the preview
// shows of a PDF instead of its text.
#pragma once

#include <string>

#include "preview/document_view.h"

namespace rexmoor {

class PdfFirstPage : public IDocumentView {
 public:
  // The longer side of the picture, in pixels.
  static constexpr int kMaxSide = 1600;

  // The picture goes to pngPath (PNG), replacing the one of an earlier preview.
  explicit PdfFirstPage(std::string pngPath);
  // Renders page 1 and gives the picture's path as the text. kErrInvalidParameter when the
  // file is no PDF, is encrypted, has no page, or the page cannot be rendered or written;
  // a picture already at the path is then left as it was.
  Result Convert(const std::string& path, std::string& text) override;

 private:
  std::string pngPath_;
};

}  // namespace rexmoor
