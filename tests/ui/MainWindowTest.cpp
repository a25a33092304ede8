// The explorer window driven through its real widgets over fixture images:
// recovering deleted items end to end, command enabling, sorting, the tree
// debounce, images on the command line and the long-work guard.

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QListWidget>
#include <QToolBar>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QtTest/QtTest>
#include <filesystem>

#include "fs/TFATDirectory.h"
#include "support/TempDir.h"
#include "ui/DriveDialogs.h"
#include "ui/RangeDialogForms.h"
#include "ui/TFileListModel.h"
#include "ui/TStatusDialogForm.h"
#include "ui/TTreeAdapter.h"
#include "ui/UiTestSupport.h"

using namespace vantrel;
using namespace vantrel::test;

class MainWindowTest : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase() { SetUpApplication(); }
  void RecoversDeletedFileAndFolderEndToEnd();
  void CommandsFollowTheSelection();
  void SortsByEveryColumnBothWays();
  void RapidTreeChangesFillTheListOnce();
  void ImagesAreOpenedOnceAndBadFilesGetOneMessage();
  void RenameRefusesTheNameOfASibling();
  void LostDataSearchDisablesTheWindowAndRefusesASecondScan();
  void ReopenedDriveShowsItsFoldersAgain();
  void FindsALostDriveThroughTheSectorRangeDialog();
  void DebugWindowOnlyForDebugInCapitals();
  void RescanWhileADriveIsOpenClosesIt();
};

void MainWindowTest::RecoversDeletedFileAndFolderEndToEnd() {
  auto window = NewMainForm({Fixture("fat16.img")});
  OpenDrive(*window, 0);
  QCOMPARE(window->FViewState, 2);
  QCOMPARE(window->TreeView->topLevelItemCount(), 4);
  QStringList tops;
  for (int i = 0; i < 4; ++i) tops << window->TreeView->topLevelItem(i)->text(0);
  QCOMPARE(tops, QStringList({"根目录", "删除", "丢失", "搜索"}));

  window->FDeletedNode->setExpanded(true);
  QVERIFY(window->FDeletedNode->childCount() > 0);
  ShowNode(*window, window->FDeletedNode);
  QCOMPARE(window->ListView1->headerData(5, Qt::Horizontal, Qt::DisplayRole).toString(), QString("类型"));
  const int file = FindRow(*window, [](const TFSObject& o) {
    return !o.IsDirectory() && o.Status == isDeleted && DisplayNameOf(o) == "Deleted long name.txt";
  });
  const int folder = FindRow(*window, [](const TFSObject& o) {
    return o.IsDirectory() && o.Status == isDeleted && DisplayNameOf(o) == "_ree";
  });
  QVERIFY(file >= 0);
  QVERIFY(folder >= 0);
  // The type column comes from the MIME database.
  QVERIFY(!window->ListView1->Item(file).SubItems[kColumnType - 1].empty());
  SelectRows(*window, {file, folder});
  QVERIFY(window->MenuSaveTo->isEnabled());
  QCOMPARE(window->StatusPanel1[0]->text(), QString("2 对象被选择"));

  TempDir target;
  int fatOffered = -1;
  QString fatText;
  WhenModal<ui::TDirSelectForm>([&](ui::TDirSelectForm* dialog) {
    fatOffered = dialog->ComboBoxFAT->currentIndex();
    fatText = dialog->ComboBoxFAT->currentText();
    dialog->SelectFolder(QString::fromStdString(target.Path().string()));
    QCOMPARE(dialog->LabelFolder->text(), QString::fromStdString(target.Path().string() + "/"));
    dialog->findChild<QPushButton*>("OKBtn")->click();
  });
  window->ButtonSaveTo->trigger();
  // Deleted items are read from the free clusters (the FAT is usable here)
  // unless the user says otherwise.
  QCOMPARE(fatOffered, 3);
  QCOMPARE(fatText, QString("free clusters only"));
  QVERIFY(!window->StatusForm->isVisible());
  QCOMPARE(ReadFile(target / "Deleted long name.txt"), FixtureContent(1500));
  QCOMPARE(ReadFile(target / "_ree/_.txt"), FixtureContent(3000));
  QCOMPARE(ReadFile(target / "_ree/_nner/_.txt"), FixtureContent(6));
  QVERIFY(window->menuBar()->isEnabled());
}

