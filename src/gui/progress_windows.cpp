#include "gui/progress_windows.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

#include <tuple>

#include "app/dfxml_report.h"
#include "app/message_catalog.h"
#include "gui/gui_support.h"

namespace rexmoor::gui {

namespace {

TextLookup CatalogTexts() {
  return [](const std::string& key) { return GetMessageCatalog().Msg(key); };
}

QLabel* AddLabel(QVBoxLayout* layout, const char* name) {
  auto* label = new QLabel;
  label->setObjectName(QString::fromLatin1(name));
  label->setTextFormat(Qt::PlainText);
  label->setMinimumWidth(1);  // long paths are cut by the window, not stretching it
  layout->addWidget(label);
  return label;
}

// Two labels on one line, the second at the right edge.
std::pair<QLabel*, QLabel*> AddLabelPair(QVBoxLayout* layout, const char* left, const char* right) {
  auto* row = new QHBoxLayout;
  row->setSpacing(12);
  auto* first = new QLabel;
  auto* second = new QLabel;
  first->setObjectName(QString::fromLatin1(left));
  second->setObjectName(QString::fromLatin1(right));
  for (QLabel* label : {first, second}) {
    label->setTextFormat(Qt::PlainText);
    label->setMinimumWidth(1);
  }
  second->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  row->addWidget(first, 1);
  row->addWidget(second);
  layout->addLayout(row);
  return {first, second};
}

}  // namespace

QuestionAsker::QuestionAsker(QWidget* window) : window_(window) {}

bool QuestionAsker::AskYesNo(const std::string& question) {
  const QString text = FromUtf8(question);
  if (QThread::currentThread() == thread())
    return ShowMessageBox(BoxKind::Question, window_, text) == 1;
  // A worker's question: the box must be shown by the window's thread, and the worker waits.
  bool answer = false;
  workerAsking_ = true;
  QMetaObject::invokeMethod(
      this, [this, &text, &answer] { answer = ShowMessageBox(BoxKind::Question, window_, text) == 1; },
      Qt::BlockingQueuedConnection);
  workerAsking_ = false;
  return answer;
}

ProgressWindow::ProgressWindow(QWidget* owner, const char* objectName, const char* section, int width, int height)
    : QDialog(owner), asker_(this), section_(section) {
  setObjectName(QString::fromLatin1(objectName));
  setModal(true);
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  resize(width, height);
  setMinimumSize(width, height);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(18, 16, 18, 14);
  layout->setSpacing(8);
  stage_ = AddLabel(layout, "stage");
  QFont bold = stage_->font();
  bold.setBold(true);
  stage_->setFont(bold);
  percent_ = AddLabel(layout, "percent");
  progress_ = new QProgressBar;
  progress_->setObjectName(QStringLiteral("progress"));
  progress_->setRange(0, 100);
  progress_->setValue(0);
  progress_->setTextVisible(false);
  layout->addWidget(progress_);
  cancel_ = NamedButton("cancelbtn");
  cancel_->setAutoDefault(false);
  connect(cancel_, &QPushButton::clicked, this, [this] { OnCancel(); });

  connect(this, &ProgressWindow::stageChanged, stage_, &QLabel::setText);
  connect(this, &ProgressWindow::percentChanged, percent_, &QLabel::setText);
  connect(this, &ProgressWindow::progressChanged, progress_, &QProgressBar::setValue);
  // Queued even when emitted on this thread, so that a job ending inside the cancel question
  // closes the window only after the question's own event loop is over.
  connect(this, &ProgressWindow::closeWith, this, &QDialog::done, Qt::QueuedConnection);
}

// Room above, and the cancel button at the bottom right.
void ProgressWindow::AddCancelRow() {
  auto* layout = static_cast<QVBoxLayout*>(this->layout());
  layout->addStretch();
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(cancel_);
  layout->addLayout(buttons);
}

void ProgressWindow::Retranslate() {
  cancel_->setText(tr("Cancel"));
  ApplySection(this, section_);
}

void ProgressWindow::reject() { OnCancel(); }

void ProgressWindow::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (started_) return;
  started_ = true;
  Retranslate();
  if (parentWidget() != nullptr) move(parentWidget()->window()->geometry().center() - rect().center());
  StartJob();
}

void ProgressWindow::ReportBar(std::int32_t percent) { emit progressChanged(std::clamp(percent, 0, 100)); }

// ---- scan ----

