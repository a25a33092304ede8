// What the program hands to the system and takes from it as text: code pages
// of short names and file names beyond ASCII, the same on Linux and Windows.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/CodePage.h"
#include "common/HostPath.h"
#include "common/SystemInfo.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

std::string Oem(std::vector<std::uint8_t> bytes, const std::string& codePage) {
  return OemToUtf8(bytes.data(), bytes.size(), codePage);
}

TEST(CodePages, NamesDecodeTheSameOnEverySystem) {
  EXPECT_EQ(Oem({0x82, 'T', 'E'}, "CP437"), "\xC3\xA9TE");            // é
  EXPECT_EQ(Oem({0x82, 'T', 'E'}, "cp437"), "\xC3\xA9TE");
  EXPECT_EQ(Oem({0xD6, 0xD0, 0xCE, 0xC4}, "CP936"), "中文");
  EXPECT_EQ(Oem({0xD6, 0xD0, '.', 'T'}, "GBK"), "中.T");
  // A lead byte without its second byte, and a user-defined pair that only
  // one machine can show: kept as Latin-1, nothing lost.
  EXPECT_EQ(Oem({'A', 0xD6}, "CP936"), "A\xC3\x96");
  EXPECT_EQ(Oem({0xA1, 'B'}, "CP936"), "\xC2\xA1" "B");
  // A code page nobody knows.
  EXPECT_EQ(Oem({0xE9, 'x'}, "NO-SUCH-PAGE"), "\xC3\xA9x");
}

TEST(HostPaths, FoldersAndFilesBeyondASCIIKeepTheirNames) {
  test::TempDir dir;
  const std::string folder = Utf8FromPath(dir.Path()) + "/目标 Ordner";
  std::filesystem::create_directory(PathFromUtf8(folder));
  { std::ofstream(PathFromUtf8(folder + "/中文文件.txt"), std::ios::binary) << "中文内容"; }
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(PathFromUtf8(folder)))
    names.push_back(Utf8FromPath(entry.path().filename()));
  EXPECT_EQ(names, std::vector<std::string>{"中文文件.txt"});
  std::ifstream in(PathFromUtf8(folder + "/中文文件.txt"), std::ios::binary);
  std::string text;
  std::getline(in, text);
  EXPECT_EQ(text, "中文内容");
}

}  // namespace
}  // namespace vantrel

namespace vantrel {
namespace {

const std::string* ValueOf(const std::vector<TInfoRow>& rows, const std::string& name) {
  for (const auto& row : rows)
    if (row.Name == name) return &row.Value;
  return nullptr;
}

TEST(SystemInformation, TheMachineIsDescribedInTheSystemsOwnTerms) {
  const TSystemInfo info = CollectSystemInfo();
  ASSERT_NE(ValueOf(info.Hardware, "CPU线程数:"), nullptr);
  EXPECT_GE(std::stoi(*ValueOf(info.Hardware, "CPU线程数:")), 1);
  EXPECT_FALSE(info.Environment.empty());
#ifdef _WIN32
  const std::string* version = ValueOf(info.Software, "Windows版本:");
  ASSERT_NE(version, nullptr);
  int major = -1, minor = -1, build = -1;
  EXPECT_EQ(std::sscanf(version->c_str(), "%d.%d (Build %d)", &major, &minor, &build), 3) << *version;
  EXPECT_GE(major, 5);
  EXPECT_NE(ValueOf(info.Software, "Windows目录:"), nullptr);
  EXPECT_NE(ValueOf(info.Software, "系统目录:"), nullptr);
  EXPECT_EQ(*ValueOf(info.Software, "Windows模式:"), "Windows NT");
  // Every drive letter is listed as "X: label"; C: is a fixed drive with sizes.
  bool sawC = false;
  for (const auto& drive : info.Drives) {
    ASSERT_GE(drive.Caption.size(), 3u);
    EXPECT_EQ(drive.Caption[1], ':');
    EXPECT_EQ(drive.Caption[2], ' ');
    if (drive.Caption[0] == 'C') {
      sawC = true;
      EXPECT_EQ(drive.Image, 1);
      EXPECT_TRUE(drive.HasSizes);
      EXPECT_GE(drive.TotalBytes, drive.FreeBytes);
    }
  }
  EXPECT_TRUE(sawC);
#endif
}

}  // namespace
}  // namespace vantrel
