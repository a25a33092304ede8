// "另存为" on a failing disk, through the real widgets: a FAT16 volume made
// by mkfs.fat and mtools, served through FUSE with an unreadable sector in
// the first FAT and one in each of two files. Three files chosen by clicks,
// the question to image them first answered Yes: their clusters are copied
// to an image in a few forward reads, the image is opened with its map, the
// good files come back byte-exact, the damaged one is named, the files not
// chosen are never read, and no bad sector is read more than twice. Retry
// on a sector the image does not hold reads nothing from the image.

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QToolBar>
#include <QTreeView>
#include <QtTest/QtTest>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "diskio/SectorAccess.h"
#include "fs/TCustom.h"
#include "recovery/RescueMap.h"
#include "recovery/Saving.h"
#include "support/FailingDisk.h"
#include "support/TempDir.h"
#include "ui/RangeDialogForms.h"
#include "ui/TFileListModel.h"
#include "ui/TImagingDialog.h"
#include "ui/UiTestSupport.h"

using namespace vantrel;
using namespace vantrel::test;

namespace {

void ClickListRow(ui::TMainForm& window, int row, Qt::KeyboardModifiers keys = {}) {
  QTreeView* view = window.ListView1Details;
  const QModelIndex index = window.ListView1->index(row, 0);
  view->scrollTo(index);
  QTest::mouseClick(view->viewport(), Qt::LeftButton, keys, view->visualRect(index).center());
}

// Answers every modal dialog of the save as a user would, noting each
// message box's text: the question to image first with Yes, the folder
// dialog with the target folder, the imaging dialog with the image file.
class TScript : public QObject {
 public:
  TScript(const std::string& folder, const std::string& image,
          QMessageBox::StandardButton answer = QMessageBox::Yes)
      : folder_(folder), image_(image), answer_(answer) {
    timer_.setInterval(5);
    connect(&timer_, &QTimer::timeout, this, [this] { Step(); });
    timer_.start();
    clock_.start();
  }
  bool TimedOut = false;
  QStringList Boxes;
  bool ImagingDialogShown = false, SourceFixed = false, RestOffered = false;

 private:
  void Step() {
    QWidget* modal = QApplication::activeModalWidget();
    // A run that went wrong ends instead of waiting for answers.
    if (modal && clock_.elapsed() > 30000) {
      if (!TimedOut) qWarning("no answer for %s: %s", modal->metaObject()->className(), qPrintable(Boxes.join(" | ")));
      TimedOut = true;
      if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
      return;
    }
    // Boxes live on the stack: a new one may stand where the last one did.
    // Dialogs of the window are shown again by a second save.
    const QVariant token(id_);
    if (!modal || modal->property("answeredBy") == token) return;
    modal->setProperty("answeredBy", token);
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      Boxes << box->text();
      const bool question = box->text().contains("是否先将所选文件用到的簇复制到映像文件");
      // The bad sector of a chosen file, not in the image: Retry reads
      // nothing (the image holds zeros there, not the sector), Ignore saves
      // the file with zeros there.
      const bool badSector = box->button(QMessageBox::Ignore) != nullptr;
      QAbstractButton* button = box->button(question    ? answer_
                                            : badSector ? (retried_++ ? QMessageBox::Ignore : QMessageBox::Retry)
                                                        : QMessageBox::Ok);
      if (!button) button = box->buttons().value(0);
      QTest::mouseClick(button, Qt::LeftButton);
    } else if (auto* folder = qobject_cast<ui::TDirSelectForm*>(modal)) {
      folder->SelectFolder(QString::fromStdString(folder_));
      QTest::mouseClick(folder->findChild<QPushButton*>("OKBtn"), Qt::LeftButton);
    } else if (auto* imaging = qobject_cast<ui::TImagingDialog*>(modal)) {
      ImagingDialogShown = true;
      SourceFixed = !imaging->SourceList->isEnabled() && imaging->SourceList->currentRow() == 0;
      RestOffered = imaging->RestBox->isVisible() && !imaging->RestBox->isChecked();
      QTest::mouseClick(imaging->TargetEdit, Qt::LeftButton);
      QTest::keyClicks(imaging->TargetEdit, QString::fromStdString(image_));
      QTest::mouseClick(imaging->StartBtn, Qt::LeftButton);
    }
  }
  QTimer timer_;
  QElapsedTimer clock_;
  int id_ = ++scripts_;
  int retried_ = 0;
  static inline int scripts_ = 0;
  std::string folder_, image_;
  QMessageBox::StandardButton answer_;
};

}  // namespace

