// The viewer, the find dialog, the welcome guide and the information
// dialogs driven through the real window over fixture images.

#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTabWidget>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QtTest/QtTest>
#include <filesystem>
#include <fstream>

#include "common/CodePage.h"
#include "devices/TDevice.h"
#include "fs/FileData.h"
#include "fs/TFATDirectory.h"
#include "fs/TFATdrive.h"
#include "support/TempDir.h"
#include "ui/DriveDialogs.h"
#include "ui/RangeDialogForms.h"
#include "ui/TAboutDialog.h"
#include "ui/TDialogSystemInfo.h"
#include "ui/TDriveInfoDialog.h"
#include "ui/TFileListModel.h"
#include "ui/THexDump.h"
#include "ui/TFindDialog.h"
#include "ui/TItemPropertiesDialog.h"
#include "ui/TViewerDialog.h"
#include "ui/TWelcomeDialog.h"
#include "ui/UiTestSupport.h"

using namespace vantrel;
using namespace vantrel::test;

namespace {

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A window on the first volume of the image, showing the node's folder.
std::unique_ptr<ui::TMainForm> WindowOn(const std::string& image, bool deleted = false) {
  auto window = NewMainForm({Fixture(image)});
  OpenDrive(*window, 0);
  ShowNode(*window, deleted ? window->FDeletedNode : window->FRootNode);
  return window;
}

int RowNamed(ui::TMainForm& window, const std::string& name) {
  return FindRow(window, [&](const TFSObject& o) { return DisplayNameOf(o) == name; });
}

std::string LineText(ui::THexDump& hex, std::int64_t line) {
  std::uint8_t bytes[16];
  auto& layout = const_cast<THexLayout&>(hex.Layout());
  const int n = layout.LineBytes(line, bytes);
  return std::string(reinterpret_cast<char*>(bytes), static_cast<std::size_t>(n));
}

}  // namespace

class ViewerTest : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase() { SetUpApplication(); }
  void ViewsADeletedFileAsHexAndAsText();
  void HexViewKeysScrollBarAndALargeFile();
  void TextViewLimitsAndCodePages();
  void FindsByMaskAndCancels();
  void PropertiesCorrectWhatIsSaved();
  void WelcomeFlowsWithTheDriveDialogCancelled();
  void WelcomeUndeleteOpensTheDeletedBranch();
  void InformationDialogs();
};

void ViewerTest::ViewsADeletedFileAsHexAndAsText() {
  auto window = WindowOn("fat12.img", true);
  const int row = RowNamed(*window, "Deleted long name.txt");
  QVERIFY(row >= 0);
  SelectRows(*window, {row});
  QVERIFY(window->MenuViewAsHex->isEnabled());
  QVERIFY(window->MenuViewAsText->isEnabled());
  QVERIFY(window->MenuProperties->isEnabled());

  // Hex: the FAT choice first (the free clusters for a deleted file), then the viewer.
  int offered = -1;
  QString caption;
  std::string first, last;
  std::int64_t lines = 0;
  WhenModal<ui::TFATSelectDialog>([&](ui::TFATSelectDialog* fat) {
    offered = fat->ComboBoxFAT->currentIndex();
    WhenModal<ui::TViewerDialog>([&](ui::TViewerDialog* viewer) {
      caption = viewer->windowTitle();
      QCOMPARE(viewer->Notebook1->currentWidget(), static_cast<QWidget*>(viewer->Hexdump1));
      viewer->Hexdump1->resize(700, 400);
      first = LineText(*viewer->Hexdump1, 0);
      QTest::keyClick(viewer->Hexdump1, Qt::Key_End);
      lines = viewer->Hexdump1->Layout().LineCount();
      last = LineText(*viewer->Hexdump1, lines - 1);
      QTest::keyClick(viewer->Hexdump1, Qt::Key_Escape);
    });
    fat->accept();
  });
  window->MenuViewAsHex->trigger();
  QCOMPARE(offered, 3);
  QCOMPARE(caption, QString("View as hex: Deleted long name.txt"));
  QCOMPARE(first, FixtureContent(16));
  QCOMPARE(lines, 1500 / 16 + 1);
  QCOMPARE(last, FixtureContent(1500).substr(1500 - 1500 % 16));
  QVERIFY(!window->ViewerDialog->isVisible());
  QVERIFY(!window->ViewerDialog->Hexdump1->Layout().HasData());

  QString text;
  WhenModal<ui::TFATSelectDialog>([&](ui::TFATSelectDialog* fat) {
    WhenModal<ui::TViewerDialog>([&](ui::TViewerDialog* viewer) {
      caption = viewer->windowTitle();
      text = viewer->RichEdit1->toPlainText();
      QVERIFY(!viewer->LabelLimit->isVisible());
      QTest::keyClick(viewer->RichEdit1, Qt::Key_Escape);
    });
    fat->accept();
  });
  window->MenuViewAsText->trigger();
  QCOMPARE(caption, QString("View as text: Deleted long name.txt"));
  QCOMPARE(text.toStdString(), FixtureContent(1500));
  QVERIFY(!window->ViewerDialog->isVisible());
}

