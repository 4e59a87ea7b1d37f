// Pictures that Qt's readers cannot read — HEIF, HEIC and AVIF, JPEG XL, camera raw files — are
// drawn by a program of our own (rexmoor-picture) into a JPEG or PPM that they can, for the
// preview and the thumbnail grid. The program runs as a child process under limits, as the PDF
// page does: a hostile file can make a decoding library take any time or memory.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "platform/result_codes.h"

namespace rexmoor {

// The names drawn by the picture program, as whole extensions.
inline constexpr std::string_view kDrawnPictureList =
    "*.heic|*.heif|*.avif|*.jxl|*.cr2|*.cr3|*.crw|*.nef|*.nrw|*.arw|*.sr2|*.srf|*.dng|*.orf|*.rw2|*.pef|*.srw|"
    "*.raf|*.mrw|*.x3f|*.erf|*.3fr|*.kdc|*.dcr|*.mef|*.mos|*.iiq";

// Whether the file needs the picture program: by the whole extension of its name, or, whatever
// its name, by first bytes that say HEIF/AVIF ("ftyp" with such a brand) or JPEG XL.
bool NeedsPictureDrawing(std::string_view name, std::span<const std::uint8_t> head);

// The longer side of a drawn preview.
inline constexpr int kPreviewPictureMaxSide = 1600;
inline constexpr int kPictureTimeLimitMs = 10000;
inline constexpr std::uint64_t kPictureMemoryBytes = 1024ull << 20;

// The picture program: $REXMOOR_PICTURE when set, else beside the running program, else in the
// installed libexec folder, else the one of the build tree; empty when none is there.
std::string PictureProgram();

// Draws the picture at path into outPath, its longer side at most maxSide (a raw file's embedded
// JPEG preview is written as it is). kSuccess, kCancelled, or kErrInvalidParameter when it is no
// picture the program can draw or a limit was hit (failure says which); outPath is then left as
// it was.
Result DrawPicture(const std::string& path, const std::string& outPath, int maxSide,
                   const std::function<bool()>& cancelled, std::string& failure);

}  // namespace rexmoor