ScanProcessWnd::ScanProcessWnd(QWidget* owner, std::vector<ScanSourceEntry>& sources, bool deep, EngineMaker maker)
    : ProgressWindow(owner, "ScanProcessWnd", "ScanWnd", 450, 250) {
  auto* layout = static_cast<QVBoxLayout*>(this->layout());
  std::tie(time_, elapsed_) = AddLabelPair(layout, "time", "elapsed");
  std::tie(sectors_, speed_) = AddLabelPair(layout, "sectors", "speed");
  totalFiles_ = AddLabel(layout, "totalfile");
  sectors_->hide();
  speed_->hide();
  totalFiles_->hide();
  AddCancelRow();
  time_->setText(Msg("MSG0705"));
  elapsed_->setText(Msg("MSG0710") + FromUtf8(DurationText(0)));
  percent_->setText(Msg("MSG0704") + QStringLiteral(" 0%"));
  connect(this, &ScanProcessWnd::timeChanged, time_, &QLabel::setText);
  connect(this, &ScanProcessWnd::sectorsChanged, sectors_, &QLabel::setText);
  connect(this, &ScanProcessWnd::filesChanged, totalFiles_, &QLabel::setText);
  connect(this, &ScanProcessWnd::countersShown, sectors_, &QLabel::setVisible);
  connect(this, &ScanProcessWnd::countersShown, totalFiles_, &QLabel::setVisible);
  connect(this, &ScanProcessWnd::countersShown, speed_, &QLabel::setVisible);
  connect(this, &ScanProcessWnd::elapsedChanged, elapsed_, &QLabel::setText);
  connect(this, &ScanProcessWnd::speedChanged, speed_, &QLabel::setText);
  job_ = std::make_unique<ScanJob>(sources, deep, this, &asker_, this, CatalogTexts());
  if (maker) job_->SetEngineMaker(std::move(maker));
}

ScanProcessWnd::~ScanProcessWnd() { job_.reset(); }

void ScanProcessWnd::SetPercent(const std::string& text) { emit percentChanged(FromUtf8(text)); }
void ScanProcessWnd::SetStage(const std::string& text) { emit stageChanged(FromUtf8(text)); }
void ScanProcessWnd::SetTime(const std::string& text) { emit timeChanged(FromUtf8(text)); }
void ScanProcessWnd::SetSectors(const std::string& text) { emit sectorsChanged(FromUtf8(text)); }
void ScanProcessWnd::SetTotalFiles(const std::string& text) { emit filesChanged(FromUtf8(text)); }
void ScanProcessWnd::SetElapsed(const std::string& text) { emit elapsedChanged(FromUtf8(text)); }
void ScanProcessWnd::SetSpeed(const std::string& text) { emit speedChanged(FromUtf8(text)); }
void ScanProcessWnd::ShowCounters(bool visible) { emit countersShown(visible); }
void ScanProcessWnd::OnJobClosed(std::int32_t result) { emit closeWith(result); }

void ScanProcessWnd::StartJob() { job_->Start(); }

// The scan window closes itself once the job is over, also after a cancel: what was found so far
// is shown.
void ScanProcessWnd::OnCancel() {
  // While the job waits for an answer of its own, a cancel would wait for a job that waits for
  // this thread.
  if (job_->Done() || asker_.WorkerAsking()) return;
  job_->RequestCancel();
}

// ---- search ----

SearchProcessWnd::SearchProcessWnd(QWidget* owner, std::vector<ScanSourceEntry>& sources, const std::string& pattern)
    : ProgressWindow(owner, "SearchProcessWnd", "SearchProcessWnd", 450, 220) {
  AddCancelRow();
  percent_->setText(Msg("MSG1204") + QStringLiteral(" 0%"));
  job_ = std::make_unique<SearchJob>(sources, pattern, this, &asker_, this, CatalogTexts());
}

SearchProcessWnd::~SearchProcessWnd() { job_.reset(); }

RecordList SearchProcessWnd::TakeResults() {
  job_->Wait();
  return std::move(job_->Results());
}

void SearchProcessWnd::SetPercent(const std::string& text) { emit percentChanged(FromUtf8(text)); }
void SearchProcessWnd::SetStage(const std::string& text) { emit stageChanged(FromUtf8(text)); }

void SearchProcessWnd::StartJob() { job_->Start(); }

void SearchProcessWnd::OnCancel() {
  if (job_->Done()) return;
  if (job_->RequestCancel()) emit closeWith(2);
}

// ---- preview ----

PreviewProcessWnd::PreviewProcessWnd(QWidget* owner, std::vector<ScanSourceEntry>& sources,
                                     const FoundFileRecord& record, PreviewSession& session)
    : ProgressWindow(owner, "PreviewProcessWnd", "PreviewProcessWnd", 450, 250) {
  auto* layout = static_cast<QVBoxLayout*>(this->layout());
  fileName_ = AddLabel(layout, "FileName");
  layout->insertWidget(0, fileName_);
  AddCancelRow();
  const QString name = FromUtf8(std::string(RecordName(record)));
  fileName_->setText(name);
  stage_->setText(Msg("MSG0902") + QLatin1Char(' ') + name);
  percent_->setText(Msg("MSG0901") + QStringLiteral(" 0%"));
  job_ = std::make_unique<PreviewJob>(sources, record, session, this, &asker_, CatalogTexts());
  poll_ = new QTimer(this);
  poll_->setInterval(30);
  connect(poll_, &QTimer::timeout, this, [this] {
    if (job_->Done()) {
      poll_->stop();
      emit closeWith(Verdict());
    }
  });
}

