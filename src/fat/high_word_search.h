// A deleted FAT32 entry keeps only the low word of its first cluster: the candidates that share
// it are tried in turn, high word 0 first, until one's first sector holds what the entry promises.
#pragma once

#include <cstdint>

#include "formats/fat_dir_entry.h"

namespace rexmoor {

enum class HighWordProbe : std::uint8_t {
  Accept,  // this cluster is the one
  Reject,  // try the next high word
  Stop,    // the clusters lie beyond the volume, or a read failed: give up
};

// The searches try high words 0..256.
inline constexpr std::uint32_t kMaxHighWord = 256;

// The first high word whose cluster probe accepts; 0 when none does.
template <class Probe>
std::uint16_t SearchHighWord(std::uint16_t lowWord, Probe&& probe) {
  for (std::uint32_t h = 0; h <= kMaxHighWord; ++h) {
    const HighWordProbe verdict = probe(FirstCluster(static_cast<std::uint16_t>(h), lowWord));
    if (verdict == HighWordProbe::Accept) return static_cast<std::uint16_t>(h);
    if (verdict == HighWordProbe::Stop) break;
  }
  return 0;
}

}  // namespace rexmoor
