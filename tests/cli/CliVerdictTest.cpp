// Verdicts, the recovery report and kept dates through the real vantrel-cli,
// on a volume of real files (ImageMagick, zipfile, mtools) with one written
// in fragments, quick-formatted over.

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <sstream>

#include "cli/CliRunner.h"
#include "support/LostImages.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using test::RunCli;

struct Volume {
  std::string dir;
  std::map<std::string, std::uint32_t> at;  // first clusters
};

const Volume& Fragments() {
  static const Volume v = [] {
    Volume m;
    m.dir = test::MadeOnce("cli-fragments", [](const std::string& dir) {
      test::ImageTool(std::string(VANTREL_FIXTURE_SCRIPT_DIR) + "/make_fragmented_volume.sh " + test::ShellQuote(dir));
    });
    std::istringstream in(test::ReadFile(m.dir + "/clusters.txt"));
    std::string name;
    std::uint32_t cluster = 0;
    while (in >> name >> cluster) m.at[name] = cluster;
    return m;
  }();
  return v;
}

test::CliResult Cli(const std::string& image, std::vector<std::string> args) {
  args.insert(args.begin(), {"--image", Fragments().dir + "/" + image, "--only-images"});
  return RunCli(args);
}

// "sha256 size path" lines of the report's fileobjects, by Python's XML parser.
std::string ReportLines(const fs::path& report, const fs::path& out) {
  const std::string lines = (out / "lines.txt").string();
  const std::string script =
      "import sys, xml.etree.ElementTree as E\n"
      "n = {'d': 'http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML', 'v': 'urn:vantrel:recovery'}\n"
      "r = E.parse(sys.argv[1]).getroot()\n"
      "assert r.tag == '{%s}dfxml' % n['d'] and r.find('d:creator/d:program', n).text == 'vantrel'\n"
      "assert r.find('d:source/d:image_filename', n).text\n"
      "for f in r.iter('{%s}fileobject' % n['d']):\n"
      "    runs = f.findall('d:byte_runs/d:byte_run', n)\n"
      "    assert sum(int(b.get('len')) for b in runs) == int(f.find('d:filesize', n).text)\n"
      "    v = f.find('v:verdict', n)\n"
      "    print(f.find(\"d:hashdigest[@type='sha256']\", n).text, f.find('d:filesize', n).text, runs[0].get('img_offset'),\n"
      "          v.text if v is not None else '-', f.find('d:filename', n).text)\n";
  test::WriteFile((out / "read.py").string(), script);
  EXPECT_TRUE(test::Run("/usr/bin/python3 " + test::ShellQuote((out / "read.py").string()) + " " +
                        test::ShellQuote(report.string()) + " > " + test::ShellQuote(lines)));
  return test::ReadFile(lines);
}

std::string Sha256Of(const fs::path& file, const fs::path& out) {
  const std::string to = (out / "sum.txt").string();
  EXPECT_TRUE(test::Run("sha256sum < " + test::ShellQuote(file.string()) + " > " + test::ShellQuote(to)));
  return test::ReadFile(to).substr(0, 64);
}

