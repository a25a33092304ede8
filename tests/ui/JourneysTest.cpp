// The window's journeys as a person makes them, with the mouse and the keys:
// searches run twice, the drive dialog clicked, a folder typed for saving,
// searches started from dialogs, images opened one after another.

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTabBar>
#include <QTabWidget>
#include <QToolBar>
#include <QTreeView>
#include <QTreeWidget>
#include <QtTest/QtTest>
#include <filesystem>

#include "fs/TFATDirectory.h"
#include "fs/TFATdrive.h"
#include "support/LostImages.h"
#include "support/TempDir.h"
#include "ui/DriveDialogs.h"
#include "ui/QtFrontEnd.h"
#include "ui/RangeDialogForms.h"
#include "ui/TDebugBoxForm.h"
#include "ui/TFileListModel.h"
#include "ui/TFindDialog.h"
#include "ui/TStatusDialogForm.h"
#include "ui/TTreeAdapter.h"
#include "ui/UiTestSupport.h"

using namespace vantrel;
using namespace vantrel::test;

namespace {

void ClickAction(ui::TMainForm& window, QAction* action) {
  QWidget* button = window.ToolBar2->widgetForAction(action);
  QVERIFY(button && button->isEnabled());
  QTest::mouseClick(button, Qt::LeftButton);
}

void ClickTreeNode(ui::TMainForm& window, QTreeWidgetItem* node) {
  window.TreeView->scrollToItem(node);
  const int before = window.ListFillCount;
  QTest::mouseClick(window.TreeView->viewport(), Qt::LeftButton, {}, window.TreeView->visualItemRect(node).center());
  QTRY_VERIFY(window.ListFillCount > before && window.FCurrentNode == node);
}

void ClickListRow(ui::TMainForm& window, int row, Qt::KeyboardModifiers keys = {}) {
  QTreeView* view = window.ListView1Details;
  const QModelIndex index = window.ListView1->index(row, 0);
  view->scrollTo(index);
  QTest::mouseClick(view->viewport(), Qt::LeftButton, keys, view->visualRect(index).center());
}

void ClickRow(QListWidget* list, int row) {
  QListWidgetItem* item = list->item(row);
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(item).center());
}

void ClickOK(QDialog* dialog) { QTest::mouseClick(dialog->findChild<QPushButton*>("OKBtn"), Qt::LeftButton); }

// The search for lost data through the tool button, confirmed in the cluster dialog.
void FindLostDataByMouse(ui::TMainForm& window, const std::function<void()>& whileAsked = {}) {
  WhenModal<ui::TClusterDialogForm>([whileAsked](ui::TClusterDialogForm* dialog) {
    if (whileAsked) whileAsked();
    ClickOK(dialog);
  });
  ClickAction(window, window.ButtonFindLostData);
  QTRY_VERIFY(!window.Busy());
}

// A FAT16 volume with a folder of three files that a second format in place
// cut off from the root: the lost-data search finds it as a lost folder.
std::string LostFolderImage(const TempDir& dir) {
  const std::string image = dir / "lost.img";
  const std::string text = dir / "a.txt";
  WriteFile(text, FixtureContent(3000));
  ImageTool("mkfs.fat -F 16 -s 1 -n LOSTVOL -C " + image + " 8192");
  ImageTool("mmd -i " + image + " ::/KEEP");
  for (const char* name : {"A.TXT", "B.TXT", "C.TXT"}) ImageTool("mcopy -i " + image + " " + text + " ::/KEEP/" + name);
  ImageTool("mkfs.fat -F 16 -s 1 -n LOSTVOL " + image);
  return image;
}

bool ListPointsInto(ui::TMainForm& window, const TCustomDirectory* top) {
  for (int row = 0; row < window.ListView1->Count(); ++row)
    for (const TFSObject* o = window.ObjectOf(row); o; o = o->Parent)
      if (o == top) return true;
  return false;
}

}  // namespace

class JourneysTest : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase() { SetUpApplication(); }
  void SearchesRunTwiceWhileTheirResultsAreShown();
  void DriveDialogButtonsFollowClicksKeysAndTabs();
  void SavesIntoTheFolderTypedInTheBox();
  void LostDriveSearchStandsOverTheDriveDialog();
  void SavingKeepsTheSelection();
  void OpeningASecondImageKeepsWhatWasFound();
  void LostDriveSearchBeyondTwoTebibytes();
  void PreviewDecodesTheOemCodePage();
  void WindowFitsTheScreenAndShowsWholeNames();
};