void ViewerTest::HexViewKeysScrollBarAndALargeFile() {
  auto window = WindowOn("fat16.img");
  const int row = RowNamed(*window, "big.bin");
  QVERIFY(row >= 0);
  auto* file = static_cast<TFATFile*>(window->ObjectOf(row));
  ui::TViewerDialog& viewer = *window->ViewerDialog;
  ui::THexDump& hex = *viewer.Hexdump1;
  viewer.OpenHex(*file->FATDrive(), "big.bin", 1, file->Size, file->StartCluster);
  viewer.show();
  QVERIFY(QTest::qWaitForWindowExposed(&viewer));
  const THexLayout& layout = hex.Layout();
  QCOMPARE(layout.BytesPerLine(), 16);
  QVERIFY(layout.VisibleLines() > 3);
  const std::string content = FixtureContent(200000);
  // End, then Page Up: the lines show the bytes at their own offsets.
  QTest::keyClick(&hex, Qt::Key_End);
  QCOMPARE(layout.CurrentLine(), 200000 / 16 - 1);
  QTest::keyClick(&hex, Qt::Key_PageUp);
  QCOMPARE(layout.TopLine(), layout.CurrentLine());
  QCOMPARE(hex.verticalScrollBar()->value(), layout.ScrollPosition());
  for (int i = 0; i < layout.VisibleLines(); ++i) {
    const std::int64_t line = layout.TopLine() + i;
    QCOMPARE(LineText(hex, line), content.substr(static_cast<std::size_t>(line) * 16, 16));
  }
  // The scroll bar's own steps move by lines and pages.
  hex.verticalScrollBar()->triggerAction(QAbstractSlider::SliderToMinimum);
  QCOMPARE(layout.TopLine(), 0);
  hex.verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
  QCOMPARE(layout.TopLine(), 1);
  hex.verticalScrollBar()->triggerAction(QAbstractSlider::SliderPageStepAdd);
  QCOMPARE(layout.TopLine(), 1 + layout.VisibleLines() - 1);
  // A click makes the clicked line current.
  QTest::mouseClick(hex.viewport(), Qt::LeftButton, {}, QPoint(5, layout.LineHeight() * 2 + 1));
  QCOMPARE(layout.CurrentLine(), layout.TopLine() + 2);
  // Narrower: fewer bytes a line, down to one.
  viewer.resize(300, 300);
  QTRY_VERIFY(layout.BytesPerLine() < 16);
  viewer.hide();
  viewer.CloseStream();

  // Blocks read in any order, far apart and back, through the FAT and as
  // consecutive clusters: each shows the bytes at its own offset.
  for (std::uint8_t choice : {1, 0}) {
    TFATStream stream(*file->FATDrive(), choice, file->Size, file->StartCluster);
    ui::TFATStreamSource source(stream);
    for (std::int64_t block : {97, 0, 50, 96, 1, 33, 65, 64, 63, 17, 16, 15}) {
      std::string bytes(2048, '\0');
      const std::uint32_t n = source.ReadAt(block * 2048, reinterpret_cast<std::uint8_t*>(bytes.data()), 2048);
      bytes.resize(n);
      QCOMPARE(bytes, content.substr(static_cast<std::size_t>(block) * 2048, 2048));
    }
  }

  // The same file said to be 4 GB - 1 (a corrected size) opens as fast and
  // reads only the blocks drawn.
  file->Size = 0xFFFFFFFFu;
  QElapsedTimer clock;
  clock.start();
  viewer.OpenHex(*file->FATDrive(), "big.bin", 1, file->Size, file->StartCluster);
  viewer.show();
  QVERIFY(QTest::qWaitForWindowExposed(&viewer));
  QTest::keyClick(&hex, Qt::Key_End);
  QTest::qWait(20);
  const qint64 elapsed = clock.elapsed();
  const std::int64_t perLine = layout.BytesPerLine();
  QCOMPARE(layout.LineCount(), (0xFFFFFFFFLL + perLine - 1) / perLine);
  QCOMPARE(layout.CurrentLine(), layout.LineCount() - 1);
  QVERIFY2(layout.BlockReads() <= 4, QByteArray::number(static_cast<qulonglong>(layout.BlockReads())));
  QVERIFY2(elapsed < 3000, QByteArray::number(elapsed));
  qInfo("4 GB file: opened, drawn and taken to its end in %lld ms", static_cast<long long>(elapsed));
  viewer.hide();
  viewer.CloseStream();
}

