// Saving files and folder trees from a FAT32 volume made by mkfs.fat and
// mtools: byte-exact live and deleted trees, names that try to leave the
// target folder, every answer to the overwrite questions, links planted in
// the target, unreadable sectors, cancel, and a target on the examined disk.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <stdexcept>

#include "common/Routines.h"
#include "devices/ReadAheadCache.h"
#include "devices/TDevice.h"
#include "diskio/HostDiskPlatform.h"
#include "fs/TFATDirectory.h"
#include "fs/TFATdrive.h"
#include "host/RangeDialogs.h"
#include "host/TStatusDialog.h"
#include "host/UserInterface.h"
#include "common/FATChoice.h"
#include "recovery/Saving.h"
#include "recovery/TDriveList.h"
#include "support/FakePlatform.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using Tree = std::map<std::string, std::string>;  // relative path → bytes, "DIR/" → ""

using test::Pattern;

void Tool(const std::string& command) {
  if (!test::Run("MTOOLS_SKIP_CHECK=1 SOURCE_DATE_EPOCH=1700000000 TZ=UTC " + command + " >/dev/null"))
    throw std::runtime_error("failed: " + command);
}

// Replaces the one occurrence of from in the image.
void Patch(std::string& image, const std::string& from, const std::string& to) {
  const std::size_t at = image.find(from);
  if (at == std::string::npos || image.find(from, at + 1) != std::string::npos || from.size() != to.size())
    throw std::runtime_error("cannot patch " + from);
  image.replace(at, to.size(), to);
}

// A long-name entry holds UTF-16 units.
std::string Units(const std::string& ascii) {
  std::string out;
  for (char c : ascii) out += std::string{c, '\0'};
  return out;
}

Tree ReadTree(const fs::path& root) {
  Tree tree;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const std::string rel = fs::relative(it->path(), root).string();
    if (rel == "report.xml") continue;  // the save's record, not a saved file
    if (it->is_symlink()) tree[rel] = "<link>";
    else if (it->is_directory()) tree[rel + "/"] = "";
    else tree[rel] = test::ReadFile(it->path().string());
  }
  return tree;
}

// Trees and files compare by size and a hash, so that a failure prints
// something a person can read.
std::string Digest(const std::string& bytes) {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
  char text[64];
  std::snprintf(text, sizeof text, "%zu bytes #%016llx", bytes.size(), static_cast<unsigned long long>(h));
  return text;
}

Tree Summary(const Tree& tree) {
  Tree out;
  for (const auto& [path, bytes] : tree) out[path] = path.back() == '/' ? "" : Digest(bytes);
  return out;
}

struct Volume {
  TempDir dir;
  std::string image;
  Tree live;     // what saving the live view gives
  Tree deleted;  // what saving the deleted view gives
  std::uint64_t liveBytes = 0;
};
Volume* g_volume = nullptr;

