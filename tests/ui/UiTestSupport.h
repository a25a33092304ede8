#pragma once
// Driving the window in tests and in the screenshot tool: answering modal
// dialogs from a timer, opening a drive of a fixture image, finding rows.

#include <QApplication>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

#include "fs/TCustom.h"
#include "ui/TMainForm.h"

namespace vantrel::test {

// Fixture images made by tests/fixtures/make_images.sh.
std::string Fixture(const std::string& name);

// The Qt side of the program set up as main() does, settings in a fresh
// folder so that the user's own settings play no part.
void SetUpApplication();

// A window over the given images only (no disks of the machine).
std::unique_ptr<ui::TMainForm> NewMainForm(const std::vector<std::string>& images);

// Runs answer with the next modal dialog of type T as soon as it is shown.
template <class T>
void WhenModal(std::function<void(T*)> answer) {
  auto* timer = new QTimer;
  timer->setInterval(5);
  QObject::connect(timer, &QTimer::timeout, [timer, answer] {
    if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget())) {
      timer->stop();
      timer->deleteLater();
      answer(dialog);
    }
  });
  timer->start();
}

// "选择驱动器" answered with the drive in row `row` of the logical page.
void OpenDrive(ui::TMainForm& window, int row);

// Selects a tree node and waits until the list shows its folder.
void ShowNode(ui::TMainForm& window, QTreeWidgetItem* node);

// The first list row whose object passes the test, or -1.
int FindRow(ui::TMainForm& window, const std::function<bool(const TFSObject&)>& test);

// Selects exactly these rows, as clicks with Ctrl would.
void SelectRows(ui::TMainForm& window, const std::vector<int>& rows);

// The first n bytes of the text the fixture files are made of.
std::string FixtureContent(std::size_t n);

}  // namespace vantrel::test
