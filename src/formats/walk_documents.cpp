#include "formats/walk_documents.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/byte_view.h"

namespace rexmoor::formats {

namespace {

// Bytes looked at beyond a marker's first byte: a closing tag, its line break and the next card's
// opening line all fit.
constexpr std::size_t kLookahead = 64;
// Deeper nesting than this is no document a program wrote; it bounds the walk on hostile bytes.
constexpr std::uint32_t kMaxDepth = 4096;
// A control word longer than this is not RTF (the longest real ones have about 30 letters).
constexpr std::size_t kMaxControlWord = 32;
constexpr std::size_t kMaxControlDigits = 10;
constexpr std::uint64_t kRtfFirstSector = 512;

// Bytes [offset, offset + kMaxFileView + kLookahead) of the file, clipped to `end`, copied into
// buf (so that the next read leaves them valid). Fewer where the medium ends.
std::size_t ReadChunk(FileBytes& file, std::uint64_t offset, std::uint64_t end, std::vector<std::uint8_t>& buf) {
  const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kMaxFileView + kLookahead, end - offset));
  buf.resize(kMaxFileView + kLookahead);
  std::size_t got = 0;
  while (got < want) {
    const std::span<const std::uint8_t> v = file.View(offset + got, want - got);
    if (v.empty()) break;
    std::memcpy(buf.data() + got, v.data(), v.size());
    got += v.size();
  }
  return got;
}

