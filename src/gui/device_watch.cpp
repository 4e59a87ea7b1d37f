#include "gui/device_watch.h"

#include <QSocketNotifier>

#include "platform/device_monitor.h"

namespace rexmoor::gui {

UdevDeviceSource::UdevDeviceSource(QObject* parent)
    : DeviceEventSource(parent), monitor_(std::make_unique<DeviceMonitor>()) {
  if (!monitor_->Valid()) return;  // no event source here: the list is refreshed by hand only
  notifier_ = new QSocketNotifier(monitor_->Fd(), QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &UdevDeviceSource::ReadEvents);
}

UdevDeviceSource::~UdevDeviceSource() = default;

void UdevDeviceSource::ReadEvents() {
  bool arrival = false;
  bool removal = false;
  for (const DeviceEvent& event : monitor_->Drain()) {
    if (event.kind == DeviceEvent::Kind::Arrival) arrival = true;
    if (event.kind == DeviceEvent::Kind::Removal) removal = true;
  }
  if (arrival) emit deviceChanged(true);
  if (removal) emit deviceChanged(false);
}

}  // namespace rexmoor::gui
