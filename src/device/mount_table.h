// What the kernel says about mounts and loop devices: the mount table of this process and the
// image file behind a loop device.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace rexmoor {

struct MountRecord {
  dev_t device = 0;        // the mounted file system's device number
  std::string mountPoint;  // escapes undone
  std::string fsType;
  std::string source;      // the mount source (a block device, an image file, a FUSE name, ...)
};

// /proc/self/mountinfo, in its order; empty when it cannot be read.
std::vector<MountRecord> ReadMountTable();

// The image file behind a loop device, or behind the loop device a partition belongs to; empty
// for any other device.
std::string LoopBackingFile(dev_t device);

}  // namespace rexmoor
