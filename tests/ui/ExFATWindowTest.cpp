// The window over an exFAT card made by mkfs.exfat and exfat-fuse: the
// drive dialog and its preview say exFAT, the live tree shows the long
// names, and deleted files are saved from the deleted view byte for byte.

#include <QPushButton>
#include <QTreeWidget>
#include <QLineEdit>
#include <QListWidget>
#include <QComboBox>
#include <QLabel>
#include <QtTest/QtTest>
#include <filesystem>

#include "fs/TFATDirectory.h"
#include "support/TempDir.h"
#include "ui/DriveDialogs.h"
#include "ui/RangeDialogForms.h"
#include "ui/TFileListModel.h"
#include "ui/UiTestSupport.h"

using namespace vantrel;
using namespace vantrel::test;

class ExFATWindowTest : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase() {
    SetUpApplication();
    if (std::filesystem::exists(Fixture("exfat-skip"))) QSKIP("no exFAT card image (no loop device or /dev/fuse)");
  }
  void ShowsAndSavesTheCardLikeAFATDrive();
};

void ExFATWindowTest::ShowsAndSavesTheCardLikeAFATDrive() {
  auto window = NewMainForm({Fixture("exfat-card.img")});
  QString listed;
  WhenModal<ui::TDriveDlg>([&](ui::TDriveDlg* dialog) {
    QCOMPARE(dialog->ListView1->count(), 1);
    listed = dialog->ListView1->item(0)->text();
    dialog->ListView1->setCurrentRow(0);
    dialog->ButtonOK->click();
  });
  window->MenuDriveClick();
  QVERIFY2(listed.contains("CARD"), qPrintable(listed));

  // The preview of the drive: its type, label and root.
  ui::TPreviewDrvDialog& preview = *window->PreviewDrvDialog;
  QVERIFY(preview.Fill(window->FDrive));
  QCOMPARE(preview.EditFAT->text(), QString("exFAT"));
  QCOMPARE(preview.EditVolLabel->text(), QString("CARD"));
  QVERIFY(!preview.ListView1->findItems("DCIM", Qt::MatchExactly).isEmpty());

  ShowNode(*window, window->FRootNode);
  QVERIFY(FindRow(*window, [](const TFSObject& o) { return DisplayNameOf(o) == "Café résumé naïve.txt"; }) >= 0);
  QVERIFY(FindRow(*window, [](const TFSObject& o) { return o.IsDirectory() && o.Name == "照片"; }) >= 0);

  // A click on "删除" shows the deleted view.
  const int fills = window->ListFillCount;
  QTest::mouseClick(window->TreeView->viewport(), Qt::LeftButton, {},
                    window->TreeView->visualItemRect(window->FDeletedNode).center());
  QTRY_VERIFY(window->ListFillCount > fills);
  QCOMPARE(window->FCurrentNode, window->FDeletedNode);
  const int file = FindRow(*window, [](const TFSObject& o) { return o.Name == "删除的文件.txt"; });
  const int folder = FindRow(*window, [](const TFSObject& o) { return o.IsDirectory() && o.Name == "Old Trip"; });
  QVERIFY(file >= 0 && folder >= 0);
  QCOMPARE(QString::fromStdString(window->ListView1->Item(file).SubItems[kColumnCondition - 1]), QString("好"));
  SelectRows(*window, {file, folder});
  TempDir target;
  QStringList offered;
  WhenModal<ui::TDirSelectForm>([&](ui::TDirSelectForm* dialog) {
    for (int i = 0; i < dialog->ComboBoxFAT->count(); ++i) offered << dialog->ComboBoxFAT->itemText(i);
    dialog->SelectFolder(QString::fromStdString(target.Path().string()));
    dialog->findChild<QPushButton*>("OKBtn")->click();
  });
  window->ButtonSaveTo->trigger();
  // One FAT: no FAT, the FAT, the free clusters.
  QCOMPARE(offered.size(), 3);
  const std::string expected = Fixture("exfat-card/deleted");
  QCOMPARE(ReadFile(target / "删除的文件.txt"), ReadFile(expected + "/删除的文件.txt"));
  QCOMPARE(ReadFile(target / "Old Trip/day2.jpg"), ReadFile(expected + "/Old Trip/day2.jpg"));
}

QTEST_MAIN(ExFATWindowTest)
#include "ExFATWindowTest.moc"
