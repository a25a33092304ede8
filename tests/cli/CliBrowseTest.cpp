// vantrel-cli on images made by mkfs.fat, mtools and sfdisk: drives, ls in
// the live and deleted views, find, commands joined by "then", and the
// one-line messages and exit codes of what cannot be done.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>

#include "cli/CliRunner.h"
#include "support/FixtureList.h"
#include "support/LostImages.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

using test::Fixture;
using test::RunCli;

// The objects of a JSON array as vantrel-cli writes it (one flat object a
// line), each value as text: strings without their quotes, other values as
// written. The names in the fixtures need no escapes.
using Object = std::map<std::string, std::string>;

std::vector<Object> ParseArray(const std::string& text) {
  std::vector<Object> objects;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t open = line.find('{');
    if (open == std::string::npos) continue;
    Object o;
    std::size_t at = open + 1;
    while (line[at] != '}') {
      const std::size_t keyEnd = line.find('"', at + 2);
      const std::string key = line.substr(at + 1, keyEnd - at - 1);
      at = keyEnd + 3;  // past '": '
      const bool quoted = line[at] == '"';
      const std::size_t end = quoted ? line.find('"', at + 1) + 1 : line.find_first_of(",}", at);
      o[key] = quoted ? line.substr(at + 1, end - at - 2) : line.substr(at, end - at);
      at = line[end] == ',' ? end + 2 : end;
    }
    objects.push_back(o);
  }
  return objects;
}

class CliBrowse : public ::testing::Test {
 protected:
  // The user's settings (deleted-name marker, code page) must not change what is shown.
  static void SetUpTestSuite() {
    config_ = new test::TempDir;
    test::SetSettingsFolder(config_->Path().string());
  }
  static void TearDownTestSuite() {
    delete config_;
    config_ = nullptr;
  }
  // vantrel-cli with the images as its only devices.
  static test::CliResult Cli(const std::vector<std::string>& images, std::vector<std::string> args) {
    std::vector<std::string> all{"--only-images"};
    for (const auto& image : images) {
      all.push_back("--image");
      all.push_back(Fixture(image));
    }
    all.insert(all.end(), args.begin(), args.end());
    return RunCli(all);
  }
  static test::TempDir* config_;
};

test::TempDir* CliBrowse::config_ = nullptr;

