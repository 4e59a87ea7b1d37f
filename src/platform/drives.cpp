#include "platform/drives.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace rexmoor {

namespace fs = std::filesystem;

namespace {

std::string ReadSysLine(const fs::path& path) { return ReadSysfsLine(path.string()); }

bool ParseU64(const std::string& text, std::uint64_t& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str()) return false;
  out = v;
  return true;
}

bool IsListedDisk(const std::string& name) {
  if (name.rfind("ram", 0) == 0 || name.rfind("zram", 0) == 0) return false;
  if (name.rfind("loop", 0) == 0) {
    // An unattached loop device has no medium behind it.
    std::uint64_t size = 0;
    return ParseU64(ReadSysLine(fs::path("/sys/block") / name / "size"), size) && size > 0;
  }
  return true;
}

std::mutex g_addedLock;
std::vector<std::string> g_addedImages;

void AppendAddedImages(std::vector<DriveInfo>& drives) {
  std::lock_guard<std::mutex> hold(g_addedLock);
  for (std::size_t i = 0; i < g_addedImages.size(); ++i)
    drives.push_back(DriveInfo{g_addedImages[i], std::string(), true, kFirstAddedImageDrive + static_cast<int>(i)});
}

std::vector<DriveInfo> ListedDrives();

}  // namespace

std::string ReadSysfsLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

std::optional<std::uint64_t> ReadSysfsNumber(const std::string& path) {
  std::uint64_t value = 0;
  if (!ParseU64(ReadSysfsLine(path), value)) return std::nullopt;
  return value;
}

std::vector<DriveInfo> ListDrives() {
  std::vector<DriveInfo> drives = ListedDrives();
  AppendAddedImages(drives);
  return drives;
}

std::vector<DriveInfo> ListSystemDrives() { return ListedDrives(); }

int AddImageDrive(const std::string& imagePath) {
  std::lock_guard<std::mutex> hold(g_addedLock);
  for (std::size_t i = 0; i < g_addedImages.size(); ++i)
    if (g_addedImages[i] == imagePath) return kFirstAddedImageDrive + static_cast<int>(i);
  g_addedImages.push_back(imagePath);
  return kFirstAddedImageDrive + static_cast<int>(g_addedImages.size() - 1);
}

namespace {

std::vector<DriveInfo> ListedDrives() {
  std::vector<DriveInfo> drives;
  if (const char* env = std::getenv("REXMOOR_DRIVES"); env != nullptr && *env != '\0') {
    std::string list(env);
    std::size_t pos = 0;
    while (pos <= list.size()) {
      std::size_t colon = list.find(':', pos);
      if (colon == std::string::npos) colon = list.size();
      std::string item = list.substr(pos, colon - pos);
      if (!item.empty()) drives.push_back(DriveInfo{item, std::string(), true, static_cast<int>(drives.size())});
      pos = colon + 1;
    }
    return drives;
  }
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/sys/block", ec)) {
    std::string name = entry.path().filename().string();
    if (IsListedDisk(name)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  for (const auto& name : names)
    drives.push_back(DriveInfo{"/dev/" + name, name, false, static_cast<int>(drives.size())});
  return drives;
}

}  // namespace

Result DrivePath(int driveNumber, std::string& path) {
  if (driveNumber >= kFirstAddedImageDrive) {
    std::lock_guard<std::mutex> hold(g_addedLock);
    const auto added = static_cast<std::size_t>(driveNumber - kFirstAddedImageDrive);
    if (added >= g_addedImages.size()) return kErrFileNotFound;
    path = g_addedImages[added];
    return kSuccess;
  }
  auto drives = ListedDrives();
  if (driveNumber < 0 || static_cast<std::size_t>(driveNumber) >= drives.size()) return kErrFileNotFound;
  path = drives[static_cast<std::size_t>(driveNumber)].path;
  return kSuccess;
}

static std::optional<std::string> SysNameOf(const std::string& devicePath) {
  std::error_code ec;
  fs::path real = fs::canonical(devicePath, ec);
  if (ec) return std::nullopt;
  std::string name = real.filename().string();
  if (!fs::exists(fs::path("/sys/class/block") / name, ec)) return std::nullopt;
  return name;
}

std::optional<int> DriveNumberOf(const std::string& devicePath) {
  auto drives = ListDrives();
  std::error_code ec;
  fs::path real = fs::canonical(devicePath, ec);
  for (std::size_t i = 0; i < drives.size(); ++i) {
    fs::path candidate = fs::canonical(drives[i].path, ec);
    if (!ec && !real.empty() && candidate == real) return drives[i].number >= 0 ? drives[i].number : static_cast<int>(i);
  }
  return std::nullopt;
}

std::optional<PartitionLocation> LocatePartition(const std::string& devicePath) {
  auto name = SysNameOf(devicePath);
  if (!name) return std::nullopt;
  fs::path sysDir = fs::path("/sys/class/block") / *name;
  std::error_code ec;
  if (!fs::exists(sysDir / "partition", ec)) return std::nullopt;
  fs::path parentDir = fs::canonical(sysDir, ec).parent_path();
  if (ec) return std::nullopt;
  PartitionLocation loc;
  if (!ParseU64(ReadSysLine(sysDir / "start"), loc.startSector)) return std::nullopt;
  if (!ParseU64(ReadSysLine(sysDir / "size"), loc.sectorCount)) return std::nullopt;
  auto drive = DriveNumberOf("/dev/" + parentDir.filename().string());
  if (!drive) return std::nullopt;
  loc.driveNumber = *drive;
  return loc;
}

std::optional<std::string> PartitionDeviceAt(int driveNumber, std::uint64_t startSector) {
  auto drives = ListDrives();
  if (driveNumber < 0 || static_cast<std::size_t>(driveNumber) >= drives.size()) return std::nullopt;
  const DriveInfo& drive = drives[static_cast<std::size_t>(driveNumber)];
  if (drive.isImageStandIn || drive.sysName.empty()) return std::nullopt;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(fs::path("/sys/block") / drive.sysName, ec)) {
    std::uint64_t start = 0;
    if (!fs::exists(entry.path() / "partition", ec)) continue;
    if (ParseU64(ReadSysLine(entry.path() / "start"), start) && start == startSector)
      return "/dev/" + entry.path().filename().string();
  }
  return std::nullopt;
}

}  // namespace rexmoor
