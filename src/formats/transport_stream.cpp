#include "formats/transport_stream.h"

#include <algorithm>
#include <cstring>

#include "formats/carving_context.h"
#include "formats/extent_walk.h"
#include "formats/structure_extent.h"
#include "formats/walk_media.h"
#include "formats/format_rules.h"
#include "platform/byte_view.h"

namespace rexmoor::formats {

namespace {

// Packets of the file's grid that lie wholly in a chunk after the header sector: the first one
// without the sync byte ends the stream.
class PacketGridCheck : public CandidateFooter {
 public:
  explicit PacketGridCheck(std::uint64_t headerBytes) : headerBytes_(headerBytes) {}
  bool Examine(const ChunkView& chunk, std::uint64_t*) override {
    if (Noted()) return false;
    const std::uint64_t chunkEnd = chunk.offset + chunk.readBytes;
    std::uint64_t from = std::max(chunk.offset, headerBytes_);
    std::uint64_t packet = (from + kTsPacketSize - 1) / kTsPacketSize * kTsPacketSize;
    for (; packet + kTsPacketSize <= chunkEnd; packet += kTsPacketSize) {
      if (chunk.data[packet - chunk.offset] != kTsSync) {
        Note(packet);
        break;
      }
    }
    return false;
  }

 private:
  std::uint64_t headerBytes_;
};

// A camcorder or muxer stream of 192-byte packets (a 4-byte time stamp before each 188-byte
// packet) opens with its programme tables: the first packet, with its payload starting, carries
// the association table (PID 0) or the service description (PID 0x11), and every packet of the
// sector is on the grid.
bool OpensM2tsStream(std::span<const std::uint8_t> b) {
  constexpr std::size_t kPacket = 192;
  constexpr std::size_t kStamp = 4;
  if (b.size() < kStamp + kPacket * 2 + 1) return false;
  for (std::size_t at = kStamp; at < b.size(); at += kPacket) {
    if (b[at] != kTsSync) return false;
  }
  const bool payloadStart = (b[kStamp + 1] & 0x40) != 0;
  const unsigned pid = ((b[kStamp + 1] & 0x1F) << 8) | b[kStamp + 2];
  return payloadStart && (pid == 0x0000 || pid == 0x0011);
}

}  // namespace

FileTypeId TsTest(CarvingContext& ctx, std::span<const std::uint8_t> b) {
  const std::size_t len = b.size();
  if (len < kTsPacketSize || b[0] != kTsSync || (b[1] == 0 && b[2] == 0 && b[3] == 0)) return kTypeNone;
  for (std::size_t k = kTsPacketSize; k <= len / kTsPacketSize * kTsPacketSize && k < len; k += kTsPacketSize) {
    if (b[k] != kTsSync) return kTypeNone;
  }

  if (!IsSupportedSectorSize(ctx.sectorSize)) return kTypeNone;
  const std::uint32_t s = static_cast<std::uint32_t>(ctx.sectorSize);
  std::uint8_t probe[kTsProbeBytes];
  std::uint32_t got = 0;
  if (ctx.source == nullptr ||
      ReadSectors(static_cast<std::int32_t>(kTsProbeBytes / s), *ctx.source, probe, ctx.cursorSector,
                  ctx.sectorSize, &got) != kSuccess)
    return kTypeNone;
  for (std::size_t j = 0; j < kTsProbePackets; ++j) {
    if (probe[j * kTsPacketSize] != kTsSync) return kTypeNone;
  }
  if (!ctx.tsStreamMode) return kTypeTs;

  // A packet of the same grid ending exactly where this sector begins: the stream started earlier.
  // (The first sector of a medium has nothing before it.)
  if (ctx.cursorSector > 0) {
    if (ReadSectors(1, *ctx.source, probe, ctx.cursorSector - 1, ctx.sectorSize, &got) != kSuccess) return kTypeNone;
    for (std::uint32_t j = 1; j <= s / kTsPacketSize; ++j) {
      if (probe[s - kTsPacketSize * j] == kTsSync) return kTypeNone;
    }
  }
  return ctx.tsExtents.Contains(ctx.fileStartSector) ? kTypeNone : kTypeTs;
}

std::uint64_t TsExtent(CarvingContext& ctx, std::span<const std::uint8_t> header) {
  if (!IsSupportedSectorSize(ctx.sectorSize)) return 0;
  const std::uint64_t s = static_cast<std::uint64_t>(ctx.sectorSize);
  std::uint64_t length = 0;
  const auto walk = [](FileBytes& file, std::uint64_t limit) { return MeasureTransportStream(file, limit, 188); };
  if (const auto measured = MeasureByStructure(ctx, header, walk, kLimit64GiB)) {
    length = *measured;
    if (length == 0) return 0;  // not a stream after all
  } else {
    PacketGridCheck grid(s);
    WalkParams params;
    params.limit = kLimit64GiB;
    length = std::max<std::uint64_t>(ExtentWalk(ctx, header, params, &grid), s);
  }
  const std::uint64_t first = ctx.fileStartSector;
  ctx.tsExtents.Add(first, first + (length + s - 1) / s - 1);
  return length;
}

FileTypeId MtsTest(CarvingContext& ctx, std::span<const std::uint8_t> b) {
  static constexpr std::uint8_t kPatHead[8] = {0x00, 0x00, 0xB0, 0x11, 0x00, 0x00, 0xC1, 0x00};
  if (b.size() < 16) return kTypeNone;
  if (std::memcmp(b.data() + 8, kPatHead, sizeof kPatHead) != 0 && !OpensM2tsStream(b)) return kTypeNone;
  const bool zeroStamp = LoadU32LE(b.data()) == 0;
  return zeroStamp || !ctx.mtsInProgress ? kTypeMts : kTypeNone;
}

}  // namespace rexmoor::formats
