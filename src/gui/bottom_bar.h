// The bar across the bottom of the main window: Back, what is checked on the results page, and
// the buttons that go on from the page shown (load or create an image, scan, continue a stopped
// scan, recover, with the choice to keep the folders).
#pragma once

#include <QWidget>

#include "gui/pages.h"

class QCheckBox;
class QLabel;
class QPushButton;

namespace rexmoor::gui {

class BottomBar : public QWidget {
  Q_OBJECT
 public:
  explicit BottomBar(QWidget* parent = nullptr);

  // The buttons for the page shown; Continue only after a stopped scan that can be taken up.
  void Show(Page page, WindowMode mode, bool canContinue);
  void EnableDiskButtons(bool scan, bool createImage);
  void ShowSelection(bool any, const QString& info);
  // Recovered files go into their folders below a folder named after the source.
  bool KeepFolders() const;
  // Whether a recovery writes its report.xml beside the files (remembered; on at first).
  bool WriteReport() const;
  QString LoadImageText() const;
  QString CreateImageText() const;

 signals:
  void back();
  void loadImage();
  void createImage();
  void scan();
  void continueScan();
  void recover();

 private:
  QPushButton* prev_ = nullptr;
  QLabel* selectedInfo_ = nullptr;
  QPushButton* loadImage_ = nullptr;
  QPushButton* createImage_ = nullptr;
  QPushButton* scan_ = nullptr;
  QCheckBox* keepFolders_ = nullptr;
  QCheckBox* writeReport_ = nullptr;
  QPushButton* continue_ = nullptr;
  QPushButton* recover_ = nullptr;
};

}  // namespace rexmoor::gui
