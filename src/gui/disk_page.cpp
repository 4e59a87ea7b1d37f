#include "gui/disk_page.h"

#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QSplitter>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "app/catalog_format.h"
#include "app/message_catalog.h"
#include "app/source_resolver.h"
#include "gui/gui_support.h"
#include "platform/text.h"

namespace rexmoor::gui {

namespace {

constexpr int kRowRole = Qt::UserRole + 1;  // index into the rows

QString SizeText(std::uint64_t bytes) { return FromUtf8(FormatSize(static_cast<std::int64_t>(bytes))); }

QString MainText(const char* key) { return SectionText("MainWnd", key); }

QString DiskName(const DiskRow& row) {
  return QStringLiteral("%1 %2").arg(Msg(row.removable ? "MSG0202" : "MSG0201")).arg(row.driveNumber + 1);
}

}  // namespace

DiskPage::DiskPage(QWidget* parent) : QWidget(parent), lister_(ListDevices) {
  setObjectName(QStringLiteral("ScanDisk"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(12, 4, 12, 4);
  auto* split = new QSplitter(Qt::Horizontal);
  list_ = new QTreeWidget;
  list_->setObjectName(QStringLiteral("DiskList"));
  list_->setColumnCount(3);
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

  connect(list_, &QTreeWidget::currentItemChanged, this, [this] {
    ShowInfo();
    emit currentChanged();
  });
  connect(list_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
    const DiskRow* row = RowOf(item);
    if (row == nullptr || row->kind == DiskRow::Kind::Disk || row->kind == DiskRow::Kind::ImageGroup) {
      item->setExpanded(!item->isExpanded());
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

const DiskRow* DiskPage::RowOf(const QTreeWidgetItem* item) const {
  if (item == nullptr) return nullptr;
  bool ok = false;
  const int index = item->data(0, kRowRole).toInt(&ok);
  if (!ok || index < 0 || static_cast<std::size_t>(index) >= rows_.size()) return nullptr;
  return rows_[static_cast<std::size_t>(index)].get();
}

const DiskRow* DiskPage::CurrentRow() const { return RowOf(list_->currentItem()); }

QTreeWidgetItem* DiskPage::AddItem(const DiskRow& row, QTreeWidgetItem* parent) {
  auto* item = new QTreeWidgetItem;
  item->setData(0, kRowRole, static_cast<int>(rows_.size()) - 1);
  switch (row.kind) {
    case DiskRow::Kind::Disk:
      item->setText(0, DiskName(row));
      item->setText(1, row.facts.tableType == "dos" ? QStringLiteral("MBR")
                       : row.facts.tableType == "gpt" ? QStringLiteral("GPT")
                                                      : FromUtf8(row.facts.tableType));
      item->setText(2, SizeText(row.sizeBytes));
      item->setIcon(0, ThemeIcon(row.removable ? "drive-removable-media" : "drive-harddisk"));
      item->setToolTip(0, FromUtf8(row.facts.path));
      break;
    case DiskRow::Kind::Partition: {
      const VolumeEntry& entry = row.row.entry;
      QString name = QStringLiteral("%1:").arg(static_cast<int>(entry.letter));
      if (!entry.label.empty()) name += QLatin1Char(' ') + FromUtf8(entry.label);
      if (!entry.volumePath.empty()) name += QStringLiteral("  (%1)").arg(FromUtf8(entry.volumePath));
      if (entry.label.empty() && entry.volumePath.empty())
        name += QLatin1Char(' ') + MainText(row.row.kind == DeviceRow::Kind::Unallocated ? "Unallocated" : "PartitionRow");
      item->setText(0, name);
      QString type = FromUtf8(entry.fileSystemName);
      if (row.row.kind == DeviceRow::Kind::Unallocated) type = MainText("Unallocated");
      else if (type.isEmpty()) type = MainText("UnknownFileSystem");
      item->setText(1, type);
      item->setText(2, SizeText(entry.totalBytes));
      item->setIcon(0, ThemeIcon(row.removable ? "drive-removable-media" : "drive-harddisk"));
      item->setToolTip(0, FromUtf8(row.sourceText));
      break;
    }
    case DiskRow::Kind::ImageGroup:
      item->setText(0, Msg("MSG0209"));
      item->setIcon(0, ThemeIcon("media-optical"));
      break;
    case DiskRow::Kind::Image:
      item->setText(0, FromUtf8(FileNameOf(row.imagePath)) +
                           (row.label.empty() ? QString() : QStringLiteral(" (%1)").arg(FromUtf8(row.label))));
      item->setText(1, FromUtf8(row.fileSystem));
      item->setText(2, SizeText(row.sizeBytes));
      item->setIcon(0, ThemeIcon("media-optical"));
      item->setToolTip(0, FromUtf8(row.imagePath));
      break;
  }
  if (row.unreadable) {
    for (int column = 0; column < 3; ++column) item->setForeground(column, palette().color(QPalette::Disabled, QPalette::Text));
    item->setToolTip(0, Msg("MSG0222"));
  }
  if (parent != nullptr)
    parent->addChild(item);
  else
    list_->addTopLevelItem(item);
  return item;
}

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

  list_->clear();
  rows_.clear();
  QStringList deniedDrives;
  QTreeWidgetItem* selectItem = nullptr;
  QTreeWidgetItem* arrivedItem = nullptr;
  for (const DeviceDrive& drive : devices_) {
    auto disk = std::make_unique<DiskRow>();
    disk->kind = DiskRow::Kind::Disk;
    disk->driveNumber = drive.number;
    disk->removable = drive.facts.removable;
    disk->unreadable = drive.facts.unreadable;
    disk->facts = drive.facts;
    disk->sourceText = drive.source;
    disk->sizeBytes = drive.facts.totalBytes;
    rows_.push_back(std::move(disk));
    QTreeWidgetItem* diskItem = AddItem(*rows_.back(), nullptr);
    if (drive.facts.unreadable) deniedDrives << FromUtf8(drive.facts.path);
    for (const DeviceRow& deviceRow : drive.rows) {
      auto row = std::make_unique<DiskRow>();
      row->kind = DiskRow::Kind::Partition;
      row->driveNumber = drive.number;
      row->removable = drive.facts.removable;
      row->unreadable = drive.facts.unreadable;
      row->facts = drive.facts;
      row->row = deviceRow;
      row->sourceText = deviceRow.source;
      row->sizeBytes = deviceRow.entry.totalBytes;
      rows_.push_back(std::move(row));
      QTreeWidgetItem* item = AddItem(*rows_.back(), diskItem);
      if (rows_.back()->sourceText + "|" == selectedSource) selectItem = item;
      if (reason == DiskListChange::Arrival && drive.facts.removable && arrivedItem == nullptr) arrivedItem = item;
    }
    if (drive.source + "|" == selectedSource) selectItem = diskItem;
    diskItem->setExpanded(true);
  }
  if (!imageFiles_.empty()) {
    auto group = std::make_unique<DiskRow>();
    group->kind = DiskRow::Kind::ImageGroup;
    rows_.push_back(std::move(group));
    QTreeWidgetItem* groupItem = AddItem(*rows_.back(), nullptr);
    for (const std::string& path : imageFiles_) {
      auto image = std::make_unique<DiskRow>();
      image->kind = DiskRow::Kind::Image;
      image->imagePath = path;
      image->sourceText = path;
      // A container shows the size of the disk inside it.
      if (const std::uint64_t bytes = ImageDiskBytes(path); bytes != UINT64_MAX) image->sizeBytes = bytes;
      // An image of one volume shows its file system and label as a drive's partition does.
      const std::vector<DeviceDrive> asDrive = ListImageDevices({path});
      if (asDrive.size() == 1 && asDrive[0].rows.size() == 1 && asDrive[0].rows[0].kind == DeviceRow::Kind::Volume) {
        image->fileSystem = asDrive[0].rows[0].entry.fileSystemName;
        image->label = asDrive[0].rows[0].entry.label;
      }
      rows_.push_back(std::move(image));
      QTreeWidgetItem* item = AddItem(*rows_.back(), groupItem);
      if (path + "|" + path == selectedSource) selectItem = item;
    }
    groupItem->setExpanded(true);
    groupItem->setHidden(mode_ == WindowMode::DiskImage);
  }
  if (deniedDrives.isEmpty()) {
    permissionNote_->hide();
  } else {
    // Root that is still refused (a locked-down virtual disk) gets no advice that cannot help.
    permissionNote_->setText(FromUtf8(FillCatalogText(GetMessageCatalog().Msg(::geteuid() == 0 ? "MSG0226" : "MSG0223"),
                                                      {ToUtf8(deniedDrives.join(QStringLiteral(", ")))})));
    permissionNote_->show();
  }
  // A card that was just plugged in is what the user wants to scan.
  if (arrivedItem != nullptr && !scanRunning_) selectItem = arrivedItem;
  if (selectItem != nullptr) list_->setCurrentItem(selectItem);
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
  for (QTreeWidgetItemIterator it(list_); *it != nullptr; ++it) {
    const DiskRow* row = RowOf(*it);
    if (row != nullptr && row->kind == DiskRow::Kind::Image && row->imagePath == file) {
      list_->setCurrentItem(*it);
      break;
    }
  }
  return true;
}

void DiskPage::SetMode(WindowMode mode) {
  mode_ = mode;
  for (int i = 0; i < list_->topLevelItemCount(); ++i) {
    const DiskRow* row = RowOf(list_->topLevelItem(i));
    if (row != nullptr && row->kind == DiskRow::Kind::ImageGroup)
      list_->topLevelItem(i)->setHidden(mode == WindowMode::DiskImage);
  }
}

void DiskPage::SelectDefaultRow() {
  if (list_->currentItem() != nullptr) return;
  // The first partition of a removable disk, else the first partition row.
  QTreeWidgetItem* first = nullptr;
  for (int i = 0; i < list_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* disk = list_->topLevelItem(i);
    if (disk->isHidden()) continue;
    const DiskRow* row = RowOf(disk);
    QTreeWidgetItem* candidate = disk->childCount() > 0 ? disk->child(0) : disk;
    if (row != nullptr && row->removable) {
      list_->setCurrentItem(candidate);
      return;
    }
    if (first == nullptr) first = candidate;
  }
  if (first != nullptr) list_->setCurrentItem(first);
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
      if (row->unreadable) infoLabels_[5]->setText(Msg("MSG0222"));
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
  QTreeWidgetItem* item = list_->currentItem();
  const DiskRow* row = RowOf(item);
  if (row == nullptr || row->kind == DiskRow::Kind::ImageGroup) {
    ShowMessageBox(BoxKind::Information, window(), Msg("MSG0505"));
    return false;
  }
  std::vector<const DiskRow*> rows;
  const bool wholeDisk = row->kind == DiskRow::Kind::Disk && item->childCount() > 0;
  if (wholeDisk) {
    for (int i = 0; i < item->childCount(); ++i)
      if (const DiskRow* child = RowOf(item->child(i))) rows.push_back(child);
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
    // A quick scan of a whole disk reads its FAT, exFAT and NTFS volumes; an unallocated area or
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
  for (int i = 0; i < list_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = list_->topLevelItem(i);
    const DiskRow* row = RowOf(item);
    if (row == nullptr) continue;
    if (row->kind == DiskRow::Kind::Disk)
      item->setText(0, DiskName(*row));
    else if (row->kind == DiskRow::Kind::ImageGroup)
      item->setText(0, Msg("MSG0209"));
  }
  list_->setHeaderLabels({MainText("ColMediaName"), MainText("ColType"), MainText("ColSize")});
}

}  // namespace rexmoor::gui
