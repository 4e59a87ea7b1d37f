// The folder view of the results: the folders the engines rebuilt, with the same check boxes and
// counts as the type tree, over the result model. Selecting a folder lists its files.
#pragma once

#include <QTreeView>

#include <cstddef>
#include <optional>
#include <vector>

#include "gui/result_tree_model.h"

namespace rexmoor::gui {

// The result model's folder nodes as a Qt tree; an index carries its folder node's number.
class FolderTreeModel : public ResultTreeModel {
  Q_OBJECT
 public:
  using ResultTreeModel::ResultTreeModel;

  // The folder node of a valid index of this model.
  static std::size_t NodeOf(const QModelIndex& index) { return static_cast<std::size_t>(index.internalId()); }
  // The index of a folder node; invalid when there is no such node.
  QModelIndex IndexOf(std::size_t node) const;

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& index) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;

 protected:
  void SetChecked(const QModelIndex& index, bool checked) override;
  void ForgetChecks() override;

 private:
  // Each node's row under its parent, made once per tree: a view asks for parents all the time.
  const std::vector<int>& Rows() const;

  mutable std::vector<int> rows_;
  mutable std::vector<std::optional<Qt::CheckState>> checks_;
};

class FolderTree : public QTreeView {
  Q_OBJECT
 public:
  explicit FolderTree(ResultModel& results, QWidget* parent = nullptr);

  FolderTreeModel* Model() const { return model_; }
  // The open folder (or the root, opened) made current and shown, without a folderOpened.
  void ShowOpenFolder();

 signals:
  void folderOpened();  // the list shows another folder

 private:
  ResultModel& results_;
  FolderTreeModel* model_;
};

}  // namespace rexmoor::gui
