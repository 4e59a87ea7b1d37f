// Chooses and opens the engine for a source from its boot area and the scan mode.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/file_recovery_parse.h"
#include "formats/volume_detect.h"

namespace rexmoor {

using EnginePtr = std::unique_ptr<IFileRecoveryParse>;

// The engine class for a volume kind and mode, not yet opened; null where there is none.
EnginePtr CreateEngineOfKind(VolumeKind kind, bool deepMode);

// Reads 16 KiB at the partition start, classifies it, creates the engine and opens it.
// Null on any failure (drive missing, short read, no engine for the kind in quick mode).
EnginePtr CreateEngineForDisk(std::int32_t driveNumber, std::uint64_t startSector, std::uint64_t sectorCount,
                              std::uint16_t driveLetter, bool deepMode);
EnginePtr CreateEngineForImage(const std::string& imagePath, std::uint16_t sourceTag, bool deepMode);

}  // namespace rexmoor