bool IsLetter(std::uint8_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(std::uint8_t c) { return c >= '0' && c <= '9'; }
bool IsSpace(std::uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool MatchesNoCase(const std::uint8_t* p, std::size_t avail, const char* literal) {
  const std::size_t n = std::strlen(literal);
  if (avail < n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    std::uint8_t c = p[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<std::uint8_t>(c + 32);
    std::uint8_t l = static_cast<std::uint8_t>(literal[i]);
    if (l >= 'A' && l <= 'Z') l = static_cast<std::uint8_t>(l + 32);
    if (c != l) return false;
  }
  return true;
}

// The bytes of one line break (CR LF, LF or CR) at p, 0 when none.
std::size_t LineBreakAt(const std::uint8_t* p, std::size_t avail) {
  if (avail >= 2 && p[0] == '\r' && p[1] == '\n') return 2;
  return avail >= 1 && (p[0] == '\n' || p[0] == '\r') ? 1 : 0;
}

// The line break right after `end`, if the file has one there within the limit: writers end their
// last line, and the break belongs to the file.
std::uint64_t WithLineBreak(FileBytes& file, std::uint64_t end, std::uint64_t limit) {
  std::uint8_t tail[2];
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(2, limit - end));
  std::size_t got = 0;
  while (got < n && file.Read(end + got, tail + got, 1)) ++got;
  return end + LineBreakAt(tail, got);
}

}  // namespace

WalkResult MeasureRtf(FileBytes& file, std::uint64_t limit) {
  std::uint8_t head[5];
  if (limit < sizeof head || !file.Read(0, head, sizeof head) || std::memcmp(head, "{\\rtf", 5) != 0)
    return NotThisFormat();
  enum class State : std::uint8_t { kText, kEscape, kWord, kParam };
  State state = State::kText;
  std::uint32_t depth = 0;
  std::uint32_t words = 0;  // control words seen
  char word[kMaxControlWord + 1] = {};
  std::size_t wordLength = 0;
  std::uint64_t param = 0;
  std::size_t digits = 0;
  bool negative = false;
  std::uint64_t offset = 0;
  while (offset < limit) {
    const std::span<const std::uint8_t> v =
        file.View(offset, static_cast<std::size_t>(std::min<std::uint64_t>(kMaxFileView, limit - offset)));
    if (v.empty()) return Unsure();
    std::uint64_t next = offset + v.size();
    for (std::size_t i = 0; i < v.size();) {
      if (state == State::kText) {
        // Plain text between groups and control words, eight bytes at a time.
        while (i + 8 <= v.size()) {
          const std::uint64_t x = LoadU64LE(v.data() + i);
          if ((BytesEqualTo(x, '{') | BytesEqualTo(x, '}') | BytesEqualTo(x, '\\') | StrayControlBytes(x)) != 0) break;
          i += 8;
        }
        if (i == v.size()) break;
      }
      const std::uint8_t c = v[i];
      switch (state) {
        case State::kText:
          ++i;
          if (c == '{') {
            if (++depth > kMaxDepth) return Unsure();
          } else if (c == '}') {
            if (depth == 0) return NotThisFormat();
            // Every writer follows \rtf1 with more control words (character set, fonts): a group
            // that closes without any is random bytes after the magic.
            if (--depth == 0) return words >= 2 ? Measured(WithLineBreak(file, offset + i, limit)) : NotThisFormat();
          } else if (c == '\\') {
            state = State::kEscape;
          } else if (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f') {
            // RTF is text outside \bin data: control bytes in the first sector were never RTF
            // (random bytes after the magic); further on, the file broke off there.
            return offset + i <= kRtfFirstSector ? NotThisFormat() : Unsure();
          }
          break;
        case State::kEscape:
          if (IsLetter(c)) {
            word[0] = static_cast<char>(c);
            wordLength = 1;
            ++words;
            state = State::kWord;
          } else {
            state = State::kText;  // a control symbol: \{ \} \\ \' and the like
          }
          ++i;
          break;
        case State::kWord:
          if (IsLetter(c)) {
            if (wordLength == kMaxControlWord) return offset + i < kRtfFirstSector ? NotThisFormat() : Unsure();
            word[wordLength++] = static_cast<char>(c);
            ++i;
          } else if (c == '-' || IsDigit(c)) {
            negative = c == '-';
            param = negative ? 0 : c - '0';
            digits = negative ? 0 : 1;
            state = State::kParam;
            ++i;
          } else {
            if (c == ' ') ++i;  // the space that ends a control word is part of it
            state = State::kText;
          }
          break;
        case State::kParam:
          if (IsDigit(c)) {
            if (++digits > kMaxControlDigits) return Unsure();
            param = param * 10 + (c - '0');
            ++i;
            break;
          }
          if (c == ' ') ++i;
          state = State::kText;
          if (wordLength == 3 && std::memcmp(word, "bin", 3) == 0 && !negative && param > 0) {
            // \binN: N bytes of raw data follow, braces among them included.
            const std::uint64_t from = offset + i;
            if (param > limit - std::min(from, limit)) return Unsure();
            next = from + param;
            i = v.size();  // leave this view: the walk resumes after the data
          }
          break;
      }
    }
    offset = next;
  }
  return Unsure();
}

namespace {

constexpr std::uint64_t kPlistHeader = 8;
constexpr std::size_t kPlistTrailer = 32;
// No property list a program writes holds more objects; it bounds the walk on hostile bytes.
constexpr std::uint64_t kMaxPlistObjects = 1u << 24;

// How a walk over a binary plist's objects ended.
enum class ObjectWalk : std::uint8_t { kTrailer, kBroken, kCut };

// A big-endian unsigned number of n (1..8) bytes.
std::uint64_t LoadBE(const std::uint8_t* p, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t k = 0; k < n; ++k) v = (v << 8) | p[k];
  return v;
}

// Whether the trailer that would follow the offset table of `objects` entries of `offsetSize`
// bytes at `table` is there and names exactly that table, with references of `refSize` bytes.
bool TrailerFits(FileBytes& file, std::uint64_t table, std::uint64_t objects, std::uint8_t offsetSize,
                 std::uint8_t refSize, std::uint64_t limit, std::uint64_t* end) {
  const std::uint64_t at = table + objects * offsetSize;
  if (at > limit || kPlistTrailer > limit - at) return false;
  std::uint8_t t[kPlistTrailer];
  if (!file.Read(at, t, sizeof t)) return false;
  if ((t[0] | t[1] | t[2] | t[3] | t[4] | t[5]) != 0 || t[6] != offsetSize || t[7] != refSize) return false;
  if (LoadU64BE(t + 8) != objects || LoadU64BE(t + 16) >= objects || LoadU64BE(t + 24) != table) return false;
  std::uint8_t first[8];
  if (!file.Read(table, first, offsetSize) || LoadBE(first, offsetSize) != kPlistHeader) return false;
  *end = at + kPlistTrailer;
  return true;
}

// Walks the objects that writers lay out one after another from the header on, taking object
// references to be refSize bytes. After each object the offset table may begin: it does where the
// trailer after a table of that many entries names it.
ObjectWalk WalkPlistObjects(FileBytes& file, std::uint8_t refSize, std::uint64_t limit, std::uint64_t* end,
                            std::uint64_t* reached) {
  std::uint64_t at = kPlistHeader;
  for (std::uint64_t objects = 0; objects < kMaxPlistObjects; ++objects) {
    *reached = at;
    if (objects > 0) {
      for (const std::uint8_t offsetSize : {1, 2, 4, 8}) {
        if (offsetSize < 8 && (at >> (8 * offsetSize)) != 0) continue;  // the table could not address `at`
        if (TrailerFits(file, at, objects, offsetSize, refSize, limit, end)) return ObjectWalk::kTrailer;
      }
    }
    std::uint8_t h[10];
    if (at >= limit || !file.Read(at, h, 1)) return ObjectWalk::kCut;
    const std::uint8_t kind = h[0] >> 4;
    const std::uint8_t low = h[0] & 0x0F;
    std::uint64_t size = 1;
    switch (kind) {
      case 0x0:
        if (h[0] != 0x00 && h[0] != 0x08 && h[0] != 0x09 && h[0] != 0x0F) return ObjectWalk::kBroken;
        break;
      case 0x1:
        if (low > 4) return ObjectWalk::kBroken;
        size += std::uint64_t{1} << low;
        break;
      case 0x2:
        if (low != 2 && low != 3) return ObjectWalk::kBroken;
        size += std::uint64_t{1} << low;
        break;
      case 0x3:
        if (h[0] != 0x33) return ObjectWalk::kBroken;
        size = 9;
        break;
      case 0x8:
        size += low + 1u;
        break;
      case 0x4: case 0x5: case 0x6: case 0xA: case 0xC: case 0xD: {
        std::uint64_t count = low;
        if (low == 0x0F) {
          // The count is an integer object of its own.
          if (limit - at < 2 || !file.Read(at + 1, h + 1, 1)) return ObjectWalk::kCut;
          if ((h[1] >> 4) != 0x1 || (h[1] & 0x0F) > 3) return ObjectWalk::kBroken;
          const std::size_t n = std::size_t{1} << (h[1] & 0x0F);
          if (limit - at < 2 + n || !file.Read(at + 2, h + 2, n)) return ObjectWalk::kCut;
          count = LoadBE(h + 2, n);
          size += 1 + n;
        }
        const std::uint64_t unit = kind == 0x4 || kind == 0x5 ? 1 : kind == 0x6 ? 2 : kind == 0xD ? 2u * refSize : refSize;
        if (count > limit / unit) return ObjectWalk::kBroken;
        size += count * unit;
        break;
      }
      default:
        return ObjectWalk::kBroken;
    }
    if (size > limit - at) return ObjectWalk::kBroken;
    at += size;
  }
  return ObjectWalk::kBroken;
}

}  // namespace

