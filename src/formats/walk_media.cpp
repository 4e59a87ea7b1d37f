#include "formats/walk_media.h"

#include <array>
#include <bitset>
#include <cstring>
#include <optional>
#include <string_view>

#include "platform/byte_view.h"

namespace rexmoor::formats {

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

std::uint32_t Be16(const std::uint8_t* p) { return LoadU16BE(p); }
std::uint32_t Be24(const std::uint8_t* p) { return Be16(p) << 8 | p[2]; }
std::uint32_t Le16(const std::uint8_t* p) { return LoadU16LE(p); }
std::uint64_t Le64(const std::uint8_t* p) { return static_cast<std::uint64_t>(LoadU32LE(p + 4)) << 32 | LoadU32LE(p); }

bool Is(const std::uint8_t* p, std::string_view text) { return std::memcmp(p, text.data(), text.size()) == 0; }

// The file's bytes through one view at a time: a walk over many small records reads each stretch
// of the medium once, and a walk that skips far asks for no more than `fetch` bytes at each stop.
class Window {
 public:
  Window(FileBytes& file, std::size_t fetch) : file_(file), fetch_(fetch) {}

  // n (at most kMaxFileView) bytes at offset, or nullptr when the file does not have them all.
  const std::uint8_t* At(std::uint64_t offset, std::size_t n) {
    if (n == 0 || n > kMaxFileView) return nullptr;
    if (offset < base_ || offset - base_ > view_.size() || n > view_.size() - (offset - base_)) {
      view_ = file_.View(offset, std::max(n, fetch_));
      base_ = offset;
      if (view_.size() < n) return nullptr;
    }
    return view_.data() + (offset - base_);
  }
  // Whether the file reaches `end` (its bytes up to end exist).
  bool Reaches(std::uint64_t end) { return end == 0 || At(end - 1, 1) != nullptr; }
  // Up to kMaxFileView bytes from offset, for scans.
  std::span<const std::uint8_t> Span(std::uint64_t offset) {
    view_ = file_.View(offset, kMaxFileView);
    base_ = offset;
    return view_;
  }

 private:
  FileBytes& file_;
  std::size_t fetch_;
  std::uint64_t base_ = 0;
  std::span<const std::uint8_t> view_;
};

// `at + size` when it stays within limit.
std::optional<std::uint64_t> EndWithin(std::uint64_t at, std::uint64_t size, std::uint64_t limit) {
  if (at > limit || size > limit - at) return std::nullopt;
  return at + size;
}

WalkResult MeasuredIfPresent(Window& w, std::uint64_t end, std::uint64_t limit) {
  if (end > limit || !w.Reaches(end)) return Unsure();
  return Measured(end);
}

bool Printable4(const std::uint8_t* p) {
  for (int i = 0; i < 4; ++i)
    if (p[i] < 0x20 || p[i] > 0x7E) return false;
  return true;
}

// ---------------------------------------------------------------------------------------------
// Tags that follow audio data: APEv2 (with or without its header), Lyrics3 v1/v2, ID3v1 last.

constexpr std::uint64_t kMaxApeTag = 16 * kMiB;

// An APE tag footer/header: "APETAGEX", version 1000/2000, size (items + footer), item count.
bool ApeTagFields(const std::uint8_t* p, std::uint32_t& size) {
  if (!Is(p, "APETAGEX")) return false;
  const std::uint32_t version = LoadU32LE(p + 8);
  size = LoadU32LE(p + 12);
  return (version == 1000 || version == 2000) && size >= 32 && size <= kMaxApeTag && LoadU32LE(p + 16) <= 65536;
}

// A plausible first APE tag item: value size, flags, then a printable key ending in a zero.
bool LooksLikeApeItem(Window& w, std::uint64_t at) {
  const std::uint8_t* p = w.At(at, 8 + 3);
  if (p == nullptr || LoadU32LE(p) > kMaxApeTag || LoadU32LE(p + 4) > 7) return false;
  for (int i = 8; i < 10; ++i)
    if (p[i] < 0x20 || p[i] > 0x7E) return false;
  return true;
}

// Where an APE tag starting at `at` ends, if one does.
std::optional<std::uint64_t> ApeTagEnd(Window& w, std::uint64_t at, std::uint64_t limit) {
  std::uint32_t size = 0;
  const std::uint8_t* p = w.At(at, 32);
  if (p != nullptr && ApeTagFields(p, size)) {
    if ((LoadU32LE(p + 20) & 0x20000000u) == 0) return std::nullopt;  // a footer where the tag should start
    const auto end = EndWithin(at, 32ull + size, limit);
    if (!end) return std::nullopt;
    const std::uint8_t* footer = w.At(*end - 32, 32);
    std::uint32_t footerSize = 0;
    if (footer == nullptr || !ApeTagFields(footer, footerSize) || footerSize != size) return std::nullopt;
    return end;
  }
  // A tag without a header: its items, then a footer whose size reaches back exactly to `at`.
  if (!LooksLikeApeItem(w, at)) return std::nullopt;
  const std::span<const std::uint8_t> s = w.Span(at);
  static constexpr std::string_view kKey = "APETAGEX";
  for (std::size_t i = 0; i + 32 <= s.size();) {
    const void* hit = memmem(s.data() + i, s.size() - i, kKey.data(), kKey.size());
    if (hit == nullptr) break;
    const std::size_t f = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - s.data());
    if (f + 32 > s.size()) break;
    std::uint32_t tagSize = 0;
    if (ApeTagFields(s.data() + f, tagSize) && f + 32 == tagSize && at + tagSize <= limit) return at + tagSize;
    i = f + 1;
  }
  return std::nullopt;
}

// Lyrics3: "LYRICSBEGIN" ... then "LYRICSEND" (v1, at most 5100 bytes) or a six-digit size and
// "LYRICS200" (v2, the size counting from LYRICSBEGIN).
std::optional<std::uint64_t> LyricsEnd(Window& w, std::uint64_t at, std::uint64_t limit) {
  const std::uint8_t* p = w.At(at, 11);
  if (p == nullptr || !Is(p, "LYRICSBEGIN")) return std::nullopt;
  std::uint64_t offset = at;
  for (int views = 0; views < 20; ++views) {  // a v2 block is below 1 MB
    const std::span<const std::uint8_t> s = w.Span(offset);
    if (s.size() < 9) return std::nullopt;
    for (std::size_t i = 0; i + 9 <= s.size(); ++i) {
      const void* hit = memmem(s.data() + i, s.size() - i, "LYRICS", 6);
      if (hit == nullptr) break;
      const std::size_t f = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - s.data());
      if (f + 9 > s.size()) break;
      const std::uint64_t pos = offset + f;
      if (Is(s.data() + f, "LYRICSEND")) {
        if (pos - at > 5100 + 11) return std::nullopt;
        return EndWithin(pos, 9, limit);
      }
      if (Is(s.data() + f, "LYRICS200") && f >= 6 && pos >= at + 6) {
        std::uint64_t declared = 0;
        bool digits = true;
        for (std::size_t d = f - 6; d < f; ++d) {
          digits = digits && s[d] >= '0' && s[d] <= '9';
          declared = declared * 10 + static_cast<std::uint64_t>(s[d] - '0');
        }
        if (digits && declared == pos - 6 - at) return EndWithin(pos, 9, limit);
        if (digits) return std::nullopt;
      }
      i = f;
    }
    if (s.size() <= 16) return std::nullopt;
    offset += s.size() - 16;  // overlap so that a marker across two views is seen
  }
  return std::nullopt;
}

// The end of the tags found from `at` on (at itself when there are none).
std::uint64_t SkipTrailingTags(Window& w, std::uint64_t at, std::uint64_t limit) {
  for (int tags = 0; tags < 8; ++tags) {
    const std::uint8_t* p = w.At(at, 3);
    if (p == nullptr) return at;
    if (Is(p, "TAG")) {  // ID3v1 is always the very last thing
      const auto end = EndWithin(at, 128, limit);
      return end && w.Reaches(*end) ? *end : at;
    }
    std::optional<std::uint64_t> end = ApeTagEnd(w, at, limit);
    if (!end) end = LyricsEnd(w, at, limit);
    if (!end) return at;
    at = *end;
  }
  return at;
}

// ---------------------------------------------------------------------------------------------
// MPEG audio.

struct MpegAudioFrame {
  std::uint32_t header = 0;
  std::uint32_t length = 0;
};

