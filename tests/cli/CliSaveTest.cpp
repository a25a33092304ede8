// vantrel-cli save, cat and hex on a FAT16 volume made by mkfs.fat and
// mtools: whole views, FAT choices, the overwrite flag, target errors, and
// the free-space check on small file systems mounted for the test alone.

#include <gtest/gtest.h>
#ifdef _WIN32
#include "support/WaitStatus.h"
#else
#include <sys/wait.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <stdexcept>

#include "cli/CliRunner.h"
#include "support/TempDir.h"

namespace vantrel::test {
namespace {

namespace fs = std::filesystem;
using Tree = std::map<std::string, std::string>;  // relative path → digest, "DIR/" → ""

using test::Pattern;

std::string Digest(const std::string& bytes) {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
  char text[64];
  std::snprintf(text, sizeof text, "%zu bytes #%016llx", bytes.size(), static_cast<unsigned long long>(h));
  return text;
}

Tree ReadTree(const fs::path& root) {
  Tree tree;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const std::string rel = fs::relative(it->path(), root).string();
    if (rel == "report.xml") continue;  // the save's record, not a saved file
    if (it->is_directory()) tree[rel + "/"] = "";
    else tree[rel] = Digest(ReadFile(it->path().string()));
  }
  return tree;
}

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

void Tool(const std::string& command) {
  if (!Run("MTOOLS_SKIP_CHECK=1 SOURCE_DATE_EPOCH=1700000000 TZ=UTC " + command + " >/dev/null"))
    throw std::runtime_error("failed: " + command);
}

unsigned Le(const std::string& b, std::size_t at, int width) {
  unsigned v = 0;
  for (int i = width - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b[at + i]);
  return v;
}

struct Images {
  TempDir dir;
  std::string image;  // the volume
  std::string fats;   // the same with FRAG.BIN's first FAT entry pointing elsewhere
  std::map<std::string, std::string> bytes;  // path on the volume → content
  Tree live, deleted;
  std::string fragNoFAT;  // FRAG.BIN read as consecutive clusters
};
Images* g_images = nullptr;

void MakeImages(Images& m) {
  const fs::path src = m.dir.Path() / "src";
  std::uint32_t seed = 0;
  auto put = [&](const std::string& rel, const std::string& content) {
    fs::create_directories((src / rel).parent_path());
    WriteFile((src / rel).string(), content);
    m.bytes[rel] = content;
    return Quote((src / rel).string());
  };
  auto file = [&](const std::string& rel, std::size_t size) { return put(rel, Pattern(++seed, size)); };
  m.image = m.dir / "cli.img";
  const std::string img = " -i " + m.image + " ";
  Tool("mkfs.fat -C -F 16 -s 2 --invariant -i c11c11aa " + m.image + " 8192");
  Tool("mcopy" + img + file("A.BIN", 1500) + " " + file("B.BIN", 1000) + " " + file("C.BIN", 3000) + " ::/");
  Tool("mdel" + img + "::/B.BIN");
  m.bytes.erase("B.BIN");
  Tool("mcopy" + img + file("FRAG.BIN", 5000) + " " + put("HELLO.TXT", "Hello, world!\nThis is line two.\n") +
       " ::/");
  file("DOCS/Report 2023.txt", 50000);
  file("DOCS/EMPTY.DAT", 0);
  file("DOCS/SUB/BIG.BIN", 3 * 65536);
  Tool("mcopy -s" + img + Quote((src / "DOCS").string()) + " ::/");
  file("Deleted notes.txt", 3000);
  file("OLD/Old one.bin", 7000);
  file("OLD/INNER/Old two.bin", 1500);
  Tool("mcopy -s" + img + Quote((src / "Deleted notes.txt").string()) + " " + Quote((src / "OLD").string()) + " ::/");
  Tool("mdel" + img + "'::/Deleted notes.txt'");
  Tool("mdeltree" + img + "::/OLD");

  for (const auto& [path, content] : m.bytes) {
    const bool gone = path.rfind("OLD/", 0) == 0 || path == "Deleted notes.txt";
    (gone ? m.deleted : m.live)[path] = Digest(content);
  }
  // Deleted folders show their deleted first letter as "_".
  m.deleted["_LD/Old one.bin"] = m.deleted.at("OLD/Old one.bin");
  m.deleted["_LD/_NNER/Old two.bin"] = m.deleted.at("OLD/INNER/Old two.bin");
  m.deleted.erase("OLD/Old one.bin");
  m.deleted.erase("OLD/INNER/Old two.bin");
  for (const char* d : {"DOCS/", "DOCS/SUB/"}) m.live[d] = m.deleted[d] = "";
  for (const char* d : {"_LD/", "_LD/_NNER/"}) m.deleted[d] = "";

  // Where FRAG.BIN's clusters lie, from the boot sector and its entry.
  std::string image = ReadFile(m.image);
  const unsigned reserved = Le(image, 14, 2), fats = Le(image, 16, 1), rootEntries = Le(image, 17, 2);
  const unsigned fatSize = Le(image, 22, 2), perCluster = Le(image, 13, 1);
  const std::size_t dataStart = (reserved + fats * fatSize + rootEntries * 32 / 512) * 512ull;
  const std::size_t entry = image.find("FRAG    BIN");
  const unsigned first = Le(image, entry + 26, 2);
  const std::size_t clusterBytes = perCluster * 512ull;
  m.fragNoFAT = image.substr(dataStart + (first - 2) * clusterBytes, 5000);
  // FAT 1 only: FRAG.BIN's first cluster leads to cluster 2 (A.BIN's).
  m.fats = m.dir / "fats.img";
  image[reserved * 512 + first * 2] = 2;
  image[reserved * 512 + first * 2 + 1] = 0;
  WriteFile(m.fats, image);
}

class CliSaveTest : public ::testing::Test {
 protected:
  void SetUp() override { VANTREL_SKIP_WITHOUT_HOST_TOOLS(); }
  static void SetUpTestSuite() {
    VANTREL_SKIP_WITHOUT_HOST_TOOLS();
    g_images = new Images;
    MakeImages(*g_images);
  }
  static void TearDownTestSuite() {
    delete g_images;
    g_images = nullptr;
  }

