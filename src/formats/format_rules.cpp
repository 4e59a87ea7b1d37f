#include "formats/format_rules.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <utility>

#include <zlib.h>

#include "formats/byte_search.h"
#include "formats/carving_context.h"
#include "formats/extent_walk.h"
#include "formats/package_typing.h"
#include "formats/sector_size.h"
#include "formats/file_format_table.h"
#include "formats/structure_extent.h"
#include "formats/text_carving.h"
#include "formats/walk_archives.h"
#include "formats/walk_documents.h"
#include "formats/walk_images.h"
#include "formats/walk_media.h"
#include "platform/byte_view.h"

namespace rexmoor::formats {

namespace {

// True when the literal (without its terminating NUL) stands at offset.
template <std::size_t N>
bool At(Bytes b, std::size_t offset, const char (&literal)[N]) {
  constexpr std::size_t n = N - 1;
  return offset <= b.size() && n <= b.size() - offset && std::memcmp(b.data() + offset, literal, n) == 0;
}

// A string literal as bytes (literals live for the whole run, so the span never dangles).
template <std::size_t N>
std::span<const std::uint8_t> Pattern(const char (&literal)[N]) {
  return {reinterpret_cast<const std::uint8_t*>(literal), N - 1};
}


std::uint64_t SectorSizeBytes(const CarvingContext& ctx) { return static_cast<std::uint64_t>(ctx.sectorSize); }

// The header sector: the first S of the given bytes.
Bytes HeaderSector(const CarvingContext& ctx, Bytes header) {
  return header.first(std::min<std::size_t>(header.size(), SectorSizeBytes(ctx)));
}

std::uint64_t PlainWalk(CarvingContext& ctx, Bytes header, std::uint64_t limit) {
  return ExtentWalk(ctx, header, limit, nullptr);
}

// The first footer occurrence in the header sector that the sector-tail rule accepts (all
// occurrences tried); 0 when none.
std::uint64_t AcceptedFooterInHeader(const CarvingContext& ctx, Bytes header, std::span<const std::uint8_t> pattern) {
  const Bytes sector = HeaderSector(ctx, header);
  const std::uint8_t* p = sector.data();
  const std::uint8_t* end = sector.data() + sector.size();
  const std::int32_t s = ctx.sectorSize;
  while ((p = FindForward(static_cast<std::size_t>(end - p), p, pattern.data(), pattern.size())) != nullptr) {
    const std::uint64_t e = static_cast<std::uint64_t>(p - sector.data()) + pattern.size();
    if (SectorTailAccepts(sector.data(), sector.size(), 0, e, s)) return e;
    ++p;
  }
  return 0;
}

// Footer: every occurrence in turn, the first that the sector-tail rule accepts ends the file.
class AllOccurrencesFooter : public WalkFooter {
 public:
  explicit AllOccurrencesFooter(std::span<const std::uint8_t> pattern) : pattern_(pattern) {}
  bool Examine(const ChunkView& chunk, std::uint64_t* end) override {
    const Bytes window = chunk.Window(pattern_.size());
    const std::uint8_t* p = window.data();
    const std::uint8_t* stop = window.data() + window.size();
    while ((p = FindForward(static_cast<std::size_t>(stop - p), p, pattern_.data(), pattern_.size())) != nullptr) {
      const std::uint64_t e = chunk.FileOffset(p) + pattern_.size();
      if (chunk.TailAccepts(e)) {
        *end = e;
        return true;
      }
      ++p;
    }
    return false;
  }

 private:
  std::span<const std::uint8_t> pattern_;
};

// Footer: the first occurrence in a chunk ends the file, extra bytes past its start.
class FirstOccurrenceFooter : public WalkFooter {
 public:
  FirstOccurrenceFooter(std::span<const std::uint8_t> pattern, std::uint64_t extra)
      : pattern_(pattern), extra_(extra) {}
  bool Examine(const ChunkView& chunk, std::uint64_t* end) override {
    const std::uint8_t* p = chunk.Find(pattern_);
    if (p == nullptr) return false;
    *end = chunk.FileOffset(p) + extra_;
    return true;
  }