void MainWindowTest::CommandsFollowTheSelection() {
  auto window = NewMainForm({Fixture("fat16.img")});
  // Without a drive only the drive, image, options and exit commands work.
  QVERIFY(window->MenuDrive->isEnabled());
  QVERIFY(window->MenuOpenImage->isEnabled());
  QVERIFY(!window->MenuSelectAll->isEnabled());
  QVERIFY(!window->ButtonFindLostData->isEnabled());
  QVERIFY(!window->ButtonSaveTo->isEnabled());
  OpenDrive(*window, 0);
  QVERIFY(window->MenuSelectAll->isEnabled());
  QVERIFY(window->ButtonFindLostData->isEnabled());
  ShowNode(*window, window->FRootNode);
  const int file = FindRow(*window, [](const TFSObject& o) { return !o.IsDirectory(); });
  const int folder = FindRow(*window, [](const TFSObject& o) { return o.IsDirectory(); });
  QVERIFY(file >= 0 && folder >= 0);

  SelectRows(*window, {});
  QVERIFY(!window->MenuSaveTo->isEnabled());
  QVERIFY(!window->ButtonSaveTo->isEnabled());
  QVERIFY(!window->MenuRename->isEnabled());
  QVERIFY(!window->PopupMenuSaveFileTo->isEnabled());
  SelectRows(*window, {file});
  QVERIFY(window->MenuSaveTo->isEnabled());
  QVERIFY(window->MenuRename->isEnabled());
  QVERIFY(window->PopupMenuRename->isEnabled());
  SelectRows(*window, {folder});
  QVERIFY(window->MenuRename->isEnabled());
  SelectRows(*window, {file, folder});
  QVERIFY(window->MenuSaveTo->isEnabled());
  QVERIFY(window->PopupMenuSaveFileTo->isEnabled());
  QVERIFY(!window->MenuRename->isEnabled());
  QVERIFY(!window->PopupMenuRename->isEnabled());
  // The views and the properties act on one item only.
  QVERIFY(!window->MenuViewAsHex->isEnabled());
  QVERIFY(!window->MenuProperties->isEnabled());

  // Select all counts everything; invert leaves the counts for the next click.
  window->MenuSelectAll->trigger();
  QCOMPARE(window->StatusPanel1[0]->text(), QString("%1 对象被选择").arg(window->ListView1->Count()));
  window->MenuInvertselection->trigger();
  QVERIFY(window->SelectedRows().empty());
  QCOMPARE(window->StatusPanel1[0]->text(), QString("%1 对象被选择").arg(window->ListView1->Count()));
  window->UpdateStatus();
  QCOMPARE(window->StatusPanel1[0]->text(), QString("%1 个对象").arg(window->ListView1->Count()));

  // Opening a folder from the list and going back up.
  SelectRows(*window, {folder});
  const TFSObject* opened = window->ObjectOf(folder);
  window->ListView1DblClick();
  QCOMPARE(ui::TTreeAdapter::DirectoryOf(window->FCurrentNode), opened);
  QVERIFY(window->ButtonParentDir->isEnabled());
  window->ButtonParentDirClick();
  QCOMPARE(window->FCurrentNode, window->FRootNode);
  QVERIFY(!window->ButtonParentDir->isEnabled());

  // The four view styles show the same model.
  for (auto style : {ui::lsLargeIcons, ui::lsSmallIcons, ui::lsList, ui::lsDetails}) {
    window->SetListStyle(style);
    QCOMPARE(window->ListView()->model(), window->ListView1);
  }
  QVERIFY(window->MenuDetails->isChecked());
}

