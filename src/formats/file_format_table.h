// The ordered table of file formats the carver knows. Recognition is first match in table order,
// so the order is part of the behaviour. Each row names an extension, the type id, the header
// test that recognises the format in a file's first bytes, and the extent rule that measures a
// file from its first sector (rows without one are recognised, and end other files, but are never
// carved). Several rows share a type and its functions; a type is reported with the extension of
// the first row that carries it.
//
// Header tests and extent rules may read further sectors of the medium described by the
// CarvingContext they are given (fileStartSector, cursorSector, sectorSize, source); they never
// read outside the bytes they are given or outside the medium, and every loop is bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "formats/file_type_id.h"

namespace rexmoor {

class CarvingContext;

// Returns the row's type id (the compound-document test may return a sibling id) or kTypeNone.
using HeaderTest = FileTypeId (*)(CarvingContext& ctx, std::span<const std::uint8_t> bytes);
// Returns the measured length in bytes of a file whose first sector is given.
using ExtentRule = std::uint64_t (*)(CarvingContext& ctx, std::span<const std::uint8_t> headerSector);

struct FileFormatEntry {
  const char* extension;   // lower case, without dot
  FileTypeId typeId;
  HeaderTest headerTest;
  ExtentRule extentRule;   // null: recognised but not carved
};

inline constexpr std::size_t kFileFormatRowCount = 153;

// All rows in table order (no sentinel row: the span's end marks the end of the table).
std::span<const FileFormatEntry> FileFormatTable();

// Every row's header test in table order, repeated rows included, until one recognises the
// bytes. The reference definition of recognition. skipMpeg leaves the MPEG program-stream rows
// out.
FileTypeId RecogniseHeader(CarvingContext& ctx, std::span<const std::uint8_t> bytes, bool skipMpeg = false);
// Exactly RecogniseHeader's answer, found through a dispatch on the first byte: only the header
// tests that can accept that first byte (and the few that do not look at it) run, each at most
// once. skipMpeg leaves the MPEG program-stream rows out (the stop scan of an MPEG walk).
// Does not allocate.
FileTypeId RecogniseHeaderFast(CarvingContext& ctx, std::span<const std::uint8_t> bytes, bool skipMpeg = false);

// First row with the extension (ASCII case-insensitive, no dot), or null.
const FileFormatEntry* FindFormatByExtension(std::string_view extension);
// First row with the type id, or null (kTypeNone and unknown ids).
const FileFormatEntry* FirstRowForType(FileTypeId typeId);
// Extension reported for a type ("" for kTypeNone and unknown ids).
std::string_view ExtensionForType(FileTypeId typeId);

}  // namespace rexmoor
