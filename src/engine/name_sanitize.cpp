#include "engine/name_sanitize.h"

#include "platform/text.h"

namespace rexmoor {

std::string SanitizeName(std::string_view name) {
  std::string clean = Utf16ToUtf8(Utf8ToUtf16(name));
  for (char& c : clean) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F || c == '/' || c == '\\') c = '_';
  }
  if (clean.empty() || clean == "." || clean == "..") clean = "_";
  return std::string(TruncateUtf8(clean, 255));
}

}  // namespace rexmoor