PreviewProcessWnd::~PreviewProcessWnd() { job_.reset(); }

void PreviewProcessWnd::SetPercent(const std::string& text) { emit percentChanged(FromUtf8(text)); }

int PreviewProcessWnd::Verdict() const { return job_->Outcome() == kCancelled ? 2 : 1; }

int PreviewProcessWnd::Prepare() {
  job_->Start();
  // Most files are ready at once: the window would only flicker.
  for (int i = 0; i < 25 && !job_->Done(); ++i) QThread::msleep(10);
  if (job_->Done()) {
    job_->Wait();
    return Verdict();
  }
  const int result = exec();
  job_->Wait();
  return result;
}

void PreviewProcessWnd::StartJob() { poll_->start(); }

void PreviewProcessWnd::OnCancel() {
  if (job_->Done()) return;
  if (job_->RequestCancel()) {
    poll_->stop();
    emit closeWith(2);
  }
}

// ---- recovery ----

RecoverProcessWnd::RecoverProcessWnd(QWidget* owner, std::vector<ScanSourceEntry>& sources,
                                     const SelectionMap& selection, const std::string& targetFolder)
    : ProgressWindow(owner, "RecoverProcessWnd", "RecoverProcessWnd", 500, 250),
      target_(FromUtf8(targetFolder)),
      sources_(sources) {
  setSizeGripEnabled(true);
  auto* layout = static_cast<QVBoxLayout*>(this->layout());
  stage_->hide();
  current_ = AddLabel(layout, "current");
  current_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  recovered_ = AddLabel(layout, "recovered");
  details_ = new QTreeWidget;
  details_->setObjectName(QStringLiteral("DetailList"));
  details_->setColumnCount(2);
  details_->setRootIsDecorated(false);
  details_->setUniformRowHeights(true);
  details_->setTextElideMode(Qt::ElideMiddle);
  details_->header()->setStretchLastSection(false);
  details_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  details_->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
  details_->hide();
  layout->addWidget(details_, 1);
  layout->addStretch();
  auto* buttons = new QHBoxLayout;
  detail_ = NamedButton("DetailBtn");
  open_ = NamedButton("OpenBtn");
  finish_ = NamedButton("FinishBtn");
  finish_->hide();
  report_ = NamedButton("ReportBtn");
  report_->setEnabled(false);  // the report is whole once the job ended
  for (QPushButton* button : {detail_, report_, open_, finish_}) button->setAutoDefault(false);
  buttons->addWidget(detail_);
  buttons->addWidget(report_);
  buttons->addStretch();
  buttons->addWidget(open_);
  buttons->addWidget(finish_);
  buttons->addWidget(cancel_);
  layout->addLayout(buttons);

  connect(this, &RecoverProcessWnd::currentChanged, current_, &QLabel::setText);
  connect(this, &RecoverProcessWnd::countsChanged, recovered_, &QLabel::setText);
  connect(this, &RecoverProcessWnd::detailAdded, this, &RecoverProcessWnd::InsertDetail);
  connect(this, &RecoverProcessWnd::ended, this, &RecoverProcessWnd::ShowEnd);
  connect(open_, &QPushButton::clicked, this, [this] { QDesktopServices::openUrl(QUrl::fromLocalFile(target_)); });
  connect(finish_, &QPushButton::clicked, this, [this] { done(1); });
  connect(detail_, &QPushButton::clicked, this, &RecoverProcessWnd::ToggleDetails);
  connect(report_, &QPushButton::clicked, this, [this] {
    const QString path = QFileDialog::getSaveFileName(this, report_->text(), target_ + QStringLiteral("/report.xml"),
                                                      QStringLiteral("DFXML (*.xml)"));
    if (!path.isEmpty()) SaveReport(path);
  });
  job_ = std::make_unique<RecoveryJob>(sources, selection, targetFolder, this, &asker_, CatalogTexts());
}

RecoverProcessWnd::~RecoverProcessWnd() { job_.reset(); }

void RecoverProcessWnd::Retranslate() {
  ProgressWindow::Retranslate();
  details_->setHeaderLabels({SectionText("RecoverProcessWnd", "ColFile"), SectionText("RecoverProcessWnd", "ColStatus")});
}

bool RecoverProcessWnd::Ended() const { return !finish_->isHidden(); }

