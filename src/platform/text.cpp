#include "platform/text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

namespace rexmoor {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at text[i]; advances i. Overlong forms, surrogates and values past
// U+10FFFF are rejected.
char32_t DecodeOne(std::string_view text, std::size_t& i) {
  auto b0 = static_cast<unsigned char>(text[i++]);
  if (b0 < 0x80) return b0;
  int extra;
  char32_t cp;
  if ((b0 & 0xE0) == 0xC0) {
    extra = 1;
    cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    extra = 2;
    cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    extra = 3;
    cp = b0 & 0x07;
  } else {
    return kReplacement;
  }
  for (int k = 0; k < extra; ++k) {
    if (i >= text.size()) return kReplacement;
    auto b = static_cast<unsigned char>(text[i]);
    if ((b & 0xC0) != 0x80) return kReplacement;
    cp = (cp << 6) | (b & 0x3F);
    ++i;
  }
  static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
  if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kReplacement;
  return cp;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  std::size_t i = 0;
  while (i < utf8.size()) {
    char32_t cp = DecodeOne(utf8, i);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t cp = utf16[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = kReplacement;  // unpaired surrogate
    }
    AppendUtf8(out, cp);
  }
  return out;
}

std::string_view TruncateUtf8(std::string_view utf8, std::size_t maxBytes) {
  if (utf8.size() <= maxBytes) return utf8;
  std::size_t end = maxBytes;
  // Step back over continuation bytes so the cut lands before a lead byte.
  while (end > 0 && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80) --end;
  return utf8.substr(0, end);
}

void CopyToField(std::string_view text, char* field, std::size_t fieldSize) {
  if (fieldSize == 0) return;
  std::string_view cut = TruncateUtf8(text, fieldSize - 1);
  std::memcpy(field, cut.data(), cut.size());
  std::memset(field + cut.size(), 0, fieldSize - cut.size());
}

std::string_view FieldText(const char* field, std::size_t fieldSize) {
  const void* nul = std::memchr(field, 0, fieldSize);
  std::size_t len = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - field) : fieldSize;
  return std::string_view(field, len);
}

static char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string ToLowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = FoldAscii(c);
  return out;
}

int CompareNoCase(std::string_view a, std::string_view b) {
  std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    auto ca = static_cast<unsigned char>(FoldAscii(a[i]));
    auto cb = static_cast<unsigned char>(FoldAscii(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CompareNoCase(a, b) == 0;
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string out;
  if (needed > 0) {
    out.resize(static_cast<std::size_t>(needed) + 1);
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<std::size_t>(needed));
  }
  va_end(args);
  return out;
}

std::string FormatSize(std::int64_t bytes) {
  static constexpr std::pair<int, const char*> kUnits[] = {{40, "TB"}, {30, "GB"}, {20, "MB"}, {10, "KB"}};
  for (const auto& [shift, unit] : kUnits) {
    const std::int64_t base = std::int64_t{1} << shift;
    if (bytes >= base) return Format("%.2f %s", static_cast<double>(bytes) / static_cast<double>(base), unit);
  }
  return Format("%lld Bytes", static_cast<long long>(bytes));
}

}  // namespace rexmoor
