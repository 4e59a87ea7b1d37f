#include "formats/text_carving.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/byte_view.h"

namespace rexmoor::formats {

namespace {

enum class Encoding : std::uint8_t { kUtf8, kUtf16Le, kUtf16Be };

constexpr std::size_t kMaxUtf8Char = 4;
// UTF-16 text is taken to be mostly ASCII: this many non-ASCII units in a row end it (random bytes
// read as UTF-16 are almost all non-ASCII units, so junk after the text is cut off quickly).
constexpr std::size_t kMaxUtf16ForeignRun = 4;
// Units that must be ASCII text at the start of UTF-16 text without a byte-order mark.
constexpr std::size_t kUtf16ProbeUnits = 16;

bool IsAsciiText(std::uint8_t c) { return (c >= 0x20 && c <= 0x7E) || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }
bool IsAsciiAlnum(std::uint8_t c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool IsContinuation(std::uint8_t c) { return (c & 0xC0) == 0x80; }

// Bytes of the UTF-8 text character at p: 1..4, 0 when the bytes there are not text, and -1 when
// they begin a valid character that the available bytes cut short.
int Utf8CharLength(const std::uint8_t* p, std::size_t avail) {
  const std::uint8_t c = p[0];
  if (c < 0x80) return IsAsciiText(c) ? 1 : 0;
  int n = 0;
  std::uint8_t lo = 0x80;
  std::uint8_t hi = 0xBF;
  if (c == 0xC2) {
    lo = 0xA0;  // U+0080..U+009F are control characters
    n = 2;
  } else if (c >= 0xC3 && c <= 0xDF) {
    n = 2;
  } else if (c == 0xE0) {
    lo = 0xA0;
    n = 3;
  } else if (c == 0xED) {
    hi = 0x9F;  // no surrogates
    n = 3;
  } else if (c >= 0xE1 && c <= 0xEF) {
    n = 3;
  } else if (c == 0xF0) {
    lo = 0x90;
    n = 4;
  } else if (c >= 0xF1 && c <= 0xF3) {
    n = 4;
  } else if (c == 0xF4) {
    hi = 0x8F;
    n = 4;
  } else {
    return 0;
  }
  for (int i = 1; i < n; ++i) {
    if (static_cast<std::size_t>(i) >= avail) return -1;
    const std::uint8_t b = p[i];
    if (i == 1 ? (b < lo || b > hi) : !IsContinuation(b)) return 0;
  }
  return n;
}

std::uint16_t Unit(const std::uint8_t* p, Encoding e) {
  return e == Encoding::kUtf16Le ? static_cast<std::uint16_t>(p[0] | (p[1] << 8))
                                 : static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
bool IsAsciiUnit(std::uint16_t u) { return u < 0x80 && IsAsciiText(static_cast<std::uint8_t>(u)); }
// Non-ASCII units that can stand in text: no controls, no unpaired-surrogate check (a pair is two
// units that both pass), no non-characters.
bool IsForeignUnit(std::uint16_t u) { return u >= 0xA0 && u != 0xFFFE && u != 0xFFFF; }

// What scanning a run of text found.
struct Run {
  std::uint64_t length = 0;     // bytes of text from the start
  std::uint64_t lastBreak = 0;  // bytes up to and including the last line feed (0: none)
  std::uint64_t letters = 0;    // ASCII letters and digits, and non-ASCII characters
  std::uint64_t chars = 0;
  bool countLetters = false;    // letters and chars are counted (the first sector's test only)
  bool ended = false;           // a byte that is not text was seen at `length`
  bool endedAtNul = false;      // ... and it was a NUL
};

// Scans text in `bytes`, which stand at file offset `base`, continuing `run`. `last` says the
// bytes end where the medium or the limit ends (a character cut there is not text). Returns the
// bytes consumed (less than all of them only when a character is cut by the end of a view).
std::size_t ScanText(std::span<const std::uint8_t> bytes, std::uint64_t base, Encoding e, bool last, Run& run,
                     std::size_t& foreign) {
  const std::uint8_t* p = bytes.data();
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  if (e == Encoding::kUtf8) {
    while (i < n) {
#if defined(__SSE2__)
      // Past the first sector only where the text ends matters: sixteen ASCII text bytes at a time.
      if (!run.countLetters) {
        const __m128i space = _mm_set1_epi8(0x20);
        const __m128i del = _mm_set1_epi8(0x7F);
        const __m128i lf = _mm_set1_epi8('\n');
        while (i + 16 <= n) {
          const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
          const __m128i breaks = _mm_cmpeq_epi8(v, lf);
          const __m128i allowed = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\t')), breaks),
                                               _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\f')),
                                                            _mm_cmpeq_epi8(v, _mm_set1_epi8('\r'))));
          // Compared as signed, bytes from 0x80 on are below a space too.
          const __m128i stray = _mm_or_si128(_mm_andnot_si128(allowed, _mm_cmplt_epi8(v, space)), _mm_cmpeq_epi8(v, del));
          if (_mm_movemask_epi8(stray) != 0) break;
          if (const auto at = static_cast<unsigned>(_mm_movemask_epi8(breaks)); at != 0)
            run.lastBreak = base + i + static_cast<std::uint64_t>(31 - __builtin_clz(at)) + 1;
          i += 16;
        }
      }
#endif
      // Eight ASCII text bytes at a time (line ends and tabs too).
      {
        // The high bit of each byte of the 7-bit x that is at least c.
        const auto atLeast = [](std::uint64_t x, unsigned c) { return (x + kEveryByte * (0x80 - c)) & kHighBits; };
        while (i + 8 <= n) {
          const std::uint64_t v = LoadU64LE(p + i);  // byte k of the text in bits 8k..8k+7
          if ((((v + kEveryByte) | v) & kHighBits) != 0 || StrayControlBytes(v) != 0) break;  // over 0x7E, controls
          if (const std::uint64_t breaks = BytesEqualTo(v, '\n'); breaks != 0)
            run.lastBreak = base + i + static_cast<std::uint64_t>((63 - __builtin_clzll(breaks)) / 8) + 1;
          if (run.countLetters) {
            const std::uint64_t folded = v | (kEveryByte * 0x20);
            const std::uint64_t alnum = (atLeast(v, '0') & ~atLeast(v, '9' + 1)) |
                                        (atLeast(folded, 'a') & ~atLeast(folded, 'z' + 1));
            run.letters += static_cast<std::uint64_t>(__builtin_popcountll(alnum));
            run.chars += 8;
          }
          i += 8;
        }
        if (i >= n) break;
      }
      const std::uint8_t c = p[i];
      if (c >= 0x20 && c <= 0x7E) {  // the common case first
        run.letters += IsAsciiAlnum(c);
        ++run.chars;
        ++i;
        continue;
      }
      const int len = Utf8CharLength(p + i, n - i);
      if (len < 0 && !last) return i;  // cut by the view: continue from here with the next one
      if (len <= 0) {
        run.ended = true;
        run.endedAtNul = c == 0;
        break;
      }
      if (c == '\n') run.lastBreak = base + i + 1;
      run.letters += len > 1;
      ++run.chars;
      i += static_cast<std::size_t>(len);
    }
    run.length = base + i;
    return i;
  }
  while (i + 2 <= n) {
    const std::uint16_t u = Unit(p + i, e);
    if (IsAsciiUnit(u)) {
      foreign = 0;
      run.letters += IsAsciiAlnum(static_cast<std::uint8_t>(u));
      if (u == '\n') run.lastBreak = base + i + 2;
    } else if (IsForeignUnit(u) && foreign < kMaxUtf16ForeignRun) {
      ++foreign;
      ++run.letters;
    } else {
      // A long run of non-ASCII units is junk read as text: the text ended where it began.
      i -= 2 * foreign;
      run.ended = true;
      run.endedAtNul = u == 0 && foreign == 0;
      foreign = 0;
      break;
    }
    ++run.chars;
    i += 2;
  }
  if (!run.ended && i + 2 > n && !last) {
    run.length = base + i;
    return i;
  }
  if (!run.ended && last) run.ended = i < n;  // an odd byte at the end
  run.length = base + i;
  return i;
}

// The encoding of text beginning at the sector's start, and the bytes of its byte-order mark.
bool DetectEncoding(std::span<const std::uint8_t> s, Encoding* e, std::size_t* bom) {
  if (s.size() < kMinTextBytes) return false;
  *bom = 0;
  if (s[0] == 0xEF && s[1] == 0xBB && s[2] == 0xBF) {
    *e = Encoding::kUtf8;
    *bom = 3;
    return true;
  }
  Encoding candidate = Encoding::kUtf8;
  if (s[0] == 0xFF && s[1] == 0xFE) {
    candidate = Encoding::kUtf16Le;
    *bom = 2;
  } else if (s[0] == 0xFE && s[1] == 0xFF) {
    candidate = Encoding::kUtf16Be;
    *bom = 2;
  } else if (s[1] == 0 && s[0] != 0) {
    candidate = Encoding::kUtf16Le;
  } else if (s[0] == 0 && s[1] != 0) {
    candidate = Encoding::kUtf16Be;
  }
  if (candidate != Encoding::kUtf8) {
    // Without a mark, UTF-16 must open with ASCII text; with one, the first unit after it must be.
    const std::size_t units = *bom != 0 ? 1 : kUtf16ProbeUnits;
    if (*bom + 2 * units > s.size()) return false;
    for (std::size_t k = 0; k < units; ++k) {
      if (!IsAsciiUnit(Unit(s.data() + *bom + 2 * k, candidate))) return false;
    }
  }
  *e = candidate;
  return true;
}

// The first sector's text decoded to the ASCII it holds (non-ASCII characters become '~'), for
// telling the kind of text.
std::size_t AsciiPreview(std::span<const std::uint8_t> s, Encoding e, std::size_t from, std::size_t to,
                         char* out, std::size_t cap) {
  std::size_t n = 0;
  if (e == Encoding::kUtf8) {
    for (std::size_t i = from; i < to && n < cap; ++i) {
      const std::uint8_t c = s[i];
      if (c < 0x80) {
        out[n++] = static_cast<char>(c);
      } else if (!IsContinuation(c)) {
        out[n++] = '~';
      }
    }
  } else {
    for (std::size_t i = from; i + 2 <= to && n < cap; i += 2) {
      const std::uint16_t u = Unit(s.data() + i, e);
      out[n++] = u < 0x80 ? static_cast<char>(u) : '~';
    }
  }
  return n;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (Lower(text[i]) != prefix[i]) return false;
  }
  return true;
}

bool ContainsNoCase(std::string_view text, std::string_view needle) {
  if (needle.empty() || text.size() < needle.size()) return false;
  for (std::size_t i = 0; i + needle.size() <= text.size(); ++i) {
    if (StartsWithNoCase(text.substr(i), needle)) return true;
  }
  return false;
}

bool IsMailHeaderLine(std::string_view line) {
  std::size_t i = 0;
  while (i < line.size() && (IsAsciiAlnum(static_cast<std::uint8_t>(line[i])) || line[i] == '-')) ++i;
  return i > 0 && i + 1 < line.size() && line[i] == ':' && (line[i + 1] == ' ' || line[i + 1] == '\t');
}

// Mail: a block of header fields, among them one that every stored message carries.
bool LooksLikeMail(std::string_view text) {
  static constexpr std::string_view kKeyFields[] = {"from:",       "received:",   "return-path:",
                                                    "message-id:", "delivered-to:", "mime-version:"};
  std::size_t fields = 0;
  bool key = false;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) break;  // a line the sector cuts short decides nothing
    std::string_view line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) break;
    if (line[0] == ' ' || line[0] == '\t') {
      if (fields == 0) return false;  // a folded line continues the field before it
    } else if (IsMailHeaderLine(line)) {
      ++fields;
      for (std::string_view f : kKeyFields) key = key || StartsWithNoCase(line, f);
    } else {
      return false;
    }
    pos = end + 1;
  }
  return fields >= 3 && key;
}

