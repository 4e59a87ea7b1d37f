#include "gui/screenshot_tour.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QProgressBar>
#include <QScreen>
#include <QTableView>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QWidget>

#include <functional>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "gui/main_window.h"
#include "gui/thumbnail_grid.h"

namespace rexmoor::gui {

namespace {

void Save(QWidget* widget, const QString& folder, const QString& name) {
  QApplication::processEvents();
  widget->grab().save(QDir(folder).filePath(name + QStringLiteral(".png")));
}

// The size the window opened with (a fresh settings folder: three quarters of the screen), which
// the page pictures are taken at.
QSize g_defaultSize(800, 500);

void Click(QWidget* root, const char* name) {
  if (auto* button = root->findChild<QAbstractButton*>(QString::fromLatin1(name))) button->click();
}

// The card is scanned and searched faster than a window can be caught part-way: a job reporting
// past `from` percent waits there (a few seconds at most) until the picture of its window is taken.
class Hold {
 public:
  explicit Hold(int from) : from_(from) {}
  void At(int percent) {
    std::unique_lock<std::mutex> lock(lock_);
    if (percent >= from_) changed_.wait_for(lock, std::chrono::seconds(5), [this] { return taken_; });
  }
  void Taken() {
    {
      std::lock_guard<std::mutex> lock(lock_);
      taken_ = true;
    }
    changed_.notify_all();
  }

 private:
  const int from_;
  std::mutex lock_;
  std::condition_variable changed_;
  bool taken_ = false;
};

// Waits for a modal window of the given name, saves it once `ready` says so, and calls `then`.
void WhenModal(const QString& name, const QString& folder, const QString& file, std::function<bool(QWidget*)> ready,
               std::function<void(QWidget*)> then) {
  auto* timer = new QTimer;
  QObject::connect(timer, &QTimer::timeout, [=] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || modal->objectName() != name || !ready(modal)) return;
    timer->stop();
    timer->deleteLater();
    Save(modal, folder, file);
    if (then) then(modal);
  });
  timer->start(20);
}

// Opens the first type node whose text starts with one of the labels and previews a row of it.
bool PreviewNode(MainWindow& window, const QStringList& labels, int row = 0) {
  auto* tree = window.findChild<QTreeView*>(QStringLiteral("TypeTree"));
  auto* list = window.findChild<QTableView*>(QStringLiteral("FileList"));
  if (tree == nullptr || list == nullptr) return false;
  const QAbstractItemModel* nodes = tree->model();
  for (const QString& label : labels)
    for (int c = 0; c < nodes->rowCount(); ++c)
      for (int n = 0; n < nodes->rowCount(nodes->index(c, 0)); ++n) {
        const QModelIndex node = nodes->index(n, 0, nodes->index(c, 0));
        if (!node.data().toString().startsWith(label)) continue;
        tree->setCurrentIndex(node);
        if (list->model()->rowCount() <= row) return false;
        list->selectionModel()->clearCurrentIndex();
        list->selectRow(row);
        return true;
      }
  return false;
}

// Waits until the window shows the results page with no modal window over it.
void WhenResults(MainWindow& window, std::function<void()> then) {
  auto* timer = new QTimer(&window);
  QObject::connect(timer, &QTimer::timeout, &window, [&window, timer, then] {
    if (window.CurrentPage() != MainWindow::kPageResults || QApplication::activeModalWidget() != nullptr) return;
    timer->stop();
    timer->deleteLater();
    then();
  });
  timer->start(50);
}

// The card scanned again and stopped part-way: the results page of a stopped scan, with what was
// found until then and the button that continues it. The earlier, finished scan is not taken up.
void StoppedScanTour(MainWindow& window, const QString& folder, const QString& image, std::function<void()> then) {
  Click(&window, "TabScan");
  window.AddImageFile(image);
  constexpr int kStoppedAt = 20;
  auto hold = std::make_shared<Hold>(kStoppedAt);
  window.SetScanJobSetup([hold](ScanJob& job) {
    job.SetReportHook([hold](std::int32_t percent, bool withFigures) {
      if (withFigures) hold->At(percent);
    });
  });
  auto* rules = new QTimer(&window);
  auto step = std::make_shared<int>(0);
  QObject::connect(rules, &QTimer::timeout, &window, [rules, step, hold] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || !modal->isVisible()) return;
    auto* box = qobject_cast<QMessageBox*>(modal);
    const char* button = nullptr;
    if (*step == 0 && box != nullptr) {
      button = "cancelbtn";  // not the earlier scan: start afresh
    } else if (*step == 1 && modal->objectName() == QLatin1String("ScanProcessWnd")) {
      auto* files = modal->findChild<QLabel*>(QStringLiteral("totalfile"));
      auto* bar = modal->findChild<QProgressBar*>(QStringLiteral("progress"));
      if (files == nullptr || !files->isVisible() || bar == nullptr || bar->value() < kStoppedAt) return;
      button = "cancelbtn";
    } else if (*step == 2 && box != nullptr) {
      button = "okbtn";  // yes, stop
      hold->Taken();     // the question holds the scan from here on
    }
    if (button == nullptr) return;
    if (++*step == 3) rules->stop();
    if (auto* b = modal->findChild<QAbstractButton*>(QString::fromLatin1(button)))
      QTimer::singleShot(0, b, &QAbstractButton::click);
  });
  rules->start(5);
  QTimer::singleShot(0, &window, [&window] { Click(&window, "BtnScan"); });
  WhenResults(window, [&window, folder, rules, then] {
    rules->stop();
    rules->deleteLater();
    window.SetScanJobSetup({});
    window.resize(g_defaultSize);
    QTimer::singleShot(300, &window, [&window, folder, then] {
      Save(&window, folder, QStringLiteral("page3-results-stopped"));
      then();
    });
  });
}