  static CliResult Cli(std::vector<std::string> args, const std::string& image = g_images->image) {
    args.insert(args.begin(), {"--only-images", "--image", image});
    return RunCli(args);
  }

  // Runs vantrel-cli with a fresh tmpfs mounted on target for this run
  // alone (in a mount namespace of its own); what it saved is copied to
  // snapshot. False when this machine cannot make such a namespace.
  static bool CliOnTmpfs(const std::string& options, const std::string& target, const std::string& snapshot,
                         const std::vector<std::string>& args, CliResult& result) {
    if (!test::Run("unshare -rm sh -c " + Quote("mount -t tmpfs -o size=64k none " + Quote(target)) + " 2>/dev/null"))
      return false;
    TempDir io;
    std::string command = "mount -t tmpfs -o " + options + " none " + Quote(target) + " || exit 99; " +
                          Quote(VANTREL_CLI) + " --only-images --image " + Quote(g_images->image);
    for (const auto& a : args) command += " " + Quote(a);
    command += " >" + Quote(io / "out") + " 2>" + Quote(io / "err") + "; rc=$?; cp -r " + Quote(target) + "/. " +
               Quote(snapshot) + "; exit $rc";
    const int status = std::system(("unshare -rm sh -c " + Quote(command) + " </dev/null").c_str());
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = ReadFile(io / "out");
    result.err = ReadFile(io / "err");
    return result.exitCode != 99;
  }

