// The lost-data search on volumes made by mkfs.fat and mtools: a FAT32 volume
// quick-formatted over a tree of folders, a FAT16 volume of typed files whose
// root directory is gone (whole, or its first sector only), an old root at a
// cluster, folder and FAT chains patched into loops, bad clusters, partial
// ranges, cancel at each stage and an escaping error, and the range dialog.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>

#include "analysis/FileType.h"
#include "app/TOptions.h"
#include "common/Bytes.h"
#include "common/Clock.h"
#include "fs/ClusterTests.h"
#include "fs/TFATDirectory.h"
#include "fs/TFATdrive.h"
#include "host/RangeDialogs.h"
#include "host/TStatusDialog.h"
#include "host/UserInterface.h"
#include "recovery/LostData.h"
#include "recovery/Saving.h"
#include "support/LostImages.h"
#include "support/MemoryDisk.h"
#include "support/Recorders.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using test::ImageTool;
using test::MemoryDisk;
using test::ShellQuote;
using test::TempDir;
using Bytes = std::vector<std::uint8_t>;
using Tree = std::map<std::string, std::string>;  // relative path → bytes; folders end in "/" and map to ""
using Names = std::set<std::string>;

std::string Folder(std::uint32_t cluster) { return "蔟 " + std::to_string(cluster); }
std::string File(std::uint32_t cluster, const std::string& type) { return Folder(cluster) + "." + type; }

Bytes Load(const std::string& path) { return test::ImageBytes(path); }

std::uint32_t Le16At(const Bytes& b, std::size_t at) { return b[at] | b[at + 1] << 8; }

// Sets a FAT16 entry in both FAT copies.
void SetFAT16(Bytes& image, std::uint32_t cluster, std::uint16_t value) {
  const std::uint32_t reserved = Le16At(image, 14), fatSize = Le16At(image, 22);
  for (std::uint32_t copy = 0; copy < image[16]; ++copy) {
    const std::size_t at = (reserved + copy * fatSize) * 512u + cluster * 2u;
    image[at] = value & 0xFF;
    image[at + 1] = value >> 8;
  }
}

// Sets a FAT32 entry in both FAT copies.
void SetFAT32(Bytes& image, std::uint32_t cluster, std::uint32_t value) {
  const std::uint32_t reserved = Le16At(image, 14), fatSize = Le32(ByteSpan(image), 36);
  for (std::uint32_t copy = 0; copy < image[16]; ++copy)
    for (int i = 0; i < 4; ++i) image[(reserved + copy * fatSize) * 512u + cluster * 4u + i] = (value >> (8 * i)) & 0xFF;
}

// Turns the one short entry named name11 into a folder entry at cluster.
void MakeFolderEntry(Bytes& image, const std::string& name11, std::uint32_t cluster) {
  const auto at = std::search(image.begin(), image.end(), name11.begin(), name11.end());
  if (at == image.end() || std::search(at + 1, image.end(), name11.begin(), name11.end()) != image.end())
    throw std::runtime_error("no single entry " + name11);
  at[11] = 0x10;
  at[20] = (cluster >> 16) & 0xFF;
  at[21] = cluster >> 24;
  at[26] = cluster & 0xFF;
  at[27] = (cluster >> 8) & 0xFF;
  std::fill(at + 28, at + 32, 0);
}

// Notes the first cluster of each path of the image in at, by path.
void NoteClusters(std::map<std::string, std::uint32_t>& at, const std::string& image,
                  const std::vector<std::string>& paths) {
  std::vector<std::string> full;
  for (const auto& p : paths) full.push_back("::/" + p);
  const auto clusters = test::FirstClusters(image, full);
  for (std::size_t i = 0; i < paths.size(); ++i) at[paths[i]] = clusters[i];
}

Tree ReadTree(const fs::path& root) {
  Tree tree;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const std::string rel = fs::relative(it->path(), root).string();
    if (rel == "report.xml") continue;  // the save's record, not a saved file
    tree[it->is_directory() ? rel + "/" : rel] = it->is_directory() ? "" : test::ReadFile(it->path().string());
  }
  return tree;
}

struct Images {
  std::map<std::string, std::string> media;  // typed files by name

  std::string dir;  // where the images are

  // FAT32 with clusters of one sector: a tree of folders and PNGs
  // (tree.img); the same with a deleted PNG and a deleted folder (live.img);
  // the tree quick-formatted (formatted.img).
  Tree files;                               // the tree's files and folders by path
  std::map<std::string, std::uint32_t> at;  // first clusters by path

