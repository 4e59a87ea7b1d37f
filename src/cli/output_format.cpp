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

static std::string IsoTimeText(std::uint64_t fileTime, bool localClock) {
  return CivilText(fileTime, localClock ? "%04d-%02d-%02dT%02d:%02d:%02d" : "%04d-%02d-%02dT%02d:%02d:%02dZ");
}

Json JsonTime(std::uint64_t fileTime, bool localClock) {
  if (fileTime == 0) return nullptr;
  return IsoTimeText(fileTime, localClock);
}

std::string TextTime(std::uint64_t fileTime) {
  if (fileTime == 0) return "-";
  return CivilText(fileTime, "%04d-%02d-%02d %02d:%02d:%02d");
}

namespace {

// A string as JSON: text that needs no escape is written as it stands, anything else the way
// JsonText writes it (escapes, U+FFFD for bytes that are not UTF-8).
void AppendString(std::string& out, std::string_view value) {
  for (const char c : value) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u > 0x7E || c == '"' || c == '\\') {
      out += JsonText(Json(std::string(value)));
      return;
    }
  }
  out += '"';
  out += value;
  out += '"';
}

}  // namespace

void JsonLine::Key(std::string_view key) {
  if (text_.size() > 1) text_ += ',';
  AppendString(text_, key);
  text_ += ':';
}

JsonLine& JsonLine::Text(std::string_view key, std::string_view value) {
  Key(key);
  AppendString(text_, value);
  return *this;
}

JsonLine& JsonLine::Number(std::string_view key, std::uint64_t value) {
  Key(key);
  text_ += std::to_string(value);
  return *this;
}

JsonLine& JsonLine::Signed(std::string_view key, std::int64_t value) {
  Key(key);
  text_ += std::to_string(value);
  return *this;
}

JsonLine& JsonLine::Bool(std::string_view key, bool value) {
  Key(key);
  text_ += value ? "true" : "false";
  return *this;
}

JsonLine& JsonLine::Null(std::string_view key) {
  Key(key);
  text_ += "null";
  return *this;
}

JsonLine& JsonLine::Time(std::string_view key, std::uint64_t fileTime, bool localClock) {
  if (fileTime == 0) return Null(key);
  return Text(key, IsoTimeText(fileTime, localClock));
}

std::string JsonLine::Done() {
  text_ += '}';
  return std::move(text_);
}

}  // namespace rexmoor::cli
