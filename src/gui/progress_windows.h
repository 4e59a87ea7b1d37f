// The modal progress windows: scan, search, recovery and disk image. Each runs its job on a
// worker thread; the worker never touches a widget: what it reports reaches the window through
// queued signals. Cancel (the button, Esc or the close box) asks the job's question while the job
// lock is held, which pauses the worker at its next report; "no" lets it go on where it was.
#pragma once

#include <QDialog>
#include <QPointer>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "app/image_job.h"
#include "app/recovery_job.h"
#include "app/scan_job.h"
#include "app/search_job.h"
#include "preview/preview_job.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTreeWidget;

class QTimer;

namespace rexmoor::gui {

// Asks a yes/no question in a Question box over the window, from whichever thread asks: a
// worker's question is carried to the window's thread and the worker waits for the answer.
class QuestionAsker : public QObject, public IQuestionAsker {
  Q_OBJECT
 public:
  explicit QuestionAsker(QWidget* window);
  bool AskYesNo(const std::string& question) override;
  // A worker's question is on the screen.
  bool WorkerAsking() const { return workerAsking_.load(); }

 private:
  QPointer<QWidget> window_;
  std::atomic<bool> workerAsking_{false};
};

class ProgressWindow : public QDialog {
  Q_OBJECT
 public:
  ProgressWindow(QWidget* owner, const char* objectName, const char* section, int width, int height);

  // Texts again from the catalog (after a language change).
  virtual void Retranslate();

 signals:
  void stageChanged(const QString& text);
  void percentChanged(const QString& text);
  void progressChanged(int percent);
  void closeWith(int result);

 protected:
  void reject() override;  // Esc and the close box: the cancel protocol
  void showEvent(QShowEvent* event) override;
  virtual void StartJob() = 0;
  virtual void OnCancel() = 0;
  void ReportBar(std::int32_t percent);
  void AddCancelRow();

  QLabel* stage_;
  QLabel* percent_;
  QProgressBar* progress_;
  QPushButton* cancel_;
  QuestionAsker asker_;

 private:
  const char* section_;
  bool started_ = false;
};

class ScanProcessWnd : public ProgressWindow, public IScanProgressView, public IScanJobObserver {
  Q_OBJECT
 public:
  ScanProcessWnd(QWidget* owner, std::vector<ScanSourceEntry>& sources, bool deep, EngineMaker maker = {});
  ~ScanProcessWnd() override;

  bool ScanEnded() const { return ended_; }
  ScanJob& Job() { return *job_; }

  void SetProgressBar(std::int32_t percent) override { ReportBar(percent); }
  void SetPercent(const std::string& text) override;
  void SetStage(const std::string& text) override;
  void SetTime(const std::string& text) override;
  void SetSectors(const std::string& text) override;
  void SetTotalFiles(const std::string& text) override;
  void SetElapsed(const std::string& text) override;
  void SetSpeed(const std::string& text) override;
  void ShowCounters(bool visible) override;
  // The question box covers the window; hiding a modal window would end it.
  void SetVisible(bool) override {}
  void OnScanEnded() override { ended_ = true; }
  void OnJobClosed(std::int32_t result) override;

 signals:
  void timeChanged(const QString& text);
  void sectorsChanged(const QString& text);
  void filesChanged(const QString& text);
  void elapsedChanged(const QString& text);
  void speedChanged(const QString& text);
  void countersShown(bool visible);

 protected:
  void StartJob() override;
  void OnCancel() override;

 private:
  QLabel* time_;
  QLabel* sectors_;
  QLabel* totalFiles_;
  QLabel* elapsed_;
  QLabel* speed_;
  std::unique_ptr<ScanJob> job_;
  std::atomic<bool> ended_{false};
};

class SearchProcessWnd : public ProgressWindow, public ISearchProgressView, public IScanJobObserver {
  Q_OBJECT
 public:
  SearchProcessWnd(QWidget* owner, std::vector<ScanSourceEntry>& sources, const std::string& pattern);
  ~SearchProcessWnd() override;

  RecordList TakeResults();
  SearchJob& Job() { return *job_; }

