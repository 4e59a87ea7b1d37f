#include "gui/gui_support.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QSvgRenderer>
#include <QWidget>

#include <algorithm>
#include <map>

#include "app/message_catalog.h"

namespace rexmoor::gui {

QString FromUtf8(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

std::string ToUtf8(const QString& text) { return text.toUtf8().toStdString(); }

std::string FileNameOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

QString Msg(const char* key) { return FromUtf8(GetMessageCatalog().Msg(key)); }

namespace {

QString GuiSettingsPath() {
  const std::string settings = UserSettingsPath();
  if (settings.empty()) return {};
  const std::size_t slash = settings.rfind('/');
  return FromUtf8(settings.substr(0, slash + 1) + "gui.ini");
}

}  // namespace

QVariant GuiSetting(const QString& key, const QVariant& fallback) {
  const QString path = GuiSettingsPath();
  if (path.isEmpty()) return fallback;
  return QSettings(path, QSettings::IniFormat).value(key, fallback);
}

void SetGuiSetting(const QString& key, const QVariant& value) {
  const QString path = GuiSettingsPath();
  if (path.isEmpty()) return;
  QSettings settings(path, QSettings::IniFormat);
  settings.setValue(key, value);
}

void RestoreWindowSize(QWidget* window) {
  const QRect screen = window->screen() != nullptr ? window->screen()->availableGeometry() : QRect(0, 0, 1280, 800);
  const QSize fits(screen.width() * 95 / 100, screen.height() * 95 / 100);
  QSize size = GuiSetting(QStringLiteral("window/size")).toSize();
  if (!size.isValid() || size.width() > fits.width() || size.height() > fits.height()) {
    // Three quarters of the screen, at least 1024 x 640 where the screen has the room.
    size = QSize(std::max(1024, screen.width() * 3 / 4), std::max(640, screen.height() * 3 / 4)).boundedTo(fits);
  }
  window->resize(size.expandedTo(window->minimumSize()));
  if (GuiSetting(QStringLiteral("window/maximised"), false).toBool())
    window->setWindowState(window->windowState() | Qt::WindowMaximized);
}

void RememberWindowSize(const QWidget* window) {
  SetGuiSetting(QStringLiteral("window/maximised"), window->isMaximized());
  if (!window->isMaximized() && !window->isFullScreen()) SetGuiSetting(QStringLiteral("window/size"), window->size());
}

QString Msg(const std::string& key) { return FromUtf8(GetMessageCatalog().Msg(key)); }

QString SectionText(const char* section, const char* key) { return FromUtf8(GetMessageCatalog().Text(section, key)); }

void ApplySection(QWidget* window, const char* section) {
  GetMessageCatalog().ApplySection(section, [window](const std::string& name, const std::string& text) {
    if (text.empty()) return;
    const QString value = FromUtf8(text);
    if (name == "title") {
      window->setWindowTitle(value);
      return;
    }
    const QString objectName = FromUtf8(name);
    for (QObject* object : window->findChildren<QObject*>(objectName)) {
      if (auto* label = qobject_cast<QLabel*>(object))
        label->setText(value);
      else if (auto* button = qobject_cast<QAbstractButton*>(object))
        button->setText(value);
      else if (auto* group = qobject_cast<QGroupBox*>(object))
        group->setTitle(value);
      else if (auto* menu = qobject_cast<QMenu*>(object))
        menu->setTitle(value);
      else if (auto* action = qobject_cast<QAction*>(object))
        action->setText(value);
      else if (auto* widget = qobject_cast<QWidget*>(object))
        widget->setToolTip(value);
    }
  });
}

namespace {

// SVG needs no icon-engine plugin this way: the drawing is rendered at the sizes views ask for.
QIcon RenderSvg(const QString& path) {
  QSvgRenderer renderer(path);
  if (!renderer.isValid()) return {};
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64, 128}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

QIcon Bundled(const QString& name) {
  static std::map<QString, QIcon> cache;
  auto it = cache.find(name);
  if (it != cache.end()) return it->second;
  QIcon icon = RenderSvg(QStringLiteral(":/icons/%1.svg").arg(name));
  cache.emplace(name, icon);
  return icon;
}

}  // namespace

QIcon ThemeIcon(const char* name) {
  const QString iconName = QString::fromLatin1(name);
  if (QIcon::hasThemeIcon(iconName)) return QIcon::fromTheme(iconName);
  return Bundled(iconName);
}

QIcon FileTypeIcon(const QString& extension) {
  static std::map<QString, QIcon> cache;
  auto it = cache.find(extension);
  if (it != cache.end()) return it->second;
  QMimeDatabase mimes;
  const QMimeType type = mimes.mimeTypeForFile(QStringLiteral("x.") + extension, QMimeDatabase::MatchExtension);
  QIcon icon;
  if (QIcon::hasThemeIcon(type.iconName())) icon = QIcon::fromTheme(type.iconName());
  if (icon.isNull() && QIcon::hasThemeIcon(type.genericIconName())) icon = QIcon::fromTheme(type.genericIconName());
  if (icon.isNull()) {
    const QString generic = type.genericIconName();
    const QString mime = type.name();
    QString fallback = QStringLiteral("text-x-generic");
    if (mime.startsWith(QLatin1String("image/")))
      fallback = QStringLiteral("image-x-generic");
    else if (mime.startsWith(QLatin1String("audio/")))
      fallback = QStringLiteral("audio-x-generic");
    else if (mime.startsWith(QLatin1String("video/")))
      fallback = QStringLiteral("video-x-generic");
    else if (generic == QLatin1String("package-x-generic") || mime.contains(QLatin1String("zip")) ||
             mime.contains(QLatin1String("compressed")) || mime.contains(QLatin1String("archive")))
      fallback = QStringLiteral("package-x-generic");
    else if (generic == QLatin1String("x-office-document") || mime.contains(QLatin1String("pdf")) ||
             mime.contains(QLatin1String("officedocument")) || mime.contains(QLatin1String("opendocument")) ||
             mime.contains(QLatin1String("msword")) || mime.contains(QLatin1String("ms-excel")) ||
             mime.contains(QLatin1String("ms-powerpoint")) || mime == QLatin1String("text/html"))
      fallback = QStringLiteral("x-office-document");
    icon = Bundled(fallback);
  }
  cache.emplace(extension, icon);
  return icon;
}

QIcon AppIcon() {
  if (QIcon::hasThemeIcon(QStringLiteral("rexmoor"))) return QIcon::fromTheme(QStringLiteral("rexmoor"));
  return Bundled(QStringLiteral("rexmoor"));
}

QPushButton* NamedButton(const char* objectName) {
  auto* button = new QPushButton;
  button->setObjectName(QString::fromLatin1(objectName));
  return button;
}

int ShowMessageBox(BoxKind kind, QWidget* parent, const QString& text) {
  struct Look {
    const char* title;
    QMessageBox::Icon icon;
    QMessageBox::StandardButton ok;
    QMessageBox::StandardButton cancel;  // NoButton: a notice with OK alone
  };
  static const Look kLooks[] = {
      {"MSG0401", QMessageBox::Critical, QMessageBox::Ok, QMessageBox::NoButton},
      {"MSG0402", QMessageBox::Warning, QMessageBox::Ok, QMessageBox::Cancel},
      {"MSG0403", QMessageBox::Information, QMessageBox::Ok, QMessageBox::NoButton},
      {"MSG0405", QMessageBox::Warning, QMessageBox::Ok, QMessageBox::NoButton},
      {"MSG0404", QMessageBox::Question, QMessageBox::Yes, QMessageBox::No},
  };
  const Look& look = kLooks[static_cast<int>(kind)];
  QMessageBox box(parent);
  box.setObjectName(QStringLiteral("MessageBox"));
  box.setText(text);
  box.setTextFormat(Qt::PlainText);
  box.setIcon(look.icon);
  QPushButton* ok = box.addButton(look.ok);
  QPushButton* cancel = look.cancel == QMessageBox::NoButton ? nullptr : box.addButton(look.cancel);
  ok->setObjectName(QStringLiteral("okbtn"));
  if (cancel != nullptr) {
    cancel->setObjectName(QStringLiteral("cancelbtn"));
    box.setDefaultButton(cancel);
    box.setEscapeButton(cancel);
  }
  ApplySection(&box, "MessageBox");
  box.setWindowTitle(Msg(look.title));
  box.exec();
  return box.clickedButton() == ok ? 1 : 2;
}

}  // namespace rexmoor::gui
