// A live folder of several clusters, made by mtools, is read through its
// chain whatever FAT choice the drive has: "free clusters only" is for
// deleted and lost items.

#include <gtest/gtest.h>

#include "devices/TDevice.h"
#include "fs/TFATDirectory.h"
#include "support/FixtureDisk.h"
#include "support/LostImages.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

using test::ImageTool;
using test::ShellQuote;

TEST(FolderChain, ALiveFolderKeepsItsChainWithFreeClustersOnly) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  test::TempDir dir;
  const std::string image = dir / "big.img", img = " -i " + ShellQuote(image) + " ";
  ImageTool("mkfs.fat -C -F 16 -s 8 --invariant -i 5eed0001 -n BIG " + ShellQuote(image) + " 16384");
  ImageTool("mmd" + img + "::/MANY");
  test::WriteFile(dir / "one.txt", "one file\n");
  // A file between the folder's clusters: its second cluster is not next to its first.
  ImageTool("mcopy" + img + ShellQuote(dir / "one.txt") + " ::/ONE.TXT");
  std::string names;
  for (int i = 0; i < 100; ++i) {
    const std::string name = dir / ("file number " + std::to_string(1000 + i) + ".txt");
    test::WriteFile(name, "");
    names += " " + ShellQuote(name);
  }
  ImageTool("mcopy" + img + names + " ::/MANY/");
  test::FixtureDisk disk(image);
  TFATdrive& d = disk.Drive(0);
  for (const std::uint8_t choice : {std::uint8_t{1}, kFATChoiceFree}) {
    d.FATChoice = choice;
    d.Root()->LoadChildren(false, false);
    TFATDirectory* many = nullptr;
    for (const auto& item : *d.Root()->Items)
      if (item->Name == "MANY") many = static_cast<TFATDirectory*>(item.get());
    ASSERT_NE(many, nullptr);
    many->LoadChildren(false, false);
    EXPECT_EQ(many->Items->size(), 100u) << "choice " << int(choice);
    d.Root()->Items.reset();
  }
}

// A deleted folder read on over consecutive clusters ends where the next
// cluster cannot be read: a walk that skipped unreadable clusters would go
// on over every one the volume claims past it.
TEST(FolderChain, ADeletedFolderEndsBeforeAClusterThatCannotBeRead) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  test::TempDir dir;
  const std::string image = dir / "cut.img", img = " -i " + ShellQuote(image) + " ";
  ImageTool("mkfs.fat -C -F 16 -s 8 -r 512 --invariant -i 5eed0002 -n CUT " + ShellQuote(image) + " 16384");
  ImageTool("mmd" + img + "::/OLD");
  std::string names;
  // 126 short names and "." and ".." fill the folder's one cluster: its
  // entries do not end within it.
  for (int i = 0; i < 126; ++i) {
    const std::string name = dir / ("N" + std::to_string(i) + ".TXT");
    test::WriteFile(name, "x");
    names += " " + ShellQuote(name);
  }
  ImageTool("mcopy" + img + names + " ::/OLD/");
  ImageTool("mdeltree" + img + "::/OLD");
  test::FixtureDisk disk(image);
  TFATdrive& d = disk.Drive(0);
  d.FATChoice = 0;
  // Everything after the folder's cluster 2 fails to read.
  const std::uint64_t after = d.StartSector + d.ClusterToSector(3);
  d.Device->MarkUnreadable(after, d.StartSector + d.TotalSectors - after);
  d.Root()->LoadChildren(true, false);
  TFATDirectory* old = nullptr;
  for (const auto& item : *d.Root()->Items)
    if (item->Name.find("LD") != std::string::npos) old = dynamic_cast<TFATDirectory*>(item.get());
  ASSERT_NE(old, nullptr);
  old->LoadChildren(true, false);
  EXPECT_EQ(old->Items->size(), 126u);
  EXPECT_FALSE(old->Incomplete);
}

}  // namespace
}  // namespace vantrel
