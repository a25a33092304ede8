#include <filesystem>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "host/RangeDialogs.h"

namespace vantrel {
namespace {

// Records the dialog as it opened, acts as the user while it is open, and
// closes with a scripted result.
template <class Dialog, class Interface>
class ScriptedView : public Interface {
 public:
  TRangeDialogResult ShowModal(Dialog& dialog) override {
    opened = dialog;
    if (user) user(dialog);
    return result;
  }
  Dialog opened;
  std::function<void(Dialog&)> user;
  TRangeDialogResult result;
};
using SectorView = ScriptedView<TSectorDialog, ISectorDialogView>;
using ClusterView = ScriptedView<TClusterDialog, IClusterDialogView>;

TEST(RangeDialogEdits, AcceptWholeNumbersOnly) {
  EXPECT_EQ(ParseEditInteger(" 12 "), 12);
  EXPECT_EQ(ParseEditInteger("+7"), 7);
  EXPECT_EQ(ParseEditInteger("-3"), -3);
  for (const char* bad : {"", "+", "-", "12a", "1e3", "+-1", "1 2", "0x10", "99999999999999999999"})
    EXPECT_FALSE(ParseEditInteger(bad)) << bad;
}

TEST(RangeDialogSector, OpensWithTheDriveDialogsDefaults) {
  TSectorDialog dlg;
  SectorView view;
  dlg.SetDefaults(50000, 512);
  EXPECT_FALSE(dlg.Execute(view));
  EXPECT_EQ(view.opened.GroupEndCaption, "结束扇区 (max. 49999)");
  EXPECT_EQ(view.opened.EditStartSec, "0");
  EXPECT_EQ(view.opened.EditEndSec, "49999");
  EXPECT_EQ(view.opened.TrackBarEndSec, 50);

  dlg.SetDefaults(2000000, 512);
  dlg.Execute(view);
  EXPECT_EQ(view.opened.EditEndSec, "100000");
  EXPECT_EQ(view.opened.TrackBarEndSec, 2);  // 2.5 rounds to the even 2

  dlg.SetDefaults(100000, 512);
  EXPECT_EQ(dlg.RangeEnd, 100000);
  dlg.SetDefaults(99999, 512);
  EXPECT_EQ(dlg.RangeEnd, 99998);
  dlg.SetDefaults(0, 512);
  dlg.Execute(view);  // no division by an empty device
  EXPECT_EQ(view.opened.TrackBarEndSec, 0);
}

TEST(RangeDialogSector, SizeLabel) {
  struct Case {
    std::uint32_t sectors;
    const char* label;
  } cases[] = {
      {100001, "48.83 MB"},
      {2097152, "1.00 GB"},     // 1024 MB
      {2048000, "0.98 GB"},     // 1000 MB is already shown in GB
      {2047998, "1000.00 MB"},  // 999.999 MB is not
  };
  for (const Case& c : cases) {
    TSectorDialog dlg;
    dlg.SetDefaults(c.sectors, 512);
    dlg.RangeEnd = c.sectors - 1;
    dlg.FormActivate();
    EXPECT_EQ(dlg.LabelSize, c.label) << c.sectors;
  }
  // "应用" recomputes from the edits; a bad edit leaves the label alone.
  TSectorDialog dlg;
  dlg.SetDefaults(50000, 512);
  dlg.FormActivate();
  dlg.EditEndSec = "2047";
  dlg.Button1Click();
  EXPECT_EQ(dlg.LabelSize, "1.00 MB");
  dlg.EditStartSec = "x";
  dlg.Button1Click();
  EXPECT_EQ(dlg.LabelSize, "1.00 MB");
}

TEST(RangeDialogSector, TrackBarsWriteEditsUntilTheyCross) {
  TSectorDialog dlg;
  dlg.SetDefaults(50000, 512);
  dlg.FormActivate();
  dlg.TrackBarEndSecChange(20);
  dlg.TrackBarStartSecChange(10);
  EXPECT_EQ(dlg.EditStartSec, "10000");  // 10/50 of the last sector 49999
  EXPECT_EQ(dlg.EditEndSec, "20000");
  EXPECT_EQ(dlg.LabelSize, "4.88 MB");
  dlg.TrackBarStartSecChange(30);  // past the end bar: the edit stays
  EXPECT_EQ(dlg.EditStartSec, "10000");
  dlg.TrackBarEndSecChange(25);  // still below the start bar
  EXPECT_EQ(dlg.EditEndSec, "20000");
  dlg.TrackBarEndSecChange(99);  // a track bar stops at its end
  EXPECT_EQ(dlg.EditEndSec, "49999");
}

TEST(RangeDialogSector, ExecuteTakesValidTextsOnlyOnOK) {
  TSectorDialog dlg;
  dlg.SetDefaults(50000, 512);
  dlg.RangeStart = 10;
  SectorView view;
  view.result = {true, "abc", " 5000"};
  EXPECT_TRUE(dlg.Execute(view));
  EXPECT_EQ(dlg.RangeStart, 10);
  EXPECT_EQ(dlg.RangeEnd, 5000);
  view.result = {false, "1", "2"};
  EXPECT_FALSE(dlg.Execute(view));
  EXPECT_EQ(dlg.RangeStart, 10);

  // A disk of 2^32 - 1 sectors: the end bar reaches its last sector, which
  // does not fit 32 signed bits.
  dlg.SetDefaults(4294967295u, 512);
  view.result.Ok = true;
  view.user = [&view](TSectorDialog& d) {
    d.TrackBarEndSecChange(50);
    view.result.StartText = d.EditStartSec;
    view.result.EndText = d.EditEndSec;
  };
  EXPECT_TRUE(dlg.Execute(view));
  EXPECT_EQ(dlg.RangeEnd, 4294967294);
}

TEST(RangeDialogCluster, EditsFollowTheTrackBars) {
  TClusterDialog dlg;
  ClusterView view;
  dlg.SetDefaults(1000, 4096);
  view.result = {true, "2", "1001"};
  EXPECT_TRUE(dlg.Execute(view));
  EXPECT_EQ(view.opened.GroupEndCaption, "结束簇 (max. 1001)");
  EXPECT_EQ(view.opened.EditStartClus, "2");
  EXPECT_EQ(view.opened.EditEndClus, "1001");
  EXPECT_EQ(view.opened.LabelSize, "4 MB");  // 3.9 MB
  EXPECT_EQ(dlg.RangeEnd, 1001);

  // The bars keep their positions for the next drive.
  view.user = [](TClusterDialog& d) { d.TrackBarStartClusChange(25); };
  dlg.Execute(view);
  dlg.SetDefaults(1002, 512);
  view.user = nullptr;
  view.result = {true, "99999999999", "7"};  // too big for a cluster: kept
  dlg.Execute(view);
  EXPECT_EQ(view.opened.EditStartClus, "502");
  EXPECT_EQ(view.opened.EditEndClus, "1003");
  EXPECT_EQ(dlg.RangeStart, 2);
  EXPECT_EQ(dlg.RangeEnd, 7);

  dlg.TrackBarStartClusChange(0);
  dlg.TrackBarEndClusChange(0);
  EXPECT_EQ(dlg.EditEndClus, "3");
  dlg.TrackBarStartClusChange(1);  // past the end bar: the edit stays
  EXPECT_EQ(dlg.EditStartClus, "2");
}

TEST(RangeDialogCluster, SizeOfSixtyFourKiBClusters) {
  TClusterDialog dlg;
  ClusterView view;
  dlg.SetDefaults(1000, 65536);
  view.result = {true, "2", "1001"};
  EXPECT_TRUE(dlg.Execute(view));
  EXPECT_EQ(view.opened.LabelSize, "62 MB");  // 62.5 MB, not 0
}

class DirView : public IDirSelectDialogView {
 public:
  TDirSelectResult ShowModal(TDirSelectDialog& dialog) override {
    items = dialog.ComboBoxFAT;
    return result;
  }
  std::vector<std::string> items;
  TDirSelectResult result;
};

TEST(RangeDialogDirSelect, OffersFATCopiesAndReturnsTheChoice) {
  TDirSelectDialog dlg;
  DirView view;
  dlg.FillFATChoices(2, 0);
  view.result = {true, 2, "/mnt/rescue"};
  EXPECT_TRUE(dlg.Execute(view));
  EXPECT_EQ(view.items,
            (std::vector<std::string>{"no FAT (consecutive)", "FAT 1", "FAT 2", "free clusters only"}));
  EXPECT_EQ(dlg.FATIndex, 2);
  EXPECT_EQ(dlg.Folder, "/mnt/rescue");
  view.result = {false, 1, "/elsewhere"};
  EXPECT_FALSE(dlg.Execute(view));
  EXPECT_EQ(dlg.Folder, "/mnt/rescue");

  dlg.FillFATChoices(2, 1);
  view.result = {true, -1, "/x"};  // no selection reported: the preselected entry
  dlg.Execute(view);
  EXPECT_EQ(dlg.FATIndex, 1);
  dlg.FillFATChoices(2, 7);  // a choice the volume does not have
  EXPECT_EQ(dlg.ComboBoxFATItemIndex, 0);

  const std::string sep(1, static_cast<char>(std::filesystem::path::preferred_separator));
  dlg.FolderChanged("/home/user");
  EXPECT_EQ(dlg.LabelFolder, "/home/user" + sep);
  dlg.FolderChanged("/");
  EXPECT_EQ(dlg.LabelFolder, "/");
}

}  // namespace
}  // namespace vantrel
