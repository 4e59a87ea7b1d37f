// Tells when block devices (whole disks and partitions) come and go, so that a drive list can be
// refreshed without polling. Watch Fd() for readability in an event loop and call Drain().
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

struct udev;
struct udev_monitor;

namespace rexmoor {

struct DeviceEvent {
  // A loop device getting a backing file or a card going into a reader is an Arrival, even though
  // the kernel reports it as a change of an existing device; losing the medium is a Removal.
  enum class Kind { Arrival, Removal, Change };
  Kind kind = Kind::Change;
  std::string devNode;  // /dev/sdb1
  std::string devType;  // "disk" or "partition"
};

class DeviceMonitor {
 public:
  // Listens to udevd's events when udevd runs (device nodes exist by then), else to the kernel's.
  DeviceMonitor();
  ~DeviceMonitor();
  DeviceMonitor(DeviceMonitor&& other) noexcept;
  DeviceMonitor& operator=(DeviceMonitor&& other) noexcept;
  DeviceMonitor(const DeviceMonitor&) = delete;
  DeviceMonitor& operator=(const DeviceMonitor&) = delete;

  // False when no monitor could be opened; Fd() is -1 and Drain() empty then.
  bool Valid() const { return monitor_ != nullptr; }
  // Non-blocking; readable while events are pending.
  int Fd() const;
  // Every event pending now, oldest first; returns at once when there is none.
  std::vector<DeviceEvent> Drain();

 private:
  struct UdevUnref {
    void operator()(udev* u) const;
  };
  struct MonitorUnref {
    void operator()(udev_monitor* m) const;
  };

  std::unique_ptr<udev, UdevUnref> udev_;
  std::unique_ptr<udev_monitor, MonitorUnref> monitor_;
  // Whether each known device node has a medium (a non-zero size), to tell a medium arriving or
  // leaving from other changes.
  std::map<std::string, bool> hasMedium_;
};

}  // namespace rexmoor
