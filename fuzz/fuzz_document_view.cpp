#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_support.h"
#include "preview/document_view.h"
#include "preview/pdf_render.h"
#include "preview/office_text.h"
#include "preview/preview_text.h"

// One found file through every in-process preview converter: the input is written to a file
// named with each converter's extension in turn (they go by the name) and converted. Whatever
// the bytes, a converter gives valid UTF-8 within its limits or fails.
namespace {

struct Target {
  const char* extension;
  rexmoor::ConverterKind kind;
};

constexpr Target kTargets[] = {
    {"docx", rexmoor::ConverterKind::Word},       {"odt", rexmoor::ConverterKind::Word},
    {"pptx", rexmoor::ConverterKind::PowerPoint}, {"odp", rexmoor::ConverterKind::PowerPoint},
    {"xlsx", rexmoor::ConverterKind::Excel},      {"ods", rexmoor::ConverterKind::Excel},
    {"csv", rexmoor::ConverterKind::Excel},       {"pdf", rexmoor::ConverterKind::Pdf},
};

bool WriteAll(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool ok = std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && ok;
}

}  // namespace

// fontconfig, which the PDF renderer loads, keeps its configuration until the process ends.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& dir = rexmoor::fuzz::FuzzDataDir();
  const std::string base = dir + "/input-" + std::to_string(getpid());
  const std::string png = dir + "/page-" + std::to_string(getpid()) + ".png";
  std::string path = base + ".bin";
  if (!WriteAll(path, data, size)) return 0;
  for (const Target& target : kTargets) {
    const std::string named = base + "." + target.extension;
    if (std::rename(path.c_str(), named.c_str()) != 0) break;
    path = named;
    // The page program's drawing, run here in-process so that the fuzzer sees into poppler.
    if (target.kind == rexmoor::ConverterKind::Pdf) {
      const rexmoor::Result drawn = rexmoor::RenderPdfFirstPage(path, png);
      if (drawn != rexmoor::kSuccess && drawn != rexmoor::kErrInvalidParameter && drawn != rexmoor::kErrNotEnoughMemory)
        __builtin_trap();
      continue;
    }
    auto view = rexmoor::MakeDocumentView(target.kind, png);
    if (view == nullptr) __builtin_trap();
    std::string text;
    const rexmoor::Result result = view->Convert(path, text);
    if (result != rexmoor::kSuccess) {
      if (result != rexmoor::kErrInvalidParameter || !text.empty()) __builtin_trap();
      continue;
    }
    if (rexmoor::ValidUtf8(text) != text) __builtin_trap();
    const std::size_t characters = rexmoor::CountCharacters(text);
    if (target.kind == rexmoor::ConverterKind::Word && characters > rexmoor::kPreviewWordCharacters) __builtin_trap();
    if (target.kind == rexmoor::ConverterKind::PowerPoint && characters > rexmoor::kPreviewPresentationCharacters)
      __builtin_trap();
    // At most kRows rows of kColumns cells of kMaxCellCharacters characters.
    constexpr std::size_t kRowBytes = rexmoor::CellGrid::kColumns * (4 * rexmoor::CellGrid::kMaxCellCharacters + 1) + 2;
    if (target.kind == rexmoor::ConverterKind::Excel && text.size() > rexmoor::CellGrid::kRows * kRowBytes)
      __builtin_trap();
  }
  std::remove(path.c_str());
  std::remove(png.c_str());
  return 0;
}
