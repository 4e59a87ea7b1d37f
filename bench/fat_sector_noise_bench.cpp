// How often sectors that are not FAT directories pass for one: the deep sweep hands every sector
// that does to the formatted FAT engine, and the carver ends a file at one.
//
//   fat_sector_noise_bench RANDOM_SECTORS [LIST_OF_FILES...]
//
// Counts, over RANDOM_SECTORS pseudo-random sectors and over the 512-byte sectors of every file
// named in each list (one path a line; a file's last sector padded with zeros, as slack often
// is), the sectors that open a sub-folder ("."/".." pair) and the other sectors taken for
// directory sectors. Text files and shared libraries make good lists:
//
//   find /usr/share/doc /usr/include -type f -size -2M > text.list
//   find /usr/lib/x86_64-linux-gnu -maxdepth 1 -name '*.so*' -type f > binary.list
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "formats/fat_dir_entry.h"

namespace {

constexpr std::size_t kSector = 512;

struct Count {
  std::uint64_t sectors = 0;
  std::uint64_t folderStarts = 0;
  std::uint64_t directorySectors = 0;

  void Judge(const std::uint8_t* bytes) {
    const std::span<const std::uint8_t> sector(bytes, kSector);
    ++sectors;
    if (rexmoor::IsDotPair(sector)) {
      ++folderStarts;
    } else if (rexmoor::IsFatDirectorySector(sector)) {
      ++directorySectors;
    }
  }

  void Print(const char* what) const {
    std::printf("%-28s %12llu sectors  %6llu directory sectors (%.6f %%)  %llu folder starts\n", what,
                static_cast<unsigned long long>(sectors), static_cast<unsigned long long>(directorySectors),
                sectors != 0 ? 100.0 * static_cast<double>(directorySectors) / static_cast<double>(sectors) : 0.0,
                static_cast<unsigned long long>(folderStarts));
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s RANDOM_SECTORS [LIST_OF_FILES...]\n", argv[0]);
    return 2;
  }
  Count random;
  std::mt19937_64 rng(20261209);
  std::vector<std::uint8_t> sector(kSector);
  const std::uint64_t randomSectors = std::strtoull(argv[1], nullptr, 10);
  for (std::uint64_t i = 0; i < randomSectors; ++i) {
    for (std::size_t k = 0; k < kSector; k += 8) {
      const std::uint64_t v = rng();
      for (std::size_t b = 0; b < 8; ++b) sector[k + b] = static_cast<std::uint8_t>(v >> (8 * b));
    }
    random.Judge(sector.data());
  }
  random.Print("random");

  for (int a = 2; a < argc; ++a) {
    Count files;
    std::ifstream list(argv[a]);
    for (std::string path; std::getline(list, path);) {
      std::ifstream in(path, std::ios::binary);
      std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      data.resize((data.size() + kSector - 1) / kSector * kSector, 0);
      for (std::size_t at = 0; at < data.size(); at += kSector) files.Judge(data.data() + at);
    }
    files.Print(argv[a]);
  }
  return 0;
}
