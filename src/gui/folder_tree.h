// The folder view of the results: the folders the engines rebuilt, with the same check boxes and
// counts as the type tree, over the result model. Selecting a folder lists its files.
#pragma once

#include <QTreeWidget>

#include "app/result_model.h"

namespace rexmoor::gui {

class FolderTree : public QTreeWidget {
  Q_OBJECT
 public:
  explicit FolderTree(ResultModel& model, QWidget* parent = nullptr);

  // Builds the items from the model's folder nodes; the open folder (or the root) is made current
  // and opened, without a folderOpened.
  void Fill();
  // Each item's check state again from the model's selection.
  void RefreshChecks();

 signals:
  void folderOpened();   // the list shows another folder
  void checksChanged();  // a folder was checked or unchecked

 private:
  ResultModel& model_;
  bool filling_ = false;
};

}  // namespace rexmoor::gui
