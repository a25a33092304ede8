// The window run as a user who may not open the machine's disks: it asks the
// system's disk service to open them (a fake UDisks2 on a private bus, set up
// by run_with_fake_udisks.sh, which hands over a FAT image that only root may
// read), or, without the service, says how to get the permission.

#include <QMessageBox>
#include <QPushButton>
#include <QtTest/QtTest>

#include <fstream>
#include <string>

#include "diskio/DiskPlatformLinux.h"
#include "ui/DiskPermissions.h"
#include "ui/DriveDialogs.h"
#include "ui/TDiskService.h"
#include "ui/UiTestSupport.h"

using namespace vantrel;
using namespace vantrel::test;
using vantrel::ui::DisksWithoutReadPermission;

namespace {

QStringList ServiceCalls() {
  QStringList calls;
  std::ifstream log(qEnvironmentVariable("VANTREL_FAKE_UDISKS_LOG").toStdString());
  for (std::string line; std::getline(log, line);)
    if (line != "ready") calls << QString::fromStdString(line);
  return calls;
}

}  // namespace

class DiskServiceTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    SetUpApplication();
    if (DisksWithoutReadPermission().empty()) QSKIP("this user may open every disk of the machine");
  }

  void ReadsADiskThroughTheDiskService() {
    const std::vector<std::string> denied = DisksWithoutReadPermission();
    ui::TMainForm window(ui::TStartArguments{});
    window.FWelcomeShown = true;
    window.show();
    // A message box would mean a disk stayed closed; it is noted and closed.
    QStringList boxes;
    QTimer boxCloser;
    boxCloser.setInterval(5);
    connect(&boxCloser, &QTimer::timeout, [&boxes] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        boxes << box->text();
        box->button(QMessageBox::Ok)->click();
      }
    });
    boxCloser.start();
    OpenDrive(window, 0);
    boxCloser.stop();
    QVERIFY2(boxes.isEmpty(), qPrintable(boxes.join("\n")));

    // Each disk was asked for once, read-only, on the object of its device.
    QStringList expected;
    for (const auto& disk : denied)
      expected << QString::fromStdString("OpenDevice r " + ui::TDiskService::ObjectPathOf(disk));
    QCOMPARE(ServiceCalls(), expected);
    QVERIFY(LinuxPlatform().HasOpenedDevice(denied[0]));
    QVERIFY(DisksWithoutReadPermission().empty());

    // The first disk's drive is the image behind the descriptor.
    QVERIFY(window.FDevice != nullptr);
    QCOMPARE(HostPlatform().PhysicalDeviceName(window.FDevice->Number), denied[0]);
    QVERIFY(window.FDrive != nullptr && window.FRootNode != nullptr);
    ShowNode(window, window.FRootNode);
    const int row = FindRow(window, [](const TFSObject& o) { return o.Name == "HELLO.TXT"; });
    QVERIFY2(row >= 0, "HELLO.TXT is not in the root folder of the disk");
    QCOMPARE(static_cast<const TCustomFile*>(window.ObjectOf(row))->Size, 30u);

    // A new scan reads the disks it has without asking again.
    QVERIFY(window.ScanDevices());
    QCOMPARE(ServiceCalls(), expected);
    QVERIFY(window.FDevices.Count() > 0);
  }

  void SaysHowToGetThePermissionWithoutTheService() {
    ui::TMainForm window(ui::TStartArguments{});
    window.FWelcomeShown = true;
    QString text;
    WhenModal<QMessageBox>([&](QMessageBox* box) {
      text = box->text();
      WhenModal<ui::TDriveDlg>([](ui::TDriveDlg* dialog) { dialog->reject(); });
      box->button(QMessageBox::Ok)->click();
    });
    window.MenuDriveClick();
    QTRY_VERIFY(!text.isEmpty());
    QVERIFY2(text.contains(QString::fromStdString(DisksWithoutReadPermission()[0])), qPrintable(text));
    QVERIFY(text.contains("本机没有磁盘服务（UDisks2）"));
    QVERIFY(text.contains("disk 组"));
    QVERIFY(text.contains("pkexec vantrel"));
  }
};

QTEST_MAIN(DiskServiceTest)
#include "DiskServiceTest.moc"