// A mailbox: the separator line "From " sender date (with its hh:mm:ss) and a mail's header block.
bool LooksLikeMbox(std::string_view text) {
  if (!text.starts_with("From ")) return false;
  const std::size_t end = text.find('\n');
  if (end == std::string_view::npos || end > 200) return false;
  const std::string_view line = text.substr(0, end);
  bool time = false;
  for (std::size_t i = 0; i + 8 <= line.size() && !time; ++i) {
    const auto digit = [&](std::size_t k) { return line[i + k] >= '0' && line[i + k] <= '9'; };
    time = digit(0) && digit(1) && line[i + 2] == ':' && digit(3) && digit(4) && line[i + 5] == ':' && digit(6) && digit(7);
  }
  return time && LooksLikeMail(text.substr(end + 1));
}

// The kind of an XML document told by its root element (after the prolog's comments, processing
// instructions and document type): kTypeSvg, kTypePlist, or kTypeNone for any other.
FileTypeId XmlRootType(std::string_view text) {
  std::size_t pos = 0;
  while ((pos = text.find('<', pos)) != std::string_view::npos && pos + 1 < text.size()) {
    const char next = text[pos + 1];
    if (next != '?' && next != '!') {
      const std::string_view element = text.substr(pos + 1);
      const auto named = [&](std::string_view name) {
        if (!StartsWithNoCase(element, name) || element.size() == name.size()) return false;
        const char c = element[name.size()];
        return c == ' ' || c == '>' || c == '\t' || c == '\r' || c == '\n' || c == '/';
      };
      if (named("svg")) return kTypeSvg;
      if (named("plist")) return kTypePlist;
      return kTypeNone;
    }
    // Skip a comment as a whole: it may hold markup.
    if (text.substr(pos).starts_with("<!--")) {
      const std::size_t close = text.find("-->", pos + 4);
      if (close == std::string_view::npos) return kTypeNone;
      pos = close + 3;
    } else {
      ++pos;
    }
  }
  return kTypeNone;
}

std::size_t CountCommas(std::string_view line) {
  std::size_t commas = 0;
  bool quoted = false;
  for (char c : line) {
    if (c == '"') quoted = !quoted;
    if (c == ',' && !quoted) ++commas;
  }
  return commas;
}

// Comma-separated values: the first two whole lines have the same number (two or more) of fields
// separators outside quotes.
bool LooksLikeCsv(std::string_view text) {
  const std::size_t first = text.find('\n');
  if (first == std::string_view::npos) return false;
  const std::size_t second = text.find('\n', first + 1);
  if (second == std::string_view::npos) return false;
  const std::size_t a = CountCommas(text.substr(0, first));
  return a >= 2 && a == CountCommas(text.substr(first + 1, second - first - 1));
}

FileTypeId Classify(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) ++i;
  const std::string_view t = text.substr(i);
  if (StartsWithNoCase(t, "<!doctype html") || StartsWithNoCase(t, "<html")) return kTypeHtml;
  if (StartsWithNoCase(t, "<?xml")) {
    if (ContainsNoCase(t, "<!doctype html")) return kTypeHtml;
    const FileTypeId root = XmlRootType(t);
    return root != kTypeNone ? root : kTypeXml;
  }
  if (StartsWithNoCase(t, "<svg") || StartsWithNoCase(t, "<!doctype svg")) return kTypeSvg;
  if (StartsWithNoCase(t, "<plist") || StartsWithNoCase(t, "<!doctype plist")) return kTypePlist;
  if (StartsWithNoCase(t, "begin:vcard\r\n") || StartsWithNoCase(t, "begin:vcard\n")) return kTypeVcf;
  if (StartsWithNoCase(t, "begin:vcalendar\r\n") || StartsWithNoCase(t, "begin:vcalendar\n")) return kTypeIcs;
  if (LooksLikeMbox(t)) return kTypeMbox;
  if (StartsWithNoCase(t, "<!--") && ContainsNoCase(t, "<html")) return kTypeHtml;
  if (!t.empty() && (t[0] == '{' || t[0] == '[')) {
    std::size_t j = 1;
    while (j < t.size() && (t[j] == ' ' || t[j] == '\t' || t[j] == '\r' || t[j] == '\n')) ++j;
    if (j < t.size()) {
      const char c = t[j];
      const bool opensValue = c == '"' || c == '{' || c == '[' || c == '-' || (c >= '0' && c <= '9');
      if ((t[0] == '{' && (c == '"' || c == '}')) || (t[0] == '[' && (opensValue || c == ']'))) return kTypeJson;
    }
  }
  if (StartsWithNoCase(t, "#!")) {
    const std::string_view line = t.substr(0, std::min(t.find('\n'), t.size()));
    if (ContainsNoCase(line, "python")) return kTypePy;
    if (ContainsNoCase(line, "sh")) return kTypeSh;  // sh, bash, dash, zsh, ksh
  }
  if (LooksLikeMail(t)) return kTypeEml;
  for (std::size_t pos = 0; pos < t.size();) {
    if (StartsWithNoCase(t.substr(pos), "#include <") || StartsWithNoCase(t.substr(pos), "#include \""))
      return kTypeC;
    const std::size_t next = t.find('\n', pos);
    if (next == std::string_view::npos) break;
    pos = next + 1;
  }
  if (LooksLikeCsv(t)) return kTypeCsv;
  return kTypeTxt;
}