  // FAT16 with clusters of 2 KiB, the typed files in its root (typed.img).
  std::map<std::string, std::uint32_t> typedAt;
  std::uint32_t rootSector = 0;
  std::uint32_t rootSectors = 0;

  // fat12.img: a small FAT12 volume with a folder.
};
Images* g = nullptr;

// The files and folders of the tree by path, folders ending in "/".
Tree TreeFiles(const std::map<std::string, std::string>& media) {
  Tree files = {{"DOCS/Annual report.txt", test::Pattern(1, 70000)},
                {"DOCS/EMPTY.TXT", ""},
                {"DOCS/SUB/NOTES.TXT", test::Pattern(2, 1000)},
                {"DOCS/SUB/deep file.bin", test::Pattern(3, 5000)},
                {"PICS/P1.BIN", test::Pattern(4, 3000)},
                {"ROOT.PNG", media.at("C.PNG")},
                {"LATE/PIC2.PNG", media.at("G.PNG")}};
  // Fourteen entries fill FULL's one cluster; without a FAT the folder runs
  // on into the next cluster, whose first byte 0 ends it.
  for (int i = 1; i <= 14; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "FULL/F%02d.BIN", i);
    files[name] = std::string(1, '\0') + test::Pattern(10 + i, 40);
  }
  for (const char* d : {"DOCS/", "DOCS/SUB/", "PICS/", "FULL/", "LATE/"}) files[d] = "";
  return files;
}

std::map<std::string, std::string> ReadMedia(const std::string& folder) {
  std::map<std::string, std::string> media;
  for (const auto& entry : fs::directory_iterator(folder))
    media[entry.path().filename().string()] = test::ReadFile(entry.path().string());
  return media;
}

// tree.img, live.img, formatted.img, typed.img, fat12.img and the first
// clusters of what they hold ("typed/" in front of the paths of typed.img).
void MakeImages(const std::string& dir) {
  const std::string media = dir + "/media/", src = dir + "/tree/";
  fs::create_directories(media);
  test::MakeTypedFiles(media);
  for (const auto& [rel, bytes] : TreeFiles(ReadMedia(media))) {
    if (rel.back() == '/' || rel.find('/') == std::string::npos || rel.rfind("LATE/", 0) == 0) continue;
    fs::create_directories(fs::path(src + rel).parent_path());
    test::WriteFile(src + rel, bytes);
  }
  std::map<std::string, std::uint32_t> at;

  const std::string image = dir + "/tree.img", img = " -i " + ShellQuote(image) + " ";
  const std::string mkfs = "mkfs.fat -F 32 -s 1 --invariant -i 1a2b3c4d -n TREE ";
  ImageTool(mkfs + "-C " + ShellQuote(image) + " 40960");
  // PIC2.PNG takes a cluster in front of its folder LATE, made later.
  ImageTool("mcopy" + img + media + "G.PNG ::/PIC2.PNG");
  ImageTool("mcopy" + img + media + "C.PNG ::/ROOT.PNG");
  test::WriteFile(dir + "/EMPTY.DAT", "");
  ImageTool("mcopy" + img + ShellQuote(dir + "/EMPTY.DAT") + " ::/");
  ImageTool("mcopy -s" + img + src + "DOCS " + src + "PICS " + src + "FULL ::/");
  ImageTool("mmd" + img + "::/LATE");
  ImageTool("mmove" + img + "::/PIC2.PNG ::/LATE/PIC2.PNG");
  NoteClusters(at, image,
               {"DOCS", "DOCS/SUB", "PICS", "FULL", "LATE", "ROOT.PNG", "LATE/PIC2.PNG", "DOCS/Annual report.txt"});

  const std::string live = dir + "/live.img", limg = " -i " + ShellQuote(live) + " ";
  ImageTool("cp " + ShellQuote(image) + " " + ShellQuote(live));
  ImageTool("mcopy" + limg + media + "C.PNG ::/OLD.PNG");
  ImageTool("mmd" + limg + "::/TRASH");
  ImageTool("mcopy" + limg + media + "G.PNG ::/TRASH/X.PNG");
  NoteClusters(at, live, {"OLD.PNG", "TRASH", "TRASH/X.PNG"});
  ImageTool("mdel" + limg + "::/OLD.PNG");
  ImageTool("mdeltree" + limg + "::/TRASH");

  // A quick format: the same geometry again over the tree.
  const std::string formatted = dir + "/formatted.img";
  ImageTool("cp " + ShellQuote(image) + " " + ShellQuote(formatted));
  ImageTool(mkfs + ShellQuote(formatted) + " 40960");

  const std::string typed = dir + "/typed.img", timg = " -i " + ShellQuote(typed) + " ";
  ImageTool("mkfs.fat -C -F 16 -s 4 --invariant -i 5e6f7a8b -n TYPES " + ShellQuote(typed) + " 16384");
  // Root entries: the label, eight typed files, FOLD and six fillers fill
  // the first root sector; G.PNG and H.ZIP stand in the second.
  std::string first;
  for (const char* f : {"A.ZIP", "B.TAR", "C.PNG", "D.MP3", "J1.JPG", "J2.JPG", "J3.JPG", "E.MP3"}) first += media + f + " ";
  ImageTool("mcopy" + timg + first + "::/");
  ImageTool("mmd" + timg + "::/FOLD");
  ImageTool("mcopy" + timg + src + "PICS/P1.BIN ::/FOLD/P1.BIN");
  std::string fillers;
  for (int i = 1; i <= 6; ++i) {
    const std::string name = dir + "/T" + std::to_string(i) + ".TXT";
    test::WriteFile(name, test::Pattern(100 + i, 100));
    fillers += ShellQuote(name) + " ";
  }
  ImageTool("mcopy" + timg + fillers + "::/");
  ImageTool("mcopy" + timg + media + "G.PNG ::/G.PNG");
  ImageTool("mcopy" + timg + media + "A.ZIP ::/H.ZIP");
  // Twenty more run on into the third root sector.
  std::string more;
  for (int i = 1; i <= 20; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/U%02d.TXT", i);
    test::WriteFile(dir + name, test::Pattern(200 + i, 100));
    more += ShellQuote(dir + name) + " ";
  }
  ImageTool("mcopy" + timg + more + "::/");
  std::map<std::string, std::uint32_t> typedAt;
  NoteClusters(typedAt, typed,
               {"A.ZIP", "B.TAR", "C.PNG", "D.MP3", "J1.JPG", "J2.JPG", "J3.JPG", "E.MP3", "FOLD", "G.PNG", "H.ZIP"});
  for (const auto& [path, cluster] : typedAt) at["typed/" + path] = cluster;

  const std::string small = dir + "/fat12.img", simg = " -i " + ShellQuote(small) + " ";
  ImageTool("mkfs.fat -C -F 12 --invariant -i 0badcafe -n SMALL " + ShellQuote(small) + " 1440");
  ImageTool("mcopy" + simg + media + "G.PNG ::/");
  ImageTool("mmd" + simg + "::/DIR");
  ImageTool("mcopy" + simg + media + "C.PNG ::/DIR/");
  test::SaveClusters(dir + "/clusters", at);
}