class FailingSaveTest : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase() { SetUpApplication(); }
  void ChosenFilesAreImagedFirstAndSavedFromTheImage();
};

void FailingSaveTest::ChosenFilesAreImagedFirstAndSavedFromTheImage() {
  const std::string why = FailingDiskUnavailable();
  if (!why.empty()) QSKIP(why.c_str());
  TempDir dir;
  FailingVolume volume;
  QVERIFY(MakeFailingVolume(dir.Path().string(), 10, 200, volume));
  // FAT 1's second sector, a sector of a chosen file and one of a file not chosen.
  const std::uint64_t fatBad = volume.fat1 + 1, chosenBad = volume.firstSector.at("F02.BIN") + 7,
                      otherBad = volume.firstSector.at("F09.BIN") + 40;
  FailingDiskSetup setup;
  setup.Bad = std::to_string(fatBad) + "," + std::to_string(chosenBad) + "," + std::to_string(otherBad);
  setup.BadDelay = 0.05;
  FailingDisk disk(volume.image, dir / "mnt", setup);
  QVERIFY2(disk.Ready(), "the failing disk was not served");

  auto window = NewMainForm({disk.Path()});
  OpenDrive(*window, 0);
  ShowNode(*window, window->FRootNode);
  const std::vector<std::string> chosen{"F02.BIN", "F05.BIN", "F07.BIN"};
  for (std::size_t i = 0; i < chosen.size(); ++i) {
    const int row = FindRow(*window, [&](const TFSObject& o) { return DisplayNameOf(o) == chosen[i]; });
    QVERIFY(row >= 0);
    ClickListRow(*window, row, i ? Qt::ControlModifier : Qt::NoModifier);
  }
  QCOMPARE(window->SelectedRows().size(), chosen.size());
  // The first FAT's bad sector has been met by now: the device is failing.
  QVERIFY(window->FDrive->Device->FailedReads > 0);
  const auto before = disk.Counts();

  const std::string out = dir / "saved", image = dir / "rescue.img";
  std::filesystem::create_directories(out);
  {
    TScript script(out, image);
    QWidget* button = window->ToolBar2->widgetForAction(window->ButtonSaveTo);
    QVERIFY(button && button->isEnabled());
    QTest::mouseClick(button, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!window->Busy(), 40000);
    QVERIFY(!script.TimedOut);
    QVERIFY(script.ImagingDialogShown && script.SourceFixed && script.RestOffered);
    const QString boxes = script.Boxes.join("\n----\n");
    QVERIFY2(script.Boxes.value(0).contains("无法读取的扇区"), qPrintable(boxes));
    // The damaged file is named with the bytes it lost, the whole ones are not.
    QVERIFY2(boxes.contains(kDamagedFilesHeader) && boxes.contains("F02.BIN (") &&
                 !boxes.contains("F05.BIN (") && !boxes.contains("F07.BIN ("),
             qPrintable(boxes));
  }

  // Saved from the image: whole files byte-exact, the bad sector as zeros.
  for (const std::string& name : chosen) {
    std::string expected = volume.files.at(name);
    if (name == "F02.BIN") std::fill_n(expected.begin() + 7 * 512, 512, '\0');
    QVERIFY2(ReadFile(out + "/" + name) == expected, name.c_str());
  }
  QVERIFY(!std::filesystem::exists(out + "/F09.BIN"));

  // The map is ddrescue's: the chosen files' clusters rescued but for the
  // bad sector, the files not chosen not tried.
  const std::string mapText = ReadFile(image + ".map");
  QVERIFY2(mapText.find("# Mapfile") == 0, mapText.c_str());
  TRescueMap map;
  std::string error;
  QVERIFY2(TRescueMap::Load(image + ".map", std::filesystem::file_size(volume.image), map, error), error.c_str());
  QCOMPARE(std::filesystem::file_size(image), std::filesystem::file_size(volume.image));
  for (const std::string& name : chosen) {
    const std::uint64_t first = volume.firstSector.at(name), sectors = (volume.files.at(name).size() + 511) / 512;
    for (std::uint64_t s = first; s < first + sectors; ++s)
      QCOMPARE(static_cast<char>(map.StatusAt(s * 512)), s == chosenBad ? '-' : '+');
  }
  QCOMPARE(static_cast<char>(map.StatusAt(fatBad * 512)), '-');
  for (const char* other : {"F03.BIN", "F09.BIN"})
    QCOMPARE(static_cast<char>(map.StatusAt(volume.firstSector.at(other) * 512)), '?');

  // The files not chosen were not read in this save; no bad sector was read
  // more than twice in the whole run.
  const auto after = disk.Counts();
  const std::uint64_t f09 = volume.firstSector.at("F09.BIN");
  for (std::uint64_t s = f09; s < f09 + volume.files.at("F09.BIN").size() / 512; ++s) {
    const auto b = before.find(s), a = after.find(s);
    QCOMPARE(a == after.end() ? 0u : a->second, b == before.end() ? 0u : b->second);
  }
  auto readsDuring = [&](std::uint64_t sector) {
    const auto a = after.find(sector), b = before.find(sector);
    return (a == after.end() ? 0u : a->second) - (b == before.end() ? 0u : b->second);
  };
  std::uint64_t reads = 0;
  for (const auto& [sector, n] : after) reads += readsDuring(sector);
  qInfo("bad FAT sector: %u read(s) in all, %u during the save; chosen file's bad sector: %u; other file's: %u; "
        "sector reads during the save: %llu",
        disk.MostReads(fatBad, fatBad), readsDuring(fatBad), disk.MostReads(chosenBad, chosenBad),
        disk.MostReads(otherBad, otherBad), static_cast<unsigned long long>(reads));
  // The FAT sector that failed before is not read again by the imaging.
  QCOMPARE(readsDuring(fatBad), 0u);
  QVERIFY(disk.MostReads(fatBad, fatBad) <= 2 && disk.MostReads(chosenBad, chosenBad) <= 2);
  QCOMPARE(disk.MostReads(otherBad, otherBad), 0u);

  // A second save, of a file not imaged yet, into the same image and map:
  // the run resumes, and the image's drive reads the file through the new
  // map, not the old one that held it as not rescued.
  const int row = FindRow(*window, [](const TFSObject& o) { return DisplayNameOf(o) == "F09.BIN"; });
  QVERIFY(row >= 0);
  ClickListRow(*window, row);
  const std::string out2 = dir / "saved2";
  std::filesystem::create_directories(out2);
  {
    TScript script(out2, image);
    QTest::mouseClick(window->ToolBar2->widgetForAction(window->ButtonSaveTo), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!window->Busy(), 40000);
    QVERIFY(!script.TimedOut);
    const QString boxes = script.Boxes.join("\n----\n");
    QVERIFY2(script.ImagingDialogShown && boxes.contains("F09.BIN (") && !boxes.contains("旁有映射文件"),
             qPrintable(boxes));
  }
  std::string expected = volume.files.at("F09.BIN");
  std::fill_n(expected.begin() + 40 * 512, 512, '\0');
  QVERIFY(ReadFile(out2 + "/F09.BIN") == expected);
  QVERIFY(TRescueMap::Load(image + ".map", std::filesystem::file_size(volume.image), map, error));
  QCOMPARE(static_cast<char>(map.StatusAt(f09 * 512)), '+');
  QCOMPARE(static_cast<char>(map.StatusAt(otherBad * 512)), '-');
  QCOMPARE(static_cast<char>(map.StatusAt(volume.firstSector.at("F03.BIN") * 512)), '?');
  QVERIFY(disk.MostReads(otherBad, otherBad) <= 2 && disk.MostReads(chosenBad, chosenBad) <= 2);

  // 取消 does nothing; 否 saves directly from the device, as on any disk.
  const std::string out3 = dir / "saved3";
  std::filesystem::create_directories(out3);
  for (auto answer : {QMessageBox::Cancel, QMessageBox::No}) {
    TScript script(out3, image, answer);
    QTest::mouseClick(window->ToolBar2->widgetForAction(window->ButtonSaveTo), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!window->Busy(), 40000);
    QVERIFY(!script.TimedOut && !script.ImagingDialogShown);
    QCOMPARE(std::filesystem::exists(out3 + "/F09.BIN"), answer == QMessageBox::No);
  }
  // The served image is let go before the failing disk is unmounted.
  window.reset();
  CloseSectorHandles();
}

QTEST_MAIN(FailingSaveTest)
#include "FailingSaveTest.moc"