  TempDir out;
};

TEST_F(CliSaveTest, SavesTheWholeLiveViewByteExact) {
  const CliResult r = Cli({"save", "1", "/", "--to", out.Path().string()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadTree(out.Path()), g_images->live);
  EXPECT_NE(r.err.find("saved 7 file(s)\n"), std::string::npos) << r.err;
}

TEST_F(CliSaveTest, SavesTheWholeDeletedViewThroughConsecutiveClusters) {
  const CliResult r = Cli({"save", "1", "/", "--view", "deleted", "--to", out.Path().string()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadTree(out.Path()), g_images->deleted);
  EXPECT_NE(r.err.find("saved 3 file(s)\n"), std::string::npos) << r.err;
}

TEST_F(CliSaveTest, SavesTheNamedFilesAndFolders) {
  const CliResult r = Cli({"save", "1", "/DOCS/SUB", "/HELLO.TXT", "--to", out.Path().string()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadTree(out.Path()), (Tree{{"SUB/", ""},
                                        {"SUB/BIG.BIN", g_images->live.at("DOCS/SUB/BIG.BIN")},
                                        {"HELLO.TXT", g_images->live.at("HELLO.TXT")}}));
  const CliResult missing = Cli({"save", "1", "/DOCS/NONE", "--to", out.Path().string()});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.err.find("no such file or folder: /DOCS/NONE"), std::string::npos) << missing.err;
}

TEST_F(CliSaveTest, TheFATChoiceDecidesWhichClustersAreRead) {
  const std::string& frag = g_images->bytes.at("FRAG.BIN");
  ASSERT_NE(g_images->fragNoFAT, frag);  // FRAG.BIN is in pieces
  auto cat = [&](const std::vector<std::string>& flags) {
    std::vector<std::string> args{"cat", "1", "/FRAG.BIN"};
    args.insert(args.end(), flags.begin(), flags.end());
    const CliResult r = Cli(args, g_images->fats);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return Digest(r.out);
  };
  EXPECT_EQ(cat({"--fat", "2"}), Digest(frag));
  EXPECT_EQ(cat({"--no-fat"}), Digest(g_images->fragNoFAT));
  EXPECT_NE(cat({"--fat", "1"}), Digest(frag));
  EXPECT_EQ(cat({}), cat({"--fat", "1"}));  // the live view follows the drive's FAT copy

  const CliResult saved = Cli({"save", "1", "/FRAG.BIN", "--fat", "2", "--to", out.Path().string()}, g_images->fats);
  EXPECT_EQ(saved.exitCode, 0) << saved.err;
  EXPECT_EQ(Digest(ReadFile(out / "FRAG.BIN")), Digest(frag));
  const CliResult noFat = Cli({"save", "1", "/FRAG.BIN", "--no-fat", "--overwrite", "all", "--to", out.Path().string()},
                              g_images->fats);
  EXPECT_EQ(noFat.exitCode, 0) << noFat.err;
  EXPECT_EQ(Digest(ReadFile(out / "FRAG.BIN")), Digest(g_images->fragNoFAT));

  // "free clusters only" is a choice of its own; a live file in use reads
  // otherwise through it.
  EXPECT_NE(cat({"--fat", "free"}), Digest(frag));

  for (const auto& bad :
       std::vector<std::vector<std::string>>{{"--fat", "3"}, {"--fat", "1", "--no-fat"}, {"--fat", "frei"}}) {
    std::vector<std::string> args{"save", "1", "/FRAG.BIN", "--to", out.Path().string()};
    args.insert(args.end(), bad.begin(), bad.end());
    EXPECT_EQ(Cli(args).exitCode, 2);
  }
}

TEST_F(CliSaveTest, ExistingFilesAreKeptUnlessOverwriteAll) {
  WriteFile(out / "HELLO.TXT", "old");
  const std::vector<std::string> args{"save", "1", "/HELLO.TXT", "/A.BIN", "--to", out.Path().string()};
  CliResult r = Cli(args);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadFile(out / "HELLO.TXT"), "old");
  EXPECT_EQ(ReadFile(out / "A.BIN"), g_images->bytes.at("A.BIN"));
  EXPECT_NE(r.err.find("此文件夹已包含一个名为 '" + out.Path().string() + "/HELLO.TXT'."), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("saved 1 file(s), kept 1 existing\n"), std::string::npos) << r.err;

  std::vector<std::string> all = args;
  all.insert(all.end(), {"--overwrite", "all"});
  r = Cli(all);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadFile(out / "HELLO.TXT"), g_images->bytes.at("HELLO.TXT"));
  EXPECT_NE(r.err.find("saved 2 file(s)\n"), std::string::npos) << r.err;

  // An existing folder is replaced as a whole with all; none ends the save there.
  fs::create_directories(out.Path() / "DOCS" / "SUB");
  WriteFile(out / "DOCS/SUB/BIG.BIN", "old");
  r = Cli({"save", "1", "/DOCS", "/C.BIN", "--to", out.Path().string()});
  EXPECT_EQ(ReadFile(out / "DOCS/SUB/BIG.BIN"), "old");
  EXPECT_FALSE(fs::exists(out.Path() / "C.BIN"));
  EXPECT_NE(r.err.find("(stopped)"), std::string::npos) << r.err;
  r = Cli({"save", "1", "/DOCS", "/C.BIN", "--to", out.Path().string(), "--overwrite", "all"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(Digest(ReadFile(out / "DOCS/SUB/BIG.BIN")), g_images->live.at("DOCS/SUB/BIG.BIN"));
  EXPECT_EQ(ReadFile(out / "C.BIN"), g_images->bytes.at("C.BIN"));
  EXPECT_EQ(Cli({"save", "1", "/C.BIN", "--to", out.Path().string(), "--overwrite", "some"}).exitCode, 2);
}

TEST_F(CliSaveTest, ATargetThatIsNoFolderOrNotWritableIsRefused) {
  WriteFile(out / "plain", "x");
  for (const std::string& target : {out / "plain", out / "plain/below"}) {
    const CliResult r = Cli({"save", "1", "/", "--to", target});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "vantrel-cli: target is not a folder: " + target + "\n");
  }
  // A missing folder is made, with its missing parents.
  const CliResult made = Cli({"save", "1", "/HELLO.TXT", "--to", out / "missing/a/b"});
  EXPECT_EQ(made.exitCode, 0) << made.err;
  EXPECT_EQ(ReadFile(out / "missing/a/b/HELLO.TXT"), g_images->bytes.at("HELLO.TXT"));
  EXPECT_EQ(Cli({"save", "1", "/"}).exitCode, 2);

  // A read-only file system stops even a privileged user.
  const std::string target = out / "ro";
  fs::create_directory(target);
  CliResult r;
  if (!CliOnTmpfs("ro,size=64k", target, out / "ro-copy", {"save", "1", "/", "--to", target}, r))
    GTEST_SKIP() << "no mount namespace on this machine";
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "vantrel-cli: cannot write into the target folder: " + target + "\n");
}

TEST_F(CliSaveTest, AFileLargerThanTheFreeSpaceStopsTheSave) {
  const std::string target = out / "small";
  fs::create_directory(target);
  fs::create_directory(out / "copy");
  CliResult r;
  // BIG.BIN (192 KiB) does not fit into 64 KiB; the save stops before C.BIN.
  if (!CliOnTmpfs("size=64k", target, out / "copy", {"save", "1", "/DOCS/SUB/BIG.BIN", "/C.BIN", "--to", target}, r))
    GTEST_SKIP() << "no mount namespace on this machine";
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("无法保存文件 BIG.BIN. 没有足够的空间在驱动器 " + target + "."), std::string::npos) << r.err;
  EXPECT_TRUE(fs::is_empty(out.Path() / "copy"));

