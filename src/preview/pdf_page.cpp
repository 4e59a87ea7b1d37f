#include "preview/pdf_page.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "platform/child_process.h"

namespace rexmoor {

namespace {

constexpr const char* kProgramName = "rexmoor-pdf-page";

bool IsProgram(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string OwnFolder() {
  char buffer[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  std::string path(buffer, static_cast<std::size_t>(n));
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

std::string PdfPageProgram() {
  if (const char* set = std::getenv("REXMOOR_PDF_PAGE"); set != nullptr && *set != '\0') return IsProgram(set) ? set : "";
  const std::string own = OwnFolder();
  std::vector<std::string> places;
  if (!own.empty()) {
    places.push_back(own + "/" + kProgramName);
    places.push_back(own + "/../" REXMOOR_LIBEXEC_SUBDIR "/" + kProgramName);
  }
#ifdef REXMOOR_BUILD_PDF_PAGE
  places.push_back(REXMOOR_BUILD_PDF_PAGE);
#endif
  for (const std::string& place : places)
    if (IsProgram(place)) return place;
  return {};
}

PdfFirstPage::PdfFirstPage(std::string pngPath, std::function<bool()> cancelled)
    : pngPath_(std::move(pngPath)), cancelled_(std::move(cancelled)) {}

Result PdfFirstPage::Convert(const std::string& path, std::string& text) {
  text.clear();
  failure_.clear();
  if (pngPath_.empty()) return kErrInvalidParameter;
  const std::string program = PdfPageProgram();
  if (program.empty()) {
    failure_ = "The PDF page cannot be drawn: the program rexmoor-pdf-page is missing.";
    return kErrInvalidParameter;
  }
  ChildLimits limits;
  limits.timeLimit = std::chrono::milliseconds(kTimeLimitMs);
  limits.memoryBytes = kMemoryBytes;
  limits.outputBytes = 4096;
  limits.cancelled = cancelled_;
  ChildResult result;
  if (RunChild({program, path, pngPath_}, limits, result) != kSuccess) {
    failure_ = "The PDF page cannot be drawn: rexmoor-pdf-page could not be started.";
    return kErrInvalidParameter;
  }
  if (result.cancelled) return kCancelled;
  if (result.timedOut) {
    failure_ = "The PDF page could not be drawn within " + std::to_string(kTimeLimitMs / 1000) + " seconds.";
    return kErrInvalidParameter;
  }
  // The page program exits 3 when it ran out of the memory it may have.
  if (result.termSignal != 0 || result.ExitedWith(3)) {
    failure_ = "The PDF page could not be drawn within " + std::to_string(kMemoryBytes >> 20) + " MiB of memory.";
    return kErrInvalidParameter;
  }
  if (!result.ExitedWith(0)) return kErrInvalidParameter;
  text = pngPath_;
  return kSuccess;
}

}  // namespace rexmoor