TEST(CliVerdict, AFileInFragmentsIsNamedDamagedAndTheReportRecordsEverySavedFile) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  const Volume& v = Fragments();
  const auto ls = Cli("formatted.img", {"--json", "find-lost", "1", "then", "ls", "1", "/", "--view", "lost"});
  ASSERT_EQ(ls.exitCode, 0) << ls.err;
  const std::string listing = ls.out.substr(ls.out.rfind("[\n"));
  for (const char* name : {"WHOLE.PNG", "PHOTO.JPG", "NOTES.ZIP", "OTHER.PNG"})
    EXPECT_NE(listing.find("\"cluster\": " + std::to_string(v.at.at(name)) +
                           ", \"condition\": \"好\", \"type\": \"\", \"status\": \"lost\", \"verdict\": \"verified\""),
              std::string::npos)
        << name << "\n" << listing;
  const std::string split = "\"cluster\": " + std::to_string(v.at.at("SPLIT.PNG"));
  const auto at = listing.find(split);
  ASSERT_NE(at, std::string::npos);
  const std::string damaged = "\"verdict\": \"damaged\", \"bad_offset\": ";
  EXPECT_EQ(listing.compare(listing.find("\"verdict\"", at), damaged.size(), damaged), 0) << listing;

  // The save names the damaged file and fails like a save with other faults.
  test::TempDir out;
  const auto save = Cli("formatted.img", {"find-lost", "1", "then", "save", "1", "/", "--view", "lost", "--to",
                                          (out.Path() / "lost").string()});
  EXPECT_EQ(save.exitCode, 1);
  const std::string splitName = "蔟 " + std::to_string(v.at.at("SPLIT.PNG")) + ".PNG";
  EXPECT_NE(save.err.find("damaged: " + (out.Path() / "lost" / splitName).string()), std::string::npos) << save.err;
  // Each saved file in the report, with its digest, size, first run and verdict.
  std::istringstream lines(ReportLines(out.Path() / "lost" / "report.xml", out.Path()));
  int files = 0;
  for (std::string sha, size, offset, verdict, path; lines >> sha >> size >> offset >> verdict && std::getline(lines, path);) {
    path = path.substr(1);
    SCOPED_TRACE(path);
    ++files;
    EXPECT_EQ(sha, Sha256Of(path, out.Path()));
    EXPECT_EQ(std::stoull(size), fs::file_size(path));
    const auto cluster = std::stoul(fs::path(path).filename().string().substr(std::string("蔟 ").size()));
    // The whole files are verified, the fragmented one damaged, and whatever
    // else the search took for a file (a piece of one) is not verified.
    bool whole = false;
    for (const char* name : {"WHOLE.PNG", "PHOTO.JPG", "NOTES.ZIP", "OTHER.PNG"}) whole |= v.at.at(name) == cluster;
    if (whole) EXPECT_EQ(verdict, "verified");
    else if (cluster == v.at.at("SPLIT.PNG")) EXPECT_EQ(verdict, "damaged");
    else EXPECT_NE(verdict, "verified");
    EXPECT_EQ(std::stoull(offset), 51200 + (cluster - 2) * 2048ull);  // FAT16, 2 KiB clusters, the data from sector 100
  }
  EXPECT_GE(files, 5);

  // --report elsewhere, --no-report none.
  const auto elsewhere = Cli("formatted.img", {"find-lost", "1", "then", "save", "1", "/", "--view", "lost", "--to",
                                               (out.Path() / "two").string(), "--report", (out.Path() / "r.xml").string()});
  EXPECT_TRUE(fs::exists(out.Path() / "r.xml")) << elsewhere.err;
  EXPECT_FALSE(fs::exists(out.Path() / "two" / "report.xml"));
  Cli("formatted.img", {"find-lost", "1", "then", "save", "1", "/", "--view", "lost", "--to",
                        (out.Path() / "three").string(), "--no-report"});
  EXPECT_TRUE(fs::exists(out.Path() / "three" / (splitName)));
  EXPECT_FALSE(fs::exists(out.Path() / "three" / "report.xml"));
}

#ifndef _WIN32  // the dates through the POSIX calls; the images are made at run time anyway
TEST(CliVerdict, KeptDatesAreTheEntriesAndAnImpossibleOneIsCounted) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  ::setenv("TZ", "UTC", 1);
  test::TempDir out;
  const auto plain = Cli("live.img", {"save", "1", "/", "--to", (out.Path() / "plain").string()});
  EXPECT_EQ(plain.exitCode, 0) << plain.err;
  const auto kept = Cli("live.img", {"save", "1", "/", "--to", (out.Path() / "kept").string(), "--keep-dates"});
  EXPECT_EQ(kept.exitCode, 0) << kept.err;
  EXPECT_NE(kept.err.find("1 impossible date(s) left as the save time"), std::string::npos) << kept.err;
  std::tm when{};
  when.tm_year = 111;
  when.tm_mon = 4;
  when.tm_mday = 6;
  when.tm_hour = 7;
  when.tm_min = 8;
  when.tm_sec = 10;
  const std::time_t entry = ::timegm(&when);
  auto mtime = [](const fs::path& p) {
    struct stat st {};
    ::stat(p.c_str(), &st);
    return st.st_mtime;
  };
  for (const char* name : {"PHOTO.JPG", "NOTES.ZIP", "SPLIT.PNG", "OTHER.PNG"}) {
    EXPECT_EQ(mtime(out.Path() / "kept" / name), entry) << name;
    EXPECT_GT(mtime(out.Path() / "plain" / name), entry + 3600 * 24 * 365) << name;
  }
  EXPECT_GT(mtime(out.Path() / "kept" / "WHOLE.PNG"), entry + 3600 * 24 * 365);
  // Through its FAT chain the fragmented file is whole.
  EXPECT_NE(test::ReadFile((out.Path() / "kept" / "report.xml").string()).find("<vantrel:original_filename>\\SPLIT.PNG</vantrel:original_filename>"), std::string::npos);
  EXPECT_EQ(ReportLines(out.Path() / "kept" / "report.xml", out.Path()).find("damaged"), std::string::npos);
}