WalkResult MeasureBinaryPlist(FileBytes& file, std::uint64_t limit) {
  std::uint8_t head[kPlistHeader];
  if (limit < kPlistHeader + 1 + kPlistTrailer || !file.Read(0, head, sizeof head) ||
      std::memcmp(head, "bplist00", 8) != 0)
    return NotThisFormat();
  bool cut = false;
  std::uint64_t furthest = 0;
  for (const std::uint8_t refSize : {1, 2, 4, 8}) {
    std::uint64_t end = 0;
    std::uint64_t reached = 0;
    const ObjectWalk walk = WalkPlistObjects(file, refSize, limit, &end, &reached);
    if (walk == ObjectWalk::kTrailer) return Measured(end);
    cut = cut || walk == ObjectWalk::kCut;
    furthest = std::max(furthest, reached);
  }
  // Objects that break off within the first sector were never a plist's (random bytes after the
  // magic); further on, a plist was there and is damaged.
  constexpr std::uint64_t kFirstSector = 512;
  return !cut && furthest < kFirstSector ? NotThisFormat() : Unsure();
}

bool TextTypeClosesItself(FileTypeId type) {
  return type == kTypeVcf || type == kTypeIcs || type == kTypeSvg || type == kTypePlist;
}

namespace {

const std::uint8_t* Find(const std::uint8_t* p, std::size_t from, std::size_t to, char c) {
  return static_cast<const std::uint8_t*>(std::memchr(p + from, c, to - from));
}

// The first place from i on (before: the byte before i) where what MeasureClosedText looks for
// may begin: a line start for cards and calendars, a '<' for markup, the first character of the
// end of a comment being passed; to when there is none before it.
std::size_t NextClosingCandidate(FileTypeId type, const char* skipUntil, const std::uint8_t* p, std::size_t i,
                                 std::size_t to, std::uint8_t before) {
  if (type == kTypeVcf || type == kTypeIcs) {
    if (before == '\n' || before == '\r') return i;
    while (i < to && p[i] != '\n' && p[i] != '\r') ++i;
    return i < to ? i + 1 : to;
  }
  const std::uint8_t* hit = Find(p, i, to, skipUntil != nullptr ? skipUntil[0] : '<');
  return hit != nullptr ? static_cast<std::size_t>(hit - p) : to;
}

}  // namespace