void ViewerTest::TextViewLimitsAndCodePages() {
  // Not UTF-8: the code page of short names (GBK here); UTF-8 stays UTF-8,
  // even when cut inside a character.
  SetOemCodePage("CP936");
  QCOMPARE(ui::TViewerDialog::DecodeText("\xB0\xA1"), QString::fromUtf8("啊"));
  QCOMPARE(ui::TViewerDialog::DecodeText("a\xE5\x95\x8A"), QString::fromUtf8("a啊"));
  QCOMPARE(ui::TViewerDialog::DecodeText("a\xE5\x95\x8A\xE5\x95").left(2), QString::fromUtf8("a啊"));

  auto window = WindowOn("fat16.img");
  auto* file = static_cast<TFATFile*>(window->ObjectOf(RowNamed(*window, "big.bin")));
  QVERIFY(file);
  ui::TViewerDialog& viewer = *window->ViewerDialog;
  // A file too large for the text view shows its beginning and says so.
  file->Size = 3u << 20;
  viewer.OpenText(*file->FATDrive(), "big.bin", 1, file->Size, file->StartCluster);
  QVERIFY(!viewer.LabelLimit->isHidden());
  QVERIFY(viewer.LabelLimit->text().contains(QString::number(3u << 20)));
  QCOMPARE(viewer.RichEdit1->toPlainText().left(200).toStdString(), FixtureContent(200));
  QCOMPARE(viewer.RichEdit1->textCursor().position(), 0);
  viewer.CloseStream();
  file->Size = 200000;
  viewer.OpenText(*file->FATDrive(), "big.bin", 1, file->Size, file->StartCluster);
  QVERIFY(viewer.LabelLimit->isHidden());
  QCOMPARE(viewer.RichEdit1->toPlainText().toStdString(), FixtureContent(200000));
  viewer.CloseStream();
}

void ViewerTest::FindsByMaskAndCancels() {
  auto window = WindowOn("fat12.img");
  ui::TFindDialog& find = *window->FindDialog;
  QVERIFY(window->ButtonFind->isEnabled());
  // "report" finds "report 2023.doc" through the mask *report*.
  QTimer::singleShot(0, [&] {
    QTRY_VERIFY(find.isVisible());
    QVERIFY(find.EditName->isEnabled());
    find.EditName->setText("REPORT");
    find.ButtonStart->click();
  });
  window->ButtonFind->trigger();
  QCOMPARE(find.Mask(), std::string("*REPORT*"));
  QVERIFY(!find.isVisible());
  QVERIFY(!find.EditName->isEnabled());
  QCOMPARE(find.LabelHits->text(), QString("1"));
  QCOMPARE(find.ListBoxFound->item(0)->text(), QString("report 2023.doc"));
  // The results are shown under "搜索".
  QCOMPARE(window->FCurrentNode, window->FSearchNode);
  QCOMPARE(window->ListView1->Count(), 1);
  QCOMPARE(window->ListView1->Item(0).Caption, std::string("report 2023.doc"));
  QVERIFY(window->menuBar()->isEnabled());

  // "*" lists everything; cancelling after the sixth hit stops the search
  // there, with hits 2 to 6 in sight.
  QObject::connect(find.ListBoxFound->model(), &QAbstractItemModel::rowsInserted, &find, [&] {
    if (find.ListBoxFound->count() == 6) find.ButtonCancel->click();
  });
  QTimer::singleShot(0, [&] {
    QTRY_VERIFY(find.isVisible());
    find.EditName->clear();
    find.ButtonStart->click();
  });
  window->MenuFind->trigger();
  QCOMPARE(find.Mask(), std::string("*"));
  QCOMPARE(find.LabelHits->text(), QString("6"));
  QCOMPARE(find.ListBoxFound->count(), 6);
  QListWidget& hits = *find.ListBoxFound;
  for (int i = 1; i <= 5; ++i) QVERIFY(hits.viewport()->rect().intersects(hits.visualItemRect(hits.item(i))));
  QVERIFY(!find.LabelScanning->text().isEmpty());
  QCOMPARE(window->ListView1->Count(), 6);
  QObject::disconnect(find.ListBoxFound->model(), nullptr, &find, nullptr);

  // Cancelled before starting: nothing is searched, the old results stay.
  QTimer::singleShot(0, [&] {
    QTRY_VERIFY(find.isVisible());
    find.EditName->setText("*.txt");
    find.ButtonCancel->click();
  });
  window->ButtonFind->trigger();
  QVERIFY(!find.isVisible());
  QCOMPARE(find.ListBoxFound->count(), 0);
  QCOMPARE(window->FDrive->SearchDir->Items->size(), std::size_t(6));
}