void MainWindowTest::SortsByEveryColumnBothWays() {
  auto window = NewMainForm({Fixture("fat16.img")});
  OpenDrive(*window, 0);
  ShowNode(*window, window->FRootNode);
  auto& list = *window->ListView1;
  auto isDir = [&](int row) { return list.Item(row).Data->IsDirectory(); };
  auto number = [&](int row, int column) {
    const std::string& text = list.Item(row).SubItems[static_cast<std::size_t>(column - 1)];
    return text.empty() ? 0LL : std::stoll(text);
  };
  auto dateKey = [&](int row) {
    const std::string& t = list.Item(row).SubItems[kColumnDate - 1];  // dd.mm.yyyy hh:mm
    return t.substr(6, 4) + t.substr(3, 2) + t.substr(0, 2);
  };
  const int n = list.Count();
  QVERIFY(n >= 5);

  // Clicking the size header twice: ascending, then descending with the folders last.
  window->ListView1Details->header()->sectionClicked(kColumnSize);
  QCOMPARE(window->FSortColumn, kColumnSize);
  QVERIFY(window->FSortAscending);
  QVERIFY(isDir(0));
  for (int row = 1; row < n; ++row) {
    if (isDir(row - 1) != isDir(row)) {
      QVERIFY(isDir(row - 1));
      continue;
    }
    QVERIFY(number(row - 1, kColumnSize) <= number(row, kColumnSize));
  }
  window->ListView1Details->header()->sectionClicked(kColumnSize);
  QVERIFY(!window->FSortAscending);
  QVERIFY(!isDir(0));
  QVERIFY(isDir(n - 1));
  for (int row = 1; row < n; ++row)
    if (isDir(row - 1) == isDir(row)) QVERIFY(number(row - 1, kColumnSize) >= number(row, kColumnSize));

  // Cluster numbers are numbers, dates compare by their day.
  window->ListView1ColumnClick(kColumnCluster);
  for (int row = 1; row < n; ++row)
    if (isDir(row - 1) == isDir(row)) QVERIFY(number(row - 1, kColumnCluster) <= number(row, kColumnCluster));
  window->MenuArangebydate->trigger();
  QCOMPARE(window->FSortColumn, kColumnDate);
  for (int row = 1; row < n; ++row)
    if (isDir(row - 1) == isDir(row)) QVERIFY(dateKey(row - 1) <= dateKey(row));
  window->MenuArrangeDescendingOrder->trigger();
  for (int row = 1; row < n; ++row)
    if (isDir(row - 1) == isDir(row)) QVERIFY(dateKey(row - 1) >= dateKey(row));

  // Names, types and conditions through the folder's own comparison.
  for (int column : {kColumnName, kColumnCondition, kColumnType}) {
    for (bool ascending : {true, false}) {
      window->SortList(column, ascending);
      for (int row = 1; row < n; ++row) {
        const int r = window->ListView1Compare(list.Item(row - 1), list.Item(row));
        QVERIFY2(r <= 0, qPrintable(QString("column %1 row %2").arg(column).arg(row)));
      }
    }
  }
  // A new folder shown keeps the order chosen.
  window->SortList(kColumnSize, true);
  window->FRootNode->setExpanded(true);
  QTreeWidgetItem* docs = nullptr;
  for (int i = 0; i < window->FRootNode->childCount(); ++i)
    if (window->FRootNode->child(i)->text(0) == "docs") docs = window->FRootNode->child(i);
  QVERIFY(docs);
  ShowNode(*window, docs);
  for (int row = 1; row < list.Count(); ++row)
    if (isDir(row - 1) == isDir(row)) QVERIFY(number(row - 1, kColumnSize) <= number(row, kColumnSize));
}

