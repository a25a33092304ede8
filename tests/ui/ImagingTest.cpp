// "创建映像" driven with the mouse and the keys: a FAT image served as a disk
// copied to a new image through the dialog, refused over an existing file,
// stopped with Cancel, resumed from its map, and the copy opened for
// recovery in one step.

#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QTabWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest/QtTest>

#include "fs/TCustom.h"
#include "host/UserInterface.h"
#include "support/TempDir.h"
#include "ui/DriveDialogs.h"
#include "ui/TFileListModel.h"
#include "ui/TImagingDialog.h"
#include "ui/TStatusDialogForm.h"
#include "ui/UiTestSupport.h"

using namespace vantrel;
using namespace vantrel::test;

namespace {

// Chooses the whole disk (the first row), types the target and starts.
void StartImaging(const std::string& target, const std::function<void()>& then) {
  WhenModal<ui::TImagingDialog>([target, then](ui::TImagingDialog* dialog) {
    QListWidget* list = dialog->SourceList;
    QVERIFY(list->count() >= 2);  // the disk and its drive
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(0)).center());
    QTest::mouseClick(dialog->TargetEdit, Qt::LeftButton);
    dialog->TargetEdit->selectAll();
    QTest::keyClicks(dialog->TargetEdit, QString::fromStdString(target));
    QCOMPARE(dialog->MapEdit->text().toStdString(), target + ".map");
    then();
    QTest::mouseClick(dialog->StartBtn, Qt::LeftButton);
  });
}

// After a box that was not expected, every dialog still to come is closed,
// so that a failing run ends instead of waiting for an answer.
void CloseEveryDialog() {
  auto* timer = new QTimer(QCoreApplication::instance());
  QObject::connect(timer, &QTimer::timeout, [] {
    if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) dialog->reject();
  });
  timer->start(5);
}

// Answers the next message box with button, after checking its text.
void Answer(QMessageBox::StandardButton button, const QString& contains, const std::function<void()>& then = {}) {
  WhenModal<QMessageBox>([=](QMessageBox* box) {
    const QString text = box->text();
    const bool expected = text.contains(contains);
    if (expected && then) then();
    QAbstractButton* answer = expected ? box->button(button) : nullptr;
    if (!expected) CloseEveryDialog();
    (answer ? answer : box->buttons().value(0))->click();
    QVERIFY2(expected, qPrintable(text));
  });
}

// Presses Cancel in the progress window as soon as the window is asked to
// handle its events while the progress window is up.
void CancelWhileImaging() {
  if (auto* form = qobject_cast<ui::TStatusDialogForm*>(QApplication::activeModalWidget()))
    QTest::mouseClick(form->CancelBtn, Qt::LeftButton);
  QCoreApplication::processEvents();
}

}  // namespace

class ImagingTest : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase() { SetUpApplication(); }
  void ImagesADiskAndOpensTheCopy();
  void DeviceContextMenuOpensTheImagingDialog();
};

void ImagingTest::ImagesADiskAndOpensTheCopy() {
  TempDir dir;
  const std::string source = Fixture("fat12.img");
  auto window = NewMainForm({source});
  const std::string existing = dir / "old.img";
  WriteFile(existing, "keep me");

  // A target that exists without a map would be overwritten: refused, and
  // the dialog comes back for another choice.
  bool refused = false;
  StartImaging(existing, [&] {
    Answer(QMessageBox::Ok, "已存在", [&] {
      refused = true;
      WhenModal<ui::TImagingDialog>([](ui::TImagingDialog* dialog) { dialog->CancelBtn->click(); });
    });
  });
  window->MenuCreateImage->trigger();
  QVERIFY(refused);
  QCOMPARE(ReadFile(existing), std::string("keep me"));

  // The first run is stopped with Cancel at its first read: the map keeps
  // what was copied and what was not tried yet.
  const std::string target = dir / "copy.img";
  SetProcessMessagesHook(CancelWhileImaging);
  StartImaging(target, [&] { Answer(QMessageBox::Ok, "已停止"); });
  window->MenuCreateImage->trigger();
  SetProcessMessagesHook([] { QCoreApplication::processEvents(); });
  QVERIFY(!window->StatusForm->isVisible());
  std::string map = ReadFile(target + ".map");
  QVERIFY2(map.find("# Mapfile") == 0 && map.find(" +\n") != std::string::npos &&
               map.find(" ?\n") != std::string::npos,
           map.c_str());

  // Started again with the same target and map, it resumes and finishes,
  // and offers to open the copy.
  bool opened = false, progressShown = false;
  StartImaging(target, [&] {
    Answer(QMessageBox::Yes, "映像已创建", [&] {
      progressShown = window->Status.Caption() == "创建映像" && window->Status.Line(3).find("已救出") == 0 &&
                      window->Status.Line(4).find("剩余时间") != std::string::npos;
      // The copy's map beside it is announced, then its drive is chosen.
      Answer(QMessageBox::Ok, "0 个扇区未救出", [&] {
        WhenModal<ui::TDriveDlg>([&](ui::TDriveDlg* dialog) {
          opened = dialog->ListView1->count() == 2;
          dialog->ListView1->setCurrentRow(1);
          dialog->ButtonOK->click();
        });
      });
    });
  });
  window->MenuCreateImage->trigger();
  QVERIFY(opened && progressShown);
  QTRY_VERIFY(window->FDrive && window->FDrive->Device->Number == 0x81);
  ShowNode(*window, window->FRootNode);
  QVERIFY(window->ListView1->Count() > 0);
  QCOMPARE(ReadFile(target), ReadFile(source));
  map = ReadFile(target + ".map");
  QVERIFY2(map.find(" +\n") != std::string::npos, map.c_str());
  for (const char* other : {" ?\n", " *\n", " /\n", " -\n"}) QVERIFY2(map.find(other) == std::string::npos, map.c_str());
}

void ImagingTest::DeviceContextMenuOpensTheImagingDialog() {
  auto window = NewMainForm({Fixture("fat16.img")});
  QString chosen;
  WhenModal<ui::TDriveDlg>([&](ui::TDriveDlg* dialog) {
    dialog->PageControl1->setCurrentIndex(1);
    QListWidget* list = dialog->ListView2;
    const QPoint at = list->visualItemRect(list->item(0)).center();
    // The popup menu answered with its one entry.
    auto* timer = new QTimer(dialog);
    QObject::connect(timer, &QTimer::timeout, [timer] {
      if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
        timer->stop();
        menu->setActiveAction(menu->actions().value(0));
        QTest::keyClick(menu, Qt::Key_Return);
      }
    });
    timer->start(5);
    WhenModal<ui::TImagingDialog>([&](ui::TImagingDialog* imaging) {
      chosen = imaging->SourceList->currentItem()->text();
      imaging->CancelBtn->click();
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, list->viewport()->mapToGlobal(at));
    QApplication::sendEvent(list->viewport(), &event);
  });
  window->MenuDriveClick();
  QTRY_VERIFY(!chosen.isEmpty());
  QCOMPARE(chosen, QString::fromStdString(window->FDevices.Items(0)->Name));
}

QTEST_MAIN(ImagingTest)
#include "ImagingTest.moc"
