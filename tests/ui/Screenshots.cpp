// Writes pictures of the window with an open drive and of each dialog into
// a folder: vantrel-screenshots IMAGE OUTDIR. Run under a real X server
// (scripts/screenshots.sh starts one with xvfb-run).

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest/QTest>
#include <iostream>

#include "fs/TFATDirectory.h"
#include "ui/DriveDialogs.h"
#include "ui/RangeDialogForms.h"
#include "ui/TAboutDialog.h"
#include "ui/TDebugBoxForm.h"
#include "ui/TDialogSystemInfo.h"
#include "ui/TDriveInfoDialog.h"
#include "ui/TFindDialog.h"
#include "ui/TItemPropertiesDialog.h"
#include "ui/TViewerDialog.h"
#include "ui/TWelcomeDialog.h"
#include "ui/TFileListModel.h"
#include "ui/TOptionsDialog.h"
#include "ui/TStatusDialogForm.h"
#include "ui/UiTestSupport.h"

using namespace vantrel;
using namespace vantrel::test;

namespace {

QString outDir;

void Save(QWidget* widget, const QString& name) {
  if (widget->isWindow() && !widget->isActiveWindow()) widget->activateWindow();
  widget->raise();
  QTest::qWait(150);
  const QString path = outDir + "/" + name + ".png";
  if (!widget->window()->grab().save(path)) std::cerr << "cannot write " << path.toStdString() << "\n";
  else std::cout << path.toStdString() << "\n";
}

template <class T>
void Shoot(const QString& name, std::function<void(T*)> prepare = {}) {
  WhenModal<T>([name, prepare](T* dialog) {
    if (prepare) prepare(dialog);
    Save(dialog, name);
    dialog->reject();
  });
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 3) {
    std::cerr << "usage: vantrel-screenshots IMAGE OUTDIR\n";
    return 2;
  }
  outDir = argv[2];
  QDir().mkpath(outDir);
  SetUpApplication();
  auto window = NewMainForm({argv[1]});
  window->resize(900, 560);

  Shoot<ui::TDriveDlg>("drive-dialog", [](ui::TDriveDlg* d) {
    d->ListView1->setCurrentRow(0);
  });
  window->MenuDriveClick();
  // The real choice: the first drive.
  OpenDrive(*window, 0);
  window->FRootNode->setExpanded(true);
  window->FDeletedNode->setExpanded(true);
  ShowNode(*window, window->FDeletedNode);
  const int deleted = FindRow(*window, [](const TFSObject& o) { return o.Status == isDeleted && !o.IsDirectory(); });
  // The list has the focus, as after a click on the deleted file.
  window->activateWindow();
  window->ListView()->setFocus();
  QTest::qWait(100);
  if (deleted >= 0) SelectRows(*window, {deleted});
  Save(window.get(), "main-window");

  ShowNode(*window, window->FRootNode);
  window->SetListStyle(ui::lsLargeIcons);
  Save(window.get(), "main-window-large-icons");
  window->SetListStyle(ui::lsDetails);

  Shoot<ui::TPreviewDrvDialog>("preview-drive");
  window->PreviewDrvDialog->PreviewDrive = window->FDrive;
  window->PreviewDrvDialog->Execute();

  Shoot<ui::TSectorDialogForm>("sector-range-dialog");
  window->SectorDialog.SetDefaults(window->FDevice->TotalSectors, 512);
  window->SectorDialog.Execute(*window->SectorDialogForm);

  Shoot<ui::TClusterDialogForm>("cluster-range-dialog");
  window->MenuFindLostDataClick();

  Shoot<ui::TDirSelectForm>("folder-dialog", [](ui::TDirSelectForm* d) { d->SelectFolder(QDir::tempPath()); });
  ShowNode(*window, window->FRootNode);
  SelectRows(*window, {0});
  window->SaveSelection();

  Shoot<ui::TFATSelectDialog>("fat-select-dialog");
  window->FATSelectDialog->Fill(2, 0);
  window->FATSelectDialog->Execute();

  Shoot<ui::TOptionsDialog>("options-dialog");
  window->MenuOptionsClick();
  Shoot<ui::TOptionsDialog>("options-dialog-drive-access", [](ui::TOptionsDialog* d) {
    d->PageControl1->setCurrentIndex(2);
  });
  window->MenuOptionsClick();

  Shoot<QMessageBox>("rescan-question");
  window->DriveDlg->Button3Click();

  // The progress window as a scan shows it.
  window->Status.Init("查找丢失的数据", "扫描簇 1200 / 4085", "找到: 2 个文件夹, 5 个文件", "", "", true, true);
  window->Status.Total = 100;
  window->Status.Step = 37;
  window->Status.RefreshInterval = 0;
  window->Status.Show();
  window->Status.StepIt();
  Save(window->StatusForm, "progress-window");
  window->Status.Hide();

  // The viewer, find, the guide and the information dialogs.
  Shoot<ui::TWelcomeDialog>("welcome-dialog");
  window->WelcomeDialog->Execute();
  ShowNode(*window, window->FDeletedNode);
  const int deletedFile = FindRow(*window, [](const TFSObject& o) { return o.Status == isDeleted && !o.IsDirectory(); });
  auto view = [&window](bool hex) {
    WhenModal<ui::TFATSelectDialog>([hex](ui::TFATSelectDialog* fat) {
      Shoot<ui::TViewerDialog>(hex ? "viewer-hex" : "viewer-text");
      fat->accept();
    });
    window->ViewSelected(hex);
  };
  if (deletedFile >= 0) {
    SelectRows(*window, {deletedFile});
    view(true);
  }
  // The text view on a text file of the root.
  ShowNode(*window, window->FRootNode);
  const int textFile = FindRow(*window, [](const TFSObject& o) { return DisplayNameOf(o) == "readme.txt"; });
  if (textFile >= 0) {
    SelectRows(*window, {textFile});
    view(false);
  }
  ShowNode(*window, window->FRootNode);
  SelectRows(*window, {0});
  window->ListView()->setFocus();
  Shoot<ui::TItemPropertiesDialog>("item-properties-dialog");
  window->MenuPropertiesClick();
  Shoot<ui::TDriveInfoDialog>("drive-info-dialog");
  window->MenuDrvInfoClick();
  Shoot<ui::TDialogSystemInfo>("system-info-dialog");
  window->MenuSysInfoClick();
  Shoot<ui::TAboutDialog>("about-dialog");
  window->MenuAboutClick();
  // The find dialog is not modal: taken while it searches, after the hits came in.
  ui::TFindDialog* find = window->FindDialog;
  bool shot = false;
  QObject::connect(find->ListBoxFound->model(), &QAbstractItemModel::rowsInserted, find, [find, &shot] {
    if (shot || find->ListBoxFound->count() < 2) return;
    shot = true;
    // After the count label has caught up with the list.
    QTimer::singleShot(0, find, [find] { Save(find, "find-dialog"); });
  });
  QTimer::singleShot(0, find, [find] {
    find->EditName->setText("*.txt");
    find->ButtonStart->click();
  });
  window->MenuFindClick();
  Save(window.get(), "main-window-search");

  window->FDebugBox->SetVisible(true);
  Save(window->FDebugBox, "debug-window");
  return 0;
}