// A text ended by junk (neither text nor the zeros that fill a sector after a file) drops the
// short last line that the junk most likely began.
std::uint64_t TrimJunkTail(const Run& run) {
  if (run.lastBreak != 0 && run.length - run.lastBreak <= kMaxJunkTail) return run.lastBreak;
  return run.length;
}

// Whether every byte from `from` to the end of the sector (of `sectorBytes`) is zero.
bool ZerosToSectorEnd(std::span<const std::uint8_t> s, std::size_t from) {
  return std::all_of(s.begin() + static_cast<std::ptrdiff_t>(std::min(from, s.size())), s.end(),
                     [](std::uint8_t b) { return b == 0; });
}

}  // namespace

FileTypeId TextTest(std::span<const std::uint8_t> sector) {
  Encoding e = Encoding::kUtf8;
  std::size_t bom = 0;
  if (!DetectEncoding(sector, &e, &bom)) return kTypeNone;
  Run run;
  run.countLetters = true;
  std::size_t foreign = 0;
  ScanText(sector.subspan(bom), bom, e, false, run, foreign);
  const std::size_t text = static_cast<std::size_t>(run.length);
  if (text < bom + kMinTextBytes) return kTypeNone;
  if (run.ended) {
    // Short text must be followed by the zeros of its sector; longer text may be followed by junk.
    if (!(run.endedAtNul && ZerosToSectorEnd(sector, text)) && text < kMinTextBeforeJunk) return kTypeNone;
  }
  // Mostly letters and digits, not a block of punctuation or spaces.
  if (run.letters * 4 < run.chars) return kTypeNone;
  std::array<char, 4096> preview{};
  const std::size_t n = AsciiPreview(sector, e, bom, text, preview.data(), preview.size());
  return Classify({preview.data(), n});
}

