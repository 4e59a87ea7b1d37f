#include "device/same_medium.h"

#include "device/container_source.h"

#include "device/mount_table.h"
#include "platform/drives.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <system_error>
#include <utility>
#include <vector>

namespace rexmoor {

namespace fs = std::filesystem;

namespace {

// What a medium is made of: block devices and the image files behind loop devices.
struct MediumParts {
  std::set<dev_t> devices;
  std::set<std::pair<dev_t, ino_t>> files;
};

// Loop and device-mapper stacks are shallow; this only ends a cycle in a broken sysfs.
constexpr int kMaxStackDepth = 8;

std::string SysfsDir(dev_t device) {
  return "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool ParseDevNumber(const std::string& text, dev_t& out) {
  unsigned maj = 0;
  unsigned min = 0;
  char colon = 0;
  std::istringstream in(text);
  if (!(in >> maj >> colon >> min) || colon != ':') return false;
  out = makedev(maj, min);
  return true;
}

std::string DeviceName(dev_t device) {
  char resolved[PATH_MAX];
  if (::realpath(SysfsDir(device).c_str(), resolved) == nullptr)
    return "device " + std::to_string(major(device)) + ":" + std::to_string(minor(device));
  const std::string path(resolved);
  return "/dev/" + path.substr(path.rfind('/') + 1);
}

// Sub-folders of a sysfs folder that carry a "dev" file, as device numbers.
std::vector<dev_t> DevicesBelow(const std::string& dir, bool partitionsOnly) {
  std::vector<dev_t> out;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string sub = it->path().string();
    if (partitionsOnly && !Exists(sub + "/partition")) continue;
    dev_t device{};
    if (ParseDevNumber(ReadSysfsLine(sub + "/dev"), device)) out.push_back(device);
  }
  return out;
}

void AddFile(const std::string& path, MediumParts& parts) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) parts.files.insert({st.st_dev, st.st_ino});
}

// The device, the devices it is built on (device-mapper slaves), and the image file behind a
// loop device or behind the loop device that a partition belongs to.
void AddDevice(dev_t device, MediumParts& parts, int depth = 0) {
  if (depth > kMaxStackDepth || !parts.devices.insert(device).second) return;
  const std::string dir = SysfsDir(device);
  const std::string backing = LoopBackingFile(device);
  if (!backing.empty()) AddFile(backing, parts);
  for (dev_t slave : DevicesBelow(dir + "/slaves", false)) AddDevice(slave, parts, depth + 1);
}

// The sources of the mounts whose file system has this device number (FUSE, btrfs and others
// use numbers of no block device; their mount source names the real medium).
std::vector<std::string> MountSourcesOf(dev_t device) {
  std::vector<std::string> sources;
  for (const MountRecord& mount : ReadMountTable())
    if (mount.device == device) sources.push_back(mount.source);
  return sources;
}

// The nearest folder of the path that exists, made absolute.
std::string NearestExisting(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::absolute(fs::path(path), ec);
  if (ec) return {};
  for (int guard = 0; guard < 4096 && !p.empty(); ++guard) {
    if (Exists(p.string())) return p.string();
    if (p == p.parent_path()) break;
    p = p.parent_path();
  }
  return {};
}

MediumParts PartsOfTarget(const std::string& targetFolder) {
  MediumParts parts;
  const std::string existing = NearestExisting(targetFolder);
  struct stat st {};
  if (existing.empty() || ::stat(existing.c_str(), &st) != 0) return parts;
  if (major(st.st_dev) != 0) AddDevice(st.st_dev, parts);
  for (const std::string& source : MountSourcesOf(st.st_dev)) {
    struct stat src {};
    if (source.empty() || source[0] != '/' || ::stat(source.c_str(), &src) != 0) continue;
    if (S_ISBLK(src.st_mode)) AddDevice(src.st_rdev, parts);
    if (S_ISREG(src.st_mode)) parts.files.insert({src.st_dev, src.st_ino});  // a file system mounted from a file
  }
  return parts;
}

MediumParts PartsOfSource(const std::string& sourcePath) {
  MediumParts parts;
  struct stat st {};
  if (::stat(sourcePath.c_str(), &st) != 0) return parts;
  if (S_ISREG(st.st_mode)) {
    parts.files.insert({st.st_dev, st.st_ino});
    // A container's disk lives in all its files: segments, extents, parent disks.
    for (const std::string& file : ContainerFiles(sourcePath)) AddFile(file, parts);
  } else if (S_ISBLK(st.st_mode)) {
    // A whole drive holds its partitions too.
    AddDevice(st.st_rdev, parts);
    for (dev_t partition : DevicesBelow(SysfsDir(st.st_rdev), true)) AddDevice(partition, parts);
  }
  return parts;
}

}  // namespace

SameMediumAnswer TargetOnSourceMedium(const std::string& sourcePath, const std::string& targetFolder) {
  SameMediumAnswer answer;
  const MediumParts source = PartsOfSource(sourcePath);
  const MediumParts target = PartsOfTarget(targetFolder);
  for (dev_t device : target.devices) {
    if (source.devices.count(device) != 0) {
      answer.same = true;
      answer.reason = DeviceName(device) + " holds both";
      return answer;
    }
  }
  for (const auto& file : target.files) {
    if (source.files.count(file) != 0) {
      answer.same = true;
      answer.reason = "the target's file system is stored in the image being scanned";
      return answer;
    }
  }
  return answer;
}

}  // namespace rexmoor
