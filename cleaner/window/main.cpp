// zentucleaner: finds the files of the data and text directories that nothing
// refers to and moves them aside. It only reads the main program's files.
//
// "--picture FILE" runs the orphan detection at once without asking anything,
// saves a picture of the list to FILE, prints the listed paths and exits:
// the window test and the README's picture use it.
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>
#include <string>

#include "capture/rules.h"
#include "cleaner/cleaner.h"
#include "cleaner/window/cleanerwindow.h"
#include "os/channel.h"
#include "os/home.h"
#include "os/log.h"
#include "os/path.h"
#include "os/process.h"
#include "ui/qttext.h"

using namespace zentu;

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QString picture;
  bool textMode = false;
  const QStringList args = app.arguments();
  for (int i = 1; i < args.size(); ++i) {
    if (args[i] == "--picture" && i + 1 < args.size()) picture = args[++i];
    if (args[i] == "--text") textMode = true;
  }
  os::EnsureZentuHome();
  os::InstanceLock lock = os::AcquireNamedLock("cleaner.lock");
  if (!lock) {
    if (picture.isEmpty())
      QMessageBox::warning(nullptr, ui::U("ZentuCleaner"), ui::U("2重起動は出来ません"));
    std::fprintf(stderr, "zentucleaner runs already\n");
    return 1;
  }
  const std::string home = os::ZentuHome();
  WriteLog("-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=");
  WriteLog(" Zentu Cleaner v%.2f%s", 0.99, "G");
  WriteLog("   - Last Updated: %s", "2006/11/25");
  WriteLog("-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=");
  WriteLog("Module File Path : %s", os::JoinPath(os::ExecutableDirectory(), "zentucleaner").c_str());
  cleaner::Settings settings = cleaner::ReadSettings(home);
  log::SetDebugFlag(settings.debug);
  bool showLog = cleaner::ReadShowLogView(home);
  const std::string extensions = os::JoinPath(home, "config\\extension.dat");
  WriteLog("Load Extension List : %s", extensions.c_str());
  ReadExtensionListOnly(extensions);

  cleaner::CleanerWindow window(settings, showLog);
  window.show();
  int status = 0;
  if (!picture.isEmpty()) {
    window.unattended = true;
    window.Dialog()->unattended = true;
    QObject::connect(&window, &cleaner::CleanerWindow::listShown, &app, [&](int count) {
      QTimer::singleShot(200, &app, [&, count] {
        if (!window.Dialog()->grab().save(picture)) status = 2;
        std::printf("listed %d\n", count);
        std::fflush(stdout);
        app.quit();
      });
    });
    QTimer::singleShot(100, &window, [&] { window.Detect(textMode ? cleaner::Mode::Text : cleaner::Mode::Data, true); });
  }
  int code = app.exec();
  if (picture.isEmpty() && !cleaner::WriteShowLogView(home, window.LogShown()))
    QMessageBox::warning(nullptr, ui::U("ZentuCleaner"), ui::U("設定ファイルがオープンできません"));
  return status ? status : code;
}
