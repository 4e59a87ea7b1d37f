#include "gui/page_heading.h"

#include <QLabel>
#include <QVBoxLayout>

#include <string>

#include "app/catalog_format.h"
#include "app/message_catalog.h"
#include "gui/gui_support.h"

namespace rexmoor::gui {

namespace {

QLabel* HeadingLabel(const char* name, int pointDelta, bool bold) {
  auto* label = new QLabel;
  label->setObjectName(QString::fromLatin1(name));
  QFont font = label->font();
  font.setPointSizeF(font.pointSizeF() + pointDelta);
  font.setBold(bold);
  label->setFont(font);
  label->setWordWrap(true);
  return label;
}

}  // namespace

PageHeading::PageHeading(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("Heading"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(16, 10, 16, 6);
  layout->setSpacing(2);
  title_ = HeadingLabel("Txt1", 3, true);
  text_ = HeadingLabel("Txt2", 0, false);
  // Two lines for the explanation, so that a longer translation is never cut.
  text_->setMinimumHeight(2 * text_->fontMetrics().lineSpacing());
  text_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  layout->addWidget(title_);
  layout->addWidget(text_);
}

void PageHeading::Show(Page page, WindowMode mode, const ScanEnd& scan) {
  const bool image = mode == WindowMode::DiskImage;
  switch (page) {
    case kPageStart:
      title_->setText(SectionText("MainWnd", "StartTitle"));
      text_->setText(SectionText("MainWnd", "StartText"));
      break;
    case kPageDisk:
      title_->setText(Msg(image ? "MSG0212" : "MSG0501"));
      text_->setText(Msg(image ? "MSG0213" : "MSG0502"));
      break;
    case kPageFileType:
      title_->setText(Msg("MSG0601"));
      text_->setText(Msg("MSG0602") + QLatin1Char(' ') + SectionText("MainWnd", "ByNameOnlyLegend"));
      break;
    case kPageResults:
      title_->setText(Msg("MSG0801"));
      // A stopped scan is not an empty medium: say where it stopped and what it found until then.
      if (scan.stopped)
        text_->setText(FromUtf8(FillCatalogText(GetMessageCatalog().Msg(scan.canContinue ? "MSG0813" : "MSG0814"),
                                                {std::to_string(scan.percent), std::to_string(scan.found)})));
      else
        text_->setText(FromUtf8(FillCatalogText(GetMessageCatalog().Msg("MSG0802"), {std::to_string(scan.found)})));
      break;
  }
}

}  // namespace rexmoor::gui
