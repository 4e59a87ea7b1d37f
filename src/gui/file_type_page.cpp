#include "gui/file_type_page.h"

#include <QCheckBox>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QVBoxLayout>

#include <algorithm>

#include "gui/gui_support.h"
#include "gui/pages.h"

namespace rexmoor::gui {

FileTypePage::FileTypePage(FileTypeSelection& types, QWidget* parent) : QScrollArea(parent), types_(types) {
  setObjectName(QStringLiteral("FileType"));
  setWidgetResizable(true);
  setFrameShape(QFrame::NoFrame);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  auto* content = new QWidget;
  auto* layout = new QVBoxLayout(content);
  layout->setContentsMargins(12, 4, 12, 4);
  for (const FileTypeGroup& group : ShippedFileTypeGroups()) {
    const TypeCategory category = group.category;
    auto* box = new QGroupBox;
    box->setObjectName(QString::fromLatin1(CategoryGroupName(category)));
    box->setCheckable(true);
    box->setChecked(true);
    auto* grid = new QGridLayout(box);
    grid->setHorizontalSpacing(16);
    std::vector<QCheckBox*>& boxes = options_[category];
    for (std::size_t i = 0; i < group.options.size(); ++i) {
      const FileTypeOption& option = group.options[i];
      auto* check = new QCheckBox(FromUtf8(option.text));
      check->setObjectName(FromUtf8(option.name));
      const std::string first = option.extensions.substr(0, option.extensions.find('|'));
      check->setIcon(category == TypeCategory::Other ? ThemeIcon("text-x-generic") : FileTypeIcon(FromUtf8(first)));
      check->setChecked(true);
      // Types the carver does not know come back only from a file system's folders: set apart.
      if (!option.carved) {
        QFont font = check->font();
        font.setItalic(true);
        check->setFont(font);
        check->setToolTip(SectionText("MainWnd", "ByNameOnlyTip"));
      }
      boxes.push_back(check);
      grid->addWidget(check, static_cast<int>(i / 3), static_cast<int>(i % 3));
      connect(check, &QCheckBox::clicked, this, [this, category, i](bool checked) {
        types_.SetOption(category, i, checked);
        emit typesChanged();
      });
    }
    // The group box's own check selects or clears the whole group, like the start page's box.
    connect(box, &QGroupBox::clicked, this, [this, category](bool checked) {
      types_.SetCategory(category, checked);
      emit typesChanged();
    });
    groups_[category] = box;
    grids_[category] = grid;
    layout->addWidget(box);
  }
  layout->addStretch();
  setWidget(content);
  viewport()->installEventFilter(this);
}

void FileTypePage::SyncBoxes() {
  for (TypeCategory category : kCategories) {
    groups_[category]->setChecked(types_.CategoryAnySelected(category));
    std::vector<QCheckBox*>& boxes = options_[category];
    for (std::size_t i = 0; i < boxes.size(); ++i) {
      // A group box that is unchecked disables its children; the options must stay clickable.
      boxes[i]->setEnabled(true);
      boxes[i]->setChecked(types_.OptionSelected(category, i));
    }
  }
}

void FileTypePage::Retranslate() {
  for (TypeCategory category : kCategories) groups_[category]->setTitle(SectionText("MainWnd", CategoryTextKey(category)));
}

bool FileTypePage::eventFilter(QObject* watched, QEvent* event) {
  if (watched == viewport() && event->type() == QEvent::Resize) LayOutOptions(viewport()->width());
  return QScrollArea::eventFilter(watched, event);
}

// As many option columns as the page is wide enough for, so that no text is cut.
void FileTypePage::LayOutOptions(int width) {
  // Option texts are data, not translations: their widest is measured once.
  if (widestOption_ == 0)
    for (const auto& [category, boxes] : options_)
      for (QCheckBox* box : boxes) widestOption_ = std::max(widestOption_, box->sizeHint().width());
  const int columns = std::clamp((width - 40) / (widestOption_ + 12), 1, 6);
  if (columns == columns_) return;
  columns_ = columns;
  for (auto& [category, grid] : grids_) {
    std::vector<QCheckBox*>& boxes = options_[category];
    for (QCheckBox* box : boxes) grid->removeWidget(box);
    for (int c = 0; c < 6; ++c) grid->setColumnStretch(c, 0);
    for (std::size_t i = 0; i < boxes.size(); ++i)
      grid->addWidget(boxes[i], static_cast<int>(i) / columns, static_cast<int>(i) % columns);
    for (int c = 0; c < columns; ++c) grid->setColumnStretch(c, 1);
  }
}

}  // namespace rexmoor::gui
