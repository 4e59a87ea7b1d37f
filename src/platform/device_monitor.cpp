#include "platform/device_monitor.h"

#include <fcntl.h>
#include <libudev.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace rexmoor {
namespace {

// Bounds one Drain under an event storm; whatever is left keeps the fd readable.
constexpr std::size_t kMaxEventsPerDrain = 4096;

bool IsWatchedType(const char* devType) {
  return devType != nullptr && (std::strcmp(devType, "disk") == 0 || std::strcmp(devType, "partition") == 0);
}

// A device without a medium (an empty card reader, a loop device with no backing file) reads 0.
bool HasMedium(udev_device* device) {
  const char* size = udev_device_get_sysattr_value(device, "size");
  return size != nullptr && size[0] != '\0' && std::strcmp(size, "0") != 0;
}

// udevd leaves its control socket behind when it is killed, so the file alone does not say it runs: one that
// runs takes a connection. A socket this user may not connect to is taken at its word.
bool UdevdIsRunning() {
  constexpr const char* kControl = "/run/udev/control";
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return ::access(kControl, F_OK) == 0;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, kControl, sizeof address.sun_path - 1);
  const int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int error = errno;
  ::close(fd);
  return rc == 0 || (error != ENOENT && error != ECONNREFUSED && error != ENOTSOCK);
}

}  // namespace

void DeviceMonitor::UdevUnref::operator()(udev* u) const { udev_unref(u); }
void DeviceMonitor::MonitorUnref::operator()(udev_monitor* m) const { udev_monitor_unref(m); }

DeviceMonitor::DeviceMonitor() {
  udev_.reset(udev_new());
  if (!udev_) return;
  // Without udevd nobody sends on the "udev" group; the kernel's own events still arrive.
  const char* source = UdevdIsRunning() ? "udev" : "kernel";
  std::unique_ptr<udev_monitor, MonitorUnref> monitor(udev_monitor_new_from_netlink(udev_.get(), source));
  if (!monitor) return;
  if (udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "block", "disk") < 0 ||
      udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "block", "partition") < 0 ||
      udev_monitor_enable_receiving(monitor.get()) < 0)
    return;
  const int fd = udev_monitor_get_fd(monitor.get());
  const int flags = fd >= 0 ? ::fcntl(fd, F_GETFL) : -1;
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return;
  monitor_ = std::move(monitor);

  // Listening already, so a device that changes now is either seen here or queued as an event.
  udev_enumerate* enumerate = udev_enumerate_new(udev_.get());
  if (enumerate == nullptr) return;
  if (udev_enumerate_add_match_subsystem(enumerate, "block") >= 0 && udev_enumerate_scan_devices(enumerate) >= 0) {
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
      udev_device* device = udev_device_new_from_syspath(udev_.get(), udev_list_entry_get_name(entry));
      if (device == nullptr) continue;
      const char* node = udev_device_get_devnode(device);
      if (node != nullptr && IsWatchedType(udev_device_get_devtype(device))) hasMedium_[node] = HasMedium(device);
      udev_device_unref(device);
    }
  }
  udev_enumerate_unref(enumerate);
}

DeviceMonitor::~DeviceMonitor() = default;  // members go in reverse order: the monitor first

DeviceMonitor::DeviceMonitor(DeviceMonitor&& other) noexcept = default;

DeviceMonitor& DeviceMonitor::operator=(DeviceMonitor&& other) noexcept {
  if (this != &other) {
    // The old monitor goes before the context it was made from.
    monitor_ = std::move(other.monitor_);
    udev_ = std::move(other.udev_);
    hasMedium_ = std::move(other.hasMedium_);
  }
  return *this;
}

int DeviceMonitor::Fd() const { return monitor_ ? udev_monitor_get_fd(monitor_.get()) : -1; }

std::vector<DeviceEvent> DeviceMonitor::Drain() {
  std::vector<DeviceEvent> events;
  if (!monitor_) return events;
  while (events.size() < kMaxEventsPerDrain) {
    udev_device* device = udev_monitor_receive_device(monitor_.get());
    if (device == nullptr) break;
    const char* node = udev_device_get_devnode(device);
    const char* type = udev_device_get_devtype(device);
    const char* action = udev_device_get_action(device);
    if (node != nullptr && IsWatchedType(type) && action != nullptr) {
      DeviceEvent event;
      event.devNode = node;
      event.devType = type;
      if (std::strcmp(action, "remove") == 0) {
        event.kind = DeviceEvent::Kind::Removal;
        hasMedium_.erase(event.devNode);
      } else {
        // sysfs is read now, not when the event was sent; a later change brings its own event.
        const bool medium = HasMedium(device);
        bool& had = hasMedium_[event.devNode];  // a device never seen counts as empty
        if (medium && !had)
          event.kind = DeviceEvent::Kind::Arrival;
        else if (!medium && had)
          event.kind = DeviceEvent::Kind::Removal;
        else
          event.kind = DeviceEvent::Kind::Change;
        had = medium;
      }
      events.push_back(std::move(event));
    }
    udev_device_unref(device);
  }
  return events;
}

}  // namespace rexmoor
