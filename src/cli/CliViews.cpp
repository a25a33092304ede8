#include "cli/CliViews.h"

#include "common/FATChoice.h"
#include "fs/TFATDirectory.h"

namespace vantrel::cli {

void CliFindDialog::AddHit(const std::string& name, const TFSObject& item) {
  std::string path = name;
  const TCustomDirectory* top = item.Parent;
  for (const TCustomDirectory* d = item.Parent; d; d = d->Parent) {
    top = d;
    if (d->Parent) path = DisplayNameOf(*d) + "/" + path;
  }
  std::string view = "live";
  if (top && top->Name == "删除") view = "deleted";
  if (top && top->Name == "丢失") view = "lost";
  // The item itself may be freed once the walk leaves its folder.
  hits.push_back({name, view, path, item.IsDirectory(), item.Status});
}

TDirSelectResult CliDirSelectView::ShowModal(TDirSelectDialog& dialog) {
  TDirSelectResult result;
  result.Ok = true;
  result.Folder = folder_;
  // The box lists items, not choices: "free clusters only" comes after the FAT copies.
  result.FATItemIndex = fatChoice_ >= 0 ? ItemOfFATChoice(static_cast<std::uint8_t>(fatChoice_), dialog.NumberOfFATs())
                                        : dialog.ComboBoxFATItemIndex;
  dialog.FolderChanged(folder_);
  return result;
}

}  // namespace vantrel::cli
