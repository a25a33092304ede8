// vantrel: the explorer window of the recovery tool.

#include <QApplication>
#include <QTimer>

#include "ui/QtFrontEnd.h"
#include "ui/TMainForm.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  vantrel::ui::SetUpIdentity();
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