void JourneysTest::SearchesRunTwiceWhileTheirResultsAreShown() {
  TempDir dir;
  auto window = NewMainForm({LostFolderImage(dir)});
  OpenDrive(*window, 0);
  FindLostDataByMouse(*window);
  QTreeWidgetItem* lost = window->FLostNode;
  QVERIFY(lost->childCount() > 0);
  ClickTreeNode(*window, lost->child(0));
  QVERIFY(window->ListView1->Count() > 0);
  ClickListRow(*window, 0);
  QCOMPARE(window->SelectedRows().size(), std::size_t{1});

  // The second search frees the folders the list shows: by the time it asks
  // for the range, nothing may point into them any more.
  bool listEmptied = false;
  auto* folder = dynamic_cast<TCustomDrive*>(window->FDrive)->LostDir.get();
  FindLostDataByMouse(*window, [&] { listEmptied = !ListPointsInto(*window, folder); });
  QVERIFY(listEmptied);
  QCOMPARE(window->FCurrentNode, window->FLostNode);
  QVERIFY(window->ListView1->Count() > 0);
  ClickListRow(*window, 0);
  QVERIFY(window->MenuSaveTo->isEnabled());
  QCOMPARE(window->StatusPanel1[0]->text(), QString("1 对象被选择"));

  // The same with "查找" while a node of the search results is shown.
  for (int round = 0; round < 2; ++round) {
    bool emptied = false;
    auto* poll = new QTimer(window.get());
    poll->setInterval(5);
    connect(poll, &QTimer::timeout, window.get(), [&, poll] {
      if (!window->FindDialog->isVisible() || window->FindDialog->Started()) return;
      poll->stop();
      emptied = !ListPointsInto(*window, window->FDrive->SearchDir.get());
      QTest::keyClicks(window->FindDialog->EditName, "*");
      QTest::mouseClick(window->FindDialog->ButtonStart, Qt::LeftButton);
    });
    poll->start();
    ClickAction(*window, window->ButtonFind);
    QTRY_VERIFY(!window->Busy());
    QVERIFY(emptied);
    QVERIFY(window->FSearchNode->childCount() > 0);
    ClickTreeNode(*window, window->FSearchNode->child(0));
    QVERIFY(window->ListView1->Count() > 0);
    ClickListRow(*window, 0);
    QVERIFY(window->MenuSaveTo->isEnabled());
  }
}

void JourneysTest::DriveDialogButtonsFollowClicksKeysAndTabs() {
  // One disk with three drives: the physical page has a single row.
  auto window = NewMainForm({Fixture("disk.img")});
  QStringList steps;
  WhenModal<ui::TDriveDlg>([&](ui::TDriveDlg* dialog) {
    // A failed check leaves the dialog open: close it after the checks.
    QTimer::singleShot(3000, dialog, [dialog] { if (dialog->isVisible()) dialog->reject(); });
    QVERIFY(!dialog->ButtonOK->isEnabled());
    ClickRow(dialog->ListView1, 1);
    if (!dialog->ButtonOK->isEnabled() || !dialog->ButtonPreview->isEnabled() || !dialog->ButtonFind->isEnabled() ||
        !dialog->ComboBoxFAT->isEnabled())
      steps << "click on a drive";
    QTest::keyClick(dialog->ListView1, Qt::Key_Down);
    if (dialog->ListView1->currentRow() != 2 || !dialog->ButtonOK->isEnabled()) steps << "arrow key";
    // To the devices with a click on the tab, then one click on the only disk.
    QTabBar* tabs = dialog->PageControl1->tabBar();
    QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(1).center());
    if (dialog->ButtonPreview->isEnabled() || dialog->ButtonFind->isEnabled()) steps << "device tab";
    ClickRow(dialog->ListView2, 0);
    if (!dialog->ButtonFind->isEnabled()) steps << "click on the disk";
    QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(0).center());
    if (!dialog->ButtonPreview->isEnabled()) steps << "back to the drives";
    // A double click opens the drive.
    QListWidgetItem* first = dialog->ListView1->item(0);
    ClickRow(dialog->ListView1, 0);
    QTest::mouseDClick(dialog->ListView1->viewport(), Qt::LeftButton, {},
                       dialog->ListView1->visualItemRect(first).center());
  });
  window->MenuDriveClick();
  QVERIFY2(steps.isEmpty(), qPrintable(steps.join(", ")));
  QCOMPARE(window->FViewState, 2);
  QCOMPARE(window->FDrive, window->FDrives.Items(0));
}

