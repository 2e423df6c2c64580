#include "ui/splash.h"

#include <QApplication>
#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QSplashScreen>
#include <QTimer>

#include "os/file.h"
#include "os/home.h"
#include "os/log.h"
#include "os/path.h"
#include "os/process.h"
#include "os/version.h"
#include "ui/qttext.h"
#include "ui/treeicons.h"

namespace zentu::ui {
namespace {

QPixmap OwnPicture() {
  QPixmap picture(420, 220);
  QPainter p(&picture);
  QLinearGradient background(0, 0, 0, picture.height());
  background.setColorAt(0, QColor(40, 70, 120));
  background.setColorAt(1, QColor(15, 30, 60));
  p.fillRect(picture.rect(), background);
  p.drawPixmap(28, 40, TreeImageList::Get().AppIcon().pixmap(64, 64));
  p.setPen(Qt::white);
  QFont title = p.font();
  title.setPointSize(30);
  title.setBold(true);
  p.setFont(title);
  p.drawText(QRect(110, 34, 300, 50), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Zentu"));
  QFont small = p.font();
  small.setPointSize(11);
  small.setBold(false);
  p.setFont(small);
  p.drawText(QRect(112, 86, 300, 24), Qt::AlignLeft | Qt::AlignVCenter,
             QString::fromStdString("v" + os::VersionText()) + U("  Web スクラップブック"));
  p.setPen(QColor(190, 200, 220));
  p.drawText(QRect(0, 170, picture.width() - 20, 30), Qt::AlignRight | Qt::AlignVCenter, U("起動しています..."));
  return picture;
}

// The program's own picture, when one was put beside it.
QPixmap FilePicture() {
  for (const std::string& dir : {os::ZentuHome(), os::ExecutableDirectory()}) {
    if (dir.empty()) continue;
    const std::string path = os::JoinPath(dir, "startup.bmp");
    const auto native = os::ToNativePath(path);
    if (!native || !os::FileExists(path)) continue;
    QPixmap picture(QString::fromUtf8(native->c_str()));
    if (!picture.isNull()) return picture;
    WriteLog("> can't read the splash picture %s", path.c_str());
  }
  return {};
}

}  // namespace

std::unique_ptr<QWidget> ShowSplash(std::chrono::milliseconds duration) {
  QPixmap picture = FilePicture();
  if (picture.isNull()) picture = OwnPicture();
  auto splash = std::make_unique<QSplashScreen>(picture, Qt::WindowStaysOnTopHint);
  splash->setObjectName(QStringLiteral("splash"));
  if (QScreen* screen = QGuiApplication::primaryScreen())
    splash->move(screen->geometry().center() - splash->rect().center());
  splash->show();
  QApplication::processEvents();  // painted before the start-up goes on
  QTimer::singleShot(static_cast<int>(duration.count()), splash.get(), &QWidget::close);
  return splash;
}

}  // namespace zentu::ui
