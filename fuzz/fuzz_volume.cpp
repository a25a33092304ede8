// Opens the input as a volume, lists its live and deleted trees and finds
// names in them.

#include "fs/FindDialog.h"
#include "fs/TFATDirectory.h"
#include "fs/TFATdrive.h"
#include "fuzz/MemoryDisk.h"

using namespace vantrel;

namespace {
struct NullList : IListView {
  std::vector<TListItem> items;
  void ClearColumns() override {}
  void AddColumn(const std::string&, int) override {}
  void Hide() override {}
  void Show() override {}
  void Clear() override { items.clear(); }
  void BeginUpdate() override {}
  void EndUpdate() override {}
  TListItem& AddItem() override { return items.emplace_back(); }
  void Sort() override {}
};

// Finds every name with a dot, as "find DRIVE ." does; stops after many hits.
struct FindAll : IFindDialog {
  std::string mask = NormalizeFindMask(".");
  int hits = 0;
  bool Execute() override { return true; }
  const std::string& Mask() const override { return mask; }
  bool Cancelled() const override { return hits > 5000; }
  void AddHit(const std::string&, const TFSObject&) override { ++hits; }
  void SetScanning(const std::string&) override {}
  void Hide() override {}
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzDisk disk(data, size, true);
  disk.Scan();
  disk.ForEachDrive([&](TFATdrive& drive) {
    int items = 0;
    auto count = [&](TFSObject* item, int) {
      (void)item->GetPath(nullptr);
      return ++items < 20000;
    };
    drive.Root()->ForEach(count, false, 0, true, false);
    drive.Deleted()->ForEach(count, true, 1, true, true);
    NullList list;
    drive.Root()->FillListView(list, false);
    drive.Deleted()->FillListView(list, true);
    for (std::size_t a = 0; a + 1 < list.items.size(); ++a) (void)drive.Deleted()->CompareItems(list.items[a], list.items[a + 1], static_cast<int>(a % 6));
    (void)drive.Root()->ProbeSubDirs(false);
    FindAll find;
    (void)drive.Find(find);
  });
  return 0;
}
