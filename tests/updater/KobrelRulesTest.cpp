// Release numbers, release file names and the addresses kobrel accepts.

#include "Download.h"
#include "Launch.h"
#include "ReleaseNumber.h"
#include "TTempFile.h"
#include "UpdateCheck.h"

#include <gtest/gtest.h>

namespace {

TEST(KobrelNumber, LenientReading) {
  EXPECT_EQ(LenientNumber("12"), 12.0);
  EXPECT_EQ(LenientNumber(" \t12.6abc"), 12.6);
  EXPECT_EQ(LenientNumber("-3.25"), -3.25);
  EXPECT_EQ(LenientNumber("+.5"), 0.5);
  EXPECT_EQ(LenientNumber("7."), 7.0);
  EXPECT_EQ(LenientNumber("1.5e1x"), 15.0);
  EXPECT_EQ(LenientNumber("2e"), 2.0);    // "e" without digits is not an exponent
  EXPECT_EQ(LenientNumber("2e+"), 2.0);
  EXPECT_EQ(LenientNumber("1 2"), 1.0);   // the number ends at the blank
  for (const char* nothing : {"", "abc", "-", ".", "- 5", "e5", "0x10"}) EXPECT_EQ(LenientNumber(nothing), 0.0) << nothing;
  EXPECT_EQ(LenientNumber("1e400"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(LenientNumber("-1e400"), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(LenientNumber("1e-400"), 0.0);
  EXPECT_EQ(LenientNumber("0.0001e-99999999999999999999"), 0.0);
  EXPECT_EQ(LenientNumber("100000e-400"), 0.0);
}

TEST(KobrelNumber, RoundsHalvesToEven) {
  EXPECT_EQ(ReleaseNumber("12.5"), 12);
  EXPECT_EQ(ReleaseNumber("12.6"), 13);
  EXPECT_EQ(ReleaseNumber("13.5"), 14);
  EXPECT_EQ(ReleaseNumber("12.49999"), 12);
  EXPECT_EQ(ReleaseNumber("0.5"), 0);
  EXPECT_EQ(ReleaseNumber("-0.5"), 0);
  EXPECT_EQ(ReleaseNumber("-1.5"), -2);
  EXPECT_EQ(ReleaseNumber("-2.5"), -2);
  EXPECT_EQ(ReleaseNumber("-2.6"), -3);
}

TEST(KobrelNumber, OnlySigned32BitNumbers) {
  EXPECT_EQ(ReleaseNumber("2147483647"), 2147483647);
  EXPECT_EQ(ReleaseNumber("2147483647.4"), 2147483647);
  EXPECT_EQ(ReleaseNumber("-2147483648"), -2147483647 - 1);
  EXPECT_EQ(ReleaseNumber("2147483647.5"), std::nullopt);
  EXPECT_EQ(ReleaseNumber("-2147483649"), std::nullopt);
  EXPECT_EQ(ReleaseNumber("1e400"), std::nullopt);
}

TEST(KobrelNames, OnlyPlainFileNames) {
  for (const char* good : {"setup.sh", "vantrel-1.9.run", "a b", "..x", "x.."}) EXPECT_TRUE(IsPlainFileName(good)) << good;
  for (const char* bad : {"", ".", "..", "../x", "a/b", "/etc/x", "a\\b", "..\\x", "x\n", "x\ty"})
    EXPECT_FALSE(IsPlainFileName(bad)) << bad;
}

TEST(KobrelNames, TemporaryFilesOfAnyRun) {
  for (const char* temp : {".setup.sh.4711-0.tmp", ".nowver.ini.1-99.tmp", ".a.b.c.12-3.tmp"})
    EXPECT_TRUE(IsTempFileName(temp)) << temp;
  for (const char* other : {"setup.sh.4711-0.tmp", ".setup.sh.tmp", ".4711-0.tmp", "..4711-0.tmp", ".x.12-.tmp",
                            ".x.-1.tmp", ".x.1a-0.tmp", ".x.1-0.tmp~", ".kobrel.lock"})
    EXPECT_FALSE(IsTempFileName(other)) << other;
}

TEST(KobrelLimits, SettingsAreWholePositiveNumbers) {
  EXPECT_EQ(ParseDeadline("2"), 2);
  EXPECT_EQ(ParseDeadline("604800"), 604800);
  for (const char* bad : {"", "0", "-5", "+5", "2s", "1.5", " 2", "604801", "99999999999999999999"})
    EXPECT_EQ(ParseDeadline(bad), std::nullopt) << bad;
  EXPECT_EQ(ParseByteCount("18446744073709551615"), UINT64_MAX);
  for (const char* bad : {"", "0", "-1", "4k", "18446744073709551616"}) EXPECT_EQ(ParseByteCount(bad), std::nullopt) << bad;
}

TEST(KobrelAddresses, OnlyHttpAndHttps) {
  for (const char* good : {"http://h", "HTTPS://h:8080/dova/new.htm", "http://127.0.0.1:9/x?y#z"})
    EXPECT_TRUE(IsHttpUrl(good)) << good;
  for (const char* bad : {"", "http://", "http:///x", "https://?x", "file:///etc/passwd", "ftp://h/x", "httpx://h",
                          " http://h", "http://h/a b", "//h/x", "h/x"})
    EXPECT_FALSE(IsHttpUrl(bad)) << bad;
  EXPECT_EQ(DescriptionUrl("http://h:1"), "http://h:1/dova/new.htm");
  EXPECT_EQ(DescriptionUrl("http://h:1//"), "http://h:1/dova/new.htm");
}

}  // namespace
