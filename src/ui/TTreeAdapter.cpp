#include "ui/TTreeAdapter.h"

#include "fs/TCustom.h"
#include "ui/Icons.h"

namespace vantrel::ui {

void TTreeAdapter::BeginUpdate() {
  if (updates_++ == 0) tree_->setUpdatesEnabled(false);
}

void TTreeAdapter::EndUpdate() {
  if (updates_ > 0 && --updates_ == 0) tree_->setUpdatesEnabled(true);
}

ITreeView::Node TTreeAdapter::AddChild(Node parent, const std::string& text, int image, TFSObject* data) {
  auto* item = parent ? new QTreeWidgetItem(ItemOf(parent)) : new QTreeWidgetItem(tree_);
  item->setText(0, QString::fromStdString(text));
  item->setToolTip(0, item->text(0));
  item->setFlags(item->flags() | Qt::ItemIsEditable);
  SetImage(item, image);
  item->setData(0, DataRole, QVariant::fromValue(static_cast<void*>(data)));
  item->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
  return NodeOf(item);
}

void TTreeAdapter::SetHasChildren(Node node, bool hasChildren) {
  if (auto* item = ItemOf(node))
    item->setChildIndicatorPolicy(hasChildren ? QTreeWidgetItem::ShowIndicator
                                              : QTreeWidgetItem::DontShowIndicatorWhenChildless);
}

void TTreeAdapter::SortChildren(Node node) {
  if (auto* item = ItemOf(node)) item->sortChildren(0, Qt::AscendingOrder);
}

void TTreeAdapter::SetTopNodes(Node root, Node deleted, Node lost, Node search) {
  if (topNodes_) topNodes_(ItemOf(root), ItemOf(deleted), ItemOf(lost), ItemOf(search));
}

TCustomDirectory* TTreeAdapter::DirectoryOf(const QTreeWidgetItem* item) {
  if (!item) return nullptr;
  auto* object = static_cast<TFSObject*>(item->data(0, DataRole).value<void*>());
  return object && object->IsDirectory() ? static_cast<TCustomDirectory*>(object) : nullptr;
}

void TTreeAdapter::SetImage(QTreeWidgetItem* item, int image) {
  item->setIcon(0, ItemImage(image));
  item->setData(0, ImageRole, image);
}

int TTreeAdapter::ImageOf(const QTreeWidgetItem* item) { return item->data(0, ImageRole).toInt(); }

}  // namespace vantrel::ui
