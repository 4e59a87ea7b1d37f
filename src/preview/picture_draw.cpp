#include "preview/picture_draw.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "engine/file_type_lists.h"
#include "preview/helper_program.h"

namespace rexmoor {

namespace {

constexpr const char* kProgramName = "rexmoor-picture";
constexpr const char* kEnvVariable = "REXMOOR_PICTURE";
#ifdef REXMOOR_BUILD_PICTURE
constexpr const char* kBuildPath = REXMOOR_BUILD_PICTURE;
#else
constexpr const char* kBuildPath = "";
#endif

// ISO-media brands of still pictures that libheif decodes.
constexpr std::array<const char*, 10> kHeifBrands = {"heic", "heix", "heim", "heis", "hevc",
                                                     "hevx", "mif1", "msf1", "avif", "avis"};

bool HasHeifBrand(std::span<const std::uint8_t> head) {
  if (head.size() < 16 || std::memcmp(head.data() + 4, "ftyp", 4) != 0) return false;
  const std::uint32_t boxSize = (std::uint32_t{head[0]} << 24) | (std::uint32_t{head[1]} << 16) |
                                (std::uint32_t{head[2]} << 8) | head[3];
  // The major brand, then the compatible ones as far as the box and the bytes at hand go.
  const std::size_t end = std::min<std::size_t>(head.size(), boxSize);
  for (std::size_t at = 8; at + 4 <= end; at += at == 8 ? 8 : 4)
    for (const char* brand : kHeifBrands)
      if (std::memcmp(head.data() + at, brand, 4) == 0) return true;
  return false;
}

}  // namespace

bool NeedsPictureDrawing(std::string_view name, std::span<const std::uint8_t> head) {
  if (ListHasWholeExtension(kDrawnPictureList, ExtensionOf(name))) return true;
  static constexpr std::uint8_t kJxlBox[12] = {0, 0, 0, 0x0C, 'J', 'X', 'L', ' ', 0x0D, 0x0A, 0x87, 0x0A};
  if (head.size() >= 2 && head[0] == 0xFF && head[1] == 0x0A) return true;
  if (head.size() >= sizeof kJxlBox && std::memcmp(head.data(), kJxlBox, sizeof kJxlBox) == 0) return true;
  return HasHeifBrand(head);
}

std::string PictureProgram() { return HelperProgram(kProgramName, kEnvVariable, kBuildPath); }

Result DrawPicture(const std::string& path, const std::string& outPath, int maxSide,
                   const std::function<bool()>& cancelled, std::string& failure) {
  failure.clear();
  if (path.empty() || outPath.empty() || maxSide < 16) return kErrInvalidParameter;
  HelperRun run;
  run.name = kProgramName;
  run.envVariable = kEnvVariable;
  run.buildPath = kBuildPath;
  run.what = "The picture";
  run.timeLimitMs = kPictureTimeLimitMs;
  run.memoryBytes = kPictureMemoryBytes;
  run.cancelled = cancelled;
  return RunHelperProgram(run, {path, outPath, std::to_string(std::min(maxSide, 8192))}, failure);
}

}  // namespace rexmoor
