// Text helpers. Names in records are UTF-8; UTF-16LE appears only where a stored format needs it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace rexmoor {

// Invalid input is replaced with U+FFFD; never throws.
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);
// Longest prefix of at most maxBytes bytes that ends on a character boundary.
std::string_view TruncateUtf8(std::string_view utf8, std::size_t maxBytes);
// Copies text into a fixed NUL-terminated field, truncating on a character boundary.
void CopyToField(std::string_view text, char* field, std::size_t fieldSize);
// Reads a NUL-terminated field without running past its end.
std::string_view FieldText(const char* field, std::size_t fieldSize);

std::string ToLowerAscii(std::string_view text);
// Byte-wise comparison with ASCII letters folded; <0, 0, >0.
int CompareNoCase(std::string_view a, std::string_view b);
bool EqualsNoCase(std::string_view a, std::string_view b);

// A byte count for people: "1023 Bytes", "1.50 KB", "12.00 MB", "1.00 TB" (binary units; values
// below 1 KiB, negative ones included, as whole bytes).
std::string FormatSize(std::int64_t bytes);

// printf-style formatting into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace rexmoor
