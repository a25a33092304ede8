#include "ui/UiTestSupport.h"

#include <QItemSelectionModel>
#include <QPushButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QListWidget>
#include <QtTest/QTest>
#include <cstdlib>

#include "support/TempDir.h"
#include "ui/DriveDialogs.h"
#include "ui/QtFrontEnd.h"
#include "ui/TFileListModel.h"

namespace vantrel::test {

std::string Fixture(const std::string& name) { return std::string(VANTREL_FIXTURE_DIR) + "/" + name; }

void SetUpApplication() {
  static TempDir config;
  ::setenv("XDG_CONFIG_HOME", config.Path().c_str(), 1);
  ui::SetUpIdentity();
  ui::SetUpChinese();
  ui::InstallQtFrontEnd();
}

std::unique_ptr<ui::TMainForm> NewMainForm(const std::vector<std::string>& images) {
  ui::TStartArguments arguments;
  arguments.OnlyImages = true;
  arguments.Images = images;
  auto window = std::make_unique<ui::TMainForm>(arguments);
  window->show();
  return window;
}

void OpenDrive(ui::TMainForm& window, int row) {
  WhenModal<ui::TDriveDlg>([row](ui::TDriveDlg* dialog) {
    dialog->ListView1->setCurrentRow(row);
    dialog->ButtonOK->click();
  });
  window.MenuDriveClick();
}

void ShowNode(ui::TMainForm& window, QTreeWidgetItem* node) {
  const int before = window.ListFillCount;
  window.TreeView->setCurrentItem(node);
  QTRY_VERIFY(window.ListFillCount > before || window.FCurrentNode == node);
}

int FindRow(ui::TMainForm& window, const std::function<bool(const TFSObject&)>& test) {
  for (int row = 0; row < window.ListView1->Count(); ++row)
    if (const TFSObject* object = window.ObjectOf(row); object && test(*object)) return row;
  return -1;
}

void SelectRows(ui::TMainForm& window, const std::vector<int>& rows) {
  QItemSelectionModel* selection = window.ListView1Details->selectionModel();
  selection->clearSelection();
  for (int row : rows)
    selection->select(window.ListView1->index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
  window.UpdateCommands();
  window.UpdateStatus();
}

std::string FixtureContent(std::size_t n) {
  std::string text;
  while (text.size() < n) text += "The quick brown fox jumps over the lazy dog.\n";
  return text.substr(0, n);
}

}  // namespace vantrel::test