void LoadImages(Images& m, const std::string& dir) {
  m.media = ReadMedia(dir + "/media");
  m.files = TreeFiles(m.media);
  for (const auto& [path, cluster] : test::LoadClusters(dir + "/clusters"))
    (path.rfind("typed/", 0) == 0 ? m.typedAt[path.substr(6)] : m.at[path]) = cluster;
  m.dir = dir;
  const Bytes typed = Load(dir + "/typed.img");
  m.rootSector = Le16At(typed, 14) + typed[16] * Le16At(typed, 22);
  m.rootSectors = Le16At(typed, 17) * 32 / 512;
}

// The bytes of an image, read afresh: each disk holds its own copy (and the
// images are large, so only the tests that use one read it).
Bytes Image(const std::string& name) { return Load(g->dir + "/" + name); }

// typed.img without its root area, or without the first sector of it.
Bytes TypedWithoutRoot() {
  Bytes image = Image("typed.img");
  std::fill_n(image.begin() + g->rootSector * 512, g->rootSectors * 512, 0);
  return image;
}
Bytes TypedWithRootTail() {
  Bytes image = Image("typed.img");
  std::fill_n(image.begin() + g->rootSector * 512, 512, 0);
  return image;
}

// The cluster range dialog as the user answers it: the range it offers, one
// typed in, or Cancel.
class RangeView : public IClusterDialogView {
 public:
  TRangeDialogResult ShowModal(TClusterDialog& dialog) override {
    ++shown;
    offeredStart = dialog.EditStartClus;
    offeredEnd = dialog.EditEndClus;
    return {ok, start.empty() ? dialog.EditStartClus : start, end.empty() ? dialog.EditEndClus : end};
  }
  bool ok = true;
  std::string start, end;
  std::string offeredStart, offeredEnd;
  int shown = 0;
};

using ProgressView = test::ProgressRecorder;

