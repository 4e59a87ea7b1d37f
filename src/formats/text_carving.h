// Plain text found by content: a sector that begins with enough printable UTF-8 (ASCII included)
// or UTF-16 text is the start of a text file, which ends at the first byte that is not text (a
// NUL included). The kind of text (HTML, XML, JSON, CSV, mail, mailbox, source code, vCard,
// iCalendar, SVG, XML property list, else plain text) is told from its first sector where that is
// clear.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "formats/file_bytes.h"
#include "formats/file_type_id.h"

namespace rexmoor::formats {

// Text that fills its first sector, or at least this many bytes of it before the zeros that end
// the sector: shorter runs of printable bytes are too common inside binary files.
inline constexpr std::size_t kMinTextBytes = 16;
// Text that stops inside its first sector at a byte that is neither text nor zero (the random
// slack after a short file) must be at least this long: random bytes practically never hold it.
inline constexpr std::size_t kMinTextBeforeJunk = 64;
// A last line this short after the final line break, ended by junk, is taken for slack.
inline constexpr std::size_t kMaxJunkTail = 8;

// The text type the sector begins (one for which IsTextType holds), or kTypeNone.
FileTypeId TextTest(std::span<const std::uint8_t> sector);

// The length of the text that begins at the file's start, at most limit bytes: Measured, or
// NotThisFormat when the start is not text.
WalkResult MeasureText(FileBytes& file, std::uint64_t limit);

}  // namespace rexmoor::formats