void JourneysTest::SavesIntoTheFolderTypedInTheBox() {
  auto window = NewMainForm({Fixture("fat16.img")});
  OpenDrive(*window, 0);
  ClickTreeNode(*window, window->FRootNode);
  const int file = FindRow(*window, [](const TFSObject& o) { return DisplayNameOf(o) == "notes.txt"; });
  QVERIFY(file >= 0);
  ClickListRow(*window, file);

  TempDir highlighted, parent;
  const QString typed = QString::fromStdString((parent / "new folder").c_str());
  QString label, question;
  WhenModal<ui::TDirSelectForm>([&](ui::TDirSelectForm* dialog) {
    dialog->SelectFolder(QString::fromStdString(highlighted.Path().string()));
    QLineEdit* edit = dialog->ShellComboBox1->lineEdit();
    edit->selectAll();
    QTest::keyClicks(edit, typed);
    label = dialog->LabelFolder->text();
    WhenModal<QMessageBox>([&](QMessageBox* box) {
      question = box->text();
      QTest::mouseClick(box->button(QMessageBox::Yes), Qt::LeftButton);
    });
    ClickOK(dialog);
  });
  ClickAction(*window, window->ButtonSaveTo);
  QTRY_VERIFY(!window->Busy());
  QCOMPARE(label, typed + "/");
  QVERIFY2(question.contains("不存在"), qPrintable(question));
  QVERIFY(std::filesystem::exists(parent / "new folder/notes.txt"));
  QVERIFY(std::filesystem::is_empty(highlighted.Path()));
}

void JourneysTest::LostDriveSearchStandsOverTheDriveDialog() {
  auto window = NewMainForm({Fixture("disk.img")});
  bool statusOnTop = false, dialogStillOpen = false;
  int secondSearches = 0;
  WhenModal<ui::TDriveDlg>([&](ui::TDriveDlg* dialog) {
    QTimer::singleShot(5000, dialog, [dialog] { if (dialog->isVisible()) dialog->reject(); });
    QTabBar* tabs = dialog->PageControl1->tabBar();
    QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(1).center());
    ClickRow(dialog->ListView2, 0);
    auto* probe = new QTimer(dialog);
    probe->setInterval(1);
    connect(probe, &QTimer::timeout, dialog, [&, probe, dialog] {
      if (!window->StatusForm->isVisible()) return;
      probe->stop();
      statusOnTop = QApplication::activeModalWidget() == window->StatusForm;
      // A second search from the dialog's button, then Esc: the first goes
      // to the blocked dialog, the second to the progress window.
      QTimer::singleShot(50, [&] {
        if (auto* sectors = qobject_cast<ui::TSectorDialogForm*>(QApplication::activeModalWidget())) {
          ++secondSearches;
          sectors->reject();
        }
      });
      QTest::mouseClick(dialog->ButtonFind, Qt::LeftButton);
      QTest::keyClick(QApplication::activeModalWidget(), Qt::Key_Escape);
    });
    WhenModal<ui::TSectorDialogForm>([probe](ui::TSectorDialogForm* sectors) {
      probe->start();
      ClickOK(sectors);
    });
    QTest::mouseClick(dialog->ButtonFind, Qt::LeftButton);
    QVERIFY(window->Status.Cancelled);
    dialogStillOpen = dialog->isVisible();
    QVERIFY(!window->StatusForm->isVisible());
    dialog->reject();
  });
  window->MenuDriveClick();
  QVERIFY(statusOnTop);
  QCOMPARE(secondSearches, 0);
  QVERIFY(dialogStillOpen);
  QVERIFY(!window->Busy());
}

