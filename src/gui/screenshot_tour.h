// A scripted walk through the program for the documentation: every page and the scan, search and
// recovery windows are saved as PNG files, at the default size and maximised. Started by
// `rexmoor-gui --screenshots DIR IMAGE` (scripts/screenshots.sh runs it under Xvfb).
#pragma once

#include <QString>

namespace rexmoor::gui {

class MainWindow;

// Runs the walk on the window (which must be shown) and quits the application when it is done.
// With a second image (documents, archives and photos to be carved), its previews and the
// thumbnail grid are saved too.
void StartScreenshotTour(MainWindow& window, const QString& folder, const QString& image, const QString& recoverTo,
                         const QString& previewImage = {});

}  // namespace rexmoor::gui