class LostData : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    VANTREL_SKIP_WITHOUT_HOST_TOOLS();
    g = new Images;
    LoadImages(*g, test::MadeOnce("lost-data", MakeImages));
  }
  static void TearDownTestSuite() {
    delete g;
    g = nullptr;
  }

  void SetUp() override {
    VANTREL_SKIP_WITHOUT_HOST_TOOLS();
    options_ = Options();
    // Every refresh is due: each progress text reaches the view.
    SetTickSource([this] { return now_ += 1000; });
    view.dialog = &dialog;
  }
  void TearDown() override {
    Options() = options_;
    SetTickSource(nullptr);
  }

  // The search through the range dialog; afterwards the progress window is
  // hidden and the device's read-ahead cache off, whatever happened.
  void Search(TFATdrive& drive) {
    view.device = drive.Device;
    FindLostData(drive, dialog, clusterDialog, range);
    EXPECT_FALSE(dialog.Visible());
    EXPECT_FALSE(drive.Device->CacheEnabled);
  }

  static Names LostNames(const TFATdrive& drive) {
    Names names;
    for (const auto& item : *drive.LostDir->Items) names.insert(item->Name);
    return names;
  }

  static TFSObject* LostItem(const TFATdrive& drive, const std::string& name) {
    for (const auto& item : *drive.LostDir->Items)
      if (item->Name == name) return item.get();
    return nullptr;
  }

  // What the quick-formatted tree gives: its four folders, and the PNG of
  // its root whose entry went with the root.
  static Names FormattedLost() {
    return {Folder(g->at["DOCS"]), Folder(g->at["PICS"]), Folder(g->at["FULL"]), Folder(g->at["LATE"]),
            File(g->at["ROOT.PNG"], "PNG")};
  }

  RangeView range;
  ProgressView view;
  TStatusDialog dialog{&view};
  TClusterDialog clusterDialog;

 private:
  TOptions options_;
  std::uint32_t now_ = 1000;
};

TEST_F(LostData, QuickFormattedFoldersComeBackWithTheirNamesAndContents) {
  MemoryDisk disk(Image("formatted.img"), false);
  TFATdrive& drive = disk.Drive(0);
  ASSERT_TRUE(drive.GeometryValid);
  ASSERT_EQ(drive.FATType, ftFAT32);
  ASSERT_TRUE(drive.LostDir->Items->empty());
  Search(drive);
  EXPECT_EQ(range.offeredStart, "2");
  EXPECT_EQ(range.offeredEnd, std::to_string(drive.ClusterCount + 1));
  ASSERT_EQ(LostNames(drive), FormattedLost());
  EXPECT_EQ(dialog.Caption(), "查找丢失的数据 - 请稍后...");
  EXPECT_EQ(dialog.Line(2), "找到丢失的目录: 4");
  EXPECT_EQ(dialog.Line(3), "找到丢失的文件: 1");
  // Folders are walked with the read-ahead off, the scans run with it on.
  for (const auto& [text, cacheOn] : view.lines) {
    if (text.empty()) continue;
    EXPECT_EQ(cacheOn, text.find("(子目录)") == std::string::npos) << text;
  }

  for (const auto& item : *drive.LostDir->Items) {
    EXPECT_EQ(item->Status, isLost);
    EXPECT_EQ(item->Parent, drive.LostDir.get());
    EXPECT_EQ(item->Drive, &drive);
  }
  auto* png = dynamic_cast<TFATFile*>(LostItem(drive, File(g->at["ROOT.PNG"], "PNG")));
  ASSERT_NE(png, nullptr);
  // The image's own chunks tell its size.
  EXPECT_EQ(png->Size, g->media["C.PNG"].size());
  EXPECT_EQ(png->Attr, 32);

  // Saved from consecutive clusters, the folders give the tree back.
  TempDir out;
  TSaveContext context;
  context.FATChoice = 0;
  for (const auto& item : *drive.LostDir->Items) {
    if (item->IsDirectory())
      EXPECT_TRUE(SaveFolder(static_cast<TFATDirectory&>(*item), out.Path().string(), context, true, false, false));
    else
      EXPECT_TRUE(SaveFile(static_cast<TFATFile&>(*item), out.Path().string(), context));
  }
  Tree expected;
  for (const auto& [path, bytes] : g->files) {
    const auto slash = path.find('/');
    if (slash == std::string::npos) continue;
    expected[Folder(g->at[path.substr(0, slash)]) + path.substr(slash)] = bytes;
  }
  Tree saved = ReadTree(out.Path());
  const std::string savedPng = saved[File(g->at["ROOT.PNG"], "PNG")];
  saved.erase(File(g->at["ROOT.PNG"], "PNG"));
  for (const auto& [path, bytes] : expected) {
    auto it = saved.find(path);
    if (it == saved.end()) {
      ADD_FAILURE() << "not saved: " << path;
      continue;
    }
    EXPECT_TRUE(it->second == bytes) << path << ": " << it->second.size() << " bytes, expected " << bytes.size();
  }
  for (const auto& [path, bytes] : saved)
    EXPECT_TRUE(expected.count(path)) << "saved too: " << path;
  EXPECT_EQ(savedPng, g->media["C.PNG"]);
}

