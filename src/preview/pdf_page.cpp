#include "preview/pdf_page.h"

#include <utility>
#include <vector>

#include "preview/helper_program.h"

namespace rexmoor {

namespace {

constexpr const char* kProgramName = "rexmoor-pdf-page";
#ifdef REXMOOR_BUILD_PDF_PAGE
constexpr const char* kBuildPath = REXMOOR_BUILD_PDF_PAGE;
#else
constexpr const char* kBuildPath = "";
#endif

}  // namespace

std::string PdfPageProgram() { return HelperProgram(kProgramName, "REXMOOR_PDF_PAGE", kBuildPath); }

PdfFirstPage::PdfFirstPage(std::string pngPath, std::function<bool()> cancelled)
    : pngPath_(std::move(pngPath)), cancelled_(std::move(cancelled)) {}

Result PdfFirstPage::Convert(const std::string& path, std::string& text) {
  text.clear();
  failure_.clear();
  if (pngPath_.empty()) return kErrInvalidParameter;
  HelperRun run;
  run.name = kProgramName;
  run.envVariable = "REXMOOR_PDF_PAGE";
  run.buildPath = kBuildPath;
  run.what = "The PDF page";
  run.timeLimitMs = kTimeLimitMs;
  run.memoryBytes = kMemoryBytes;
  run.cancelled = cancelled_;
  const Result result = RunHelperProgram(run, {path, pngPath_}, failure_);
  if (result != kSuccess) return result;
  text = pngPath_;
  return kSuccess;
}

}  // namespace rexmoor
