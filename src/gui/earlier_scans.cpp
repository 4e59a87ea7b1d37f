#include "gui/earlier_scans.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QListWidget>
#include <QPushButton>

#include "app/scan_job.h"
#include "gui/gui_support.h"

namespace rexmoor::gui {

EarlierScans::EarlierScans(QWidget* parent) : QGroupBox(parent) {
  setObjectName(QStringLiteral("EarlierScans"));
  auto* layout = new QHBoxLayout(this);
  list_ = new QListWidget;
  list_->setObjectName(QStringLiteral("EarlierScanList"));
  list_->setIconSize(QSize(20, 20));
  list_->setMaximumHeight(list_->fontMetrics().height() * 5 + 12);
  layout->addWidget(list_, 1);
  continue_ = NamedButton("BtnContinueEarlier");
  continue_->setIcon(ThemeIcon("media-optical"));
  layout->addWidget(continue_, 0, Qt::AlignTop);
  auto go = [this] {
    if (QListWidgetItem* item = list_->currentItem()) emit continueImage(item->data(Qt::UserRole).toString());
  };
  connect(continue_, &QPushButton::clicked, this, go);
  connect(list_, &QListWidget::itemActivated, this, go);
  connect(list_, &QListWidget::currentRowChanged, this, [this](int row) { continue_->setEnabled(row >= 0); });
  Retranslate();
  Refresh();
}

void EarlierScans::Refresh() {
  list_->clear();
  for (const std::string& path : ContinuableImageScans()) {
    const QFileInfo file(FromUtf8(path));
    auto* item = new QListWidgetItem(ThemeIcon("media-optical"),
                                     file.fileName() + QStringLiteral("  —  ") + file.absolutePath());
    item->setData(Qt::UserRole, file.absoluteFilePath());
    item->setToolTip(file.absoluteFilePath());
    list_->addItem(item);
  }
  if (list_->count() > 0) list_->setCurrentRow(0);
  continue_->setEnabled(list_->count() > 0);
  setVisible(list_->count() > 0);
}

void EarlierScans::Retranslate() {
  const QString title = SectionText("MainWnd", "EarlierScans");
  setTitle(title.isEmpty() ? QStringLiteral("Earlier scans you can continue") : title);
  const QString button = SectionText("MainWnd", "BtnContinueEarlier");
  continue_->setText(button.isEmpty() ? QStringLiteral("Continue") : button);
}

}  // namespace rexmoor::gui
