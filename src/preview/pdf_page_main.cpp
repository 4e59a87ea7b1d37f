// rexmoor-pdf-page PDF PNG: draws the first page of PDF into PNG. Run by the preview as a child
// process with limits on its time and memory; exit 0 drawn, 1 not a drawable PDF, 2 usage,
// 3 out of memory.
#include <cstdio>
#include <new>

#include "platform/result_codes.h"

#include "preview/pdf_render.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: rexmoor-pdf-page PDF PNG\n", stderr);
    return 2;
  }
  try {
    const rexmoor::Result r = rexmoor::RenderPdfFirstPage(argv[1], argv[2]);
    return r == rexmoor::kSuccess ? 0 : r == rexmoor::kErrNotEnoughMemory ? 3 : 1;
  } catch (const std::bad_alloc&) {
    return 3;
  }
}
