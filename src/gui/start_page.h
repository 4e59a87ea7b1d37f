// The start page: which kinds of files to look for (a box per category and one for all), the deep
// scan, the quick scan of deleted files and the disk image mode, and the earlier scans of image
// files that can be continued. The boxes change the window's type selection; the buttons ask the
// window to go on.
#pragma once

#include <QWidget>

#include <map>

#include "app/result_model.h"

class QCheckBox;
class QPushButton;

namespace rexmoor::gui {

class EarlierScans;

class StartPage : public QWidget {
  Q_OBJECT
 public:
  explicit StartPage(FileTypeSelection& types, QWidget* parent = nullptr);

  // The boxes and the buttons again from the type selection.
  void SyncBoxes();
  // The earlier scans read again, as the page is shown.
  void Refresh();
  void Retranslate();

 signals:
  void typesChanged();
  void scanChosen(bool deep);
  void imageModeChosen();
  void continueImage(const QString& path);

 private:
  FileTypeSelection& types_;
  QCheckBox* recoverAll_ = nullptr;
  std::map<TypeCategory, QCheckBox*> categoryBoxes_;
  QPushButton* start_ = nullptr;
  QPushButton* quick_ = nullptr;
  QPushButton* imageMode_ = nullptr;
  EarlierScans* earlierScans_ = nullptr;
};

}  // namespace rexmoor::gui
