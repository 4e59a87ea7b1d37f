// Text helpers for the command's output: JSON strings, ISO 8601 times, sizes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace rexmoor::cli {

// A JSON string literal, quotes included; invalid UTF-8 becomes U+FFFD.
std::string JsonString(std::string_view text);
// "YYYY-MM-DDTHH:MM:SSZ" for a FILETIME, or "null" when it is 0.
std::string JsonTime(std::uint64_t fileTime);
// "YYYY-MM-DD HH:MM:SS", or "-" when unknown.
std::string TextTime(std::uint64_t fileTime);
// "1.00 KB", "1023 Bytes", ...
std::string SizeText(std::uint64_t bytes);

}  // namespace rexmoor::cli
