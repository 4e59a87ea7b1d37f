// The disk page: the drives with their partitions and unallocated areas, and the image files the
// user added, with the facts of the chosen row beside the list. The list follows devices as they
// come and go; a plugged-in card is chosen for the user.
#pragma once

#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/device_listing.h"
#include "app/source_resolver.h"
#include "gui/disk_list_model.h"
#include "gui/pages.h"

class QLabel;
class QModelIndex;
class QTreeView;

namespace rexmoor::gui {

class DiskPage : public QWidget {
  Q_OBJECT
 public:
  explicit DiskPage(QWidget* parent = nullptr);

  // Where the drives come from (ListDevices by default).
  void SetLister(std::function<std::vector<DeviceDrive>()> lister) { lister_ = std::move(lister); }
  void SetRefreshDelay(int milliseconds) { refreshDelayMs_ = milliseconds; }
  // A device came or went: the list is made again after the refresh delay.
  void OnDeviceChanged(bool arrival);
  // Lists the drives again.
  void Refresh(DiskListChange reason);
  // Adds an image file and makes its row current; false, said in a message box, when it is not a
  // file that can be read.
  bool AddImage(const QString& path);
  // Image files are not copied again: their rows are hidden in the disk image mode.
  void SetMode(WindowMode mode);
  // While a scan runs, an arriving card is not made current.
  void SetScanRunning(bool running) { scanRunning_ = running; }
  void SelectDefaultRow();

  const DiskRow* CurrentRow() const;
  // The current row's sources: a whole disk gives its partitions and areas (for a quick scan only
  // those with a quick engine). Says why in a message box and gives false when there are none.
  bool CollectSources(bool deep, std::vector<ResolvedSource>& resolved);
  // The name offered for an image of the current drive or partition.
  QString ProposedImageName() const;
  void Retranslate();

 signals:
  void currentChanged();
  // A partition, area or image was double-clicked.
  void rowActivated();

 private:
  void Rebuild(DiskListChange reason);
  // The image group's row is hidden in the disk image mode.
  void HideImageGroup();
  void ShowInfo();

  std::function<std::vector<DeviceDrive>()> lister_;
  std::vector<DeviceDrive> devices_;  // as listed last
  std::vector<std::string> imageFiles_;
  WindowMode mode_ = WindowMode::Recovery;
  bool scanRunning_ = false;
  int refreshDelayMs_ = 5000;
  DiskListChange pendingChange_ = DiskListChange::Start;
  QTimer refreshTimer_;

  QTreeView* list_ = nullptr;
  DiskListModel* model_ = nullptr;
  std::vector<QLabel*> infoLabels_;
  QLabel* permissionNote_ = nullptr;
};

}  // namespace rexmoor::gui
