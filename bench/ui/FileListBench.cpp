// Fills the window's file list with a folder of 20,000 entries and sorts it
// by every column in both directions, on the offscreen platform unless a
// display is asked for. Usage: bench_file_list [ENTRIES]

#include <QApplication>
#include <QElapsedTimer>
#include <QTreeView>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "fs/TFATDirectory.h"
#include "fs/TFATdrive.h"
#include "ui/QtFrontEnd.h"
#include "ui/TFileListModel.h"
#include "ui/TMainForm.h"

using namespace vantrel;

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ui::SetUpChinese();
  ui::InstallQtFrontEnd();
  const int entries = argc > 1 ? std::atoi(argv[1]) : 20000;

  // A folder as a directory listing leaves it: a few subfolders, files with
  // the usual mix of extensions, sizes, dates and clusters, some deleted.
  TFATDirectory folder;
  folder.Items = std::make_unique<TItemList>();
  std::mt19937 random(42);
  const char* const extensions[] = {".txt", ".jpg", ".doc", ".pdf", ".mp3", ".zip", ".c", ".htm", "", ".dat"};
  for (int i = 0; i < entries; ++i) {
    std::unique_ptr<TFSObject> item;
    if (i % 50 == 0) {
      auto dir = std::make_unique<TFATDirectory>();
      dir->StartCluster = random() % 1000000;
      dir->Date = static_cast<std::uint16_t>(((random() % 40) << 9) | ((random() % 12 + 1) << 5) | (random() % 28 + 1));
      item = std::move(dir);
      item->Name = "Folder " + std::to_string(random() % 100000);
    } else {
      auto file = std::make_unique<TFATFile>();
      file->Size = random() % 50000000;
      file->StartCluster = random() % 1000000;
      file->Date = static_cast<std::uint16_t>(((random() % 40) << 9) | ((random() % 12 + 1) << 5) | (random() % 28 + 1));
      file->Time = static_cast<std::uint16_t>(((random() % 24) << 11) | ((random() % 60) << 5));
      item = std::move(file);
      item->Name = "file " + std::to_string(random() % 1000000) + extensions[random() % 10];
    }
    if (i % 7 == 0) {
      item->Name[0] = static_cast<char>(0xE5);
      item->Status = isDeleted;
      item->Condition = (i % 3) ? ccGood : ccBad;
    }
    item->Parent = &folder;
    folder.Items->push_back(std::move(item));
  }

  ui::TStartArguments arguments;
  arguments.OnlyImages = true;
  ui::TMainForm window(arguments);
  window.FWelcomeShown = true;  // no start-up guide in front of the measurement
  window.show();
  window.SetViewState(2);
  TFATdrive columns;  // only for its list columns
  columns.SetupColumns(*window.ListView1);
  QApplication::processEvents();

  QElapsedTimer clock;
  clock.start();
  folder.FillListView(*window.ListView1, true);
  QApplication::processEvents();  // the view lays out and paints the rows it shows
  std::printf("fill %d entries: %lld ms\n", window.ListView1->Count(), static_cast<long long>(clock.elapsed()));

  const char* const names[] = {"名称", "大小", "修改日期", "蔟", "条件", "类型"};
  for (int column = 0; column < 6; ++column) {
    for (bool ascending : {true, false}) {
      clock.restart();
      window.SortList(column, ascending);
      QApplication::processEvents();
      std::printf("sort by %-8s %-4s: %lld ms\n", names[column], ascending ? "asc" : "desc",
                  static_cast<long long>(clock.elapsed()));
    }
  }
  return 0;
}
