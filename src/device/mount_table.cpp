#include "device/mount_table.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace rexmoor {

namespace {

// Undoes the octal escapes mountinfo uses for spaces and other bytes in paths (\040).
std::string Unescape(const std::string& text) {
  std::string out;
  auto octal = [&](std::size_t at) { return text[at] >= '0' && text[at] <= '7'; };
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] <= '3' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
      out.push_back(static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

}  // namespace

std::vector<MountRecord> ReadMountTable() {
  std::vector<MountRecord> mounts;
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    // id parent major:minor root mount-point options... - type source super-options
    std::istringstream fields(line);
    std::string id, parent, numbers, root, point;
    unsigned maj = 0, min = 0;
    if (!(fields >> id >> parent >> numbers >> root >> point) ||
        std::sscanf(numbers.c_str(), "%u:%u", &maj, &min) != 2)
      continue;
    const std::size_t dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    std::istringstream tail(line.substr(dash + 3));
    MountRecord record;
    record.device = makedev(maj, min);
    record.mountPoint = Unescape(point);
    if (!(tail >> record.fsType >> record.source)) continue;
    record.source = Unescape(record.source);
    mounts.push_back(std::move(record));
  }
  return mounts;
}

std::string LoopBackingFile(dev_t device) {
  const std::string dir = "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
  struct stat st {};
  const std::string loop = ::stat((dir + "/partition").c_str(), &st) == 0 ? dir + "/../loop" : dir + "/loop";
  std::ifstream in(loop + "/backing_file");
  std::string line;
  std::getline(in, line);
  return line;
}

}  // namespace rexmoor
