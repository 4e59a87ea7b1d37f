#include "gui/screenshot_tour.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QPixmap>
#include <QProgressBar>
#include <QScreen>
#include <QTimer>
#include <QWidget>

#include <functional>

#include "gui/main_window.h"

namespace rexmoor::gui {

namespace {

void Save(QWidget* widget, const QString& folder, const QString& name) {
  QApplication::processEvents();
  widget->grab().save(QDir(folder).filePath(name + QStringLiteral(".png")));
}

void Click(QWidget* root, const char* name) {
  if (auto* button = root->findChild<QAbstractButton*>(QString::fromLatin1(name))) button->click();
}

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

}  // namespace

void StartScreenshotTour(MainWindow& window, const QString& folder, const QString& image, const QString& recoverTo) {
  QDir().mkpath(folder);
  FileChoosers choosers;
  choosers.recoveryFolder = [recoverTo](QWidget*) { return recoverTo; };
  window.SetChoosers(choosers);
  QTimer::singleShot(300, &window, [&window, folder, image] {
    window.resize(800, 500);
    Save(&window, folder, QStringLiteral("page0-start"));
    Click(&window, "BtnStart");
    window.AddImageFile(image);
    Save(&window, folder, QStringLiteral("page1-disks"));
    Click(&window, "TabFileType");
    Save(&window, folder, QStringLiteral("page2-file-types"));
    // The scan window is saved part-way, the recovery window once it is done.
    WhenModal(QStringLiteral("ScanProcessWnd"), folder, QStringLiteral("window-scan"),
              [](QWidget* w) {
                auto* bar = w->findChild<QProgressBar*>(QStringLiteral("progress"));
                auto* files = w->findChild<QWidget*>(QStringLiteral("totalfile"));
                return bar != nullptr && bar->value() >= 30 && files != nullptr && files->isVisible();
              },
              nullptr);
    WhenModal(QStringLiteral("SearchProcessWnd"), folder, QStringLiteral("window-search"),
              [](QWidget* w) { return w->isVisible(); }, nullptr);
    QTimer::singleShot(0, &window, [&window] { Click(&window, "BtnScan"); });
    auto* waitResults = new QTimer(&window);
    QObject::connect(waitResults, &QTimer::timeout, &window, [&window, folder, waitResults] {
      if (window.CurrentPage() != MainWindow::kPageResults || QApplication::activeModalWidget() != nullptr) return;
      waitResults->stop();
      Save(&window, folder, QStringLiteral("page3-results"));
      // Without a window manager (Xvfb) maximising is taking the whole screen.
      window.showMaximized();
      if (window.screen() != nullptr) window.setGeometry(window.screen()->availableGeometry());
      QTimer::singleShot(300, &window, [&window, folder] {
        Save(&window, folder, QStringLiteral("page3-results-maximised"));
        window.showNormal();
        window.resize(800, 500);
        QTimer::singleShot(300, &window, [&window, folder] {
          // Check the photo category and recover it.
          window.CheckTypeNode(NodeRef{TypeCategory::Photo, std::nullopt}, true);
          Save(&window, folder, QStringLiteral("page3-results-checked"));
          WhenModal(QStringLiteral("RecoverProcessWnd"), folder, QStringLiteral("window-recovery"),
                    [](QWidget* w) {
                      auto* finish = w->findChild<QWidget*>(QStringLiteral("FinishBtn"));
                      return finish != nullptr && finish->isVisible();
                    },
                    [folder](QWidget* w) {
                      Click(w, "DetailBtn");
                      Save(w, folder, QStringLiteral("window-recovery-details"));
                      Click(w, "FinishBtn");
                      QTimer::singleShot(200, [] { QApplication::quit(); });
                    });
          QTimer::singleShot(0, &window, [&window] { Click(&window, "BtnRecover"); });
        });
      });
    });
    waitResults->start(50);
  });
}

}  // namespace rexmoor::gui
