// Ownership in the object model: folders own their children, copies never do.

#include <gtest/gtest.h>

#include "fs/TCustom.h"

namespace vantrel {
namespace {

int g_alive = 0;

struct CountedFile : TCustomFile {
  CountedFile() { ++g_alive; }
  ~CountedFile() override { --g_alive; }
  bool SetName(const std::string& n) override { Name = n; return true; }
  std::string GetPath(const TCustomDirectory*) const override { return {}; }
  void UpdateListItem(TListItem&) const override {}
  std::unique_ptr<TFSObject> Clone() const override {
    auto c = std::make_unique<CountedFile>();
    AssignTo(*c);
    return c;
  }
};

struct CountedFolder : TCustomDirectory {
  CountedFolder() { ++g_alive; }
  ~CountedFolder() override { --g_alive; }
  bool SetName(const std::string& n) override { Name = n; return true; }
  std::string GetPath(const TCustomDirectory*) const override { return {}; }
  void UpdateListItem(TListItem&) const override {}
  std::unique_ptr<TFSObject> Clone() const override {
    auto c = std::make_unique<CountedFolder>();
    AssignTo(*c);
    return c;
  }
  void ExpandNode(ITreeView&, ITreeView::Node, bool) override {}
  void FillListView(IListView&, bool) override {}
  int CompareItems(const TListItem&, const TListItem&, int) const override { return 0; }
  bool HasSubdirectories() const override {
    if (!Items) return false;
    for (const auto& i : *Items)
      if (i->IsDirectory()) return true;
    return false;
  }
};

TEST(ObjectModel, FolderFreesItsWholeLoadedTree) {
  {
    CountedFolder root;
    root.Items = std::make_unique<TItemList>();
    auto sub = std::make_unique<CountedFolder>();
    sub->Items = std::make_unique<TItemList>();
    sub->Items->push_back(std::make_unique<CountedFile>());
    root.Items->push_back(std::move(sub));
    root.Items->push_back(std::make_unique<CountedFile>());
    root.Items->push_back(std::make_unique<CountedFolder>());  // never loaded
    EXPECT_EQ(g_alive, 5);
    EXPECT_TRUE(root.HasSubdirectories());
    root.Clear();
    EXPECT_EQ(g_alive, 1);
    ASSERT_NE(root.Items, nullptr);  // the list itself stays
    EXPECT_TRUE(root.Items->empty());
  }
  EXPECT_EQ(g_alive, 0);
}

TEST(ObjectModel, CopiesNeverShareChildren) {
  CountedFolder source;
  source.Name = "docs";
  source.Status = isDeleted;
  source.Items = std::make_unique<TItemList>();
  source.Items->push_back(std::make_unique<CountedFile>());
  {
    auto copy = source.Clone();
    auto* folder = static_cast<CountedFolder*>(copy.get());
    EXPECT_EQ(folder->Name, "docs");
    EXPECT_EQ(folder->Status, isDeleted);
    EXPECT_EQ(folder->Items, nullptr);
    EXPECT_FALSE(folder->HasSubdirectories());
  }
  ASSERT_NE(source.Items, nullptr);
  EXPECT_EQ(source.Items->size(), 1u);
}

}  // namespace
}  // namespace vantrel
