// CRC-32C (Castagnoli), the checksum of ext4's metadata_csum and of jbd2's csum v2/v3. Like the
// kernel's crc32c() it neither inverts the start value nor the result: ext4 and jbd2 chain raw
// values (seed = Crc32c(~0, uuid), then inode number, ...) and store the raw result.
#pragma once

#include <cstdint>
#include <span>

namespace rexmoor {

std::uint32_t Crc32c(std::uint32_t crc, std::span<const std::uint8_t> bytes);

}  // namespace rexmoor
