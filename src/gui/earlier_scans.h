// The start page's list of earlier deep scans of image files that can be taken up where they
// stopped: each image that is still there, unchanged since its scan. Continue (or a double click)
// hands the image to the window, which continues the scan from its log.
#pragma once

#include <QGroupBox>

class QListWidget;
class QPushButton;

namespace rexmoor::gui {

class EarlierScans : public QGroupBox {
  Q_OBJECT
 public:
  explicit EarlierScans(QWidget* parent = nullptr);
  // Reads the scan-log index again; hidden when nothing can be continued.
  void Refresh();
  void Retranslate();

 signals:
  void continueImage(const QString& path);

 private:
  QListWidget* list_ = nullptr;
  QPushButton* continue_ = nullptr;
};

}  // namespace rexmoor::gui