void MakeVolume(Volume& v) {
  const fs::path src = v.dir.Path() / "src";
  std::uint32_t seed = 0;
  auto put = [&](const std::string& rel, std::size_t size) {
    fs::create_directories((src / rel).parent_path());
    const std::string bytes = Pattern(++seed, size);
    test::WriteFile((src / rel).string(), bytes);
    return bytes;
  };
  auto live = [&](const std::string& rel, std::size_t size, const std::string& savedAs = "") {
    v.live[savedAs.empty() ? rel : savedAs] = put(rel, size);
    v.liveBytes += size;
  };
  live("ROOT.TXT", 123);
  live("DOCS/Annual report.txt", 70000);
  live("DOCS/EMPTY.TXT", 0);
  live("DOCS/EXACT.BIN", 65536);
  live("DOCS/SUB/NOTES.TXT", 1000);
  live("DOCS/SUB/DEEP/deep file.bin", 2 * 65536 + 5);
  live("PICS/P1.JPG", 4000);
  // Their names are changed on the disk below.
  live("EVIL/aBcD", 300, "EVIL/.._x");
  live("EVIL/eFgH", 301, "EVIL/_etc");
  live("EVIL/SLASH.TXT", 302, "EVIL/A_B.TXT");
  live("EVIL/DOTS.TXT", 303, "EVIL/___");
  live("EVIL/dIrX/INSIDE.TXT", 304, "EVIL/.._q/INSIDE.TXT");
  for (const char* d : {"DOCS/", "DOCS/SUB/", "DOCS/SUB/DEEP/", "PICS/", "EVIL/", "EVIL/.._q/"}) {
    v.live[d] = "";
    v.deleted[d] = "";  // the deleted view lists every live folder
  }
  auto gone = [&](const std::string& rel, std::size_t size, const std::string& savedAs = "") {
    v.deleted[savedAs.empty() ? rel : savedAs] = put(rel, size);
  };
  gone("Old letter.txt", 3000);
  gone("Trash can/First.bin", 5000);
  gone("Trash can/Inner dir/Second.bin", 70000);
  // Two deleted folders whose names differ only in the deleted first letter.
  gone("FOO/in foo.txt", 1111, "_OO/in foo.txt");
  gone("GOO/in goo.txt", 2222, "_OO/in goo.txt");
  for (const char* d : {"Trash can/", "Trash can/Inner dir/", "_OO/"}) v.deleted[d] = "";

  v.image = v.dir / "save.img";
  const std::string img = " -i " + v.image + " ";
  const std::string s = src.string() + "/";
  Tool("mkfs.fat -C -F 32 -s 1 --invariant -i 5a7e5a7e " + v.image + " 40960");
  Tool("mcopy -s" + img + s + "ROOT.TXT " + s + "DOCS " + s + "PICS " + s + "EVIL ::/");
  Tool("mcopy -s" + img + "'" + s + "Old letter.txt' '" + s + "Trash can' " + s + "FOO " + s + "GOO ::/");
  Tool("mdel" + img + "'::/Old letter.txt'");
  Tool("mdeltree" + img + "'::/Trash can' ::/FOO ::/GOO");

  std::string bytes = test::ReadFile(v.image);
  Patch(bytes, Units("aBcD"), Units("../x"));
  Patch(bytes, Units("eFgH"), Units("/etc"));
  Patch(bytes, Units("dIrX"), Units("../q"));
  Patch(bytes, "SLASH   TXT", "A/B     TXT");
  Patch(bytes, "DOTS    TXT", "..         ");
  test::WriteFile(v.image, bytes);
}

// Answers the questions from a script and records every message.
class ScriptedMessageBox : public IMessageBox {
 public:
  TMsgResult Show(const std::string& text, const std::string& caption, TMsgType type,
                  TMsgButtons buttons) override {
    texts.push_back(text);
    captions.push_back(caption);
    types.push_back(type);
    if (buttons == TMsgButtons::mbOK) return TMsgResult::mrOK;
    questions.push_back(text);
    if (answers.empty()) {
      ADD_FAILURE() << "unexpected question: " << text;
      return TMsgResult::mrNo;
    }
    const TMsgResult answer = answers.front();
    answers.pop_front();
    return answer;
  }
  std::deque<TMsgResult> answers;
  std::vector<std::string> texts, captions, questions;
  std::vector<TMsgType> types;
};

class ChosenFolder : public IDirSelectDialogView {
 public:
  explicit ChosenFolder(std::string folder) : folder_(std::move(folder)) {}
  TDirSelectResult ShowModal(TDirSelectDialog& dialog) override {
    items = dialog.ComboBoxFAT;
    preselected = dialog.ComboBoxFATItemIndex;
    dialog.FolderChanged(folder_);
    return {true, -1, folder_};
  }
  std::vector<std::string> items;
  int preselected = -1;

 private:
  std::string folder_;
};

class RecordingStatusView : public IStatusView {
 public:
  void SetCaption(const std::string& text) override { captions.push_back(text); }
  void SetLine(int line, const std::string& text) override {
    if (line == 1) lines1.push_back(text);
    if (onLine1 && line == 1) onLine1(text);
  }
  void SetProgressVisible(bool) override {}
  void SetProgress(int) override {}
  void SetRemainingText(const std::string&) override {}
  void ShowWindow() override { ++shown; }
  void HideWindow() override { ++hidden; }
  std::vector<std::string> captions, lines1;
  std::function<void(const std::string&)> onLine1;
  int shown = 0, hidden = 0;
};

class SavingTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    VANTREL_SKIP_WITHOUT_HOST_TOOLS();
    g_volume = new Volume;
    MakeVolume(*g_volume);
  }
  static void TearDownTestSuite() {
    delete g_volume;
    g_volume = nullptr;
  }

  void SetUp() override {
    VANTREL_SKIP_WITHOUT_HOST_TOOLS();
    SetMessageBox(&box);
    SetErrorPrompt(nullptr);
  }
  void TearDown() override {
    SetMessageBox(nullptr);
    CloseSectorHandles();
    ResetReadAheadCache();
    HostPlatform().ClearImageFiles();
  }

  TFATdrive& Open() {
    HostDiskPlatform& platform = HostPlatform();
    platform.SetOnlyImages(true);
    platform.ClearImageFiles();
    platform.AddImageFile(g_volume->image);
    CloseSectorHandles();
    ResetReadAheadCache();
    return Scan();
  }

  TFATdrive& Scan() {
    devices.Detect(nullptr);
    if (devices.Count() != 1) throw std::runtime_error("no device");
    drives.ScanDevice(*devices.Items(0));
    auto* drive = drives.Count() == 1 ? dynamic_cast<TFATdrive*>(drives.Items(0)) : nullptr;
    if (!drive || !drive->GeometryValid || drive->FATType != ftFAT32) throw std::runtime_error("no FAT32 volume");
    return *drive;
  }

  static TFATDirectory& Top(TFATdrive& drive, bool deletedView) {
    TFATDirectory& top = deletedView ? *drive.Deleted() : *drive.Root();
    if (!top.Items) top.LoadChildren(deletedView, true);
    return top;
  }

  // The item at a path of display names, loaded as the window loads it.
  static TFSObject& Item(TFATdrive& drive, const std::string& path, bool deletedView = false) {
    TFATDirectory* folder = &Top(drive, deletedView);
    TFSObject* found = nullptr;
    std::size_t start = 0;
    while (start <= path.size()) {
      const std::size_t end = std::min(path.find('/', start), path.size());
      const std::string part = path.substr(start, end - start);
      if (!folder->Items) folder->LoadChildren(deletedView, true);
      found = nullptr;
      for (const auto& child : *folder->Items)
        if (DisplayNameOf(*child) == part) found = child.get();
      if (!found) throw std::runtime_error("no item " + path);
      folder = found->IsDirectory() ? static_cast<TFATDirectory*>(found) : nullptr;
      start = end + 1;
    }
    return *found;
  }

  static std::vector<TFSObject*> Children(TFATDirectory& folder) {
    std::vector<TFSObject*> items;
    for (const auto& child : *folder.Items) items.push_back(child.get());
    return items;
  }

  TSaveReport Save(TFATdrive& drive, const std::vector<TFSObject*>& selected, bool deletedView,
                   const std::string& target) {
    ChosenFolder view(target);
    TSaveReport report = SaveSelected(drive, selected, deletedView, dirDialog, view, status);
    fatItems = view.items;
    fatPreselected = view.preselected;
    return report;
  }

  static Tree Subtree(const Tree& all, const std::string& prefix) {
    Tree out;
    for (const auto& [path, bytes] : all)
      if (path.compare(0, prefix.size(), prefix) == 0 && path.size() > prefix.size())
        out[path.substr(prefix.size())] = bytes;
    return out;
  }

  ScriptedMessageBox box;
  RecordingStatusView statusView;
  TStatusDialog status{&statusView};
  TDirSelectDialog dirDialog;
  std::vector<std::string> fatItems;
  int fatPreselected = -1;
  TDeviceList devices;
  TDriveList drives;
  TempDir out;
};

