// Helpers for the command's output: JSON lines, ISO 8601 times, sizes.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

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

// One JSON object written field by field, in the order given, exactly as JsonText writes the same
// object: for lines written by the thousand, where building a Json first costs more than the rest.
// Keys are the caller's own (plain ASCII); values may be anything a medium holds.
class JsonLine {
 public:
  JsonLine& Text(std::string_view key, std::string_view value);
  JsonLine& Number(std::string_view key, std::uint64_t value);
  JsonLine& Signed(std::string_view key, std::int64_t value);
  JsonLine& Bool(std::string_view key, bool value);
  JsonLine& Null(std::string_view key);
  // As JsonTime gives it.
  JsonLine& Time(std::string_view key, std::uint64_t fileTime, bool localClock = false);
  // The object, closed (taken out of the line).
  std::string Done();

 private:
  void Key(std::string_view key);
  std::string text_ = "{";
};

}  // namespace rexmoor::cli
