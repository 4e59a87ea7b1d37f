// Shared by the engine targets: the input as a medium the engines open through their normal
// image path, a private data folder, and a scratch folder for recovered files.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <string>

#include "engine/file_recovery_parse.h"
#include "engine/folder_recovery.h"
#include "engine/found_file_record.h"

namespace rexmoor::fuzz {

// The engines keep scan logs and previews below the per-user data folder; keep them out of $HOME.
inline const std::string& FuzzDataDir() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/rexmoor-fuzz-XXXXXX";
    const char* made = mkdtemp(pattern);
    std::string path = made != nullptr ? made : "/tmp";
    setenv("REXMOOR_DATA_DIR", path.c_str(), 1);
    return path;
  }();
  static const bool cleanup = [] {
    if (dir != "/tmp")
      std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(FuzzDataDir(), ignored);
      });
    return true;
  }();
  (void)cleanup;
  return dir;
}

// The input bytes as an anonymous in-memory file, reachable by path.
class MemoryMedium {
 public:
  MemoryMedium(const std::uint8_t* data, std::size_t size) {
    fd_ = memfd_create("rexmoor-fuzz", 0);
    if (fd_ < 0) return;
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = write(fd_, data + done, size - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~MemoryMedium() {
    if (fd_ >= 0) close(fd_);
  }
  MemoryMedium(const MemoryMedium&) = delete;
  MemoryMedium& operator=(const MemoryMedium&) = delete;
  bool ok() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

// A fresh folder for one input's recovered files, removed with everything in it afterwards.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = FuzzDataDir() + "/out-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// What a user does after a scan: browse the tree breadth-first, ask for folder paths and counts,
// and write out every record found. Bounded so that one input stays cheap.
inline void BrowseAndRecover(IFileRecoveryParse& engine, const std::string& target, std::size_t maxRecords = 64) {
  struct Pending {
    bool root;
    FoundFileRecord folder;
    std::int32_t level;
  };
  std::deque<Pending> queue;
  queue.push_back({true, MakeEmptyRecord(), 0});
  std::size_t seen = 0;
  while (!queue.empty() && seen < maxRecords) {
    Pending p = queue.front();
    queue.pop_front();
    RecordList children;
    const FoundFileRecord* folder = p.root ? nullptr : &p.folder;
    if (engine.GetChildren(folder, p.level, children) != kSuccess) continue;
    std::int32_t count = 0;
    (void)engine.CountFiles(folder, p.level, &count);
    for (const FoundFileRecord& child : children) {
      if (++seen > maxRecords) break;
      std::string folderPath;
      (void)engine.GetFolderPath(&child, folderPath);
      if (!target.empty()) {
        const std::string destination = target + "/" + std::to_string(seen);
        (void)engine.RecoverItem(&child, destination, SeparatorLevel(destination) - (p.level + 1));
      }
      if (child.isFolder != 0) queue.push_back({false, child, p.level + 1});
    }
  }
}

// The free-space map and its runs, as the imaging of unused space walks them.
inline void WalkFreeSpace(IFileRecoveryParse& engine) {
  if (engine.BuildFreeSpaceMap() != kSuccess) return;
  std::uint64_t start = 0, length = 0;
  for (int i = 0; i < 4096; ++i)
    if (engine.GetNextFreeRange(&start, &length) == 0 || length == 0) break;
}

// One input as a whole volume for a file-system engine: opened from memory, scanned, browsed,
// recovered and its free map walked.
template <typename Engine>
int RunVolumeEngine(const std::uint8_t* data, std::size_t size) {
  FuzzDataDir();
  MemoryMedium medium(data, size);
  if (!medium.ok()) return 0;
  Engine engine;
  if (engine.OpenImageFile(medium.path(), 1) != kSuccess) return 0;
  if (engine.Scan(nullptr) != kSuccess) return 0;
  ScratchFolder out;
  BrowseAndRecover(engine, out.path());
  WalkFreeSpace(engine);
  return 0;
}

}  // namespace rexmoor::fuzz