 private:
  std::span<const std::uint8_t> pattern_;
  std::uint64_t extra_;
};

// The 7z start header carries a CRC-32 over its next-header fields.
std::uint32_t Crc32(Bytes bytes) {
  return static_cast<std::uint32_t>(crc32(0L, bytes.data(), static_cast<uInt>(bytes.size())));
}

}  // namespace

// ---------------------------------------------------------------- MPEG program stream (15)

FileTypeId MpegTest(Bytes b) {
  if (b.size() < 16) return kTypeNone;
  const Bytes front = b.first(std::min<std::size_t>(b.size(), 32));
  if (At(b, 0, "\x00\x00\x01\xBA") && FindForward(front, Pattern("\x00\x00\x01\xBB")) != nullptr) return kTypeMpeg;
  if (At(b, 0, "\x00\x00\x01\xB3") && FindForward(front, Pattern("\x00\x00\x01\xB8")) != nullptr) return kTypeMpeg;
  return kTypeNone;
}

std::uint64_t MpegExtent(CarvingContext& ctx, Bytes header) {
  if (const auto length = MeasureByStructure(ctx, header, MeasureMpegPs, kLimit6GiB)) return *length;
  // A video elementary stream ends with a sequence end code, a program stream with an end code.
  AllOccurrencesFooter footer(At(header, 0, "\x00\x00\x01\xB3") ? Pattern("\x00\x00\x01\xB7")
                                                                 : Pattern("\x00\x00\x01\xB9"));
  WalkParams params;
  params.limit = kLimit6GiB;
  params.mpegStops = true;  // every pack begins with a pack header
  return ExtentWalk(ctx, header, params, &footer);
}

// ---------------------------------------------------------------- ISO media (16, 17, 18)

FileTypeId Mp4Test(Bytes b) {
  if (b.size() < 32 || !At(b, 4, "ftyp")) return kTypeNone;
  if (At(b, 8, "crx ")) return kTypeCr3;  // Canon's raw in ISO boxes
  // Audio and audio-book brands are carved as m4a, measured like any MP4.
  if (At(b, 8, "M4A ") || At(b, 8, "M4B ")) return kTypeM4a;
  if (At(b, 8, "M4V ") || At(b, 8, "M4VH") || At(b, 8, "M4VP")) return kTypeM4v;
  return At(b, 8, "iso") || At(b, 8, "mp42") ? kTypeMp4 : kTypeNone;
}

namespace {
// One encoder's closing "free" box text; the file ends after the text's non-zero tail.
class Mp4Footer : public WalkFooter {
 public:
  bool Examine(const ChunkView& chunk, std::uint64_t* end) override {
    const auto kText = Pattern("freeIsoMedia File Produced");
    const std::uint8_t* p = chunk.Find(kText);
    if (p == nullptr) return false;
    const std::uint8_t* q = p + kText.size();
    const std::uint8_t* stop = chunk.data + chunk.size;
    while (q < stop && *q != 0) ++q;
    *end = chunk.FileOffset(q);
    return true;
  }
};
}  // namespace

std::uint64_t Mp4Extent(CarvingContext& ctx, Bytes header) {
  if (const auto length = MeasureByStructure(ctx, header, MeasureIsoMedia, kLimit6GiB)) return *length;
  Mp4Footer footer;
  return ExtentWalk(ctx, header, kLimit6GiB, &footer);
}

FileTypeId ThreeGpTest(Bytes b) {
  return b.size() >= 32 && At(b, 4, "ftyp") && At(b, 8, "3gp") ? kType3gp : kTypeNone;
}

FileTypeId MovTest(Bytes b) {
  if (b.size() < 16) return kTypeNone;
  return At(b, 0, "moov") || (At(b, 4, "ftyp") && At(b, 8, "qt  ")) ? kTypeMov : kTypeNone;
}

// ---------------------------------------------------------------- RealMedia (23)

FileTypeId RmTest(Bytes b) { return b.size() >= 4 && At(b, 0, ".RMF") ? kTypeRmvb : kTypeNone; }

std::uint64_t RmExtent(CarvingContext& ctx, Bytes header) {
  if (const auto length = MeasureByStructure(ctx, header, MeasureRealMedia, kLimit6GiB)) return *length;
  // An empty closing index chunk.
  const auto kIndex = Pattern("INDX\x00\x00\x00\x14\x00\x00\x00\x00\x00\x00\x00\x02\x00\x00\x00\x00");
  FirstOccurrenceFooter footer(kIndex, kIndex.size());
  return ExtentWalk(ctx, header, kLimit6GiB, &footer);
}

// ---------------------------------------------------------------- ASF (24)

namespace {
constexpr std::uint8_t kAsfHeaderGuid[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                             0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr std::uint8_t kAsfFilePropertiesGuid[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                                     0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr std::size_t kAsfFirstObject = 30;         // after the header object's own fields
constexpr std::size_t kAsfFileSizeField = 40;       // u64, bytes of the whole file
constexpr std::size_t kAsfFlagsField = 88;          // u32, bit 0: broadcast (size unknown)
}  // namespace

FileTypeId AsfTest(Bytes b) {
  return b.size() >= 24 && std::memcmp(b.data(), kAsfHeaderGuid, 16) == 0 ? kTypeWmv : kTypeNone;
}

std::uint64_t AsfExtent(CarvingContext& ctx, Bytes header) {
  if (const auto length = MeasureByStructure(ctx, header, MeasureAsf, kLimit6GiB)) return *length;
  const std::uint64_t s = SectorSizeBytes(ctx);
  if (header.size() <= kAsfFirstObject) return s;
  const Bytes rest = header.subspan(kAsfFirstObject);
  const std::uint8_t* p = FindForward(rest, Bytes(kAsfFilePropertiesGuid, 16));
  if (p == nullptr) return s;
  const ByteView view(header);
  const std::size_t object = static_cast<std::size_t>(p - header.data());
  const auto flags = view.U32LE(object + kAsfFlagsField);
  const auto size = view.U64LE(object + kAsfFileSizeField);
  if (!flags || !size || (*flags & 1) != 0) return s;
  return std::min<std::uint64_t>(*size, kLimit256MiB);
}

// ---------------------------------------------------------------- Flash (26, 27)

namespace {
constexpr std::uint8_t kMaxSwfVersion = 50;
}  // namespace

FileTypeId SwfTest(Bytes b) {
  if (b.size() < 8) return kTypeNone;
  // Versions up to 50: the player went past 40; the movie's own header is checked when measured.
  if (At(b, 0, "CWS") && b[3] >= 6 && b[3] <= kMaxSwfVersion) return kTypeSwf;
  if (At(b, 0, "FWS") && b[3] >= 1 && b[3] <= kMaxSwfVersion) return kTypeSwf;
  return kTypeNone;
}

std::uint64_t SwfExtent(CarvingContext& ctx, Bytes header) {
  if (const auto length = MeasureByStructure(ctx, header, MeasureSwf, kLimit256MiB)) return *length;
  const std::uint64_t declared = ByteView(header).U32LE(4).value_or(0);
  if (At(header, 0, "FWS")) return std::min<std::uint64_t>(declared, kLimit256MiB);
  // A compressed movie stores only its inflated length, which bounds the compressed one (plus the
  // few bytes deflate adds to incompressible data): walk to the next file within that bound.
  const std::uint64_t bound = declared + declared / 1000 + 1024 + SectorSizeBytes(ctx);
  return PlainWalk(ctx, header, std::min<std::uint64_t>(bound, kLimit256MiB));
}

FileTypeId FlvTest(Bytes b) {
  return b.size() >= 16 && At(b, 0, "FLV") && b[3] == 0x01 && At(b, 5, "\x00\x00\x00\x09") ? kTypeFlv : kTypeNone;
}

// ---------------------------------------------------------------- RIFF (21, 22)

FileTypeId AviTest(Bytes b) {
  return b.size() >= 16 && At(b, 0, "RIFF") && At(b, 8, "AVI ") && At(b, 12, "LIST") ? kTypeAvi : kTypeNone;
}

FileTypeId WavTest(Bytes b) {
  return b.size() >= 16 && At(b, 0, "RIFF") && At(b, 8, "WAVE") && At(b, 12, "fmt ") ? kTypeWav : kTypeNone;
}

std::uint64_t RiffExtent(CarvingContext& ctx, Bytes header) {
  if (const auto length = MeasureByStructure(ctx, header, MeasureRiff, kLimit64GiB)) return *length;
  // The RIFF size counts everything after its own 8-byte chunk header.
  return static_cast<std::uint64_t>(ByteView(header).U32LE(4).value_or(0)) + 8;
}

// ---------------------------------------------------------------- Matroska, MXF (19, 48)

namespace {
// An EBML variable-length number at b[at]: its value and its length; nothing when malformed or cut.
std::optional<std::pair<std::uint64_t, std::size_t>> EbmlNumber(Bytes b, std::size_t at) {
  if (at >= b.size() || b[at] == 0) return std::nullopt;
  std::size_t length = 1;
  while ((b[at] & (0x80 >> (length - 1))) == 0) ++length;
  if (length > b.size() - at) return std::nullopt;
  std::uint64_t value = b[at] & (0xFFu >> length);
  for (std::size_t i = 1; i < length; ++i) value = value << 8 | b[at + i];
  return std::pair{value, length};
}

// Whether the EBML header's DocType, as far as the bytes hold it, is "webm".
bool EbmlDocTypeIsWebm(Bytes b) {
  const auto headerSize = EbmlNumber(b, 4);
  if (!headerSize) return false;
  std::size_t at = 4 + headerSize->second;
  const std::uint64_t end = std::min<std::uint64_t>(b.size(), at + headerSize->first);
  // Header children have two-byte IDs (0x42xx) besides Void and CRC-32.
  for (int n = 0; n < 16 && at + 3 <= end; ++n) {
    const bool shortId = b[at] == 0xEC || b[at] == 0xBF;
    const std::size_t idLength = shortId ? 1 : 2;
    const auto size = EbmlNumber(b, at + idLength);
    if (!size) return false;
    const std::size_t data = at + idLength + size->second;
    if (!shortId && b[at] == 0x42 && b[at + 1] == 0x82) {
      return size->first == 4 && data + 4 <= end && std::memcmp(b.data() + data, "webm", 4) == 0;
    }
    if (size->first > end - std::min<std::uint64_t>(end, data)) return false;
    at = data + static_cast<std::size_t>(size->first);
  }
  return false;
}
}  // namespace

FileTypeId MkvTest(Bytes b) {
  if (b.size() < 16 || !At(b, 0, "\x1A\x45\xDF\xA3")) return kTypeNone;
  return EbmlDocTypeIsWebm(b) ? kTypeWebm : kTypeMkv;
}

FileTypeId MxfTest(Bytes b) {
  return b.size() >= 16 && At(b, 0, "\x06\x0E\x2B\x34\x02\x05\x01\x01\x0D\x01\x02\x01\x01\x02\x04\x00") ? kTypeMxf
                                                                                                          : kTypeNone;
}

// ---------------------------------------------------------------- MP3 (12)

namespace {
// An MPEG audio frame header: its layer (1..3), version (0: 2.5, 2: 2, 3: 1), sample-rate index and
// the frame's length in bytes; false for no valid header (free bitrate included).
struct MpegAudioHeader {
  int layer = 0;
  int version = 0;
  int rateIndex = 0;
  std::uint32_t frameBytes = 0;
};

bool ParseMpegAudioHeader(const std::uint8_t* p, MpegAudioHeader* h) {
  if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return false;
  const int version = (p[1] >> 3) & 3;
  const int layerBits = (p[1] >> 1) & 3;
  const int bitrateIndex = p[2] >> 4;
  const int rateIndex = (p[2] >> 2) & 3;
  if (version == 1 || layerBits == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3 || (p[3] & 3) == 2)
    return false;
  static constexpr std::uint16_t kV1[3][14] = {
      {32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
      {32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
      {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}};
  static constexpr std::uint16_t kV2[2][14] = {{32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
                                               {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}};
  static constexpr std::uint32_t kRates[3] = {44100, 48000, 32000};
  const int layer = 4 - layerBits;
  const std::uint32_t kbps = version == 3 ? kV1[layer - 1][bitrateIndex - 1] : kV2[layer == 1 ? 0 : 1][bitrateIndex - 1];
  const std::uint32_t rate = kRates[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
  const std::uint32_t padding = (p[2] >> 1) & 1;
  std::uint32_t bytes = 0;
  if (layer == 1) {
    bytes = (12 * kbps * 1000 / rate + padding) * 4;
  } else {
    const std::uint32_t factor = layer == 3 && version != 3 ? 72 : 144;
    bytes = factor * kbps * 1000 / rate + padding;
  }
  *h = MpegAudioHeader{layer, version, rateIndex, bytes};
  return bytes >= 24;
}

// A raw MPEG audio stream of the layer starts at the sector the context's cursor names: three
// frames in a row, each header where the one before ends and like it (the bytes after the first
// frame are read from the medium). A stray sync word in other data passes practically never.
constexpr int kFramesToTrust = 3;

bool MpegAudioStreamStarts(const CarvingContext& ctx, Bytes b, int layer) {
  if (b.size() < 4 || ctx.stopScan) return false;
  MpegAudioHeader first;
  if (!ParseMpegAudioHeader(b.data(), &first) || first.layer != layer) return false;
  if (!IsSupportedSectorSize(ctx.sectorSize)) return false;
  std::uint64_t base = 0;
  if (__builtin_mul_overflow(ctx.cursorSector, static_cast<std::uint64_t>(ctx.sectorSize), &base)) return false;
  std::uint64_t at = first.frameBytes;
  for (int frame = 1; frame < kFramesToTrust; ++frame) {
    std::uint8_t next[4];
    if (at + 4 <= b.size()) {
      std::memcpy(next, b.data() + at, 4);
    } else if (ctx.source == nullptr || !ReadMediumBytes(ctx, base + at, next, 4)) {
      return false;
    }
    MpegAudioHeader h;
    if (!ParseMpegAudioHeader(next, &h) || h.layer != first.layer || h.version != first.version ||
        h.rateIndex != first.rateIndex)
      return false;
    at += h.frameBytes;
  }
  return true;
}
}  // namespace

FileTypeId Mp3Test(CarvingContext& ctx, Bytes b) {
  // A stream of layer III frames without a tag in front.
  if (b.size() >= 4 && b[0] == 0xFF) return MpegAudioStreamStarts(ctx, b, 3) ? kTypeMp3 : kTypeNone;
  // ID3v2 tag: version bytes never 0xFF, no undefined flags, a sync-safe size.
  if (b.size() < 10 || !At(b, 0, "ID3")) return kTypeNone;
  if (b[3] == 0xFF || b[4] == 0xFF || (b[5] & 0x1F) != 0) return kTypeNone;
  for (std::size_t i = 6; i < 10; ++i) {
    if (b[i] >= 0x80) return kTypeNone;
  }
  return kTypeMp3;
}

namespace {
// The ID3v1 tag: the first "TAG" of a chunk is a candidate end 128 bytes on.
class Id3v1Footer : public CandidateFooter {
 public:
  bool Examine(const ChunkView& chunk, std::uint64_t*) override {
    const auto kTag = Pattern("TAG");
    const std::uint8_t* p = chunk.Find(kTag);
    if (p != nullptr) Note(chunk.FileOffset(p) + 128);
    return false;
  }
};
}  // namespace

std::uint64_t Mp3Extent(CarvingContext& ctx, Bytes header) {
  if (const auto length = MeasureByStructure(ctx, header, MeasureMpegAudio, kLimit2GiB)) return *length;
  Id3v1Footer footer;
  return ExtentWalk(ctx, header, kLimit2GiB, &footer);
}

// ---------------------------------------------------------------- MIDI (13)

namespace {
constexpr std::size_t kMidiTrackCountField = 10;  // u16 BE
constexpr std::size_t kMidiFirstTrack = 14;

// Adds up the track chunks ("MTrk" + BE length + data) until the header's track count is reached.
class MidiTracks : public WalkFooter {
 public:
  MidiTracks(const CarvingContext& ctx, Bytes header, std::uint32_t tracks)
      : ctx_(ctx), header_(header), remaining_(tracks) {}

  // The tracks whose headers lie in the given bytes (file offset of data[0] is offset).
  void Consume(const std::uint8_t* data, std::size_t size, std::uint64_t offset) {
    const auto kTrack = Pattern("MTrk");
    const std::uint8_t* p = data;
    const std::uint8_t* stop = data + size;
    while (!done_ && remaining_ > 0 &&
           (p = FindForward(static_cast<std::size_t>(stop - p), p, kTrack.data(), kTrack.size())) != nullptr) {
      const std::uint64_t at = offset + static_cast<std::uint64_t>(p - data);
      ++p;
      // "MTrk" inside a track already counted is data, not the next track.
      if (at < runningEnd_) continue;
      std::uint8_t field[4];
      if (!ReadFileBytesAt(ctx_, header_, at + 4, field, 4)) {
        failed_ = true;
        return;
      }
      const std::uint32_t length = (std::uint32_t{field[0]} << 24) | (std::uint32_t{field[1]} << 16) |
                                   (std::uint32_t{field[2]} << 8) | field[3];
      runningEnd_ = at + 8 + length;
      if (--remaining_ == 0) done_ = true;
    }
  }

  bool Examine(const ChunkView& chunk, std::uint64_t* end) override {
    if (!done_ && !failed_) {
      const Bytes window = chunk.Window(4);
      Consume(window.data(), window.size(), chunk.FileOffset(window.data()));
    }
    if (!done_) return false;
    *end = std::min<std::uint64_t>(runningEnd_, chunk.offset + chunk.size);
    return true;
  }
  std::uint64_t Finish(std::uint64_t walkLength) override {
    return done_ ? std::min(runningEnd_, walkLength) : walkLength;
  }

 private:
  const CarvingContext& ctx_;
  Bytes header_;
  std::uint32_t remaining_;
  std::uint64_t runningEnd_ = kMidiFirstTrack;
  bool done_ = false;
  bool failed_ = false;
};
}  // namespace

FileTypeId MidiTest(Bytes b) {
  return b.size() >= 16 && At(b, 0, "MThd") && At(b, 4, "\x00\x00\x00\x06") && At(b, 14, "MTrk") ? kTypeMid
                                                                                                 : kTypeNone;
}

std::uint64_t MidiExtent(CarvingContext& ctx, Bytes header) {
  if (const auto length = MeasureByStructure(ctx, header, MeasureMidi, kLimit8MiB)) return *length;
  const std::uint32_t tracks = ByteView(header).U16BE(kMidiTrackCountField).value_or(0);
  MidiTracks counter(ctx, header, tracks);
  const Bytes sector = HeaderSector(ctx, header);
  if (sector.size() > kMidiFirstTrack)
    counter.Consume(sector.data() + kMidiFirstTrack, sector.size() - kMidiFirstTrack, kMidiFirstTrack);
  return ExtentWalk(ctx, header, kLimit8MiB, &counter);
}

// ---------------------------------------------------------------- Monkey's Audio (25)

namespace {
constexpr std::size_t kApeTagSize = 12;    // u32: items + footer, header excluded
constexpr std::size_t kApeTagFlags = 20;   // u32: bit 29 set in a tag header
constexpr std::size_t kApeTagBlock = 32;   // header and footer are 32 bytes each
constexpr std::uint64_t kMaxApeTag = 0x1000000;

class ApeTagFooter : public WalkFooter {
 public:
  bool Examine(const ChunkView& chunk, std::uint64_t* end) override {
    const auto kTag = Pattern("APETAGEX\xD0\x07");
    const Bytes window = chunk.Window(kTag.size());
    const std::uint8_t* first = FindForward(window, kTag);
    if (first == nullptr) return false;
    const std::uint64_t at = chunk.FileOffset(first);
    // The tag's own fields say whether this is its header or its footer, and how long it is.
    const std::uint8_t* readEnd = chunk.data + chunk.readBytes;
    if (readEnd - first >= static_cast<std::ptrdiff_t>(kApeTagBlock)) {
      const std::uint32_t flags = LoadU32LE(first + kApeTagFlags);
      const std::uint32_t size = LoadU32LE(first + kApeTagSize);
      if ((flags & (1u << 29)) == 0) {
        *end = at + kApeTagBlock;
        return true;
      }
      if (size >= kApeTagBlock && size <= kMaxApeTag) {
        *end = at + kApeTagBlock + size;
        return true;
      }
    }
    const std::uint8_t* windowEnd = window.data() + window.size();
    const std::uint8_t* second = FindForward(static_cast<std::size_t>(windowEnd - (first + 1)), first + 1,
                                             kTag.data(), kTag.size());
    *end = second != nullptr ? chunk.FileOffset(second) + kApeTagBlock : chunk.offset + chunk.size;
    return true;
  }
};
}  // namespace

FileTypeId ApeTest(Bytes b) { return b.size() >= 4 && At(b, 0, "MAC ") ? kTypeApe : kTypeNone; }

std::uint64_t ApeExtent(CarvingContext& ctx, Bytes header) {
  if (const auto length = MeasureByStructure(ctx, header, MeasureApe, kLimit2GiB)) return *length;
  ApeTagFooter footer;
  return ExtentWalk(ctx, header, kLimit2GiB, &footer);
}

// ---------------------------------------------------------------- other audio (11, 14)

// An MPEG-1 Layer II frame at 384 kbit/s and 48 kHz with its CRC; the last byte holds the channel
// mode and the copyright and original flags, which encoders set as they like (emphasis 2 is
// reserved).
FileTypeId Mp2Test(CarvingContext& ctx, Bytes b) {
  if (b.size() >= 4 && At(b, 0, "\xFF\xFD\xE4") && (b[3] & 0x03) != 0x02) return kTypeMp2;
  // Any other layer II stream (other bit rates and sample rates, MPEG-2 half rates, no CRC).
  return MpegAudioStreamStarts(ctx, b, 2) ? kTypeMp2 : kTypeNone;
}
FileTypeId MmfTest(Bytes b) { return b.size() >= 4 && At(b, 0, "MMMD") ? kTypeMmf : kTypeNone; }

// ---------------------------------------------------------------- GIF (31)

FileTypeId GifTest(Bytes b) {
  if (b.size() < 8 || !At(b, 0, "GIF")) return kTypeNone;
  const auto digit = [](std::uint8_t c) { return c >= '0' && c <= '9'; };
  return digit(b[3]) && digit(b[4]) && b[5] >= 'a' && b[5] <= 'z' ? kTypeGif : kTypeNone;
}

std::uint64_t GifExtent(CarvingContext& ctx, Bytes header) {
  if (const auto length = MeasureByStructure(ctx, header, MeasureGif, kLimit128MiB)) return *length;
  // Block terminator followed by the trailer.
  const auto kTrailer = Pattern("\x00\x3B");
  if (const std::uint64_t end = AcceptedFooterInHeader(ctx, header, kTrailer); end != 0) return end;
  AllOccurrencesFooter footer(kTrailer);
  return ExtentWalk(ctx, header, kLimit128MiB, &footer);
}

// ---------------------------------------------------------------- BMP (29)

FileTypeId BmpTest(Bytes b) {
  if (b.size() < 40 || !(At(b, 0, "BM") || At(b, 0, "BA"))) return kTypeNone;
  const ByteView v(b);
  if (v.U16LE(6) != 0 || v.U16LE(8) != 0) return kTypeNone;
  // The info header sizes of every bitmap version (40 is the common one; 108 and 124 carry colour
  // spaces, as image editors write them today).
  const std::uint32_t info = v.U32LE(14).value_or(0);
  return info == 12 || info == 40 || info == 52 || info == 56 || info == 64 || info == 108 || info == 124 ? kTypeBmp
                                                                                                          : kTypeNone;
}

std::uint64_t BmpExtent(CarvingContext& ctx, Bytes header) {
  if (const auto length = MeasureByStructure(ctx, header, MeasureBmp, kLimit4GiB)) return *length;
  return std::min<std::uint64_t>(ByteView(header).U32LE(2).value_or(0), kLimit128MiB);
}

// ---------------------------------------------------------------- JPEG (10)

namespace {
constexpr std::size_t kMaxJpegSegments = 64;
constexpr std::uint64_t kMaxJpegHeaderBytes = 0x1000000;
constexpr int kMaxJpegFillBytes = 16;

// Markers followed by a 16-bit big-endian segment length.
bool JpegMarkerHasLength(std::uint8_t marker) {
  return (marker >= 0xC0 && marker <= 0xCF) || (marker >= 0xDB && marker <= 0xDF) ||
         (marker >= 0xE0 && marker <= 0xEF) || marker == 0xFE;
}

// The end-of-image marker: the first one of a chunk, at or after the entropy-coded data, that the
// sector-tail rule accepts is a candidate end; the last candidate before the walk's stop wins.
class JpegEndFooter : public CandidateFooter {
 public:
  explicit JpegEndFooter(std::uint64_t searchFrom) : searchFrom_(searchFrom) {}
  bool Examine(const ChunkView& chunk, std::uint64_t*) override {
    const auto kEoi = Pattern("\xFF\xD9");
    Bytes window = chunk.Window(kEoi.size());
    const std::uint64_t windowOffset = chunk.FileOffset(window.data());
    if (searchFrom_ > windowOffset) {
      const std::uint64_t skip = searchFrom_ - windowOffset;
      if (skip >= window.size()) return false;
      window = window.subspan(static_cast<std::size_t>(skip));
    }
    const std::uint8_t* p = FindForward(window, kEoi);
    if (p == nullptr) return false;
    const std::uint64_t e = chunk.FileOffset(p) + kEoi.size();
    if (chunk.TailAccepts(e)) Note(e);
    return false;
  }

 private:
  std::uint64_t searchFrom_;
};
}  // namespace

FileTypeId JpegTest(Bytes b) {
  if (b.size() < 16 || !At(b, 0, "\xFF\xD8\xFF")) return kTypeNone;
  if (b[3] == 0xE0 && At(b, 6, "JFIF")) return kTypeJpg;
  if (b[3] == 0xE1 && At(b, 6, "Exif")) return kTypeJpg;
  return kTypeNone;
}

std::uint64_t JpegEntropyStart(const CarvingContext& ctx, Bytes header) {
  std::uint64_t pos = 2;
  for (std::size_t segment = 0; segment < kMaxJpegSegments; ++segment) {
    std::uint8_t m[4];
    if (!ReadFileBytesAt(ctx, header, pos, m, sizeof m) || m[0] != 0xFF) return 0;
    for (int fill = 0; m[1] == 0xFF; ++fill) {  // markers may be preceded by fill bytes
      if (fill == kMaxJpegFillBytes || !ReadFileBytesAt(ctx, header, ++pos, m, sizeof m)) return 0;
    }
    const std::uint8_t marker = m[1];
    if (marker != 0xDA && !JpegMarkerHasLength(marker)) return 0;
    const std::uint32_t length = (std::uint32_t{m[2]} << 8) | m[3];
    if (length < 2) return 0;
    pos += 2 + length;
    if (marker == 0xDA) return pos;
    if (pos > kMaxJpegHeaderBytes) return 0;
  }
  return 0;
}

std::uint64_t JpegExtent(CarvingContext& ctx, Bytes header) {
  if (const auto length = MeasureByStructure(ctx, header, MeasureJpeg, kLimit128MiB)) return *length;
  // A camera picture carries a thumbnail with its own end marker inside its Exif segment: look for
  // the end only past the header segments. If they cannot be walked, search from the start.
  const std::uint64_t searchFrom = JpegEntropyStart(ctx, header);
  const auto kEoi = Pattern("\xFF\xD9");
  const Bytes sector = HeaderSector(ctx, header);
  if (searchFrom < sector.size()) {
    const Bytes rest = sector.subspan(static_cast<std::size_t>(searchFrom));
    if (const std::uint8_t* p = FindForward(rest, kEoi); p != nullptr) {
      const std::uint64_t e = static_cast<std::uint64_t>(p - sector.data()) + kEoi.size();
      if (SectorTailAccepts(sector.data(), sector.size(), 0, e, ctx.sectorSize)) return e;
    }
  }
  JpegEndFooter footer(searchFrom);
  return ExtentWalk(ctx, header, kLimit128MiB, &footer);
}

// ---------------------------------------------------------------- PNG (30)

FileTypeId PngTest(Bytes b) {
  return b.size() >= 8 && At(b, 0, "\x89PNG\x0D\x0A\x1A\x0A") ? kTypePng : kTypeNone;
}

std::uint64_t PngExtent(CarvingContext& ctx, Bytes header) {
  if (const auto length = MeasureByStructure(ctx, header, MeasurePng, kLimit128MiB)) return *length;
  // The IEND chunk's type and its fixed CRC.
  const auto kEnd = Pattern("IEND\xAE\x42\x60\x82");
  if (const std::uint64_t end = AcceptedFooterInHeader(ctx, header, kEnd); end != 0) return end;
  AllOccurrencesFooter footer(kEnd);
  return ExtentWalk(ctx, header, kLimit128MiB, &footer);
}

// ---------------------------------------------------------------- PSD, TIFF (28, 32)

FileTypeId PsdTest(Bytes b) { return b.size() >= 40 && At(b, 0, "8BPS") ? kTypePsd : kTypeNone; }

namespace {
constexpr std::uint16_t kTagMake = 271;
constexpr std::uint16_t kTagModel = 272;
constexpr std::uint16_t kTagDngVersion = 50706;
constexpr std::uint16_t kTagKodakIfd = 33424;  // private IFD of Kodak's DCS cameras
constexpr std::uint16_t kTagKdcIfd = 65024;    // private IFD of Kodak's consumer raws
constexpr std::uint64_t kMaxSniffEntries = 1024;

struct RawMaker {
  const char* make;  // prefix of IFD0's Make text
  FileTypeId type;
};
// Canon is typed by its own "CR" marker only: its older TIFF raws and plain TIFFs carry the same Make.
// Kodak's two raws share a Make and are told apart below.
constexpr RawMaker kRawMakers[] = {
    {"NIKON", kTypeNef},     {"SONY", kTypeArw},        {"OLYMPUS", kTypeOrf},      {"Panasonic", kTypeRw2},
    {"PENTAX", kTypePef},    {"SAMSUNG", kTypeSrw},     {"SEIKO EPSON", kTypeErf},  {"Hasselblad", kType3fr},
    {"Mamiya", kTypeMef},    {"Leaf", kTypeMos},        {"Phase One", kTypeIiq},
};

bool IsKodak(std::string_view make) {
  return make.starts_with("Kodak") || make.starts_with("KODAK") || make.starts_with("EASTMAN KODAK");
}

// A classic TIFF's raw sibling, read from IFD0 where it lies within the given bytes: DNGVersion
// first (a DNG names the camera's maker too), then the Make. Anything out of reach stays a TIFF.
FileTypeId TiffRawType(Bytes b, bool le) {
  const auto u16 = [&](std::size_t o) -> std::uint64_t { return le ? LoadU16LE(b.data() + o) : LoadU16BE(b.data() + o); };
  const auto u32 = [&](std::size_t o) -> std::uint64_t { return le ? LoadU32LE(b.data() + o) : LoadU32BE(b.data() + o); };
  if (b.size() < 8) return kTypeTif;
  const std::uint64_t ifd = u32(4);
  if (ifd < 8 || ifd + 2 > b.size()) return kTypeTif;
  const std::uint64_t count = u16(static_cast<std::size_t>(ifd));
  if (count == 0 || count > kMaxSniffEntries) return kTypeTif;
  std::string_view make, model;
  bool kodakIfd = false, kdcIfd = false;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t e = ifd + 2 + i * 12;
    if (e + 12 > b.size()) break;
    const std::size_t at = static_cast<std::size_t>(e);
    const std::uint64_t tag = u16(at);
    if (tag == kTagDngVersion && u16(at + 2) == 1 && u32(at + 4) == 4 && b[at + 8] == 1) return kTypeDng;
    kodakIfd = kodakIfd || tag == kTagKodakIfd;
    kdcIfd = kdcIfd || tag == kTagKdcIfd;
    if ((tag != kTagMake && tag != kTagModel) || u16(at + 2) != 2) continue;
    const std::uint64_t n = u32(at + 4);
    const std::uint64_t value = n <= 4 ? e + 8 : u32(at + 8);
    if (n == 0 || n > 64 || value + n > b.size()) continue;
    (tag == kTagMake ? make : model) =
        std::string_view(reinterpret_cast<const char*>(b.data() + value), static_cast<std::size_t>(n));
  }
  for (const RawMaker& m : kRawMakers) {
    if (make.starts_with(m.make)) return m.type;
  }
  // Kodak: the consumer cameras' raws carry their own private IFD, the DCS cameras' theirs (and
  // a model name "DCS..."). A Kodak TIFF with neither is a plain picture.
  if (IsKodak(make)) {
    if (kdcIfd) return kTypeKdc;
    if (kodakIfd || model.starts_with("DCS") || model.starts_with("Kodak DCS") || model.starts_with("KODAK DCS"))
      return kTypeDcr;
  }
  return kTypeTif;
}
}  // namespace

FileTypeId TifTest(Bytes b) {
  // Classic TIFF (42) and BigTIFF (43, with 8-byte offsets), in either byte order; the raw
  // formats built on TIFF are reported under their own types.
  if (b.size() < 8) return kTypeNone;
  const bool le = b[0] == 'I';
  const std::uint64_t first = le ? LoadU32LE(b.data() + 4) : LoadU32BE(b.data() + 4);
  // Olympus and Panasonic put their own numbers where TIFF has 42.
  if ((At(b, 0, "IIRO") || At(b, 0, "IIRS") || At(b, 0, "MMOR")) && first >= 8) return kTypeOrf;
  if (At(b, 0, "IIU\x00") && first >= 8) return kTypeRw2;
  if (At(b, 0, "MM\x00\x2B") || At(b, 0, "II\x2B\x00")) return kTypeTif;
  if (!At(b, 0, "MM\x00\x2A") && !At(b, 0, "II\x2A\x00")) return kTypeNone;
  // Canon's CR2 marker and major version follow the TIFF header.
  if (le && b.size() >= 16 && At(b, 8, "CR\x02") && first >= 16) return kTypeCr2;
  // Phase One puts its own raw block, "IIII" and the reversed word "Raw", right after the header.
  if (le && b.size() >= 16 && At(b, 8, "IIII") && At(b, 13, "waR") && first >= 16) return kTypeIiq;
  return TiffRawType(b, le);
}

// ---------------------------------------------------------------- CRW, MRW, X3F

FileTypeId CrwTest(Bytes b) {
  // Byte order, the header's length (the root heap starts there), then the CIFF signature.
  if (b.size() < 26 || !At(b, 0, "II") || !At(b, 6, "HEAPCCDR")) return kTypeNone;
  const std::uint32_t headerLength = LoadU32LE(b.data() + 2);
  return headerLength >= 26 && headerLength <= 0x1000 ? kTypeCrw : kTypeNone;
}

FileTypeId MrwTest(Bytes b) {
  // The MRM block holds the others; its first is always the picture-description block PRD.
  if (b.size() < 16 || !At(b, 0, "\0MRM") || !At(b, 8, "\0PRD")) return kTypeNone;
  const std::uint32_t mrm = LoadU32BE(b.data() + 4);
  const std::uint32_t prd = LoadU32BE(b.data() + 12);
  return mrm >= 8 + prd && mrm <= 0x100000 && prd >= 24 ? kTypeMrw : kTypeNone;
}

FileTypeId X3fTest(Bytes b) {
  // "FOVb", then the format version: minor, major (2 to 4 in every camera so far).
  if (b.size() < 8 || !At(b, 0, "FOVb")) return kTypeNone;
  const std::uint32_t major = LoadU16LE(b.data() + 6);
  const std::uint32_t minor = LoadU16LE(b.data() + 4);
  return major >= 2 && major <= 4 && minor < 0x100 ? kTypeX3f : kTypeNone;
}

// ---------------------------------------------------------------- RAF

FileTypeId RafTest(Bytes b) {
  // The magic, then the format version as four digits.
  if (b.size() < 20 || !At(b, 0, "FUJIFILMCCD-RAW ")) return kTypeNone;
  for (std::size_t i = 16; i < 20; ++i)
    if (b[i] < '0' || b[i] > '9') return kTypeNone;
  return kTypeRaf;
}

// ---------------------------------------------------------------- ICO (46), TTF (45)

namespace {
constexpr std::size_t kIcoDirectory = 6;
constexpr std::size_t kIcoEntrySize = 16;
constexpr std::size_t kIcoEntrySizeField = 8;     // u32 bytes of the image
constexpr std::size_t kIcoEntryOffsetField = 12;  // u32 offset of the image
constexpr std::size_t kTtfDirectory = 12;
constexpr std::size_t kTtfRecordSize = 16;
constexpr std::size_t kTtfRecordOffset = 8;   // u32 BE
constexpr std::size_t kTtfRecordLength = 12;  // u32 BE
constexpr std::uint32_t kMaxTtfTables = 256;
constexpr std::size_t kMinTtfTablesSeen = 4;

// The bytes holding a directory of `needed` bytes at the file start: the given bytes, or the first
// 64 KiB read from the medium into the scratch buffer. Empty when neither holds it.
Bytes DirectoryBytes(CarvingContext& ctx, Bytes header, std::uint64_t needed) {
  if (needed <= header.size()) return header;
  std::span<std::uint8_t> scratch = ctx.Scratch();
  if (scratch.size() < CarvingContext::kScratchBytes || !IsSupportedSectorSize(ctx.sectorSize)) return {};
  std::uint8_t* buffer = scratch.data() + kWalkSeamBytes;
  const std::uint32_t sectors = static_cast<std::uint32_t>(kWalkChunkBytes / ctx.sectorSize);
  const std::uint32_t got = ReadMediumSectorsClipped(ctx, ctx.fileStartSector, sectors, buffer);
  const std::size_t bytes = static_cast<std::size_t>(got) * static_cast<std::size_t>(ctx.sectorSize);
  if (needed > bytes) return {};
  return {buffer, bytes};
}
}  // namespace

FileTypeId IcoTest(Bytes b) {
  if (b.size() < 16 || !At(b, 0, "\x00\x00\x01\x00")) return kTypeNone;
  const std::size_t count = LoadU16LE(b.data() + 4);
  if (count == 0 || kIcoDirectory + kIcoEntrySize * count > b.size()) return kTypeNone;
  // The images follow the directory back to back, in directory order.
  std::uint64_t running = kIcoDirectory + kIcoEntrySize * count;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* entry = b.data() + kIcoDirectory + kIcoEntrySize * i;
    if (entry[3] != 0 || LoadU32LE(entry + kIcoEntryOffsetField) != running) return kTypeNone;
    running += LoadU32LE(entry + kIcoEntrySizeField);
  }
  return kTypeIco;
}

std::uint64_t IcoExtent(CarvingContext& ctx, Bytes header) {
  if (const auto length = MeasureByStructure(ctx, header, MeasureIco, kLimit256MiB)) return *length;
  const std::uint64_t s = SectorSizeBytes(ctx);
  const auto count = ByteView(header).U16LE(4);
  if (!count || *count == 0) return s;
  const Bytes directory = DirectoryBytes(ctx, header, kIcoDirectory + kIcoEntrySize * std::uint64_t{*count});
  if (directory.empty()) return s;
  const std::uint8_t* last = directory.data() + kIcoDirectory + kIcoEntrySize * (*count - 1);
  return std::uint64_t{LoadU32LE(last + kIcoEntryOffsetField)} + LoadU32LE(last + kIcoEntrySizeField);
}

FileTypeId TtfTest(Bytes b) {
  if (b.size() < 16 || !At(b, 0, "\x00\x01\x00\x00")) return kTypeNone;
  const ByteView v(b);
  const std::uint32_t tables = *v.U16BE(4);
  if (tables == 0) return kTypeNone;
  // The binary-search fields follow from the table count (the range shift is 0 for a power of two).
  std::uint32_t power = 1;
  std::uint32_t log2 = 0;
  while (power * 2 <= tables) {
    power *= 2;
    ++log2;
  }
  if (*v.U16BE(6) != 16 * power || *v.U16BE(8) != log2 || *v.U16BE(10) != 16 * tables - 16 * power) return kTypeNone;
  if (tables > kMaxTtfTables) return kTypeNone;
  // The table records the bytes hold (a font with many tables fills more than a sector): printable
  // tags in ascending order, each table after the directory on a 4-byte boundary. (Fonts differ in
  // which table's data comes first.)
  const std::uint64_t directoryEnd = kTtfDirectory + kTtfRecordSize * tables;
  const std::size_t held = std::min<std::size_t>(tables, (b.size() - kTtfDirectory) / kTtfRecordSize);
  if (held < kMinTtfTablesSeen) return kTypeNone;
  std::uint32_t previous = 0;
  for (std::size_t i = 0; i < held; ++i) {
    const std::size_t record = kTtfDirectory + kTtfRecordSize * i;
    const std::uint32_t tag = *v.U32BE(record);
    for (int k = 0; k < 4; ++k) {
      const std::uint8_t c = static_cast<std::uint8_t>(tag >> (8 * k));
      if (c < 0x20 || c > 0x7E) return kTypeNone;
    }
    const std::uint32_t offset = *v.U32BE(record + kTtfRecordOffset);
    if ((i > 0 && tag <= previous) || offset < directoryEnd || offset % 4 != 0) return kTypeNone;
    previous = tag;
  }
  return kTypeTtf;
}

std::uint64_t TtfExtent(CarvingContext& ctx, Bytes header) {
  if (const auto length = MeasureByStructure(ctx, header, MeasureTtf, kLimit256MiB)) return *length;
  const std::uint64_t s = SectorSizeBytes(ctx);
  const auto tables = ByteView(header).U16BE(4);
  if (!tables) return s;
  const Bytes directory = DirectoryBytes(ctx, header, kTtfDirectory + kTtfRecordSize * std::uint64_t{*tables});
  if (directory.empty()) return s;
  const ByteView v(directory);
  std::uint64_t end = 0;
  for (std::size_t i = 0; i < *tables; ++i) {
    const std::size_t record = kTtfDirectory + kTtfRecordSize * i;
    end = std::max<std::uint64_t>(end, std::uint64_t{*v.U32BE(record + kTtfRecordOffset)} +
                                           *v.U32BE(record + kTtfRecordLength));
  }
  return end;
}

// ---------------------------------------------------------------- PDF (8)

namespace {
constexpr std::uint64_t kMaxPdfNumberDigits = 12;

bool IsPdfSpace(std::uint8_t c) { return c == ' ' || c == '\r' || c == '\n' || c == '\t' || c == '\f' || c == 0; }

// A linearised PDF states its whole length in its first object ("/Linearized 1 /L <bytes>").
// Used only when the file really ends with %%EOF there.
std::uint64_t PdfLinearizedLength(const CarvingContext& ctx, Bytes header) {
  const Bytes sector = HeaderSector(ctx, header);
  const auto kLinearized = Pattern("/Linearized");
  const std::uint8_t* p = FindForward(sector, kLinearized);
  if (p == nullptr) return 0;
  const std::uint8_t* end = sector.data() + sector.size();
  const std::uint8_t* dictEnd = FindForward(static_cast<std::size_t>(end - p), p, Pattern(">>").data(), 2);
  if (dictEnd != nullptr) end = dictEnd;
  p += kLinearized.size();
  while ((p = FindForward(static_cast<std::size_t>(end - p), p, Pattern("/L").data(), 2)) != nullptr) {
    p += 2;
    if (p < end && !IsPdfSpace(*p)) continue;  // another key beginning with L
    while (p < end && IsPdfSpace(*p)) ++p;
    std::uint64_t value = 0;
    std::uint64_t digits = 0;
    while (p < end && *p >= '0' && *p <= '9' && digits < kMaxPdfNumberDigits) {
      value = value * 10 + (*p - '0');
      ++p;
      ++digits;
    }
    if (digits == 0 || value < 64 || value > kLimit1GiB) return 0;
    std::uint8_t tail[64];
    if (!ReadFileBytesAt(ctx, header, value - sizeof tail, tail, sizeof tail)) return 0;
    std::size_t n = sizeof tail;
    while (n > 0 && IsPdfSpace(tail[n - 1])) --n;
    return n >= 5 && std::memcmp(tail + n - 5, "%%EOF", 5) == 0 ? value : 0;
  }
  return 0;
}

// The last "%%EOF" of a chunk ends the file, with the end of line after it; failing that the last
// "trailer". A "trailer" is held back for one chunk in case its %%EOF lies just past the chunk.
class PdfEndFooter : public CandidateFooter {
 public:
  bool Examine(const ChunkView& chunk, std::uint64_t* end) override {
    const auto kEof = Pattern("%%EOF");
    const auto kTrailer = Pattern("trailer");
    const std::uint8_t* p = FindBackward(chunk.Window(kEof.size()), kEof);
    if (p != nullptr) {
      const std::uint8_t* q = p + kEof.size();
      const std::uint8_t* stop = chunk.data + chunk.size;
      if (q < stop && *q == '\r') {
        ++q;
        if (q < stop && *q == '\n') ++q;
      } else if (q < stop && *q == '\n') {
        ++q;
      }
      *end = chunk.FileOffset(q);
      return true;
    }
    if (Noted()) {
      *end = Candidate();
      return true;
    }
    p = FindBackward(chunk.Window(kTrailer.size()), kTrailer);
    if (p != nullptr) Note(chunk.FileOffset(p) + kTrailer.size());
    return false;
  }
};
}  // namespace

FileTypeId PdfTest(Bytes b) { return b.size() > 4 && At(b, 0, "%PDF-") ? kTypePdf : kTypeNone; }

std::uint64_t PdfExtent(CarvingContext& ctx, Bytes header) {
  if (const auto length = MeasureByStructure(ctx, header, MeasurePdf, kLimit1GiB)) return *length;
  if (const std::uint64_t length = PdfLinearizedLength(ctx, header); length != 0) return length;
  PdfEndFooter footer;
  return ExtentWalk(ctx, header, kLimit1GiB, &footer);
}

// ---------------------------------------------------------------- gzip (36)

FileTypeId GzTest(Bytes b) {
  if (b.size() < 16 || !At(b, 0, "\x1F\x8B\x08")) return kTypeNone;
  if (b[3] != 0 && b[3] != 8) return kTypeNone;
  // Extra flags: 2 (best compression), 4 (fastest) or 0, which gzip writes at its default level.
  if (b[8] != 0 && b[8] != 2 && b[8] != 4) return kTypeNone;
  return b[9] < 14 || b[9] == 255 ? kTypeGz : kTypeNone;
}

// ---------------------------------------------------------------- 7z (34)

namespace {
constexpr std::size_t kSevenZipStartHeaderCrc = 8;     // u32 over bytes 12..31
constexpr std::size_t kSevenZipNextHeaderOffset = 12;  // u64, from the end of the 32-byte start header
constexpr std::size_t kSevenZipNextHeaderSize = 20;    // u64
constexpr std::size_t kSevenZipStartHeaderSize = 32;

class LastOccurrenceFooter : public WalkFooter {
 public:
  LastOccurrenceFooter(std::span<const std::uint8_t> pattern, std::uint64_t extra) : pattern_(pattern), extra_(extra) {}
  bool Examine(const ChunkView& chunk, std::uint64_t* end) override {
    const std::uint8_t* p = FindBackward(chunk.Window(pattern_.size()), pattern_);
    if (p == nullptr) return false;
    *end = chunk.FileOffset(p) + extra_;
    return true;
  }

 private:
  std::span<const std::uint8_t> pattern_;
  std::uint64_t extra_;
};
}  // namespace

FileTypeId SevenZipTest(Bytes b) { return b.size() >= 5 && At(b, 0, "\x37\x7A\xBC\xAF\x27") ? kType7z : kTypeNone; }

std::uint64_t SevenZipExtent(CarvingContext& ctx, Bytes header) {
  if (const auto length = MeasureByStructure(ctx, header, Measure7z, kLimit64GiB)) return *length;
  // The start header gives the exact length; trusted when its CRC holds.
  if (header.size() >= kSevenZipStartHeaderSize) {
    const std::uint32_t crc = LoadU32LE(header.data() + kSevenZipStartHeaderCrc);
    if (crc == Crc32(header.subspan(kSevenZipNextHeaderOffset, kSevenZipStartHeaderSize - kSevenZipNextHeaderOffset))) {
      const std::uint64_t offset = LoadU64LE(header.data() + kSevenZipNextHeaderOffset);
      const std::uint64_t size = LoadU64LE(header.data() + kSevenZipNextHeaderSize);
      if (offset <= kLimit4GiB && size <= kLimit4GiB && kSevenZipStartHeaderSize + offset + size <= kLimit4GiB)
        return kSevenZipStartHeaderSize + offset + size;
    }
  }
  // Otherwise the usual encoded-header property block near the end.
  LastOccurrenceFooter footer(Pattern("\x00\x07\x0B\x01\x00\x01\x23\x03\x01\x01\x05\x5D"), 27);
  return ExtentWalk(ctx, header, kLimit4GiB, &footer);
}

// ---------------------------------------------------------------- ZIP (35) and packages (1, 4, 6, 7)

namespace {
constexpr std::size_t kEocdSize = 22;
constexpr std::size_t kEocdCommentLength = 20;  // u16

// The last end-of-central-directory record of a chunk ends the archive, after its comment.
class EocdFooter : public WalkFooter {
 public:
  bool Examine(const ChunkView& chunk, std::uint64_t* end) override {
    const auto kEocd = Pattern("PK\x05\x06");
    const std::uint8_t* p = FindBackward(chunk.Window(kEocd.size()), kEocd);
    if (p == nullptr) return false;
    std::uint64_t e = chunk.FileOffset(p) + kEocdSize;
    const std::uint8_t* readEnd = chunk.data + chunk.readBytes;
    if (readEnd - p >= static_cast<std::ptrdiff_t>(kEocdSize)) e += LoadU16LE(p + kEocdCommentLength);
    *end = e;
    return true;
  }
};

std::uint64_t ZipWalk(CarvingContext& ctx, Bytes header, std::uint64_t limit) {
  EocdFooter footer;
  return ExtentWalk(ctx, header, limit, &footer);
}
}  // namespace

FileTypeId ZipTest(Bytes b) {
  if (b.size() < 48 || !At(b, 0, "PK\x03\x04")) return kTypeNone;
  const FileTypeId open = OpenPackageType(b);  // OpenDocument and EPUB are zip packages
  return open != kTypeNone ? open : kTypeZip;
}
std::uint64_t ZipExtent(CarvingContext& ctx, Bytes header) {
  if (const auto length = MeasureByStructure(ctx, header, MeasureZip, kLimit4GiB)) return *length;
  return ZipWalk(ctx, header, kLimit4GiB);
}
std::uint64_t PackageExtent(CarvingContext& ctx, Bytes header) {
  if (const auto length = MeasureByStructure(ctx, header, MeasureZip, kLimit4GiB)) return *length;
  return ZipWalk(ctx, header, kLimit0x7FFFFFF);
}

// ---------------------------------------------------------------- RAR (37), CAB (33)

// RAR 4 ("Rar!" 1A 07 00) and RAR 5 ("Rar!" 1A 07 01 00).
FileTypeId RarTest(Bytes b) {
  if (b.size() < 8 || !At(b, 0, "Rar!\x1A\x07")) return kTypeNone;
  return b[6] == 0x00 || (b[6] == 0x01 && b[7] == 0x00) ? kTypeRar : kTypeNone;
}

std::uint64_t RarExtent(CarvingContext& ctx, Bytes header) {
  if (const auto length = MeasureByStructure(ctx, header, MeasureRar, kLimit4GiB)) return *length;
  // The end-of-archive block.
  AllOccurrencesFooter footer(Pattern("\xC4\x3D\x7B\x00\x40\x07\x00"));
  return ExtentWalk(ctx, header, kLimit4GiB, &footer);
}

FileTypeId CabTest(Bytes b) { return b.size() >= 36 && At(b, 0, "MSCF") ? kTypeCab : kTypeNone; }

std::uint64_t CabExtent(CarvingContext& ctx, Bytes header) {
  if (const auto length = MeasureByStructure(ctx, header, MeasureCab, kLimit1GiB)) return *length;
  return std::min<std::uint64_t>(ByteView(header).U32LE(8).value_or(0), kLimit1GiB);
}

// ---------------------------------------------------------------- PE images (41, 42, 43), GHO (9)

namespace {
constexpr std::size_t kPeHeaderOffsetField = 60;     // u32 in the MZ header
constexpr std::uint32_t kMaxPeHeaderOffset = 488;    // the PE header must lie in the first sector
constexpr std::size_t kPeCharacteristics = 22;       // u16 after "PE\0\0"
constexpr std::uint16_t kPeExecutableImage = 0x0002;
constexpr std::uint16_t kPeSystem = 0x1000;
constexpr std::uint16_t kPeDll = 0x2000;
}  // namespace

FileTypeId PeTest(Bytes b) {
  if (b.size() < 512 || !At(b, 0, "MZ")) return kTypeNone;
  const std::uint32_t e = LoadU32LE(b.data() + kPeHeaderOffsetField);
  if (e > kMaxPeHeaderOffset || !At(b, e, "PE\x00\x00")) return kTypeNone;
  const std::uint16_t characteristics = LoadU16LE(b.data() + e + kPeCharacteristics);
  if ((characteristics & kPeExecutableImage) == 0) return kTypeNone;
  if (characteristics & kPeSystem) return kTypeSys;
  if (characteristics & kPeDll) return kTypeDll;
  return kTypeExe;
}

FileTypeId GhoTest(Bytes b) { return b.size() >= 4 && At(b, 0, "\xFE\xEF\x00\x00") ? kTypeGho : kTypeNone; }

// ---------------------------------------------------------------- databases and mail (38, 39, 40)

FileTypeId SqliteTest(Bytes b) {
  static constexpr char kMagic[] = "SQLite format 3";  // 15 characters and the NUL: 16 bytes
  return b.size() >= 16 && std::memcmp(b.data(), kMagic, 16) == 0 ? kTypeDb : kTypeNone;
}
FileTypeId DbxTest(Bytes b) { return b.size() >= 16 && At(b, 0, "\xCF\xAD\x12\xFE") ? kTypeDbx : kTypeNone; }
FileTypeId PstTest(Bytes b) { return b.size() >= 16 && At(b, 0, "!BDN") && At(b, 8, "SM") ? kTypePst : kTypeNone; }

// ---------------------------------------------------------------- FLAC, Ogg, AIFF

FileTypeId FlacTest(Bytes b) {
  // "fLaC", then STREAMINFO (type 0, 34 bytes) with a legal block size and a sample rate.
  if (b.size() < 42 || !At(b, 0, "fLaC") || (b[4] & 0x7F) != 0 || !At(b, 5, "\x00\x00\x22")) return kTypeNone;
  const std::uint32_t minBlock = LoadU16BE(b.data() + 8);
  const std::uint32_t maxBlock = LoadU16BE(b.data() + 10);
  const std::uint32_t sampleRate = (LoadU32BE(b.data() + 18) >> 12) & 0xFFFFF;
  return minBlock >= 16 && maxBlock >= minBlock && sampleRate != 0 ? kTypeFlac : kTypeNone;
}

FileTypeId OggTest(Bytes b) {
  // A whole first page, its CRC right, that begins a stream; its first packet names the codec.
  const std::size_t page = CheckedOggPage(b);
  if (page == 0 || (b[5] & 0x03) != 0x02) return kTypeNone;
  const std::size_t packet = 27 + std::size_t{b[26]};
  return At(b.first(page), packet, "OpusHead") ? kTypeOpus : kTypeOgg;
}

FileTypeId AiffTest(Bytes b) {
  if (b.size() < 20 || !At(b, 0, "FORM") || !(At(b, 8, "AIFF") || At(b, 8, "AIFC"))) return kTypeNone;
  const std::uint32_t size = LoadU32BE(b.data() + 4);
  const std::uint32_t first = LoadU32BE(b.data() + 16);
  for (std::size_t i = 12; i < 16; ++i)
    if (b[i] < 0x20 || b[i] > 0x7E) return kTypeNone;
  return size >= 12 && first <= size - 12 ? kTypeAiff : kTypeNone;
}

// ---------------------------------------------------------------- AAC, AMR, CAF, WavPack, DSF

namespace {
constexpr int kAdtsFramesToTrust = 3;
constexpr std::size_t kAdtsHeaderBytes = 7;
}  // namespace

FileTypeId AacTest(CarvingContext& ctx, Bytes b) {
  // Three ADTS frames in a row, each header where the one before ends and like it; the frames
  // after the first sector are read from the medium (a long frame leaves its sector).
  if (b.size() < kAdtsHeaderBytes || ctx.stopScan) return kTypeNone;
  AdtsHeader first;
  if (!ParseAdtsHeader(b.data(), &first) || !IsSupportedSectorSize(ctx.sectorSize)) return kTypeNone;
  std::uint64_t base = 0;
  if (__builtin_mul_overflow(ctx.cursorSector, static_cast<std::uint64_t>(ctx.sectorSize), &base)) return kTypeNone;
  std::uint64_t at = first.frameBytes;
  for (int frame = 1; frame < kAdtsFramesToTrust; ++frame) {
    std::uint8_t next[kAdtsHeaderBytes];
    if (at + kAdtsHeaderBytes <= b.size()) {
      std::memcpy(next, b.data() + at, kAdtsHeaderBytes);
    } else if (ctx.source == nullptr || !ReadMediumBytes(ctx, base + at, next, kAdtsHeaderBytes)) {
      return kTypeNone;
    }
    AdtsHeader h;
    if (!ParseAdtsHeader(next, &h) || h.fixed != first.fixed) return kTypeNone;
    at += h.frameBytes;
  }
  return kTypeAac;
}

FileTypeId AmrTest(Bytes b) {
  // The magic line and a first frame-type byte an encoder writes.
  if (b.size() >= 10 && At(b, 0, "#!AMR-WB\n")) return AmrFrameBytes(b[9], true) != 0 ? kTypeAmr : kTypeNone;
  if (b.size() >= 7 && At(b, 0, "#!AMR\n")) return AmrFrameBytes(b[6], false) != 0 ? kTypeAmr : kTypeNone;
  return kTypeNone;
}

FileTypeId CafTest(Bytes b) {
  // Version 1, no flags, and the desc chunk (always 32 bytes) first, with a four-letter format.
  if (b.size() < 44 || !At(b, 0, "caff\x00\x01\x00\x00" "desc") || LoadU64BE(b.data() + 12) != 32) return kTypeNone;
  for (std::size_t i = 28; i < 32; ++i)
    if (b[i] < 0x20 || b[i] > 0x7E) return kTypeNone;
  return kTypeCaf;
}

FileTypeId WvTest(Bytes b) {
  // A stream's first block: a legal version and block size, starting at sample 0.
  if (b.size() < 32 || !At(b, 0, "wvpk")) return kTypeNone;
  const std::uint32_t size = LoadU32LE(b.data() + 4);
  const std::uint32_t version = LoadU16LE(b.data() + 8);
  return size >= 24 && size <= 0x1000000 && version >= 0x402 && version <= 0x410 && b[10] == 0 &&
                 LoadU32LE(b.data() + 16) == 0
             ? kTypeWv
             : kTypeNone;
}

FileTypeId DsfTest(Bytes b) {
  // The DSD chunk (28 bytes) and the fmt chunk (52 bytes) right after it, format version 1.
  if (b.size() < 48 || !At(b, 0, "DSD \x1C\x00\x00\x00\x00\x00\x00\x00") ||
      !At(b, 28, "fmt \x34\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00"))
    return kTypeNone;
  return kTypeDsf;
}

// ---------------------------------------------------------------- compound-file signature only (44)

FileTypeId FlaTest(Bytes b) { return b.size() >= 16 && At(b, 0, "\xD0\xCF\x11\xE0") ? kTypeFla : kTypeNone; }

// ---------------------------------------------------------------- plain walks

namespace {
// The structure walk, and where it breaks off the plain walk to the next file (at most limit bytes).
std::uint64_t StructureOrWalk(CarvingContext& ctx, Bytes header, const StructureWalk& walk,
                              std::uint64_t structureLimit, std::uint64_t limit) {
  if (const auto length = MeasureByStructure(ctx, header, walk, structureLimit)) return *length;
  return PlainWalk(ctx, header, limit);
}
WalkResult Mts(FileBytes& file, std::uint64_t limit) { return MeasureTransportStream(file, limit, 192); }
}  // namespace

std::uint64_t Mp2Extent(CarvingContext& ctx, Bytes header) {
  return StructureOrWalk(ctx, header, MeasureMpegAudio, kLimit256MiB, kLimit256MiB);
}
std::uint64_t MmfExtent(CarvingContext& ctx, Bytes header) {
  return StructureOrWalk(ctx, header, MeasureMmf, kLimit256MiB, kLimit256MiB);
}
std::uint64_t IsoMediaExtent(CarvingContext& ctx, Bytes header) {
  return StructureOrWalk(ctx, header, MeasureIsoMedia, kLimit6GiB, kLimit6GiB);
}
std::uint64_t FlvExtent(CarvingContext& ctx, Bytes header) {
  return StructureOrWalk(ctx, header, MeasureFlv, kLimit6GiB, kLimit6GiB);
}
std::uint64_t GzExtent(CarvingContext& ctx, Bytes header) {
  return StructureOrWalk(ctx, header, MeasureGzip, kLimit6GiB, kLimit6GiB);
}
std::uint64_t MtsExtent(CarvingContext& ctx, Bytes header) {
  return StructureOrWalk(ctx, header, Mts, kLimit6GiB, kLimit6GiB);
}
std::uint64_t MxfExtent(CarvingContext& ctx, Bytes header) {
  return StructureOrWalk(ctx, header, MeasureMxf, kLimit6GiB, kLimit6GiB);
}
std::uint64_t MkvExtent(CarvingContext& ctx, Bytes header) {
  return StructureOrWalk(ctx, header, MeasureMatroska, kLimit64GiB, kLimit64GiB);
}
std::uint64_t FlacExtent(CarvingContext& ctx, Bytes header) {
  return StructureOrWalk(ctx, header, MeasureFlac, kLimit4GiB, kLimit4GiB);
}
std::uint64_t OggExtent(CarvingContext& ctx, Bytes header) {
  return StructureOrWalk(ctx, header, MeasureOgg, kLimit6GiB, kLimit6GiB);
}
std::uint64_t AiffExtent(CarvingContext& ctx, Bytes header) {
  return StructureOrWalk(ctx, header, MeasureAiff, kLimit4GiB, kLimit4GiB);
}
std::uint64_t AacExtent(CarvingContext& ctx, Bytes header) {
  return StructureOrWalk(ctx, header, MeasureAdts, kLimit2GiB, kLimit2GiB);
}
std::uint64_t AmrExtent(CarvingContext& ctx, Bytes header) {
  return StructureOrWalk(ctx, header, MeasureAmr, kLimit2GiB, kLimit2GiB);
}
std::uint64_t CafExtent(CarvingContext& ctx, Bytes header) {
  return StructureOrWalk(ctx, header, MeasureCaf, kLimit64GiB, kLimit6GiB);
}
std::uint64_t WvExtent(CarvingContext& ctx, Bytes header) {
  return StructureOrWalk(ctx, header, MeasureWavPack, kLimit64GiB, kLimit6GiB);
}
std::uint64_t DsfExtent(CarvingContext& ctx, Bytes header) {
  return StructureOrWalk(ctx, header, MeasureDsf, kLimit64GiB, kLimit6GiB);
}
std::uint64_t PsdExtent(CarvingContext& ctx, Bytes header) {
  return StructureOrWalk(ctx, header, MeasurePsd, kLimit4GiB, kLimit128MiB);
}
std::uint64_t TifExtent(CarvingContext& ctx, Bytes header) {
  return StructureOrWalk(ctx, header, MeasureTiff, kLimit4GiB, kLimit128MiB);
}
std::uint64_t RafExtent(CarvingContext& ctx, Bytes header) {
  return StructureOrWalk(ctx, header, MeasureRaf, kLimit4GiB, kLimit256MiB);
}
std::uint64_t CrwExtent(CarvingContext& ctx, Bytes header) {
  return StructureOrWalk(ctx, header, MeasureCrw, kLimit256MiB, kLimit256MiB);
}
std::uint64_t MrwExtent(CarvingContext& ctx, Bytes header) {
  return StructureOrWalk(ctx, header, MeasureMrw, kLimit4GiB, kLimit256MiB);
}
std::uint64_t X3fExtent(CarvingContext& ctx, Bytes header) {
  return StructureOrWalk(ctx, header, MeasureX3f, kLimit256MiB, kLimit256MiB);
}
std::uint64_t SqliteExtent(CarvingContext& ctx, Bytes header) {
  return StructureOrWalk(ctx, header, MeasureSqlite, kLimit64GiB, kLimit4GiB);
}
std::uint64_t Walk2GiBExtent(CarvingContext& ctx, Bytes header) { return PlainWalk(ctx, header, kLimit2GiB); }
std::uint64_t FlaExtent(CarvingContext& ctx, Bytes header) {
  return StructureOrWalk(ctx, header, MeasureCompoundDocument, kLimit4GiB, kLimit256MiB);
}

// ---------------------------------------------------------------- text (50 .. 58)

namespace {
constexpr std::uint64_t kTextLimit = kLimit128MiB;
}  // namespace

namespace {
bool StartsWithText(Bytes sector, const char* start) {
  const std::size_t n = std::strlen(start);
  return sector.size() >= n && std::memcmp(sector.data(), start, n) == 0;
}

// A sector that opens a text file of its own: a byte-order mark or a signature text files begin
// with and the middle of a text hardly holds at a sector start; or the first line of a source
// file, a mail or a JSON document where the text before it broke off in the middle of a line
// (inside one file, a line that starts a sector has its line break in front of it).
bool OpensTextFile(Bytes sector, std::uint8_t before) {
  static constexpr const char* kStarts[] = {"\xEF\xBB\xBF", "\xFF\xFE", "<!DOCTYPE", "<!doctype", "<?xml ", "<html",
                                            "#!/", "Return-Path: ", "Delivered-To: "};
  for (const char* start : kStarts) {
    if (StartsWithText(sector, start)) return true;
  }
  // A mailbox's separator line with the headers of a mail after it, or a card or calendar
  // opening, whatever came before: the start of a mailbox, contacts or a calendar (a sector of
  // one mailbox may also begin at its next mail: the mailbox is then found as two).
  if (StartsWithText(sector, "From ") || StartsWithText(sector, "BEGIN:VC")) {
    const FileTypeId type = TextTest(sector);
    if (type == kTypeMbox || type == kTypeVcf || type == kTypeIcs) return true;
  }
  static constexpr const char* kFirstLines[] = {"#include <", "#include \"", "From: ", "[\n  {", "{\n  \""};
  const bool midLine = before != '\n' && before != '\r' && before != ' ' && before != '\t' && before != ':' &&
                       before != ',' && before != '=' && before != '(' && before != '[' && before != '{';
  if (!midLine) return false;
  for (const char* start : kFirstLines) {
    if (StartsWithText(sector, start)) return true;
  }
  return false;
}
}  // namespace

std::uint64_t TextExtent(CarvingContext& ctx, Bytes header) {
  // Text that closes itself is measured to its closing line or tag; where the text breaks off
  // before it, the text's own end stands, as an estimate.
  const FileTypeId type = TextTest(HeaderSector(ctx, header));
  std::optional<std::uint64_t> textLength;
  const auto walk = [&](FileBytes& file, std::uint64_t limit) {
    const WalkResult text = MeasureText(file, limit);
    if (text.verdict != WalkVerdict::kMeasured || !TextTypeClosesItself(type)) return text;
    textLength = text.length;
    return MeasureClosedText(file, text.length, type);
  };
  auto measured = MeasureByStructure(ctx, header, walk, kTextLimit);
  // Closed where its structure says: another file cannot begin inside unbroken text.
  if (measured && TextTypeClosesItself(type) && ctx.extentBasis == CarvingContext::ExtentBasis::kStructure)
    return *measured;
  if (!measured) measured = textLength;
  // Unreadable past the first sector: the text the first sector holds.
  if (!measured) return HeaderSector(ctx, header).size();
  if (*measured == 0 || !IsSupportedSectorSize(ctx.sectorSize)) return *measured;
  // The text ends at a sector inside it where another file begins: one whose signature happens to
  // be printable ("PK", "BM", "MSCF", "%PDF", ...) or another text file, or file-system metadata.
  const auto s = static_cast<std::uint64_t>(ctx.sectorSize);
  std::uint8_t sector[kMaxSectorSize];
  const Bytes view(sector, static_cast<std::size_t>(s));
  const Bytes first = HeaderSector(ctx, header);
  std::uint8_t before = first.empty() ? 0 : first.back();
  ctx.stopScan = true;
  std::uint64_t end = *measured;
  for (std::uint64_t k = 1; k * s < *measured; ++k) {
    if (ReadMediumSectorsClipped(ctx, ctx.fileStartSector + k, 1, sector) != 1) break;
    ctx.cursorSector = ctx.fileStartSector + k;
    if (RecogniseHeaderFast(ctx, view) != kTypeNone || IsStructureSector(view) || OpensTextFile(view, before)) {
      end = k * s;
      break;
    }
    before = sector[s - 1];
  }
  ctx.stopScan = false;
  return end;
}

// ---------------------------------------------------------------- modern pictures (59..62)

FileTypeId WebpTest(Bytes b) {
  if (b.size() < 20 || !At(b, 0, "RIFF") || !At(b, 8, "WEBP")) return kTypeNone;
  // The first chunk is the image itself or the extended header.
  if (!At(b, 12, "VP8 ") && !At(b, 12, "VP8L") && !At(b, 12, "VP8X")) return kTypeNone;
  return ByteView(b).U32LE(4).value_or(0) >= 12 ? kTypeWebp : kTypeNone;
}

std::uint64_t WebpExtent(CarvingContext& ctx, Bytes header) {
  if (const auto length = MeasureByStructure(ctx, header, MeasureWebp, kLimit4GiB)) return *length;
  return static_cast<std::uint64_t>(ByteView(header).U32LE(4).value_or(0)) + 8;
}

FileTypeId HeifTest(Bytes b) {
  if (b.size() < 32 || !At(b, 4, "ftyp")) return kTypeNone;
  const std::uint32_t size = LoadU32BE(b.data());
  if (size < 16 || size > 4096 || size % 4 != 0) return kTypeNone;
  // Still-image brands (HEVC, AV1, or the general image brand with a codec among the compatible).
  const auto brand = [&b](std::size_t at, const char* which) { return std::memcmp(b.data() + at, which, 4) == 0; };
  const auto isAvif = [&](std::size_t at) { return brand(at, "avif") || brand(at, "avis"); };
  const auto isHevc = [&](std::size_t at) {
    return brand(at, "heic") || brand(at, "heix") || brand(at, "hevc") || brand(at, "hevx") || brand(at, "heim") ||
           brand(at, "heis") || brand(at, "hevm") || brand(at, "hevs");
  };
  if (isAvif(8)) return kTypeAvif;
  if (isHevc(8)) return kTypeHeic;
  if (!brand(8, "mif1") && !brand(8, "msf1")) return kTypeNone;
  const std::size_t end = std::min<std::size_t>(size, b.size());
  bool heif = false;
  for (std::size_t at = 16; at + 4 <= end; at += 4) {
    if (isAvif(at)) return kTypeAvif;
    heif = heif || isHevc(at);
  }
  return heif ? kTypeHeic : kTypeNone;
}

std::uint64_t HeifExtent(CarvingContext& ctx, Bytes header) {
  return StructureOrWalk(ctx, header, MeasureHeif, kLimit4GiB, kLimit256MiB);
}

namespace {
// The bits of a JPEG XL codestream header, least significant first.
class JxlBits {
 public:
  explicit JxlBits(Bytes b) : b_(b) {}
  std::uint32_t Get(unsigned n) {
    std::uint32_t v = 0;
    for (unsigned i = 0; i < n; ++i, ++pos_) {
      if (pos_ / 8 >= b_.size()) {
        overrun_ = true;
        return 0;
      }
      v |= static_cast<std::uint32_t>((b_[pos_ / 8] >> (pos_ % 8)) & 1) << i;
    }
    return v;
  }
  // U32: a 2-bit selector, then a constant or offset plus bits for each of the four choices.
  std::uint32_t U32(const std::array<std::uint32_t, 4>& offset, const std::array<unsigned, 4>& bits) {
    const std::uint32_t s = Get(2);
    return offset[s] + Get(bits[s]);
  }
  bool overrun() const { return overrun_; }
  // The bits up to the next byte boundary, which a codestream fills with zeros.
  bool PadIsZero() { return Get(static_cast<unsigned>((8 - pos_ % 8) % 8)) == 0; }

 private:
  Bytes b_;
  std::size_t pos_ = 16;  // after FF 0A
  bool overrun_ = false;
};

void JxlSize(JxlBits& r) {
  const bool small = r.Get(1) != 0;
  const auto dimension = [&] {
    if (small) r.Get(5);
    else r.U32({1, 1, 1, 1}, {9, 13, 18, 30});
  };
  dimension();
  if (r.Get(3) == 0) dimension();
}

bool JxlBitDepth(JxlBits& r) {
  if (r.Get(1) == 0) return r.U32({8, 10, 12, 1}, {0, 0, 0, 6}) <= 31;  // integer samples
  const std::uint32_t bits = r.U32({32, 16, 24, 1}, {0, 0, 0, 6});
  const std::uint32_t exponent = 1 + r.Get(4);
  return bits <= 32 && exponent >= 2 && exponent <= 8 && bits >= exponent + 3;
}

// Whether the image header after the signature decodes to values a codestream can hold. Its
// fields are a few bits each, so the check goes on to where codes are left unused: the bit depth,
// the extra channel types, the colour space and white point, or (all defaults) the zero bits that
// pad the headers to a byte. About one in five random headers passes.
bool JxlHeaderDecodes(Bytes b) {
  JxlBits r(b);
  JxlSize(r);
  if (r.Get(1) != 0) return r.PadIsZero() && !r.overrun();  // all defaults: 8-bit sRGB
  if (r.Get(1) != 0) {  // extra fields
    r.Get(3);           // orientation
    if (r.Get(1) != 0) JxlSize(r);  // intrinsic size
    if (r.Get(1) != 0) {            // preview
      const bool div8 = r.Get(1) != 0;
      for (int d = 0; d < 2; ++d) {
        if (div8) r.U32({16, 32, 1, 33}, {0, 0, 5, 9});
        else r.U32({1, 65, 321, 1345}, {6, 8, 10, 12});
        if (d == 0 && r.Get(3) != 0) break;
      }
    }
    if (r.Get(1) != 0) {  // animation
      r.U32({100, 1000, 1, 1}, {0, 0, 10, 30});
      r.U32({1, 1001, 1, 1}, {0, 0, 8, 10});
      r.U32({0, 0, 0, 0}, {0, 3, 16, 32});
      r.Get(1);
    }
  }
  if (!JxlBitDepth(r)) return false;
  r.Get(1);  // 16-bit buffers suffice
  const std::uint32_t extra = r.U32({0, 1, 2, 1}, {0, 0, 4, 12});
  if (extra > 8) return false;  // more than pictures carry; also bounds the loop
  for (std::uint32_t i = 0; i < extra && !r.overrun(); ++i) {
    if (r.Get(1) != 0) continue;  // an alpha channel with every default
    const std::uint32_t type = r.U32({0, 1, 2, 18}, {0, 0, 4, 6});
    if (type > 16 || !JxlBitDepth(r)) return false;
    r.U32({0, 3, 4, 1}, {0, 0, 0, 3});  // dimension shift
    const std::uint32_t nameBytes = r.U32({0, 0, 16, 48}, {0, 4, 5, 10});
    for (std::uint32_t k = 0; k < nameBytes && !r.overrun(); ++k) r.Get(8);
    if (type == 0) r.Get(1);                                // alpha associated
    if (type == 2) for (int k = 0; k < 4; ++k) r.Get(16);  // spot colour
    if (type == 5) r.U32({1, 0, 3, 19}, {0, 2, 4, 8});      // colour filter array channel
  }
  r.Get(1);  // XYB
  if (r.Get(1) != 0) return !r.overrun();  // default colour encoding
  const bool icc = r.Get(1) != 0;
  const std::uint32_t space = r.U32({0, 1, 2, 18}, {0, 0, 4, 6});
  if (space > 3) return false;
  if (!icc && space != 2) {
    const std::uint32_t white = r.U32({0, 1, 2, 18}, {0, 0, 4, 6});
    if (white != 1 && white != 2 && white != 10 && white != 11) return false;
  }
  return !r.overrun();
}
}  // namespace

FileTypeId JxlTest(Bytes b) {
  if (b.size() >= 32 && At(b, 0, "\x00\x00\x00\x0CJXL \x0D\x0A\x87\x0A")) {
    // The signature box is followed by a file-type box of brand "jxl ".
    return At(b, 16, "ftypjxl ") ? kTypeJxl : kTypeNone;
  }
  // A bare codestream has a 16-bit signature and headers of a few bits each: with the header
  // check about one random sector in 350000 passes.
  if (b.size() < 16 || b[0] != 0xFF || b[1] != 0x0A) return kTypeNone;
  return JxlHeaderDecodes(b.first(std::min<std::size_t>(b.size(), 512))) ? kTypeJxl : kTypeNone;
}

std::uint64_t JxlExtent(CarvingContext& ctx, Bytes header) {
  // A bare codestream declares no length: it is measured by the walk to the next file.
  if (At(header, 0, "\xFF\x0A")) {
    const auto noLength = [](FileBytes&, std::uint64_t) { return Unsure(); };
    if (const auto length = MeasureByStructure(ctx, header, noLength, kLimit128MiB)) return *length;
    return PlainWalk(ctx, header, kLimit128MiB);
  }
  return StructureOrWalk(ctx, header, MeasureJxlContainer, kLimit4GiB, kLimit128MiB);
}

// ---------------------------------------------------------------- RTF (84), plist (88)

// "{\rtf" and a version digit, then what follows a control word; text of another kind that
// mentions RTF does not start with it.
FileTypeId RtfTest(Bytes b) {
  if (b.size() < 16 || !At(b, 0, "{\\rtf") || b[5] < '0' || b[5] > '9') return kTypeNone;
  const std::uint8_t c = b[6];
  return c == '\\' || c == '{' || c == ' ' || c == '\r' || c == '\n' ? kTypeRtf : kTypeNone;
}
std::uint64_t RtfExtent(CarvingContext& ctx, Bytes header) {
  return StructureOrWalk(ctx, header, MeasureRtf, kLimit128MiB, kLimit128MiB);
}

// "bplist00" and a first object of a kind the format has (its marker's high nibble); the top
// object a writer puts first is nearly always a dictionary or an array.
FileTypeId BinaryPlistTest(Bytes b) {
  if (b.size() < 16 || !At(b, 0, "bplist00")) return kTypeNone;
  const std::uint8_t marker = b[8];
  const std::uint8_t kind = marker >> 4;
  const bool known = kind == 0 ? marker == 0x00 || marker == 0x08 || marker == 0x09 || marker == 0x0F
                               : kind <= 0x6 || kind == 0x8 || kind == 0xA || kind == 0xC || kind == 0xD;
  return known ? kTypePlist : kTypeNone;
}
std::uint64_t PlistExtent(CarvingContext& ctx, Bytes header) {
  if (BinaryPlistTest(header) == kTypePlist)
    return StructureOrWalk(ctx, header, MeasureBinaryPlist, kLimit128MiB, kLimit128MiB);
  return TextExtent(ctx, header);
}

}  // namespace rexmoor::formats