  void SetProgressBar(std::int32_t percent) override { ReportBar(percent); }
  void SetPercent(const std::string& text) override;
  void SetStage(const std::string& text) override;
  void OnScanEnded() override {}
  void OnJobClosed(std::int32_t result) override { emit closeWith(result); }

 protected:
  void StartJob() override;
  void OnCancel() override;

 private:
  std::unique_ptr<SearchJob> job_;
};

// Prepares a preview: the engine copies the file out while the window shows the progress; Esc,
// the close box and Cancel ask MSG0903. Closes with 1 when the data is ready, 2 when cancelled.
class PreviewProcessWnd : public ProgressWindow, public IProgressBarView {
  Q_OBJECT
 public:
  PreviewProcessWnd(QWidget* owner, std::vector<ScanSourceEntry>& sources, const FoundFileRecord& record,
                    PreviewSession& session);
  ~PreviewProcessWnd() override;

  // Runs the preparation; the window only shows when it takes longer than a moment. Returns 1
  // or 2 as the window would.
  int Prepare();
  PreviewJob& Job() { return *job_; }

  void SetProgressBar(std::int32_t percent) override { ReportBar(percent); }
  void SetPercent(const std::string& text) override;

 protected:
  void StartJob() override;
  void OnCancel() override;

 private:
  int Verdict() const;
  QLabel* fileName_;
  QTimer* poll_;
  std::unique_ptr<PreviewJob> job_;
};

class RecoverProcessWnd : public ProgressWindow, public IRecoveryProgressView {
  Q_OBJECT
 public:
  RecoverProcessWnd(QWidget* owner, std::vector<ScanSourceEntry>& sources, const SelectionMap& selection,
                    const std::string& targetFolder);
  ~RecoverProcessWnd() override;

  RecoveryJob& Job() { return *job_; }
  bool Ended() const;
  // Writes the report beside the recovered files once the job ended.
  void WriteReportOnEnd(bool on) { writeReportOnEnd_ = on; }
  // Writes the report of what was recovered to path; false (and a message box) when it cannot.
  bool SaveReport(const QString& path);
  void Retranslate() override;
  QTreeWidget* DetailList() const { return details_; }

  void SetProgressBar(std::int32_t percent) override { ReportBar(percent); }
  void SetPercent(const std::string& text) override;
  void SetCurrent(const std::string& destinationPath) override;
  void SetCounts(const std::string& text) override;
  void AddDetail(const std::string& destinationPath, Result code, const std::string& status) override;
  void JobEnded() override { emit ended(); }

 signals:
  void currentChanged(const QString& text);
  void countsChanged(const QString& text);
  void detailAdded(const QString& path, bool failed, const QString& status);
  void ended();

 protected:
  void StartJob() override;
  void OnCancel() override;

 private:
  void ShowEnd();
  void ToggleDetails();
  void InsertDetail(const QString& path, bool failed, const QString& status);

  QString target_;
  QLabel* current_;
  QLabel* recovered_;
  QPushButton* open_;
  QPushButton* finish_;
  QPushButton* detail_;
  QPushButton* report_;
  QTreeWidget* details_;
  std::vector<ScanSourceEntry>& sources_;
  bool writeReportOnEnd_ = false;
  QSize collapsedSize_;
  std::unique_ptr<RecoveryJob> job_;
};

class CreateImageProcessWnd : public ProgressWindow, public IImageProgressView {
  Q_OBJECT
 public:
  CreateImageProcessWnd(QWidget* owner, ImageRequest request);
  ~CreateImageProcessWnd() override;

  ImageJob& Job() { return *job_; }

  void SetProgressBar(std::int32_t percent) override { ReportBar(percent); }
  void SetPercent(const std::string& text) override;
  void SetStage(const std::string& text) override;
  void SetTime(const std::string& text) override;
  void SetSectors(const std::string& text) override;

 signals:
  void timeChanged(const QString& text);
  void sectorsChanged(const QString& text);

 protected:
  void StartJob() override;
  void OnCancel() override;

 private:
  QLabel* time_;
  QLabel* sectors_;
  std::unique_ptr<ImageJob> job_;
};

}  // namespace rexmoor::gui
