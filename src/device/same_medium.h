// Whether a folder lies on the medium being scanned. Recovering onto the scanned medium overwrites
// the very clusters and records that are still to be recovered, so the front ends refuse it
// unless the user insists. Media are compared by device numbers, never by names: the block
// device (or partition) a folder's file system is mounted from, the devices that one is built on
// (device-mapper slaves), and for loop devices the image file behind them.
#pragma once

#include <string>

namespace rexmoor {

struct SameMediumAnswer {
  bool same = false;
  std::string reason;  // what the two have in common, for the user ("/dev/loop3 holds both")
};

// sourcePath is an image file or a block device (a whole drive or one partition); targetFolder
// need not exist yet (its nearest existing parent decides). A source or target that cannot be
// examined gives same = false.
SameMediumAnswer TargetOnSourceMedium(const std::string& sourcePath, const std::string& targetFolder);

}  // namespace rexmoor
