// The file-type page: a group per category with a box per file type, laid out in as many columns
// as the page is wide enough for. The boxes change the window's type selection.
#pragma once

#include <QScrollArea>

#include <map>
#include <vector>

#include "app/result_model.h"

class QCheckBox;
class QGridLayout;
class QGroupBox;

namespace rexmoor::gui {

class FileTypePage : public QScrollArea {
  Q_OBJECT
 public:
  explicit FileTypePage(FileTypeSelection& types, QWidget* parent = nullptr);

  // The group and option boxes again from the type selection.
  void SyncBoxes();
  void Retranslate();

 signals:
  void typesChanged();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void LayOutOptions(int width);

  FileTypeSelection& types_;
  std::map<TypeCategory, QGroupBox*> groups_;
  std::map<TypeCategory, QGridLayout*> grids_;
  std::map<TypeCategory, std::vector<QCheckBox*>> options_;
  int columns_ = 3;
  int widestOption_ = 0;
};

}  // namespace rexmoor::gui
