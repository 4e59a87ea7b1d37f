#include "gui/disk_list_model.h"

#include <QPalette>

#include "gui/gui_support.h"
#include "platform/text.h"

namespace rexmoor::gui {

namespace {

// A child's index points at its node; a top row's at nothing.
const DiskNode* NodeOf(const QModelIndex& index) { return static_cast<const DiskNode*>(index.constInternalPointer()); }

QString SizeText(std::uint64_t bytes) { return FromUtf8(FormatSize(static_cast<std::int64_t>(bytes))); }

QString MainText(const char* key) { return SectionText("MainWnd", key); }

QString CellText(const DiskRow& row, int column) {
  switch (row.kind) {
    case DiskRow::Kind::Disk:
      if (column == DiskListModel::kName) return DiskName(row);
      if (column == DiskListModel::kType)
        return row.facts.tableType == "dos"   ? QStringLiteral("MBR")
               : row.facts.tableType == "gpt" ? QStringLiteral("GPT")
                                              : FromUtf8(row.facts.tableType);
      return SizeText(row.sizeBytes);
    case DiskRow::Kind::Partition: {
      const VolumeEntry& entry = row.row.entry;
      const bool unallocated = row.row.kind == DeviceRow::Kind::Unallocated;
      if (column == DiskListModel::kName) {
        QString name = QStringLiteral("%1:").arg(static_cast<int>(entry.letter));
        if (!entry.label.empty()) name += QLatin1Char(' ') + FromUtf8(entry.label);
        if (!entry.volumePath.empty()) name += QStringLiteral("  (%1)").arg(FromUtf8(entry.volumePath));
        if (entry.label.empty() && entry.volumePath.empty())
          name += QLatin1Char(' ') + MainText(unallocated ? "Unallocated" : "PartitionRow");
        return name;
      }
      if (column == DiskListModel::kType) {
        if (unallocated) return MainText("Unallocated");
        return entry.fileSystemName.empty() ? MainText("UnknownFileSystem") : FromUtf8(entry.fileSystemName);
      }
      return SizeText(entry.totalBytes);
    }
    case DiskRow::Kind::ImageGroup:
      return column == DiskListModel::kName ? Msg("MSG0209") : QString();
    case DiskRow::Kind::Image:
      if (column == DiskListModel::kName)
        return FromUtf8(FileNameOf(row.imagePath)) +
               (row.label.empty() ? QString() : QStringLiteral(" (%1)").arg(FromUtf8(row.label)));
      if (column == DiskListModel::kType) return FromUtf8(row.fileSystem);
      return SizeText(row.sizeBytes);
  }
  return {};
}

QVariant ToolTip(const DiskRow& row) {
  if (row.askable) return Msg("MSG0228");
  if (row.unreadable) return Msg("MSG0222");
  switch (row.kind) {
    case DiskRow::Kind::Disk: return FromUtf8(row.facts.path);
    case DiskRow::Kind::Partition: return FromUtf8(row.sourceText);
    case DiskRow::Kind::Image: return FromUtf8(row.imagePath);
    case DiskRow::Kind::ImageGroup: break;
  }
  return {};
}

const char* IconName(const DiskRow& row) {
  if (row.kind == DiskRow::Kind::ImageGroup || row.kind == DiskRow::Kind::Image) return "media-optical";
  return row.removable ? "drive-removable-media" : "drive-harddisk";
}

}  // namespace

QString DiskName(const DiskRow& row) {
  return QStringLiteral("%1 %2").arg(Msg(row.removable ? "MSG0202" : "MSG0201")).arg(row.driveNumber + 1);
}

void DiskListModel::SetNodes(std::vector<DiskNode> nodes) {
  beginResetModel();
  nodes_ = std::move(nodes);
  endResetModel();
}

const DiskRow* DiskListModel::RowOf(const QModelIndex& index) const {
  if (!index.isValid() || index.model() != this) return nullptr;
  if (const DiskNode* node = NodeOf(index))
    return static_cast<std::size_t>(index.row()) < node->children.size() ? &node->children[static_cast<std::size_t>(index.row())]
                                                                          : nullptr;
  return static_cast<std::size_t>(index.row()) < nodes_.size() ? &nodes_[static_cast<std::size_t>(index.row())].row : nullptr;
}

void DiskListModel::TextsChanged() {
  for (int row = 0; row < rowCount(); ++row) {
    const QModelIndex top = index(row, kName);
    emit dataChanged(top, index(row, kColumnCount - 1), {Qt::DisplayRole, Qt::ToolTipRole});
    if (const int children = rowCount(top); children > 0)
      emit dataChanged(index(0, 0, top), index(children - 1, kColumnCount - 1, top), {Qt::DisplayRole, Qt::ToolTipRole});
  }
  emit headerDataChanged(Qt::Horizontal, 0, kColumnCount - 1);
}

QModelIndex DiskListModel::index(int row, int column, const QModelIndex& parent) const {
  if (row < 0 || column < 0 || column >= kColumnCount || row >= rowCount(parent)) return {};
  if (!parent.isValid()) return createIndex(row, column, nullptr);
  return createIndex(row, column, &nodes_[static_cast<std::size_t>(parent.row())]);
}

QModelIndex DiskListModel::parent(const QModelIndex& index) const {
  const DiskNode* node = index.isValid() ? NodeOf(index) : nullptr;
  if (node == nullptr) return {};
  return createIndex(static_cast<int>(node - nodes_.data()), 0, nullptr);
}

int DiskListModel::rowCount(const QModelIndex& parent) const {
  if (!parent.isValid()) return static_cast<int>(nodes_.size());
  if (parent.column() != 0 || NodeOf(parent) != nullptr) return 0;  // partitions and images have no rows below
  return static_cast<int>(nodes_[static_cast<std::size_t>(parent.row())].children.size());
}

int DiskListModel::columnCount(const QModelIndex&) const { return kColumnCount; }

QVariant DiskListModel::data(const QModelIndex& index, int role) const {
  const DiskRow* row = RowOf(index);
  if (row == nullptr) return {};
  switch (role) {
    case Qt::DisplayRole:
      return CellText(*row, index.column());
    case Qt::DecorationRole:
      if (index.column() == kName) return ThemeIcon(IconName(*row));
      return {};
    case Qt::ToolTipRole:
      if (index.column() == kName) return ToolTip(*row);
      return {};
    case Qt::ForegroundRole:
      // A drive this user may not read is listed greyed, unless the system can be asked for it.
      if (row->unreadable && !row->askable) return QPalette().color(QPalette::Disabled, QPalette::Text);
      return {};
    default:
      return {};
  }
}

QVariant DiskListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= kColumnCount) return {};
  static constexpr const char* kKeys[kColumnCount] = {"ColMediaName", "ColType", "ColSize"};
  return MainText(kKeys[section]);
}

}  // namespace rexmoor::gui