void JourneysTest::SavingKeepsTheSelection() {
  auto window = NewMainForm({Fixture("fat16.img")});
  OpenDrive(*window, 0);
  ClickTreeNode(*window, window->FRootNode);
  const int file = FindRow(*window, [](const TFSObject& o) { return DisplayNameOf(o) == "notes.txt"; });
  window->activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(window.get()));
  ClickListRow(*window, file);
  QTRY_VERIFY(window->ListView1Details->hasFocus());
  // Cancelled with the mouse, then saved: the row stays selected
  // and the commands and the status bar go with it.
  WhenModal<ui::TDirSelectForm>([](ui::TDirSelectForm* dialog) {
    QTest::mouseClick(dialog->findChild<QPushButton*>("CancelBtn"), Qt::LeftButton);
  });
  ClickAction(*window, window->ButtonSaveTo);
  QTRY_VERIFY(!window->Busy());
  // The list has the focus again, so that the window's activation coming
  // back does not put it into the tree (which empties the selection).
  QCOMPARE(window->focusWidget(), window->ListView1Details);
  QCOMPARE(window->SelectedRows(), std::vector<int>({file}));
  QCOMPARE(window->StatusPanel1[0]->text(), QString("1 对象被选择"));
  QVERIFY(window->MenuSaveTo->isEnabled());
  TempDir target;
  bool asked = false;
  WhenModal<ui::TDirSelectForm>([&](ui::TDirSelectForm* dialog) {
    asked = true;
    dialog->SelectFolder(QString::fromStdString(target.Path().string()));
    ClickOK(dialog);
  });
  ClickAction(*window, window->ButtonSaveTo);
  QTRY_VERIFY(asked);
  QTRY_VERIFY(!window->Busy());
  QVERIFY(std::filesystem::exists(target / "notes.txt"));
  QCOMPARE(window->SelectedRows(), std::vector<int>({file}));
  QVERIFY(window->MenuSaveTo->isEnabled());
}

void JourneysTest::OpeningASecondImageKeepsWhatWasFound() {
  TempDir dir;
  auto window = NewMainForm({LostFolderImage(dir)});
  OpenDrive(*window, 0);
  FindLostDataByMouse(*window);
  QVERIFY(window->FLostNode->childCount() > 0);
  TCustomDrive* first = window->FDrive;
  const std::size_t lost = first->LostDir->Items->size();

  // "打开映像文件": the file typed into the file dialog, then the drive dialog.
  QStringList drives;
  WhenModal<QFileDialog>([&](QFileDialog* files) {
    WhenModal<ui::TDriveDlg>([&](ui::TDriveDlg* dialog) {
      for (int i = 0; i < dialog->ListView1->count(); ++i) drives << dialog->ListView1->item(i)->text();
      ClickRow(dialog->ListView1, 0);
      QTest::mouseClick(dialog->ButtonOK, Qt::LeftButton);
    });
    QTimer::singleShot(5000, files, [files] { if (files->isVisible()) files->reject(); });
    files->selectFile(QString::fromStdString(Fixture("fat12.img")));
    QPushButton* open = files->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Open);
    QTRY_VERIFY(open->isEnabled());
    QTest::mouseClick(open, Qt::LeftButton);
  });
  window->MenuOpenImage->trigger();
  QCOMPARE(drives.size(), 2);
  QVERIFY2(drives[1].startsWith("FAT12VOL"), qPrintable(drives.join(" | ")));
  QCOMPARE(window->FDrive, first);
  QCOMPARE(first->LostDir->Items->size(), lost);
  window->FLostNode->setExpanded(true);
  QVERIFY(window->FLostNode->childCount() > 0);
  ClickTreeNode(*window, window->FLostNode->child(0));
  QCOMPARE(window->ListView1->Count(), 3);
}

void JourneysTest::LostDriveSearchBeyondTwoTebibytes() {
  // A sparse disk of 3 TiB with a FAT16 volume past sector 2^32.
  TempDir dir;
  const std::string image = dir / "big.img";
  const std::uint64_t at = (std::uint64_t{1} << 32) + 4096;
  ImageTool("truncate -s 3T " + image);
  ImageTool("dd if=" + Fixture("fat16.img") + " of=" + image + " bs=512 seek=" + std::to_string(at) +
            " conv=notrunc status=none");
  auto window = NewMainForm({image});
  int before = -1, after = -1;
  QString last;
  WhenModal<ui::TDriveDlg>([&](ui::TDriveDlg* dialog) {
    before = dialog->ListView1->count();
    QTabBar* tabs = dialog->PageControl1->tabBar();
    QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(1).center());
    ClickRow(dialog->ListView2, 0);
    WhenModal<ui::TSectorDialogForm>([&](ui::TSectorDialogForm* sectors) {
      for (auto [edit, value] : {std::pair{sectors->EditStart, at - 8}, std::pair{sectors->EditEnd, at + 8}}) {
        edit->selectAll();
        QTest::keyClicks(edit, QString::number(value));
      }
      ClickOK(sectors);
    });
    QTest::mouseClick(dialog->ButtonFind, Qt::LeftButton);
    after = dialog->ListView1->count();
    if (after > 0) last = dialog->ListView1->item(after - 1)->text();
    dialog->reject();
  });
  window->MenuDriveClick();
  QCOMPARE(before, 0);
  QCOMPARE(after, 1);
  QVERIFY2(last.contains("(lost)"), qPrintable(last));
  auto* fat = dynamic_cast<TFATdrive*>(window->FDrives.Items(0));
  QVERIFY(fat);
  QCOMPARE(fat->StartSector, at);
}

