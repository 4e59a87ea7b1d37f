// What a structure walk sees of a candidate file: its bytes from the first one on, read on demand.
// The walks that measure a file by its own structure (box, chunk, segment and block walks) are
// pure functions of these bytes, so the same walk runs over a medium during a deep scan, over a
// file in memory in tests and fuzzers, and side by side on several threads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace rexmoor::formats {

// The most one View call hands out.
inline constexpr std::size_t kMaxFileView = 0x10000;

class FileBytes {
 public:
  virtual ~FileBytes() = default;

  // Up to `want` bytes (at most kMaxFileView) at file offset `offset`. Fewer only where the
  // medium ends; empty past its end, on a read error, or once the caller cancelled. The view
  // stays valid until the next call.
  virtual std::span<const std::uint8_t> View(std::uint64_t offset, std::size_t want) = 0;

  // Exactly n bytes at offset into out (any n); false when any of them cannot be had.
  bool Read(std::uint64_t offset, void* out, std::size_t n) {
    auto* dst = static_cast<std::uint8_t*>(out);
    while (n > 0) {
      const std::span<const std::uint8_t> v = View(offset, std::min(n, kMaxFileView));
      if (v.empty()) return false;
      std::memcpy(dst, v.data(), v.size());
      dst += v.size();
      offset += v.size();
      n -= v.size();
    }
    return true;
  }
};

// A file held in memory (tests, fuzzers, `identify`).
class MemoryFileBytes final : public FileBytes {
 public:
  explicit MemoryFileBytes(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::span<const std::uint8_t> View(std::uint64_t offset, std::size_t want) override {
    if (offset >= bytes_.size()) return {};
    const std::size_t at = static_cast<std::size_t>(offset);
    return bytes_.subspan(at, std::min({want, kMaxFileView, bytes_.size() - at}));
  }

 private:
  std::span<const std::uint8_t> bytes_;
};

// What a structure walk concluded.
enum class WalkVerdict : std::uint8_t {
  kMeasured,       // the structure ends at `length`, to the byte
  kNotThisFormat,  // the header was a chance match: what follows it is not this format
  kUnsure,         // the start is this format but the structure breaks off (damage, overwrite,
                   // the medium's end, an unreadable sector, a cancelled scan): no exact end known
};

struct WalkResult {
  WalkVerdict verdict = WalkVerdict::kUnsure;
  std::uint64_t length = 0;  // meaningful for kMeasured only
};

inline WalkResult Measured(std::uint64_t length) { return {WalkVerdict::kMeasured, length}; }
inline WalkResult NotThisFormat() { return {WalkVerdict::kNotThisFormat, 0}; }
inline WalkResult Unsure() { return {WalkVerdict::kUnsure, 0}; }

}  // namespace rexmoor::formats
