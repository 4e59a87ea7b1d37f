// What every window of the desktop program shares: texts from the message catalog, applying a
// catalog section to a window's controls by their names, icons from the desktop's theme with the
// bundled ones as fallback, and the message box kinds.
#pragma once

#include <QIcon>
#include <QString>
#include <QVariant>

#include <string>

class QPushButton;
class QWidget;

namespace rexmoor::gui {

// A "Messages" text of the catalog.
QString Msg(const char* key);
QString Msg(const std::string& key);
// A text of another section ("MainWnd", "ScanWnd", ...).
QString SectionText(const char* section, const char* key);
QString FromUtf8(const std::string& text);
std::string ToUtf8(const QString& text);
// The last part of a path ("card.img" of "/tmp/card.img").
std::string FileNameOf(const std::string& path);

// Sets every control of the window named by a key of the section to the key's text: labels,
// buttons, check boxes, group boxes, menus' actions; the key "title" sets the window title.
// Keys without a text are left alone, so a missing translation keeps the English wording.
void ApplySection(QWidget* window, const char* section);

// An icon of the desktop's theme, or the bundled drawing of the same name.
QIcon ThemeIcon(const char* name);
// The icon the desktop shows for files of this extension ("jpg", "pdf"), by its MIME type.
QIcon FileTypeIcon(const QString& extension);
QIcon AppIcon();

// The desktop program's own settings beside the language choice: gui.ini in the folder of the
// user's config.ini (window size, recovery options). Read and written at each call, so a changed
// XDG_CONFIG_HOME is followed.
QVariant GuiSetting(const QString& key, const QVariant& fallback = {});
void SetGuiSetting(const QString& key, const QVariant& value);
// The size a main window had when it was last closed (and whether it was maximised), or one that
// fits the screen; and remembering it as it closes.
void RestoreWindowSize(QWidget* window);
void RememberWindowSize(const QWidget* window);

// A push button carrying its control name; its text comes with the window's section.
QPushButton* NamedButton(const char* objectName);

enum class BoxKind { Error = 0, Confirm = 1, Information = 2, Warning = 3, Question = 4 };
// A modal message box over the parent with the kind's title (MSG0401...MSG0405); returns 1 for
// OK or Yes, 2 for Cancel, No or the close box.
int ShowMessageBox(BoxKind kind, QWidget* parent, const QString& text);

}  // namespace rexmoor::gui
