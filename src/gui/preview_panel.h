// The preview panel beside the file list: a read-only text view (`PreviewEdit`) for pictures,
// rendered pages, document text and character dumps, and a player for audio and video with play,
// pause and a position slider.
#pragma once

#include <QImage>
#include <QStackedWidget>
#include <QString>

#include "preview/preview_job.h"

class QLabel;
class QMediaPlayer;
class QAudioOutput;
class QSlider;
class QTextEdit;
class QToolButton;
class QVideoWidget;

namespace rexmoor::gui {

class PreviewPanel : public QStackedWidget {
  Q_OBJECT
 public:
  explicit PreviewPanel(QWidget* parent = nullptr);
  ~PreviewPanel() override;

  QTextEdit* TextView() const { return edit_; }
  QMediaPlayer* Player() const { return player_; }

  // Stops playing and empties the panel.
  void Clear();
  void ShowMessage(const QString& text);
  // Shows what a preparation made ready.
  void Show(const PreviewData& data);
  // A picture file, fitted into the panel (a page: to its width); false (and MSG0905 shown) when
  // no reader could decode it.
  bool ShowPicture(const QString& path, bool fitWidth = false);
  void ShowText(const QString& text, bool fixedWidth);
  void Play(const QString& path, bool audio);
  void Retranslate();

  // What is on show (for tests and screenshots).
  enum class Showing { Nothing, Message, Picture, Text, Dump, Media };
  Showing Current() const { return showing_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void BuildPlayer();
  void FitPicture();
  void UpdatePosition(qint64 position);
  void PlaybackFailed();

  QTextEdit* edit_ = nullptr;
  QWidget* playerPage_ = nullptr;
  QVideoWidget* video_ = nullptr;
  QLabel* audioLabel_ = nullptr;
  QToolButton* play_ = nullptr;
  QSlider* slider_ = nullptr;
  QLabel* time_ = nullptr;
  QMediaPlayer* player_ = nullptr;
  QAudioOutput* audioOut_ = nullptr;
  QImage picture_;
  Showing showing_ = Showing::Nothing;
  bool sliderHeld_ = false;
  bool fitWidth_ = false;
};

// Decodes a picture file with the image readers (EXIF orientation applied); a null image when none
// could. Very large pictures are read scaled down to at most maxSide pixels on their longer side.
QImage ReadPicture(const QString& path, int maxSide = 4096);

}  // namespace rexmoor::gui
