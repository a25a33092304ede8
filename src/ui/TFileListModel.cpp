#include "ui/TFileListModel.h"

#include <algorithm>
#include <numeric>

#include "fs/TFATDirectory.h"
#include "ui/Icons.h"

namespace vantrel::ui {

void TFileListModel::ClearColumns() {
  beginResetModel();
  columns_.clear();
  widths_.clear();
  endResetModel();
}

void TFileListModel::AddColumn(const std::string& caption, int width) {
  const int at = static_cast<int>(columns_.size());
  beginInsertColumns({}, at, at);
  columns_.push_back(caption);
  widths_.push_back(width);
  endInsertColumns();
}

void TFileListModel::Clear() {
  if (updates_ > 0) {
    items_.clear();
    return;
  }
  beginResetModel();
  items_.clear();
  endResetModel();
}

// A fill adds thousands of rows: the views hear of them once, at the end.
void TFileListModel::BeginUpdate() {
  if (updates_++ == 0) beginResetModel();
}

void TFileListModel::EndUpdate() {
  if (updates_ > 0 && --updates_ == 0) endResetModel();
}

TListItem& TFileListModel::AddItem() {
  if (updates_ > 0) {
    items_.emplace_back();
    return items_.back();
  }
  const int row = static_cast<int>(items_.size());
  beginInsertRows({}, row, row);
  items_.emplace_back();
  endInsertRows();
  return items_.back();
}

void TFileListModel::Sort() {
  if (!compare_ || items_.size() < 2) return;
  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  std::vector<int> order(items_.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [this](int a, int b) {
    return compare_(items_[static_cast<std::size_t>(a)], items_[static_cast<std::size_t>(b)]) < 0;
  });
  std::vector<TListItem> sorted;
  sorted.reserve(items_.size());
  std::vector<int> newRow(items_.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    newRow[static_cast<std::size_t>(order[i])] = static_cast<int>(i);
    sorted.push_back(std::move(items_[static_cast<std::size_t>(order[i])]));
  }
  items_ = std::move(sorted);
  // The selection and the current item follow their rows.
  const QModelIndexList from = persistentIndexList();
  QModelIndexList to;
  to.reserve(from.size());
  for (const QModelIndex& index : from)
    to.append(index.isValid() ? createIndex(newRow[static_cast<std::size_t>(index.row())], index.column())
                              : QModelIndex());
  changePersistentIndexList(from, to);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void TFileListModel::RowChanged(int row) {
  emit dataChanged(index(row, 0), index(row, columnCount() - 1));
}

int TFileListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(items_.size());
}

int TFileListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : std::max<int>(1, static_cast<int>(columns_.size()));
}

QVariant TFileListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= Count()) return {};
  const TListItem& item = Item(index.row());
  const int column = index.column();
  switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
      if (column == 0) return QString::fromStdString(item.Caption);
      if (static_cast<std::size_t>(column - 1) < item.SubItems.size())
        return QString::fromStdString(item.SubItems[static_cast<std::size_t>(column - 1)]);
      return {};
    case Qt::DecorationRole:
      if (column == 0) return ItemImage(item.ImageIndex);
      return {};
    case Qt::ToolTipRole:  // a long name cut by its column shows whole
      if (column == 0) return QString::fromStdString(item.Caption);
      return {};
    case Qt::TextAlignmentRole:
      if (column == kColumnSize || column == kColumnCluster)
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
      return {};
    case ObjectRole:
      return QVariant::fromValue(static_cast<void*>(item.Data));
    default:
      return {};
  }
}

QVariant TFileListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  if (static_cast<std::size_t>(section) >= columns_.size()) return {};
  return QString::fromStdString(columns_[static_cast<std::size_t>(section)]);
}

Qt::ItemFlags TFileListModel::flags(const QModelIndex& index) const {
  Qt::ItemFlags f = QAbstractTableModel::flags(index);
  // Only the name is edited in place (F2), and only when asked: the views'
  // edit triggers are off.
  if (index.isValid() && index.column() == 0) f |= Qt::ItemIsEditable;
  return f;
}

bool TFileListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (role != Qt::EditRole || !index.isValid() || index.column() != 0 || !rename_) return false;
  TListItem& item = Item(index.row());
  if (!rename_(item, value.toString().toStdString())) return false;
  RowChanged(index.row());
  return true;
}

}  // namespace vantrel::ui