void MainWindowTest::RapidTreeChangesFillTheListOnce() {
  auto window = NewMainForm({Fixture("fat16.img")});
  OpenDrive(*window, 0);
  const int before = window->ListFillCount;
  // Three changes, each within 100 ms of the one before: only the last fills.
  QTimer::singleShot(30, window.get(), [&] { window->TreeView->setCurrentItem(window->FDeletedNode); });
  QTimer::singleShot(60, window.get(), [&] { window->TreeView->setCurrentItem(window->FLostNode); });
  window->TreeView->setCurrentItem(window->FRootNode);
  QTRY_COMPARE(window->FChangeCount, 0);
  QCOMPARE(window->ListFillCount, before + 1);
  QCOMPARE(window->FCurrentNode, window->FLostNode);
  // A change after a pause fills again.
  window->TreeView->setCurrentItem(window->FRootNode);
  QCOMPARE(window->ListFillCount, before + 2);
  QCOMPARE(window->FCurrentNode, window->FRootNode);
  QVERIFY(window->StatusPanel2->text().startsWith("内容 '"));
}

void MainWindowTest::ImagesAreOpenedOnceAndBadFilesGetOneMessage() {
  TempDir dir;
  WriteFile(dir / "empty.img", "");
  std::filesystem::create_directory(dir.Path() / "folder.img");
  // Two names of one image on the command line: one disk.
  const std::string link = dir / "link.img";
  std::filesystem::create_symlink(Fixture("disk.img"), link);
  auto window = NewMainForm({Fixture("disk.img"), link});
  QCOMPARE(window->Images().size(), std::size_t{1});

  QStringList messages;
  for (const std::string bad : {dir / "empty.img", dir / "folder.img", dir / "gone.img"}) {
    WhenModal<QMessageBox>([&](QMessageBox* box) {
      messages << box->text();
      box->button(QMessageBox::Ok)->click();
    });
    QVERIFY(!window->OpenImage(QString::fromStdString(bad)));
  }
  QCOMPARE(messages.size(), 3);
  QVERIFY(messages[0].contains("太小"));
  QVERIFY(messages[1].contains("文件夹"));
  QVERIFY(messages[2].contains("不存在"));
  QCOMPARE(window->Images().size(), std::size_t{1});

  // The same image opened again from the menu is still one disk; a second
  // image joins it, and the partitioned disk shows its three FAT volumes.
  QVERIFY(window->OpenImage(QString::fromStdString(Fixture("disk.img"))));
  QVERIFY(window->OpenImage(QString::fromStdString(Fixture("fat12.img"))));
  QCOMPARE(window->Images().size(), std::size_t{2});
  QStringList drives;
  WhenModal<ui::TDriveDlg>([&](ui::TDriveDlg* dialog) {
    for (int i = 0; i < dialog->ListView1->count(); ++i) drives << dialog->ListView1->item(i)->text();
    QCOMPARE(dialog->ListView2->count(), 2);
    dialog->ListView1->setCurrentRow(1);
    QVERIFY(dialog->ComboBoxFAT->isEnabled());
    QCOMPARE(dialog->ComboBoxFAT->count(), 4);  // no, 1, 2, free
    QCOMPARE(dialog->ComboBoxFAT->itemText(0), QString("no"));
    QVERIFY(dialog->findChild<QLabel*>("LabelFATNote")->isHidden());  // the first copy holds the chains
    QVERIFY(dialog->CheckBoxSkipBadClus->isChecked());
    dialog->ButtonOK->click();
  });
  window->MenuDriveClick();
  QCOMPARE(drives.size(), 4);
  QVERIFY(drives[0].startsWith("PRIMARY16"));
  QVERIFY(drives[0].contains("   on "));
  QVERIFY(drives[1].startsWith("LOGICAL32A"));
  QVERIFY(drives[3].startsWith("FAT12VOL"));
  QCOMPARE(window->FViewState, 2);
}

