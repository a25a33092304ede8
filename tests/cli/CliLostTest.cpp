// vantrel-cli find-lost and find-drives on images made by mkfs.fat, mtools
// and sfdisk: lost folders and files listed and saved with "then", lost and
// rebuilt drives browsed and saved by their numbers, the default ranges, and
// the one-line messages of ranges that do not fit.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "cli/CliRunner.h"
#include "support/LostImages.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using test::ImageTool;
using test::RunCli;
using test::ShellQuote;
using Tree = std::map<std::string, std::string>;  // relative path → bytes; folders end in "/"

std::string Folder(std::uint32_t cluster) { return "蔟 " + std::to_string(cluster); }

Tree ReadTree(const fs::path& root) {
  Tree tree;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const std::string rel = fs::relative(it->path(), root).string();
    if (rel == "report.xml") continue;  // the save's record, not a saved file
    tree[it->is_directory() ? rel + "/" : rel] = it->is_directory() ? "" : test::ReadFile(it->path().string());
  }
  return tree;
}

// The first word of each listed line (the names hold one blank, after "蔟").
std::set<std::string> ListedNames(const std::string& out) {
  std::set<std::string> names;
  std::istringstream lines(out);
  std::string line;
  std::getline(lines, line);  // the header
  while (std::getline(lines, line)) {
    const auto end = line.find("  ");
    names.insert(line.substr(0, end));
  }
  return names;
}

struct Images {
  std::string media;  // the typed files
  // FAT32 quick-formatted over a tree; its first clusters; the tree as
  // saved from the lost view.
  std::string formatted;
  std::map<std::string, std::uint32_t> at;
  Tree tree;
  // FAT16 with a lost folder and lost typed files: its root area is zeroed.
  std::string typed;
  // A partitioned disk whose table is zeroed: FAT12 at 2048, FAT16 at 8192
  // without its boot sector, FAT12 at 100352 beyond the default range.
  std::string disk;
  Tree bravo;
};
Images* g = nullptr;

const std::map<std::string, std::string>& TreeFiles() {
  static const std::map<std::string, std::string> files = {{"DOCS/Annual report.txt", test::Pattern(1, 70000)},
                                                           {"DOCS/SUB/deep file.bin", test::Pattern(2, 5000)},
                                                           {"PICS/P1.BIN", test::Pattern(3, 3000)}};
  return files;
}

void MakeFormatted(const std::string& dir, std::map<std::string, std::uint32_t>& at) {
  const std::string src = dir + "/tree", image = dir + "/formatted.img";
  for (const auto& [path, bytes] : TreeFiles()) {
    fs::create_directories(fs::path(src + "/" + path).parent_path());
    test::WriteFile(src + "/" + path, bytes);
  }
  const std::string img = " -i " + ShellQuote(image) + " ";
  const std::string mkfs = "mkfs.fat -F 32 -s 1 --invariant -i 600dcafe -n TREE ";
  ImageTool(mkfs + "-C " + ShellQuote(image) + " 40960");
  ImageTool("mcopy" + img + dir + "/media/C.PNG ::/ROOT.PNG");
  ImageTool("mcopy -s" + img + ShellQuote(src + "/DOCS") + " " + ShellQuote(src + "/PICS") + " ::/");
  const auto clusters = test::FirstClusters(image, {"::/ROOT.PNG", "::/DOCS", "::/PICS"});
  at["ROOT.PNG"] = clusters[0];
  at["DOCS"] = clusters[1];
  at["PICS"] = clusters[2];
  ImageTool(mkfs + ShellQuote(image) + " 40960");
}

void MakeTyped(const std::string& dir, std::map<std::string, std::uint32_t>& at) {
  const std::string image = dir + "/typed.img", media = dir + "/media";
  const std::string img = " -i " + ShellQuote(image) + " ";
  ImageTool("mkfs.fat -C -F 16 -s 4 --invariant -i 7e57da7a -n TYPES " + ShellQuote(image) + " 16384");
  ImageTool("mcopy" + img + media + "/A.ZIP " + media + "/D.MP3 " + media + "/J1.JPG ::/");
  ImageTool("mmd" + img + "::/FOLD");
  ImageTool("mcopy" + img + media + "/C.PNG ::/FOLD/");
  const auto clusters = test::FirstClusters(image, {"::/FOLD", "::/A.ZIP", "::/D.MP3", "::/J1.JPG"});
  at["typed/FOLD"] = clusters[0];
  at["typed/A.ZIP"] = clusters[1];
  at["typed/D.MP3"] = clusters[2];
  at["typed/J1.JPG"] = clusters[3];
  // The root area lies behind the reserved sectors and the two FATs.
  const std::string boot = test::ReadFile(image).substr(0, 512);
  auto le16 = [&](int offset) {
    return static_cast<unsigned char>(boot[offset]) | static_cast<unsigned char>(boot[offset + 1]) << 8;
  };
  const unsigned root = le16(14) + static_cast<unsigned char>(boot[16]) * le16(22);
  ImageTool("dd if=/dev/zero of=" + ShellQuote(image) + " bs=512 seek=" + std::to_string(root) + " count=32 conv=notrunc");
}

