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
#include <QSvgRenderer>
#include <QWidget>

#include <map>

#include "app/message_catalog.h"

namespace rexmoor::gui {

QString FromUtf8(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

std::string ToUtf8(const QString& text) { return text.toUtf8().toStdString(); }

QString Msg(const char* key) { return FromUtf8(GetMessageCatalog().Msg(key)); }

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

int ShowMessageBox(BoxKind kind, QWidget* parent, const QString& text) {
  static const char* const kTitles[] = {"MSG0401", "MSG0402", "MSG0403", "MSG0405", "MSG0404"};
  QMessageBox box(parent);
  box.setObjectName(QStringLiteral("MessageBox"));
  box.setWindowTitle(Msg(kTitles[static_cast<int>(kind)]));
  box.setText(text);
  box.setTextFormat(Qt::PlainText);
  QPushButton* ok = nullptr;
  QPushButton* cancel = nullptr;
  switch (kind) {
    case BoxKind::Error:
      box.setIcon(QMessageBox::Critical);
      ok = box.addButton(QMessageBox::Ok);
      break;
    case BoxKind::Information:
      box.setIcon(QMessageBox::Information);
      ok = box.addButton(QMessageBox::Ok);
      break;
    case BoxKind::Warning:
      box.setIcon(QMessageBox::Warning);
      ok = box.addButton(QMessageBox::Ok);
      break;
    case BoxKind::Confirm:
      box.setIcon(QMessageBox::Warning);
      ok = box.addButton(QMessageBox::Ok);
      cancel = box.addButton(QMessageBox::Cancel);
      break;
    case BoxKind::Question:
      box.setIcon(QMessageBox::Question);
      ok = box.addButton(QMessageBox::Yes);
      cancel = box.addButton(QMessageBox::No);
      break;
  }
  ok->setObjectName(QStringLiteral("okbtn"));
  if (cancel != nullptr) {
    cancel->setObjectName(QStringLiteral("cancelbtn"));
    box.setDefaultButton(cancel);
    box.setEscapeButton(cancel);
  }
  ApplySection(&box, "MessageBox");
  box.setWindowTitle(Msg(kTitles[static_cast<int>(kind)]));
  box.exec();
  return box.clickedButton() == ok ? 1 : 2;
}

}  // namespace rexmoor::gui
