// The bar across the top of the main window: the program's name, a tab per page after the start
// page, and the assist menu (the user guide, the language, about, exit).
#pragma once

#include <QWidget>

#include <string>

#include "gui/pages.h"

class QLabel;
class QMenu;
class QToolButton;

namespace rexmoor::gui {

class TopBar : public QWidget {
  Q_OBJECT
 public:
  explicit TopBar(QWidget* parent = nullptr);

  // The tabs for the page shown: none on the start page, no file types in the disk image mode.
  void Show(Page page, WindowMode mode);
  // The results tab opens once a search has results to show.
  void EnableResults();
  bool ResultsEnabled() const;
  void Retranslate();

 signals:
  void pageChosen(Page page);
  // The user chose another language (or the same one again).
  void languageChanged();

 private:
  void BuildAssistMenu();
  void FillLanguageMenu();
  void ChangeLanguage(const std::string& name);
  void ShowAbout();

  WindowMode mode_ = WindowMode::Recovery;
  QLabel* productName_ = nullptr;
  QToolButton* tabScan_ = nullptr;
  QToolButton* tabFileType_ = nullptr;
  QToolButton* tabRecover_ = nullptr;
  QToolButton* assist_ = nullptr;
  QMenu* assistMenu_ = nullptr;
  QMenu* languageMenu_ = nullptr;
};

}  // namespace rexmoor::gui