void JourneysTest::PreviewDecodesTheOemCodePage() {
  // OEM name and label in GBK, the default OEM code page: "测试".
  TempDir dir;
  const std::string image = dir / "gbk.img";
  std::filesystem::copy_file(Fixture("fat16.img"), image);
  ImageTool("printf '\\262\\342\\312\\324TEST' | dd of=" + image + " bs=1 seek=3 conv=notrunc status=none");
  ImageTool("printf '\\262\\342\\312\\324LABEL ' | dd of=" + image + " bs=1 seek=43 conv=notrunc status=none");
  auto window = NewMainForm({image});
  QString oem, label;
  WhenModal<ui::TDriveDlg>([&](ui::TDriveDlg* dialog) {
    ClickRow(dialog->ListView1, 0);
    WhenModal<ui::TPreviewDrvDialog>([&](ui::TPreviewDrvDialog* preview) {
      oem = preview->EditOEM->text();
      label = preview->EditVolLabel->text();
      ClickOK(preview);
    });
    QTest::mouseClick(dialog->ButtonPreview, Qt::LeftButton);
    dialog->reject();
  });
  window->MenuDriveClick();
  QCOMPARE(oem, QString("测试TEST"));
  QCOMPARE(label, QString("测试LABEL  "));
}

void JourneysTest::WindowFitsTheScreenAndShowsWholeNames() {
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  {
    auto window = NewMainForm({Fixture("fat16.img"), Fixture("fat12.img")});
    QVERIFY(screen.contains(window->geometry()));
    // Two images are told apart by their file names.
    QStringList disks, drives;
    // Captions are the program's own texts, with nothing the window system
    // would add after them.
    QCOMPARE(window->windowTitle(), QString(ui::kApplicationTitle));
    QVERIFY(!QGuiApplication::applicationDisplayName().contains(ui::kApplicationTitle));
    QString caption;
    WhenModal<ui::TDriveDlg>([&](ui::TDriveDlg* dialog) {
      caption = dialog->windowTitle();
      for (int i = 0; i < dialog->ListView2->count(); ++i) disks << dialog->ListView2->item(i)->text();
      for (int i = 0; i < dialog->ListView1->count(); ++i) drives << dialog->ListView1->item(i)->text();
      ClickRow(dialog->ListView1, 0);
      QTest::mouseClick(dialog->ButtonOK, Qt::LeftButton);
    });
    window->MenuDriveClick();
    QCOMPARE(caption, QString("选择驱动器"));
    QCOMPARE(disks.size(), 2);
    QVERIFY2(disks[0].endsWith("[fat16.img]") && disks[1].endsWith("[fat12.img]"), qPrintable(disks.join(" | ")));
    QVERIFY2(drives[1].endsWith("[fat12.img]"), qPrintable(drives[1]));

    // The name column takes the room of the list; a name shows whole in its tip.
    ClickTreeNode(*window, window->FRootNode);
    QHeaderView* header = window->ListView1Details->header();
    int sum = 0;
    for (int c = 0; c < header->count(); ++c) sum += header->sectionSize(c);
    QVERIFY2(sum >= window->ListView1Details->viewport()->width() - 2,
             qPrintable(QString("%1 of %2").arg(sum).arg(window->ListView1Details->viewport()->width())));
    const int file = FindRow(*window, [](const TFSObject& o) { return DisplayNameOf(o) == "Deleted long name.txt" ||
                                                                      DisplayNameOf(o).size() > 12; });
    QVERIFY(file >= 0);
    QCOMPARE(window->ListView1->index(file, 0).data(Qt::ToolTipRole).toString(),
             window->ListView1->index(file, 0).data(Qt::DisplayRole).toString());
    QCOMPARE(window->FRootNode->toolTip(0), window->FRootNode->text(0));

    // Closing the window writes its end into the debug log and keeps its size.
    window->resize(700, 500);
    QVERIFY(window->close());
    QStringList log;
    for (int i = 0; i < window->FDebugBox->ListBox1->count(); ++i) log << window->FDebugBox->ListBox1->item(i)->text();
    QVERIFY2(log.filter("程序关闭").size() == 1, qPrintable(log.join(" | ")));
  }
  auto again = NewMainForm({Fixture("fat16.img")});
  QCOMPARE(again->size(), QSize(700, 500));
}

QTEST_MAIN(JourneysTest)
#include "JourneysTest.moc"
