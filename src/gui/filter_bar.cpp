#include "gui/filter_bar.h"

#include <QCheckBox>
#include <QDateEdit>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QWidgetAction>

#include "gui/gui_support.h"

namespace rexmoor::gui {

namespace {

QString Text(const char* key, const char* fallback) {
  const QString text = SectionText("MainWnd", key);
  return text.isEmpty() ? QString::fromLatin1(fallback) : text;
}

// The first or last moment of a day, in the time the list shows (FILETIME, no zone shift).
std::optional<std::uint64_t> DayTime(const QDate& day, bool endOfDay) {
  return ParseDateText(ToUtf8(day.toString(QStringLiteral("yyyy-MM-dd"))), endOfDay);
}

}  // namespace

FilterBar::FilterBar(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("FilterBar"));
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(4);
  search_ = new QLineEdit;
  search_->setObjectName(QStringLiteral("SearchEdit"));
  search_->setClearButtonEnabled(true);
  search_->addAction(ThemeIcon("edit-find"), QLineEdit::LeadingPosition);
  search_->setMinimumWidth(search_->fontMetrics().horizontalAdvance(QStringLiteral("M")) * 14);
  layout->addWidget(search_, 1);
  button_ = new QToolButton;
  button_->setObjectName(QStringLiteral("FilterBtn"));
  button_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  button_->setIcon(ThemeIcon("view-filter"));
  button_->setPopupMode(QToolButton::InstantPopup);
  auto* menu = new QMenu(button_);
  auto* action = new QWidgetAction(menu);
  action->setDefaultWidget(BuildPanel());
  menu->addAction(action);
  button_->setMenu(menu);
  layout->addWidget(button_);

  // The list follows the typing once it pauses, not at every key.
  typing_ = new QTimer(this);
  typing_->setSingleShot(true);
  typing_->setInterval(250);
  connect(typing_, &QTimer::timeout, this, &FilterBar::Changed);
  connect(search_, &QLineEdit::textChanged, typing_, qOverload<>(&QTimer::start));
  connect(search_, &QLineEdit::returnPressed, this, [this] {
    typing_->stop();
    Changed();
  });
  Retranslate();
}

QWidget* FilterBar::BuildPanel() {
  auto* panel = new QWidget;
  panel->setObjectName(QStringLiteral("FilterPanel"));
  auto* grid = new QGridLayout(panel);
  grid->setContentsMargins(12, 10, 12, 10);
  grid->setHorizontalSpacing(8);
  grid->setVerticalSpacing(6);
  for (QLabel*& label : labels_) label = new QLabel;
  auto sizeEdit = [](const char* name) {
    auto* edit = new QLineEdit;
    edit->setObjectName(QString::fromLatin1(name));
    edit->setPlaceholderText(QStringLiteral("10K, 2.5M, 1G"));
    edit->setClearButtonEnabled(true);
    return edit;
  };
  minSize_ = sizeEdit("MinSizeEdit");
  maxSize_ = sizeEdit("MaxSizeEdit");
  auto dateEdit = [](const char* name) {
    auto* edit = new QDateEdit(QDate::currentDate());
    edit->setObjectName(QString::fromLatin1(name));
    edit->setCalendarPopup(true);
    edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    edit->setEnabled(false);
    return edit;
  };
  since_ = dateEdit("SinceDate");
  until_ = dateEdit("UntilDate");
  sinceOn_ = new QCheckBox;
  sinceOn_->setObjectName(QStringLiteral("SinceBox"));
  untilOn_ = new QCheckBox;
  untilOn_->setObjectName(QStringLiteral("UntilBox"));
  grid->addWidget(labels_[0], 0, 0);
  grid->addWidget(minSize_, 0, 1);
  grid->addWidget(maxSize_, 0, 2);
  grid->addWidget(labels_[1], 1, 0);
  auto* sinceRow = new QHBoxLayout;
  sinceRow->addWidget(sinceOn_);
  sinceRow->addWidget(since_, 1);
  auto* untilRow = new QHBoxLayout;
  untilRow->addWidget(untilOn_);
  untilRow->addWidget(until_, 1);
  grid->addLayout(sinceRow, 1, 1);
  grid->addLayout(untilRow, 1, 2);
  const char* howNames[] = {"FoundDeleted", "FoundFormatted", "FoundCarved"};
  const char* conditionNames[] = {"ConditionIntactBox", "ConditionOverwrittenBox", "ConditionIncompleteBox"};
  grid->addWidget(labels_[2], 2, 0);
  grid->addWidget(labels_[3], 3, 0);
  for (std::size_t i = 0; i < 3; ++i) {
    how_[i] = new QCheckBox;
    how_[i]->setObjectName(QString::fromLatin1(howNames[i]));
    condition_[i] = new QCheckBox;
    condition_[i]->setObjectName(QString::fromLatin1(conditionNames[i]));
  }
  auto* howRow = new QVBoxLayout;
  auto* conditionRow = new QVBoxLayout;
  for (std::size_t i = 0; i < 3; ++i) {
    howRow->addWidget(how_[i]);
    conditionRow->addWidget(condition_[i]);
  }
  grid->addLayout(howRow, 2, 1, 1, 2);
  grid->addLayout(conditionRow, 3, 1, 1, 2);
  clear_ = new QPushButton;
  clear_->setObjectName(QStringLiteral("ClearFiltersBtn"));
  grid->addWidget(clear_, 4, 2, Qt::AlignRight);

  for (QLineEdit* edit : {minSize_, maxSize_}) connect(edit, &QLineEdit::editingFinished, this, &FilterBar::Changed);
  for (QCheckBox* box : {sinceOn_, untilOn_})
    connect(box, &QCheckBox::toggled, this, [this] {
      since_->setEnabled(sinceOn_->isChecked());
      until_->setEnabled(untilOn_->isChecked());
      Changed();
    });
  for (QDateEdit* edit : {since_, until_}) connect(edit, &QDateEdit::dateChanged, this, &FilterBar::Changed);
  for (std::size_t i = 0; i < 3; ++i) {
    connect(how_[i], &QCheckBox::toggled, this, &FilterBar::Changed);
    connect(condition_[i], &QCheckBox::toggled, this, &FilterBar::Changed);
  }
  connect(clear_, &QPushButton::clicked, this, [this] {
    Clear();
    emit filterChanged();
  });
  return panel;
}

