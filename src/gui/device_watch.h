// Device arrival and removal for the main window. The window listens to a DeviceEventSource; the
// real one reads the kernel's block-device events through the platform's monitor on a socket
// notifier, and tests stand in one that they trigger themselves.
#pragma once

#include <QObject>

#include <memory>

class QSocketNotifier;

namespace rexmoor {
class DeviceMonitor;
}

namespace rexmoor::gui {

class DeviceEventSource : public QObject {
  Q_OBJECT
 public:
  using QObject::QObject;

 signals:
  // A disk or partition came (true) or went (false).
  void deviceChanged(bool arrival);
};

class UdevDeviceSource : public DeviceEventSource {
  Q_OBJECT
 public:
  explicit UdevDeviceSource(QObject* parent = nullptr);
  ~UdevDeviceSource() override;
  bool Watching() const { return notifier_ != nullptr; }

 private:
  void ReadEvents();

  std::unique_ptr<DeviceMonitor> monitor_;
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace rexmoor::gui
