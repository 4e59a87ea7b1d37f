#include "gui/type_tree_model.h"

#include "gui/gui_support.h"
#include "gui/pages.h"

namespace rexmoor::gui {

const CategoryNode* TypeTreeModel::CategoryOf(const QModelIndex& index) const {
  return static_cast<const CategoryNode*>(index.constInternalPointer());
}

NodeRef TypeTreeModel::RefOf(const QModelIndex& index) const {
  if (const CategoryNode* category = CategoryOf(index))
    return NodeRef{category->category, static_cast<std::size_t>(index.row())};
  return NodeRef{static_cast<TypeCategory>(index.row()), std::nullopt};
}

QModelIndex TypeTreeModel::IndexOf(const NodeRef& ref) const {
  const auto c = static_cast<std::size_t>(ref.category);
  if (c >= kTypeCategoryCount) return {};
  const QModelIndex category = index(static_cast<int>(c), 0);
  if (!ref.child) return category;
  if (*ref.child >= results_.Categories()[c].children.size()) return {};
  return index(static_cast<int>(*ref.child), 0, category);
}

QModelIndex TypeTreeModel::index(int row, int column, const QModelIndex& parent) const {
  if (row < 0 || column != 0 || row >= rowCount(parent)) return {};
  if (!parent.isValid()) return createIndex(row, 0, nullptr);
  return createIndex(row, 0, &results_.Categories()[static_cast<std::size_t>(parent.row())]);
}

QModelIndex TypeTreeModel::parent(const QModelIndex& index) const {
  const CategoryNode* category = index.isValid() ? CategoryOf(index) : nullptr;
  if (category == nullptr) return {};
  return createIndex(static_cast<int>(category - results_.Categories().data()), 0, nullptr);
}

int TypeTreeModel::rowCount(const QModelIndex& parent) const {
  if (!parent.isValid()) return static_cast<int>(kTypeCategoryCount);
  if (parent.column() != 0 || CategoryOf(parent) != nullptr) return 0;  // extension nodes have no children
  return static_cast<int>(results_.Categories()[static_cast<std::size_t>(parent.row())].children.size());
}

QVariant TypeTreeModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  const NodeRef ref = RefOf(index);
  const CategoryNode& category = results_.Category(ref.category);
  const TypeNode* node = ref.child ? results_.Node(ref) : nullptr;
  if (ref.child && node == nullptr) return {};
  switch (role) {
    case Qt::DisplayRole:
      return FromUtf8(node != nullptr ? node->text : category.text);
    case Qt::DecorationRole:
      if (node == nullptr) return ThemeIcon(CategoryIconName(category.category));
      return node->extension == "unknow" ? ThemeIcon("text-x-generic") : FileTypeIcon(FromUtf8(node->extension));
    case Qt::CheckStateRole:
      return CheckOf(ref);
    case kNodeNameRole:
      if (node == nullptr) return QString::fromLatin1(CategoryNodeName(category.category));
      return {};
    default:
      return {};
  }
}

Qt::CheckState TypeTreeModel::CheckOf(const NodeRef& ref) const {
  const auto c = static_cast<std::size_t>(ref.category);
  std::optional<Qt::CheckState>* cached = &categoryChecks_[c];
  if (ref.child) {
    std::vector<std::optional<Qt::CheckState>>& children = childChecks_[c];
    if (children.size() != results_.Categories()[c].children.size())
      children.assign(results_.Categories()[c].children.size(), std::nullopt);
    if (*ref.child >= children.size()) return Qt::Unchecked;
    cached = &children[*ref.child];
  }
  if (!*cached) *cached = QtCheckState(results_.NodeCheck(ref));
  return **cached;
}

void TypeTreeModel::SetChecked(const QModelIndex& index, bool checked) { results_.SetNodeChecked(RefOf(index), checked); }

void TypeTreeModel::ForgetChecks() {
  categoryChecks_.fill(std::nullopt);
  for (auto& children : childChecks_) children.clear();
}

}  // namespace rexmoor::gui
