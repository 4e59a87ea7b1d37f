// Names read from a medium become path components only through here, so a hostile volume can
// never direct a write outside the folder the user chose, nor pass a file off as another kind.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace rexmoor {

// Longest file name, in bytes, that Linux file systems take.
inline constexpr std::size_t kMaxNameBytes = 255;

// One safe path component: separators, NUL and control characters become '_', invalid UTF-8 is
// replaced, the invisible direction controls that can make "gpj.exe" read as "exe.jpg" are
// dropped, "." and ".." and the empty name become "_", a leading '-' gets a "_" before it (so
// the name is never taken for an option), and a name longer than kMaxNameBytes loses the end of
// its base name, never its extension.
std::string SanitizeName(std::string_view name);

// The extension of a name when it has a real one, without its dot: the text after the last '.'
// when that is 1 to 16 ASCII letters and digits and some base name comes before the dot. Empty
// otherwise (".._.._etc_x" and ".profile" have none).
std::string_view RealExtension(std::string_view name);

// The name with "(n)" before its real extension, or at its end when it has none, the base name
// shortened on a character boundary so that the result still fits kMaxNameBytes.
std::string NumberedName(std::string_view name, std::uint64_t n);

}  // namespace rexmoor