RecordFilter FilterBar::Filter() const {
  RecordFilter filter;
  filter.name = ToUtf8(search_->text().trimmed());
  // A size that does not read as one is no limit; the field says so in red.
  filter.minSize = ParseSizeText(ToUtf8(minSize_->text()));
  filter.maxSize = ParseSizeText(ToUtf8(maxSize_->text()));
  if (sinceOn_->isChecked()) filter.since = DayTime(since_->date(), false);
  if (untilOn_->isChecked()) filter.until = DayTime(until_->date(), true);
  const FoundHow how[] = {FoundHow::Deleted, FoundHow::Formatted, FoundHow::Carved};
  const Condition conditions[] = {Condition::Intact, Condition::PossiblyOverwritten, Condition::Incomplete};
  for (std::size_t i = 0; i < 3; ++i) {
    if (how_[i]->isChecked()) filter.how |= Bit(how[i]);
    if (condition_[i]->isChecked()) filter.conditions |= Bit(conditions[i]);
  }
  return filter;
}

int FilterBar::ActiveCount() const {
  const RecordFilter f = Filter();
  return (f.minSize || f.maxSize ? 1 : 0) + (f.since || f.until ? 1 : 0) + (f.how != 0 ? 1 : 0) +
         (f.conditions != 0 ? 1 : 0);
}

void FilterBar::Changed() {
  for (QLineEdit* edit : {minSize_, maxSize_}) {
    const bool bad = !edit->text().trimmed().isEmpty() && !ParseSizeText(ToUtf8(edit->text()));
    edit->setStyleSheet(bad ? QStringLiteral("color: #c01c28;") : QString());
  }
  Retranslate();  // the button's count
  emit filterChanged();
}

void FilterBar::Clear() {
  const QSignalBlocker blockSearch(search_);
  search_->clear();
  typing_->stop();
  for (QLineEdit* edit : {minSize_, maxSize_}) {
    const QSignalBlocker block(edit);
    edit->clear();
    edit->setStyleSheet(QString());
  }
  for (QCheckBox* box : {sinceOn_, untilOn_}) {
    const QSignalBlocker block(box);
    box->setChecked(false);
  }
  since_->setEnabled(false);
  until_->setEnabled(false);
  for (std::size_t i = 0; i < 3; ++i) {
    const QSignalBlocker blockHow(how_[i]);
    const QSignalBlocker blockCondition(condition_[i]);
    how_[i]->setChecked(false);
    condition_[i]->setChecked(false);
  }
  Retranslate();
}

void FilterBar::Retranslate() {
  search_->setPlaceholderText(Text("SearchHint", "Search names (* and ? allowed)"));
  const int active = ActiveCount();
  const QString filters = Text("FilterBtn", "Filters");
  button_->setText(active == 0 ? filters : filters + QStringLiteral(" (%1)").arg(active));
  labels_[0]->setText(Text("FilterSize", "Size from / to:"));
  labels_[1]->setText(Text("FilterModified", "Modified from / to:"));
  labels_[2]->setText(Text("FilterFound", "Found:"));
  labels_[3]->setText(Text("FilterCondition", "Condition:"));
  how_[0]->setText(Text("FoundDeleted", "Deleted from a live volume"));
  how_[1]->setText(Text("FoundFormatted", "From a formatted volume"));
  how_[2]->setText(Text("FoundCarved", "Found by content (carved)"));
  condition_[0]->setText(Text("ConditionIntact", "Intact"));
  condition_[1]->setText(Text("ConditionOverwritten", "Possibly overwritten"));
  condition_[2]->setText(Text("ConditionIncomplete", "Incomplete (end estimated)"));
  clear_->setText(Text("ClearFiltersBtn", "Clear filters"));
}

}  // namespace rexmoor::gui