// Two movies coded as cameras code them (x264 with CABAC, several slices a
// frame) on a quick-formatted volume, a cluster in the middle of the second
// one holding the first one's bytes: the search finds the first verified
// and the second damaged where the parse of its slices fails, the same with
// the slices parsed on workers beside the reading as one after the other,
// and a save of them names the damaged one.
TEST(CliVerdict, MoviesWhoseSlicesAreParsedBesideTheSearchAreJudgedAsOneAfterTheOther) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  const std::string dir = test::MadeOnce("cli-cabac-movies", [](const std::string& d) {
    const std::string q = test::ShellQuote(d);
    for (const char* movie : {"a", "b"})
      test::ImageTool("cd " + q + " && ffmpeg -nostdin -loglevel error -y -fflags +bitexact -f lavfi -i testsrc2=s=320x240:d=2" +
                      (movie[0] == 'a' ? "" : ",hflip") + ",noise=alls=8:allf=t -c:v libx264 -preset medium -crf 22 " +
                      "-pix_fmt yuv420p -x264-params slices=2 " + movie + ".mp4");
    test::ImageTool("cd " + q + " && mkfs.fat -C -F 16 -s 4 --invariant -i 26262627 -n MOVIES live.img 16384 && " +
                    "mcopy -i live.img a.mp4 ::/A.MP4 && mcopy -i live.img b.mp4 ::/B.MP4");
    const auto first = test::FirstClusters(d + "/live.img", {"::/A.MP4", "::/B.MP4"});
    // B's middle cluster takes A's bytes of the same place; then the quick format.
    test::WriteFile(d + "/swap.py",
                    "import struct, sys\n"
                    "img = bytearray(open('live.img', 'rb').read())\n"
                    "a, b = int(sys.argv[1]), int(sys.argv[2])\n"
                    "size = len(open('b.mp4', 'rb').read())\n"
                    "reserved, fats = struct.unpack_from('<H', img, 14)[0], img[16]\n"
                    "entries, fatsize = struct.unpack_from('<H', img, 17)[0], struct.unpack_from('<H', img, 22)[0]\n"
                    "data = (reserved + fats * fatsize) * 512 + entries * 32\n"
                    "at = lambda c: data + (c - 2) * 2048\n"
                    "k = size // 2048 // 2\n"
                    "img[at(b + k):at(b + k) + 2048] = img[at(a + k):at(a + k) + 2048]\n"
                    "open('live.img', 'wb').write(img)\n"
                    "open('replaced.txt', 'w').write(str(k * 2048))\n");
    test::ImageTool("cd " + q + " && /usr/bin/python3 swap.py " + std::to_string(first.at(0)) + " " +
                    std::to_string(first.at(1)) + " && cp live.img formatted.img && " +
                    "mkfs.fat -F 16 -s 4 --invariant -i 26262627 -n MOVIES formatted.img");
  });
  const auto first = test::FirstClusters(dir + "/live.img", {"::/A.MP4", "::/B.MP4"});
  ASSERT_EQ(first.size(), 2u);
  const std::uint32_t a = first[0], b = first[1];
  const std::uint64_t replaced = std::stoull(test::ReadFile(dir + "/replaced.txt"));
  const std::vector<std::string> search = {"--image", dir + "/formatted.img", "--only-images", "--json", "find-lost", "1",
                                           "then", "ls", "1", "/", "--view", "lost"};
  const auto parallel = RunCli(search);
  ASSERT_EQ(parallel.exitCode, 0) << parallel.err;
  ::setenv("VANTREL_SERIAL_SLICES", "1", 1);
  const auto serial = RunCli(search);
  ::unsetenv("VANTREL_SERIAL_SLICES");
  const std::string listing = parallel.out.substr(parallel.out.rfind("[\n"));
  EXPECT_EQ(listing, serial.out.substr(serial.out.rfind("[\n")));
  EXPECT_NE(listing.find("\"cluster\": " + std::to_string(a) + ", \"condition\": \"好\", \"type\": \"\", \"status\": \"lost\", " +
                         "\"verdict\": \"verified\""),
            std::string::npos)
      << listing;
  const auto at = listing.find("\"cluster\": " + std::to_string(b) + ",");
  ASSERT_NE(at, std::string::npos) << listing;
  const std::string damaged = "\"verdict\": \"damaged\", \"bad_offset\": ";
  const auto verdict = listing.find("\"verdict\"", at);
  ASSERT_EQ(listing.compare(verdict, damaged.size(), damaged), 0) << listing;
  EXPECT_GE(std::stoull(listing.substr(verdict + damaged.size())), replaced);

  test::TempDir out;
  const auto save = RunCli({"--image", dir + "/formatted.img", "--only-images", "find-lost", "1", "then", "save", "1", "/",
                            "--view", "lost", "--to", (out.Path() / "lost").string()});
  EXPECT_EQ(save.exitCode, 1);
  EXPECT_NE(save.err.find("damaged: " + (out.Path() / "lost" / ("蔟 " + std::to_string(b) + ".MP4")).string()),
            std::string::npos)
      << save.err;
  EXPECT_EQ(save.err.find("damaged: " + (out.Path() / "lost" / ("蔟 " + std::to_string(a) + ".MP4")).string()),
            std::string::npos)
      << save.err;
}
#endif

}  // namespace
}  // namespace vantrel
