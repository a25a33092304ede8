// vantrel: the explorer window of the recovery tool.

#include <QApplication>
#include <QIcon>
#include <QTimer>

#include "ui/QtFrontEnd.h"
#include "ui/TMainForm.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("vantrel");
  // The installed theme's icon where there is one, else the same pictures
  // built into the program.
  QIcon builtIn;
  for (const int size : {16, 32, 48, 64, 128, 256}) builtIn.addFile(QString(":/icons/vantrel-%1.png").arg(size));
  QApplication::setWindowIcon(QIcon::fromTheme("vantrel", builtIn));
  QGuiApplication::setDesktopFileName("org.vantrel.vantrel");
  vantrel::ui::SetUpChinese();
  vantrel::ui::InstallQtFrontEnd();
  const vantrel::ui::TStartArguments arguments = vantrel::ui::ParseStartArguments(QApplication::arguments());
  vantrel::ui::TMainForm window(arguments);
  window.show();
  // With images named, the user came to open one of them.
  if (!window.Images().empty())
    QTimer::singleShot(0, &window, [&window] { window.MenuDriveClick(); });
  return app.exec();
}