void MainWindowTest::RenameRefusesTheNameOfASibling() {
  auto window = NewMainForm({Fixture("fat16.img")});
  OpenDrive(*window, 0);
  ShowNode(*window, window->FRootNode);
  const int file = FindRow(*window, [](const TFSObject& o) { return DisplayNameOf(o) == "notes.txt"; });
  QVERIFY(file >= 0);
  TFSObject* object = window->ObjectOf(file);
  QString message;
  WhenModal<QMessageBox>([&](QMessageBox* box) {
    message = box->text();
    box->button(QMessageBox::Ok)->click();
  });
  QVERIFY(!window->ListView1->setData(window->ListView1->index(file, 0), "docs", Qt::EditRole));
  QCOMPARE(message, QString("notes.txt 不能重命名：具有此名称的项目已经存在。请选择其他名称。"));
  QCOMPARE(object->Name, std::string("notes.txt"));
  QVERIFY(window->ListView1->setData(window->ListView1->index(file, 0), "renamed.txt", Qt::EditRole));
  QCOMPARE(window->ListView1->data(window->ListView1->index(file, 0), Qt::DisplayRole).toString(),
           QString("renamed.txt"));
}

void MainWindowTest::LostDataSearchDisablesTheWindowAndRefusesASecondScan() {
  auto window = NewMainForm({Fixture("fat12.img")});
  OpenDrive(*window, 0);
  bool disabledDuringWork = false;
  bool secondScanRefused = false;
  WhenModal<ui::TClusterDialogForm>([&](ui::TClusterDialogForm* dialog) {
    QCOMPARE(dialog->EditStart->text(), QString("2"));
    QCOMPARE(dialog->GroupEnd->title(), QString("结束簇 (max. 4085)"));
    dialog->findChild<QPushButton*>("OKBtn")->click();
  });
  // While the search runs, the window takes no command that reads the disk.
  auto* probe = new QTimer(window.get());
  probe->setInterval(1);
  connect(probe, &QTimer::timeout, window.get(), [&] {
    if (!window->Busy()) return;
    disabledDuringWork = !window->menuBar()->isEnabled() && !window->ToolBar2->isEnabled();
    window->MenuDriveClick();  // would open the drive dialog, modal, if not refused
    secondScanRefused = qobject_cast<ui::TDriveDlg*>(QApplication::activeModalWidget()) == nullptr;
    probe->stop();
  });
  probe->start();
  window->MenuFindLostDataClick();
  probe->stop();
  QVERIFY(!window->Busy());
  QVERIFY(window->menuBar()->isEnabled());
  QVERIFY(disabledDuringWork);
  QVERIFY(secondScanRefused);
  QCOMPARE(window->TreeView->currentItem(), window->FLostNode);
  QTRY_COMPARE(window->FCurrentNode, window->FLostNode);
  // Running it twice replaces the lost nodes instead of adding to them.
  const int nodes = window->FLostNode->childCount();
  WhenModal<ui::TClusterDialogForm>(
      [](ui::TClusterDialogForm* dialog) { dialog->findChild<QPushButton*>("OKBtn")->click(); });
  window->MenuFindLostDataClick();
  QCOMPARE(window->FLostNode->childCount(), nodes);
}

void MainWindowTest::ReopenedDriveShowsItsFoldersAgain() {
  auto window = NewMainForm({Fixture("disk.img")});
  OpenDrive(*window, 0);
  window->FRootNode->setExpanded(true);
  const int children = window->FRootNode->childCount();
  QVERIFY(children > 0);
  OpenDrive(*window, 1);
  OpenDrive(*window, 0);
  window->FRootNode->setExpanded(true);
  QCOMPARE(window->FRootNode->childCount(), children);
}