// Opens each node in turn with the thumbnail grid on, saves the window once every thumbnail is
// there, and quits after the last.
void ThumbnailShots(MainWindow& window, const QString& folder, QList<std::pair<QString, QString>> shots) {
  if (shots.isEmpty() || !PreviewNode(window, {shots.front().first})) {
    QApplication::quit();
    return;
  }
  const QString file = shots.front().second;
  shots.pop_front();
  auto* toggle = window.findChild<QAbstractButton*>(QStringLiteral("ThumbnailsBtn"));
  if (toggle != nullptr && !toggle->isChecked()) toggle->click();
  window.resize(1100, 700);
  auto* wait = new QTimer(&window);
  QObject::connect(wait, &QTimer::timeout, &window, [&window, folder, wait, file, shots] {
    ThumbnailGrid* grid = window.Thumbnails();
    if (grid->Thumbnails()->Ready() < grid->model()->rowCount()) return;
    wait->stop();
    wait->deleteLater();
    Save(&window, folder, file);
    QTimer::singleShot(200, &window, [&window, folder, shots] { ThumbnailShots(window, folder, shots); });
  });
  wait->start(50);
}

// The previews of the second image: a document's text, an archive's listing, the thumbnail grid.
void PreviewTour(MainWindow& window, const QString& folder, const QString& previewImage) {
  Click(&window, "TabScan");
  window.AddImageFile(previewImage);
  QTimer::singleShot(0, &window, [&window] { Click(&window, "BtnScan"); });
  WhenResults(window, [&window, folder] {
    window.resize(900, 600);
    QTimer::singleShot(200, &window, [&window, folder] {
      if (PreviewNode(window, {QStringLiteral("Microsoft Word")}))
        Save(&window, folder, QStringLiteral("preview-document"));
      if (PreviewNode(window, {QStringLiteral("ZIP Archives")}))
        Save(&window, folder, QStringLiteral("preview-archive"));
      if (PreviewNode(window, {QStringLiteral("HEIF/HEIC Pictures")}))
        Save(&window, folder, QStringLiteral("preview-heic"));
      if (PreviewNode(window, {QStringLiteral("Canon Raw CR2")}))
        Save(&window, folder, QStringLiteral("preview-raw"));
      // The thumbnail grids of the JPEG photos, the phone's HEIC pictures and the raw file.
      ThumbnailShots(window, folder, {{QStringLiteral("JPG/JPEG"), QStringLiteral("thumbnails")},
                                      {QStringLiteral("HEIF/HEIC Pictures"), QStringLiteral("thumbnails-heic")},
                                      {QStringLiteral("Canon Raw CR2"), QStringLiteral("thumbnails-raw")}});
    });
  });
}

}  // namespace

