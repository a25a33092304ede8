// vantrel-cli on FAT images made by mkfs.fat and mtools and then damaged the
// way real disks are: lost files come back byte-exact with the defaults and
// with every FAT choice, and saving everything from a wrecked volume writes
// no more than twice what the volume holds.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "cli/CliRunner.h"
#include "support/LostImages.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using test::ImageTool;
using test::ShellQuote;

// Four typed files (PNG, ZIP, JPEG, PDF) of several clusters each, written
// beside a live file on FAT16 and deleted; their entries were then written
// over, so only the lost-data search finds them. The live file keeps the
// FAT usable, and the FAT marks the lost files' clusters free.
const char* kMakeLost = R"PY(
import io, os, struct, subprocess, sys, zipfile, zlib
out = sys.argv[1]
def put(name, data):
    with open(os.path.join(out, name), "wb") as f: f.write(data)
def chunk(k, b): return struct.pack(">I", len(b)) + k + b + struct.pack(">I", zlib.crc32(k + b) & 0xffffffff)
raw = b"".join(b"\0" + bytes(((x * 5 + y * 3) ^ (x * y)) & 255 for x in range(600)) for y in range(200))
put("A.PNG", b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 200, 200, 8, 2, 0, 0, 0)) +
    chunk(b"IDAT", zlib.compress(raw, 1)) + chunk(b"IEND", b""))
z = io.BytesIO()
with zipfile.ZipFile(z, "w", zipfile.ZIP_STORED) as zf:
    zf.writestr(zipfile.ZipInfo("x.bin", (2023, 11, 14, 22, 13, 20)), bytes((i * 7) & 255 for i in range(30000)))
put("B.ZIP", z.getvalue())
subprocess.run(["convert", "-seed", "7", "-size", "240x180", "plasma:fractal", "-quality", "95",
                os.path.join(out, "C.JPG")], check=True)
pdf, offsets = b"%PDF-1.4\n", []
for i in range(1, 801):
    offsets.append(len(pdf))
    pdf += b"%d 0 obj\n<< /L %d >>\nendobj\n" % (i, i)
xref = len(pdf)
pdf += b"xref\n0 801\n0000000000 65535 f \n" + b"".join(b"%010d 00000 n \n" % o for o in offsets)
put("D.PDF", pdf + b"trailer\n<< /Size 801 >>\nstartxref\n%d\n%%%%EOF\n" % xref)
put("LIVE.TXT", b"live file\n" * 300)
)PY";

// The wrecked volume: a looping chain under an absurd size, a folder that
// holds itself, and a directory cluster written over with random bytes.
const char* kWreck = R"PY(
import os, random, struct, subprocess, sys
img = sys.argv[1]
env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
def first(path):
    out = subprocess.run(["mshowfat", "-i", img, path], capture_output=True, text=True, env=env).stdout
    return int(out[out.rindex("<") + 1:].split(">")[0].split("-")[0])
a, b, sub, f3 = first("::/A"), first("::/B"), first("::/A/SUB"), first("::/B/F3.BIN")
d = bytearray(open(img, "rb").read())
bps, spc, res, nf, re = struct.unpack_from("<HBHBH", d, 11)
fsz = struct.unpack_from("<H", d, 22)[0]
data = (res + nf * fsz) * bps + re * 32
cb = bps * spc
def at(c): return data + (c - 2) * cb
for k in range(nf): struct.pack_into("<H", d, res * bps + k * fsz * bps + 2 * (f3 + 1), f3)
e = at(b)
while d[e:e + 8] != b"F3      ": e += 32
struct.pack_into("<I", d, e + 28, 0xF0000000)
e = at(sub) + 3 * 32
d[e:e + 32] = b"SELF       \x10" + b"\0" * 14 + struct.pack("<H", sub) + b"\0" * 4
random.seed(7)
d[at(a):at(a) + cb] = bytes(random.randrange(256) for _ in range(cb))
open(img, "wb").write(d)
)PY";

