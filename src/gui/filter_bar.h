// The search field and filters above the file list: a name with wildcards, and a Filters button
// whose panel takes a size range, a range of the modified time and the states (how a file was
// found, and its condition). Every change gives the whole filter; the search field waits for a
// pause in the typing. The texts come from the main window's section.
#pragma once

#include <QWidget>

#include <array>

#include "app/record_filter.h"

class QCheckBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class QToolButton;

namespace rexmoor::gui {

class FilterBar : public QWidget {
  Q_OBJECT
 public:
  explicit FilterBar(QWidget* parent = nullptr);

  RecordFilter Filter() const;
  // Back to no filter at all (a new search), without a filterChanged.
  void Clear();
  void Retranslate();

 signals:
  void filterChanged();

 private:
  QWidget* BuildPanel();
  void Changed();
  int ActiveCount() const;

  QLineEdit* search_ = nullptr;
  QToolButton* button_ = nullptr;
  QTimer* typing_ = nullptr;
  QLineEdit* minSize_ = nullptr;
  QLineEdit* maxSize_ = nullptr;
  QCheckBox* sinceOn_ = nullptr;
  QCheckBox* untilOn_ = nullptr;
  QDateEdit* since_ = nullptr;
  QDateEdit* until_ = nullptr;
  std::array<QCheckBox*, 3> how_{};
  std::array<QCheckBox*, 3> condition_{};
  std::array<QLabel*, 4> labels_{};
  QPushButton* clear_ = nullptr;
};

}  // namespace rexmoor::gui