TEST_F(CliBrowse, DrivesListsEveryFATPartitionPrimaryThenLogical) {
  const auto text = Cli({"fat12.img", "disk.img"}, {"drives"});
  ASSERT_EQ(text.exitCode, 0) << text.err;
  EXPECT_NE(text.out.find("1   FAT12VOL      on 软盘 #1"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("4   LOGICAL32B    on 固定磁盘 #2"), std::string::npos) << text.out;

  const auto json = Cli({"fat12.img", "disk.img"}, {"--json", "drives"});
  ASSERT_EQ(json.exitCode, 0) << json.err;
  std::vector<std::string> rows;
  for (const Object& o : ParseArray(json.out))
    rows.push_back(o.at("number") + " " + o.at("name") + " device " + o.at("device") + " at " +
                   o.at("start_sector") + " " + o.at("sector_count") + " " + o.at("fat_type") + " " + o.at("flags"));
  EXPECT_EQ(rows, (std::vector<std::string>{
                      "1 FAT12VOL      on 软盘 #1 device 1 at 0 4142 FAT12 -",
                      "2 PRIMARY16     on 固定磁盘 #2 device 2 at 2048 32768 FAT16 -",
                      "3 LOGICAL32A    on 固定磁盘 #2 device 2 at 38912 67584 FAT32 -",
                      "4 LOGICAL32B    on 固定磁盘 #2 device 2 at 108544 67584 FAT32 -"}));

  const auto empty = Cli({"floppy.img"}, {"--json", "drives"});
  EXPECT_EQ(ParseArray(empty.out).at(0).at("flags"), "nofat");
}

TEST_F(CliBrowse, DevicesShowsALongImagePathWhole) {
#ifdef _WIN32
  GTEST_SKIP() << "reaches the image through a symbolic link, which Wine cannot make";
#endif
  test::TempDir dir;
  std::filesystem::path folder = dir.Path();
  for (char c : {'a', 'b', 'c'}) folder /= std::string(200, c);
  std::filesystem::create_directories(folder);
  const std::string image = (folder / "fat12.img").string();
  std::filesystem::create_symlink(Fixture("fat12.img"), image);
  const auto r = RunCli({"--only-images", "--image", image, "devices"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find(" 512           " + image + "\n"), std::string::npos) << r.out;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2);
}

class CliTree : public CliBrowse, public ::testing::WithParamInterface<const char*> {
 protected:
  // ls --recursive --json of a view, one text line per item, sorted.
  std::vector<std::string> Listed(const std::string& view) {
    const auto r = Cli({std::string(GetParam()) + ".img"}, {"--json", "ls", "1", "/", "--recursive", "--view", view});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> rows;
    for (const Object& o : ParseArray(r.out)) {
      EXPECT_EQ(o.at("name"), o.at("path").substr(o.at("path").rfind('/') + 1));
      rows.push_back(o.at("path") + (o.at("is_dir") == "true" ? "/" : "") + " " + o.at("size") + " " +
                     o.at("date") + " " + o.at("cluster") + " " + o.at("condition") + " " + o.at("status"));
    }
    std::sort(rows.begin(), rows.end());
    return rows;
  }
  std::vector<std::string> Expected(const std::string& view) {
    std::vector<std::string> rows;
    for (const auto& i : test::FixtureView(test::ReadFixtureList(std::string(GetParam()) + ".files"), view))
      rows.push_back(i.path + (i.isDir ? "/" : "") + " " + std::to_string(i.size) + " " + i.date + " " +
                     std::to_string(i.cluster) + " " + i.condition + " " +
                     (i.view == "deleted" ? "deleted" : "normal"));
    std::sort(rows.begin(), rows.end());
    return rows;
  }
};

TEST_P(CliTree, LsShowsEveryFileTheToolsWroteAndDeleted) {
  EXPECT_EQ(Listed("live"), Expected("live"));
  EXPECT_EQ(Listed("deleted"), Expected("deleted"));
}

INSTANTIATE_TEST_SUITE_P(FixtureImages, CliTree, ::testing::Values("fat12", "fat16", "fat32"));

// The first column (name) of each row of a text listing.
std::vector<std::string> Names(const std::string& out) {
  std::vector<std::string> names;
  std::size_t at = out.find('\n') + 1;  // after the header
  while (at < out.size()) {
    const std::size_t end = out.find('\n', at);
    const std::string row = out.substr(at, end - at);
    names.push_back(row.substr(0, row.find("  ")));
    at = end + 1;
  }
  return names;
}

TEST_F(CliBrowse, LsSortsByAnyColumn) {
  auto r = Cli({"fat16.img"}, {"ls", "1", "docs", "--sort", "size", "--desc"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  // Descending turns the whole order round: the folders stand after the files.
  EXPECT_EQ(Names(r.out), (std::vector<std::string>{"report 2023.doc", "after.txt", "sub"}));
  r = Cli({"fat16.img"}, {"ls", "1", "/", "--sort", "date"});
  EXPECT_EQ(Names(r.out), (std::vector<std::string>{"docs", "中文目录", "empty.txt", "Ünïcödé.txt",
                                                    "Long file name with spaces.txt", "README.TXT", "notes.txt",
                                                    "big.bin"}));
  r = Cli({"fat16.img"}, {"ls", "1", "--view", "deleted", "--sort", "condition"});
  EXPECT_EQ(Names(r.out), (std::vector<std::string>{"docs", "中文目录", "_ree", "_one.txt",
                                                    "Deleted long name.txt", "_ictim.txt", "_oid.txt"}));
}

TEST_F(CliBrowse, FindFindsByMaskInBothViews) {
  const auto r = Cli({"fat32.img"}, {"find", "1", "*.doc"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "live:/docs/report 2023.doc\n");
  const auto json = Cli({"fat32.img"}, {"--json", "find", "1", "ee"});
  std::vector<std::string> hits;
  for (const Object& o : ParseArray(json.out)) hits.push_back(o.at("view") + ":" + o.at("path") + " " + o.at("status"));
  EXPECT_EQ(hits, (std::vector<std::string>{"deleted:_ree deleted", "live:docs/sub/deep normal"}));
}

// What follows the first columns of a line of terminal text, CJK
// characters taking two.
std::string AfterColumns(const std::string& line, std::size_t columns) {
  std::size_t at = 0, used = 0;
  while (at < line.size() && used < columns) {
    const auto b = static_cast<unsigned char>(line[at]);
    const std::size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    used += len == 3 && b >= 0xE4 && b <= 0xE9 ? 2 : 1;  // U+4E00..U+9FFF
    at += len;
  }
  return line.substr(at);
}

TEST(CliTable, NamesWiderThanTheirColumnAreCutAndTheColumnsStayInLine) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  test::TempDir dir;
  const std::string image = dir / "names.img";
  test::ImageTool("mkfs.fat -C -F 12 " + image + " 1440");
  for (const std::string name : {"a.txt", "a.txt.bak", "A long file name much wider than its column.txt",
                                 "中文名字很长很长很长很长很长很长很长.txt"}) {
    test::WriteFile(dir / "f", std::string(name.size(), 'x'));
    test::ImageTool("mcopy -i " + image + " " + dir / "f" + " " + test::ShellQuote("::/" + name));
  }
  auto r = RunCli({"--only-images", "--image", image, "ls", "1", "/"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::istringstream lines(r.out);
  std::string line;
  std::getline(lines, line);  // the titles
  int rows = 0;
  for (; std::getline(lines, line); ++rows) {
    const std::string rest = AfterColumns(line, 32);
    EXPECT_TRUE(!rest.empty() && rest[0] >= '1' && rest[0] <= '9') << line;
  }
  EXPECT_EQ(rows, 4);
  EXPECT_NE(r.out.find("A long file name much wider th… 47 "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("中文名字很长很长很长很长很长很… 58 "), std::string::npos) << r.out;

  // A mask matches whole names: "*.txt" is no match for "a.txt.bak".
  r = RunCli({"--only-images", "--image", image, "find", "1", "*.txt"});
  EXPECT_EQ(r.out.find("a.txt.bak"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("live:/a.txt\n"), std::string::npos) << r.out;
}

TEST_F(CliBrowse, CommandsJoinedByThenShareWhatWasFound) {
  const auto r = Cli({"disk.img", "fat12.img"}, {"drives", "then", "ls", "4", "中文目录", "--view", "deleted",
                                                 "then", "find", "2", "*emove*"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("4   FAT12VOL"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("说明.txt                        21          07.06.2015 08:09"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("deleted:/_emoved.txt\n"), std::string::npos) << r.out;
}

TEST_F(CliBrowse, NumbersAreDecimalOrHexWithALeadingZeroMeaningNothing) {
  const struct {
    std::string first;
    std::string offset;  // of the sector's first line
  } reads[] = {{"10", "    1400h"}, {"010", "    1400h"}, {"08", "    1000h"}, {"0x10", "    2000h"}, {"0X1f", "    3E00h"}};
  for (const auto& c : reads) {
    SCOPED_TRACE(c.first);
    const auto r = Cli({"fat12.img"}, {"read", "1", c.first, "1"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, c.offset.size()), c.offset) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 32);
  }
  for (const std::string bad : {"\t5", " 5", "5 ", "+5", "-5", "0x", "0x-5", "0x+5", "1e3", "5x"}) {
    SCOPED_TRACE(bad);
    const auto r = Cli({"fat12.img"}, {"read", "1", bad, "1"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "vantrel-cli: not a number for FIRST: " + bad + "\n");
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(CliBrowse, WhatCannotBeDoneEndsWithOneLine) {
#ifdef _WIN32
  const std::string missing;  // the system's text follows, in the system's language
#else
  const std::string missing = "No such file or directory";
#endif
  const struct {
    std::vector<std::string> args;
    int exitCode;
    std::string message;
  } cases[] = {
      {{"--image", "/nonexistent/disk.img", "drives"}, 1,
       "cannot read image /nonexistent/disk.img: " + missing},
      {{"--image", Fixture("fat12.img"), "ls", "2"}, 1, "no drive number 2 (see drives)"},
      {{"--image", Fixture("fat12.img"), "ls", "0"}, 1, "no drive number 0 (see drives)"},
      {{"--image", Fixture("fat12.img"), "ls", "x"}, 2, ""},
      {{"--image", Fixture("fat12.img"), "ls", "1", "docs/nothere"}, 1,
       "no such file or folder: docs/nothere (in the live view)"},
      {{"--image", Fixture("fat12.img"), "ls", "1", "README.TXT", "--view", "deleted"}, 1,
       "no such file or folder: README.TXT (in the deleted view)"},
      {{"--image", Fixture("fat12.img"), "ls", "1", "README.TXT"}, 1, "README.TXT is a file, not a folder"},
      {{"--image", Fixture("fat12.img"), "ls", "1", "--sort", "colour"}, 2,
       "--sort takes name, size, date, cluster, condition, type or verdict"},
      {{"--image", Fixture("fat12.img"), "drives", "then"}, 2, "no command given (see --help)"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"--only-images"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto r = RunCli(args);
    SCOPED_TRACE(c.args.back());
    EXPECT_EQ(r.exitCode, c.exitCode);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    if (!c.message.empty()) {
#ifdef _WIN32
      EXPECT_EQ(r.err.rfind("vantrel-cli: " + c.message, 0), 0u) << r.err;
#else
      EXPECT_EQ(r.err, "vantrel-cli: " + c.message + "\n");
#endif
    }
  }
}

}  // namespace
}  // namespace vantrel
