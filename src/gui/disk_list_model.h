// The disk list as a Qt item model: every drive with its partitions and unallocated areas, then
// the image files the user added under one group row. Three columns: name, type, size.
#pragma once

#include <QAbstractItemModel>

#include <cstdint>
#include <string>
#include <vector>

#include "app/device_listing.h"

namespace rexmoor::gui {

// One row of the disk list.
struct DiskRow {
  enum class Kind { Disk, Partition, ImageGroup, Image };
  Kind kind = Kind::Partition;
  std::int32_t driveNumber = -1;
  bool removable = false;
  bool unreadable = false;
  bool askable = false;      // unreadable, but udisks2 can open it once the administrator agrees
  DriveFacts facts;
  DeviceRow row;            // partitions and areas
  std::string sourceText;   // what the source resolver takes
  std::string imagePath;
  std::uint64_t sizeBytes = 0;
  std::string fileSystem;  // images: the file system that fills the image, and its label
  std::string label;
};

// A top row (a drive, the image group) and the rows below it.
struct DiskNode {
  DiskRow row;
  std::vector<DiskRow> children;
};

class DiskListModel : public QAbstractItemModel {
  Q_OBJECT
 public:
  enum Column { kName = 0, kType = 1, kSize = 2, kColumnCount = 3 };

  using QAbstractItemModel::QAbstractItemModel;

  // The drives as listed and the image files, each a node with its rows.
  void SetNodes(std::vector<DiskNode> nodes);
  const std::vector<DiskNode>& Nodes() const { return nodes_; }
  // The row of a valid index of this model.
  const DiskRow* RowOf(const QModelIndex& index) const;
  // The texts again (another language).
  void TextsChanged();

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& index) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  std::vector<DiskNode> nodes_;
};

// A drive's name in the list, "Disk 1" or "Removable Disk 2".
QString DiskName(const DiskRow& row);

}  // namespace rexmoor::gui
