#include "platform/resident_view.h"

#include <errno.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <vector>

namespace rexmoor {

namespace {

// The views the fault handler knows of; a view that finds no free slot is not made (the caller
// reads instead), so the handler never meets a view it cannot find.
struct Slot {
  std::atomic<bool> taken{false};
  std::atomic<std::uintptr_t> begin{0};
  std::atomic<std::uintptr_t> end{0};
  std::atomic<bool> damaged{false};
};
std::array<Slot, 128> g_slots;
std::uintptr_t g_pageSize = 4096;
struct sigaction g_previous {};

// A touch of a mapped page whose file was cut short. Inside a view the page is replaced by one of
// zeros and the view marked; anywhere else the fault goes where it went before.
void OnBusFault(int signal, siginfo_t* info, void* context) {
  const auto at = reinterpret_cast<std::uintptr_t>(info->si_addr);
  for (Slot& slot : g_slots) {
    const std::uintptr_t begin = slot.begin.load(std::memory_order_acquire);
    if (begin == 0 || at < begin || at >= slot.end.load(std::memory_order_acquire)) continue;
    void* page = reinterpret_cast<void*>(at & ~(g_pageSize - 1));
    if (mmap(page, g_pageSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
      slot.damaged.store(true, std::memory_order_release);
      return;
    }
    break;
  }
  if ((g_previous.sa_flags & SA_SIGINFO) != 0 && g_previous.sa_sigaction != nullptr) {
    g_previous.sa_sigaction(signal, info, context);
    return;
  }
  if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
    g_previous.sa_handler(signal);
    return;
  }
  // The fault repeats on return and ends the program as it would have without us.
  ::signal(signal, SIG_DFL);
}

bool InstallFaultHandler() {
  static const bool installed = [] {
    const long page = sysconf(_SC_PAGESIZE);
    if (page <= 0 || (page & (page - 1)) != 0) return false;
    g_pageSize = static_cast<std::uintptr_t>(page);
    struct sigaction action {};
    action.sa_sigaction = &OnBusFault;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGBUS, &action, &g_previous) == 0;
  }();
  return installed;
}

int TakeSlot() {
  for (std::size_t i = 0; i < g_slots.size(); ++i) {
    bool expected = false;
    if (g_slots[i].taken.compare_exchange_strong(expected, true)) {
      g_slots[i].damaged.store(false);
      return static_cast<int>(i);
    }
  }
  return -1;
}

// Whether every page of the mapping at is in memory. A stretch that lacks only a few (the
// system let them go) has them read first, so that one missing page does not cost a copy of all
// the others; a read that fails leaves the stretch to be read the ordinary way.
bool AllResident(void* at, std::size_t length, std::vector<unsigned char>& resident, const FileHandle& file,
                 std::uint64_t offset, std::uint64_t fileSize) {
  if (mincore(at, length, resident.data()) != 0) return false;
  std::vector<std::size_t> missing;
  for (std::size_t i = 0; i < resident.size(); ++i) {
    if ((resident[i] & 1) != 0) continue;
    if (missing.size() == resident.size() / 16) return false;  // not in memory, by and large
    missing.push_back(i);
  }
  if (missing.empty()) return true;
  std::vector<std::uint8_t> page(g_pageSize);
  for (const std::size_t i : missing) {
    // The file's last page may hold less than a page.
    const std::uint64_t from = offset + i * g_pageSize;
    const auto want = static_cast<ssize_t>(std::min<std::uint64_t>(page.size(), fileSize - std::min(from, fileSize)));
    if (want == 0 || file.Pread(page.data(), static_cast<std::size_t>(want), from) != want) return false;
  }
  if (mincore(at, length, resident.data()) != 0) return false;
  for (const unsigned char r : resident)
    if ((r & 1) == 0) return false;
  return true;
}

}  // namespace

bool ResidentView::Map(const FileHandle& file, std::uint64_t offset, std::size_t length) {
  Unmap();
  if (!file.IsValid() || length == 0 || !InstallFaultHandler() || offset % g_pageSize != 0) return false;
  struct stat info {};
  if (fstat(file.fd(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) return false;
  const auto size = static_cast<std::uint64_t>(info.st_size);
  if (offset > size || length > size - offset) return false;
  const std::size_t whole = (length + g_pageSize - 1) & ~(g_pageSize - 1);
  const int slot = TakeSlot();
  if (slot < 0) return false;
  void* at = mmap(nullptr, whole, PROT_READ, MAP_SHARED, file.fd(), static_cast<off_t>(offset));
  if (at == MAP_FAILED) {
    g_slots[static_cast<std::size_t>(slot)].taken.store(false);
    return false;
  }
  std::vector<unsigned char> resident(whole / g_pageSize);
  bool all = AllResident(at, whole, resident, file, offset, size);
  if (!all) {
    munmap(at, whole);
    g_slots[static_cast<std::size_t>(slot)].taken.store(false);
    return false;
  }
  Slot& s = g_slots[static_cast<std::size_t>(slot)];
  s.end.store(reinterpret_cast<std::uintptr_t>(at) + whole, std::memory_order_release);
  s.begin.store(reinterpret_cast<std::uintptr_t>(at), std::memory_order_release);
#ifdef MADV_POPULATE_READ
  // The page tables filled in one call rather than a fault every few pages (ignored by kernels
  // that do not know it).
  (void)madvise(at, whole, MADV_POPULATE_READ);
#endif
  data_ = static_cast<const std::uint8_t*>(at);
  length_ = length;
  mapped_ = whole;
  slot_ = slot;
  return true;
}

void ResidentView::Unmap() {
  if (data_ == nullptr) return;
  Slot& s = g_slots[static_cast<std::size_t>(slot_)];
  s.begin.store(0, std::memory_order_release);
  s.end.store(0, std::memory_order_release);
  munmap(const_cast<std::uint8_t*>(data_), mapped_);
  s.taken.store(false, std::memory_order_release);
  data_ = nullptr;
  length_ = 0;
  mapped_ = 0;
  slot_ = -1;
}

bool ResidentView::Damaged() const {
  return slot_ >= 0 && g_slots[static_cast<std::size_t>(slot_)].damaged.load(std::memory_order_acquire);
}

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