std::optional<MpegAudioFrame> ParseMpegAudioFrame(const std::uint8_t* p) {
  const std::uint32_t h = LoadU32BE(p);
  if ((h & 0xFFE00000u) != 0xFFE00000u) return std::nullopt;
  const unsigned version = (h >> 19) & 3;  // 0 = MPEG-2.5, 2 = MPEG-2, 3 = MPEG-1
  const unsigned layerBits = (h >> 17) & 3;
  const unsigned bitrateIndex = (h >> 12) & 15;
  const unsigned rateIndex = (h >> 10) & 3;
  // Free-format frames (bitrate index 0) carry no length: they cannot be measured.
  if (version == 1 || layerBits == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3 || (h & 3) == 2)
    return std::nullopt;
  static constexpr std::uint32_t kRates[3][3] = {{44100, 48000, 32000}, {22050, 24000, 16000}, {11025, 12000, 8000}};
  static constexpr std::uint16_t kBitrates[5][14] = {
      {32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // MPEG-1 layer I
      {32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // MPEG-1 layer II
      {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // MPEG-1 layer III
      {32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},     // MPEG-2/2.5 layer I
      {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},          // MPEG-2/2.5 layers II, III
  };
  const unsigned layer = 4 - layerBits;
  const bool mpeg1 = version == 3;
  const std::uint32_t rate = kRates[mpeg1 ? 0 : version == 2 ? 1 : 2][rateIndex];
  const unsigned table = mpeg1 ? layer - 1 : (layer == 1 ? 3 : 4);
  const std::uint32_t bitrate = kBitrates[table][bitrateIndex - 1] * 1000u;
  const std::uint32_t padding = (h >> 9) & 1;
  std::uint32_t length = 0;
  if (layer == 1)
    length = (12 * bitrate / rate + padding) * 4;
  else if (layer == 3 && !mpeg1)
    length = 72 * bitrate / rate + padding;
  else
    length = 144 * bitrate / rate + padding;
  return MpegAudioFrame{h, length};
}

// Frames of one stream share sync, version, layer and sample rate.
constexpr std::uint32_t kSameStreamMask = 0xFFFE0C00u;
// A last frame with nothing after it to confirm it must also repeat the frame before it in CRC
// flag, copyright, original and emphasis bits and mono/stereo mode: a chance match of random bytes
// is then about one in ten million. (Not the first frame: encoders write their info frame with
// other flags than the audio frames.)
bool SameInDetail(std::uint32_t h, std::uint32_t before) {
  const bool monoH = ((h >> 6) & 3) == 3;
  const bool monoBefore = ((before >> 6) & 3) == 3;
  return (h & 0xFFFF0C0Fu) == (before & 0xFFFF0C0Fu) && monoH == monoBefore;
}

bool TagStartsAt(Window& w, std::uint64_t at) {
  const std::uint8_t* p = w.At(at, 8);
  if (p == nullptr) return false;
  return Is(p, "TAG") || Is(p, "APETAGEX") || Is(p, "LYRICSBE");
}

constexpr std::uint64_t kMaxAudioFrames = 1u << 24;

// ID3v2: "ID3", version 2..4, flags, a 28-bit synch-safe size; a v2.4 footer adds 10 bytes.
std::optional<std::uint64_t> Id3v2Length(const std::uint8_t* p) {
  if (!Is(p, "ID3") || p[3] < 2 || p[3] > 4 || p[4] == 0xFF) return std::nullopt;
  if ((p[6] | p[7] | p[8] | p[9]) & 0x80) return std::nullopt;
  const std::uint64_t size = static_cast<std::uint64_t>(p[6]) << 21 | p[7] << 14 | p[8] << 7 | p[9];
  const bool footer = p[3] == 4 && (p[5] & 0x10) != 0;
  return 10 + size + (footer ? 10 : 0);
}

}  // namespace

WalkResult MeasureMpegAudio(FileBytes& file, std::uint64_t limit) {
  Window w(file, kMaxFileView);
  std::uint64_t pos = 0;
  bool tagged = false;
  for (int tags = 0; tags < 4; ++tags) {
    const std::uint8_t* p = w.At(pos, 10);
    if (p == nullptr || !Is(p, "ID3")) break;
    const auto length = Id3v2Length(p);
    if (!length) return tagged ? Unsure() : NotThisFormat();
    const auto end = EndWithin(pos, *length, limit);
    if (!end) return Unsure();
    pos = *end;
    tagged = true;
  }
  // Some taggers pad after the tag instead of inside it.
  for (std::uint64_t zeros = 0; tagged && zeros < 4096; ++zeros) {
    const std::uint8_t* p = w.At(pos, 1);
    if (p == nullptr || *p != 0) break;
    ++pos;
  }
  const std::uint8_t* p = w.At(pos, 4);
  const auto first = p != nullptr ? ParseMpegAudioFrame(p) : std::nullopt;
  if (!first) return tagged ? Unsure() : NotThisFormat();

  std::uint64_t frames = 0;
  std::uint32_t before = first->header;
  while (frames < kMaxAudioFrames) {
    p = w.At(pos, 4);
    const auto frame = p != nullptr ? ParseMpegAudioFrame(p) : std::nullopt;
    if (!frame || (frame->header & kSameStreamMask) != (first->header & kSameStreamMask)) break;
    const auto end = EndWithin(pos, frame->length, limit);
    if (!end) return Unsure();
    if (!w.Reaches(*end)) {
      // The medium ends inside this frame: a stream cut short, or random bytes at the very end.
      if (frames == 0 || SameInDetail(frame->header, before)) return Unsure();
      break;
    }
    const std::uint8_t* next = w.At(*end, 4);
    if (next == nullptr) return Unsure();  // what follows decides whether the stream ends here
    const auto nextFrame = next != nullptr ? ParseMpegAudioFrame(next) : std::nullopt;
    const bool confirmed = nextFrame && (nextFrame->header & kSameStreamMask) == (first->header & kSameStreamMask);
    if (!confirmed && !TagStartsAt(w, *end) && !SameInDetail(frame->header, before)) break;
    pos = *end;
    before = frame->header;
    ++frames;
    if (!confirmed) break;
  }
  if (frames >= kMaxAudioFrames) return Unsure();
  // Without a tag, one frame on its own is no evidence of a stream.
  if (frames == 0 || (!tagged && frames < 2)) return tagged ? Unsure() : NotThisFormat();
  return Measured(SkipTrailingTags(w, pos, limit));
}

// ---------------------------------------------------------------------------------------------

namespace {

bool KnownTopLevelBox(const std::uint8_t* t) {
  static constexpr std::array<std::string_view, 20> kTypes = {
      "ftyp", "moov", "mdat", "free", "skip", "wide", "uuid", "pnot", "PICT", "meta",
      "moof", "mfra", "sidx", "ssix", "styp", "pdin", "emsg", "prft", "junk", "udta"};
  for (std::string_view type : kTypes)
    if (Is(t, type)) return true;
  return false;
}

constexpr std::uint64_t kMaxBoxes = 1000000;

}  // namespace

namespace {

bool KnownHeifBox(const std::uint8_t* t) {
  // A still keeps its items in meta and mdat; an image sequence adds a movie box.
  return KnownTopLevelBox(t);
}

bool KnownJxlBox(const std::uint8_t* t) {
  static constexpr std::array<std::string_view, 13> kTypes = {
      "JXL ", "ftyp", "jxlc", "jxlp", "jxll", "jxli", "jbrd", "Exif", "xml ", "jumb", "brob", "free", "skip"};
  for (std::string_view type : kTypes)
    if (Is(t, type)) return true;
  return false;
}

// A family of files made of top-level boxes (size, type; size 1: a 64-bit size follows).
struct BoxFamily {
  bool (*known)(const std::uint8_t* type);
  std::string_view opening;  // the first box; another one begins the next file
  std::string_view anchor;   // the box no file of the family does without; a second one begins the next file
  std::string_view partAnchor;  // a box that may repeat and stands in for the anchor (empty: none)
  bool opensWithIt = true;      // false: the first box may be any known one (old QuickTime files)
};

// How many boxes before a file's own ftyp (a JPEG XL file's follows its signature box).
std::uint64_t OwnTypeBoxes(const BoxFamily& family) { return family.opening == "ftyp" ? 0 : 1; }

// The top-level boxes from offset 0 to the first one that cannot belong to this file.
WalkResult MeasureBoxes(FileBytes& file, std::uint64_t limit, const BoxFamily& family) {
  Window w(file, 4096);
  std::uint64_t pos = 0;
  std::uint64_t boxes = 0;
  bool anchored = false;
  while (boxes < kMaxBoxes) {
    const std::uint8_t* p = w.At(pos, 16);
    if (p == nullptr) p = w.At(pos, 8);  // a last small box at the medium's end
    if (p == nullptr) return Unsure();
    const std::uint8_t* type = p + 4;
    // A box that is not one ends the file; so does the opening box of a second file, or its anchor.
    if (!family.known(type) || (boxes > 0 && Is(type, family.opening)) ||
        (boxes > OwnTypeBoxes(family) && Is(type, "ftyp")) ||
        (anchored && Is(type, family.anchor)))
      break;
    if (boxes == 0 && family.opensWithIt && !Is(type, family.opening)) return NotThisFormat();
    std::uint64_t size = LoadU32BE(p);
    if (size == 1) {
      if (w.At(pos, 16) == nullptr) break;
      p = w.At(pos, 16);
      size = LoadU64BE(p + 8);
      if (size < 16) break;
    } else if (size == 0) {
      return Unsure();  // "to the end of the file": a box with no end of its own
    } else if (size < 8) {
      break;
    }
    if (boxes == 0 && Is(type, "ftyp")) {
      const std::uint8_t* brand = w.At(pos + 8, 4);
      if (size < 16 || size > 4096 || brand == nullptr || !Printable4(brand)) return NotThisFormat();
    }
    const auto end = EndWithin(pos, size, limit);
    if (!end) return Unsure();
    anchored = anchored || Is(type, family.anchor) || (!family.partAnchor.empty() && Is(type, family.partAnchor));
    pos = *end;
    ++boxes;
  }
  if (boxes == 0) return NotThisFormat();
  // A file that opens with its own boxes is a chance match when nothing but them parses.
  if (family.opensWithIt && boxes <= 1 + OwnTypeBoxes(family) && !anchored) return NotThisFormat();
  // Without its anchor the file cannot be shown or played; with it, it is whole (a reference
  // movie has no media data of its own).
  if (boxes >= kMaxBoxes || !anchored) return Unsure();
  return MeasuredIfPresent(w, pos, limit);
}

}  // namespace

WalkResult MeasureIsoMedia(FileBytes& file, std::uint64_t limit) {
  return MeasureBoxes(file, limit, {KnownTopLevelBox, "ftyp", "moov", {}, false});
}

WalkResult MeasureHeif(FileBytes& file, std::uint64_t limit) {
  return MeasureBoxes(file, limit, {KnownHeifBox, "ftyp", "meta", {}});
}

WalkResult MeasureJxlContainer(FileBytes& file, std::uint64_t limit) {
  // The signature box is always 12 bytes: size 12, "JXL ", 0D 0A 87 0A.
  std::uint8_t signature[12];
  if (!file.Read(0, signature, 12)) return Unsure();
  if (std::memcmp(signature, "\x00\x00\x00\x0CJXL \x0D\x0A\x87\x0A", 12) != 0) return NotThisFormat();
  return MeasureBoxes(file, limit, {KnownJxlBox, "JXL ", "jxlc", "jxlp"});
}

// ---------------------------------------------------------------------------------------------
// EBML (Matroska, WebM).

namespace {

struct EbmlElement {
  std::uint32_t id = 0;
  unsigned idLength = 0;
  std::uint64_t size = 0;
  bool unknownSize = false;
  unsigned headerLength = 0;
};

// An element's ID and size at `at` (IDs of 1 to 4 bytes, sizes of 1 to 8).
std::optional<EbmlElement> ReadElement(Window& w, std::uint64_t at) {
  const std::uint8_t* p = w.At(at, 12);
  if (p == nullptr) p = w.At(at, 2);
  if (p == nullptr) return std::nullopt;
  EbmlElement e;
  const unsigned idLength = p[0] >= 0x80 ? 1 : p[0] >= 0x40 ? 2 : p[0] >= 0x20 ? 3 : p[0] >= 0x10 ? 4 : 0;
  if (idLength == 0) return std::nullopt;
  const std::uint8_t* q = w.At(at, idLength + 8);
  if (q == nullptr) q = w.At(at, idLength + 1);
  if (q == nullptr) return std::nullopt;
  for (unsigned i = 0; i < idLength; ++i) e.id = e.id << 8 | q[i];
  const std::uint8_t lead = q[idLength];
  if (lead == 0) return std::nullopt;
  unsigned sizeLength = 1;
  while ((lead & (0x80 >> (sizeLength - 1))) == 0) ++sizeLength;
  const std::uint8_t* s = w.At(at, idLength + sizeLength);
  if (s == nullptr) return std::nullopt;
  s += idLength;
  std::uint64_t value = lead & (0xFFu >> sizeLength);
  bool allOnes = value == (0xFFu >> sizeLength);
  for (unsigned i = 1; i < sizeLength; ++i) {
    value = value << 8 | s[i];
    allOnes = allOnes && s[i] == 0xFF;
  }
  e.idLength = idLength;
  e.size = value;
  e.unknownSize = allOnes;
  e.headerLength = idLength + sizeLength;
  return e;
}

constexpr std::uint32_t kEbmlHeader = 0x1A45DFA3;
constexpr std::uint32_t kSegment = 0x18538067;
constexpr std::uint32_t kCluster = 0x1F43B675;
constexpr std::uint32_t kVoid = 0xEC;
constexpr std::uint32_t kCrc32 = 0xBF;

bool EbmlHeaderChild(std::uint32_t id) {
  switch (id) {
    case 0x4286: case 0x42F7: case 0x42F2: case 0x42F3: case 0x4282: case 0x4287: case 0x4285:
    case kVoid: case kCrc32:
      return true;
    default:
      return false;
  }
}

bool SegmentChild(std::uint32_t id) {
  switch (id) {
    case 0x114D9B74: case 0x1549A966: case 0x1654AE6B: case kCluster: case 0x1C53BB6B:
    case 0x1941A469: case 0x1043A770: case 0x1254C367: case kVoid: case kCrc32:
      return true;
    default:
      return false;
  }
}

bool ClusterChild(std::uint32_t id) {
  switch (id) {
    case 0xE7: case 0xA3: case 0xA0: case 0xA7: case 0xAB: case 0xAF: case 0x5854: case kVoid: case kCrc32:
      return true;
    default:
      return false;
  }
}

constexpr std::uint64_t kMaxElements = 1u << 24;

}  // namespace

WalkResult MeasureMatroska(FileBytes& file, std::uint64_t limit) {
  Window w(file, 4096);
  const auto header = ReadElement(w, 0);
  if (!header || header->id != kEbmlHeader || header->unknownSize || header->size > 4096) return NotThisFormat();
  const auto headerChild = ReadElement(w, header->headerLength);
  if (!headerChild || !EbmlHeaderChild(headerChild->id)) return NotThisFormat();
  const std::uint64_t segmentAt = header->headerLength + header->size;
  const auto segment = ReadElement(w, segmentAt);
  if (!segment || segment->id != kSegment) return segment ? NotThisFormat() : Unsure();
  const std::uint64_t dataAt = segmentAt + segment->headerLength;
  const auto firstChild = ReadElement(w, dataAt);
  if (!firstChild || !SegmentChild(firstChild->id)) return Unsure();
  if (!segment->unknownSize) {
    const auto end = EndWithin(dataAt, segment->size, limit);
    return end ? MeasuredIfPresent(w, *end, limit) : Unsure();
  }
  // A segment written without its size (a live recording, an interrupted writer): walk its
  // children. Void and CRC-32, one-byte IDs random bytes match easily, count only once a
  // four-byte ID follows them.
  std::uint64_t pos = dataAt;
  std::uint64_t confirmed = dataAt;
  for (std::uint64_t n = 0; n < kMaxElements; ++n) {
    if (w.At(pos, 2) == nullptr) return Unsure();
    const auto e = ReadElement(w, pos);
    if (!e || !SegmentChild(e->id)) return confirmed > dataAt ? Measured(confirmed) : Unsure();
    const std::uint64_t data = pos + e->headerLength;
    if (e->unknownSize) {
      if (e->id != kCluster) return Unsure();
      pos = data;
      for (; n < kMaxElements; ++n) {
        const auto c = ReadElement(w, pos);
        if (!c || !ClusterChild(c->id)) break;
        if (c->unknownSize) return Unsure();
        const auto end = EndWithin(pos + c->headerLength, c->size, limit);
        if (!end) return Unsure();
        if (!w.Reaches(*end)) return Unsure();
        pos = *end;
        if (c->id != kVoid && c->id != kCrc32) confirmed = pos;
      }
      continue;
    }
    const auto end = EndWithin(data, e->size, limit);
    if (!end) return Unsure();
    if (!w.Reaches(*end)) return Unsure();
    pos = *end;
    if (e->idLength == 4) confirmed = pos;
  }
  return Unsure();
}

// ---------------------------------------------------------------------------------------------

WalkResult MeasureFlv(FileBytes& file, std::uint64_t limit) {
  Window w(file, 4096);
  const std::uint8_t* p = w.At(0, 13);
  if (p == nullptr || !Is(p, "FLV")) return p == nullptr ? Unsure() : NotThisFormat();
  const std::uint32_t headerSize = LoadU32BE(p + 5);
  if (p[3] != 1 || (p[4] & ~0x05u) != 0 || headerSize < 9 || headerSize > 1024) return NotThisFormat();
  const std::uint8_t* previous = w.At(headerSize, 4);
  if (previous == nullptr) return Unsure();
  if (LoadU32BE(previous) != 0) return NotThisFormat();
  std::uint64_t pos = headerSize + 4;
  std::uint64_t tags = 0;
  for (; tags < kMaxElements; ++tags) {
    const std::uint8_t* t = w.At(pos, 11);
    if (t == nullptr) return Unsure();
    const unsigned type = t[0] & 0x1F;
    // Type audio, video or script data, the filter bit alone above it, stream ID 0.
    if ((t[0] & 0xC0) != 0 || (type != 8 && type != 9 && type != 18) || Be24(t + 8) != 0) break;
    const std::uint32_t dataSize = Be24(t + 1);
    const auto end = EndWithin(pos, 11ull + dataSize + 4, limit);
    if (!end) return Unsure();
    const std::uint8_t* size = w.At(*end - 4, 4);
    // A tag header this exact is no chance match: a wrong back-pointer means damage.
    if (size == nullptr || LoadU32BE(size) != 11 + dataSize) return Unsure();
    pos = *end;
  }
  if (tags == 0 || tags >= kMaxElements) return Unsure();
  return Measured(pos);
}

// ---------------------------------------------------------------------------------------------
// MPEG program streams and video elementary streams.

namespace {

// A video elementary stream ends with its sequence end code 00 00 01 B7. Start codes come at
// least once per slice, so a long stretch without one, or a code video never uses, means the
// stream broke off before its end code.
WalkResult MeasureMpegVideo(Window& w, std::uint64_t limit) {
  const std::uint8_t* p = w.At(0, 12);
  if (p == nullptr) return Unsure();
  const unsigned width = p[4] << 4 | p[5] >> 4;
  const unsigned height = (p[5] & 0x0F) << 8 | p[6];
  const unsigned aspect = p[7] >> 4;
  const unsigned rate = p[7] & 0x0F;
  if (width == 0 || height == 0 || aspect == 0 || aspect > 14 || rate == 0 || rate > 8 || (p[10] & 0x20) == 0)
    return NotThisFormat();
  constexpr std::uint64_t kMaxGap = kMiB;
  std::uint64_t lastCode = 0;
  std::uint64_t offset = 4;
  while (offset <= limit) {
    const std::span<const std::uint8_t> s = w.Span(offset);
    if (s.size() < 4) return Unsure();
    std::size_t i = 0;
    while (i + 4 <= s.size()) {
      const void* hit = memmem(s.data() + i, s.size() - i, "\0\0\1", 3);
      if (hit == nullptr) break;
      const std::size_t f = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - s.data());
      if (f + 4 > s.size()) break;
      const std::uint64_t at = offset + f;
      const std::uint8_t code = s[f + 3];
      if (at - lastCode > kMaxGap) return Unsure();
      if (code == 0xB7) return at + 4 <= limit ? Measured(at + 4) : Unsure();
      if (code == 0xB0 || code == 0xB1 || code == 0xB4 || code == 0xB6 || code >= 0xB9) return Unsure();
      lastCode = at;
      i = f + 3;
    }
    if (offset + s.size() - lastCode > kMaxGap) return Unsure();
    offset += s.size() - 3;  // a start code may straddle two views
  }
  return Unsure();
}

constexpr std::uint64_t kMaxPackets = 1u << 26;

}  // namespace

WalkResult MeasureMpegPs(FileBytes& file, std::uint64_t limit) {
  Window w(file, kMaxFileView);
  const std::uint8_t* p = w.At(0, 4);
  if (p == nullptr) return Unsure();
  if (LoadU32BE(p) == 0x000001B3) return MeasureMpegVideo(w, limit);
  if (LoadU32BE(p) != 0x000001BA) return NotThisFormat();
  std::uint64_t pos = 0;
  std::uint64_t packs = 0;
  std::uint64_t packets = 0;
  std::uint64_t lastClock = 0;
  for (std::uint64_t n = 0; n < kMaxPackets; ++n) {
    p = w.At(pos, 4);
    if (p == nullptr) return Unsure();
    if (p[0] != 0 || p[1] != 0 || p[2] != 1) break;
    const std::uint8_t code = p[3];
    std::uint64_t length = 0;
    if (code == 0xB9) {  // program end code
      pos += 4;
      if (pos > limit) return Unsure();
      break;
    }
    if (code == 0xBA) {
      p = w.At(pos, 14);
      if (p == nullptr) return Unsure();
      std::uint64_t clock = 0;
      if ((p[4] & 0xC4) == 0x44 && (p[6] & 0x04) && (p[8] & 0x04) && (p[9] & 0x01) && (p[12] & 0x03) == 0x03) {
        length = 14 + (p[13] & 0x07);  // MPEG-2 pack header and its stuffing
        clock = static_cast<std::uint64_t>((p[4] >> 3) & 7) << 30 | static_cast<std::uint64_t>(p[4] & 3) << 28 |
                static_cast<std::uint64_t>(p[5]) << 20 | static_cast<std::uint64_t>(p[6] >> 3) << 15 |
                static_cast<std::uint64_t>(p[6] & 3) << 13 | static_cast<std::uint64_t>(p[7]) << 5 | p[8] >> 3;
      } else if ((p[4] & 0xF1) == 0x21 && (p[6] & 0x01) && (p[8] & 0x01) && (p[9] & 0x80) && (p[11] & 0x01)) {
        length = 12;  // MPEG-1
        clock = static_cast<std::uint64_t>((p[4] >> 1) & 7) << 30 | static_cast<std::uint64_t>(p[5]) << 22 |
                static_cast<std::uint64_t>(p[6] >> 1) << 15 | static_cast<std::uint64_t>(p[7]) << 7 | p[8] >> 1;
      } else {
        break;
      }
      // The system clock only runs forward within a stream: a pack from an earlier time starts
      // another recording (streams without an end code run straight into the next one).
      if (packs > 0 && clock < lastClock) break;
      lastClock = clock;
      ++packs;
    } else if (code >= 0xBB) {  // system header and PES packets carry their length
      p = w.At(pos, 6);
      if (p == nullptr) return Unsure();
      length = 6 + Be16(p + 4);
      ++packets;
    } else {
      break;
    }
    const auto end = EndWithin(pos, length, limit);
    if (!end) return Unsure();
    pos = *end;
  }
  if (packets == 0) return NotThisFormat();
  return MeasuredIfPresent(w, pos, limit);
}

// ---------------------------------------------------------------------------------------------

WalkResult MeasureTransportStream(FileBytes& file, std::uint64_t limit, unsigned packetSize) {
  if (packetSize != 188 && packetSize != 192) return NotThisFormat();
  Window w(file, kMaxFileView);
  const unsigned sync = packetSize - 188;
  std::bitset<8192> seen;
  std::bitset<8192> counted;
  std::array<std::uint8_t, 8192> counter{};
  std::uint64_t pos = 0;
  std::uint64_t packets = 0;
  for (;;) {
    const auto end = EndWithin(pos, packetSize, limit);
    const std::uint8_t* p = w.At(pos, packetSize);
    if (p == nullptr) return Unsure();
    if (!end) return Unsure();
    const std::uint8_t* h = p + sync;
    const unsigned pid = (h[1] & 0x1F) << 8 | h[2];
    if (h[0] != 0x47 || (h[3] & 0x30) == 0) break;  // adaptation-field control 00 is reserved
    const std::uint8_t cc = h[3] & 0x0F;
    const bool payload = (h[3] & 0x10) != 0;
    if (counted[pid] && payload && pid != 0x1FFF) {
      // A payload's continuity counter counts on by one (or repeats once) within a stream; a
      // break where a new section or PES packet starts is the next recording's first packet.
      const bool unitStart = (h[1] & 0x40) != 0;
      const bool flagged = (h[3] & 0x20) != 0 && h[4] > 0 && (h[5] & 0x80) != 0;  // discontinuity indicator
      if (unitStart && !flagged && cc != counter[pid] && cc != ((counter[pid] + 1) & 0x0F)) break;
    }
    if (payload) {
      counter[pid] = cc;
      counted[pid] = true;
    }
    if (!seen[pid]) {
      // A packet of a stream not seen before, at the end of the run, must be followed by a
      // packet: random bytes after a stream match its sync byte one time in 256.
      const std::uint8_t* next = w.At(*end + sync, 1);
      if (next != nullptr && *next != 0x47) break;
      seen[pid] = true;
    }
    pos = *end;
    ++packets;
  }
  if (packets < 3) return NotThisFormat();
  return Measured(pos);
}

// ---------------------------------------------------------------------------------------------
// ASF.

namespace {

using Guid = std::array<std::uint8_t, 16>;
constexpr Guid kAsfHeader = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                             0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr Guid kAsfData = {0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                           0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr Guid kAsfFileProperties = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                     0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr Guid kAsfSimpleIndex = {0x90, 0x08, 0x00, 0x33, 0xB1, 0xE5, 0xCF, 0x11,
                                  0x89, 0xF4, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xCB};
constexpr Guid kAsfIndex = {0xD3, 0x29, 0xE2, 0xD6, 0xDA, 0x35, 0xD1, 0x11,
                            0x90, 0x34, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xBE};
constexpr Guid kAsfMediaObjectIndex = {0xF8, 0x03, 0xB1, 0xFE, 0xAD, 0x12, 0x64, 0x4C,
                                       0x84, 0x0F, 0x2A, 0x1D, 0x2F, 0x7A, 0xD4, 0x8C};
constexpr Guid kAsfTimecodeIndex = {0xD0, 0x3F, 0xB7, 0x3C, 0x4A, 0x0C, 0x03, 0x48,
                                    0x95, 0x3D, 0xED, 0xF7, 0xB6, 0x22, 0x8F, 0x0C};

bool IsGuid(const std::uint8_t* p, const Guid& g) { return std::memcmp(p, g.data(), g.size()) == 0; }

}  // namespace

WalkResult MeasureAsf(FileBytes& file, std::uint64_t limit) {
  Window w(file, 4096);
  const std::uint8_t* p = w.At(0, 30);
  if (p == nullptr) return Unsure();
  const std::uint64_t headerSize = Le64(p + 16);
  const std::uint32_t children = LoadU32LE(p + 24);
  if (!IsGuid(p, kAsfHeader) || p[28] != 1 || p[29] != 2 || headerSize < 30 + 24 || headerSize > 64 * kMiB ||
      children == 0 || children > 10000)
    return NotThisFormat();
  if (headerSize > limit) return Unsure();
  // The file-properties object among the header's children gives the file size.
  std::optional<std::uint64_t> declared;
  std::uint64_t at = 30;
  for (std::uint32_t i = 0; i < children; ++i) {
    const std::uint8_t* c = w.At(at, 24);
    if (c == nullptr) return Unsure();
    const std::uint64_t size = Le64(c + 16);
    if (size < 24 || size > headerSize - at) return i == 0 ? NotThisFormat() : Unsure();
    if (IsGuid(c, kAsfFileProperties)) {
      const std::uint8_t* fp = w.At(at, 104);
      if (fp == nullptr || size < 104) return Unsure();
      const bool broadcast = (LoadU32LE(fp + 88) & 1) != 0;  // sizes unknown while it was written
      if (!broadcast) declared = Le64(fp + 40);
    }
    at += size;
  }
  std::uint64_t pos = headerSize;
  bool data = false;
  for (int objects = 0; objects < 10000; ++objects) {
    const std::uint8_t* o = w.At(pos, 24);
    if (o == nullptr) {
      if (!declared || *declared != pos) return Unsure();
      break;
    }
    const bool isData = IsGuid(o, kAsfData);
    if (!isData && !IsGuid(o, kAsfSimpleIndex) && !IsGuid(o, kAsfIndex) && !IsGuid(o, kAsfMediaObjectIndex) &&
        !IsGuid(o, kAsfTimecodeIndex))
      break;
    const std::uint64_t size = Le64(o + 16);
    if (size < 24) return Unsure();  // a data object of size 0 is still being written
    const auto end = EndWithin(pos, size, limit);
    if (!end) return Unsure();
    data = data || isData;
    pos = *end;
  }
  if (!data) return Unsure();
  if (declared && *declared != 0 && *declared != pos) return Unsure();
  return MeasuredIfPresent(w, pos, limit);
}

// ---------------------------------------------------------------------------------------------

namespace {

// The end of a DATA chunk's packets. Writers have been seen to get the chunk's size wrong, so the
// packets, counted in its header, are walked by their own lengths.
std::optional<std::uint64_t> RealMediaPacketsEnd(Window& w, std::uint64_t at, std::uint64_t limit) {
  const std::uint8_t* c = w.At(at, 18);
  if (c == nullptr) return std::nullopt;
  const std::uint32_t count = LoadU32BE(c + 10);
  if (count == 0) return EndWithin(at, LoadU32BE(c + 4), limit);
  if (count > kMaxElements) return std::nullopt;
  std::uint64_t pos = at + 18;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint8_t* p = w.At(pos, 4);
    if (p == nullptr || Be16(p) > 1 || Be16(p + 2) < 12) return std::nullopt;
    const auto end = EndWithin(pos, Be16(p + 2), limit);
    if (!end) return std::nullopt;
    pos = *end;
  }
  return pos;
}

}  // namespace

WalkResult MeasureRealMedia(FileBytes& file, std::uint64_t limit) {
  Window w(file, kMaxFileView);
  const std::uint8_t* p = w.At(0, 18);
  if (p == nullptr) return Unsure();
  if (!Is(p, ".RMF") || LoadU32BE(p + 4) < 16 || LoadU32BE(p + 4) > 64 || Be16(p + 8) > 1) return NotThisFormat();
  std::uint64_t pos = 0;
  bool properties = false;
  bool data = false;
  for (std::uint64_t n = 0; n < kMaxElements; ++n) {
    const std::uint8_t* c = w.At(pos, 10);
    if (c == nullptr) return Unsure();
    const bool known = (n == 0 && Is(c, ".RMF")) || Is(c, "PROP") || Is(c, "MDPR") || Is(c, "CONT") ||
                       Is(c, "DATA") || Is(c, "INDX") || Is(c, "RMMD");
    if (!known || Be16(c + 8) > 2) break;
    const std::uint32_t size = LoadU32BE(c + 4);
    if (size < 10) return n == 0 ? NotThisFormat() : Unsure();
    const bool isData = Is(c, "DATA");
    properties = properties || Is(c, "PROP");
    data = data || isData;
    const auto end = isData ? RealMediaPacketsEnd(w, pos, limit) : EndWithin(pos, size, limit);
    if (!end) return Unsure();
    pos = *end;
  }
  if (!properties || !data) return properties ? Unsure() : NotThisFormat();
  // Some writers (ffmpeg's) end the file with eight zero bytes after the last chunk.
  const std::uint8_t* tail = w.At(pos, 8);
  if (tail != nullptr && LoadU64BE(tail) == 0 && pos + 8 <= limit) pos += 8;
  return MeasuredIfPresent(w, pos, limit);
}

// ---------------------------------------------------------------------------------------------

namespace {

// Partition packs: 06 0E 2B 34 02 05 01 01 0D 01 02 01 01, then kind (02 header, 03 body,
// 04 footer), status, 00. The random index pack: the same with 11 01 00.
constexpr std::uint8_t kMxfPartitionKey[13] = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01,
                                               0x01, 0x0D, 0x01, 0x02, 0x01, 0x01};

}  // namespace