TEST_F(SavingTest, TheWholeLiveViewIsSavedByteExact) {
  TFATdrive& drive = Open();
  const TSaveReport report = Save(drive, Children(Top(drive, false)), false, out.Path().string());
  EXPECT_EQ(Summary(ReadTree(out.Path())), Summary(g_volume->live));
  EXPECT_TRUE(box.texts.empty()) << box.texts.front();
  EXPECT_EQ(report.FilesSaved, 12u);
  EXPECT_EQ(report.FilesSkipped + report.FilesFailed + report.FoldersFailed, 0u);
  EXPECT_FALSE(report.Stopped);

  // The live view follows the drive's FAT copy unless the user picks another.
  EXPECT_EQ(fatItems,
            (std::vector<std::string>{"no FAT (consecutive)", "FAT 1", "FAT 2", "free clusters only"}));
  EXPECT_EQ(fatPreselected, 1);
  // Progress counts bytes: the sum of the sizes, all of them done.
  EXPECT_EQ(status.Total, g_volume->liveBytes);
  EXPECT_EQ(status.Position, status.Total);
  ASSERT_FALSE(statusView.captions.empty());
  EXPECT_EQ(statusView.captions.front(), "Saving files...");
  EXPECT_EQ(statusView.lines1.front(), "Preparing for saving...");
  EXPECT_NE(std::find(statusView.captions.begin(), statusView.captions.end(), "正在保存文件..."),
            statusView.captions.end());
  const std::string rootLine = "文件: " + ShortenPath(out.Path().string() + "/ROOT.TXT", 30);
  EXPECT_NE(std::find(statusView.lines1.begin(), statusView.lines1.end(), rootLine), statusView.lines1.end())
      << rootLine;
  EXPECT_EQ(statusView.shown, 1);
  EXPECT_FALSE(status.Visible());
  // Folders loaded only for the save are unloaded again.
  EXPECT_EQ(static_cast<TFATDirectory&>(Item(drive, "DOCS")).Items, nullptr);
}

TEST_F(SavingTest, TheWholeDeletedViewIsSavedThroughConsecutiveClusters) {
  TFATdrive& drive = Open();
  const TSaveReport report = Save(drive, Children(Top(drive, true)), true, out.Path().string());
  // With a usable FAT the deleted view reads the clusters it marks free.
  EXPECT_EQ(fatPreselected, 3);
  EXPECT_EQ(dirDialog.FATIndex, kFATChoiceFree);
  EXPECT_EQ(Summary(ReadTree(out.Path())), Summary(g_volume->deleted));
  // "_OO" is made by this save for FOO; GOO goes into it without a question.
  EXPECT_TRUE(box.texts.empty()) << box.texts.front();
  EXPECT_EQ(report.FilesSaved, 5u);
  EXPECT_FALSE(report.Stopped);
  std::uint64_t bytes = 0;
  for (const auto& [path, content] : g_volume->deleted) bytes += content.size();
  EXPECT_EQ(status.Total, bytes);
  EXPECT_EQ(status.Position, bytes);
}

TEST_F(SavingTest, SafeFileNameKeepsEveryNameInsideTheFolder) {
  EXPECT_EQ(SafeFileName("report.txt"), "report.txt");
  EXPECT_EQ(SafeFileName("../x"), ".._x");
  EXPECT_EQ(SafeFileName("..\\..\\x"), ".._.._x");
  EXPECT_EQ(SafeFileName("/etc/passwd"), "_etc_passwd");
  EXPECT_EQ(SafeFileName(".."), "___");
  EXPECT_EQ(SafeFileName("."), "__");
  EXPECT_EQ(SafeFileName(""), "_");
  EXPECT_EQ(SafeFileName("a\tb\x7F" "c"), "a_b_c");
  EXPECT_EQ(SafeFileName("C:con*?\"<>|"), "C_con______");
  EXPECT_EQ(SafeFileName("\xE5OO"), "_OO");     // a byte that starts no UTF-8 sequence
  EXPECT_EQ(SafeFileName("年报.txt"), "年报.txt");  // multi-byte characters stay
  // At most 255 bytes, never cutting a character in two.
  std::string longName = "a";
  for (int i = 0; i < 100; ++i) longName += "年";
  EXPECT_EQ(SafeFileName(longName), longName.substr(0, 1 + 3 * 84));
}

TEST_F(SavingTest, CraftedNamesLandInsideTheTargetFolder) {
  TFATdrive& drive = Open();
  const fs::path target = out.Path() / "deep" / "target";
  fs::create_directories(target);
  const TSaveReport report = Save(drive, {&Item(drive, "EVIL")}, false, target.string());
  EXPECT_EQ(report.FilesSaved, 5u);
  Tree evil;
  for (const auto& [path, bytes] : g_volume->live)
    if (path.rfind("EVIL/", 0) == 0) evil[path] = bytes;
  EXPECT_EQ(Summary(ReadTree(target)), Summary(evil));
  // Nothing beside the target or above it.
  EXPECT_EQ(std::distance(fs::directory_iterator(out.Path()), fs::directory_iterator()), 1);
  EXPECT_EQ(std::distance(fs::directory_iterator(out.Path() / "deep"), fs::directory_iterator()), 1);
  EXPECT_FALSE(fs::exists(out.Path() / "deep" / "x"));
  EXPECT_FALSE(fs::exists(out.Path() / "deep" / "q"));
}