// A baseline JPEG saved with a restart interval: its scan runs through the
// restart markers FF D0 to FF D7 twice over before the end of image; random
// bytes follow it in its last cluster and beyond.
const char* kRestartJpeg = R"PY(
import random, struct, sys
random.seed(11)
def seg(m, body): return b"\xff" + bytes([m]) + struct.pack(">H", len(body) + 2) + body
jpg = b"\xff\xd8" + seg(0xE0, b"JFIF\0\1\1\0\0\1\0\1\0\0") + seg(0xDB, b"\0" + bytes(range(1, 65)))
jpg += seg(0xC0, b"\x08\x01\x00\x01\x00\x01\x01\x11\x00") + seg(0xC4, b"\x00" + b"\x01" + b"\0" * 15 + b"\x00")
jpg += seg(0xDD, b"\x00\x10") + seg(0xDA, b"\x01\x01\x00\x00\x3f\x00")
for i in range(16):
    for _ in range(700):
        b = random.randrange(1, 256)
        jpg += b"\xff\x00" if b == 0xFF else bytes([b])
    if i < 15: jpg += b"\xff" + bytes([0xD0 + i % 8])
jpg += b"\xff\xd9"
open(sys.argv[1], "wb").write(jpg)
open(sys.argv[2], "wb").write(bytes(random.randrange(1, 256) for _ in range(9000)))
)PY";

