#include "gui/disk_page.h"

#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QSplitter>
#include <QTreeView>
#include <QVBoxLayout>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

#include "app/catalog_format.h"
#include "app/message_catalog.h"
#include "app/source_resolver.h"
#include "gui/gui_support.h"
#include "platform/text.h"
#include "platform/udisks_open.h"

namespace rexmoor::gui {

namespace {

QString SizeText(std::uint64_t bytes) { return FromUtf8(FormatSize(static_cast<std::int64_t>(bytes))); }


}  // namespace

DiskPage::DiskPage(QWidget* parent) : QWidget(parent), lister_(ListDevices) {
  setObjectName(QStringLiteral("ScanDisk"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(12, 4, 12, 4);
  auto* split = new QSplitter(Qt::Horizontal);
  list_ = new QTreeView;
  list_->setObjectName(QStringLiteral("DiskList"));
  model_ = new DiskListModel(this);
  list_->setModel(model_);
  list_->setUniformRowHeights(true);
  list_->setIconSize(QSize(22, 22));
  list_->setAllColumnsShowFocus(true);
  list_->setExpandsOnDoubleClick(false);
  list_->header()->setStretchLastSection(false);
  list_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  list_->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
  list_->header()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
  split->addWidget(list_);
  auto* info = new QWidget;
  info->setObjectName(QStringLiteral("DiskInfo"));
  auto* infoLayout = new QVBoxLayout(info);
  infoLayout->setContentsMargins(12, 0, 0, 0);
  for (int i = 1; i <= 6; ++i) {
    auto* label = new QLabel;
    label->setObjectName(QStringLiteral("Label%1").arg(i));
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    infoLabels_.push_back(label);
    infoLayout->addWidget(label);
  }
  infoLayout->addStretch();
  info->setMinimumWidth(200);
  split->addWidget(info);
  split->setStretchFactor(0, 3);
  split->setStretchFactor(1, 1);
  split->setSizes({540, 220});
  layout->addWidget(split, 1);
  permissionNote_ = new QLabel;
  permissionNote_->setObjectName(QStringLiteral("PermissionNote"));
  permissionNote_->setWordWrap(true);
  permissionNote_->setTextFormat(Qt::PlainText);
  permissionNote_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  permissionNote_->hide();
  layout->addWidget(permissionNote_);

  connect(list_->selectionModel(), &QItemSelectionModel::currentChanged, this, [this] {
    ShowInfo();
    emit currentChanged();
  });
  connect(list_, &QTreeView::doubleClicked, this, [this](const QModelIndex& index) {
    const DiskRow* row = model_->RowOf(index);
    if (row == nullptr || row->kind == DiskRow::Kind::Disk || row->kind == DiskRow::Kind::ImageGroup) {
      const QModelIndex first = index.siblingAtColumn(0);
      list_->setExpanded(first, !list_->isExpanded(first));
      return;
    }
    emit rowActivated();
  });
  refreshTimer_.setSingleShot(true);
  connect(&refreshTimer_, &QTimer::timeout, this, [this] { Refresh(pendingChange_); });
}

void DiskPage::OnDeviceChanged(bool arrival) {
  pendingChange_ = arrival ? DiskListChange::Arrival : DiskListChange::Removal;
  refreshTimer_.start(refreshDelayMs_);
}

const DiskRow* DiskPage::CurrentRow() const { return model_->RowOf(list_->currentIndex()); }

void DiskPage::Refresh(DiskListChange reason) {
  devices_ = lister_();
  Rebuild(reason);
}

// The rows from the drives listed last and the image files; adding an image does not list the
// drives again (that probes every one of them).
void DiskPage::Rebuild(DiskListChange reason) {
  // Keep the selection across the refresh where the same source is still listed.
  std::string selectedSource;
  if (const DiskRow* row = CurrentRow()) selectedSource = row->sourceText + "|" + row->imagePath;

  std::vector<DiskNode> nodes;
  QStringList deniedDrives;
  // Where the selection goes: a node and, below it, a row (none: the node's own row).
  struct Place {
    std::size_t node;
    std::optional<std::size_t> child;
  };
  std::optional<Place> select;
  std::optional<Place> arrived;
  // A drive this user may not open can still be read through udisks2, which has polkit ask for
  // the administrator's password when the scan opens it. Root gains nothing from asking.
  bool mayAsk = false;
  if (::geteuid() != 0 && std::any_of(devices_.begin(), devices_.end(),
                                      [](const DeviceDrive& drive) { return drive.facts.unreadable; }))
    mayAsk = GetUdisksUse() != UdisksUse::Never && UdisksAvailable();
  for (const DeviceDrive& drive : devices_) {
    DiskNode& disk = nodes.emplace_back();
    disk.row.kind = DiskRow::Kind::Disk;
    disk.row.driveNumber = drive.number;
    disk.row.removable = drive.facts.removable;
    disk.row.unreadable = drive.facts.unreadable;
    disk.row.askable = drive.facts.unreadable && mayAsk;
    disk.row.facts = drive.facts;
    disk.row.sourceText = drive.source;
    disk.row.sizeBytes = drive.facts.totalBytes;
    if (drive.facts.unreadable) deniedDrives << FromUtf8(drive.facts.path);
    for (const DeviceRow& deviceRow : drive.rows) {
      DiskRow& row = disk.children.emplace_back();
      row.kind = DiskRow::Kind::Partition;
      row.driveNumber = drive.number;
      row.removable = drive.facts.removable;
      row.unreadable = drive.facts.unreadable;
      row.askable = disk.row.askable;
      row.facts = drive.facts;
      row.row = deviceRow;
      row.sourceText = deviceRow.source;
      row.sizeBytes = deviceRow.entry.totalBytes;
      const Place place{nodes.size() - 1, disk.children.size() - 1};
      if (row.sourceText + "|" == selectedSource) select = place;
      if (reason == DiskListChange::Arrival && drive.facts.removable && !arrived) arrived = place;
    }
    if (drive.source + "|" == selectedSource) select = Place{nodes.size() - 1, std::nullopt};
  }
  if (!imageFiles_.empty()) {
    DiskNode& group = nodes.emplace_back();
    group.row.kind = DiskRow::Kind::ImageGroup;
    for (const std::string& path : imageFiles_) {
      DiskRow& image = group.children.emplace_back();
      image.kind = DiskRow::Kind::Image;
      image.imagePath = path;
      image.sourceText = path;
      // A container shows the size of the disk inside it.
      if (const std::uint64_t bytes = ImageDiskBytes(path); bytes != UINT64_MAX) image.sizeBytes = bytes;
      // An image of one volume shows its file system and label as a drive's partition does.
      const std::vector<DeviceDrive> asDrive = ListImageDevices({path});
      if (asDrive.size() == 1 && asDrive[0].rows.size() == 1 && asDrive[0].rows[0].kind == DeviceRow::Kind::Volume) {
        image.fileSystem = asDrive[0].rows[0].entry.fileSystemName;
        image.label = asDrive[0].rows[0].entry.label;
      }
      if (path + "|" + path == selectedSource) select = Place{nodes.size() - 1, group.children.size() - 1};
    }
  }
  model_->SetNodes(std::move(nodes));
  list_->expandAll();
  HideImageGroup();
  if (deniedDrives.isEmpty()) {
    permissionNote_->hide();
  } else {
    // Root that is still refused (a locked-down virtual disk) gets no advice that cannot help.
    const char* note = ::geteuid() == 0 ? "MSG0226" : mayAsk ? "MSG0227" : "MSG0223";
    permissionNote_->setText(FromUtf8(FillCatalogText(GetMessageCatalog().Msg(note),
                                                      {ToUtf8(deniedDrives.join(QStringLiteral(", ")))})));
    permissionNote_->show();
  }
  // A card that was just plugged in is what the user wants to scan.
  if (arrived && !scanRunning_) select = arrived;
  if (select) {
    const QModelIndex node = model_->index(static_cast<int>(select->node), 0);
    list_->setCurrentIndex(select->child ? model_->index(static_cast<int>(*select->child), 0, node) : node);
  }
  ShowInfo();
  emit currentChanged();
}

bool DiskPage::AddImage(const QString& path) {
  const std::string file = ToUtf8(QFileInfo(path).absoluteFilePath());
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    ShowMessageBox(BoxKind::Error, window(), FromUtf8(FillCatalogText(GetMessageCatalog().Msg("MSG0225"), {file})));
    return false;
  }
  if (std::find(imageFiles_.begin(), imageFiles_.end(), file) == imageFiles_.end()) imageFiles_.push_back(file);
  Rebuild(DiskListChange::Start);
  // The image group is the last node.
  const QModelIndex group = model_->index(model_->rowCount() - 1, 0);
  for (int i = 0; i < model_->rowCount(group); ++i) {
    const QModelIndex image = model_->index(i, 0, group);
    if (const DiskRow* row = model_->RowOf(image); row != nullptr && row->imagePath == file) {
      list_->setCurrentIndex(image);
      break;
    }
  }
  return true;
}

void DiskPage::SetMode(WindowMode mode) {
  mode_ = mode;
  HideImageGroup();
}

void DiskPage::HideImageGroup() {
  for (int i = 0; i < model_->rowCount(); ++i) {
    const DiskRow* row = model_->RowOf(model_->index(i, 0));
    if (row != nullptr && row->kind == DiskRow::Kind::ImageGroup) list_->setRowHidden(i, {}, mode_ == WindowMode::DiskImage);
  }
}

void DiskPage::SelectDefaultRow() {
  if (list_->currentIndex().isValid()) return;
  // The first partition of a removable disk, else the first partition row.
  QModelIndex first;
  for (int i = 0; i < model_->rowCount(); ++i) {
    if (list_->isRowHidden(i, {})) continue;
    const QModelIndex disk = model_->index(i, 0);
    const DiskRow* row = model_->RowOf(disk);
    const QModelIndex candidate = model_->rowCount(disk) > 0 ? model_->index(0, 0, disk) : disk;
    if (row != nullptr && row->removable) {
      list_->setCurrentIndex(candidate);
      return;
    }
    if (!first.isValid()) first = candidate;
  }
  if (first.isValid()) list_->setCurrentIndex(first);
}

void DiskPage::ShowInfo() {
  for (QLabel* label : infoLabels_) label->clear();
  const DiskRow* row = CurrentRow();
  if (row == nullptr) return;
  auto line = [](const char* key, const QString& value) { return Msg(key) + QLatin1Char(' ') + value; };
  switch (row->kind) {
    case DiskRow::Kind::Partition: {
      const VolumeEntry& entry = row->row.entry;
      infoLabels_[0]->setText(line("MSG0203", QString::number(static_cast<int>(entry.letter))));
      infoLabels_[1]->setText(entry.label.empty() ? Msg("MSG0204") : line("MSG0204", FromUtf8(entry.label)));
      infoLabels_[2]->setText(line("MSG0205", FromUtf8(entry.fileSystemName)));
      infoLabels_[3]->setText(line("MSG0206", SizeText(entry.totalBytes)));
      if (row->row.kind != DeviceRow::Kind::Unallocated && !entry.mountPoint.empty()) {
        infoLabels_[4]->setText(line("MSG0207", SizeText(entry.usedBytes)));
        infoLabels_[5]->setText(line("MSG0208", SizeText(entry.freeBytes)));
      } else if (!entry.volumePath.empty()) {
        infoLabels_[4]->setText(line("MSG0224", FromUtf8(entry.volumePath)));
      }
      break;
    }
    case DiskRow::Kind::Disk:
      infoLabels_[0]->setText(DiskName(*row));
      infoLabels_[1]->setText(line("MSG0224", FromUtf8(row->facts.path)));
      infoLabels_[3]->setText(line("MSG0206", SizeText(row->sizeBytes)));
      if (row->unreadable) infoLabels_[5]->setText(Msg(row->askable ? "MSG0228" : "MSG0222"));
      break;
    case DiskRow::Kind::Image:
      infoLabels_[0]->setText(line("MSG0209", FromUtf8(FileNameOf(row->imagePath))));
      infoLabels_[1]->setText(line("MSG0210", SizeText(row->sizeBytes)));
      infoLabels_[2]->setText(line("MSG0224", FromUtf8(row->imagePath)));
      break;
    case DiskRow::Kind::ImageGroup:
      break;
  }
}

bool DiskPage::CollectSources(bool deep, std::vector<ResolvedSource>& resolved) {
  const QModelIndex current = list_->currentIndex().siblingAtColumn(0);
  const DiskRow* row = model_->RowOf(current);
  if (row == nullptr || row->kind == DiskRow::Kind::ImageGroup) {
    ShowMessageBox(BoxKind::Information, window(), Msg("MSG0505"));
    return false;
  }
  std::vector<const DiskRow*> rows;
  const bool wholeDisk = row->kind == DiskRow::Kind::Disk && model_->rowCount(current) > 0;
  if (wholeDisk) {
    for (int i = 0; i < model_->rowCount(current); ++i)
      if (const DiskRow* child = model_->RowOf(model_->index(i, 0, current))) rows.push_back(child);
  } else {
    rows.push_back(row);
  }
  for (const DiskRow* each : rows) {
    ResolvedSource source;
    std::string error;
    if (ResolveSource(each->sourceText, source, error) != kSuccess) {
      ShowMessageBox(BoxKind::Error, window(), FromUtf8(error));
      return false;
    }
    // A drive this user may not read is said so here, with the way to get access, instead of
    // a scan that finds nothing.
    std::vector<std::uint8_t> boot;
    if (ReadSourceBootArea(source, boot, error) != kSuccess) {
      ShowMessageBox(BoxKind::Error, window(), FromUtf8(error));
      return false;
    }
    // A quick scan of a whole disk reads its FAT, exFAT, NTFS and ext volumes; an unallocated area or
    // a partition of another kind has nothing for it and would end the scan of the others.
    if (wholeDisk && !deep) {
      const VolumeKind kind = DetectSourceKind(source);
      if (!HasQuickEngine(kind)) continue;
    }
    resolved.push_back(std::move(source));
  }
  if (resolved.empty()) {
    ShowMessageBox(BoxKind::Warning, window(), Msg("MSG0504"));
    return false;
  }
  return true;
}

QString DiskPage::ProposedImageName() const {
  const DiskRow* row = CurrentRow();
  if (row == nullptr) return {};
  QString proposed;
  if (row->kind == DiskRow::Kind::Disk) {
    proposed = QStringLiteral("Physical Disk %1").arg(row->driveNumber + 1);
  } else {
    const VolumeEntry& entry = row->row.entry;
    proposed = QStringLiteral("%1 (%2, %3)")
                   .arg(static_cast<int>(entry.letter))
                   .arg(entry.label.empty() ? FromUtf8(entry.fileSystemName) : FromUtf8(entry.label))
                   .arg(SizeText(entry.totalBytes));
  }
  proposed.replace(QLatin1Char('/'), QLatin1Char('-'));
  return proposed + QStringLiteral(".img");
}

void DiskPage::Retranslate() {
  ShowInfo();
  model_->TextsChanged();
}

}  // namespace rexmoor::gui