TEST_F(SavingTest, EachExistingFileIsAskedAboutAndNoSkipsOnlyIt) {
  TFATdrive& drive = Open();
  const std::vector<TFSObject*> files{&Item(drive, "DOCS/Annual report.txt"), &Item(drive, "DOCS/EMPTY.TXT"),
                                      &Item(drive, "DOCS/EXACT.BIN"), &Item(drive, "ROOT.TXT")};
  for (const char* name : {"Annual report.txt", "EMPTY.TXT", "EXACT.BIN", "ROOT.TXT"})
    test::WriteFile(out / name, "old");
  box.answers = {TMsgResult::mrNo, TMsgResult::mrYes, TMsgResult::mrAll};
  const TSaveReport report = Save(drive, files, false, out.Path().string());
  // All answers the rest: ROOT.TXT is replaced without a question.
  ASSERT_EQ(box.questions.size(), 3u);
  const std::string target = out.Path().string() + "/";
  EXPECT_EQ(box.questions[0], "此文件夹已包含一个名为 '" + target + "Annual report.txt'.\r\r确实要替换现有的文件?");
  EXPECT_EQ(box.questions[1], "此文件夹已包含一个名为 '" + target + "EMPTY.TXT'.\r\r确实要替换现有的文件?");
  EXPECT_EQ(box.types[0], TMsgType::mtConfirmation);
  EXPECT_EQ(test::ReadFile(out / "Annual report.txt"), "old");
  EXPECT_EQ(test::ReadFile(out / "EMPTY.TXT"), "");
  EXPECT_EQ(Digest(test::ReadFile(out / "EXACT.BIN")), Digest(g_volume->live.at("DOCS/EXACT.BIN")));
  EXPECT_EQ(Digest(test::ReadFile(out / "ROOT.TXT")), Digest(g_volume->live.at("ROOT.TXT")));
  EXPECT_EQ(report.FilesSkipped, 1u);
  EXPECT_EQ(report.FilesSaved, 3u);
  EXPECT_FALSE(report.Stopped);
}

TEST_F(SavingTest, ExistingFoldersAreAskedAboutAndNoEndsTheSave) {
  TFATdrive& drive = Open();
  const std::vector<TFSObject*> selected{&Item(drive, "DOCS"), &Item(drive, "PICS")};
  const Tree docs = Subtree(g_volume->live, "DOCS/");
  auto prepare = [&](const fs::path& root) {
    fs::create_directories(root / "DOCS" / "SUB");
    test::WriteFile((root / "DOCS" / "EXACT.BIN").string(), "old");
    test::WriteFile((root / "DOCS" / "SUB" / "NOTES.TXT").string(), "old");
  };
  const std::string question = "此文件夹已包含一个名为文件夹 'DOCS'\r\r, 确实要替换现有的文件?";
  {
    SCOPED_TRACE("No");
    const fs::path root = out.Path() / "no";
    prepare(root);
    box.answers = {TMsgResult::mrNo};
    const TSaveReport report = Save(drive, selected, false, root.string());
    EXPECT_EQ(box.questions, std::vector<std::string>{question});
    EXPECT_TRUE(report.Stopped);
    EXPECT_EQ(report.FilesSaved, 0u);
    // Nothing of DOCS was touched and PICS, after it, was not saved.
    EXPECT_EQ(Summary(ReadTree(root)), Summary((Tree{{"DOCS/", ""}, {"DOCS/SUB/", ""}, {"DOCS/EXACT.BIN", "old"},
                                    {"DOCS/SUB/NOTES.TXT", "old"}})));
  }
  box.questions.clear();
  {
    SCOPED_TRACE("Yes");
    const fs::path root = out.Path() / "yes";
    prepare(root);
    // Yes lets the files in it be replaced; the folder SUB in it is asked about again.
    box.answers = {TMsgResult::mrYes, TMsgResult::mrYes};
    const TSaveReport report = Save(drive, selected, false, root.string());
    EXPECT_EQ(box.questions,
              (std::vector<std::string>{question, "此文件夹已包含一个名为文件夹 'SUB'\r\r, 确实要替换现有的文件?"}));
    EXPECT_FALSE(report.Stopped);
    EXPECT_EQ(Summary(Subtree(ReadTree(root), "DOCS/")), Summary(docs));
    EXPECT_EQ(Digest(test::ReadFile((root / "PICS" / "P1.JPG").string())), Digest(g_volume->live.at("PICS/P1.JPG")));
  }
  box.questions.clear();
  {
    SCOPED_TRACE("All");
    const fs::path root = out.Path() / "all";
    prepare(root);
    box.answers = {TMsgResult::mrAll};
    const TSaveReport report = Save(drive, selected, false, root.string());
    EXPECT_EQ(box.questions, std::vector<std::string>{question});
    EXPECT_FALSE(report.Stopped);
    EXPECT_EQ(Summary(Subtree(ReadTree(root), "DOCS/")), Summary(docs));
  }
}