  // 4 GiB + 64 KiB free: a 32-bit count would see 64 KiB and refuse.
  fs::create_directory(out / "copy2");
  ASSERT_TRUE(CliOnTmpfs("size=4194368k", target, out / "copy2",
                         {"save", "1", "/DOCS/SUB/BIG.BIN", "/C.BIN", "--to", target}, r));
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadTree(out.Path() / "copy2"),
            (Tree{{"BIG.BIN", g_images->live.at("DOCS/SUB/BIG.BIN")}, {"C.BIN", g_images->live.at("C.BIN")}}));
}

TEST_F(CliSaveTest, CatWritesTheFileAsItIs) {
  for (const char* path : {"HELLO.TXT", "FRAG.BIN", "DOCS/SUB/BIG.BIN", "DOCS/EMPTY.DAT"}) {
    SCOPED_TRACE(path);
    const CliResult r = Cli({"cat", "1", std::string("/") + path});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Digest(r.out), Digest(g_images->bytes.at(path)));
  }
  CliResult r = Cli({"cat", "1", "/Deleted notes.txt", "--view", "deleted"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(Digest(r.out), Digest(g_images->bytes.at("Deleted notes.txt")));
  r = Cli({"cat", "1", "/_LD/_NNER/Old two.bin", "--view", "deleted"});
  EXPECT_EQ(Digest(r.out), Digest(g_images->bytes.at("OLD/INNER/Old two.bin")));

  r = Cli({"cat", "1", "/DOCS"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "vantrel-cli: /DOCS is not a file\n");
  EXPECT_EQ(Cli({"cat", "1", "/Deleted notes.txt"}).exitCode, 1);  // not in the live view
}

TEST_F(CliSaveTest, HexWritesTheViewersLines) {
  const CliResult r = Cli({"hex", "1", "/HELLO.TXT"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out,
            "       0h  48 65 6C 6C 6F 2C 20 77 6F 72 6C 64 21 0A 54 68  Hello, world!.Th\n"
            "      10h  69 73 20 69 73 20 6C 69 6E 65 20 74 77 6F 2E 0A  is is line two..\n");
  // Offsets go on across the pieces a long file is read in.
  const CliResult big = Cli({"hex", "1", "/DOCS/SUB/BIG.BIN"});
  EXPECT_EQ(big.exitCode, 0) << big.err;
  EXPECT_EQ(std::count(big.out.begin(), big.out.end(), '\n'), 3 * 65536 / 16);
  const std::size_t line = big.out.find("   10000h  ");
  ASSERT_NE(line, std::string::npos);
  EXPECT_EQ(big.out.substr(line - 1, 12), "\n   10000h  ");
  char expected[4];
  std::snprintf(expected, sizeof expected, "%02X ", static_cast<unsigned char>(g_images->bytes.at("DOCS/SUB/BIG.BIN")[65536]));
  EXPECT_EQ(big.out.substr(line + 11, 3), expected);
  EXPECT_EQ(Cli({"hex", "1", "/DOCS/EMPTY.DAT"}).out, "");
}

}  // namespace
}  // namespace vantrel::test
