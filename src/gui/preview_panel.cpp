#include "gui/preview_panel.h"

#include <QAudioOutput>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QImageReader>
#include <QLabel>
#include <QAudioDevice>
#include <QMediaDevices>
#include <QMediaPlayer>
#include <QResizeEvent>
#include <QScrollBar>
#include <QSlider>
#include <QStyle>
#include <QTextDocument>
#include <QTextEdit>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <QVideoWidget>

#include <algorithm>
#include <climits>

#include "gui/gui_support.h"

namespace rexmoor::gui {

namespace {

const QUrl kPictureUrl(QStringLiteral("preview://picture"));

QString TimeText(qint64 ms) {
  const qint64 seconds = ms / 1000;
  return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

// A rendered page without its blank margins (a small border kept), so that its text can fill the
// panel's width.
QImage CropMargins(const QImage& page) {
  const QImage image = page.convertToFormat(QImage::Format_RGB32);
  int top = image.height(), bottom = -1, left = image.width(), right = -1;
  for (int y = 0; y < image.height(); ++y) {
    const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
    for (int x = 0; x < image.width(); ++x) {
      if (qGray(line[x]) > 235) continue;
      top = std::min(top, y);
      bottom = std::max(bottom, y);
      left = std::min(left, x);
      right = std::max(right, x);
    }
  }
  if (bottom < 0) return page;  // an empty page stays as it is
  const int border = std::max(8, image.width() / 40);
  const QRect content = QRect(QPoint(left, top), QPoint(right, bottom)).adjusted(-border, -border, border, border);
  return page.copy(content.intersected(page.rect()));
}

}  // namespace

QImage ReadPicture(const QString& path, int maxSide) {
  QImageReader reader(path);
  reader.setAutoTransform(true);
  reader.setDecideFormatFromContent(true);  // found files often carry a wrong extension
  const QSize size = reader.size();
  if (size.isValid() && (size.width() > maxSide || size.height() > maxSide))
    reader.setScaledSize(size.scaled(maxSide, maxSide, Qt::KeepAspectRatio));
  QImage image = reader.read();
  if (image.isNull()) {
    // The reader of the extension's format, should the content sniffing have picked another.
    QImageReader byName(path);
    byName.setAutoTransform(true);
    image = byName.read();
  }
  if (!image.isNull() && (image.width() > maxSide || image.height() > maxSide))
    image = image.scaled(maxSide, maxSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  return image;
}

PreviewPanel::PreviewPanel(QWidget* parent) : QStackedWidget(parent) {
  setObjectName(QStringLiteral("PreviewPanel"));
  edit_ = new QTextEdit;
  edit_->setObjectName(QStringLiteral("PreviewEdit"));
  edit_->setReadOnly(true);
  addWidget(edit_);
  BuildPlayer();
  setCurrentWidget(edit_);
}

PreviewPanel::~PreviewPanel() {
  if (player_ != nullptr) player_->stop();
}

void PreviewPanel::BuildPlayer() {
  playerPage_ = new QWidget;
  playerPage_->setObjectName(QStringLiteral("MediaPlayer"));
  auto* layout = new QVBoxLayout(playerPage_);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(4);
  video_ = new QVideoWidget;
  video_->setObjectName(QStringLiteral("VideoView"));
  video_->setMinimumHeight(60);
  layout->addWidget(video_, 1);
  audioLabel_ = new QLabel;
  audioLabel_->setObjectName(QStringLiteral("AudioName"));
  audioLabel_->setAlignment(Qt::AlignCenter);
  audioLabel_->setWordWrap(true);
  layout->addWidget(audioLabel_, 1);
  auto* controls = new QHBoxLayout;
  play_ = new QToolButton;
  play_->setObjectName(QStringLiteral("PlayBtn"));
  play_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  slider_ = new QSlider(Qt::Horizontal);
  slider_->setObjectName(QStringLiteral("PositionSlider"));
  slider_->setRange(0, 0);
  time_ = new QLabel(QStringLiteral("0:00 / 0:00"));
  time_->setObjectName(QStringLiteral("MediaTime"));
  controls->addWidget(play_);
  controls->addWidget(slider_, 1);
  controls->addWidget(time_);
  layout->addLayout(controls);
  addWidget(playerPage_);

  player_ = new QMediaPlayer(this);
  // The FFmpeg back end (chosen with QT_MEDIA_BACKEND=ffmpeg) fails on an audio output when there
  // is no audio device at all; GStreamer, the default, needs one to keep time and copes without
  // a device.
  const bool ffmpeg = qEnvironmentVariable("QT_MEDIA_BACKEND") == QLatin1String("ffmpeg");
  if (!ffmpeg || !QMediaDevices::audioOutputs().isEmpty()) {
    audioOut_ = new QAudioOutput(this);
    player_->setAudioOutput(audioOut_);
  }
  player_->setVideoOutput(video_);
  connect(play_, &QToolButton::clicked, this, [this] {
    if (player_->playbackState() == QMediaPlayer::PlayingState)
      player_->pause();
    else
      player_->play();
  });
  connect(player_, &QMediaPlayer::playbackStateChanged, this, [this] { Retranslate(); });
  connect(player_, &QMediaPlayer::durationChanged, this, [this](qint64 duration) {
    slider_->setRange(0, static_cast<int>(std::min<qint64>(duration, INT_MAX)));
    UpdatePosition(player_->position());
  });
  connect(player_, &QMediaPlayer::positionChanged, this, &PreviewPanel::UpdatePosition);
  connect(slider_, &QSlider::sliderPressed, this, [this] { sliderHeld_ = true; });
  connect(slider_, &QSlider::sliderReleased, this, [this] {
    sliderHeld_ = false;
    player_->setPosition(slider_->value());
  });
  connect(player_, &QMediaPlayer::errorOccurred, this, [this](QMediaPlayer::Error error, const QString&) {
    if (error != QMediaPlayer::NoError && showing_ == Showing::Media) PlaybackFailed();
  });
  connect(player_, &QMediaPlayer::mediaStatusChanged, this, [this](QMediaPlayer::MediaStatus status) {
    if (status == QMediaPlayer::InvalidMedia && showing_ == Showing::Media) PlaybackFailed();
  });
  Retranslate();
}

void PreviewPanel::Retranslate() {
  edit_->setPlaceholderText(SectionText("MainWnd", "PreviewHint"));
  const bool playing = player_ != nullptr && player_->playbackState() == QMediaPlayer::PlayingState;
  play_->setText(SectionText("MainWnd", playing ? "PauseBtn" : "PlayBtn"));
  play_->setIcon(style()->standardIcon(playing ? QStyle::SP_MediaPause : QStyle::SP_MediaPlay));
}

void PreviewPanel::UpdatePosition(qint64 position) {
  if (!sliderHeld_) slider_->setValue(static_cast<int>(std::min<qint64>(position, INT_MAX)));
  time_->setText(TimeText(position) + QStringLiteral(" / ") + TimeText(player_->duration()));
}

void PreviewPanel::PlaybackFailed() {
  player_->stop();
  player_->setSource(QUrl());
  ShowMessage(Msg("MSG1207"));
}

void PreviewPanel::Clear() {
  if (player_->playbackState() != QMediaPlayer::StoppedState) player_->stop();
  player_->setSource(QUrl());
  picture_ = QImage();
  edit_->clear();
  edit_->setLineWrapMode(QTextEdit::WidgetWidth);
  setCurrentWidget(edit_);
  showing_ = Showing::Nothing;
}

void PreviewPanel::ShowMessage(const QString& text) {
  Clear();
  edit_->setPlainText(text);
  showing_ = Showing::Message;
}

void PreviewPanel::ShowText(const QString& text, bool fixedWidth) {
  Clear();
  QString shown = text;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  if (fixedWidth) {
    edit_->setCurrentFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    edit_->document()->setDefaultFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    edit_->setLineWrapMode(QTextEdit::NoWrap);
  } else {
    edit_->document()->setDefaultFont(font());
  }
  edit_->setPlainText(shown);
  edit_->verticalScrollBar()->setValue(0);
  showing_ = fixedWidth ? Showing::Dump : Showing::Text;
}

bool PreviewPanel::ShowPicture(const QString& path, bool fitWidth) {
  Clear();
  fitWidth_ = fitWidth;
  QImage image = ReadPicture(path);
  if (image.isNull() || image.width() <= 2 || image.height() <= 2) {
    ShowMessage(Msg("MSG0905"));
    return false;
  }
  picture_ = fitWidth ? CropMargins(image) : std::move(image);
  showing_ = Showing::Picture;
  FitPicture();
  return true;
}

void PreviewPanel::FitPicture() {
  if (picture_.isNull()) return;
  const QSize room = edit_->viewport()->size() - QSize(12, 12);
  QSize size = picture_.size();
  if (fitWidth_) {
    // A page: as wide as the panel, read by scrolling down.
    const int width = std::max(16, room.width() - edit_->verticalScrollBar()->sizeHint().width());
    if (size.width() > width) size = QSize(width, static_cast<int>(static_cast<qint64>(size.height()) * width / size.width()));
  } else if (size.width() > room.width() || size.height() > room.height()) {
    size = size.scaled(room.expandedTo(QSize(16, 16)), Qt::KeepAspectRatio);
  }
  QTextDocument* document = edit_->document();
  document->clear();
  document->addResource(QTextDocument::ImageResource, kPictureUrl, picture_);
  edit_->setHtml(QStringLiteral("<p align=\"center\"><img src=\"%1\" width=\"%2\" height=\"%3\"></p>")
                     .arg(kPictureUrl.toString())
                     .arg(size.width())
                     .arg(size.height()));
}

void PreviewPanel::resizeEvent(QResizeEvent* event) {
  QStackedWidget::resizeEvent(event);
  if (showing_ == Showing::Picture) FitPicture();
}

void PreviewPanel::Play(const QString& path, bool audio) {
  Clear();
  video_->setVisible(!audio);
  audioLabel_->setVisible(audio);
  audioLabel_->setText(QFileInfo(path).fileName());
  setCurrentWidget(playerPage_);
  showing_ = Showing::Media;
  slider_->setRange(0, 0);
  player_->setSource(QUrl::fromLocalFile(path));
  player_->play();
}

void PreviewPanel::Show(const PreviewData& data) {
  switch (data.show) {
    case PreviewShow::Nothing: Clear(); break;
    case PreviewShow::Picture: ShowPicture(FromUtf8(data.picturePath)); break;
    case PreviewShow::PdfPage: ShowPicture(FromUtf8(data.picturePath), true); break;
    case PreviewShow::Text: ShowText(FromUtf8(data.text), false); break;
    case PreviewShow::Dump: ShowText(FromUtf8(data.text), true); break;
    case PreviewShow::Media: {
      Play(FromUtf8(data.dataPath), data.plan.audio);
      audioLabel_->setText(FromUtf8(std::string(RecordName(data.record))));
      break;
    }
  }
}

}  // namespace rexmoor::gui