TEST_F(SavingTest, LinksInTheTargetAreNeverWrittenThrough) {
  TFATdrive& drive = Open();
  const fs::path target = out.Path() / "target";
  const fs::path outside = out.Path() / "outside";
  fs::create_directories(target);
  fs::create_directories(outside / "DOCS");
  test::WriteFile((outside / "victim").string(), "keep");
  fs::create_symlink(outside / "victim", target / "ROOT.TXT");
  fs::create_symlink(outside / "DOCS", target / "DOCS");
  fs::create_symlink(outside / "missing", target / "P1.JPG");  // dangling

  box.answers = {TMsgResult::mrYes, TMsgResult::mrYes};
  const TSaveReport report =
      Save(drive, {&Item(drive, "ROOT.TXT"), &Item(drive, "DOCS"), &Item(drive, "PICS/P1.JPG")}, false,
           target.string());
  EXPECT_EQ(test::ReadFile((outside / "victim").string()), "keep");
  EXPECT_TRUE(fs::is_empty(outside / "DOCS"));
  EXPECT_FALSE(fs::exists(outside / "missing"));
  const std::string at = target.string() + "/";
  EXPECT_NE(std::find(box.texts.begin(), box.texts.end(), "无法写入目标文件: " + at + "ROOT.TXT!"), box.texts.end());
  EXPECT_NE(std::find(box.texts.begin(), box.texts.end(), "无法写入目标文件: " + at + "P1.JPG!"), box.texts.end());
  EXPECT_NE(std::find(box.texts.begin(), box.texts.end(), "Could not create directory: " + at + "DOCS!"),
            box.texts.end());
  EXPECT_EQ(report.FilesFailed, 2u);
  EXPECT_EQ(report.FoldersFailed, 1u);
  EXPECT_EQ(report.FilesSaved, 0u);
}

TEST_F(SavingTest, CancelDeletesTheFileInProgressAndEndsTheSave) {
  TFATdrive& drive = Open();
  statusView.onLine1 = [&](const std::string& line) {
    if (line.find("deep file.bin") != std::string::npos) status.CancelBtnClick();
  };
  const TSaveReport report = Save(drive, {&Item(drive, "DOCS"), &Item(drive, "PICS")}, false, out.Path().string());
  EXPECT_TRUE(report.Stopped);
  EXPECT_EQ(report.FilesFailed, 1u);
  // Everything before the cancelled file is there, it and everything after it is not.
  Tree expected = g_volume->live;
  for (auto it = expected.begin(); it != expected.end();)
    it = it->first.rfind("DOCS/", 0) == 0 && it->first != "DOCS/SUB/DEEP/deep file.bin" ? std::next(it)
                                                                                       : expected.erase(it);
  expected["DOCS/"] = "";
  EXPECT_EQ(Summary(ReadTree(out.Path())), Summary(expected));
  EXPECT_LT(status.Position, status.Total);
}

// The image in memory: reads can be made to fail, and the platform can say
// that the target folder lies on the examined device.
class ExaminedDevicePlatform : public test::FakePlatform {
 public:
  bool PathLiesOnDevice(const std::string& path, const std::string& deviceName) override {
    asked.emplace_back(path, deviceName);
    return targetOnDevice;
  }
  bool targetOnDevice = false;
  std::vector<std::pair<std::string, std::string>> asked;
};

