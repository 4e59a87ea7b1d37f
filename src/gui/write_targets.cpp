#include "gui/write_targets.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

#include "app/catalog_format.h"
#include "app/message_catalog.h"
#include "gui/gui_support.h"
#include "platform/target_folder.h"
#include "platform/text.h"

namespace rexmoor::gui {

bool AcceptRecoveryFolder(QWidget* parent, const std::vector<ScanSourceEntry>& sources,
                          const std::vector<ResolvedSource>& scanned, const SelectionMap& selection,
                          const std::string& target) {
  // The target must not lie on a medium that was scanned: writing there can overwrite what is
  // still to be recovered. Compared by device, not by name.
  for (std::size_t i = 0; i < sources.size() && i < scanned.size(); ++i) {
    if (!sources[i].engine) continue;
    const SameMediumAnswer answer = TargetOnSource(scanned[i], target);
    if (!answer.same) continue;
    QString text = Msg("MSG0805");
    if (!answer.reason.empty()) text += QStringLiteral("\n\n(") + FromUtf8(answer.reason) + QLatin1Char(')');
    if (ShowMessageBox(BoxKind::Confirm, parent, text) != 1) return false;
    break;
  }
  // A folder that cannot take the files, or has too little room for them, is told before the
  // first file is written.
  std::uint64_t freeBytes = 0;
  std::string failedPath;
  if (const Result r = CheckTargetWritable(target, freeBytes, failedPath); r != kSuccess) {
    ShowMessageBox(BoxKind::Error, parent,
                   FromUtf8(FillCatalogText(GetMessageCatalog().Msg("MSG0840"), {failedPath, ResultMessage(r)})));
    return false;
  }
  std::uint64_t needed = 0;
  for (const auto& [key, record] : selection)
    if (record.isFolder == 0) needed += std::uint64_t{record.size};
  return needed <= freeBytes ||
         ShowMessageBox(BoxKind::Confirm, parent,
                        FromUtf8(FillCatalogText(GetMessageCatalog().Msg("MSG0841"),
                                                 {FormatSize(static_cast<std::int64_t>(needed)), target,
                                                  FormatSize(static_cast<std::int64_t>(freeBytes))}))) == 1;
}

std::string SourceFolderName(const std::vector<ScanSourceEntry>& sources, const std::vector<ResolvedSource>& scanned,
                             const FoundFileRecord& record) {
  for (std::size_t i = 0; i < sources.size(); ++i) {
    const ScanSourceEntry& s = sources[i];
    const std::uint16_t tag = s.kind == ScanSourceEntry::Kind::Image ? s.sourceTag : s.driveLetter;
    if (tag != record.sourceTag) continue;
    if (!s.displayName.empty()) return s.displayName;
    if (i < scanned.size()) return FileNameOf(scanned[i].text);
  }
  return "source";
}

std::string ChooseImageTarget(QWidget* parent, const ImageRequest& request, std::uint64_t imageBytes,
                              const QString& proposed, const QString& title, const ImageTargetChooser& chooser) {
  ImageRequest checked = request;
  for (;;) {
    QString path;
    if (chooser)
      path = chooser(parent, proposed);
    else
      path = QFileDialog::getSaveFileName(parent, title, QDir::home().filePath(proposed),
                                          SectionText("MainWnd", "ImageFilter") + QStringLiteral(" (*.img)"));
    if (path.isEmpty()) return {};
    if (QFileInfo(path).suffix().isEmpty()) path += QStringLiteral(".img");
    checked.targetPath = ToUtf8(path);
    const ImageTargetCheck check = CheckImageTarget(checked, imageBytes);
    if (check.Passed()) return checked.targetPath;
    ShowMessageBox(BoxKind::Information, parent, Msg(check.messageKey));
    if (chooser) return {};
  }
}

}  // namespace rexmoor::gui
