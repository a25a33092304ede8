// The dialogs on their own: the progress window's texts and Cancel, the range
// dialogs over the core's arithmetic, the drive preview, the options dialog
// and the debug window.

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QSpinBox>
#include <QTreeWidget>
#include <QtTest/QtTest>

#include "common/FATChoice.h"
#include "app/TDebugBox.h"
#include "app/TSettingsFile.h"
#include "support/TempDir.h"
#include "ui/DriveDialogs.h"
#include "ui/QtFrontEnd.h"
#include "ui/RangeDialogForms.h"
#include "ui/TDebugBoxForm.h"
#include "ui/TOptionsDialog.h"
#include "ui/TStatusDialogForm.h"
#include "ui/UiTestSupport.h"

using namespace vantrel;
using namespace vantrel::test;

class DialogsTest : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase() { SetUpApplication(); }
  void ProgressWindowShowsTextsAndCancels();
  void SectorDialogStartsFromTheDeviceAndReturnsWhatWasTyped();
  void DrivePreviewShowsBootSectorAndRoot();
  void OptionsDialogLimitsFontsAndWarnsBeforeSaving();
  void DebugWindowStaysOnTopInItsCorner();
  void MimeDatabaseNamesTypes();
};

void DialogsTest::ProgressWindowShowsTextsAndCancels() {
  TStatusDialog status;
  ui::TStatusDialogForm form(status);
  status.Init("扫描设备", "", "请等待...", "", "", false, false);
  status.Show();
  // Show returns at once (the work goes on under the window), and nothing
  // else takes input while it is up.
  QVERIFY(form.isVisible());
  QCOMPARE(form.windowModality(), Qt::ApplicationModal);
  QCOMPARE(form.windowTitle(), QString("扫描设备"));
  QCOMPARE(form.Label(2)->text(), QString("请等待..."));
  QVERIFY(form.ProgressBar1->isHidden());
  status.SetTexts("扫描驱动器", "驱动器: 硬盘 #0", "", "", "");
  QCOMPARE(form.windowTitle(), QString("扫描驱动器"));
  QCOMPARE(form.Label(1)->text(), QString("驱动器: 硬盘 #0"));
  QCOMPARE(form.Label(2)->text(), QString("请等待..."));

  // The bar and the remaining time of a counted operation.
  status.Init("保存文件", "a.txt", "", "", "", true, true);
  status.Total = 4;
  status.Step = 2;
  status.RefreshInterval = 0;
  status.StepIt();
  QVERIFY(!form.ProgressBar1->isHidden());
  QCOMPARE(form.ProgressBar1->value(), 50);

  QVERIFY(!status.Cancelled);
  form.CancelBtn->click();
  QVERIFY(status.Cancelled);
  status.Show();  // a new showing starts uncancelled
  QVERIFY(!status.Cancelled);
  QTest::keyClick(&form, Qt::Key_Escape);
  QVERIFY(status.Cancelled);
  QVERIFY(form.isVisible());  // the operation hides it when it has stopped
  status.Hide();
  QVERIFY(!form.isVisible());
}

void DialogsTest::SectorDialogStartsFromTheDeviceAndReturnsWhatWasTyped() {
  ui::TSectorDialogForm form;
  TSectorDialog dialog;
  dialog.SetDefaults(50000, 512);
  WhenModal<ui::TSectorDialogForm>([](ui::TSectorDialogForm* f) {
    QCOMPARE(f->EditStart->text(), QString("0"));
    QCOMPARE(f->EditEnd->text(), QString("49999"));
    QCOMPARE(f->GroupEnd->title(), QString("结束扇区 (max. 49999)"));
    QCOMPARE(f->windowTitle(), QString("选择扇区范围"));
    // Moving the end track bar to the middle rewrites the end edit.
    f->TrackBarEnd->setValue(25);
    QCOMPARE(f->EditEnd->text(), QString("25000"));
    QTest::keyClicks(f->EditStart, "1");  // "01"
    f->EditStart->setText("100");
    emit f->EditStart->textEdited("100");
    f->findChild<QPushButton*>("Button1")->click();  // 应用
    QVERIFY(f->LabelSize->text().endsWith("MB"));
    f->findChild<QPushButton*>("OKBtn")->click();
  });
  QVERIFY(dialog.Execute(form));
  QCOMPARE(dialog.RangeStart, 100);
  QCOMPARE(dialog.RangeEnd, 25000);

  // Cancel leaves the fields.
  WhenModal<ui::TSectorDialogForm>([](ui::TSectorDialogForm* f) { f->reject(); });
  QVERIFY(!dialog.Execute(form));
  QCOMPARE(dialog.RangeStart, 100);
}

