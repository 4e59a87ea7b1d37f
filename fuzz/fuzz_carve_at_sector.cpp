#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "device/sector_source.h"
#include "formats/carve_at_sector.h"
#include "formats/carving_context.h"
#include "formats/file_format_table.h"
#include "fuzz_support.h"

// A file start on a medium: recognition, then the type's extent rule and walk reading on from the
// medium. The first input byte chooses the sector size (low two bits) and the start sector (next
// two bits); the rest is the medium. Also the extension check a file-system engine makes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::int32_t sectorSize = 512 << (data[0] & 3);
  const std::uint64_t start = (data[0] >> 2) & 3;
  rexmoor::fuzz::MemoryMedium medium(data + 1, size - 1);
  if (!medium.ok()) return 0;
  rexmoor::SectorSource source;
  if (rexmoor::OpenPaddedFileSource(medium.path(), source) != rexmoor::kSuccess) return 0;
  rexmoor::CarvingContext ctx;
  const std::size_t s = static_cast<std::size_t>(sectorSize);
  const std::size_t at = start * s;
  if (at < size - 1) {
    std::span<const std::uint8_t> sector(data + 1 + at, std::min(s, size - 1 - at));
    rexmoor::CarvedFile out;
    const rexmoor::Result r = rexmoor::CarveAtSector(ctx, sectorSize, source, sector, start, 0, 1, -1, 0, &out);
    if (r == rexmoor::kSuccess) {
      if (out.typeId < 0 || out.typeId == rexmoor::kTypeNone || out.typeId >= rexmoor::kFileTypeCount) __builtin_trap();
      if (out.Name().size() >= rexmoor::kCarvedNameSize) __builtin_trap();
      const std::string extension(rexmoor::ExtensionForType(out.typeId));
      (void)rexmoor::CheckSignatureByExtension(sector, extension, source, sectorSize, start);
    }
  }
  if (data[0] & 0x10) {
    std::span<const std::uint8_t> first(data + 1, std::min(s, size - 1));
    for (const char* extension : {"jpg", "doc", "xls", "docx", "zip", "mp4", "mts", "ts", "pdf", "exe", "mov"})
      (void)rexmoor::CheckSignatureByExtension(first, extension, source, sectorSize, 0);
  }
  rexmoor::CloseSource(source);
  return 0;
}
