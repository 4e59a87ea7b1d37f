// Documents and personal data measured by their own structure: RTF by its balanced braces, binary
// property lists by their trailer, and the text formats that close themselves (vCard, iCalendar,
// SVG, XML property lists) by their closing line or tag.
#pragma once

#include <cstdint>

#include "formats/file_bytes.h"
#include "formats/file_type_id.h"

namespace rexmoor::formats {

// "{\rtf" to the brace that closes the first group (and the line break after it). Escaped braces
// and the bytes of \binN do not count.
WalkResult MeasureRtf(FileBytes& file, std::uint64_t limit);

// "bplist00" to the end of its 32-byte trailer, found where the trailer's own offset-table offset
// and object count place it.
WalkResult MeasureBinaryPlist(FileBytes& file, std::uint64_t limit);

// Whether the text type ends at a closing line or tag of its own (vcf, ics, svg, plist).
bool TextTypeClosesItself(FileTypeId type);

// The end of a self-closing text document of `type` within its first `textLength` bytes (the text
// run the text walk measured): past the closing line or tag and the line break after it. Unsure when
// the text breaks off before it, NotThisFormat for other types.
WalkResult MeasureClosedText(FileBytes& file, std::uint64_t textLength, FileTypeId type);

}  // namespace rexmoor::formats