WalkResult MeasureMxf(FileBytes& file, std::uint64_t limit) {
  Window w(file, 4096);
  const std::uint8_t* p = w.At(0, 17);
  if (p == nullptr) return Unsure();
  if (std::memcmp(p, kMxfPartitionKey, 13) != 0 || p[13] != 0x02) return NotThisFormat();
  std::uint64_t pos = 0;
  bool footer = false;
  for (std::uint64_t n = 0; n < kMaxPackets; ++n) {
    const std::uint8_t* k = w.At(pos, 25);
    if (k == nullptr) k = w.At(pos, 17);
    if (k == nullptr) return Unsure();
    if (LoadU32BE(k) != 0x060E2B34) {
      // A header partition pack followed by no other key is a chance match, not a file.
      if (n == 1) return NotThisFormat();
      break;
    }
    const bool partition = std::memcmp(k, kMxfPartitionKey, 13) == 0;
    if (partition && n > 0 && k[13] == 0x02) break;  // the next file's header partition
    const std::uint8_t first = k[16];
    std::uint64_t length = first;
    unsigned lengthBytes = 1;
    if (first >= 0x80) {
      lengthBytes += first & 0x7F;
      if (lengthBytes == 1 || lengthBytes > 9) return n == 0 ? NotThisFormat() : Unsure();
      const std::uint8_t* l = w.At(pos + 17, lengthBytes - 1);
      if (l == nullptr) return Unsure();
      length = 0;
      for (unsigned i = 0; i + 1 < lengthBytes; ++i) length = length << 8 | l[i];
    }
    const auto end = EndWithin(pos + 16 + lengthBytes, length, limit);
    if (pos + 16 + lengthBytes > limit || !end) return Unsure();
    if (partition && k[13] == 0x04) footer = true;
    if (partition && k[13] == 0x11) {
      // The random index pack closes the file; its last four bytes repeat its own length.
      const std::uint8_t* tail = *end - pos >= 4 ? w.At(*end - 4, 4) : nullptr;
      if (tail == nullptr || LoadU32BE(tail) != *end - pos) return Unsure();
      return Measured(*end);
    }
    pos = *end;
  }
  if (!footer) return Unsure();  // a file cut off before its footer partition
  return MeasuredIfPresent(w, pos, limit);
}