void ViewerTest::PropertiesCorrectWhatIsSaved() {
  auto window = WindowOn("fat12.img");
  const int row = RowNamed(*window, "README.TXT");
  QVERIFY(row >= 0);
  auto* file = static_cast<TFATFile*>(window->ObjectOf(row));
  auto* docs = static_cast<TFATDirectory*>(window->ObjectOf(RowNamed(*window, "docs")));
  QVERIFY(docs);
  SelectRows(*window, {row});
  window->ListView1Details->setFocus();
  // "0x20" is 32; the cluster typed in decimal; the name as typed.
  WhenModal<ui::TItemPropertiesDialog>([&](ui::TItemPropertiesDialog* dialog) {
    QCOMPARE(dialog->EditSize->text(), QString("100"));
    QCOMPARE(dialog->EditName->text(), QString("README.TXT"));
    dialog->EditSize->setText("0x20");
    dialog->EditCluster->setText(QString(" %1 junk").arg(docs->StartCluster));
    dialog->EditName->setText("fixed.txt");
    dialog->findChild<QPushButton*>("OKBtn")->click();
  });
  window->MenuProperties->trigger();
  QCOMPARE(file->Size, 32u);
  QCOMPARE(file->StartCluster, docs->StartCluster);
  QCOMPARE(window->ListView1->Item(row).Caption, std::string("fixed.txt"));
  QCOMPARE(window->ListView1->Item(row).SubItems[kColumnSize - 1], std::string("32"));

  // Saving reads 32 bytes from the folder's cluster: its "." entry.
  TempDir target;
  WhenModal<ui::TDirSelectForm>([&](ui::TDirSelectForm* dialog) {
    dialog->SelectFolder(QString::fromStdString(target.Path().string()));
    dialog->ComboBoxFAT->setCurrentIndex(1);
    dialog->findChild<QPushButton*>("OKBtn")->click();
  });
  window->SaveSelection();
  const std::string saved = ReadFile(target.Path() / "fixed.txt");
  QCOMPARE(saved.size(), std::size_t(32));
  QCOMPARE(saved.substr(0, 11), std::string(".          "));

  // Cancel leaves everything as it was; the disk image never changed.
  WhenModal<ui::TItemPropertiesDialog>([](ui::TItemPropertiesDialog* dialog) {
    dialog->EditSize->setText("5");
    dialog->reject();
  });
  window->MenuProperties->trigger();
  QCOMPARE(file->Size, 32u);
  auto fresh = WindowOn("fat12.img");
  auto* original = static_cast<TFATFile*>(fresh->ObjectOf(RowNamed(*fresh, "README.TXT")));
  QVERIFY(original);
  QCOMPARE(original->Size, 100u);
}

