// Where the desktop program writes: the folder the recovered files go to and the image file of a
// drive or partition, each checked (and where it matters asked about) before the first byte is
// written.
#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/image_job.h"
#include "app/recovery_job.h"
#include "app/scan_job.h"
#include "app/source_resolver.h"

class QWidget;

namespace rexmoor::gui {

// A folder on a scanned medium is confirmed by the user; one that cannot be written is refused,
// and one with too little room for the selection is confirmed. True when the recovery may start.
bool AcceptRecoveryFolder(QWidget* parent, const std::vector<ScanSourceEntry>& sources,
                          const std::vector<ResolvedSource>& scanned, const SelectionMap& selection,
                          const std::string& target);

// The folder a kept-folders recovery puts a source's files under: the name the disk list shows
// for the source, the image file's, else the device's.
std::string SourceFolderName(const std::vector<ScanSourceEntry>& sources, const std::vector<ResolvedSource>& scanned,
                             const FoundFileRecord& record);

// Asks for the image file (".img" added when the name has no extension) until one passes the
// checks; empty when the user gives up. A replacement chooser (tests) is asked only once, as it
// would give the same answer again.
using ImageTargetChooser = std::function<QString(QWidget* parent, const QString& proposedName)>;
std::string ChooseImageTarget(QWidget* parent, const ImageRequest& request, std::uint64_t imageBytes,
                              const QString& proposed, const QString& title, const ImageTargetChooser& chooser);

}  // namespace rexmoor::gui