// ---------------------------------------------------------------------------------------------

WalkResult MeasureMidi(FileBytes& file, std::uint64_t limit) {
  Window w(file, 4096);
  const std::uint8_t* p = w.At(0, 14);
  if (p == nullptr) return Unsure();
  const std::uint32_t headerLength = LoadU32BE(p + 4);
  const std::uint32_t format = Be16(p + 8);
  const std::uint32_t tracks = Be16(p + 10);
  if (!Is(p, "MThd") || headerLength < 6 || headerLength > 256 || format > 2 || tracks == 0 ||
      (format == 0 && tracks != 1))
    return NotThisFormat();
  std::uint64_t pos = 8 + headerLength;
  std::uint32_t found = 0;
  // Chunks of other kinds may sit between the tracks; they do not count.
  for (std::uint32_t chunks = 0; found < tracks && chunks < 70000; ++chunks) {
    const std::uint8_t* c = w.At(pos, 8);
    // Until the first track has proved itself, a break means the header matched by chance.
    const WalkResult broken = found == 0 ? NotThisFormat() : Unsure();
    if (c == nullptr || !Printable4(c)) return broken;
    const auto end = EndWithin(pos, 8ull + LoadU32BE(c + 4), limit);
    if (!end) return broken;
    if (Is(c, "MTrk")) {
      // Every track ends with the end-of-track event FF 2F 00.
      const std::uint8_t* tail = *end >= pos + 11 ? w.At(*end - 3, 3) : nullptr;
      if (tail == nullptr) return broken;
      if (tail[0] != 0xFF || tail[1] != 0x2F || tail[2] != 0x00) return broken;
      ++found;
    }
    pos = *end;
  }
  if (found < tracks) return Unsure();
  return MeasuredIfPresent(w, pos, limit);
}

