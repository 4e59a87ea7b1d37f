// Helpers for the command's output: JSON lines, ISO 8601 times, sizes.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

namespace rexmoor::cli {

// Keys keep the order they are set in: the output's field order is part of its format.
using Json = nlohmann::ordered_json;

// Compact JSON text of a value; invalid UTF-8 in names from a medium becomes U+FFFD.
std::string JsonText(const Json& value);
// "YYYY-MM-DDTHH:MM:SSZ" for a FILETIME, or null when it is 0. A time the volume kept in its own
// local clock (FAT), whose offset from UTC is not known, is written without the "Z".
Json JsonTime(std::uint64_t fileTime, bool localClock = false);
// "YYYY-MM-DD HH:MM:SS", or "-" when unknown.
std::string TextTime(std::uint64_t fileTime);

}  // namespace rexmoor::cli
