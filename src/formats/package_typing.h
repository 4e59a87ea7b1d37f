// Office Open XML packages are ZIP archives; the application that wrote one shows in its entry
// names ("word/...", "xl/...", "ppt/..."). The typing scan reads the archive's first sectors and
// decides by the first entry name that tells.
#pragma once

#include <cstdint>
#include <span>

#include "formats/file_type_id.h"

namespace rexmoor {
class CarvingContext;
}

namespace rexmoor::formats {

inline constexpr std::uint32_t kPackageWindowSectors = 4;
inline constexpr std::uint32_t kPackageWindows = 5;
inline constexpr std::size_t kPackageSeamBytes = 4;

// OpenDocument and EPUB packages open with an uncompressed entry "mimetype" that names what they
// are: kTypeOdt, kTypeOds, kTypeOdp, kTypeOdg or kTypeEpub from the first local header in `b`,
// else kTypeNone.
FileTypeId OpenPackageType(std::span<const std::uint8_t> b);

// ZIP local-header magic at 0, or "[Content_Types].xml" at 31; then PackageTypingScan.
FileTypeId PackageTest(CarvingContext& ctx, std::span<const std::uint8_t> b);
// kTypeDocx, kTypeXlsx or kTypePptx from the first decisive local or central entry name in the
// 20 sectors from the context's cursorSector; kTypeNone when none decides or a read fails.
FileTypeId PackageTypingScan(const CarvingContext& ctx);
// The decision over one window of bytes (exposed for tests): the same answers, kTypeNone if
// undecided.
FileTypeId PackageTypeFromWindow(std::span<const std::uint8_t> window);

}  // namespace rexmoor::formats