// ---------------------------------------------------------------------------------------------

WalkResult MeasureApe(FileBytes& file, std::uint64_t limit) {
  Window w(file, 4096);
  const std::uint8_t* p = w.At(0, 52);
  if (p == nullptr) return Unsure();
  const std::uint32_t version = Le16(p + 4);
  if (!Is(p, "MAC ") || version < 3800 || version > 5000) return NotThisFormat();
  // Before version 3.98 the header does not give the audio data's length.
  if (version < 3980) return Unsure();
  const std::uint32_t descriptorBytes = LoadU32LE(p + 8);
  const std::uint32_t headerBytes = LoadU32LE(p + 12);
  const std::uint64_t seekTableBytes = LoadU32LE(p + 16);
  const std::uint64_t wavHeaderBytes = LoadU32LE(p + 20);
  const std::uint64_t audioBytes = static_cast<std::uint64_t>(LoadU32LE(p + 28)) << 32 | LoadU32LE(p + 24);
  const std::uint64_t terminatingBytes = LoadU32LE(p + 32);
  if (descriptorBytes < 52 || descriptorBytes > 1024 || headerBytes < 24 || headerBytes > 1024 ||
      LoadU32LE(p + 28) > 0xFFFF)
    return NotThisFormat();
  const std::uint8_t* h = w.At(descriptorBytes, 24);
  if (h == nullptr) return Unsure();
  const std::uint32_t level = Le16(h);
  const std::uint32_t bits = Le16(h + 16);
  const std::uint32_t channels = Le16(h + 18);
  if (level % 1000 != 0 || level == 0 || level > 5000 || (bits != 8 && bits != 16 && bits != 24 && bits != 32) ||
      channels == 0 || channels > 32 || LoadU32LE(h + 20) == 0)
    return NotThisFormat();
  const std::uint64_t end =
      descriptorBytes + headerBytes + seekTableBytes + wavHeaderBytes + audioBytes + terminatingBytes;
  if (end > limit || !w.Reaches(end)) return Unsure();
  return Measured(SkipTrailingTags(w, end, limit));
}

WalkResult MeasureMmf(FileBytes& file, std::uint64_t limit) {
  Window w(file, 4096);
  const std::uint8_t* p = w.At(0, 16);
  if (p == nullptr) return Unsure();
  // The file chunk's first child is always the contents-info chunk.
  if (!Is(p, "MMMD") || !Is(p + 8, "CNTI") || LoadU32BE(p + 4) < 16 || LoadU32BE(p + 12) < 5 || LoadU32BE(p + 12) > LoadU32BE(p + 4) - 8)
    return NotThisFormat();
  return MeasuredIfPresent(w, 8ull + LoadU32BE(p + 4), limit);
}

// ---------------------------------------------------------------------------------------------
// FLAC.

namespace {

constexpr std::uint32_t kMaxFlacBlocks = 4096;
// STREAMINFO's frame sizes are 24-bit: no frame is longer.
constexpr std::uint64_t kMaxFlacFrame = 1u << 24;
constexpr std::uint64_t kMaxFlacFrames = 1ull << 28;

// CRC-16 (polynomial 0x8005, first bit first), eight bytes a step: table k gives a byte's share
// with k bytes after it. Every FLAC frame byte passes through it.
// Plain arrays: the unoptimised test build walks every FLAC frame through them too.
struct Crc16Tables {
  std::uint16_t t[8][256];
};
constexpr Crc16Tables MakeCrc16Tables() {
  Crc16Tables tables{};
  auto& t = tables.t;
  for (unsigned i = 0; i < 256; ++i) {
    std::uint16_t c = static_cast<std::uint16_t>(i << 8);
    for (int k = 0; k < 8; ++k) c = static_cast<std::uint16_t>(c & 0x8000 ? (c << 1) ^ 0x8005 : c << 1);
    t[0][i] = c;
  }
  for (unsigned k = 1; k < 8; ++k)
    for (unsigned i = 0; i < 256; ++i)
      t[k][i] = static_cast<std::uint16_t>((t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 8]);
  return tables;
}
constexpr Crc16Tables kCrc16Tables = MakeCrc16Tables();
constexpr const std::uint16_t (&kCrc16)[8][256] = kCrc16Tables.t;

std::uint16_t Crc16Step(std::uint16_t crc, std::uint8_t byte) {
  return static_cast<std::uint16_t>((crc << 8) ^ kCrc16[0][((crc >> 8) ^ byte) & 0xFF]);
}

std::uint16_t Crc16(std::uint16_t crc, const std::uint8_t* p, std::size_t n) {
  for (; n >= 8; p += 8, n -= 8) {
    const unsigned x = crc ^ (static_cast<unsigned>(p[0]) << 8 | p[1]);
    crc = static_cast<std::uint16_t>(kCrc16[7][x >> 8] ^ kCrc16[6][x & 0xFF] ^ kCrc16[5][p[2]] ^ kCrc16[4][p[3]] ^
                                     kCrc16[3][p[4]] ^ kCrc16[2][p[5]] ^ kCrc16[1][p[6]] ^ kCrc16[0][p[7]]);
  }
  for (; n != 0; ++p, --n) crc = Crc16Step(crc, *p);
  return crc;
}

std::uint8_t Crc8(const std::uint8_t* p, std::size_t n) {
  std::uint8_t crc = 0;
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = static_cast<std::uint8_t>(crc & 0x80 ? (crc << 1) ^ 0x07 : crc << 1);
  }
  return crc;
}

struct FlacFrameHeader {
  unsigned length = 0;  // with its CRC-8
  std::uint32_t blockSize = 0;
};

constexpr std::size_t kFlacFrameHeaderMax = 16;