void MainWindowTest::FindsALostDriveThroughTheSectorRangeDialog() {
  // The partitioned disk with its partition table wiped: no drive is listed
  // until the search finds the first volume at sector 2048.
  TempDir dir;
  const std::string image = dir / "wiped.img";
  std::filesystem::copy_file(Fixture("disk.img"), image);
  QVERIFY(Run("dd if=/dev/zero of=" + image + " bs=1 seek=446 count=64 conv=notrunc status=none"));
  auto window = NewMainForm({image});
  QStringList before, after;
  QString range;
  WhenModal<ui::TDriveDlg>([&](ui::TDriveDlg* dialog) {
    for (int i = 0; i < dialog->ListView1->count(); ++i) before << dialog->ListView1->item(i)->text();
    dialog->PageControl1->setCurrentIndex(1);
    dialog->ListView2->setCurrentRow(0);
    QVERIFY(dialog->ButtonFind->isEnabled());
    WhenModal<ui::TSectorDialogForm>([&](ui::TSectorDialogForm* sectors) {
      range = sectors->EditStart->text() + "-" + sectors->EditEnd->text();
      sectors->EditEnd->setText("4000");
      emit sectors->EditEnd->textEdited("4000");
      sectors->findChild<QPushButton*>("OKBtn")->click();
    });
    dialog->ButtonFind->click();
    QCOMPARE(dialog->PageControl1->currentIndex(), 0);
    for (int i = 0; i < dialog->ListView1->count(); ++i) after << dialog->ListView1->item(i)->text();
    dialog->ListView1->setCurrentRow(dialog->ListView1->count() - 1);
    dialog->ButtonOK->click();
  });
  window->MenuDriveClick();
  QCOMPARE(range, QString("0-100000"));
  QCOMPARE(after.size(), before.size() + 1);
  QVERIFY2(after.last().startsWith("PRIMARY16"), qPrintable(after.last()));
  QVERIFY(after.last().contains("(lost)"));
  QCOMPARE(window->FViewState, 2);
  ShowNode(*window, window->FRootNode);
  QVERIFY(FindRow(*window, [](const TFSObject& o) { return DisplayNameOf(o) == "hello.txt"; }) >= 0);
}

void MainWindowTest::DebugWindowOnlyForDebugInCapitals() {
  QVERIFY(ui::ParseStartArguments({"vantrel", "DEBUG"}).Debug);
  QVERIFY(!ui::ParseStartArguments({"vantrel", "debug"}).Debug);
  QVERIFY(!ui::ParseStartArguments({"vantrel", "a.img", "DEBUG"}).Debug);
  const ui::TStartArguments args = ui::ParseStartArguments({"vantrel", "DEBUG", "--only-images", "a.img"});
  QVERIFY(args.OnlyImages);
  QCOMPARE(args.Images, std::vector<std::string>({"a.img"}));
}

void MainWindowTest::RescanWhileADriveIsOpenClosesIt() {
  auto window = NewMainForm({Fixture("fat16.img")});
  OpenDrive(*window, 0);
  ShowNode(*window, window->FRootNode);
  QVERIFY(window->ListView1->Count() > 0);
  // The rescan frees every drive: the tree and the list must not keep
  // pointing into the one that was open.
  QString question, yesText;
  int drivesAfter = -1;
  WhenModal<ui::TDriveDlg>([&](ui::TDriveDlg* dialog) {
    WhenModal<QMessageBox>([&](QMessageBox* box) {
      question = box->text();
      // Qt's own buttons speak Chinese through Qt's translations.
      yesText = box->button(QMessageBox::Yes)->text();
      box->button(QMessageBox::Yes)->click();
    });
    dialog->Button3->click();
    drivesAfter = dialog->ListView1->count();
    dialog->reject();
  });
  window->MenuDriveClick();
  QCOMPARE(question, QString("您确实要重新扫描驱动器列表吗？"));
  QVERIFY2(yesText.startsWith("是"), qPrintable(yesText));
  QCOMPARE(drivesAfter, 1);
  QCOMPARE(window->FViewState, 1);
  QVERIFY(window->FDrive == nullptr);
  QCOMPARE(window->TreeView->topLevelItemCount(), 0);
  QCOMPARE(window->ListView1->Count(), 0);
  OpenDrive(*window, 0);
  ShowNode(*window, window->FRootNode);
  QVERIFY(window->ListView1->Count() > 0);
}

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
