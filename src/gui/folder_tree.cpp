#include "gui/folder_tree.h"

#include <QHeaderView>

#include "gui/gui_support.h"

namespace rexmoor::gui {

const std::vector<int>& FolderTreeModel::Rows() const {
  const std::vector<FolderNode>& nodes = results_.FolderNodes();
  if (rows_.size() != nodes.size()) {
    rows_.assign(nodes.size(), 0);
    for (const FolderNode& node : nodes)
      for (std::size_t i = 0; i < node.children.size(); ++i)
        if (node.children[i] < rows_.size()) rows_[node.children[i]] = static_cast<int>(i);
  }
  return rows_;
}

QModelIndex FolderTreeModel::IndexOf(std::size_t node) const {
  if (node >= results_.FolderNodes().size()) return {};
  return createIndex(node == 0 ? 0 : Rows()[node], 0, static_cast<quintptr>(node));
}

QModelIndex FolderTreeModel::index(int row, int column, const QModelIndex& parent) const {
  if (row < 0 || column != 0 || row >= rowCount(parent)) return {};
  if (!parent.isValid()) return createIndex(0, 0, quintptr{0});
  return createIndex(row, 0, static_cast<quintptr>(results_.FolderNodes()[NodeOf(parent)].children[static_cast<std::size_t>(row)]));
}

QModelIndex FolderTreeModel::parent(const QModelIndex& index) const {
  const std::vector<FolderNode>& nodes = results_.FolderNodes();
  if (!index.isValid() || NodeOf(index) == 0 || NodeOf(index) >= nodes.size()) return {};  // the root is its own parent
  return IndexOf(nodes[NodeOf(index)].parent);
}

int FolderTreeModel::rowCount(const QModelIndex& parent) const {
  const std::vector<FolderNode>& nodes = results_.FolderNodes();
  if (!parent.isValid()) return nodes.empty() ? 0 : 1;
  if (parent.column() != 0 || NodeOf(parent) >= nodes.size()) return 0;
  return static_cast<int>(nodes[NodeOf(parent)].children.size());
}

QVariant FolderTreeModel::data(const QModelIndex& index, int role) const {
  const std::vector<FolderNode>& nodes = results_.FolderNodes();
  if (!index.isValid() || NodeOf(index) >= nodes.size()) return {};
  const std::size_t n = NodeOf(index);
  const FolderNode& node = nodes[n];
  switch (role) {
    case Qt::DisplayRole:
      return FromUtf8(node.text);
    case Qt::DecorationRole:
      return ThemeIcon(node.carved ? "package-x-generic" : n == 0 ? "drive-harddisk" : "folder");
    case Qt::ToolTipRole:
      if (node.carved) return SectionText("MainWnd", "FolderCarvedTip");
      return {};
    case Qt::CheckStateRole:
      if (checks_.size() != nodes.size()) checks_.assign(nodes.size(), std::nullopt);
      if (!checks_[n]) checks_[n] = QtCheckState(results_.FolderCheck(n));
      return *checks_[n];
    default:
      return {};
  }
}

void FolderTreeModel::SetChecked(const QModelIndex& index, bool checked) { results_.SetFolderChecked(NodeOf(index), checked); }

void FolderTreeModel::ForgetChecks() {
  checks_.clear();
  rows_.clear();  // a reset brings other nodes
}

FolderTree::FolderTree(ResultModel& results, QWidget* parent)
    : QTreeView(parent), results_(results), model_(new FolderTreeModel(results, this)) {
  setObjectName(QStringLiteral("FolderTree"));
  setModel(model_);
  setHeaderHidden(true);
  setIconSize(QSize(20, 20));
  setUniformRowHeights(true);
  header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  header()->setStretchLastSection(false);
  // A new tree opens the root and the folders in it.
  connect(model_, &QAbstractItemModel::modelReset, this, [this] { expandToDepth(1); });
  connect(selectionModel(), &QItemSelectionModel::currentChanged, this, [this](const QModelIndex& current) {
    // The folder the list already shows is being made current by the program.
    if (!current.isValid() || results_.OpenedFolder() == FolderTreeModel::NodeOf(current)) return;
    results_.OpenFolder(FolderTreeModel::NodeOf(current));
    emit folderOpened();
  });
}

void FolderTree::ShowOpenFolder() {
  if (results_.FolderNodes().empty()) return;
  if (!results_.OpenedFolder()) results_.OpenFolder(0);
  const QModelIndex open = model_->IndexOf(results_.OpenedFolder().value_or(0));
  if (!open.isValid()) return;
  for (QModelIndex up = open.parent(); up.isValid(); up = up.parent()) expand(up);
  setCurrentIndex(open);
}

}  // namespace rexmoor::gui
