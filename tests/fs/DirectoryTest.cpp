// FAT folders: the live and deleted views of volumes filled and emptied by
// mtools, the tree and find on them, and hand-made directory entries for
// what the tools never write (overlong and broken long names, 0x05 and
// code-page names, garbage, folders that contain themselves).

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>

#include "app/TOptions.h"
#include "common/CodePage.h"
#include "fs/FindDialog.h"
#include "fs/TFATDirectory.h"
#include "support/FixtureDisk.h"
#include "support/Recorders.h"

namespace vantrel {
namespace {

using test::FixtureDisk;
using test::FixturePath;
using test::MemoryVolume;
using test::ReadFixtureBytes;

struct ListRecorder : IListView {
  void ClearColumns() override {}
  void AddColumn(const std::string&, int) override {}
  void Hide() override {}
  void Show() override {}
  void Clear() override { items.clear(); }
  void BeginUpdate() override {}
  void EndUpdate() override {}
  TListItem& AddItem() override { return items.emplace_back(); }
  void Sort() override {}
  std::vector<TListItem> items;
};

struct TreeRecorder : ITreeView {
  struct Added {
    Node parent;
    std::string text;
    int image;
    TFSObject* data;
    bool hasChildren = false;
  };
  void BeginUpdate() override {}
  void EndUpdate() override {}
  Node AddChild(Node parent, const std::string& text, int image, TFSObject* data) override {
    nodes.push_back({parent, text, image, data});
    return static_cast<Node>(nodes.size());
  }
  void SetHasChildren(Node node, bool has) override { nodes[static_cast<std::size_t>(node - 1)].hasChildren = has; }
  void SortChildren(Node) override {}
  void SetTopNodes(Node, Node, Node, Node) override {}
  // "text" or "text+" (has children) of each child, in the order added.
  std::vector<std::string> Children(Node parent) const {
    std::vector<std::string> texts;
    for (const auto& n : nodes)
      if (n.parent == parent) texts.push_back(n.text + (n.hasChildren ? "+" : ""));
    return texts;
  }
  std::vector<Added> nodes;  // node n is nodes[n - 1]
};

struct FindRecorder : IFindDialog {
  explicit FindRecorder(const std::string& text) : mask(NormalizeFindMask(text)) {}
  bool Execute() override { return true; }
  const std::string& Mask() const override { return mask; }
  bool Cancelled() const override { return false; }
  void AddHit(const std::string& name, const TFSObject& item) override {
    hits.push_back((item.Status == isDeleted ? "deleted " : "") + name + (item.IsDirectory() ? "/" : ""));
  }
  void SetScanning(const std::string&) override {}
  void Hide() override {}
  std::string mask;
  std::vector<std::string> hits;
};

// One row of the list view as text: path, size, date, cluster, condition.
std::string Row(const std::string& path, bool isDir, const std::string& size, const std::string& date,
                const std::string& cluster, const std::string& condition) {
  return path + (isDir ? "/" : "") + " | " + size + " | " + date + " | " + cluster + " | " + condition;
}

// The rows of a folder's list view and of every folder below it.
void CollectRows(TFATDirectory& dir, bool deletedView, const std::string& prefix, std::vector<std::string>& rows) {
  ListRecorder list;
  dir.FillListView(list, deletedView);
  for (const TListItem& item : list.items) {
    const bool isDir = item.Data->IsDirectory();
    rows.push_back(Row(prefix + item.Caption, isDir, item.SubItems[0], item.SubItems[1], item.SubItems[2],
                       item.SubItems[3]));
    if (isDir && prefix.size() < 200)
      CollectRows(*static_cast<TFATDirectory*>(item.Data), deletedView, prefix + item.Caption + "/", rows);
  }
}

std::vector<std::string> Sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

// Display names of a folder's children, in disk order.
std::vector<std::string> Names(TFATDirectory& dir, bool deletedView) {
  dir.LoadChildren(deletedView, true);
  std::vector<std::string> names;
  for (const auto& item : *dir.Items) names.push_back(DisplayNameOf(*item) + (item->IsDirectory() ? "/" : ""));
  return names;
}

// ---- Volumes made by the tools ----

class ToolVolume : public ::testing::TestWithParam<const char*> {
 protected:
  std::vector<std::string> Expected(const std::string& view) const {
    std::vector<std::string> rows;
    for (const auto& i : test::FixtureView(test::ReadFixtureList(std::string(GetParam()) + ".files"), view))
      rows.push_back(Row(i.path, i.isDir, i.isDir ? "" : std::to_string(i.size), i.date, std::to_string(i.cluster),
                         i.condition));
    return Sorted(rows);
  }
  FixtureDisk disk{FixturePath(std::string(GetParam()) + ".img")};
};

TEST_P(ToolVolume, LiveViewShowsEveryLiveItemAsMtoolsWroteIt) {
  std::vector<std::string> rows;
  CollectRows(*disk.Drive(0).Root(), false, "", rows);
  EXPECT_EQ(Sorted(rows), Expected("live"));
}

TEST_P(ToolVolume, DeletedViewShowsEveryDeletedItemWithItsCondition) {
  std::vector<std::string> rows;
  CollectRows(*disk.Drive(0).Deleted(), true, "", rows);
  EXPECT_EQ(Sorted(rows), Expected("deleted"));
}

INSTANTIATE_TEST_SUITE_P(FixtureImages, ToolVolume,
                         ::testing::Values("fat12", "fat16", "fat32", "fat16-2k", "fat12-64k"),
                         [](const ::testing::TestParamInfo<const char*>& param) {
                           std::string name = param.param;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

TEST(DirectoryTree, NodesShowLiveAndDeletedFoldersAndWhetherTheyHaveMore) {
  FixtureDisk disk(FixturePath("fat12.img"));
  TFATdrive& d = disk.Drive(0);
  TreeRecorder tree;
  d.FillTree(tree);
  EXPECT_EQ(tree.Children(0), (std::vector<std::string>{"根目录+", "删除+", "丢失", "搜索"}));

  d.Root()->ExpandNode(tree, 1, false);
  EXPECT_EQ(tree.Children(1), (std::vector<std::string>{"docs+", "中文目录"}));
  d.Deleted()->ExpandNode(tree, 2, true);
  EXPECT_EQ(tree.Children(2), (std::vector<std::string>{"docs+", "中文目录", "_ree+"}));
  EXPECT_EQ(tree.nodes.back().image, 6);  // a deleted folder
  const std::size_t count = tree.nodes.size();
  d.Deleted()->ExpandNode(tree, 2, true);
  EXPECT_EQ(tree.nodes.size(), count);  // expanded once only
}

TEST(DirectoryFind, FindsByMaskInBothViewsAndKeepsCopies) {
  FixtureDisk disk(FixturePath("fat16.img"));
  TFATdrive& d = disk.Drive(0);
  FindRecorder txt("*.txt");
  ASSERT_TRUE(d.Find(txt));
  EXPECT_EQ(txt.hits, (std::vector<std::string>{
                          "deleted _ictim.txt", "deleted _oid.txt", "deleted _one.txt",
                          "deleted Deleted long name.txt", "deleted old draft.txt", "deleted 说明.txt",
                          "deleted _.txt", "deleted _.txt", "README.TXT", "notes.txt",
                          "Long file name with spaces.txt", "Ünïcödé.txt", "empty.txt", "nested.txt",
                          "after.txt", "文件一.txt"}));
  ASSERT_EQ(d.Search()->Items->size(), txt.hits.size());
  for (const auto& copy : *d.Search()->Items) EXPECT_EQ(copy->Parent, d.Search());
  // The walk loaded the views for itself only.
  EXPECT_EQ(d.Root()->Items, nullptr);
  EXPECT_EQ(d.Deleted()->Items, nullptr);

  // A text without a dot matches anywhere; in the deleted view only deleted
  // folders count, so that a live folder is found once.
  FindRecorder part("ree");
  ASSERT_TRUE(d.Find(part));
  EXPECT_EQ(part.hits, std::vector<std::string>{"deleted _ree/"});
  FindRecorder docs("DOCS");
  ASSERT_TRUE(d.Find(docs));
  EXPECT_EQ(docs.hits, std::vector<std::string>{"docs/"});
  EXPECT_EQ(d.Search()->Items->size(), 1u);
  EXPECT_EQ(static_cast<TFATDirectory*>((*d.Search()->Items)[0].get())->Items, nullptr);
}

TEST(DirectoryPath, PathsNameTheFoldersAboveAnItem) {
  FixtureDisk disk(FixturePath("fat12.img"));
  TFATdrive& d = disk.Drive(0);
  std::map<std::string, std::string> paths;
  d.Deleted()->ForEach(
      [&](TFSObject* item, int) {
        paths[DisplayNameOf(*item)] = item->GetPath(nullptr) + " | " + item->GetPath(d.Deleted());
        return true;
      },
      true, 0, true, true);
  EXPECT_EQ(paths["deep"], "删除\\docs\\sub\\deep | docs\\sub\\deep");
  EXPECT_EQ(paths["old draft.txt"], "删除\\docs | docs");
  EXPECT_EQ(paths["_nner"], "删除\\_ree\\_nner | _ree\\_nner");
  EXPECT_EQ(paths["_one.txt"], "删除 | ");
}

// ---- Hand-made entries ----

using Entry = std::array<std::uint8_t, 32>;

Entry Short(const std::string& name11, std::uint8_t attr = 0x20, std::uint32_t cluster = 0, std::uint32_t size = 0,
            std::uint8_t caseFlags = 0) {
  Entry e{};
  std::copy(name11.begin(), name11.begin() + 11, e.begin());
  e[11] = attr;
  e[12] = caseFlags;
  e[20] = (cluster >> 16) & 0xFF;
  e[21] = (cluster >> 24) & 0xFF;
  e[24] = 0x21;  // 01.01.1980
  e[26] = cluster & 0xFF;
  e[27] = (cluster >> 8) & 0xFF;
  for (int i = 0; i < 4; ++i) e[28 + i] = (size >> (8 * i)) & 0xFF;
  return e;
}

std::uint8_t Checksum(const Entry& shortEntry) {
  std::uint8_t sum = 0;
  for (int i = 0; i < 11; ++i) sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + shortEntry[i]);
  return sum;
}

// A long name's entries, last part first, then the short entry.
std::vector<Entry> Named(const std::u16string& name, const Entry& shortEntry) {
  std::u16string units = name;
  if (units.size() % 13) units.push_back(0);
  while (units.size() % 13) units.push_back(0xFFFF);
  const std::size_t parts = units.size() / 13;
  std::vector<Entry> entries;
  for (std::size_t p = parts; p >= 1; --p) {
    Entry e{};
    e[0] = static_cast<std::uint8_t>(p | (p == parts ? 0x40 : 0));
    e[11] = 0x0F;
    e[13] = Checksum(shortEntry);
    static constexpr int kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (int i = 0; i < 13; ++i) {
      const char16_t u = units[(p - 1) * 13 + i];
      e[kOffsets[i]] = u & 0xFF;
      e[kOffsets[i] + 1] = static_cast<std::uint8_t>(u >> 8);
    }
    entries.push_back(e);
  }
  entries.push_back(shortEntry);
  return entries;
}

std::vector<Entry> Deleted(std::vector<Entry> entries) {
  for (auto& e : entries) e[0] = 0xE5;
  return entries;
}

// A FAT12 volume whose root area holds just the given entries.
class HandMadeRoot : public ::testing::Test {
 protected:
  void WriteRoot(const std::vector<Entry>& entries) {
    std::fill(v.Bytes().begin() + 26 * 512, v.Bytes().begin() + 58 * 512, 0);
    std::size_t at = 26 * 512;
    for (const Entry& e : entries) {
      std::copy(e.begin(), e.end(), v.Bytes().begin() + static_cast<std::ptrdiff_t>(at));
      at += 32;
    }
    ASSERT_TRUE(v.drive.Open(true));
  }
  // Writes a directory cluster: "." and ".." and the entries.
  void WriteFolder(std::uint32_t cluster, std::uint32_t parent, const std::vector<Entry>& entries) {
    std::size_t at = (58 + cluster - 2) * 512;
    std::fill(v.Bytes().begin() + static_cast<std::ptrdiff_t>(at), v.Bytes().begin() + static_cast<std::ptrdiff_t>(at + 512), 0);
    std::vector<Entry> all{Short(".          ", 0x10, cluster), Short("..         ", 0x10, parent)};
    all.insert(all.end(), entries.begin(), entries.end());
    for (const Entry& e : all) {
      std::copy(e.begin(), e.end(), v.Bytes().begin() + static_cast<std::ptrdiff_t>(at));
      at += 32;
    }
    v.SetFATEntry(cluster, 0xFFF);
  }
  // Calls of a recursive walk of the live view from the root.
  int WalkCount() {
    int calls = 0;
    v.drive.Root()->ForEach([&](TFSObject*, int) { return ++calls < 100000; }, false, 0, true, false);
    return calls;
  }
  void SetUp() override { ASSERT_TRUE(v.drive.Open(true)); }
  MemoryVolume v{ReadFixtureBytes("fat12.img")};
};

TEST_F(HandMadeRoot, LongNamesOfUpTo18EntriesAreUsedLongerOnesNot) {
  std::u16string longest, tooLong;
  for (int i = 0; i < 18 * 13; ++i) longest.push_back(static_cast<char16_t>('a' + i % 26));
  tooLong = longest + u"z";
  auto entries = Named(longest, Short("LONGES~1TXT"));
  const auto more = Named(tooLong, Short("TOOLON~1TXT"));
  ASSERT_EQ(entries.size(), 19u);
  ASSERT_EQ(more.size(), 20u);
  entries.insert(entries.end(), more.begin(), more.end());
  const auto gone = Deleted(Named(longest, Short("GONE~1  TXT")));
  entries.insert(entries.end(), gone.begin(), gone.end());
  entries.push_back(Short("AFTER   TXT"));
  WriteRoot(entries);
  const std::string utf8(longest.begin(), longest.end());
  EXPECT_EQ(Names(*v.drive.Root(), false), (std::vector<std::string>{utf8, "TOOLON~1.TXT", "AFTER.TXT"}));
  EXPECT_EQ(Names(*v.drive.Deleted(), true), std::vector<std::string>{utf8});
}

TEST_F(HandMadeRoot, LongNamesKeepEveryCharacter) {
  auto entries = Named(u"Ωμέγα 😀 文件.txt", Short("_~1     TXT"));
  // 差 is U+5DEE, in UTF-8 a 0xE5 byte first: a character, not a deletion mark.
  const auto deleted = Deleted(Named(u"差异 Ünïcödé.doc", Short("UNICOD~1DOC")));
  entries.insert(entries.end(), deleted.begin(), deleted.end());
  WriteRoot(entries);
  EXPECT_EQ(Names(*v.drive.Root(), false), std::vector<std::string>{"Ωμέγα 😀 文件.txt"});
  EXPECT_EQ(Names(*v.drive.Deleted(), true), std::vector<std::string>{"差异 Ünïcödé.doc"});
}

TEST_F(HandMadeRoot, FileDeletedWithoutItsLongNameIsNotLive) {
  // A system without long names marks only the short entry; the long-name
  // entries stay as they were.
  Entry shortEntry = Short("OLDDOS~1TXT", 0x20, 3000, 10);
  auto entries = Named(u"Old dos file.txt", shortEntry);
  entries.back()[0] = 0xE5;
  entries.push_back(Short("LIVE    TXT"));
  WriteRoot(entries);
  EXPECT_EQ(Names(*v.drive.Root(), false), std::vector<std::string>{"LIVE.TXT"});
  EXPECT_EQ(Names(*v.drive.Deleted(), true), std::vector<std::string>{"Old dos file.txt"});
}

TEST_F(HandMadeRoot, ShortNamesAreDecodedWithTheirCaseFlags) {
  WriteRoot({Short("README  TXT", 0x20, 0, 0, 0x18), Short("README  TXT", 0x20, 0, 0, 0x08),
             Short("A B     TXT"), Short("\xB1\xA8\xB8\xE6    TXT"), Short("\x05\xA1" "BC    TXT"),
             Short("\xFF\x80      BIN"), Short("\xE5" "BC     TXT"), Short("\xE5\xA1" "BC    TXT")});
  EXPECT_EQ(Names(*v.drive.Root(), false),
            (std::vector<std::string>{"readme.txt", "readme.TXT", "AB.TXT", "报告.TXT", "濉BC.TXT", "ÿ€.BIN"}));
  EXPECT_EQ(Names(*v.drive.Deleted(), true), (std::vector<std::string>{"_BC.TXT", "_¡BC.TXT"}));
  Options().DeletedUseMultiByte = true;
  EXPECT_EQ(DisplayNameOf(*(*v.drive.Deleted()->Items)[0]), "__BC.TXT");
  Options().DeletedUseMultiByte = false;

  SetOemCodePage("CP850");
  WriteRoot({Short("\x90T\x90     TXT")});
  EXPECT_EQ(Names(*v.drive.Root(), false), std::vector<std::string>{"ÉTÉ.TXT"});
  SetOemCodePage("CP936");
}

TEST_F(HandMadeRoot, DeletedItemsAreGoodOnlyWhileTheirFirstClusterIsFree) {
  // Cluster 2 holds README.TXT; cluster 3000 is free; 5000 lies past the end.
  WriteRoot({Short("\xE5USED   TXT", 0x20, 2, 10), Short("\xE5" "FREE   TXT", 0x20, 3000, 10),
             Short("\xE5" "FAR    TXT", 0x20, 5000, 10), Short("\xE5ONE    TXT", 0x20, 1, 10)});
  ListRecorder list;
  v.drive.Deleted()->FillListView(list, true);
  std::vector<std::string> conditions;
  for (const auto& item : list.items) conditions.push_back(item.Caption + " " + item.SubItems[3]);
  EXPECT_EQ(conditions, (std::vector<std::string>{"_USED.TXT 差", "_FREE.TXT 好", "_FAR.TXT 差", "_ONE.TXT 差"}));
}

TEST_F(HandMadeRoot, GarbageEntriesAreSkippedAndTheListingGoesOn) {
  Entry orphan = Named(u"orphan part", Short("ORPHAN  TXT"))[0];
  orphan[0] = 0x02;  // a middle part without its start
  Entry notLong = Named(u"x", Short("X       TXT"))[0];
  notLong[26] = 7;  // attribute 0x0F but a cluster: no long-name entry
  auto broken = Named(u"broken long name.txt", Short("BROKEN  TXT"));
  broken[1][13] ^= 0x55;  // the parts disagree on the checksum
  std::vector<Entry> entries{orphan, notLong, Short("LABEL      ", 0x08), Short("\x01\x02X     BIN")};
  entries.insert(entries.end(), broken.begin(), broken.end());
  entries.push_back(Short("GOOD    TXT"));
  WriteRoot(entries);
  EXPECT_EQ(Names(*v.drive.Root(), false),
            (std::vector<std::string>{"\x01\x02X.BIN", "BROKEN.TXT", "GOOD.TXT"}));
}

TEST_F(HandMadeRoot, TheFirstZeroEntryEndsTheDirectory) {
  WriteRoot({Short("FIRST   TXT"), Entry{}, Short("HIDDEN  TXT")});
  EXPECT_EQ(Names(*v.drive.Root(), false), std::vector<std::string>{"FIRST.TXT"});
  EXPECT_EQ(Names(*v.drive.Deleted(), true), std::vector<std::string>{});
}

TEST_F(HandMadeRoot, DeletedFolderCountsOnlyWhileItsClusterHoldsAFolder) {
  WriteFolder(3000, 0, {Short("INSIDE  TXT")});
  WriteRoot({Short("\xE5KEPT      ", 0x10, 3000), Short("\xE5LOST      ", 0x10, 3001)});
  EXPECT_EQ(Names(*v.drive.Deleted(), true), std::vector<std::string>{"_KEPT/"});
}

TEST_F(HandMadeRoot, FolderThatContainsItselfIsWalkedOnce) {
  // sub points back at its parent; loop's own chain comes back to itself.
  WriteFolder(3000, 0, {Short("SUB        ", 0x10, 3000), Short("A       TXT")});
  WriteFolder(3001, 0, {Short("B       TXT")});
  v.SetFATEntry(3001, 3001);
  WriteRoot({Short("PARENT     ", 0x10, 3000), Short("LOOP       ", 0x10, 3001)});
  EXPECT_EQ(WalkCount(), 5);  // PARENT, SUB, A.TXT, LOOP, B.TXT
  v.drive.Root()->LoadChildren(false, true);
  EXPECT_EQ(Names(*static_cast<TFATDirectory*>((*v.drive.Root()->Items)[1].get()), false),
            std::vector<std::string>{"B.TXT"});
  FindRecorder all("*");
  ASSERT_TRUE(v.drive.Find(all));
  EXPECT_EQ(all.hits.size(), 5u);
}

TEST_F(HandMadeRoot, FolderEntryWithClusterZeroListsNothing) {
  // Cluster 0 stands for the root: never a folder of its own, and reading
  // "cluster 0" from sector 0 would list the boot sector.
  WriteRoot({Short("ROOT       ", 0x10, 0), Short("FILE    TXT")});
  EXPECT_EQ(WalkCount(), 2);
  v.drive.Root()->LoadChildren(false, true);
  auto& folder = *static_cast<TFATDirectory*>((*v.drive.Root()->Items)[0].get());
  EXPECT_FALSE(folder.ProbeSubDirs(false));
  EXPECT_EQ(Names(folder, false), std::vector<std::string>{});
}

TEST_F(HandMadeRoot, EntriesLeadingIntoTheSameFolderAreWalkedOnce) {
  // Two entries at every level lead into the same next folder: walked as a
  // tree that would be 2^40 folders; each folder is entered once instead.
  for (std::uint32_t level = 0; level <= 40; ++level)
    WriteFolder(3000 + level, 0,
                level < 40 ? std::vector<Entry>{Short("A          ", 0x10, 3001 + level), Short("B          ", 0x10, 3001 + level)}
                           : std::vector<Entry>{});
  WriteRoot({Short("TOP        ", 0x10, 3000)});
  EXPECT_EQ(WalkCount(), 81);
  FindRecorder all("*");
  ASSERT_TRUE(v.drive.Find(all));
  EXPECT_EQ(all.hits.size(), 81u);
}

TEST_F(HandMadeRoot, WalksStopBelow256Levels) {
  for (std::uint32_t level = 0; level < 300; ++level)
    WriteFolder(3000 + level, level ? 2999 + level : 0,
                level < 299 ? std::vector<Entry>{Short("D          ", 0x10, 3001 + level)} : std::vector<Entry>{});
  WriteRoot({Short("DEEP       ", 0x10, 3000)});
  // 256 levels walked into; the 257th is seen, not entered.
  EXPECT_EQ(WalkCount(), 257);
}

TEST(DirectoryCompare, FoldersFirstThenNumbersAndDatesAsSuch) {
  FixtureDisk disk(FixturePath("fat12.img"));
  TFATDirectory& root = *disk.Drive(0).Root();
  ListRecorder list;
  root.FillListView(list, false);
  auto sortedBy = [&](int column) {
    std::vector<TListItem> items = list.items;
    std::stable_sort(items.begin(), items.end(),
                     [&](const TListItem& a, const TListItem& b) { return root.CompareItems(a, b, column) < 0; });
    std::vector<std::string> names;
    for (const auto& i : items) names.push_back(i.Caption);
    return names;
  };
  EXPECT_EQ(sortedBy(kColumnSize), (std::vector<std::string>{"docs", "中文目录", "empty.txt", "notes.txt",
                                                             "Ünïcödé.txt", "README.TXT",
                                                             "Long file name with spaces.txt", "big.bin"}));
  EXPECT_EQ(sortedBy(kColumnDate), (std::vector<std::string>{"docs", "中文目录", "empty.txt",
                                                             "Ünïcödé.txt", "Long file name with spaces.txt",
                                                             "README.TXT", "notes.txt", "big.bin"}));

  TListItem big, small, noDate;
  big.SubItems = {"3000000000", "31.12.2019 23:58", "", "", ""};
  small.SubItems = {"10", "31.12.2019 08:00", "", "", ""};
  noDate.SubItems = {"9", "", "", "", ""};
  EXPECT_GT(root.CompareItems(big, small, kColumnSize), 0);
  EXPECT_EQ(root.CompareItems(big, small, kColumnDate), 0);  // the time of day is not compared
  EXPECT_EQ(root.CompareItems(noDate, small, kColumnDate), 0);
}

}  // namespace
}  // namespace vantrel