void DialogsTest::DrivePreviewShowsBootSectorAndRoot() {
  auto window = NewMainForm({Fixture("fat16.img")});
  QStringList names;
  WhenModal<ui::TDriveDlg>([&](ui::TDriveDlg* dialog) {
    QVERIFY(!dialog->ButtonOK->isEnabled());
    QVERIFY(!dialog->ButtonPreview->isEnabled());
    dialog->PageControl1->setCurrentIndex(1);
    dialog->ListView2->setCurrentRow(0);
    QVERIFY(dialog->ButtonFind->isEnabled());
    QVERIFY(!dialog->ButtonPreview->isEnabled());
    dialog->PageControl1->setCurrentIndex(0);
    dialog->ListView1->setCurrentRow(0);
    QVERIFY(dialog->ButtonPreview->isEnabled());
    WhenModal<ui::TPreviewDrvDialog>([&](ui::TPreviewDrvDialog* preview) {
      QCOMPARE(preview->EditFAT->text(), QString("FAT16"));
      QCOMPARE(preview->EditVolLabel->text().trimmed(), QString("FAT16VOL"));
      QCOMPARE(preview->EditPhysSec->text(), QString("0"));
      for (int i = 0; i < preview->ListView1->topLevelItemCount(); ++i)
        names << preview->ListView1->topLevelItem(i)->text(0);
      preview->accept();
    });
    dialog->ButtonPreview->click();
    dialog->reject();
  });
  window->MenuDriveClick();
  QVERIFY(names.contains("README.TXT"));
  QVERIFY(names.contains("docs"));
  QVERIFY(!names.contains("Deleted long name.txt"));  // live entries only
  QCOMPARE(window->FViewState, 1);  // cancelled: no drive open

  ui::TFATSelectDialog select;
  select.Fill(2, 1);
  QCOMPARE(select.ComboBoxFAT->count(), 4);
  QCOMPARE(select.ComboBoxFAT->itemText(0), QString("no FAT (consecutive)"));
  QCOMPARE(select.ComboBoxFAT->itemText(2), QString("FAT 2"));
  QCOMPARE(select.ComboBoxFAT->currentIndex(), 1);
  select.Fill(2, kFATChoiceFree);
  QCOMPARE(select.ComboBoxFAT->currentText(), QString("free clusters only"));
  select.ComboBoxFAT->setCurrentIndex(3);
  QTimer::singleShot(0, &select, &QDialog::accept);
  QVERIFY(select.Execute());
  QCOMPARE(select.SelectedFAT, kFATChoiceFree);
}

void DialogsTest::OptionsDialogLimitsFontsAndWarnsBeforeSaving() {
  TempDir dir;
  TSettingsFile store(dir.Path() / "vantrel.conf");
  ui::TOptionsDialog dialog(store);
  TOptions options;
  TOptionsDialogValues values = OptionsToDialog(options);
  values.Groups9XEnabled = false;
  WhenModal<ui::TOptionsDialog>([&](ui::TOptionsDialog* d) {
    QVERIFY(!d->GroupBoxPhysical9X->isEnabled());
    QVERIFY(!d->GroupBoxLogical9X->isEnabled());
    QVERIFY(d->LabelOtherPlatform->text().contains("Windows 9x"));
    QCOMPARE(d->EditDeletedCharAnsi->maxLength(), 1);
    QCOMPARE(d->EditDeletedCharMultibyte->maxLength(), 2);
    // The font chooser offers 8 to 14 points only.
    WhenModal<ui::TFontChooser>([](ui::TFontChooser* chooser) {
      QCOMPARE(chooser->FontSize->minimum(), 8);
      QCOMPARE(chooser->FontSize->maximum(), 14);
      chooser->FontSize->setValue(20);
      QCOMPARE(chooser->FontSize->value(), 14);
      chooser->accept();
    });
    d->findChild<QPushButton*>("ButtonSelectFont")->click();
    QCOMPARE(d->PanelSample->font().pointSize(), 14);
    // "保存" answered No writes nothing.
    QString warning;
    WhenModal<QMessageBox>([&](QMessageBox* box) {
      warning = box->text();
      box->button(QMessageBox::No)->click();
    });
    d->findChild<QPushButton*>("ButtonSave")->click();
    QVERIFY(warning.startsWith("如果保存选项在系统驱动器上的任何丢失或删除的数据可能会被覆盖！"));
    QVERIFY(warning.endsWith("是否继续?"));
    QVERIFY(!store.KeyExists());
    d->EditLostDefaultSize->setText("4096");
    d->findChild<QPushButton*>("OKBtn")->click();
  });
  QVERIFY(EditOptions(options, dialog, false));
  QCOMPARE(options.LostDefaultSize, 4096);
  QCOMPARE(options.FileListFont.Size, 14);
}

void DialogsTest::DebugWindowStaysOnTopInItsCorner() {
  ui::TDebugBoxForm box;
  box.Add("程序启动");
  QVERIFY(!box.isVisible());  // lines wait for the window
  box.SetVisible(true);
  QVERIFY(box.isVisible());
  QVERIFY(box.windowFlags() & Qt::WindowStaysOnTopHint);
  QCOMPARE(box.windowTitle(), QString("调试窗口"));
  QCOMPARE(box.ListBox1->count(), 1);
  QCOMPARE(box.ListBox1->currentRow(), 0);
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  QCOMPARE(box.x() + box.width(), area.right() + 1);
  QCOMPARE(box.y(), area.top());
}

void DialogsTest::MimeDatabaseNamesTypes() {
  QVERIFY(!ui::MimeTypeName("a.txt", false).empty());
  QVERIFY(!ui::MimeTypeName("photo.JPG", false).empty());
  QCOMPARE(ui::MimeTypeName("noextension", false), std::string());
  QCOMPARE(ui::MimeTypeName("x.qqqzzz", false), std::string());
}

QTEST_MAIN(DialogsTest)
#include "DialogsTest.moc"
