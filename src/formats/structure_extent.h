// Measuring a carved file by its own structure: the bridge between the structure walks (pure
// functions of a file's bytes, file_bytes.h) and the extent rules, which work on the medium of a
// carving context. A rule asks for the structure first; only where the structure breaks off does
// its older footer rule measure the file, and the context records which of the two it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>

#include "formats/carving_context.h"
#include "formats/file_bytes.h"

namespace rexmoor::formats {

// The file that begins at the context's fileStartSector, read from its medium: from the sweep's
// block where that holds the bytes, else through the context's own buffer. Reports the walk's
// progress through the context's callback every 64 KiB it reaches; a non-zero answer (kept in
// lastCallbackResult) ends every later view empty.
class MediumFileBytes final : public FileBytes {
 public:
  // header: the file's first bytes as the caller holds them (read from there, not the medium).
  MediumFileBytes(CarvingContext& ctx, std::span<const std::uint8_t> header);
  std::span<const std::uint8_t> View(std::uint64_t offset, std::size_t want) override;
  bool Stopped() const { return stopped_; }

 private:
  void Report(std::uint64_t reachedBytes);

  CarvingContext& ctx_;
  std::span<const std::uint8_t> header_;
  std::uint64_t sectorSize_ = 0;
  std::uint64_t base_ = 0;         // byte offset of the file on the medium
  std::uint64_t mediumBytes_ = 0;
  std::uint8_t* buffer_ = nullptr;
  std::uint64_t cachedFirst_ = 0;  // medium byte offset of buffer_[0]
  std::size_t cachedBytes_ = 0;
  std::uint64_t reported_ = 0;     // file bytes reached at the last progress report
  bool stopped_ = false;
};

using StructureWalk = std::function<WalkResult(FileBytes&, std::uint64_t limit)>;

// Runs the walk over the file at the context's start. A measured file gives its length (basis
// kStructure); a chance match gives 0 (basis kRejected); a structure that breaks off gives nothing
// (basis kFallback), and the caller measures with its footer rule, except when the progress
// callback stopped the walk: then the header sector is the length. With the context's
// structureWalks off, gives nothing and leaves the basis kRule.
std::optional<std::uint64_t> MeasureByStructure(CarvingContext& ctx, std::span<const std::uint8_t> header,
                                                const StructureWalk& walk, std::uint64_t limit);

}  // namespace rexmoor::formats
