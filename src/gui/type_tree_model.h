// The type tree as a Qt item model: the six categories, and below each the extension nodes with
// their counts, read straight from the result model.
#pragma once

#include <array>
#include <optional>
#include <vector>

#include "gui/result_tree_model.h"

namespace rexmoor::gui {

// A category node's control name (NodePhoto ...) under this role.
inline constexpr int kNodeNameRole = Qt::UserRole + 3;

class TypeTreeModel : public ResultTreeModel {
  Q_OBJECT
 public:
  using ResultTreeModel::ResultTreeModel;

  // The node of a valid index of this model.
  NodeRef RefOf(const QModelIndex& index) const;
  // The index of a node; invalid when the tree has no such node.
  QModelIndex IndexOf(const NodeRef& ref) const;

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& index) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;

 protected:
  void SetChecked(const QModelIndex& index, bool checked) override;
  void ForgetChecks() override;

 private:
  // An extension node's index points at its category; a category's points nowhere.
  const CategoryNode* CategoryOf(const QModelIndex& index) const;
  Qt::CheckState CheckOf(const NodeRef& ref) const;

  // Counted from the selection when a node is first shown after a change of the checks.
  mutable std::array<std::optional<Qt::CheckState>, kTypeCategoryCount> categoryChecks_;
  mutable std::array<std::vector<std::optional<Qt::CheckState>>, kTypeCategoryCount> childChecks_;
};

}  // namespace rexmoor::gui
