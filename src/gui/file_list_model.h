// The file list as a Qt table over the result model: one row per record of the open type node,
// its check box in the name column, and sorting by the model's rules when a header is clicked.
#pragma once

#include <QAbstractTableModel>

#include "app/result_model.h"

namespace rexmoor::gui {

class FileListModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  explicit FileListModel(ResultModel& results, QObject* parent = nullptr);

  // The result model changed under the view (a new node, a rebuild).
  void Reset();
  // Check boxes were changed elsewhere (tree, header box).
  void ChecksChanged();
  void Retranslate();

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  void sort(int column, Qt::SortOrder order) override;

  static FileColumn ColumnOf(int section) { return static_cast<FileColumn>(section); }

 signals:
  // A row's check box was toggled by the user.
  void checksChanged();

 private:
  ResultModel& results_;
};

}  // namespace rexmoor::gui
