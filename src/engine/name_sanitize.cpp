#include "engine/name_sanitize.h"

#include "platform/text.h"

namespace rexmoor {

namespace {

constexpr std::size_t kMaxExtensionChars = 16;

// Marks and embeddings that reorder how a name is displayed.
bool IsDirectionControl(char16_t unit) {
  return (unit >= 0x202A && unit <= 0x202E) || (unit >= 0x2066 && unit <= 0x2069) || unit == 0x200E ||
         unit == 0x200F || unit == 0x061C;
}

bool IsAsciiAlnum(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// base + suffix + ext within kMaxNameBytes, cutting the base on a character boundary.
std::string Fit(std::string_view base, std::string_view suffix, std::string_view ext) {
  const std::size_t fixed = suffix.size() + ext.size();
  if (fixed >= kMaxNameBytes) return std::string(TruncateUtf8(std::string(base) + std::string(suffix), kMaxNameBytes));
  std::string out(TruncateUtf8(base, kMaxNameBytes - fixed));
  out += suffix;
  out += ext;
  return out;
}

}  // namespace

std::string_view RealExtension(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 >= name.size()) return {};
  const std::string_view ext = name.substr(dot + 1);
  if (ext.size() > kMaxExtensionChars) return {};
  for (char c : ext)
    if (!IsAsciiAlnum(c)) return {};
  // "..jpg" has no base name before its extension.
  if (name.find_first_not_of('.') >= dot) return {};
  return ext;
}

std::string SanitizeName(std::string_view name) {
  std::u16string wide = Utf8ToUtf16(name);
  std::erase_if(wide, IsDirectionControl);
  std::string clean = Utf16ToUtf8(wide);
  for (char& c : clean) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F || c == '/' || c == '\\') c = '_';
  }
  if (clean.empty() || clean == "." || clean == "..") clean = "_";
  if (clean.front() == '-') clean.insert(clean.begin(), '_');
  if (clean.size() <= kMaxNameBytes) return clean;
  const std::string_view ext = RealExtension(clean);
  if (ext.empty()) return std::string(TruncateUtf8(clean, kMaxNameBytes));
  const std::string_view whole(clean);
  return Fit(whole.substr(0, whole.size() - ext.size() - 1), "", whole.substr(whole.size() - ext.size() - 1));
}

std::string NumberedName(std::string_view name, std::uint64_t n) {
  const std::string suffix = "(" + std::to_string(n) + ")";
  const std::string_view ext = RealExtension(name);
  if (ext.empty()) return Fit(name, suffix, "");
  return Fit(name.substr(0, name.size() - ext.size() - 1), suffix, name.substr(name.size() - ext.size() - 1));
}

}  // namespace rexmoor
