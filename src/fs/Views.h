#pragma once
// The tree and list views that drives and folders fill. The Qt window, the
// command line and the tests implement them; the core only names what it uses.

#include <cstdint>
#include <string>
#include <vector>

namespace vantrel {

class TFSObject;

// One row of the file list: its caption, the texts of the other columns, the
// numbers behind the size, date and cluster texts, and the item it shows
// (owned by its folder, never by the list).
struct TListItem {
  std::string Caption;
  std::vector<std::string> SubItems;
  std::uint64_t Size = 0;          // bytes; 0 for a folder
  std::uint16_t Date = 0;          // DOS date and time of the last change; 0 when none
  std::uint16_t Time = 0;
  std::uint32_t FirstCluster = 0;
  int ImageIndex = 0;
  TFSObject* Data = nullptr;
};

class IListView {
 public:
  virtual ~IListView() = default;
  virtual void ClearColumns() = 0;
  virtual void AddColumn(const std::string& caption, int width) = 0;
  virtual void Hide() = 0;
  virtual void Show() = 0;
  virtual void Clear() = 0;
  virtual void BeginUpdate() = 0;
  virtual void EndUpdate() = 0;
  virtual TListItem& AddItem() = 0;
  // Sorts the rows; the view's compare calls the parent folder's CompareItems.
  virtual void Sort() = 0;
};

class ITreeView {
 public:
  using Node = std::intptr_t;  // 0 stands for "no node" (the top level)
  virtual ~ITreeView() = default;
  virtual void BeginUpdate() = 0;
  virtual void EndUpdate() = 0;
  virtual Node AddChild(Node parent, const std::string& text, int image, TFSObject* data) = 0;
  virtual void SetHasChildren(Node node, bool hasChildren) = 0;
  // Sorts the node's children by text, their children too.
  virtual void SortChildren(Node node) = 0;
  // The four top nodes of a drive, so that the window knows which is which.
  virtual void SetTopNodes(Node root, Node deleted, Node lost, Node search) = 0;
};

}  // namespace vantrel
