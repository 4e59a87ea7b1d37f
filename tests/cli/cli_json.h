// The command's JSON Lines output, parsed, with keys in the order the command wrote them.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace rexmoor::test {

using OrderedJson = nlohmann::ordered_json;

// scan's closing summary: {"summary":true,"files":N,"complete":...}.
inline bool IsScanSummary(const OrderedJson& value) { return value.contains("summary") && value.contains("complete"); }

// One value per line; a line that is not a JSON object fails the test and is left out, and so is
// scan's closing summary unless asked for (recover's summary, one of its lines, is kept).
inline std::vector<OrderedJson> JsonLines(const std::string& text, bool withScanSummary = false) {
  std::vector<OrderedJson> values;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    const std::string line = text.substr(pos, nl - pos);
    pos = nl + 1;
    OrderedJson value = OrderedJson::parse(line, nullptr, false);
    if (value.is_discarded() || !value.is_object()) {
      ADD_FAILURE() << "not a JSON object: " << line;
      continue;
    }
    if (!withScanSummary && IsScanSummary(value)) continue;
    values.push_back(std::move(value));
  }
  return values;
}

inline std::vector<std::string> Keys(const OrderedJson& object) {
  std::vector<std::string> keys;
  for (const auto& item : object.items()) keys.push_back(item.key());
  return keys;
}

}  // namespace rexmoor::test
