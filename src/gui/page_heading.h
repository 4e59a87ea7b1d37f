// The heading under the top bar: the title of the page shown and a line or two on what to do
// there; on the results page how many files the last scan found, and where a stopped scan stopped.
#pragma once

#include <QWidget>

#include <cstddef>

#include "gui/pages.h"

class QLabel;

namespace rexmoor::gui {

class PageHeading : public QWidget {
  Q_OBJECT
 public:
  // What the last scan ended with.
  struct ScanEnd {
    bool stopped = false;  // by the user
    bool canContinue = false;
    int percent = 0;
    std::size_t found = 0;
  };

  explicit PageHeading(QWidget* parent = nullptr);
  void Show(Page page, WindowMode mode, const ScanEnd& scan);

 private:
  QLabel* title_ = nullptr;
  QLabel* text_ = nullptr;
};

}  // namespace rexmoor::gui