void RecoverProcessWnd::SetPercent(const std::string& text) { emit percentChanged(FromUtf8(text)); }
void RecoverProcessWnd::SetCurrent(const std::string& path) { emit currentChanged(FromUtf8(path)); }
void RecoverProcessWnd::SetCounts(const std::string& text) { emit countsChanged(FromUtf8(text)); }

void RecoverProcessWnd::AddDetail(const std::string& path, Result code, const std::string& status) {
  emit detailAdded(FromUtf8(path), code != kSuccess && code != kErrIncomplete, FromUtf8(status));
}

void RecoverProcessWnd::InsertDetail(const QString& path, bool failed, const QString& status) {
  auto* item = new QTreeWidgetItem({path, status});
  item->setToolTip(0, path);
  item->setTextAlignment(1, Qt::AlignCenter);
  if (failed) {
    // Failures gather at the top, in red.
    for (int column = 0; column < 2; ++column) item->setForeground(column, QColor(0xC6, 0x28, 0x28));
    details_->insertTopLevelItem(0, item);
  } else {
    details_->addTopLevelItem(item);
  }
}

void RecoverProcessWnd::StartJob() {
  collapsedSize_ = size();
  job_->Start();
}

bool RecoverProcessWnd::SaveReport(const QString& path) {
  const DfxmlReport report = RecoveryReport(*job_, sources_, {}, "rexmoor-gui", 0, false);
  const Result r = SaveDfxml(report, ToUtf8(path));
  if (r != kSuccess) ShowMessageBox(BoxKind::Error, this, path + QStringLiteral(": ") + FromUtf8(ResultMessage(r)));
  return r == kSuccess;
}

void RecoverProcessWnd::ShowEnd() {
  report_->setEnabled(true);
  if (writeReportOnEnd_ && !job_->Files().empty()) {
    const Result r = SaveDfxmlInTarget(RecoveryReport(*job_, sources_, {}, "rexmoor-gui", 0, false), ToUtf8(target_));
    if (r != kSuccess)
      ShowMessageBox(BoxKind::Error, this,
                     target_ + QStringLiteral("/report.xml: ") + FromUtf8(ResultMessage(r)));
  }
  finish_->show();
  cancel_->hide();
  finish_->setDefault(true);
  finish_->setFocus();
}

void RecoverProcessWnd::ToggleDetails() {
  const QPoint centre = geometry().center();
  if (details_->isHidden()) {
    details_->show();
    resize(width() + 150, height() + 300);
  } else {
    details_->hide();
    resize(collapsedSize_);
  }
  move(centre - rect().center());
}

void RecoverProcessWnd::OnCancel() {
  if (Ended()) {
    done(1);
    return;
  }
  if (job_->Done()) return;
  if (job_->RequestCancel()) emit closeWith(2);
}

// ---- disk image ----

CreateImageProcessWnd::CreateImageProcessWnd(QWidget* owner, ImageRequest request)
    : ProgressWindow(owner, "CreateImageProcessWnd", "CreateImageWnd", 450, 250) {
  auto* layout = static_cast<QVBoxLayout*>(this->layout());
  stage_->setWordWrap(true);
  time_ = AddLabel(layout, "time");
  sectors_ = AddLabel(layout, "sectors");
  AddCancelRow();
  time_->setText(Msg("MSG0304"));
  percent_->setText(Msg("MSG0301") + QStringLiteral(" 0%"));
  connect(this, &CreateImageProcessWnd::timeChanged, time_, &QLabel::setText);
  connect(this, &CreateImageProcessWnd::sectorsChanged, sectors_, &QLabel::setText);
  job_ = std::make_unique<ImageJob>(std::move(request), this, &asker_, CatalogTexts());
}

CreateImageProcessWnd::~CreateImageProcessWnd() { job_.reset(); }

void CreateImageProcessWnd::SetPercent(const std::string& text) { emit percentChanged(FromUtf8(text)); }
void CreateImageProcessWnd::SetStage(const std::string& text) { emit stageChanged(FromUtf8(text)); }
void CreateImageProcessWnd::SetTime(const std::string& text) { emit timeChanged(FromUtf8(text)); }
void CreateImageProcessWnd::SetSectors(const std::string& text) { emit sectorsChanged(FromUtf8(text)); }

void CreateImageProcessWnd::StartJob() {
  job_->Start();
  // The copy job reports its end through its result; the window looks for it as the other
  // windows' handshakes do.
  auto* poll = new QTimer(this);
  connect(poll, &QTimer::timeout, this, [this, poll] {
    if (!job_->Done()) return;
    poll->stop();
    job_->Wait();
    emit closeWith(job_->WindowResult());
  });
  poll->start(50);
}

void CreateImageProcessWnd::OnCancel() {
  if (job_->Done()) return;
  job_->RequestCancel();
}

}  // namespace rexmoor::gui
