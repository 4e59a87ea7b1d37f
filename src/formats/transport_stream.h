// MPEG transport streams: 188-byte packets that each begin with the sync byte 0x47, and the
// camcorder variant with a 4-byte time stamp in front of every packet (192 bytes, "mts").
// A stream has no header of its own, so the test looks for a run of packets and, while the
// context's tsStreamMode is set, makes sure the sector does not merely continue a stream.
#pragma once

#include <cstdint>
#include <span>

#include "formats/file_type_id.h"

namespace rexmoor {
class CarvingContext;
}

namespace rexmoor::formats {

inline constexpr std::size_t kTsPacketSize = 188;
inline constexpr std::uint8_t kTsSync = 0x47;
inline constexpr std::size_t kTsProbeBytes = 4096;  // read at the cursor: 22 packets must line up
inline constexpr std::size_t kTsProbePackets = 22;

FileTypeId TsTest(CarvingContext& ctx, std::span<const std::uint8_t> b);
// Walk to the next file (64 GiB at most), ended earlier at the first packet on the file's grid
// that lacks the sync byte; the carved sectors are added to the context's TsExtentList.
std::uint64_t TsExtent(CarvingContext& ctx, std::span<const std::uint8_t> header);
// A 192-byte-packet stream starting with its PAT packet; while one is measured (mtsInProgress)
// only a time stamp of 0 starts a new one.
FileTypeId MtsTest(CarvingContext& ctx, std::span<const std::uint8_t> b);

}  // namespace rexmoor::formats