// A frame header among the n bytes at p whose fields are all legal and whose CRC-8 holds.
std::optional<FlacFrameHeader> ParseFlacFrameHeader(const std::uint8_t* p, std::size_t n) {
  if (n < 6 || p[0] != 0xFF || (p[1] & 0xFE) != 0xF8) return std::nullopt;
  const unsigned blockCode = p[2] >> 4;
  const unsigned rateCode = p[2] & 0x0F;
  const unsigned channels = p[3] >> 4;
  const unsigned sampleSize = (p[3] >> 1) & 7;
  if (blockCode == 0 || rateCode == 15 || channels >= 11 || sampleSize == 3 || (p[3] & 1) != 0) return std::nullopt;
  // The frame or sample number, coded like UTF-8 (up to 7 bytes).
  unsigned numberLength = 0;
  if (p[4] < 0x80) numberLength = 1;
  else if ((p[4] & 0xE0) == 0xC0) numberLength = 2;
  else if ((p[4] & 0xF0) == 0xE0) numberLength = 3;
  else if ((p[4] & 0xF8) == 0xF0) numberLength = 4;
  else if ((p[4] & 0xFC) == 0xF8) numberLength = 5;
  else if ((p[4] & 0xFE) == 0xFC) numberLength = 6;
  else if (p[4] == 0xFE) numberLength = 7;
  else return std::nullopt;
  std::size_t at = 4 + numberLength;
  if (at > n) return std::nullopt;
  for (std::size_t i = 5; i < at; ++i)
    if ((p[i] & 0xC0) != 0x80) return std::nullopt;
  FlacFrameHeader h;
  const unsigned blockExtra = blockCode == 6 ? 1 : blockCode == 7 ? 2 : 0;
  const unsigned rateExtra = rateCode == 12 ? 1 : rateCode == 13 || rateCode == 14 ? 2 : 0;
  if (at + blockExtra + rateExtra + 1 > n) return std::nullopt;
  if (blockCode == 1) h.blockSize = 192;
  else if (blockCode <= 5) h.blockSize = 576u << (blockCode - 2);
  else if (blockCode == 6) h.blockSize = p[at] + 1u;
  else if (blockCode == 7) h.blockSize = Be16(p + at) + 1u;
  else h.blockSize = 256u << (blockCode - 8);
  at += blockExtra + rateExtra;
  if (Crc8(p, at) != p[at]) return std::nullopt;
  h.length = static_cast<unsigned>(at + 1);
  return h;
}

// Up to n bytes at offset into out; how many the file has.
std::size_t ReadUpTo(FileBytes& file, std::uint64_t offset, std::uint8_t* out, std::size_t n) {
  std::size_t got = 0;
  while (got < n) {
    const auto v = file.View(offset + got, n - got);
    if (v.empty()) break;
    std::memcpy(out + got, v.data(), v.size());
    got += v.size();
  }
  return got;
}

// The frame after the one at frameStart whose header (headerLength bytes) gave crc: the first
// end from minEnd to lastEnd where the CRC-16 over the frame comes out zero and a frame header
// follows, found by looking only where a frame's sync code stands. On success hb holds that
// header's bytes. Nothing when the data, or lastEnd, comes first.
std::optional<std::uint64_t> NextFlacFrame(FileBytes& file, std::uint64_t frameStart, unsigned headerLength,
                                           std::uint16_t crc, std::uint64_t minEnd, std::uint64_t lastEnd,
                                           std::uint8_t (&hb)[kFlacFrameHeaderMax],
                                           std::optional<FlacFrameHeader>& header) {
  std::uint64_t at = frameStart + headerLength;  // where the view starts
  std::uint64_t crcAt = at;                      // the CRC covers the bytes before this
  std::size_t from = 0;                          // 1 past a sync code already turned down at at
  for (;;) {
    if (at > lastEnd) return std::nullopt;
    const auto chunk = file.View(at, kMaxFileView);
    if (chunk.empty()) return std::nullopt;
    const std::uint8_t* base = chunk.data();
    // Ends past lastEnd are never looked at.
    const std::size_t usable = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), lastEnd - at + 1));
    std::size_t i = from;
    from = 0;
    bool refetch = false;
    while (!refetch && i < usable) {
      const void* hit = std::memchr(base + i, 0xFF, usable - i);
      if (hit == nullptr) break;
      i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - base);
      const std::uint64_t end = at + i;
      if (end < minEnd) {
        ++i;
        continue;
      }
      crc = Crc16(crc, base + (crcAt - at), static_cast<std::size_t>(end - crcAt));
      crcAt = end;
      if (crc == 0) {
        std::size_t have = 0;
        if (i + sizeof hb <= chunk.size()) {
          std::memcpy(hb, base + i, sizeof hb);
          have = sizeof hb;
        } else {
          have = ReadUpTo(file, end, hb, sizeof hb);  // the chunk's view is gone after this
          refetch = true;
        }
        header = ParseFlacFrameHeader(hb, have);
        if (header) return end;
      }
      ++i;
    }
    if (refetch) {
      at = crcAt;
      from = 1;
      continue;
    }
    crc = Crc16(crc, base + (crcAt - at), static_cast<std::size_t>(at + chunk.size() - crcAt));
    at += chunk.size();
    crcAt = at;
  }
}

// The first end from minEnd to lastEnd where the CRC-16 of a frame, crc over the bytes before at,
// comes out zero.
std::optional<std::uint64_t> FirstFlacFrameEnd(FileBytes& file, std::uint64_t at, std::uint16_t crc,
                                               std::uint64_t minEnd, std::uint64_t lastEnd) {
  for (;;) {
    if (at >= lastEnd) return std::nullopt;
    const auto chunk = file.View(at, kMaxFileView);
    if (chunk.empty()) return std::nullopt;
    const std::size_t usable = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), lastEnd - at));
    std::size_t i = 0;
    if (at + 1 < minEnd) {
      // No end before minEnd counts: those bytes go through eight at a time.
      i = static_cast<std::size_t>(std::min<std::uint64_t>(usable, minEnd - 1 - at));
      crc = Crc16(crc, chunk.data(), i);
    }
    for (; i < usable; ++i) {
      crc = Crc16Step(crc, chunk[i]);
      if (crc == 0) return at + i + 1;
    }
    at += usable;
  }
}

}  // namespace

WalkResult MeasureFlac(FileBytes& file, std::uint64_t limit) {
  std::uint8_t head[42];
  if (!file.Read(0, head, sizeof head)) return Unsure();
  // The first metadata block is always STREAMINFO, 34 bytes.
  if (!Is(head, "fLaC") || (head[4] & 0x7F) != 0 || Be24(head + 5) != 34) return NotThisFormat();
  const std::uint32_t minBlock = Be16(head + 8);
  const std::uint32_t maxBlock = Be16(head + 10);
  const std::uint32_t minFrame = Be24(head + 12);
  const std::uint32_t maxFrame = Be24(head + 15);
  const std::uint32_t sampleRate = Be24(head + 18) >> 4;
  const std::uint64_t totalSamples = static_cast<std::uint64_t>(head[21] & 0x0F) << 32 | LoadU32BE(head + 22);
  if (minBlock < 16 || maxBlock < minBlock || sampleRate == 0 || (maxFrame != 0 && minFrame > maxFrame))
    return NotThisFormat();

  std::uint64_t pos = 4;
  for (std::uint32_t n = 0;; ++n) {
    if (n == kMaxFlacBlocks) return Unsure();
    std::uint8_t h[4];
    if (!file.Read(pos, h, 4)) return Unsure();
    // Types 7 to 126 are reserved, 127 invalid: the bytes after the header are not FLAC.
    if ((h[0] & 0x7F) > 6) return NotThisFormat();
    const auto next = EndWithin(pos + 4, Be24(h + 1), limit);
    if (!next) return Unsure();
    pos = *next;
    if (h[0] & 0x80) break;
  }

  // Frames: each ends where the CRC-16 over it comes out zero and the next frame header follows,
  // or, for the last, where the samples reach the total.
  const std::uint64_t frameCap = maxFrame != 0 ? maxFrame : kMaxFlacFrame;
  std::uint8_t hb[kFlacFrameHeaderMax];
  std::size_t have = ReadUpTo(file, pos, hb, sizeof hb);
  auto header = ParseFlacFrameHeader(hb, have);
  if (!header) {
    // A stream of no frames ends with its metadata, when the medium holds all of it.
    if (have == 0) return totalSamples == 0 && file.View(pos - 1, 1).size() == 1 ? Measured(pos) : Unsure();
    // Metadata that does not lead to a frame was a chance match.
    return have == sizeof hb ? NotThisFormat() : Unsure();
  }
  std::uint64_t samples = 0;
  std::uint64_t frameStart = pos;
  for (std::uint64_t frames = 0; frames < kMaxFlacFrames; ++frames) {
    samples += header->blockSize;
    const unsigned headerLength = header->length;
    const std::uint16_t crc = Crc16(0, hb, headerLength);
    const std::uint64_t minEnd = frameStart + std::max<std::uint64_t>(headerLength + 3, minFrame);
    const std::uint64_t lastEnd = std::min(frameStart + frameCap + 1, limit);
    if (totalSamples == 0 || samples < totalSamples) {
      // Not the last frame by the count: it ends where the next one starts.
      if (const auto next = NextFlacFrame(file, frameStart, headerLength, crc, minEnd, lastEnd, hb, header)) {
        frameStart = *next;
        continue;
      }
      if (totalSamples != 0) return Unsure();
    }
    // No frame follows: the stream ends at this frame's first good CRC, when its samples add up.
    const auto end = FirstFlacFrameEnd(file, frameStart + headerLength, crc, minEnd, lastEnd);
    if (!end || (totalSamples != 0 && samples != totalSamples)) return Unsure();
    return Measured(*end);
  }
  return Unsure();
}

// ---------------------------------------------------------------------------------------------
// Ogg.

namespace {

// CRC-32 (polynomial 0x04C11DB7, first bit first, nothing added or inverted), eight bytes a step
// as above.
struct OggCrcTables {
  std::uint32_t t[8][256];
};
constexpr OggCrcTables MakeOggCrcTables() {
  OggCrcTables tables{};
  auto& t = tables.t;
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i << 24;
    for (int k = 0; k < 8; ++k) c = c & 0x80000000u ? (c << 1) ^ 0x04C11DB7u : c << 1;
    t[0][i] = c;
  }
  for (unsigned k = 1; k < 8; ++k)
    for (unsigned i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 24];
  return tables;
}
constexpr OggCrcTables kOggCrcTables = MakeOggCrcTables();
constexpr const std::uint32_t (&kOggCrc)[8][256] = kOggCrcTables.t;

std::uint32_t OggCrc(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
  for (; n >= 8; p += 8, n -= 8) {
    const std::uint32_t x = crc ^ LoadU32BE(p);
    crc = kOggCrc[7][x >> 24] ^ kOggCrc[6][(x >> 16) & 0xFF] ^ kOggCrc[5][(x >> 8) & 0xFF] ^ kOggCrc[4][x & 0xFF] ^
          kOggCrc[3][p[4]] ^ kOggCrc[2][p[5]] ^ kOggCrc[1][p[6]] ^ kOggCrc[0][p[7]];
  }
  for (; n != 0; ++p, --n) crc = (crc << 8) ^ kOggCrc[0][((crc >> 24) ^ *p) & 0xFF];
  return crc;
}

