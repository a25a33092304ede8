#include "IniFile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#ifdef _WIN32
#include <process.h>
#endif
#include <fstream>
#include <iterator>

namespace {

std::string Slurp(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(KobrelIniLookup, NamesMatchWithoutCaseAndBlanksAreIgnored) {
  const std::string text = "; release record\n[Other]\nnum=1\n  [ INFO ]  \n\tNUM  =  12.6 \nurl=http://h/a b\n";
  EXPECT_EQ(IniLookup(text, "info", "num"), "12.6");
  EXPECT_EQ(IniLookup(text, "Info", "URL"), "http://h/a b");
  EXPECT_EQ(IniLookup(text, "other", "num"), "1");
  EXPECT_EQ(IniLookup(text, "info", "name"), "");     // missing key
  EXPECT_EQ(IniLookup(text, "missing", "num"), "");   // missing section
  EXPECT_EQ(IniLookup("num=5\n[info]\n", "info", "num"), "");  // keys above any section belong to none
}

TEST(KobrelIniLookup, FirstSectionAndFirstKeyWin) {
  const std::string text = "[info]\nnum=1\nnum=2\n[info]\nnum=3\nname=late\n";
  EXPECT_EQ(IniLookup(text, "info", "num"), "1");
  // Only the first section of a name is looked at, as the private-profile reader does.
  EXPECT_EQ(IniLookup(text, "info", "name"), "");
}

TEST(KobrelIniLookup, ValueFormsOfOtherTools) {
  EXPECT_EQ(IniLookup("[info]\r\nnum=7\r\nname=x.sh\r\n", "info", "num"), "7");           // CRLF lines
  EXPECT_EQ(IniLookup("\xEF\xBB\xBF[info]\nnum=8\n", "info", "num"), "8");                 // UTF-8 mark
  EXPECT_EQ(IniLookup("[info]\nname=\"my setup.sh\"\n", "info", "name"), "my setup.sh");  // quoted
  EXPECT_EQ(IniLookup("[info]\nurl=http://h/?a=b\n", "info", "url"), "http://h/?a=b");    // "=" in value
  EXPECT_EQ(IniLookup(std::string("[info]\nnum=4\0" "2\n", 13), "info", "num"), "4");    // ends at NUL
  EXPECT_EQ(IniLookup("[info]\nnum\nnum=9\n", "info", "num"), "");                         // key without "="
  EXPECT_EQ(IniLookup("[info]\n;num=3\n", "info", "num"), "");                             // comment
}

TEST(KobrelIniLookup, Utf16AndCarriageReturnLines) {
  // "[info]\r\nnum=7\r\nname=\u00E9\U0001F600\r\n" in both byte orders
  const std::string le("\xFF\xFE[\0i\0n\0f\0o\0]\0\r\0\n\0n\0u\0m\0=\0" "7\0\r\0\n\0n\0a\0m\0e\0=\0\xE9\0=\xD8\0\xDE\r\0\n\0", 50);
  std::string be = le;
  for (std::size_t i = 0; i + 1 < be.size(); i += 2) std::swap(be[i], be[i + 1]);
  for (const auto& bytes : {le, be}) {
    const auto text = DecodeIniText(bytes);
    EXPECT_EQ(IniLookup(text, "info", "num"), "7");
    EXPECT_EQ(IniLookup(text, "info", "name"), "\xC3\xA9\xF0\x9F\x98\x80");
  }
  EXPECT_EQ(DecodeIniText(std::string("\xFF\xFE" "=\xD8x\0" "9", 7)), "\xEF\xBF\xBDx");  // half a pair, half a character
  EXPECT_EQ(DecodeIniText("[info]\nnum=1\n"), "[info]\nnum=1\n");          // 8-bit text as it is

  EXPECT_EQ(IniLookup("[info]\rnum=7\rname=x.sh\r", "info", "num"), "7");
  EXPECT_EQ(IniLookup("[info]\rnum=7\r\n\nname=x.sh", "info", "name"), "x.sh");
  EXPECT_TRUE(IniHasSection("x=1\r[Info]", "info"));
  EXPECT_FALSE(IniHasSection("<html>[info]</html>", "info"));
}

TEST(KobrelIniLookup, LongValuesAreCutToTheBuffer) {
  const std::string text = "[info]\nurl=" + std::string(20000, 'a') + "\n";
  EXPECT_EQ(IniLookup(text, "info", "url"), std::string(IniBufferSize - 1, 'a'));
}

TEST(KobrelIniSetValue, ChangesOnlyTheKeysLine) {
  const std::string text = "; kept\n[Info]\r\n  NUM = 12 \r\nurl=u\r\n\r\n[other]\r\nnum=1\r\n";
  EXPECT_EQ(IniSetValue(text, "info", "num", "13"), "; kept\n[Info]\r\nNUM=13\r\nurl=u\r\n\r\n[other]\r\nnum=1\r\n");
}

TEST(KobrelIniSetValue, AddsMissingKeysAndSections) {
  // A new key goes after the section's last entry, before the blank line.
  EXPECT_EQ(IniSetValue("[info]\nurl=u\n\n[x]\na=1\n", "info", "num", "3"), "[info]\nurl=u\nnum=3\n\n[x]\na=1\n");
  EXPECT_EQ(IniSetValue("[info]", "info", "num", "3"), "[info]\nnum=3\n");
  EXPECT_EQ(IniSetValue("[x]\r\na=1", "info", "num", "3"), "[x]\r\na=1\r\n\r\n[info]\r\nnum=3\r\n");
  EXPECT_EQ(IniSetValue("", "info", "num", "3"), "[info]\nnum=3\n");
  EXPECT_EQ(IniSetValue("[info]\rnum=1\rurl=u", "info", "num", "2"), "[info]\rnum=2\rurl=u");
  EXPECT_EQ(IniSetValue("[info]\rurl=u", "info", "num", "2"), "[info]\rurl=u\rnum=2\r");
}

TEST(KobrelIniFile, WriteCreatesReplacesAndReadsBack) {
#ifdef _WIN32
  const auto dir = std::filesystem::temp_directory_path() / ("kobrel-ini-" + std::to_string(::_getpid()));
  ASSERT_TRUE(std::filesystem::create_directory(dir));
#else
  char pattern[] = "/tmp/kobrel-ini-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::filesystem::path dir = pattern;
#endif
  const auto file = dir / "nowver.ini";

  EXPECT_EQ(ReadIni("info", "num", file), "");  // missing file
  ASSERT_TRUE(WriteIni("info", "num", "12", file));
  EXPECT_EQ(Slurp(file), "[info]\nnum=12\n");
  ASSERT_TRUE(WriteIni("info", "num", "13", file));
  EXPECT_EQ(ReadIni("INFO", "Num", file), "13");
  EXPECT_EQ(Slurp(file), "[info]\nnum=13\n");

  // A value that would break the line structure is refused, the file kept.
  EXPECT_FALSE(WriteIni("info", "num", "1\n[evil]", file));
  EXPECT_EQ(Slurp(file), "[info]\nnum=13\n");
  // No temporary file is left behind.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);

  // A UTF-16 record stays UTF-16, in its byte order.
  const std::string utf16("\xFE\xFF\0[\0i\0n\0f\0o\0]\0\r\0\n\0n\0u\0m\0=\0" "1\0\r\0\n", 32);
  std::ofstream(file, std::ios::binary) << utf16;
  ASSERT_TRUE(WriteIni("info", "num", "2", file));
  EXPECT_EQ(Slurp(file), utf16.substr(0, 26) + std::string("\0" "2\0\r\0\n", 6));

  // A file that cannot be replaced is reported.
  EXPECT_FALSE(WriteIni("info", "num", "1", dir / "missing-folder" / "nowver.ini"));
  std::filesystem::remove_all(dir);
}

}  // namespace