void MakeImages(const std::string& dir) {
  const std::string media = dir + "/media";
  fs::create_directories(media);
  test::WriteFile(dir + "/lost.py", kMakeLost);
  ImageTool(test::Python() + " " + ShellQuote(dir + "/lost.py") + " " + ShellQuote(media));
  const std::string lost = ShellQuote(dir + "/lost.img");
  ImageTool("mkfs.fat -C -F 16 -s 4 --invariant -i 10571055 -n LOST " + lost + " 16384");
  ImageTool("mcopy -i " + lost + " " + media + "/LIVE.TXT " + media + "/A.PNG " + media + "/B.ZIP " + media +
            "/C.JPG " + media + "/D.PDF ::/");
  ImageTool("mdel -i " + lost + " ::/A.PNG ::/B.ZIP ::/C.JPG ::/D.PDF");
  // The deleted entries keep only their mark.
  test::WriteFile(dir + "/wipe.py", R"PY(
import struct, sys
d = bytearray(open(sys.argv[1], "rb").read())
bps, spc, res, nf, re = struct.unpack_from("<HBHBH", d, 11)
root = (res + nf * struct.unpack_from("<H", d, 22)[0]) * bps
for e in range(root, root + re * 32, 32):
    if d[e] == 0xE5: d[e + 1:e + 32] = bytes(31)
open(sys.argv[1], "wb").write(d)
)PY");
  ImageTool(test::Python() + " " + ShellQuote(dir + "/wipe.py") + " " + lost);

  const std::string wreck = ShellQuote(dir + "/wreck.img");
  ImageTool("mkfs.fat -C -F 16 -s 4 --invariant -i 3ec83ec8 -n WRECK " + wreck + " 32768");
  ImageTool("mmd -i " + wreck + " ::/A ::/B ::/A/SUB");
  for (int i = 0; i < 6; ++i) {
    const std::string file = media + "/F" + std::to_string(i) + ".BIN";
    test::WriteFile(file, test::Pattern(40 + i, 20000 + i * 3000));
    ImageTool("mcopy -i " + wreck + " " + file + (i < 3 ? " ::/A/" : " ::/B/"));
  }
  ImageTool("mcopy -i " + wreck + " " + media + "/F0.BIN ::/A/SUB/");
  test::WriteFile(dir + "/wreck.py", kWreck);
  ImageTool(test::Python() + " " + ShellQuote(dir + "/wreck.py") + " " + wreck);

  // /Trip/Day one/ with five photos, deleted; then one small file takes the
  // deleted root entry and the cluster of /Trip.
  const std::string orphan = ShellQuote(dir + "/orphan.img");
  ImageTool("mkfs.fat -C -F 16 -s 4 --invariant -i 0a1b2c3d -n ORPHAN " + orphan + " 16384");
  test::WriteFile(media + "/keep.txt", "keep\n");
  ImageTool("mcopy -i " + orphan + " " + media + "/keep.txt ::/KEEP.TXT");
  ImageTool("mmd -i " + orphan + " ::/Trip '::/Trip/Day one'");
  for (int i = 1; i <= 5; ++i) {
    const std::string photo = media + "/Photo " + std::to_string(i) + ".jpg";
    ImageTool("convert -seed " + std::to_string(60 + i) + " -size 160x" + std::to_string(100 + 10 * i) +
              " plasma:fractal -quality 92 " + ShellQuote(photo));
    ImageTool("mcopy -i " + orphan + " " + ShellQuote(photo) + " '::/Trip/Day one/'");
  }
  ImageTool("mdeltree -i " + orphan + " ::/Trip");
  ImageTool("mcopy -i " + orphan + " " + media + "/keep.txt ::/SMALL.TXT");

  // A quick format over a volume that held a line of text between two files.
  const std::string quick = ShellQuote(dir + "/quick.img");
  ImageTool("mkfs.fat -C -F 16 -s 4 --invariant -i 0b1b2b3b -n QUICK " + quick + " 16384");
  test::WriteFile(media + "/hello.txt", "hello world\n");
  ImageTool("mcopy -i " + quick + " " + media + "/F4.BIN ::/ONE.BIN");
  ImageTool("mcopy -i " + quick + " " + media + "/hello.txt ::/HELLO.TXT");
  ImageTool("mcopy -i " + quick + " " + media + "/F5.BIN ::/TWO.BIN");
  ImageTool("mkfs.fat -F 16 -s 4 --invariant -i 0b1b2b3b -n QUICK " + quick);

  // Alpha's folder runs over clusters 2 and 15 (one cluster holds 16
  // entries), Bravo's first cluster is 3; then a quick format.
  const std::string merge = ShellQuote(dir + "/merge.img");
  ImageTool("mkfs.fat -C -F 16 -s 1 --invariant -i 0c1c2c3c -n MERGE " + merge + " 16384");
  ImageTool("mmd -i " + merge + " ::/Alpha ::/Bravo");
  fs::create_directories(media + "/alpha");
  test::WriteFile(media + "/Bravo file.txt", "bravo\n");
  ImageTool("mcopy -i " + merge + " " + ShellQuote(media + "/Bravo file.txt") + " ::/Bravo/");
  for (int i = 1; i <= 10; ++i) test::WriteFile(media + "/alpha/Alpha file " + std::to_string(i) + ".txt", "alpha\n");
  ImageTool("mcopy -i " + merge + " " + ShellQuote(media + "/alpha") + "/* ::/Alpha/");
  ImageTool("mkfs.fat -F 16 -s 1 --invariant -i 0c1c2c3c -n MERGE " + merge);

  // A disk with two FAT partitions whose table lost its 0x55AA.
  const std::string disk = ShellQuote(dir + "/unmarked.img");
  test::WriteFile(dir + "/table", "label: dos\nstart=2048, size=16384, type=6\nstart=20480, size=16384, type=6\n");
  ImageTool("truncate -s 40M " + disk + " && sfdisk -q " + disk + " < " + ShellQuote(dir + "/table"));
  ImageTool("mkfs.fat -F 16 -s 1 --invariant -i 0d1d2d3d -n ONE --offset=2048 -h 2048 " + disk + " 8192");
  ImageTool("mkfs.fat -F 16 -s 1 --invariant -i 0e1e2e3e -n TWO --offset=20480 -h 20480 " + disk + " 8192");
  ImageTool("printf '\\0\\0' | dd of=" + disk + " bs=1 seek=510 conv=notrunc");

  // The JPEG with restart markers, quick-formatted away.
  test::WriteFile(dir + "/jpeg.py", kRestartJpeg);
  ImageTool(test::Python() + " " + ShellQuote(dir + "/jpeg.py") + " " + ShellQuote(media + "/RESTART.JPG") + " " +
            ShellQuote(media + "/NOISE.BIN"));
  const std::string restart = ShellQuote(dir + "/restart.img");
  ImageTool("mkfs.fat -C -F 16 -s 4 --invariant -i 0f1f2f3f -n RESTART " + restart + " 16384");
  ImageTool("mcopy -i " + restart + " " + media + "/RESTART.JPG " + media + "/NOISE.BIN ::/");
  ImageTool("mkfs.fat -F 16 -s 4 --invariant -i 0f1f2f3f -n RESTART " + restart);

  // A file whose last cluster is the volume's last, deleted; its entry then
  // claims 5000 bytes more than the volume holds from its first cluster on.
  const std::string edge = dir + "/edge.img";
  ImageTool("mkfs.fat -C -F 12 -s 1 --invariant -i 1a2b3c4d -n EDGE " + ShellQuote(edge) + " 1024");
  test::WriteFile(dir + "/edge.py", R"PY(
import os, struct, subprocess, sys
img, media = sys.argv[1], sys.argv[2]
d = open(img, "rb").read(512)
bps, spc, res, nf, re = struct.unpack_from("<HBHBH", d, 11)
total, fsz = struct.unpack_from("<H", d, 19)[0], struct.unpack_from("<H", d, 22)[0]
clusters = (total - res - nf * fsz - re * 32 // bps) // spc
env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
open(os.path.join(media, "FILL.BIN"), "wb").write(b"f" * ((clusters - 20) * bps))
open(os.path.join(media, "EDGE.BIN"), "wb").write(bytes((i * 31 + i // 512) & 255 for i in range(20 * bps)))
for name in ("FILL.BIN", "EDGE.BIN"):
    subprocess.run(["mcopy", "-i", img, os.path.join(media, name), "::/"], check=True, env=env)
subprocess.run(["mdel", "-i", img, "::/EDGE.BIN"], check=True, env=env)
b = bytearray(open(img, "rb").read())
root = (res + nf * fsz) * bps
for e in range(root, root + re * 32, 32):
    if b[e] == 0xE5 and b[e + 1:e + 8] == b"DGE    ": struct.pack_into("<I", b, e + 28, 20 * bps + 5000)
open(img, "wb").write(b)
)PY");
  ImageTool(test::Python() + " " + ShellQuote(dir + "/edge.py") + " " + ShellQuote(edge) + " " + ShellQuote(media));
}

class CliRightBytes : public ::testing::Test {
 protected:
  void SetUp() override { VANTREL_SKIP_WITHOUT_HOST_TOOLS(); }
  static void SetUpTestSuite() {
    VANTREL_SKIP_WITHOUT_HOST_TOOLS();
    config_ = new test::TempDir;
    test::SetSettingsFolder(config_->Path().string());
    dir_ = new std::string(test::MadeOnce("cli-right-bytes", MakeImages));
  }
  static void TearDownTestSuite() {
    delete dir_;
    delete config_;
  }
  static test::CliResult Cli(const std::string& image, std::vector<std::string> args) {
    args.insert(args.begin(), {"--image", *dir_ + "/" + image, "--only-images"});
    return test::RunCli(args);
  }
  inline static test::TempDir* config_ = nullptr;
  inline static std::string* dir_ = nullptr;
};

// The lost files' bytes as saved under out: one file of each type, its
// original bytes at its start (the size a type's end gives may round up).
int ByteExact(const fs::path& out, const std::string& media) {
  int exact = 0;
  for (const char* name : {"A.PNG", "B.ZIP", "C.JPG", "D.PDF"}) {
    const std::string original = test::ReadFile(media + "/" + name);
    const std::string extension = std::string(name).substr(1);
    for (const auto& entry : fs::directory_iterator(out)) {
      const std::string saved = entry.path().filename().string();
      if (saved.size() > extension.size() && saved.compare(saved.size() - extension.size(), extension.size(), extension) == 0 &&
          test::ReadFile(entry.path().string()).substr(0, original.size()) == original)
        ++exact;
    }
  }
  return exact;
}

TEST_F(CliRightBytes, LostFilesComeBackByteExactWithTheDefaultsAndEveryChoice) {
  for (const std::vector<std::string>& choice :
       {std::vector<std::string>{}, {"--fat", "free"}, {"--fat", "1"}, {"--fat", "2"}, {"--no-fat"}}) {
    const std::string what = choice.empty() ? "defaults" : choice[0] + (choice.size() > 1 ? " " + choice[1] : "");
    test::TempDir out;
    std::vector<std::string> args{"find-lost", "1", "then", "save", "1", "/", "--view", "lost", "--to", out / "x"};
    args.insert(args.end(), choice.begin(), choice.end());
    const auto r = Cli("lost.img", args);
    EXPECT_EQ(r.exitCode, 0) << what << ": " << r.err;
    EXPECT_EQ(ByteExact(out / "x", *dir_ + "/media"), 4) << what;
  }
  // cat reads the way save does, in every view.
  const std::string png = test::ReadFile(*dir_ + "/media/A.PNG");
  const auto listed = Cli("lost.img", {"find-lost", "1", "then", "cat", "1", "蔟 4.PNG", "--view", "lost"});
  // (after the search's own listing)
  ASSERT_GE(listed.out.size(), png.size()) << listed.err;
  EXPECT_TRUE(listed.out.substr(listed.out.size() - png.size()) == png) << listed.err;
}

TEST_F(CliRightBytes, SavingAWreckedVolumeWritesAtMostTwiceItsSize) {
  test::TempDir out;
  const auto r = Cli("wreck.img", {"save", "1", "/", "--to", out / "x"});
  std::uintmax_t written = 0;
  for (const auto& entry : fs::recursive_directory_iterator(out.Path()))
    if (entry.is_regular_file()) written += entry.file_size();
  EXPECT_LE(written, 2 * fs::file_size(*dir_ + "/wreck.img")) << r.err;
  // The intact files come back, the looping one as far as its loop, and the
  // report says the save was cut short.
  EXPECT_TRUE(test::ReadFile(out / "x/B/F4.BIN") == test::Pattern(44, 32000));
  EXPECT_TRUE(test::ReadFile(out / "x/B/F5.BIN") == test::Pattern(45, 35000));
  EXPECT_EQ(fs::file_size(out / "x/B/F3.BIN"), 2u * 2048);
  EXPECT_NE(r.exitCode, 0);
  EXPECT_NE(r.err.find("cut to what the volume holds"), std::string::npos) << r.err;
  // The garbage entries of the overwritten folder are shown as damaged.
  const auto listed = Cli("wreck.img", {"--json", "ls", "1", "A"});
  EXPECT_NE(listed.out.find("差"), std::string::npos) << listed.out.substr(0, 400);
}

TEST_F(CliRightBytes, AnOrphanedDeletedFolderIsFoundAndItsPhotosSavedByteExact) {
  test::TempDir out;
  const auto r = Cli("orphan.img", {"find-lost", "1", "then", "save", "1", "/", "--view", "lost", "--to", out / "x"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  int exact = 0;
  for (int i = 1; i <= 5; ++i) {
    const std::string name = "Photo " + std::to_string(i) + ".jpg";
    for (const auto& entry : fs::recursive_directory_iterator(out / "x"))
      if (entry.path().filename() == name && test::ReadFile(entry.path().string()) == test::ReadFile(*dir_ + "/media/" + name))
        ++exact;
  }
  EXPECT_EQ(exact, 5) << r.out;
  // The photos stand in the folder, not again as lost files of their own.
  EXPECT_EQ(r.out.find(".JPG"), std::string::npos) << r.out;
}

TEST_F(CliRightBytes, ALineOfTextIsNoLostRootDirectory) {
  const auto r = Cli("quick.img", {"find-lost", "1"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out.find("根目录"), std::string::npos) << r.out;
}

TEST_F(CliRightBytes, ALostFolderEndsWhereAnotherFolderBegins) {
  const auto r = Cli("merge.img", {"find-lost", "1", "then", "ls", "1", "--view", "lost", "--recursive"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("蔟 3/Bravo file.txt"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("蔟 2/Alpha file 1.txt"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("蔟 2/Bravo"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find(".txt/"), std::string::npos) << r.out;
}

TEST_F(CliRightBytes, APartitionTableWithoutItsSignatureIsReadAndSaidSo) {
  const auto r = Cli("unmarked.img", {"drives"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("ONE"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("TWO"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("缺少 0x55AA"), std::string::npos) << r.out;
}

TEST_F(CliRightBytes, AJpegWithRestartMarkersIsFoundWhole) {
  test::TempDir out;
  const auto r = Cli("restart.img", {"find-lost", "1", "then", "save", "1", "/", "--view", "lost", "--to", out / "x"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const std::string jpeg = test::ReadFile(*dir_ + "/media/RESTART.JPG");
  int whole = 0;
  for (const auto& entry : fs::directory_iterator(out / "x"))
    whole += entry.path().extension() == ".JPG" && test::ReadFile(entry.path().string()) == jpeg;
  EXPECT_EQ(whole, 1) << r.out;
}

TEST_F(CliRightBytes, ASizePastTheVolumesEndIsSavedToTheLastCluster) {
  const std::string edge = test::ReadFile(*dir_ + "/media/EDGE.BIN");
  for (const std::vector<std::string>& choice : {std::vector<std::string>{}, {"--no-fat"}, {"--fat", "free"}}) {
    test::TempDir out;
    std::vector<std::string> args{"save", "1", "/", "--view", "deleted", "--to", out / "x"};
    args.insert(args.end(), choice.begin(), choice.end());
    const auto r = Cli("edge.img", args);
    EXPECT_NE(r.err.find("cut to what the volume holds"), std::string::npos) << r.err;
    EXPECT_TRUE(test::ReadFile(out / "x/_DGE.BIN") == edge)
        << (choice.empty() ? "defaults" : choice[0]) << ": " << fs::file_size(out / "x/_DGE.BIN") << " bytes";
  }
}

}  // namespace
}  // namespace vantrel
