#include "gui/top_bar.h"

#include <QActionGroup>
#include <QButtonGroup>
#include <QDesktopServices>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QToolButton>
#include <QUrl>

#include "app/catalog_format.h"
#include "app/message_catalog.h"
#include "gui/gui_support.h"

namespace rexmoor::gui {

TopBar::TopBar(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("ToolBar"));
  setAutoFillBackground(true);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, palette.color(QPalette::Window).darker(108));
  setPalette(palette);
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(12, 6, 8, 6);
  auto* logo = new QLabel;
  logo->setPixmap(AppIcon().pixmap(32, 32));
  layout->addWidget(logo);
  productName_ = new QLabel;
  productName_->setObjectName(QStringLiteral("LblProductName"));
  QFont font = productName_->font();
  font.setPointSizeF(font.pointSizeF() + 2);
  font.setBold(true);
  productName_->setFont(font);
  layout->addWidget(productName_);
  layout->addSpacing(18);

  auto* group = new QButtonGroup(this);
  auto makeTab = [&](const char* name, const char* icon, Page page) {
    auto* tab = new QToolButton;
    tab->setObjectName(QString::fromLatin1(name));
    tab->setCheckable(true);
    tab->setAutoRaise(true);
    tab->setIcon(ThemeIcon(icon));
    tab->setIconSize(QSize(22, 22));
    tab->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    group->addButton(tab);
    layout->addWidget(tab);
    connect(tab, &QToolButton::clicked, this, [this, page] { emit pageChosen(page); });
    return tab;
  };
  tabScan_ = makeTab("TabScan", "drive-harddisk", kPageDisk);
  tabFileType_ = makeTab("TabFileType", "x-office-document", kPageFileType);
  tabRecover_ = makeTab("TabRecover", "folder", kPageResults);
  tabRecover_->setEnabled(false);
  layout->addStretch();

  assist_ = new QToolButton;
  assist_->setObjectName(QStringLiteral("BtnAssist"));
  assist_->setPopupMode(QToolButton::InstantPopup);
  assist_->setAutoRaise(true);
  assist_->setToolButtonStyle(Qt::ToolButtonTextOnly);
  BuildAssistMenu();
  assist_->setMenu(assistMenu_);
  layout->addWidget(assist_);
}

void TopBar::BuildAssistMenu() {
  assistMenu_ = new QMenu(this);
  assistMenu_->setObjectName(QStringLiteral("menu_assist"));
  auto addItem = [this](const char* name, auto slot) {
    QAction* action = assistMenu_->addAction(QString());
    action->setObjectName(QString::fromLatin1(name));
    connect(action, &QAction::triggered, this, slot);
    return action;
  };
  QAction* help = addItem("item_help", [] {
    // The user guide installed with the program, or the one of the source tree beside a build.
    const QString folder = FromUtf8(ProgramFolder());
    for (const QString& candidate : {folder + QStringLiteral("../share/rexmoor/guide/index.html"),
                                     folder + QStringLiteral("../docs/guide/index.html")}) {
      if (QFileInfo::exists(candidate)) {
        QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(candidate).absoluteFilePath()));
        return;
      }
    }
  });
  // The bar is always shown, so the keys work on every page.
  help->setShortcut(QKeySequence::HelpContents);
  addAction(help);
  languageMenu_ = assistMenu_->addMenu(QString());
  languageMenu_->setObjectName(QStringLiteral("item_language"));
  connect(languageMenu_, &QMenu::aboutToShow, this, &TopBar::FillLanguageMenu);
  addItem("item_about", [this] { ShowAbout(); });
  assistMenu_->addSeparator();
  QAction* exit = addItem("item_exit", [this] { window()->close(); });
  exit->setShortcut(QKeySequence::Quit);
  addAction(exit);
}

void TopBar::FillLanguageMenu() {
  languageMenu_->clear();
  auto* group = new QActionGroup(languageMenu_);
  const std::string current = GetMessageCatalog().CurrentLanguage();
  for (const auto& [name, value] : GetMessageCatalog().Languages()) {
    QAction* action = languageMenu_->addAction(FromUtf8(value.empty() ? name : value));
    action->setObjectName(FromUtf8(name));
    action->setCheckable(true);
    action->setChecked(name == current);
    group->addAction(action);
    connect(action, &QAction::triggered, this, [this, name = name] { ChangeLanguage(name); });
  }
  if (languageMenu_->isEmpty()) languageMenu_->addAction(FromUtf8(current))->setEnabled(false);
}

void TopBar::ChangeLanguage(const std::string& name) {
  if (!GetMessageCatalog().SetLanguage(name)) ShowMessageBox(BoxKind::Warning, window(), Msg("MSG1210"));
  emit languageChanged();
}

void TopBar::ShowAbout() {
  const QString title = SectionText("MainWnd", "item_about_title");
  QMessageBox::about(window(), title.isEmpty() ? QStringLiteral("Rexmoor") : title,
                     FromUtf8(FillCatalogText(GetMessageCatalog().Msg("MSG1211"), {REXMOOR_VERSION})) +
                         QStringLiteral("\n\n") + Msg("MSG1212"));
}

void TopBar::Show(Page page, WindowMode mode) {
  mode_ = mode;
  tabScan_->setChecked(page == kPageDisk);
  tabFileType_->setChecked(page == kPageFileType);
  tabRecover_->setChecked(page == kPageResults);
  for (QToolButton* tab : {tabScan_, tabFileType_, tabRecover_}) tab->setVisible(page != kPageStart);
  tabFileType_->setVisible(page != kPageStart && mode == WindowMode::Recovery);
  const bool image = mode == WindowMode::DiskImage;
  tabScan_->setText(image ? Msg("MSG0211") : Msg("MSG0503"));
  tabScan_->setIcon(ThemeIcon(image ? "media-optical" : "drive-harddisk"));
}

void TopBar::EnableResults() { tabRecover_->setEnabled(true); }

bool TopBar::ResultsEnabled() const { return tabRecover_->isEnabled(); }

void TopBar::Retranslate() {
  GetMessageCatalog().ApplySection("MenuWnd", [this](const std::string& name, const std::string& text) {
    if (text.empty()) return;
    for (QAction* action : assistMenu_->findChildren<QAction*>(FromUtf8(name))) action->setText(FromUtf8(text));
    if (name == "item_language") languageMenu_->setTitle(FromUtf8(text));
  });
  productName_->setText(Msg("MSG1209"));
  tabScan_->setText(mode_ == WindowMode::DiskImage ? Msg("MSG0211") : Msg("MSG0503"));
}

}  // namespace rexmoor::gui
