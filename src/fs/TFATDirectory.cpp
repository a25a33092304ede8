#include "fs/TFATDirectory.h"

#include <array>
#include <cstdlib>

#include "common/DebugLog.h"
#include "common/Routines.h"
#include "fs/ClusterTests.h"
#include "fs/DirEntries.h"
#include "fs/TFATdrive.h"
#include "host/RunSettings.h"
#include "host/UserInterface.h"

namespace vantrel {
namespace {

// Good when the first cluster is still free in the first FAT copy: nothing
// has been written over the deleted item's start yet.
std::uint8_t ConditionOf(TFATdrive& drive, std::uint32_t cluster) {
  if (drive.IsValidCluster(cluster) && ClassifyEntry(drive.FATType, drive.GetFATEntry(cluster, 0)) == feFree)
    return ccGood;
  return ccBad;
}

std::string ConditionText(const TFSObject& item) {
  if (item.IsDirectory() && item.Status != isDeleted) return "";
  return item.Condition == ccBad ? "差" : "好";
}

// Numbers of the size and cluster columns; an empty text counts as 0.
long long ColumnNumber(const std::string& text) {
  if (text.empty()) return 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  return *end == '\0' ? value : 0;
}

// The date part (day, month, four-digit year) of a date column text as one
// comparable number; false when the text holds no valid date.
bool ColumnDate(const std::string& text, long& value) {
  if (text.size() < 10 || text[2] != '.' || text[5] != '.') return false;
  for (int i : {0, 1, 3, 4, 6, 7, 8, 9})
    if (text[i] < '0' || text[i] > '9') return false;
  const long day = std::atol(text.substr(0, 2).c_str());
  const long month = std::atol(text.substr(3, 2).c_str());
  const long year = std::atol(text.substr(6, 4).c_str());
  if (day < 1 || day > 31 || month < 1 || month > 12) return false;
  value = year * 10000 + month * 100 + day;
  return true;
}

int Sign(long long v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

// A folder entry whose first cluster is 0 points at the root (as ".." does):
// it has no entries of its own, and "cluster 0" read from sector 0 would
// list the boot sector and the FATs as if they were entries.
bool PointsAtNothing(const TFATDirectory& dir) { return dir.StartCluster == 0 && dir.Sector == 0; }

// Texts compare letter by letter without regard to ASCII case first, then
// with it, so that the order is stable.
int CompareTexts(const std::string& a, const std::string& b) {
  const std::u32string x = Utf8ToCodePoints(a), y = Utf8ToCodePoints(b);
  auto fold = [](char32_t c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; };
  for (std::size_t i = 0; i < x.size() && i < y.size(); ++i)
    if (fold(x[i]) != fold(y[i])) return fold(x[i]) < fold(y[i]) ? -1 : 1;
  if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
  return a.compare(b) < 0 ? -1 : a.compare(b) > 0 ? 1 : 0;
}

}  // namespace

std::string DisplayNameOf(const TFSObject& item) { return RunSettings().DisplayName(item.Name); }

// ---- TFATFile ----

TFATdrive* TFATFile::FATDrive() const { return static_cast<TFATdrive*>(Drive); }

void TFATFile::AssignTo(TCustomFile& target) const {
  TCustomFile::AssignTo(target);
  if (auto* f = dynamic_cast<TFATFile*>(&target)) {
    f->Attr = Attr;
    f->StartCluster = StartCluster;
    f->Time = Time;
    f->Date = Date;
    f->Size = Size;
  }
}

bool TFATFile::SetName(const std::string& name) {
  Name = name;
  return true;
}

std::string TFATFile::GetPath(const TCustomDirectory* ancestor) const {
  if (!Parent || Parent == ancestor) return "";
  return Parent->GetPath(ancestor);
}

void TFATFile::UpdateListItem(TListItem& item) const {
  item.Caption = DisplayNameOf(*this);
  item.SubItems.resize(6);
  item.SubItems[0] = UIntToText(Size);
  item.SubItems[2] = UIntToText(StartCluster);
  item.SubItems[5] = VerdictText(Verdict);
  item.Size = Size;
  item.FirstCluster = StartCluster;
}

std::unique_ptr<TFSObject> TFATFile::Clone() const {
  auto copy = std::make_unique<TFATFile>();
  AssignTo(*copy);
  return copy;
}

// ---- TFATDirectory ----

TFATdrive* TFATDirectory::FATDrive() const { return static_cast<TFATdrive*>(Drive); }

void TFATDirectory::AssignTo(TCustomDirectory& target) const {
  TCustomDirectory::AssignTo(target);
  if (auto* d = dynamic_cast<TFATDirectory*>(&target)) {
    d->StartCluster = StartCluster;
    d->Sector = Sector;
    d->Time = Time;
    d->Date = Date;
    d->DeletedChildren = DeletedChildren;
  }
}

bool TFATDirectory::SetName(const std::string& name) {
  Name = name;
  return true;
}

std::string TFATDirectory::GetPath(const TCustomDirectory* ancestor) const {
  if (this == ancestor) return "";
  const std::string above = Parent ? Parent->GetPath(ancestor) : "";
  const std::string name = DisplayNameOf(*this);
  return above.empty() ? name : above + "\\" + name;
}

void TFATDirectory::UpdateListItem(TListItem& item) const {
  item.Caption = DisplayNameOf(*this);
  item.SubItems.resize(6);
  item.SubItems[0] = "";
  item.SubItems[2] = UIntToText(StartCluster);
  item.Size = 0;
  item.FirstCluster = StartCluster;
}

std::unique_ptr<TFSObject> TFATDirectory::Clone() const {
  auto copy = std::make_unique<TFATDirectory>();
  AssignTo(*copy);
  return copy;
}

bool TFATDirectory::HasSubdirectories() const {
  if (!Items) return false;
  for (const auto& item : *Items)
    if (item->IsDirectory()) return true;
  return false;
}

void TFATDirectory::LoadChildren(bool includeDeleted, bool onlyDeleted) {
  TFATdrive& drive = *FATDrive();
  Items = std::make_unique<TItemList>();
  Incomplete = false;
  if (PointsAtNothing(*this)) return;
  if (DeletedChildren) includeDeleted = onlyDeleted = true;
  TChainCursor cursor(StartCluster, Sector);
  cursor.SkipUnreadable = true;
  std::string name;
  std::array<std::uint8_t, 32> entry{};
  struct MarkIncomplete {
    TFATDirectory& folder;
    const TChainCursor& cursor;
    ~MarkIncomplete() { folder.Incomplete = cursor.ReadFailed; }
  } mark{*this, cursor};
  while (ReadDirEntry(drive, cursor, includeDeleted, name, entry.data())) {
    const std::uint8_t attr = entry[kDirAttr];
    const bool deleted = entry[0] == kDeletedMark;
    const std::uint32_t cluster = EntryCluster(entry.data());
    if ((attr & kAttrDirectory) && name != "." && name != "..") {
      // A deleted folder counts only while its first cluster still holds a folder.
      if (deleted && !ClusterHasDotEntries(drive, cluster, 0)) continue;
      auto folder = std::make_unique<TFATDirectory>();
      folder->Drive = &drive;
      folder->StartCluster = cluster;
      folder->Sector = 0;
      folder->Name = name;
      folder->Time = EntryTime(entry.data());
      folder->Date = EntryDate(entry.data());
      folder->Status = deleted ? isDeleted : isNormal;
      folder->Condition = deleted ? ConditionOf(drive, cluster) : static_cast<std::uint8_t>(ccNone);
      folder->DeletedChildren = deleted && DeletedChildren;
      folder->Parent = this;
      Items->push_back(std::move(folder));
    } else if (!(attr & kAttrDirectory) && !(attr & kAttrVolumeLabel)) {
      if (includeDeleted && onlyDeleted && !deleted) continue;
      auto file = std::make_unique<TFATFile>();
      file->Drive = &drive;
      file->StartCluster = cluster;
      file->Attr = attr;
      file->Size = EntrySize(entry.data());
      file->Time = EntryTime(entry.data());
      file->Date = EntryDate(entry.data());
      file->Name = name;
      file->Parent = this;
      file->Status = deleted ? isDeleted : isNormal;
      // A live entry that no system wrote (a cluster of other data read as a
      // folder's) is shown as damaged and saved only as far as its chain.
      file->Condition = deleted                           ? ConditionOf(drive, cluster)
                        : ShortEntryDamaged(entry.data()) ? static_cast<std::uint8_t>(ccBad)
                                                          : static_cast<std::uint8_t>(ccNone);
      Items->push_back(std::move(file));
    }
  }
}

bool TFATDirectory::ProbeSubDirs(bool includeDeleted) {
  if (PointsAtNothing(*this)) return false;
  includeDeleted = includeDeleted || DeletedChildren;
  TFATdrive& drive = *FATDrive();
  TChainCursor cursor(StartCluster, Sector);
  std::string name;
  std::array<std::uint8_t, 32> entry{};
  while (ReadDirEntry(drive, cursor, includeDeleted, name, entry.data()))
    if ((entry[kDirAttr] & kAttrDirectory) && entry[kDirAttr] != kAttrLongName && name != "." && name != "..") return true;
  return false;
}

bool TWalkGuard::MayEnter(const TFATDirectory& folder, int depth) {
  const std::uint64_t key =
      folder.StartCluster != 0 ? folder.StartCluster : (std::uint64_t{1} << 32) | folder.Sector;
  if (depth <= TFATDirectory::kMaxWalkDepth && seen_.insert(key).second) return true;
  DebugMessage(Format("目录循环或过深: cluster %u", folder.StartCluster), 3);
  return false;
}

namespace {

bool ForEachIn(TFATDirectory& folder, const TForEachCallback& callback, bool load, int userData, bool recursive,
               bool onlyDeleted, TWalkGuard& guard, int depth) {
  bool loadedHere = false;
  if (!folder.Items) {
    folder.LoadChildren(load, onlyDeleted);
    loadedHere = true;
  }
  if (!folder.Items) return true;
  bool result = true;
  for (std::size_t i = 0; i < folder.Items->size() && result; ++i) {
    TFSObject* child = (*folder.Items)[i].get();
    if (!callback(child, userData)) {
      result = false;
      break;
    }
    if (recursive && child->IsDirectory()) {
      auto* sub = static_cast<TFATDirectory*>(child);
      if (guard.MayEnter(*sub, depth + 1))
        result = ForEachIn(*sub, callback, load, userData, recursive, onlyDeleted, guard, depth + 1);
    }
  }
  if (loadedHere) folder.Items.reset();
  return result;
}

}  // namespace

bool TFATDirectory::ForEach(const TForEachCallback& callback, bool load, int userData, bool recursive,
                            bool onlyDeleted) {
  TWalkGuard guard;
  guard.MayEnter(*this, 0);
  return ForEachIn(*this, callback, load, userData, recursive, onlyDeleted, guard, 0);
}

void TFATDirectory::ExpandNode(ITreeView& tree, ITreeView::Node node, bool deletedView) {
  if (Expanded) return;
  tree.BeginUpdate();
  try {
    if (!Items) LoadChildren(deletedView, true);
    for (const auto& child : *Items) {
      if (!child->IsDirectory()) continue;
      auto* folder = static_cast<TFATDirectory*>(child.get());
      const bool deleted = folder->Status == isDeleted;
      const ITreeView::Node added =
          tree.AddChild(node, deleted ? DisplayNameOf(*folder) : folder->Name, deleted ? 6 : 0, folder);
      if (folder->ProbeSubDirs(deletedView)) tree.SetHasChildren(added, true);
    }
    tree.SortChildren(node);
    Expanded = 1;
  } catch (const std::exception& e) {
    ShowMessageBox(std::string("错误: ") + e.what(), "", TMsgType::mtError);
  }
  tree.EndUpdate();
}

void TFATDirectory::FillListView(IListView& list, bool deletedView) {
  list.Hide();
  list.Clear();
  list.Show();
  if (!Items) LoadChildren(deletedView, true);
  list.BeginUpdate();
  for (const auto& child : *Items) {
    TListItem& item = list.AddItem();
    item.Data = child.get();
    item.Caption = DisplayNameOf(*child);
    item.SubItems.assign(6, "");
    const bool deleted = child->Status == isDeleted;
    if (child->IsDirectory()) {
      const auto* folder = static_cast<const TFATDirectory*>(child.get());
      item.ImageIndex = deleted ? 6 : 0;
      item.SubItems[1] = FormatDosDateTime(folder->Time, folder->Date);
      item.SubItems[2] = UIntToText(folder->StartCluster);
      item.SubItems[4] = GetShellTypeName(child->Name, true);
      item.Date = folder->Date;
      item.Time = folder->Time;
      item.FirstCluster = folder->StartCluster;
    } else {
      const auto* file = static_cast<const TFATFile*>(child.get());
      item.ImageIndex = deleted ? 8 : 5;
      item.SubItems[0] = UIntToText(file->Size);
      item.SubItems[1] = FormatDosDateTime(file->Time, file->Date);
      item.SubItems[2] = UIntToText(file->StartCluster);
      item.SubItems[4] = GetShellTypeName(child->Name, false);
      item.SubItems[5] = VerdictText(file->Verdict);
      item.Size = file->Size;
      item.Date = file->Date;
      item.Time = file->Time;
      item.FirstCluster = file->StartCluster;
    }
    item.SubItems[3] = ConditionText(*child);
  }
  list.EndUpdate();
  list.Sort();
}

int TFATDirectory::CompareItems(const TListItem& item1, const TListItem& item2, int column) const {
  const bool dir1 = item1.Data && item1.Data->IsDirectory();
  const bool dir2 = item2.Data && item2.Data->IsDirectory();
  if (dir1 != dir2) return dir1 ? -1 : 1;
  static const std::string kNone;
  auto text = [](const TListItem& item, int which) -> const std::string& {
    if (which == kColumnName) return item.Caption;
    const std::size_t sub = static_cast<std::size_t>(which - 1);
    return sub < item.SubItems.size() ? item.SubItems[sub] : kNone;
  };
  // Items this folder filled carry their numbers beside the texts: a sort of
  // a big folder compares those instead of reading the texts back.
  const bool typed = item1.Data && item2.Data;
  switch (column) {
    case kColumnName:
    case kColumnCondition:
    case kColumnType:
      return CompareTexts(text(item1, column), text(item2, column));
    case kColumnSize:
      if (typed) return item1.Size < item2.Size ? -1 : item1.Size > item2.Size ? 1 : 0;
      // Sizes above 2 GiB compare as the numbers they are.
      return Sign(ColumnNumber(text(item1, column)) - ColumnNumber(text(item2, column)));
    case kColumnCluster:
      if (typed) return item1.FirstCluster < item2.FirstCluster ? -1 : item1.FirstCluster > item2.FirstCluster ? 1 : 0;
      return Sign(ColumnNumber(text(item1, column)) - ColumnNumber(text(item2, column)));
    case kColumnVerdict: {
      // In the order of the verdicts, unchecked files last.
      auto rank = [](const TListItem& item) {
        if (!item.Data || item.Data->IsDirectory()) return -1;
        const TVerdict v = static_cast<const TCustomFile*>(item.Data)->Verdict;
        return v == vdNone ? 99 : static_cast<int>(v);
      };
      if (typed) return Sign(rank(item1) - rank(item2));
      return CompareTexts(text(item1, column), text(item2, column));
    }
    case kColumnDate: {
      long d1 = 0, d2 = 0;
      if (!ColumnDate(text(item1, column), d1) || !ColumnDate(text(item2, column), d2)) return 0;
      return Sign(d1 - d2);
    }
    default:
      return 0;
  }
}

}  // namespace vantrel