TEST_F(LostData, OldRootMovedToAnotherClusterIsALostRootWithItsLabel) {
  // The tree's root (its label TREE, ROOT.PNG, an empty file without a
  // cluster, the four folders, then the end) lies in cluster 1000 of the
  // quick-formatted volume too.
  Bytes image = Image("formatted.img");
  const Bytes tree = Image("tree.img");
  const std::uint32_t firstData = Le16At(tree, 14) + tree[16] * Le32(ByteSpan(tree), 36);
  std::copy_n(tree.begin() + firstData * 512, 512, image.begin() + (firstData + 1000 - 2) * 512);
  MemoryDisk disk(std::move(image), false);
  TFATdrive& drive = disk.Drive(0);
  Search(drive);
  // The folders came first; the PNG, found first too, is explained by the root.
  Names expected = FormattedLost();
  expected.erase(File(g->at["ROOT.PNG"], "PNG"));
  expected.insert("蔟 1000 (根目录)");
  EXPECT_EQ(LostNames(drive), expected);
}

TEST_F(LostData, LostFileThatALaterFolderHoldsIsRemoved) {
  const std::uint32_t pic = g->at["LATE/PIC2.PNG"], late = g->at["LATE"];
  ASSERT_LT(pic, late);
  {
    // Up to its folder the picture is a lost file of its own.
    MemoryDisk disk(Image("formatted.img"), false);
    view.cancelAt = "扫描蔟 " + std::to_string(late - 1);
    Search(disk.Drive(0));
    EXPECT_TRUE(LostNames(disk.Drive(0)).count(File(pic, "PNG")));
  }
  view.cancelAt.clear();
  MemoryDisk disk(Image("formatted.img"), false);
  TFATdrive& drive = disk.Drive(0);
  Search(drive);
  EXPECT_FALSE(LostNames(drive).count(File(pic, "PNG")));
  auto* folder = dynamic_cast<TFATDirectory*>(LostItem(drive, Folder(late)));
  ASSERT_NE(folder, nullptr);
  folder->LoadChildren(false, false);
  ASSERT_EQ(folder->Items->size(), 1u);
  EXPECT_EQ((*folder->Items)[0]->Name, "PIC2.PNG");
  EXPECT_EQ(static_cast<TFATFile&>(*(*folder->Items)[0]).StartCluster, pic);
}

TEST_F(LostData, IntactVolumesHaveNothingLost) {
  // Live and deleted folders, deleted files whose first cluster still holds
  // a PNG, the fixed root of FAT16 and FAT12: all of it is reachable.
  for (const char* image : {"tree.img", "live.img", "typed.img", "fat12.img"}) {
    MemoryDisk disk(Image(image), false);
    TFATdrive& drive = disk.Drive(0);
    ASSERT_TRUE(drive.GeometryValid);
    if (std::string(image) == "live.img") {
      int kind = 0;
      std::string type;
      std::vector<std::uint8_t> scratch;
      ASSERT_TRUE(DetectClusterFileType(drive, g->at["OLD.PNG"], kind, type, scratch));
      ASSERT_TRUE(DetectClusterFileType(drive, g->at["TRASH/X.PNG"], kind, type, scratch));
      ASSERT_TRUE(ClusterHasDotEntries(drive, g->at["TRASH"], 0));
    }
    Search(drive);
    EXPECT_EQ(LostNames(drive), Names{}) << "FAT type " << int{drive.FATType};
  }
}

TEST_F(LostData, PartOfTheVolumeStillKnowsWhatTheRootReaches) {
  // A file of a live folder, of a deleted folder, a deleted file: each
  // scanned alone, without the folders that hold it.
  MemoryDisk disk(Image("live.img"), false);
  TFATdrive& drive = disk.Drive(0);
  for (const char* path : {"LATE/PIC2.PNG", "TRASH/X.PNG", "OLD.PNG", "ROOT.PNG"}) {
    range.start = range.end = std::to_string(g->at[path]);
    Search(drive);
    EXPECT_EQ(LostNames(drive), Names{}) << path;
  }
  // A folder below a lost folder that is not scanned is lost itself.
  MemoryDisk formatted(Image("formatted.img"), false);
  range.start = range.end = std::to_string(g->at["DOCS/SUB"]);
  Search(formatted.Drive(0));
  EXPECT_EQ(LostNames(formatted.Drive(0)), Names{Folder(g->at["DOCS/SUB"])});
}

TEST_F(LostData, TypedFilesWhoseDirectoryIsGone) {
  MemoryDisk disk(TypedWithoutRoot(), false);
  TFATdrive& drive = disk.Drive(0);
  ASSERT_EQ(drive.FATType, ftFAT16);
  ASSERT_EQ(drive.BytesPerCluster, 2048u);
  auto& at = g->typedAt;
  ASSERT_EQ(at["J2.JPG"], at["J1.JPG"] + 1);
  ASSERT_EQ(at["J3.JPG"], at["J2.JPG"] + 1);

  // Every whole cluster inside the MP3s is a run of frames on its own.
  std::vector<std::uint8_t> scratch;
  for (const char* mp3 : {"D.MP3", "E.MP3"}) {
    const std::uint32_t clusters = static_cast<std::uint32_t>(g->media[mp3].size() / 2048);
    int kind = 0;
    std::string type;
    ASSERT_TRUE(DetectClusterFileType(drive, at[mp3], kind, type, scratch));
    // A tag starts E.MP3, the encoder's header frame D.MP3: each starts a file.
    EXPECT_EQ(kind, 1) << mp3;
    for (std::uint32_t c = at[mp3] + 1; c < at[mp3] + clusters; ++c) {
      ASSERT_TRUE(DetectClusterFileType(drive, c, kind, type, scratch)) << mp3 << " cluster " << c;
      EXPECT_EQ(type, "MP3");
      EXPECT_EQ(kind, 2);
    }
  }

  Search(drive);
  const Names files = {File(at["A.ZIP"], "ZIP"),  File(at["B.TAR"], "TAR"),  File(at["C.PNG"], "PNG"),
                       File(at["D.MP3"], "MP3"),  File(at["J1.JPG"], "JPG"), File(at["J2.JPG"], "JPG"),
                       File(at["J3.JPG"], "JPG"), File(at["E.MP3"], "MP3"),  File(at["G.PNG"], "PNG"),
                       File(at["H.ZIP"], "ZIP")};
  Names expected = files;
  expected.insert(Folder(at["FOLD"]));
  EXPECT_EQ(LostNames(drive), expected);

  // The FAT is intact: saved through it, each lost file starts with the original.
  TempDir out;
  TSaveContext context;
  context.FATChoice = 1;
  const std::map<std::string, std::string> source = {
      {"A.ZIP", "A.ZIP"}, {"B.TAR", "B.TAR"}, {"C.PNG", "C.PNG"}, {"D.MP3", "D.MP3"}, {"J2.JPG", "J2.JPG"},
      {"E.MP3", "E.MP3"}, {"H.ZIP", "A.ZIP"}};
  for (const auto& [name, original] : source) {
    const std::string type = name.substr(name.size() - 3);
    auto* file = dynamic_cast<TFATFile*>(LostItem(drive, File(at[name], type)));
    ASSERT_NE(file, nullptr) << name;
    ASSERT_TRUE(SaveFile(*file, out.Path().string(), context));
    const std::string saved = test::ReadFile(out / File(at[name], type));
    EXPECT_GE(saved.size(), g->media[original].size()) << name;
    EXPECT_TRUE(saved.compare(0, g->media[original].size(), g->media[original]) == 0) << name;
  }

  // Without lost files only the folder is found.
  Options().FindLostFiles = false;
  Search(drive);
  EXPECT_EQ(LostNames(drive), Names{Folder(at["FOLD"])});
}

TEST_F(LostData, RootAreaSectorLeftOverIsALostRoot) {
  MemoryDisk disk(TypedWithRootTail(), false);
  TFATdrive& drive = disk.Drive(0);
  Search(drive);
  auto& at = g->typedAt;
  const std::string root = "扇区 " + std::to_string(g->rootSector + 1) + " (根目录)";
  // One lost root over the second and third sectors; its files are walked:
  // G.PNG and H.ZIP are no lost files.
  EXPECT_EQ(LostNames(drive),
            (Names{root, Folder(at["FOLD"]), File(at["A.ZIP"], "ZIP"), File(at["B.TAR"], "TAR"),
                   File(at["C.PNG"], "PNG"), File(at["D.MP3"], "MP3"), File(at["J1.JPG"], "JPG"),
                   File(at["J2.JPG"], "JPG"), File(at["J3.JPG"], "JPG"), File(at["E.MP3"], "MP3")}));
  auto* folder = dynamic_cast<TFATDirectory*>(LostItem(drive, root));
  ASSERT_NE(folder, nullptr);
  EXPECT_EQ(folder->StartCluster, 0u);
  EXPECT_EQ(folder->Sector, g->rootSector + 1);
  folder->LoadChildren(false, false);
  std::vector<std::string> children;
  for (const auto& item : *folder->Items) children.push_back(item->Name);
  std::vector<std::string> expected = {"G.PNG", "H.ZIP"};
  for (int i = 1; i <= 20; ++i) expected.push_back((i < 10 ? "U0" : "U") + std::to_string(i) + ".TXT");
  EXPECT_EQ(children, expected);
}

