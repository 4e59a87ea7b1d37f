#include "gui/result_tree_model.h"

#include <vector>

namespace rexmoor::gui {

Qt::CheckState QtCheckState(CheckState state) {
  switch (state) {
    case CheckState::Checked: return Qt::Checked;
    case CheckState::Partial: return Qt::PartiallyChecked;
    case CheckState::Unchecked: break;
  }
  return Qt::Unchecked;
}

ResultTreeModel::ResultTreeModel(ResultModel& results, QObject* parent) : QAbstractItemModel(parent), results_(results) {}

void ResultTreeModel::Reset(const std::function<void()>& change) {
  beginResetModel();
  if (change) change();
  ForgetChecks();
  endResetModel();
}

void ResultTreeModel::ChecksChanged() {
  ForgetChecks();
  EmitForAll({Qt::CheckStateRole});
}

void ResultTreeModel::TextsChanged() { EmitForAll({Qt::DisplayRole, Qt::ToolTipRole}); }

int ResultTreeModel::columnCount(const QModelIndex&) const { return 1; }

Qt::ItemFlags ResultTreeModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable;
}

bool ResultTreeModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (!index.isValid() || role != Qt::CheckStateRole || index.model() != this) return false;
  SetChecked(index, static_cast<Qt::CheckState>(value.toInt()) != Qt::Unchecked);
  // A node's check reaches its children and the partial state of every node above it.
  ChecksChanged();
  emit checksChanged();
  return true;
}

void ResultTreeModel::EmitForAll(const QList<int>& roles) {
  // With a stack, not recursion: a folder tree can be as deep as the paths a medium names.
  std::vector<QModelIndex> parents{QModelIndex()};
  while (!parents.empty()) {
    const QModelIndex parent = parents.back();
    parents.pop_back();
    const int rows = rowCount(parent);
    if (rows == 0) continue;
    emit dataChanged(index(0, 0, parent), index(rows - 1, 0, parent), roles);
    for (int row = 0; row < rows; ++row) {
      const QModelIndex child = index(row, 0, parent);
      if (rowCount(child) > 0) parents.push_back(child);
    }
  }
}

}  // namespace rexmoor::gui