void StartScreenshotTour(MainWindow& window, const QString& folder, const QString& image, const QString& recoverTo,
                         const QString& previewImage) {
  QDir().mkpath(folder);
  FileChoosers choosers;
  choosers.recoveryFolder = [recoverTo](QWidget*) { return recoverTo; };
  window.SetChoosers(choosers);
  g_defaultSize = window.size();
  QTimer::singleShot(300, &window, [&window, folder, image, previewImage] {
    window.resize(g_defaultSize);
    Save(&window, folder, QStringLiteral("page0-start"));
    Click(&window, "BtnStart");
    window.AddImageFile(image);
    Save(&window, folder, QStringLiteral("page1-disks"));
    Click(&window, "TabFileType");
    Save(&window, folder, QStringLiteral("page2-file-types"));
    // The scan and search windows are saved part-way, the recovery window once it is done.
    constexpr int kScanShownAt = 60;
    auto scanHold = std::make_shared<Hold>(kScanShownAt);
    auto searchHold = std::make_shared<Hold>(0);
    window.SetScanJobSetup([scanHold](ScanJob& job) {
      job.SetReportHook([scanHold](std::int32_t percent, bool withFigures) {
        if (withFigures) scanHold->At(percent);
      });
    });
    window.SetSearchJobSetup([searchHold](SearchJob& job) {
      job.SetReportHook([searchHold](std::int32_t percent) { searchHold->At(percent); });
    });
    WhenModal(QStringLiteral("ScanProcessWnd"), folder, QStringLiteral("window-scan"),
              [](QWidget* w) {
                auto* bar = w->findChild<QProgressBar*>(QStringLiteral("progress"));
                auto* files = w->findChild<QWidget*>(QStringLiteral("totalfile"));
                return bar != nullptr && bar->value() >= kScanShownAt && files != nullptr && files->isVisible();
              },
              [&window, scanHold](QWidget*) {
                scanHold->Taken();
                window.SetScanJobSetup({});
              });
    WhenModal(QStringLiteral("SearchProcessWnd"), folder, QStringLiteral("window-search"),
              [](QWidget* w) { return w->isVisible(); },
              [&window, searchHold](QWidget*) {
                searchHold->Taken();
                window.SetSearchJobSetup({});
              });
    QTimer::singleShot(0, &window, [&window] { Click(&window, "BtnScan"); });
    auto* waitResults = new QTimer(&window);
    QObject::connect(waitResults, &QTimer::timeout, &window, [&window, folder, waitResults, image, previewImage] {
      if (window.CurrentPage() != MainWindow::kPageResults || QApplication::activeModalWidget() != nullptr) return;
      waitResults->stop();
      Save(&window, folder, QStringLiteral("page3-results"));
      // The folder view, the last folder of the root open.
      Click(&window, "ByFolderBtn");
      if (auto* folders = window.findChild<QTreeView*>(QStringLiteral("FolderTree")); folders != nullptr) {
        const QModelIndex root = folders->model()->index(0, 0);
        if (const int children = folders->model()->rowCount(root); children > 0)
          folders->setCurrentIndex(folders->model()->index(children - 1, 0, root));
      }
      Save(&window, folder, QStringLiteral("page3-results-folders"));
      Click(&window, "ByTypeBtn");
      // The filters' panel, as its button opens it.
      if (auto* filters = window.findChild<QToolButton*>(QStringLiteral("FilterBtn")); filters && filters->menu()) {
        filters->menu()->popup(filters->mapToGlobal(QPoint(0, filters->height())));
        Save(filters->menu(), folder, QStringLiteral("filters"));
        filters->menu()->hide();
      }
      // Without a window manager (Xvfb) maximising is taking the whole screen.
      window.showMaximized();
      if (window.screen() != nullptr) window.setGeometry(window.screen()->availableGeometry());
      QTimer::singleShot(300, &window, [&window, folder, image, previewImage] {
        Save(&window, folder, QStringLiteral("page3-results-maximised"));
        window.showNormal();
        window.resize(g_defaultSize);
        QTimer::singleShot(300, &window, [&window, folder, image, previewImage] {
          // Check the photo category and recover it.
          window.CheckTypeNode(NodeRef{TypeCategory::Photo, std::nullopt}, true);
          Save(&window, folder, QStringLiteral("page3-results-checked"));
          WhenModal(QStringLiteral("RecoverProcessWnd"), folder, QStringLiteral("window-recovery"),
                    [](QWidget* w) {
                      auto* finish = w->findChild<QWidget*>(QStringLiteral("FinishBtn"));
                      return finish != nullptr && finish->isVisible();
                    },
                    [&window, folder, image, previewImage](QWidget* w) {
                      Click(w, "DetailBtn");
                      Save(w, folder, QStringLiteral("window-recovery-details"));
                      Click(w, "FinishBtn");
                      QTimer::singleShot(300, &window, [&window, folder, image, previewImage] {
                        // The card's previews: a photo and the first page of its PDF.
                        window.resize(900, 600);
                        if (PreviewNode(window, {QStringLiteral("JPG/JPEG")}, 1))
                          Save(&window, folder, QStringLiteral("preview-picture"));
                        window.resize(1100, 800);
                        if (PreviewNode(window, {QStringLiteral("Adobe PDF")}))
                          Save(&window, folder, QStringLiteral("preview-pdf"));
                        StoppedScanTour(window, folder, image, [&window, folder, previewImage] {
                          window.resize(900, 600);
                          if (previewImage.isEmpty())
                            QApplication::quit();
                          else
                            PreviewTour(window, folder, previewImage);
                        });
                      });
                    });
          QTimer::singleShot(0, &window, [&window] { Click(&window, "BtnRecover"); });
        });
      });
    });
    waitResults->start(50);
  });
}

}  // namespace rexmoor::gui
