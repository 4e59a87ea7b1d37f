// The results page: the found files by type or by folder on the left, the file list (or the
// thumbnail grid of pictures) with its search field and filters, and the preview panel below it.
// The trees, the list and the check boxes all work on the window's result model.
#pragma once

#include <QWidget>

#include <functional>
#include <optional>
#include <vector>

#include "app/result_model.h"
#include "app/scan_job.h"

class QCheckBox;
class QModelIndex;
class QStackedWidget;
class QTableView;
class QToolButton;
class QTreeView;

namespace rexmoor::gui {

class FileListModel;
class FilterBar;
class FolderTree;
class PreviewPanel;
class ThumbnailGrid;
class TypeTreeModel;

class ResultsPage : public QWidget {
  Q_OBJECT
 public:
  // The sources are the last scan's, whose engines read the files for the thumbnails and the
  // Path column.
  ResultsPage(ResultModel& model, const FileTypeSelection& types, std::vector<ScanSourceEntry>& sources,
              QWidget* parent = nullptr);

  // A new search's results, unfiltered, with the folder each was found in.
  void ShowNewResults(RecordList results);
  // Lets go of everything that reads through the engines, before they go.
  void ReleaseSources();
  PreviewPanel* Preview() const { return preview_; }
  ThumbnailGrid* Thumbnails() const { return thumbGrid_; }
  // Ticks a node of the type tree as a click on its check box does.
  void CheckTypeNode(const NodeRef& ref, bool checked);
  // The texts that are not set by control name, and the model's category texts.
  void Retranslate();

 signals:
  // The checked files changed.
  void selectionChanged();
  // The user chose a row of the list or the grid to be shown in the preview panel.
  void previewWanted(std::size_t row);

 protected:
  // The list's width changing refits the name column.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QWidget* BuildTreePane();
  QWidget* BuildListPane();
  void FillFolders();
  // A change of the result model's trees (new results, another filter), with both trees told.
  void ChangeTrees(const std::function<void()>& change);
  // The type tree after its nodes changed: the open node current, the list filled from it.
  void ShowTypeTree();
  void SizeFileColumns();
  // The name column takes what the others leave of the list's width, but never less than room
  // for a name of some 18 characters (the list scrolls sideways then).
  void FitNameColumn();
  void OnTreeCurrentChanged(const QModelIndex& current);
  // A tree's check box was toggled: the list and the other tree follow.
  void OnTreeChecksChanged();
  void OnFileChecksChanged();
  void SelectFirstRow();
  bool PictureNodeOpen() const;
  void ShowThumbnails(bool on);
  // The search field's and the filters' narrowing, over the tree, its counts and the list.
  void ApplyFilter();
  // The list shows other rows: the thumbnails, the preview, the check boxes follow.
  void OnListChanged();
  // The type tree or the folder tree beside the list.
  void ShowFolderView(bool folders);
  bool FolderViewShown() const;

  ResultModel& model_;
  const FileTypeSelection& types_;
  std::vector<ScanSourceEntry>& sources_;

  QTreeView* typeTree_ = nullptr;
  TypeTreeModel* typeModel_ = nullptr;
  FolderTree* folderTree_ = nullptr;
  QStackedWidget* treeStack_ = nullptr;
  QToolButton* byType_ = nullptr;
  QToolButton* byFolder_ = nullptr;
  std::optional<NodeRef> lastTypeNode_;
  QCheckBox* allRows_ = nullptr;
  FilterBar* filterBar_ = nullptr;
  QToolButton* thumbsButton_ = nullptr;
  QTableView* fileList_ = nullptr;
  FileListModel* fileModel_ = nullptr;
  QStackedWidget* listStack_ = nullptr;
  ThumbnailGrid* thumbGrid_ = nullptr;
  PreviewPanel* preview_ = nullptr;
  bool autoSelecting_ = false;  // a row selected by the program, not by the user
};

}  // namespace rexmoor::gui