WalkResult MeasureClosedText(FileBytes& file, std::uint64_t textLength, FileTypeId type) {
  if (!TextTypeClosesItself(type)) return NotThisFormat();
  std::vector<std::uint8_t> buf;
  std::uint8_t before = '\n';  // the start of the file is a line start
  std::uint32_t depth = 0;     // open <svg> elements
  const char* skipUntil = nullptr;  // the end of the comment or character data being passed
  for (std::uint64_t offset = 0; offset < textLength; offset += kMaxFileView) {
    const std::size_t got = ReadChunk(file, offset, textLength, buf);
    if (got == 0) return Unsure();
    const std::size_t scan = std::min(got, kMaxFileView);
    for (std::size_t i = 0; i < scan; before = buf[i], ++i) {
      // Only a few bytes can begin what each type looks for; the others are passed over at
      // memchr's pace.
      const std::size_t k = NextClosingCandidate(type, skipUntil, buf.data(), i, scan, before);
      if (k >= scan) {
        before = buf[scan - 1];
        break;
      }
      if (k != i) {
        before = buf[k - 1];
        i = k;
      }
      const std::uint8_t* p = buf.data() + i;
      const std::size_t avail = got - i;
      const std::uint64_t at = offset + i;
      const bool lineStart = before == '\n' || before == '\r';
      switch (type) {
        case kTypeVcf:
          // Cards written one after another are one file; it ends after the last one.
          if (lineStart && MatchesNoCase(p, avail, "END:VCARD")) {
            const std::size_t brk = LineBreakAt(p + 9, avail - 9);
            const std::size_t after = 9 + brk;
            if (!MatchesNoCase(p + after, avail - after, "BEGIN:VCARD")) return Measured(at + after);
          }
          break;
        case kTypeIcs:
          if (lineStart && MatchesNoCase(p, avail, "END:VCALENDAR"))
            return Measured(at + 13 + LineBreakAt(p + 13, avail - 13));
          break;
        case kTypePlist:
          if (MatchesNoCase(p, avail, "</plist>")) return Measured(at + 8 + LineBreakAt(p + 8, avail - 8));
          break;
        case kTypeSvg:
          // Markup inside comments and character data is text, not elements.
          if (skipUntil != nullptr) {
            if (MatchesNoCase(p, avail, skipUntil)) skipUntil = nullptr;
            break;
          }
          if (p[0] != '<' || avail < 6) break;
          if (MatchesNoCase(p, avail, "<!--")) {
            skipUntil = "-->";
          } else if (MatchesNoCase(p, avail, "<![CDATA[")) {
            skipUntil = "]]>";
          } else if (MatchesNoCase(p, avail, "<svg") && (IsSpace(p[4]) || p[4] == '>' || p[4] == '/')) {
            if (++depth > kMaxDepth) return Unsure();
          } else if (depth > 0 && MatchesNoCase(p, avail, "</svg") && (IsSpace(p[5]) || p[5] == '>')) {
            if (--depth > 0) break;
            std::size_t k = 5;
            while (k < avail && IsSpace(p[k])) ++k;
            if (k == avail || p[k] != '>') return Unsure();
            ++k;
            return Measured(at + k + LineBreakAt(p + k, avail - k));
          }
          break;
        default:
          break;
      }
    }
  }
  return Unsure();
}

}  // namespace rexmoor::formats
