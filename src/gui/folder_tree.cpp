#include "gui/folder_tree.h"

#include <QHeaderView>
#include <QTreeWidgetItemIterator>

#include <functional>

#include "gui/gui_support.h"

namespace rexmoor::gui {

namespace {

constexpr int kFolderRole = Qt::UserRole + 1;

Qt::CheckState QtCheck(CheckState state) {
  return state == CheckState::Checked ? Qt::Checked : state == CheckState::Partial ? Qt::PartiallyChecked : Qt::Unchecked;
}

}  // namespace

FolderTree::FolderTree(ResultModel& model, QWidget* parent) : QTreeWidget(parent), model_(model) {
  setObjectName(QStringLiteral("FolderTree"));
  setHeaderHidden(true);
  setIconSize(QSize(20, 20));
  setUniformRowHeights(true);
  header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  header()->setStretchLastSection(false);
  connect(this, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
    if (filling_ || item == nullptr) return;
    model_.OpenFolder(item->data(0, kFolderRole).toULongLong());
    emit folderOpened();
  });
  connect(this, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item, int column) {
    if (filling_ || item == nullptr || column != 0) return;
    // A click on a partial folder checks it whole.
    model_.SetFolderChecked(item->data(0, kFolderRole).toULongLong(), item->checkState(0) != Qt::Unchecked);
    RefreshChecks();
    emit checksChanged();
  });
}

void FolderTree::Fill() {
  filling_ = true;
  clear();
  const std::vector<FolderNode>& nodes = model_.FolderNodes();
  if (nodes.empty()) {
    filling_ = false;
    return;
  }
  if (!model_.OpenedFolder()) model_.OpenFolder(0);
  const std::size_t open = model_.OpenedFolder().value_or(0);
  QTreeWidgetItem* current = nullptr;
  // Depth first; a node has one parent, so every node is added once.
  std::function<void(std::size_t, QTreeWidgetItem*, int)> add = [&](std::size_t n, QTreeWidgetItem* parent, int depth) {
    const FolderNode& node = nodes[n];
    auto* item = new QTreeWidgetItem({FromUtf8(node.text)});
    item->setData(0, kFolderRole, QVariant::fromValue<qulonglong>(n));
    item->setIcon(0, ThemeIcon(node.carved ? "package-x-generic" : n == 0 ? "drive-harddisk" : "folder"));
    item->setFlags((item->flags() | Qt::ItemIsUserCheckable) & ~Qt::ItemIsAutoTristate);
    if (node.carved) item->setToolTip(0, SectionText("MainWnd", "FolderCarvedTip"));
    if (parent == nullptr)
      addTopLevelItem(item);
    else
      parent->addChild(item);
    if (n == open) current = item;
    for (std::size_t child : node.children) add(child, item, depth + 1);
    item->setExpanded(depth < 2);
  };
  add(0, nullptr, 0);
  RefreshChecks();
  if (current != nullptr) {
    for (QTreeWidgetItem* up = current->parent(); up != nullptr; up = up->parent()) up->setExpanded(true);
    setCurrentItem(current);
  }
  filling_ = false;
}

void FolderTree::RefreshChecks() {
  const bool was = filling_;
  filling_ = true;
  for (QTreeWidgetItemIterator it(this); *it != nullptr; ++it)
    (*it)->setCheckState(0, QtCheck(model_.FolderCheck((*it)->data(0, kFolderRole).toULongLong())));
  filling_ = was;
}

}  // namespace rexmoor::gui
