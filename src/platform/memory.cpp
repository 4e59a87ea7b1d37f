#include "platform/memory.h"

#include <errno.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

namespace rexmoor {

bool FileHasHole(const FileHandle& file) {
  struct stat info {};
  if (!file.IsValid() || fstat(file.fd(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  const off_t hole = lseek(file.fd(), 0, SEEK_HOLE);
  return hole >= 0 && hole < info.st_size;
}

bool WhollyInHole(const FileHandle& file, std::uint64_t offset, std::uint64_t length) {
  const off_t data = lseek(file.fd(), static_cast<off_t>(offset), SEEK_DATA);
  if (data >= 0) return static_cast<std::uint64_t>(data) - offset >= length;
  if (errno != ENXIO) return false;
  // No data from offset on, or the file ends before it (cut short meanwhile: that is read as such).
  struct stat info {};
  return fstat(file.fd(), &info) == 0 && static_cast<std::uint64_t>(info.st_size) >= offset + length;
}

std::uint64_t AvailableMemoryBytes() {
  FILE* info = std::fopen("/proc/meminfo", "re");
  if (info == nullptr) return 0;
  char line[256];
  std::uint64_t kib = 0;
  while (std::fgets(line, sizeof line, info) != nullptr) {
    unsigned long long value = 0;
    if (std::sscanf(line, "MemAvailable: %llu kB", &value) == 1) {
      kib = value;
      break;
    }
  }
  std::fclose(info);
  return kib > UINT64_MAX / 1024 ? UINT64_MAX : kib * 1024;
}

namespace {
constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;

std::size_t LargeBufferLength(std::size_t bytes) {
  return static_cast<std::size_t>((bytes + kHugePage - 1) & ~(kHugePage - 1));
}
}  // namespace

std::uint8_t* AllocateLargeBuffer(std::size_t bytes) {
  if (bytes == 0 || bytes > SIZE_MAX / 2) return nullptr;
  const std::size_t length = LargeBufferLength(bytes);
  // Over-asked by a huge page, and the ends that are not needed for the alignment given back.
  void* at = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (at == MAP_FAILED) return nullptr;
  const auto begin = reinterpret_cast<std::uintptr_t>(at);
  const std::uintptr_t aligned = (begin + kHugePage - 1) & ~(kHugePage - 1);
  if (aligned != begin) munmap(at, aligned - begin);
  const std::uintptr_t tail = begin + length + kHugePage - (aligned + length);
  if (tail != 0) munmap(reinterpret_cast<void*>(aligned + length), tail);
#ifdef MADV_HUGEPAGE
  (void)madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);  // a hint: fine to be ignored
#endif
  return reinterpret_cast<std::uint8_t*>(aligned);
}

void FreeLargeBuffer(std::uint8_t* at, std::size_t bytes) {
  if (at != nullptr) munmap(at, LargeBufferLength(bytes));
}

void KeepFreedMemoryForReuse() {
  // Blocks up to this size come from the heap, which keeps up to the trim size free at its top.
  (void)mallopt(M_MMAP_THRESHOLD, 32 << 20);
  (void)mallopt(M_TRIM_THRESHOLD, 128 << 20);
}

SharedZeros::SharedZeros(std::size_t bytes) {
  void* at = mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  if (at == MAP_FAILED) return;
  data_ = static_cast<const std::uint8_t*>(at);
  bytes_ = bytes;
}

SharedZeros::~SharedZeros() {
  if (data_ != nullptr) munmap(const_cast<std::uint8_t*>(data_), bytes_);
}

}  // namespace rexmoor
