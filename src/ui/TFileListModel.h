#pragma once
// The file list: one model for the four view styles (a QTreeView shows it in
// details, a QListView as icons or a list). It is also the core's list view:
// a folder's FillListView fills it and asks it to sort; the order comes from
// the window's ListView1Compare.

#include <QAbstractTableModel>
#include <functional>
#include <string>
#include <vector>

#include "fs/Views.h"

namespace vantrel::ui {

class TFileListModel : public QAbstractTableModel, public IListView {
  Q_OBJECT
 public:
  using Compare = std::function<int(const TListItem&, const TListItem&)>;
  // Renaming from in-place editing; false keeps the old caption.
  using Rename = std::function<bool(TListItem&, const std::string&)>;

  explicit TFileListModel(QObject* parent = nullptr) : QAbstractTableModel(parent) {}

  void SetCompare(Compare compare) { compare_ = std::move(compare); }
  void SetRename(Rename rename) { rename_ = std::move(rename); }

  // IListView
  void ClearColumns() override;
  void AddColumn(const std::string& caption, int width) override;
  void Hide() override {}
  void Show() override {}
  void Clear() override;
  void BeginUpdate() override;
  void EndUpdate() override;
  TListItem& AddItem() override;
  void Sort() override;

  int Count() const { return static_cast<int>(items_.size()); }
  TListItem& Item(int row) { return items_.at(static_cast<std::size_t>(row)); }
  const TListItem& Item(int row) const { return items_.at(static_cast<std::size_t>(row)); }
  int ColumnWidth(int column) const { return widths_.at(static_cast<std::size_t>(column)); }
  // Rewrites a row after its object changed (UpdateListItem).
  void RowChanged(int row);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;

  static constexpr int ObjectRole = Qt::UserRole + 1;

 private:
  std::vector<std::string> columns_;
  std::vector<int> widths_;
  std::vector<TListItem> items_;
  int updates_ = 0;
  Compare compare_;
  Rename rename_;
};

}  // namespace vantrel::ui