constexpr std::size_t kOggPageHeader = 27;
constexpr std::size_t kOggCrcAt = 22;
constexpr std::uint64_t kMaxOggPages = 1ull << 28;
constexpr std::size_t kMaxOggStreams = 64;

}  // namespace

std::uint32_t OggPageCrc(std::span<const std::uint8_t> page) {
  // The page's own CRC field counts as zeros.
  static constexpr std::uint8_t kZeros[4] = {};
  const std::size_t before = std::min(page.size(), kOggCrcAt);
  std::uint32_t crc = OggCrc(0, page.data(), before);
  if (page.size() <= kOggCrcAt) return crc;
  const std::size_t field = std::min<std::size_t>(page.size() - kOggCrcAt, 4);
  crc = OggCrc(crc, kZeros, field);
  return OggCrc(crc, page.data() + kOggCrcAt + field, page.size() - kOggCrcAt - field);
}

std::size_t CheckedOggPage(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kOggPageHeader || !Is(bytes.data(), "OggS") || bytes[4] != 0 || (bytes[5] & ~0x07u) != 0)
    return 0;
  const std::size_t segments = bytes[26];
  if (kOggPageHeader + segments > bytes.size()) return 0;
  std::size_t length = kOggPageHeader + segments;
  for (std::size_t i = 0; i < segments; ++i) length += bytes[kOggPageHeader + i];
  if (length > bytes.size()) return 0;
  return OggPageCrc(bytes.first(length)) == LoadU32LE(bytes.data() + kOggCrcAt) ? length : 0;
}

WalkResult MeasureOgg(FileBytes& file, std::uint64_t limit) {
  Window w(file, kMaxFileView);
  std::array<std::uint32_t, kMaxOggStreams> serials{};
  std::array<bool, kMaxOggStreams> ended{};
  std::size_t streams = 0;
  std::size_t open = 0;
  bool beginnings = true;  // every stream's first page comes before any other page
  std::uint64_t pos = 0;
  for (std::uint64_t n = 0; n < kMaxOggPages; ++n) {
    // A first page, however well formed, that no page follows is no file.
    const auto broken = [n] { return n <= 1 ? NotThisFormat() : Unsure(); };
    const std::uint8_t* h = w.At(pos, kOggPageHeader);
    if (h == nullptr) return Unsure();
    if (!Is(h, "OggS")) return broken();
    std::size_t length = kOggPageHeader + h[26];
    const std::uint8_t* lacing = w.At(pos, length);
    if (lacing == nullptr) return Unsure();
    for (std::size_t i = kOggPageHeader; i < kOggPageHeader + lacing[26]; ++i) length += lacing[i];
    const std::uint8_t* page = w.At(pos, length);  // at most 65,307 bytes
    if (page == nullptr) return Unsure();
    if (CheckedOggPage({page, length}) != length) return broken();
    const std::uint8_t flags = page[5];
    const std::uint32_t serial = LoadU32LE(page + 14);
    std::size_t k = 0;
    while (k < streams && serials[k] != serial) ++k;
    if (flags & 0x02) {
      if (!beginnings || k < streams || streams == kMaxOggStreams || (flags & 0x01)) return broken();
      serials[streams++] = serial;
      ++open;
    } else {
      if (n == 0) return NotThisFormat();
      // A page of a stream this file did not begin is another file's.
      if (k == streams || ended[k]) return Unsure();
      beginnings = false;
    }
    const auto end = EndWithin(pos, length, limit);
    if (!end) return Unsure();
    pos = *end;
    if (flags & 0x04) {
      const std::size_t s = k < streams ? k : streams - 1;
      if (!ended[s]) {
        ended[s] = true;
        if (--open == 0) return Measured(pos);
      }
    }
  }
  return Unsure();
}

// ---------------------------------------------------------------------------------------------
// AIFF, AIFF-C.

namespace {
constexpr std::size_t kMaxAiffChunks = 100'000;
constexpr std::uint32_t kAiffCommonMin = 18;
}  // namespace

WalkResult MeasureAiff(FileBytes& file, std::uint64_t limit) {
  Window w(file, 4096);
  const std::uint8_t* h = w.At(0, 12);
  if (h == nullptr) return Unsure();
  const std::uint64_t size = LoadU32BE(h + 4);
  if (!Is(h, "FORM") || !(Is(h + 8, "AIFF") || Is(h + 8, "AIFC")) || size < 4 + 8 + kAiffCommonMin)
    return NotThisFormat();
  const std::uint64_t end = 8 + size;
  if (end > limit) return Unsure();
  std::uint64_t pos = 12;
  bool common = false;
  for (std::size_t n = 0; pos + 8 <= end; ++n) {
    if (n == kMaxAiffChunks) return Unsure();
    // Until two chunks have parsed, a break means the header matched by chance.
    const bool early = n <= 1;
    const std::uint8_t* c = w.At(pos, 8);
    if (c == nullptr) return Unsure();
    if (!Printable4(c)) return early ? NotThisFormat() : Unsure();
    const std::uint64_t chunk = LoadU32BE(c + 4);
    if (Is(c, "COMM")) {
      if (chunk < kAiffCommonMin) return NotThisFormat();
      common = true;
    }
    if (pos + 8 + chunk == end) {  // the last chunk, odd and unpadded inside the size
      pos = end;
      break;
    }
    pos += 8 + chunk + (chunk & 1);
  }
  if (pos != end || !common) return Unsure();
  return MeasuredIfPresent(w, end + (size & 1), limit);
}


// ---------------------------------------------------------------------------------------------
// AAC in ADTS frames.

namespace {
constexpr std::uint64_t kMaxAdtsFrames = 1ull << 26;
// The header test trusts three frames; a file is more than that (a fifth of a second at 22 kHz)
// and three frames and then other bytes are a chance match or a fragment.
constexpr int kAdtsFramesToTrust = 5;
constexpr unsigned kAdtsRateIndexMax = 12;  // 13 and 14 are reserved, 15 is not allowed in ADTS
}  // namespace

bool ParseAdtsHeader(const std::uint8_t* p, AdtsHeader* out) {
  // 12 sync bits, then the version bit, layer 00 and the CRC-absent bit.
  if (p[0] != 0xFF || (p[1] & 0xF6) != 0xF0) return false;
  if (((p[2] >> 2) & 0x0F) > kAdtsRateIndexMax) return false;
  const std::uint32_t frameBytes = (p[3] & 0x03u) << 11 | std::uint32_t{p[4]} << 3 | p[5] >> 5;
  const std::uint32_t headerBytes = (p[1] & 0x01) != 0 ? 7 : 9;
  if (frameBytes <= headerBytes) return false;
  out->fixed = std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | (p[3] & 0xF0u);
  out->frameBytes = frameBytes;
  return true;
}

WalkResult MeasureAdts(FileBytes& file, std::uint64_t limit) {
  Window w(file, 4096);
  AdtsHeader first;
  const std::uint8_t* p = w.At(0, 7);
  if (p == nullptr) return Unsure();
  if (!ParseAdtsHeader(p, &first)) return NotThisFormat();
  std::uint64_t pos = 0;
  std::uint64_t frames = 0;
  for (; frames < kMaxAdtsFrames; ++frames) {
    p = w.At(pos, 7);
    // Frames up to the medium's end: whether more followed cannot be told.
    if (p == nullptr) return frames >= kAdtsFramesToTrust ? Unsure() : NotThisFormat();
    AdtsHeader h;
    if (!ParseAdtsHeader(p, &h) || h.fixed != first.fixed) break;
    const auto end = EndWithin(pos, h.frameBytes, limit);
    if (!end) return Unsure();
    if (!w.Reaches(*end)) return frames >= kAdtsFramesToTrust ? Unsure() : NotThisFormat();
    pos = *end;
  }
  if (frames < kAdtsFramesToTrust) return NotThisFormat();
  if (frames == kMaxAdtsFrames) return Unsure();
  return Measured(SkipTrailingTags(w, pos, limit));
}

// ---------------------------------------------------------------------------------------------
// AMR, AMR-WB.

namespace {
constexpr std::uint64_t kMaxAmrFrames = 1ull << 28;
constexpr std::uint64_t kAmrFramesToTrust = 5;  // a tenth of a second
constexpr int kAmrNbSpeechTypes = 8;  // frame types 0..7 carry speech, 8 comfort noise
constexpr int kAmrWbSpeechTypes = 9;
// Bits of each frame type's payload (speech or comfort noise); -1: a type no encoder writes.
constexpr std::array<int, 16> kAmrNbBits = {95, 103, 118, 134, 148, 159, 204, 244, 39, -1, -1, -1, -1, -1, -1, 0};
constexpr std::array<int, 16> kAmrWbBits = {132, 177, 253, 285, 317, 365, 397, 461, 477, 40, -1, -1, -1, -1, 0, 0};

int AmrPayloadBits(std::uint8_t toc, bool wideband) {
  // F (no further frame in this packet) is 0 in storage files, Q (frame good) is 1, padding 0.
  if ((toc & 0x83) != 0 || (toc & 0x04) == 0) return -1;
  return (wideband ? kAmrWbBits : kAmrNbBits)[(toc >> 3) & 0x0F];
}
}  // namespace

std::size_t AmrFrameBytes(std::uint8_t toc, bool wideband) {
  const int bits = AmrPayloadBits(toc, wideband);
  return bits < 0 ? 0 : 1 + static_cast<std::size_t>(bits + 7) / 8;
}

