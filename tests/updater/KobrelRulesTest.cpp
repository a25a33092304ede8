// Release numbers, release file names and the addresses kobrel accepts.

#include "Download.h"
#include "Launch.h"
#include "ReleaseNumber.h"
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