Tree BravoFiles() {
  return {{"BIG.BIN", test::Pattern(7, 65536)}, {"ONE/", ""}, {"TWO/", ""}, {"ONE/IN.TXT", test::Pattern(8, 4000)}};
}

void MakeDisk(const std::string& dir) {
  const std::string disk = ShellQuote(dir + "/disk.img"), src = dir + "/disk-files";
  fs::create_directories(src);
  test::WriteFile(dir + "/table", "label: dos\nstart=2048, size=4096, type=1\nstart=8192, size=32768, type=6\n"
                                  "start=100352, size=4096, type=1\n");
  ImageTool("truncate -s 52M " + disk + " && sfdisk -q " + disk + " < " + ShellQuote(dir + "/table"));
  ImageTool("mkfs.fat -F 12 --invariant -i 0a1fa000 -n ALPHA --offset=2048 -h 2048 " + disk + " 2048");
  ImageTool("mkfs.fat -F 16 -s 4 --invariant -i 0b2fb000 -n BRAVO --offset=8192 -h 8192 " + disk + " 16384");
  ImageTool("mkfs.fat -F 12 --invariant -i 0d4fd000 -n DELTA --offset=100352 -h 100352 " + disk + " 2048");
  const Tree files = BravoFiles();
  test::WriteFile(src + "/BIG.BIN", files.at("BIG.BIN"));
  test::WriteFile(src + "/IN.TXT", files.at("ONE/IN.TXT"));
  for (unsigned start : {2048u, 8192u, 100352u}) {
    const std::string img = " -i " + ShellQuote(dir + "/disk.img@@" + std::to_string(start * 512ull)) + " ";
    ImageTool("mcopy" + img + ShellQuote(src + "/BIG.BIN") + " ::/");
    ImageTool("mmd" + img + "::/ONE ::/TWO");
    ImageTool("mcopy" + img + ShellQuote(src + "/IN.TXT") + " ::/ONE/");
  }
  ImageTool("dd if=/dev/zero of=" + disk + " bs=512 count=1 conv=notrunc");
  ImageTool("dd if=/dev/zero of=" + disk + " bs=512 seek=8192 count=1 conv=notrunc");
}

void MakeImages(const std::string& dir) {
  fs::create_directories(dir + "/media");
  test::MakeTypedFiles(dir + "/media");
  std::map<std::string, std::uint32_t> at;
  MakeFormatted(dir, at);
  MakeTyped(dir, at);
  MakeDisk(dir);
  test::SaveClusters(dir + "/clusters", at);
}

void LoadImages(Images& m, const std::string& dir) {
  m.media = dir + "/media";
  m.formatted = dir + "/formatted.img";
  m.typed = dir + "/typed.img";
  m.disk = dir + "/disk.img";
  m.at = test::LoadClusters(dir + "/clusters");
  for (const auto& [path, bytes] : TreeFiles()) {
    const auto slash = path.find('/');
    const std::string top = Folder(m.at[path.substr(0, slash)]);
    m.tree[top + "/"] = "";
    m.tree[top + path.substr(slash)] = bytes;
  }
  m.tree[Folder(m.at["DOCS"]) + "/SUB/"] = "";
  m.bravo = BravoFiles();
}

class CliLost : public ::testing::Test {
 protected:
  void SetUp() override { VANTREL_SKIP_WITHOUT_HOST_TOOLS(); }
  static void SetUpTestSuite() {
    VANTREL_SKIP_WITHOUT_HOST_TOOLS();
    // The user's settings (lost files off, another code page) must not count.
    config_ = new test::TempDir;
    test::SetSettingsFolder(config_->Path().string());
    g = new Images;
    LoadImages(*g, test::MadeOnce("cli-lost", MakeImages));
  }
  static void TearDownTestSuite() {
    delete g;
    g = nullptr;
    delete config_;
    config_ = nullptr;
  }

  static test::CliResult Cli(const std::string& image, std::vector<std::string> args) {
    args.insert(args.begin(), {"--image", image, "--only-images"});
    return RunCli(args);
  }

  static void ExpectOneLineFailure(const test::CliResult& r, int code, const std::string& what) {
    EXPECT_EQ(r.exitCode, code) << what << ": " << r.err;
    EXPECT_EQ(r.out, "") << what;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << what << ": " << r.err;
    EXPECT_EQ(r.err.rfind("vantrel-cli: ", 0), 0u) << what << ": " << r.err;
  }

  inline static test::TempDir* config_ = nullptr;
};

TEST_F(CliLost, FindLostThenSaveGivesTheQuickFormattedTreeBack) {
  test::TempDir out;
  const std::string before = test::ReadFile(g->formatted);
  const auto r = Cli(g->formatted, {"find-lost", "1", "then", "save", "1", "/", "--view", "lost", "--to",
                                    out.Path().string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(test::ReadFile(g->formatted) == before) << "the image was written to";
  const std::string png = "蔟 " + std::to_string(g->at["ROOT.PNG"]) + ".PNG";
  EXPECT_EQ(ListedNames(r.out), (std::set<std::string>{Folder(g->at["DOCS"]), Folder(g->at["PICS"]), png}));
  Tree saved = ReadTree(out.Path());
  const std::string savedPng = saved[png];
  saved.erase(png);
  EXPECT_EQ(saved.size(), g->tree.size());
  for (const auto& [path, bytes] : g->tree) EXPECT_TRUE(saved.count(path) && saved[path] == bytes) << path;
  const std::string original = test::ReadFile(g->media + "/C.PNG");
  EXPECT_EQ(savedPng.substr(0, original.size()), original);

  // The same through ls in the same process.
  const auto ls = Cli(g->formatted, {"find-lost", "1", "then", "ls", "1", Folder(g->at["DOCS"]), "--view", "lost"});
  ASSERT_EQ(ls.exitCode, 0) << ls.err;
  EXPECT_NE(ls.out.find("Annual report.txt"), std::string::npos) << ls.out;
}

TEST_F(CliLost, NoFilesFindsOnlyFolders) {
  const auto all = Cli(g->typed, {"find-lost", "1"});
  ASSERT_EQ(all.exitCode, 0) << all.err;
  // The PNG in FOLD is no lost file: the folder explains it.
  EXPECT_EQ(ListedNames(all.out), (std::set<std::string>{Folder(g->at["typed/FOLD"]), Folder(g->at["typed/A.ZIP"]) + ".ZIP",
                                                         Folder(g->at["typed/D.MP3"]) + ".MP3", Folder(g->at["typed/J1.JPG"]) + ".JPG"}));

  const auto folders = Cli(g->typed, {"find-lost", "1", "--no-files"});
  ASSERT_EQ(folders.exitCode, 0) << folders.err;
  EXPECT_EQ(ListedNames(folders.out), std::set<std::string>{Folder(g->at["typed/FOLD"])});
}

TEST_F(CliLost, RangesThatDoNotFitEndWithOneLine) {
  for (const std::string range : {"0-10", "1-5", "2-999999999", "9-5"})
    ExpectOneLineFailure(Cli(g->formatted, {"find-lost", "1", "--range", range}), 1, "find-lost " + range);
  for (const std::string range : {"0-106496", "0-4294967296", "10-5"})
    ExpectOneLineFailure(Cli(g->disk, {"find-drives", "1", "--range", range}), 1, "find-drives " + range);
  // Text that is no range at all is a usage error.
  for (const std::string range : {"abc", "5", "3-"}) {
    ExpectOneLineFailure(Cli(g->formatted, {"find-lost", "1", "--range", range}), 2, "find-lost " + range);
    ExpectOneLineFailure(Cli(g->disk, {"find-drives", "1", "--range", range}), 2, "find-drives " + range);
  }
  // A range that fits is taken as it is.
  const auto one = Cli(g->formatted, {"find-lost", "1", "--range", std::to_string(g->at["PICS"]) + "-" +
                                                                       std::to_string(g->at["PICS"])});
  ASSERT_EQ(one.exitCode, 0) << one.err;
  EXPECT_EQ(ListedNames(one.out), std::set<std::string>{Folder(g->at["PICS"])});
}

TEST_F(CliLost, FindDrivesThenBrowseAndSaveByNumber) {
  // The default range is the first 100000 sectors: DELTA lies beyond.
  const auto first = Cli(g->disk, {"find-drives", "1"});
  ASSERT_EQ(first.exitCode, 0) << first.err;
  EXPECT_NE(first.out.find("ALPHA"), std::string::npos) << first.out;
  EXPECT_NE(first.out.find("驱动器 (不包含启动扇区)"), std::string::npos) << first.out;
  EXPECT_EQ(first.out.find("DELTA"), std::string::npos) << first.out;
  EXPECT_NE(first.err.find("found 2 drive(s)"), std::string::npos) << first.err;

  test::TempDir out;
  const auto r = Cli(g->disk, {"find-drives", "1", "--range", "all", "then", "ls", "2", "--recursive", "then",
                               "save", "2", "/", "--to", out.Path().string(), "then", "ls", "3"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("DELTA"), std::string::npos) << r.out;
  for (const char* listed : {"ONE/IN.TXT", "TWO/", "BIG.BIN"}) EXPECT_NE(r.out.find(listed), std::string::npos) << listed;
  EXPECT_EQ(ReadTree(out.Path()), g->bravo);

  // A second search in the same process adds nothing.
  const auto twice = Cli(g->disk, {"find-drives", "1", "--range", "all", "then", "find-drives", "1", "--range", "all"});
  ASSERT_EQ(twice.exitCode, 0) << twice.err;
  EXPECT_NE(twice.err.find("found 3 drive(s)\nfound 0 drive(s)"), std::string::npos) << twice.err;
}

}  // namespace
}  // namespace vantrel