WalkResult MeasureAmr(FileBytes& file, std::uint64_t limit) {
  Window w(file, 4096);
  const std::uint8_t* h = w.At(0, 9);
  if (h == nullptr) return Unsure();
  const bool wideband = Is(h, "#!AMR-WB\n");
  if (!wideband && !Is(h, "#!AMR\n")) return NotThisFormat();
  std::uint64_t pos = wideband ? 9 : 6;
  std::uint64_t frames = 0;
  int lastSpeechType = -1;
  // Whether a whole frame, its spare bits zero, starts at `at`; its size in `bytes`.
  const auto frameAt = [&](std::uint64_t at, std::size_t& bytes) {
    const std::uint8_t* toc = w.At(at, 1);
    bytes = toc != nullptr ? AmrFrameBytes(*toc, wideband) : 0;
    if (bytes == 0) return false;
    const int spare = static_cast<int>(bytes - 1) * 8 - AmrPayloadBits(*toc, wideband);
    const std::uint8_t* frame = w.At(at, bytes);
    return frame != nullptr && (spare == 0 || (frame[bytes - 1] & ((1u << spare) - 1)) == 0);
  };
  for (; frames < kMaxAmrFrames && pos < limit; ++frames) {
    std::size_t bytes = 0;
    if (w.At(pos, 1) == nullptr) return frames >= kAmrFramesToTrust ? Unsure() : NotThisFormat();
    if (!frameAt(pos, bytes)) {
      if (bytes != 0 && !w.Reaches(pos + bytes)) return Unsure();  // the medium ends inside it
      break;
    }
    // Bytes after a file pass for a frame now and then; a speech frame of another mode that no
    // frame follows is taken for such bytes (encoders keep their mode, at least to the end).
    // Comfort-noise and no-data frames come and go with the silences.
    const int type = (*w.At(pos, 1) >> 3) & 0x0F;
    const bool speech = type < (wideband ? kAmrWbSpeechTypes : kAmrNbSpeechTypes);
    std::size_t nextBytes = 0;
    if (speech && lastSpeechType >= 0 && type != lastSpeechType && !frameAt(pos + bytes, nextBytes)) break;
    if (speech) lastSpeechType = type;
    pos += bytes;
  }
  if (frames < kAmrFramesToTrust) return NotThisFormat();
  if (frames == kMaxAmrFrames || pos > limit) return Unsure();
  return Measured(pos);
}

// ---------------------------------------------------------------------------------------------
// Core Audio Format.

namespace {
constexpr std::size_t kMaxCafChunks = 100'000;
constexpr std::uint64_t kCafDescBytes = 32;

bool KnownCafChunk(const std::uint8_t* t) {
  static constexpr std::array<std::string_view, 19> kTypes = {
      "desc", "data", "pakt", "chan", "kuki", "strg", "mark", "regn", "inst", "midi",
      "ovvw", "peak", "edct", "info", "umid", "uuid", "free", "ldsc", "lyrc"};
  for (std::string_view type : kTypes)
    if (Is(t, type)) return true;
  return false;
}
}  // namespace

WalkResult MeasureCaf(FileBytes& file, std::uint64_t limit) {
  Window w(file, 4096);
  const std::uint8_t* h = w.At(0, 20);
  if (h == nullptr) return Unsure();
  if (!Is(h, "caff") || Be16(h + 4) != 1 || Be16(h + 6) != 0 || !Is(h + 8, "desc") ||
      LoadU64BE(h + 12) != kCafDescBytes)
    return NotThisFormat();
  std::uint64_t pos = 8;
  bool data = false;
  for (std::size_t n = 0;; ++n) {
    if (n == kMaxCafChunks) return Unsure();
    const std::uint8_t* c = w.At(pos, 12);
    if (c == nullptr) return Unsure();  // chunks up to the medium's end: more may have followed
    if (!KnownCafChunk(c)) break;
    const std::uint64_t size = LoadU64BE(c + 4);
    if (Is(c, "data")) {
      // Size -1: the audio runs to the end of the file, which nothing inside the file marks.
      if (size == ~0ull) return Unsure();
      if (size < 4) break;  // its edit count
      data = true;
    }
    const auto end = EndWithin(pos + 12, size, limit);
    if (!end) return n == 0 ? NotThisFormat() : Unsure();
    pos = *end;
  }
  if (!data) return pos == 8 + 12 + kCafDescBytes ? NotThisFormat() : Unsure();
  return MeasuredIfPresent(w, pos, limit);
}

// ---------------------------------------------------------------------------------------------
// WavPack.

namespace {
constexpr std::uint64_t kMaxWavPackBlocks = 1ull << 24;
constexpr std::size_t kWavPackHeaderBytes = 32;
constexpr std::uint32_t kWavPackMaxBlock = 1u << 24;  // far above what the encoder writes (1 MiB)
constexpr std::uint32_t kWavPackVersionMin = 0x402;
constexpr std::uint32_t kWavPackVersionMax = 0x410;
constexpr std::uint64_t kWavPackUnknownTotal = 0xFFFFFFFFu;

struct WavPackBlock {
  std::uint32_t bytes = 0;   // the whole block
  std::uint64_t total = 0;   // samples in the stream (kWavPackUnknownTotal: not known)
  std::uint64_t index = 0;   // the block's first sample
  std::uint32_t samples = 0;
  bool initial = false;  // the first block of a frame (channels come in blocks of one or two)
  bool final = false;    // its last block
};
constexpr std::uint32_t kWavPackInitialBlock = 0x800;
constexpr std::uint32_t kWavPackFinalBlock = 0x1000;

std::optional<WavPackBlock> ParseWavPackBlock(const std::uint8_t* p) {
  if (!Is(p, "wvpk")) return std::nullopt;
  const std::uint32_t size = LoadU32LE(p + 4);
  const std::uint32_t version = Le16(p + 8);
  if (size < kWavPackHeaderBytes - 8 || size > kWavPackMaxBlock || version < kWavPackVersionMin ||
      version > kWavPackVersionMax)
    return std::nullopt;
  WavPackBlock b;
  b.bytes = size + 8;
  const std::uint32_t total = LoadU32LE(p + 12);
  b.total = total == kWavPackUnknownTotal ? kWavPackUnknownTotal : std::uint64_t{p[11]} << 32 | total;
  b.index = std::uint64_t{p[10]} << 32 | LoadU32LE(p + 16);
  b.samples = LoadU32LE(p + 20);
  if (b.total != kWavPackUnknownTotal && (b.index > b.total || b.samples > b.total - b.index)) return std::nullopt;
  b.initial = (LoadU32LE(p + 24) & kWavPackInitialBlock) != 0;
  b.final = (LoadU32LE(p + 24) & kWavPackFinalBlock) != 0;
  return b;
}
}  // namespace

WalkResult MeasureWavPack(FileBytes& file, std::uint64_t limit) {
  Window w(file, 4096);
  const std::uint8_t* p = w.At(0, kWavPackHeaderBytes);
  if (p == nullptr) return Unsure();
  const auto first = ParseWavPackBlock(p);
  if (!first || first->index != 0 || !first->initial) return NotThisFormat();
  std::uint64_t pos = 0;
  std::uint64_t frameIndex = 0;  // the first sample of the last block's frame, and its length
  std::uint64_t frameSamples = 0;
  bool frameOpen = false;  // the last block was not its frame's final one
  std::uint64_t blocks = 0;
  for (; blocks < kMaxWavPackBlocks; ++blocks) {
    p = w.At(pos, kWavPackHeaderBytes);
    // Without a declared length, blocks up to the medium's end may have gone on.
    if (p == nullptr && first->total == kWavPackUnknownTotal) return Unsure();
    const auto b = p != nullptr ? ParseWavPackBlock(p) : std::nullopt;
    if (!b || b->total != first->total) break;
    // Each channel pair has its own block of a frame; the next frame starts where this one ends.
    // Anything else is another stream (the next file begins at sample 0).
    const bool sameFrame = frameOpen && !b->initial && b->index == frameIndex && b->samples == frameSamples;
    const bool nextFrame = !frameOpen && b->initial && b->index == frameIndex + frameSamples;
    if (!sameFrame && !nextFrame) break;
    if (first->total != kWavPackUnknownTotal && b->samples > 0 && b->index >= first->total) break;
    const auto end = EndWithin(pos, b->bytes, limit);
    if (!end) return Unsure();
    if (!w.Reaches(*end)) return Unsure();
    frameIndex = b->index;
    frameSamples = b->samples;
    frameOpen = !b->final;
    pos = *end;
  }
  if (blocks == 0) return NotThisFormat();
  if (blocks == kMaxWavPackBlocks) return Unsure();
  // A stream that declares its length and stops short of it broke off.
  if (first->total != kWavPackUnknownTotal && frameIndex + frameSamples < first->total) return Unsure();
  return Measured(SkipTrailingTags(w, pos, limit));
}

// ---------------------------------------------------------------------------------------------
// DSF.

namespace {
constexpr std::size_t kDsfHeadBytes = 92;  // DSD chunk (28), fmt chunk (52), data chunk header (12)
constexpr std::uint64_t kDsfDsdChunk = 28;
constexpr std::uint64_t kDsfFmtChunk = 52;
constexpr std::uint64_t kDsfDataAt = kDsfDsdChunk + kDsfFmtChunk;
constexpr std::uint32_t kDsfBlockPerChannel = 4096;
}  // namespace

WalkResult MeasureDsf(FileBytes& file, std::uint64_t limit) {
  Window w(file, 4096);
  const std::uint8_t* h = w.At(0, kDsfHeadBytes);
  if (h == nullptr) return Unsure();
  const std::uint64_t total = Le64(h + 12);
  const std::uint64_t metadata = Le64(h + 20);
  const std::uint32_t channels = LoadU32LE(h + 52);
  const std::uint32_t bits = LoadU32LE(h + 60);
  if (!Is(h, "DSD ") || Le64(h + 4) != kDsfDsdChunk || !Is(h + 28, "fmt ") || Le64(h + 32) != kDsfFmtChunk ||
      LoadU32LE(h + 40) != 1 || LoadU32LE(h + 44) != 0 || channels == 0 || channels > 6 ||
      (bits != 1 && bits != 8) || LoadU32LE(h + 72) != kDsfBlockPerChannel || !Is(h + 80, "data"))
    return NotThisFormat();
  const std::uint64_t dataBytes = Le64(h + 84);
  const auto dataEnd = EndWithin(kDsfDataAt, dataBytes, limit);
  if (dataBytes < 12 || total < kDsfHeadBytes) return NotThisFormat();
  if (!dataEnd || total > limit) return Unsure();
  if (metadata == 0) {
    if (total != *dataEnd) return NotThisFormat();
  } else {
    // The metadata (an ID3v2 tag) follows the sound data and runs to the end of the file.
    if (metadata < *dataEnd || metadata >= total) return NotThisFormat();
    const std::uint8_t* tag = w.At(metadata, 3);
    if (tag == nullptr) return Unsure();
    if (!Is(tag, "ID3")) return NotThisFormat();
  }
  return MeasuredIfPresent(w, total, limit);
}

}  // namespace rexmoor::formats