WalkResult MeasureText(FileBytes& file, std::uint64_t limit) {
  std::span<const std::uint8_t> first = file.View(0, kMaxFileView);
  Encoding e = Encoding::kUtf8;
  std::size_t bom = 0;
  if (!DetectEncoding(first, &e, &bom)) return NotThisFormat();
  Run run;
  std::size_t foreign = 0;
  std::uint64_t offset = bom;
  while (offset < limit) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kMaxFileView, limit - offset));
    const std::span<const std::uint8_t> v = file.View(offset, want);
    const bool last = v.size() < want || offset + v.size() >= limit;
    if (v.empty()) break;
    const std::size_t used = ScanText(v, offset, e, last, run, foreign);
    if (run.ended) {
      // The end of text: clean where zeros fill the rest of its sector (cut by the view: read on).
      if (run.endedAtNul) {
        const std::uint64_t at = run.length;
        constexpr std::uint64_t kSector = 512;
        const std::uint64_t sectorEnd = (at / kSector + 1) * kSector;
        std::array<std::uint8_t, kSector> rest{};
        const std::size_t need = static_cast<std::size_t>(sectorEnd - at);
        const bool zeros = file.Read(at, rest.data(), need) && ZerosToSectorEnd({rest.data(), need}, 0);
        if (zeros) return run.length > bom ? Measured(run.length) : NotThisFormat();
      }
      break;
    }
    if (last) break;
    offset += used;
    if (used == 0) break;  // a view too short to hold one character
  }
  if (run.length <= bom) return NotThisFormat();
  if (!run.ended) return Measured(run.length);  // the medium or the limit ends the text
  return Measured(TrimJunkTail(run));
}

}  // namespace rexmoor::formats
