#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/name_sanitize.h"

namespace {

// Whole, shortest-form UTF-8 sequences only, no surrogates.
bool IsValidUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    std::uint32_t cp = n == 1 ? c : c & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    if ((n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += n;
  }
  return true;
}

// What every name that becomes a path component must be.
void CheckComponent(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.size() > rexmoor::kMaxNameBytes) __builtin_trap();
  if (name[0] == '-') __builtin_trap();
  for (char c : name)
    if (c == '/' || static_cast<unsigned char>(c) < 0x20) __builtin_trap();
  if (!IsValidUtf8(name)) __builtin_trap();
}

}  // namespace

// Names straight from a medium's directory entries or file records.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  const std::string safe = rexmoor::SanitizeName(raw);
  CheckComponent(safe);
  if (rexmoor::SanitizeName(safe) != safe) __builtin_trap();  // a safe name is left as it is

  const std::string_view extension = rexmoor::RealExtension(safe);
  if (extension.size() > 16) __builtin_trap();
  if (!extension.empty() && safe.substr(safe.size() - extension.size()) != extension) __builtin_trap();
  (void)rexmoor::RealExtension(raw);

  for (std::uint64_t n : {std::uint64_t{1}, std::uint64_t{12345}, ~std::uint64_t{0}}) {
    const std::string numbered = rexmoor::NumberedName(safe, n);
    CheckComponent(numbered);
    if (numbered == safe) __builtin_trap();
  }
  return 0;
}
