#pragma once
// The list view and dialogs of the command line: they collect what the core
// puts into them, or answer from the command's flags.

#include <cstdint>
#include <string>
#include <vector>

#include "fs/FindDialog.h"
#include "fs/Views.h"
#include "host/RangeDialogs.h"

namespace vantrel::cli {

class CollectingListView : public IListView {
 public:
  void ClearColumns() override { columns.clear(); }
  void AddColumn(const std::string& caption, int) override { columns.push_back(caption); }
  void Hide() override {}
  void Show() override {}
  void Clear() override { items.clear(); }
  void BeginUpdate() override {}
  void EndUpdate() override {}
  TListItem& AddItem() override {
    items.emplace_back();
    return items.back();
  }
  void Sort() override {}
  std::vector<std::string> columns;
  std::vector<TListItem> items;
};

// The find dialog of the command line: the mask comes from the command, the
// hits are collected with the path of the item they came from.
class CliFindDialog : public IFindDialog {
 public:
  explicit CliFindDialog(const std::string& text) : mask_(NormalizeFindMask(text)) {}
  bool Execute() override { return true; }
  const std::string& Mask() const override { return mask_; }
  bool Cancelled() const override { return false; }
  void AddHit(const std::string& name, const TFSObject& item) override;
  void SetScanning(const std::string&) override {}
  void Hide() override {}
  struct Hit {
    std::string name;
    std::string view;  // "live", "deleted" or "lost"
    std::string path;  // display names joined by "/" from the view's top
    bool isDirectory;
    std::uint8_t status;
  };
  std::vector<Hit> hits;

 private:
  std::string mask_;
};

// The folder chooser answered by --to and --fat/--no-fat.
class CliDirSelectView : public IDirSelectDialogView {
 public:
  // fatChoice: 0, a FAT copy or kFATChoiceFree; -1 keeps the preselected entry.
  CliDirSelectView(std::string folder, int fatChoice) : folder_(std::move(folder)), fatChoice_(fatChoice) {}
  TDirSelectResult ShowModal(TDirSelectDialog& dialog) override;

 private:
  std::string folder_;
  int fatChoice_;
};

}  // namespace vantrel::cli