class SavingInMemoryTest : public SavingTest {
 protected:
  TFATdrive& OpenInMemory() {
    const std::string image = test::ReadFile(g_volume->image);
    platform.AddPhysical(0x80, std::vector<std::uint8_t>(image.begin(), image.end()), 2).geometry.Unpartitioned =
        true;
    return Scan();
  }
  ExaminedDevicePlatform platform;
};

TEST_F(SavingInMemoryTest, UnreadableSectorsAreSavedAsZerosAndReported) {
  TFATdrive& drive = OpenInMemory();
  auto& file = static_cast<TFATFile&>(Item(drive, "DOCS/Annual report.txt"));
  // Sectors 3 and 100 of the file.
  const std::uint64_t first = static_cast<std::uint64_t>(drive.ClusterToSector(file.StartCluster)) * 512;
  platform.FailRange("phys128", first + 3 * 512, 512);
  platform.FailRange("phys128", first + 100 * 512, 512);
  const TSaveReport report = Save(drive, {&file, &Item(drive, "ROOT.TXT")}, false, out.Path().string());
  std::string expected = g_volume->live.at("DOCS/Annual report.txt");
  std::memset(expected.data() + 3 * 512, 0, 512);
  std::memset(expected.data() + 100 * 512, 0, 512);
  EXPECT_EQ(Digest(test::ReadFile(out / "Annual report.txt")), Digest(expected));
  EXPECT_EQ(Digest(test::ReadFile(out / "ROOT.TXT")), Digest(g_volume->live.at("ROOT.TXT")));
  // Named once, at the end of the save, with the bytes it lost.
  const std::string saved = out.Path().string() + "/Annual report.txt";
  EXPECT_EQ(box.texts, std::vector<std::string>{"以下文件含有无法读取的扇区, 已保存, 无法读取的部分用零填充 (丢失的字节):\r" +
                                                saved + " (bytes 1536-2047, 51200-51711)"});
  EXPECT_EQ(box.types, std::vector<TMsgType>{TMsgType::mtWarning});
  EXPECT_EQ(report.FilesWithUnreadableSectors, 1u);
  ASSERT_EQ(report.Damaged.size(), 1u);
  EXPECT_EQ(report.Damaged[0].Path, saved);
  EXPECT_EQ(report.Damaged[0].Lost, (std::vector<TByteRange>{{1536, 512}, {51200, 512}}));
  EXPECT_EQ(report.FilesSaved, 2u);
}

TEST_F(SavingInMemoryTest, ATargetOnTheExaminedDeviceIsAskedAboutBeforeAnythingIsWritten) {
  TFATdrive& drive = OpenInMemory();
  platform.targetOnDevice = true;
  const std::vector<TFSObject*> selected{&Item(drive, "ROOT.TXT"), &Item(drive, "PICS")};
  const std::string question = "目标文件夹 " + out.Path().string() + "/ 位于正在检查的设备上。写入可能会覆盖要恢复的数据！\r\r是否继续?";
  box.answers = {TMsgResult::mrNo};
  TSaveReport report = Save(drive, selected, false, out.Path().string());
  EXPECT_EQ(box.questions, std::vector<std::string>{question});
  EXPECT_EQ(box.captions, std::vector<std::string>{"警告"});
  ASSERT_EQ(platform.asked.size(), 1u);
  EXPECT_EQ(platform.asked[0].second, "phys128");
  EXPECT_TRUE(report.Stopped);
  EXPECT_TRUE(fs::is_empty(out.Path()));
  EXPECT_EQ(statusView.shown, 0);

  box.questions.clear();
  box.answers = {TMsgResult::mrYes};
  report = Save(drive, selected, false, out.Path().string());
  EXPECT_EQ(box.questions, std::vector<std::string>{question});
  EXPECT_EQ(report.FilesSaved, 2u);
  EXPECT_EQ(Digest(test::ReadFile(out / "PICS/P1.JPG")), Digest(g_volume->live.at("PICS/P1.JPG")));

  // Elsewhere nothing is asked.
  platform.targetOnDevice = false;
  box.questions.clear();
  const TempDir other;
  report = Save(drive, selected, false, other.Path().string());
  EXPECT_TRUE(box.questions.empty());
  EXPECT_EQ(report.FilesSaved, 2u);
}

}  // namespace
}  // namespace vantrel