void ViewerTest::WelcomeFlowsWithTheDriveDialogCancelled() {
  auto window = NewMainForm({Fixture("fat12.img")});
  QVERIFY(window->FWelcomeShown);  // images named: the drive dialog, not the guide
  const std::vector<std::pair<const char*, int>> buttons{
      {"ButtonUndelete", 0}, {"ButtonFindLostData", 0}, {"ButtonFindLostDrive", 1}};
  for (const auto& [name, page] : buttons) {
    window->FWelcomeShown = false;
    int pageShown = -1;
    bool driveDialogShown = false;
    WhenModal<ui::TWelcomeDialog>([&, button = name](ui::TWelcomeDialog* welcome) {
      WhenModal<ui::TDriveDlg>([&](ui::TDriveDlg* drive) {
        driveDialogShown = true;
        pageShown = drive->PageControl1->currentIndex();
        drive->reject();
      });
      welcome->findChild<QToolButton*>(button)->click();
    });
    window->FormActivate();
    QVERIFY2(driveDialogShown, name);
    QCOMPARE(pageShown, page);
    QVERIFY(window->FWelcomeShown);
    QVERIFY(!window->WelcomeDialog->isVisible());
    QCOMPARE(window->FViewState, 1);
    QVERIFY(!window->FDrive);
    QCOMPARE(window->DriveDlg->FirstPage, 0);
  }
  // Shown once: a later activation does nothing; "确定" closes it and nothing else.
  window->FormActivate();
  QVERIFY(!window->WelcomeDialog->isVisible());
  window->FWelcomeShown = false;
  WhenModal<ui::TWelcomeDialog>([](ui::TWelcomeDialog* welcome) { welcome->OKBtn->click(); });
  window->FormActivate();
  QCOMPARE(window->FViewState, 1);
}

void ViewerTest::WelcomeUndeleteOpensTheDeletedBranch() {
  auto window = NewMainForm({Fixture("fat12.img")});
  window->FWelcomeShown = false;
  WhenModal<ui::TWelcomeDialog>([&](ui::TWelcomeDialog* welcome) {
    WhenModal<ui::TDriveDlg>([](ui::TDriveDlg* drive) {
      drive->ListView1->setCurrentRow(0);
      drive->ButtonOK->click();
    });
    welcome->ButtonUndelete->click();
  });
  window->FormActivate();
  QCOMPARE(window->FViewState, 2);
  QCOMPARE(window->TreeView->currentItem(), window->FDeletedNode);
  QVERIFY(window->FDeletedNode->isExpanded());
  QTRY_COMPARE(window->FCurrentNode, window->FDeletedNode);
}

void ViewerTest::InformationDialogs() {
  auto window = WindowOn("fat16.img");
  QVERIFY(window->MenuDrvInfo->isEnabled());
  QVERIFY(window->MenuSysInfo->isEnabled());
  QVERIFY(window->btnAbout->isEnabled());
  // The image's geometry: its size in sectors of 512 bytes.
  QString sectors, bytes;
  WhenModal<ui::TDriveInfoDialog>([&](ui::TDriveInfoDialog* dialog) {
    sectors = dialog->EditSectors->text();
    bytes = dialog->EditBytesPerSec->text();
    dialog->accept();
  });
  window->MenuDrvInfo->trigger();
  QCOMPARE(sectors.toULongLong(), std::filesystem::file_size(Fixture("fat16.img")) / 512);
  QCOMPARE(bytes, QString("512"));

  // System information: rows from Linux, the screen from Qt.
  ui::TDialogSystemInfo& info = *window->DialogSystemInfo;
  QCOMPARE(info.PageControl1->count(), 4);
  QCOMPARE(info.ListView1->topLevelItem(0)->text(0), QString("CPU线程数:"));
  QCOMPARE(info.ListView1->topLevelItem(1)->text(0), QString("显示信息:"));
  QVERIFY(info.ListView1->topLevelItem(1)->text(1).contains("-位("));
  QVERIFY(info.ListView3->topLevelItemCount() > 0);
  QVERIFY(!info.ListView4->findItems("PATH", Qt::MatchExactly).isEmpty());
  QVERIFY(ui::CapacityText(4096ull * 262144).endsWith("1.00 GB"));

  // The about box closes on any key and on a click.
  WhenModal<ui::TAboutDialog>([](ui::TAboutDialog* about) { QTest::keyClick(about, Qt::Key_A); });
  window->btnAbout->trigger();
  QVERIFY(!window->AboutDialog->isVisible());
  WhenModal<ui::TAboutDialog>([](ui::TAboutDialog* about) {
    QTest::mouseClick(about, Qt::LeftButton, {}, QPoint(10, 10));
  });
  window->MenuAbout->trigger();
  QVERIFY(!window->AboutDialog->isVisible());
}

QTEST_MAIN(ViewerTest)
#include "ViewerTest.moc"
