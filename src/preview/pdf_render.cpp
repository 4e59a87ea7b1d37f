#include "preview/pdf_render.h"

#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-image.h>
#include <poppler-page-renderer.h>
#include <poppler-page.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>

namespace rexmoor {

namespace {

// Poppler reports every oddity of a damaged file on stderr; a preview has no use for that.
void Quiet(const std::string&, void*) {}

// Page sizes come from the file: what is no size, or more than a PDF may say (14400 points,
// 200 inches), is refused.
constexpr double kMaxPagePoints = 14400.0;

}  // namespace

Result RenderPdfFirstPage(const std::string& path, const std::string& pngPath) {
  static std::once_flag quiet;
  std::call_once(quiet, [] { poppler::set_debug_error_function(&Quiet, nullptr); });
  if (pngPath.empty()) return kErrInvalidParameter;
  try {
    std::unique_ptr<poppler::document> document(poppler::document::load_from_file(path));
    if (!document || document->is_locked() || document->pages() < 1) return kErrInvalidParameter;
    std::unique_ptr<poppler::page> page(document->create_page(0));
    if (!page) return kErrInvalidParameter;
    const poppler::rectf box = page->page_rect();
    const double width = std::fabs(box.width()), height = std::fabs(box.height());
    if (!std::isfinite(width) || !std::isfinite(height) || width < 1.0 || height < 1.0 || width > kMaxPagePoints ||
        height > kMaxPagePoints)
      return kErrInvalidParameter;
    const double longer = std::max(width, height);
    // Resolution in dots per inch for the longer side to come out at kPdfPageMaxSide pixels.
    const double resolution = 72.0 * kPdfPageMaxSide / longer;

    poppler::page_renderer renderer;
    renderer.set_render_hint(poppler::page_renderer::antialiasing, true);
    renderer.set_render_hint(poppler::page_renderer::text_antialiasing, true);
    const poppler::image image = renderer.render_page(page.get(), resolution, resolution);
    if (!image.is_valid() || image.width() < 1 || image.height() < 1 || image.width() > kPdfPageMaxSide + 2 ||
        image.height() > kPdfPageMaxSide + 2)
      return kErrInvalidParameter;

    // Written beside the target and renamed over it, so that a viewer never sees half a file.
    // The file is made here first: poppler's PNG writer crashes when it cannot open its file.
    const std::string partial = pngPath + ".part" + std::to_string(getpid());
    const int fd = open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return kErrInvalidParameter;
    close(fd);
    if (!image.save(partial, "png")) {
      std::remove(partial.c_str());
      return kErrInvalidParameter;
    }
    if (std::rename(partial.c_str(), pngPath.c_str()) != 0) {
      std::remove(partial.c_str());
      return kErrInvalidParameter;
    }
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  } catch (...) {
    return kErrInvalidParameter;
  }
  return kSuccess;
}

}  // namespace rexmoor
