// The carver's two entry points. CarveAtSector recognises a file start in one sector and
// measures the file; the carving engine calls it for every sector the deep scan offers it.
// CheckSignatureByExtension tells a file-system engine whether a deleted file's first sector still
// holds the kind of content its extension promises.
//
// CarveAtSector works in the context it is given, which keeps what one carving step leaves for
// the next (the streams already carved, the 192-byte-packet flag) and the walk buffer; a deep scan
// passes the same context to every call. Both read further sectors through the given source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "formats/file_type_id.h"
#include "device/sector_source.h"
#include "platform/result_codes.h"

namespace rexmoor {

class CarvingContext;

inline constexpr std::size_t kCarvedNameSize = 259;  // at most 258 bytes and the NUL

struct CarvedFile {
  char name[kCarvedNameSize] = {};  // "<start sector>.<extension>", e.g. "123456.jpg"
  FileTypeId typeId = kTypeNone;
  std::uint64_t length = 0;         // measured length in bytes
  bool endEstimated = false;        // not measured by the file's own structure: the end may be off

  std::string_view Name() const { return {name}; }
};

// Recognises the sector (one sector of sectorSize bytes, shorter ones are zero-padded) at
// absolute sector startSector of source, and measures the file it begins. The progress figures
// are passed through to the context's progress callback during the walk.
// Returns 0 with out filled; 87 when nothing carvable begins here (nothing recognised, a type that
// is never carved, a header whose structure shows it to be a chance match, an unsupported sector
// size) and out is untouched; kCancelled when the progress
// callback cancelled the walk, with out filled with what was measured so far.
Result CarveAtSector(CarvingContext& ctx, std::int32_t sectorSize, const SectorSource& source, std::span<const std::uint8_t> sector,
                     std::uint64_t startSector, std::uint64_t sectorsDoneBase, std::uint64_t sectorsTotal,
                     std::int32_t secondsLeft, std::uint64_t filesFound, CarvedFile* out);

// Whether the bytes (a file's first sector, at absolute sector startSector of source) pass the
// header test of the first table row with this extension (case-insensitive, no dot) and give that
// row's type. An extension the table does not know passes. A transport stream is tested without
// the deep scan's strictness (tsStreamMode clear).
bool CheckSignatureByExtension(std::span<const std::uint8_t> bytes, std::string_view extension,
                               const SectorSource& source, std::int32_t sectorSize, std::uint64_t startSector);

}  // namespace rexmoor
