#pragma once
// The core's tree view over the window's QTreeWidget: a node is its
// QTreeWidgetItem, and its data is the folder it shows.

#include <QTreeWidget>
#include <functional>

#include "fs/Views.h"

namespace vantrel {
class TCustomDirectory;
}

namespace vantrel::ui {

class TTreeAdapter : public ITreeView {
 public:
  using TopNodes = std::function<void(QTreeWidgetItem*, QTreeWidgetItem*, QTreeWidgetItem*, QTreeWidgetItem*)>;
  TTreeAdapter(QTreeWidget* tree, TopNodes topNodes) : tree_(tree), topNodes_(std::move(topNodes)) {}

  void BeginUpdate() override;
  void EndUpdate() override;
  Node AddChild(Node parent, const std::string& text, int image, TFSObject* data) override;
  void SetHasChildren(Node node, bool hasChildren) override;
  void SortChildren(Node node) override;
  void SetTopNodes(Node root, Node deleted, Node lost, Node search) override;

  static QTreeWidgetItem* ItemOf(Node node) { return reinterpret_cast<QTreeWidgetItem*>(node); }
  static Node NodeOf(QTreeWidgetItem* item) { return reinterpret_cast<Node>(item); }
  // The folder a node shows, or null.
  static TCustomDirectory* DirectoryOf(const QTreeWidgetItem* item);
  // Item images of a node: the picture and the image index it stands for.
  static void SetImage(QTreeWidgetItem* item, int image);
  static int ImageOf(const QTreeWidgetItem* item);

  static constexpr int DataRole = Qt::UserRole + 1;
  static constexpr int ImageRole = Qt::UserRole + 2;

 private:
  QTreeWidget* tree_;
  TopNodes topNodes_;
  int updates_ = 0;
};

}  // namespace vantrel::ui