TEST_F(LostData, RootAreaPassEndsWhereTheDataAreaBegins) {
  // An old root in cluster 2, right behind the emptied root area, is one
  // lost root at its cluster; the pass over the root area does not take its
  // first sector for a root-area sector as well. (A.ZIP, whose first
  // cluster the old root now takes, becomes an empty file in it.)
  Bytes image = TypedWithoutRoot();
  const Bytes typed = Image("typed.img");
  const std::uint32_t firstData = g->rootSector + g->rootSectors;
  const auto old = image.begin() + firstData * 512;
  std::copy_n(typed.begin() + g->rootSector * 512, 512, old);
  const std::string zip = "A       ZIP";
  const auto entry = std::search(old, old + 512, zip.begin(), zip.end());
  ASSERT_NE(entry, old + 512);
  std::fill(entry + 20, entry + 22, 0);
  std::fill(entry + 26, entry + 32, 0);
  MemoryDisk disk(std::move(image), false);
  TFATdrive& drive = disk.Drive(0);
  ASSERT_EQ(drive.FirstDataSector, firstData);
  Search(drive);
  std::vector<std::string> roots;
  for (const auto& item : *drive.LostDir->Items)
    if (item->Name.find("(根目录)") != std::string::npos) roots.push_back(item->Name);
  EXPECT_EQ(roots, std::vector<std::string>{"蔟 2 (根目录)"});
}

TEST_F(LostData, BadClustersAreSkippedOnlyWithAFAT) {
  Bytes image = TypedWithoutRoot();
  const std::uint32_t png = g->typedAt["C.PNG"];
  SetFAT16(image, png, 0xFFF7);
  MemoryDisk disk(image, false);
  TFATdrive& drive = disk.Drive(0);
  ASSERT_EQ(drive.FATChoice, 1);
  ASSERT_EQ(drive.SkipBadClusters, 1);
  Search(drive);
  EXPECT_FALSE(LostNames(drive).count(File(png, "PNG")));
  EXPECT_TRUE(LostNames(drive).count(File(g->typedAt["B.TAR"], "TAR")));

  drive.SkipBadClusters = 0;
  Search(drive);
  EXPECT_TRUE(LostNames(drive).count(File(png, "PNG")));

  // With no FAT there is nothing that marks a cluster bad.
  drive.SkipBadClusters = 1;
  drive.FATChoice = 0;
  Search(drive);
  EXPECT_TRUE(LostNames(drive).count(File(png, "PNG")));
}

TEST_F(LostData, RangeKeepsToTheVolume) {
  MemoryDisk disk(Image("formatted.img"), false);
  TFATdrive& drive = disk.Drive(0);
  const std::uint32_t docs = g->at["DOCS"];
  struct Case {
    std::string start, end;
    Names lost;
  };
  const std::vector<Case> cases = {
      {"0", "2147483647", FormattedLost()},
      {"-5", "", FormattedLost()},
      {std::to_string(docs), std::to_string(docs), {Folder(docs)}},
      {std::to_string(docs + 1), std::to_string(docs), {}},
      {"2147483647", "2147483647", {}},
      {"999999", "5", {}},
  };
  for (const Case& c : cases) {
    range.start = c.start;
    range.end = c.end;
    Search(drive);
    EXPECT_EQ(LostNames(drive), c.lost) << c.start << "-" << c.end;
  }
}

