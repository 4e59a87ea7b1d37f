#include "app/file_identity.h"

#include <vector>

#include "device/sector_source.h"
#include "formats/carve_at_sector.h"
#include "formats/carving_context.h"
#include "formats/file_format_table.h"

namespace rexmoor {

Result IdentifyFile(const std::string& path, FileIdentity& out) {
  SectorSource source;
  if (Result r = OpenPaddedFileSource(path, source); r != kSuccess) return r;
  out = FileIdentity{};
  if (source.totalSectors == 0) return kSuccess;  // an empty file is nothing
  std::vector<std::uint8_t> sector(512);
  std::uint32_t got = 0;
  if (Result r = ReadSectors(1, source, sector.data(), 0, 512, &got); r != kSuccess) return r;
  FileTypeId type = kTypeNone;
  CarvingContext context;
  CarvedFile carved;
  if (CarveAtSector(context, 512, source, sector, 0, 0, source.totalSectors, -1, 0, &carved) == kSuccess) {
    type = carved.typeId;
    out.measured = true;
    out.length = carved.length;
  } else {
    // Not carved: it may still be a type that is recognised but never measured (exe, gho, ...).
    context.sectorSize = 512;
    context.source = &source;
    context.fileStartSector = 0;
    context.cursorSector = 0;
    context.tsStreamMode = true;
    type = RecogniseHeaderFast(context, sector);
  }
  out.known = type != kTypeNone;
  if (out.known) {
    out.typeId = type;
    out.extension = std::string(ExtensionForType(type));
  }
  return kSuccess;
}

}  // namespace rexmoor
