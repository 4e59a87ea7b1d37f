// rexmoor-gui: the desktop program. One copy runs per user: a second start hands over to the
// running one, which comes to the front, and ends.
#include <QApplication>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>

#include <unistd.h>

#include "gui/device_watch.h"
#include "gui/gui_support.h"
#include "gui/main_window.h"
#include "gui/screenshot_tour.h"

namespace {

QString InstanceName() { return QStringLiteral("rexmoor-gui-%1").arg(::getuid()); }

bool HandOverToRunningCopy(const QStringList& images) {
  QLocalSocket socket;
  socket.connectToServer(InstanceName());
  if (!socket.waitForConnected(500)) return false;
  QByteArray message = "raise\n";
  for (const QString& image : images) message += "image " + QFileInfo(image).absoluteFilePath().toUtf8() + "\n";
  socket.write(message);
  socket.waitForBytesWritten(1000);
  socket.disconnectFromServer();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("rexmoor"));
  QApplication::setApplicationDisplayName(QStringLiteral("Rexmoor"));
  QApplication::setApplicationVersion(QStringLiteral(REXMOOR_VERSION));
  QApplication::setDesktopFileName(QStringLiteral("rexmoor-gui"));
  QApplication::setWindowIcon(rexmoor::gui::AppIcon());

  // Image files named on the command line are listed at once.
  QStringList images = QApplication::arguments().mid(1);
  QString tourFolder;
  if (images.size() >= 3 && images.front() == QLatin1String("--screenshots")) {
    tourFolder = images.at(1);
    images = images.mid(2);
  } else if (HandOverToRunningCopy(images)) {
    return 0;
  }
  if (!tourFolder.isEmpty()) {
    rexmoor::gui::MainWindow window;
    window.show();
    rexmoor::gui::StartScreenshotTour(window, tourFolder, images.front(),
                                      images.size() > 1 ? images.at(1) : tourFolder + QStringLiteral("/recovered"),
                                      images.size() > 2 ? images.at(2) : QString());
    return QApplication::exec();
  }

  QLocalServer server;
  server.setSocketOptions(QLocalServer::UserAccessOption);
  if (!server.listen(InstanceName())) {
    // A copy that crashed leaves its socket behind.
    QLocalServer::removeServer(InstanceName());
    server.listen(InstanceName());
  }

  rexmoor::gui::MainWindow window;
  rexmoor::gui::UdevDeviceSource devices;
  window.SetDeviceSource(&devices);
  QObject::connect(&server, &QLocalServer::newConnection, &window, [&server, &window] {
    while (QLocalSocket* socket = server.nextPendingConnection()) {
      QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
      QObject::connect(socket, &QLocalSocket::readyRead, &window, [socket, &window] {
        while (socket->canReadLine()) {
          const QString line = QString::fromUtf8(socket->readLine()).trimmed();
          if (line == QLatin1String("raise")) {
            window.showNormal();
            window.raise();
            window.activateWindow();
          } else if (line.startsWith(QLatin1String("image ")) && !window.ScanRunning()) {
            window.AddImageFile(line.mid(6));
          }
        }
      });
    }
  });
  window.show();
  for (const QString& image : images) window.AddImageFile(image);
  return QApplication::exec();
}
