// The verdicts in the window: the column "校验" after "类型" on the lost files
// of a quick-formatted volume with a file in fragments, sorted by a click on
// its header, in "属性", and the damaged file counted after a save.

#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTreeView>
#include <QtTest/QtTest>

#include "fs/TFATDirectory.h"
#include "support/TempDir.h"
#include "ui/DriveDialogs.h"
#include "ui/RangeDialogForms.h"
#include "ui/TFileListModel.h"
#include "ui/TItemPropertiesDialog.h"
#include "ui/UiTestSupport.h"

using namespace vantrel;
using namespace vantrel::test;

class VerdictTest : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase() { SetUpApplication(); }
  void LostFilesShowTheirVerdictsSortedAndInTheirProperties();
};

void VerdictTest::LostFilesShowTheirVerdictsSortedAndInTheirProperties() {
  TempDir images;
  QVERIFY(Run("TZ=UTC " VANTREL_FIXTURE_SCRIPT_DIR "/make_fragmented_volume.sh '" + images.Path().string() +
              "' >/dev/null 2>&1"));
  const std::string clusters = ReadFile(images.Path() / "clusters.txt");
  auto firstCluster = [&](const std::string& name) {
    const auto at = clusters.find(name + "\t");
    return static_cast<std::uint32_t>(std::stoul(clusters.substr(at + name.size() + 1)));
  };
  auto window = NewMainForm({(images.Path() / "formatted.img").string()});
  OpenDrive(*window, 0);
  WhenModal<ui::TClusterDialogForm>(
      [](ui::TClusterDialogForm* dialog) { dialog->findChild<QPushButton*>("OKBtn")->click(); });
  window->MenuFindLostDataClick();
  QTRY_COMPARE(window->FCurrentNode, window->FLostNode);
  auto& list = *window->ListView1;
  QCOMPARE(list.headerData(kColumnType, Qt::Horizontal, Qt::DisplayRole).toString(), QString("类型"));
  QCOMPARE(list.headerData(kColumnVerdict, Qt::Horizontal, Qt::DisplayRole).toString(), QString("校验"));
  auto verdictAt = [&](int row) { return list.data(list.index(row, kColumnVerdict), Qt::DisplayRole).toString(); };
  const int split = FindRow(*window, [&](const TFSObject& o) {
    return static_cast<const TFATFile&>(o).StartCluster == firstCluster("SPLIT.PNG");
  });
  const int whole = FindRow(*window, [&](const TFSObject& o) {
    return static_cast<const TFATFile&>(o).StartCluster == firstCluster("WHOLE.PNG");
  });
  QVERIFY(split >= 0 && whole >= 0);
  QCOMPARE(verdictAt(split), QString("损坏"));
  QCOMPARE(verdictAt(whole), QString("完整"));

  // A click on the header sorts whole files first, a second click damaged first.
  auto* header = window->ListView1Details->header();
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                    QPoint(header->sectionViewportPosition(kColumnVerdict) + 5, header->height() / 2));
  QCOMPARE(window->FSortColumn, kColumnVerdict);
  QCOMPARE(verdictAt(0), QString("完整"));
  QCOMPARE(verdictAt(list.Count() - 1), QString("损坏"));
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                    QPoint(header->sectionViewportPosition(kColumnVerdict) + 5, header->height() / 2));
  QCOMPARE(verdictAt(0), QString("损坏"));

  // "属性" of the damaged file gives its first bad offset.
  const int row = FindRow(*window, [&](const TFSObject& o) {
    return static_cast<const TFATFile&>(o).StartCluster == firstCluster("SPLIT.PNG");
  });
  const auto bad = static_cast<TFATFile*>(window->ObjectOf(row))->BadOffset;
  SelectRows(*window, {row});
  window->ListView1Details->setFocus();
  QString shown;
  WhenModal<ui::TItemPropertiesDialog>([&](ui::TItemPropertiesDialog* dialog) {
    shown = dialog->LabelVerdict->text();
    dialog->findChild<QPushButton*>("CancelBtn")->click();
  });
  window->MenuProperties->trigger();
  QCOMPARE(shown, QString("损坏 (偏移 %1)").arg(bad));

  // Saving it says so in the status bar.
  TempDir target;
  WhenModal<ui::TDirSelectForm>([&](ui::TDirSelectForm* dialog) {
    dialog->SelectFolder(QString::fromStdString(target.Path().string()));
    dialog->findChild<QPushButton*>("OKBtn")->click();
  });
  QString warning;
  WhenModal<QMessageBox>([&](QMessageBox* box) {
    warning = box->text();
    box->button(QMessageBox::Ok)->click();
  });
  window->SaveSelection();
  QVERIFY(warning.contains(QString::fromStdString((target.Path() / "").string())));
  QVERIFY(window->StatusPanel1[0]->text().endsWith("，损坏 1 个"));
  QVERIFY(std::filesystem::exists(target.Path() / "report.xml"));
}

QTEST_MAIN(VerdictTest)
#include "VerdictTest.moc"
