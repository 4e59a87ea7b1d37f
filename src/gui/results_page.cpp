#include "gui/results_page.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QSplitter>
#include <QStackedWidget>
#include <QTableView>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>
#include <mutex>

#include "app/message_catalog.h"
#include "gui/file_list_model.h"
#include "gui/filter_bar.h"
#include "gui/folder_tree.h"
#include "gui/gui_support.h"
#include "gui/pages.h"
#include "gui/preview_panel.h"
#include "gui/thumbnail_grid.h"
#include "gui/type_tree_model.h"

namespace rexmoor::gui {

namespace {

std::string MainWndText(const std::string& key) { return GetMessageCatalog().Text("MainWnd", key); }

}  // namespace

ResultsPage::ResultsPage(ResultModel& model, const FileTypeSelection& types, std::vector<ScanSourceEntry>& sources,
                         QWidget* parent)
    : QWidget(parent), model_(model), types_(types), sources_(sources) {
  setObjectName(QStringLiteral("RecoverFile"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(12, 4, 12, 4);
  auto* split = new QSplitter(Qt::Horizontal);
  split->addWidget(BuildTreePane());
  auto* right = new QSplitter(Qt::Vertical);
  right->addWidget(BuildListPane());
  preview_ = new PreviewPanel;
  right->addWidget(preview_);
  right->setStretchFactor(0, 3);
  right->setStretchFactor(1, 2);
  split->addWidget(right);
  split->setStretchFactor(0, 1);
  split->setStretchFactor(1, 3);
  split->setSizes({210, 570});
  typeTree_->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  typeTree_->header()->setStretchLastSection(false);
  layout->addWidget(split, 1);

  // The categories stay open.
  connect(typeModel_, &QAbstractItemModel::modelReset, typeTree_, &QTreeView::expandAll);
  connect(typeTree_->selectionModel(), &QItemSelectionModel::currentChanged, this, &ResultsPage::OnTreeCurrentChanged);
  connect(typeModel_, &ResultTreeModel::checksChanged, this, &ResultsPage::OnTreeChecksChanged);
  connect(folderTree_->Model(), &ResultTreeModel::checksChanged, this, &ResultsPage::OnTreeChecksChanged);
  connect(fileModel_, &FileListModel::checksChanged, this, &ResultsPage::OnFileChecksChanged);
  connect(thumbsButton_, &QToolButton::toggled, this, [this](bool on) { ShowThumbnails(on); });
  connect(filterBar_, &FilterBar::filterChanged, this, &ResultsPage::ApplyFilter);
  connect(byType_, &QToolButton::toggled, this, [this](bool on) { ShowFolderView(!on); });
  connect(folderTree_, &FolderTree::folderOpened, this, &ResultsPage::OnListChanged);
  // The list and the grid show the same rows: the user's choice of one in either is previewed.
  const auto previewCurrent = [this](const QModelIndex& current) {
    if (!autoSelecting_ && current.isValid()) emit previewWanted(static_cast<std::size_t>(current.row()));
  };
  connect(thumbGrid_->selectionModel(), &QItemSelectionModel::currentRowChanged, this, previewCurrent);
  connect(fileList_->selectionModel(), &QItemSelectionModel::currentRowChanged, this, previewCurrent);
  connect(allRows_, &QCheckBox::clicked, this, [this] {
    model_.SetAllRowsChecked(allRows_->checkState() != Qt::Unchecked);
    fileModel_->ChecksChanged();
    OnFileChecksChanged();
  });
  connect(fileList_->horizontalHeader(), &QHeaderView::sectionClicked, this, [this](int section) {
    fileList_->clearSelection();
    fileModel_->sort(section, Qt::AscendingOrder);
    // Qt's header draws a downward arrow for Qt::AscendingOrder; the desktops' file managers point
    // the arrow up for A to Z and smallest first. The indicator is given the other order so that
    // the arrow the user sees matches the order of the rows.
    const bool ascending = model_.Direction(FileListModel::ColumnOf(section)) > 0;
    fileList_->horizontalHeader()->setSortIndicator(section, ascending ? Qt::DescendingOrder : Qt::AscendingOrder);
  });
}

// The found files by type or by folder: two views over the same files and check boxes.
QWidget* ResultsPage::BuildTreePane() {
  typeTree_ = new QTreeView;
  typeTree_->setObjectName(QStringLiteral("TypeTree"));
  typeModel_ = new TypeTreeModel(model_, this);
  typeTree_->setModel(typeModel_);
  typeTree_->setHeaderHidden(true);
  typeTree_->setIconSize(QSize(20, 20));
  typeTree_->setUniformRowHeights(true);
  auto* treePane = new QWidget;
  auto* treeLayout = new QVBoxLayout(treePane);
  treeLayout->setContentsMargins(0, 0, 0, 0);
  treeLayout->setSpacing(2);
  auto* viewRow = new QHBoxLayout;
  viewRow->setSpacing(0);
  auto* viewGroup = new QButtonGroup(treePane);
  for (const char* name : {"ByTypeBtn", "ByFolderBtn"}) {
    auto* button = new QToolButton;
    button->setObjectName(QString::fromLatin1(name));
    button->setCheckable(true);
    button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    button->setIcon(ThemeIcon(name[2] == 'T' ? "x-office-document" : "folder"));
    button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    viewGroup->addButton(button);
    viewRow->addWidget(button);
    (name[2] == 'T' ? byType_ : byFolder_) = button;
  }
  byType_->setChecked(true);
  treeLayout->addLayout(viewRow);
  treeStack_ = new QStackedWidget;
  treeStack_->addWidget(typeTree_);
  folderTree_ = new FolderTree(model_);
  treeStack_->addWidget(folderTree_);
  treeLayout->addWidget(treeStack_, 1);
  return treePane;
}

QWidget* ResultsPage::BuildListPane() {
  auto* listPane = new QWidget;
  auto* listLayout = new QVBoxLayout(listPane);
  listLayout->setContentsMargins(0, 0, 0, 0);
  listLayout->setSpacing(2);
  allRows_ = new QCheckBox;
  allRows_->setObjectName(QStringLiteral("ChkAllListSel"));
  allRows_->setTristate(true);
  auto* listBar = new QHBoxLayout;
  listBar->addWidget(allRows_);
  listBar->addSpacing(12);
  filterBar_ = new FilterBar;
  listBar->addWidget(filterBar_, 1);
  thumbsButton_ = new QToolButton;
  thumbsButton_->setObjectName(QStringLiteral("ThumbnailsBtn"));
  thumbsButton_->setCheckable(true);
  thumbsButton_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  thumbsButton_->setIcon(ThemeIcon("image-x-generic"));
  thumbsButton_->setEnabled(false);
  listBar->addWidget(thumbsButton_);
  listLayout->addLayout(listBar);
  fileList_ = new QTableView;
  fileList_->setObjectName(QStringLiteral("FileList"));
  fileModel_ = new FileListModel(model_, this);
  fileList_->setModel(fileModel_);
  fileList_->setSelectionBehavior(QAbstractItemView::SelectRows);
  fileList_->setSelectionMode(QAbstractItemView::SingleSelection);
  fileList_->setShowGrid(false);
  fileList_->setWordWrap(false);
  fileList_->setTextElideMode(Qt::ElideRight);
  fileList_->verticalHeader()->hide();
  fileList_->verticalHeader()->setDefaultSectionSize(fileList_->fontMetrics().height() + 8);
  fileList_->setIconSize(QSize(16, 16));
  fileList_->setSortingEnabled(false);
  QHeaderView* header = fileList_->horizontalHeader();
  header->setSectionsClickable(true);
  header->setSortIndicatorShown(true);
  header->setSortIndicator(-1, Qt::AscendingOrder);  // unsorted until a click
  header->setHighlightSections(false);
  header->setSectionResizeMode(QHeaderView::Interactive);
  header->setSectionResizeMode(0, QHeaderView::Interactive);
  header->setStretchLastSection(false);
  fileList_->viewport()->installEventFilter(this);
  connect(fileModel_, &QAbstractItemModel::modelReset, this, &ResultsPage::SizeFileColumns, Qt::QueuedConnection);
  header->setMinimumSectionSize(40);
  header->setDefaultSectionSize(80);
  listStack_ = new QStackedWidget;
  listStack_->addWidget(fileList_);
  thumbGrid_ = new ThumbnailGrid(fileModel_, model_);
  thumbGrid_->SetSources(&sources_);
  listStack_->addWidget(thumbGrid_);
  listLayout->addWidget(listStack_, 1);
  return listPane;
}

void ResultsPage::ShowNewResults(RecordList results) {
  // A new search starts unfiltered.
  filterBar_->Clear();
  ChangeTrees([&] {
    model_.SetFilter(RecordFilter{}, types_, MainWndText);
    model_.Rebuild(std::move(results), types_, MainWndText);
    FillFolders();
  });
  preview_->Clear();
  ShowTypeTree();
  if (FolderViewShown()) {
    folderTree_->ShowOpenFolder();
    OnListChanged();
  }
}

void ResultsPage::ChangeTrees(const std::function<void()>& change) {
  typeModel_->Reset([&] { folderTree_->Model()->Reset(change); });
}

void ResultsPage::ReleaseSources() {
  preview_->Clear();
  thumbGrid_->Reset();
}

bool ResultsPage::FolderViewShown() const { return treeStack_->currentWidget() == folderTree_; }

// The folder each result was found in, from the engine that found it, for the Path column.
void ResultsPage::FillFolders() {
  std::vector<std::string> folders;
  folders.reserve(model_.Results().size());
  std::lock_guard<std::mutex> lock(EngineUseLock());
  for (const FoundFileRecord& record : model_.Results()) {
    std::string folder;
    IFileRecoveryParse* engine = EngineForRecord(sources_, record);
    if (engine == nullptr || engine->GetFolderPath(&record, folder) != kSuccess) folder.clear();
    folders.push_back(std::move(folder));
  }
  model_.SetFolders(std::move(folders), MainWndText);
}

void ResultsPage::ApplyFilter() {
  thumbGrid_->Stop();
  ChangeTrees([&] { model_.SetFilter(filterBar_->Filter(), types_, MainWndText); });
  preview_->Clear();
  ShowTypeTree();  // in the folder view, the counts kept current behind it
  if (FolderViewShown()) {
    folderTree_->ShowOpenFolder();
    OnListChanged();
  }
  if (!model_.OpenedNode() && !model_.OpenedFolder()) {  // nothing passes: an empty list, and no grid to show
    thumbsButton_->setEnabled(false);
    ShowThumbnails(false);
  }
  emit selectionChanged();
}

void ResultsPage::ShowTypeTree() {
  fileModel_->Reset();
  SizeFileColumns();
  if (const std::optional<NodeRef> open = model_.OpenedNode()) typeTree_->setCurrentIndex(typeModel_->IndexOf(*open));
  OnFileChecksChanged();
  SelectFirstRow();
}

// The name takes what the other columns leave; the rest fit their contents.
void ResultsPage::SizeFileColumns() {
  // Every column but the name fits what the open list shows; the name takes the rest.
  QHeaderView* header = fileList_->horizontalHeader();
  for (int section = 1; section < header->count(); ++section) fileList_->resizeColumnToContents(section);
  FitNameColumn();
}

void ResultsPage::FitNameColumn() {
  QHeaderView* header = fileList_->horizontalHeader();
  int others = 0;
  for (int section = 1; section < header->count(); ++section)
    if (!header->isSectionHidden(section)) others += header->sectionSize(section);
  const int least = fileList_->fontMetrics().averageCharWidth() * 18 + 40;
  header->resizeSection(0, std::max(least, fileList_->viewport()->width() - others));
}

bool ResultsPage::eventFilter(QObject* watched, QEvent* event) {
  if (watched == fileList_->viewport() && event->type() == QEvent::Resize) FitNameColumn();
  return QWidget::eventFilter(watched, event);
}

void ResultsPage::CheckTypeNode(const NodeRef& ref, bool checked) {
  const QModelIndex index = typeModel_->IndexOf(ref);
  if (index.isValid()) typeModel_->setData(index, checked ? Qt::Checked : Qt::Unchecked, Qt::CheckStateRole);
}

void ResultsPage::OnTreeChecksChanged() {
  fileModel_->ChecksChanged();
  OnFileChecksChanged();
}

void ResultsPage::OnTreeCurrentChanged(const QModelIndex& current) {
  if (!current.isValid()) return;
  const NodeRef ref = typeModel_->RefOf(current);
  if (!ref.child) return;
  thumbGrid_->Stop();
  lastTypeNode_ = ref;
  model_.OpenNode(ref);
  OnListChanged();
}

void ResultsPage::OnListChanged() {
  thumbGrid_->Stop();
  fileModel_->Reset();
  thumbsButton_->setEnabled(PictureNodeOpen());
  ShowThumbnails(thumbsButton_->isChecked());
  preview_->Clear();
  OnFileChecksChanged();
  SelectFirstRow();
}

void ResultsPage::ShowFolderView(bool folders) {
  thumbGrid_->Stop();
  treeStack_->setCurrentWidget(folders ? static_cast<QWidget*>(folderTree_) : typeTree_);
  if (folders) {
    folderTree_->ShowOpenFolder();
  } else {
    // Back to the type node that was open, or the first there is.
    if (!model_.OpenedNode()) {
      const std::optional<NodeRef> last = lastTypeNode_;
      if (last && model_.Node(*last) != nullptr) model_.OpenNode(*last);
      for (const CategoryNode& category : model_.Categories())
        if (!model_.OpenedNode() && !category.children.empty()) model_.OpenNode(NodeRef{category.category, 0});
    }
    ShowTypeTree();
  }
  OnListChanged();
}

bool ResultsPage::PictureNodeOpen() const {
  const std::optional<NodeRef> open = model_.OpenedNode();
  return open && open->category == TypeCategory::Photo && open->child;
}

void ResultsPage::ShowThumbnails(bool on) {
  on = on && PictureNodeOpen();
  listStack_->setCurrentWidget(on ? static_cast<QWidget*>(thumbGrid_) : fileList_);
  if (on)
    thumbGrid_->LoadAll();
  else
    thumbGrid_->Stop();
}

void ResultsPage::SelectFirstRow() {
  if (model_.RowCount() == 0) return;
  // The keyboard starts at the first row, but nothing is shown selected: the preview says that no
  // file is chosen until the user chooses one.
  autoSelecting_ = true;
  fileList_->selectionModel()->setCurrentIndex(fileModel_->index(0, 0), QItemSelectionModel::NoUpdate);
  autoSelecting_ = false;
}

void ResultsPage::OnFileChecksChanged() {
  allRows_->setCheckState(QtCheckState(model_.AllRowsCheck()));
  allRows_->setEnabled(model_.RowCount() > 0);
  typeModel_->ChecksChanged();
  folderTree_->Model()->ChecksChanged();
  emit selectionChanged();
}

void ResultsPage::Retranslate() {
  fileModel_->Retranslate();
  filterBar_->Retranslate();
  preview_->Retranslate();
  model_.Retranslate(MainWndText);
  typeModel_->TextsChanged();
  folderTree_->Model()->TextsChanged();
}

}  // namespace rexmoor::gui
