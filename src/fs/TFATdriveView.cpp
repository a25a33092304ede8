// How a volume presents and searches itself: the four top nodes, the list
// columns and the find command.

#include "common/Routines.h"
#include "fs/FindDialog.h"
#include "fs/TFATDirectory.h"
#include "fs/TFATdrive.h"
#include "host/UserInterface.h"

namespace vantrel {

std::string NormalizeFindMask(const std::string& text) {
  if (text.empty()) return "*";
  if (text.find('.') == std::string::npos) return "*" + text + "*";
  return text;
}

void TFATdrive::FillTree(ITreeView& tree) {
  const auto root = tree.AddChild(0, "根目录", 0, RootDir.get());
  tree.SetHasChildren(root, Root()->ProbeSubDirs(false));
  const auto deleted = tree.AddChild(0, "删除", 2, DeletedDir.get());
  tree.SetHasChildren(deleted, Deleted()->ProbeSubDirs(true));
  const auto lost = tree.AddChild(0, "丢失", 3, LostDir.get());
  tree.SetHasChildren(lost, LostDir->HasSubdirectories());
  const auto search = tree.AddChild(0, "搜索", 4, SearchDir.get());
  tree.SetHasChildren(search, SearchDir->HasSubdirectories());
  tree.SetTopNodes(root, deleted, lost, search);
}

void TFATdrive::SetupColumns(IListView& list) {
  list.AddColumn("名称", 150);
  list.AddColumn("大小", 60);
  list.AddColumn("修改日期", 100);
  list.AddColumn("蔟", 60);
  list.AddColumn("条件", 60);
  list.AddColumn("类型", 100);
  list.AddColumn("校验", 60);
}

bool TFATdrive::Find(IFindDialog& dialog) {
  if (!dialog.Execute()) return false;
  Search()->Clear();
  SearchDir->Expanded = 0;
  const std::string mask = dialog.Mask();
  auto visit = [&](TFSObject* item, int userData) {
    dialog.SetScanning(ShortenPath(item->GetPath(nullptr), 30));
    // In the deleted tree a folder counts only when it is deleted itself.
    const bool test = !item->IsDirectory() || userData == 0 || item->Status == isDeleted;
    if (test) {
      const std::string name = DisplayNameOf(*item);
      if (MatchesMask(name, mask, U'?', false, U'*')) {
        dialog.AddHit(name, *item);
        auto copy = item->Clone();
        copy->Parent = SearchDir.get();
        SearchDir->Items->push_back(std::move(copy));
      }
    }
    ProcessMessages();
    return !dialog.Cancelled();
  };
  if (Deleted()->ForEach(visit, true, 1, true, true) && Lost()->ForEach(visit, false, 0, true, false))
    Root()->ForEach(visit, false, 0, true, false);
  dialog.Hide();
  return true;
}

}  // namespace vantrel