TEST_F(LostData, SearchAgainReplacesTheResultAndACancelledDialogKeepsIt) {
  MemoryDisk disk(Image("formatted.img"), false);
  TFATdrive& drive = disk.Drive(0);
  Search(drive);
  Search(drive);
  EXPECT_EQ(drive.LostDir->Items->size(), FormattedLost().size());
  EXPECT_EQ(LostNames(drive), FormattedLost());

  std::vector<const TFSObject*> before;
  for (const auto& item : *drive.LostDir->Items) before.push_back(item.get());
  range.ok = false;
  const std::size_t linesBefore = view.lines.size();
  FindLostData(drive, dialog, clusterDialog, range);
  EXPECT_EQ(range.shown, 3);
  std::vector<const TFSObject*> after;
  for (const auto& item : *drive.LostDir->Items) after.push_back(item.get());
  EXPECT_EQ(after, before);
  EXPECT_EQ(view.lines.size(), linesBefore) << "no search ran";
}

TEST_F(LostData, CancelAtEachStageKeepsWhatWasFound) {
  const auto& at = g->at;
  struct Case {
    std::function<Bytes()> image;
    std::string cancelAt;
    Names lost;
  };
  const std::string docs = std::to_string(at.at("DOCS"));
  const std::vector<Case> cases = {
      // The walk from the root.
      {[] { return Image("formatted.img"); }, "扫描蔟 2 (子目录)", {}},
      // The walk of a lost folder: the folder stays, the scan ends.
      {[] { return Image("formatted.img"); }, "扫描蔟 " + docs + " (子目录)",
       {File(at.at("LATE/PIC2.PNG"), "PNG"), File(at.at("ROOT.PNG"), "PNG"), Folder(at.at("DOCS"))}},
      // The cluster scan, after DOCS and all below it.
      {[] { return Image("formatted.img"); }, "扫描蔟 " + std::to_string(at.at("DOCS/SUB")),
       {File(at.at("LATE/PIC2.PNG"), "PNG"), File(at.at("ROOT.PNG"), "PNG"), Folder(at.at("DOCS"))}},
      // The pass over the FAT16 root area, before the sector that is left.
      {TypedWithRootTail, "扫描扇区 " + std::to_string(g->rootSector), {}},
  };
  for (const Case& c : cases) {
    MemoryDisk disk(c.image(), false);
    TFATdrive& drive = disk.Drive(0);
    view.cancelAt = c.cancelAt;
    view.lines.clear();
    Search(drive);
    EXPECT_TRUE(dialog.Cancelled) << c.cancelAt;
    EXPECT_EQ(LostNames(drive), c.lost) << c.cancelAt;
  }
}

// A front end whose message loop fails at its n-th call.
int g_messagesLeft = 0;
void FailingMessageLoop() {
  if (--g_messagesLeft == 0) throw std::runtime_error("the window is gone");
}

TEST_F(LostData, ErrorThatEscapesStillCleansUp) {
  // At the first refresh (the walk from the root), and at later ones (the scans).
  for (int calls : {1, 200, 1000}) {
    MemoryDisk disk(Image("formatted.img"), false);
    g_messagesLeft = calls;
    SetProcessMessagesHook(&FailingMessageLoop);
    EXPECT_THROW(FindLostData(disk.Drive(0), dialog, clusterDialog, range), std::runtime_error) << calls;
    SetProcessMessagesHook(nullptr);
    EXPECT_FALSE(disk.Device().CacheEnabled) << calls;
    EXPECT_FALSE(dialog.Visible()) << calls;
  }
}

TEST_F(LostData, LoopingChainsEnd) {
  Bytes live = Image("live.img");
  const std::uint32_t full = g->at["FULL"], docs = g->at["DOCS"], report = g->at["DOCS/Annual report.txt"];
  const std::uint32_t reportEnd = report + (70000 + 511) / 512 - 1;
  // FULL's one cluster is full and its chain comes back to it; a file entry
  // in SUB turns into a folder at DOCS, SUB's parent; the report's chain
  // runs from its last cluster back to its first.
  SetFAT32(live, full, full);
  MakeFolderEntry(live, "NOTES   TXT", docs);
  SetFAT32(live, reportEnd, report);
  {
    MemoryDisk disk(live, false);
    TFATdrive& drive = disk.Drive(0);
    ASSERT_EQ(drive.FATChoice, 1);
    Search(drive);
    EXPECT_EQ(LostNames(drive), Names{});
    // Only clusters 2 and 3 scanned: the loops lie outside and end all the same.
    range.start = "2";
    range.end = "3";
    Search(drive);
    EXPECT_EQ(LostNames(drive), Names{});
    range.start = range.end = "";
  }
  // The same folder loop inside a lost folder.
  Bytes formatted = Image("formatted.img");
  MakeFolderEntry(formatted, "NOTES   TXT", docs);
  MemoryDisk disk(formatted, false);
  Search(disk.Drive(0));
  EXPECT_EQ(LostNames(disk.Drive(0)), FormattedLost());
}

}  // namespace
}  // namespace vantrel
