#include "cli/output_format.h"

#include "platform/clock.h"
#include "platform/text.h"

namespace rexmoor::cli {

std::string JsonText(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

static std::string CivilText(std::uint64_t fileTime, const char* format) {
  CivilTime t = FileTimeToCivil(fileTime);
  return Format(format, t.year, t.month, t.day, t.hour, t.minute, t.second);
}

Json JsonTime(std::uint64_t fileTime, bool localClock) {
  if (fileTime == 0) return nullptr;
  return CivilText(fileTime, localClock ? "%04d-%02d-%02dT%02d:%02d:%02d" : "%04d-%02d-%02dT%02d:%02d:%02dZ");
}

std::string TextTime(std::uint64_t fileTime) {
  if (fileTime == 0) return "-";
  return CivilText(fileTime, "%04d-%02d-%02d %02d:%02d:%02d");
}

}  // namespace rexmoor::cli
