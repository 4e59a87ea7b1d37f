// Structure walks of archives, documents and databases: each measures a candidate file to its
// last byte by the structure its own format defines (see file_bytes.h for the verdicts).
#pragma once

#include <cstdint>

#include "formats/file_bytes.h"

namespace rexmoor::formats {

// 7z: the start header's next-header offset and size, both headers' CRCs checked.
WalkResult Measure7z(FileBytes& file, std::uint64_t limit);
// ZIP and the packages built on it (docx, xlsx, pptx, odt, jar, ...): local entries, central
// directory, Zip64 records and the end record with its comment.
WalkResult MeasureZip(FileBytes& file, std::uint64_t limit);
// RAR 4 block chain and RAR 5 header chain, to the end-of-archive block.
WalkResult MeasureRar(FileBytes& file, std::uint64_t limit);
// gzip members (header, deflate stream, CRC32 and size trailer), several in a row.
WalkResult MeasureGzip(FileBytes& file, std::uint64_t limit);
// PDF: the end marker of the last incremental update, with its end-of-line.
WalkResult MeasurePdf(FileBytes& file, std::uint64_t limit);
// SQLite 3: page size times the page count, when the header vouches for that count.
WalkResult MeasureSqlite(FileBytes& file, std::uint64_t limit);
// OLE compound file (doc, xls, ppt, msi, ...): up to the highest sector its FAT marks in use.
WalkResult MeasureCompoundDocument(FileBytes& file, std::uint64_t limit);
// Cabinet: the cabinet size, checked against its folder and data blocks.
WalkResult MeasureCab(FileBytes& file, std::uint64_t limit);
// SWF: the tag walk (uncompressed) or the zlib stream (compressed) against the length field.
WalkResult MeasureSwf(FileBytes& file, std::uint64_t limit);

}  // namespace rexmoor::formats
