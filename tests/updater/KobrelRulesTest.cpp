// Release numbers, release file names and the addresses kobrel accepts.

#include "Download.h"
#include "Launch.h"
#include "ReleaseNumber.h"
#include "Sha256.h"
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
  for (const char* good : {"setup.sh", "vantrel-1.9.run", "a b", "..x"}) EXPECT_TRUE(IsPlainFileName(good)) << good;
#ifndef _WIN32
  EXPECT_TRUE(IsPlainFileName("x.."));  // Windows would drop the dots
#endif
  for (const char* bad : {"", ".", "..", "../x", "a/b", "/etc/x", "a\\b", "..\\x", "x\n", "x\ty"})
    EXPECT_FALSE(IsPlainFileName(bad)) << bad;
}

#ifdef _WIN32
// Names that Windows reads as another file, a stream, a drive or a device.
TEST(KobrelNames, WindowsNamesThatLeadElsewhere) {
  for (const char* good : {"setup.exe", "vantrel 1.9.exe", "console.exe", "nul_setup.exe", "com10.exe", "..x"})
    EXPECT_TRUE(IsPlainFileName(good)) << good;
  for (const char* bad : {"c:setup.exe", "setup.exe:stream", "set*.exe", "a?b", "a<b", "a>b", "a|b", "a\"b", "x..",
                          "nowver.ini.", "new.htm ", "NUL", "nul.txt", "Con", "aux .exe", "prn", "COM1", "lpt9.exe"})
    EXPECT_FALSE(IsPlainFileName(bad)) << bad;
}
#endif

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

// Where a redirect may lead: resolved against the address it came from,
// only to http or https, and from https only to https.
TEST(KobrelAddresses, RedirectsStayOnHttpAndNeverLeaveHttps) {
  const std::string from = "http://h:8/dova/new.htm?x=1";
  EXPECT_EQ(RedirectTarget(from, "https://other/a"), "https://other/a");
  EXPECT_EQ(RedirectTarget(from, "//other/a"), "http://other/a");
  EXPECT_EQ(RedirectTarget(from, "/files/setup.exe"), "http://h:8/files/setup.exe");
  EXPECT_EQ(RedirectTarget(from, "setup.exe#part"), "http://h:8/dova/setup.exe");
  EXPECT_EQ(RedirectTarget(from, "?y=2"), "http://h:8/dova/new.htm?y=2");
  EXPECT_EQ(RedirectTarget("http://h", "a"), "http://h/a");
  EXPECT_EQ(RedirectTarget("https://h/x", "https://h/y"), "https://h/y");
  EXPECT_EQ(RedirectTarget("https://h/x", "/y"), "https://h/y");
  EXPECT_EQ(RedirectTarget("https://h/x", "//h/y"), "https://h/y");
  for (const char* refused : {"http://h/y", "HTTP://h/y", "file:///etc/passwd", "ftp://h/y", "http:", "http://h/a b"})
    EXPECT_EQ(RedirectTarget("https://h/x", refused), "") << refused;
  for (const char* refused : {"file:///etc/passwd", "ftp://h/y", "javascript:x", "http://", "//"})
    EXPECT_EQ(RedirectTarget(from, refused), "") << refused;
}

TEST(KobrelSha256, KnownDigestsAcrossBlockEdges) {
  const auto digest = [](std::string_view data, std::size_t piece) {
    TSha256 hash;
    for (std::size_t at = 0; at < data.size(); at += piece) hash.Update(data.substr(at, piece));
    return hash.HexDigest();
  };
  EXPECT_EQ(digest("", 1), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(digest("abc", 1), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 7),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  // Lengths around the point where the length no longer fits the last block.
  const std::pair<std::size_t, const char*> edges[] = {
      {55, "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {56, "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {63, "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {64, "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {119, "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
      {120, "2f3d335432c70b580af0e8e1b3674a7c020d683aa5f73aaaedfdc55af904c21c"}};
  for (const auto& [size, expected] : edges)
    for (const std::size_t piece : {std::size_t{1}, std::size_t{63}, size})
      EXPECT_EQ(digest(std::string(size, 'a'), piece), expected) << size << " in pieces of " << piece;
  std::string bytes;
  for (int i = 0; i < 5 * 256; ++i) bytes += static_cast<char>(i & 0xFF);
  EXPECT_EQ(digest(bytes, 100), "d414b085826eb06778483ba35564dc849e643359f69ed9747878ba6e54985bed");
  EXPECT_EQ(digest(std::string(1000000, 'a'), 65536), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace
