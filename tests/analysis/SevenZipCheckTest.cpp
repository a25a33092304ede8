// 7z archives made by 7z with every coder it offers for plain files: their
// folders are unpacked and every file's CRC compared. Whole, they are
// verified where the coders are LZMA, LZMA2 or Copy, never damaged; with
// a cluster replaced inside their packed streams, damaged.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "analysis/FileSize.h"
#include "support/FoundExtent.h"
#include "support/LostImages.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

constexpr std::uint32_t kCluster = 2048;

TFileExtent SevenZipExtent(const std::string& bytes) { return test::FoundExtent("7Z", bytes, kCluster); }

TEST(SevenZipCheck, FoldersUnpackWithTheirFilesCrcsAndAClusterReplacedIsDamage) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  test::TempDir dir;
  test::ImageTool("mkdir -p " + test::ShellQuote(dir / "t") + " && head -c 30000 /dev/urandom > " +
                  test::ShellQuote(dir / "t/a.bin") + " && seq 1 20000 > " + test::ShellQuote(dir / "t/b.txt") +
                  " && seq 5 7 90000 > " + test::ShellQuote(dir / "t/c.txt") + " && : > " +
                  test::ShellQuote(dir / "t/empty"));
  struct Case {
    std::string options;
    bool verified;
  };
  const std::vector<Case> cases = {
      {"-m0=LZMA2 -mx=5", true},        // solid, the header packed too
      {"-m0=LZMA -mx=9 -mhc=off", true},  // LZMA, a plain header
      {"-m0=Copy", true},
      {"-ms=off -mx=1", true},          // a folder for every file
      {"-m0=BCJ -m1=LZMA2", true},      // a branch converter before the coder
      {"-m0=BCJ2 -m1=LZMA -m2=LZMA", false},  // converters of several streams are not unpacked here
      {"-m0=PPMd", false},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].options);
    const std::string archive = dir / ("a" + std::to_string(i) + ".7z");
    test::ImageTool("cd " + test::ShellQuote(dir / "t") + " && 7z a -bd -bso0 -bsp0 " + cases[i].options + " " +
                    test::ShellQuote(archive) + " .");
    const std::string bytes = test::ReadFile(archive);
    const TFileExtent whole = SevenZipExtent(bytes);
    ASSERT_EQ(whole.Size, bytes.size());
    EXPECT_EQ(whole.Verdict, cases[i].verified ? vdVerified : vdPlausible) << VerdictName(whole.Verdict);
    // The second cluster lies in the packed streams, which start at 32.
    std::string broken = bytes;
    broken.replace(kCluster, kCluster, test::Pattern(3, kCluster));
    const TFileExtent damaged = SevenZipExtent(broken);
    EXPECT_NE(damaged.Verdict, vdVerified);
    if (cases[i].verified) {
      EXPECT_EQ(damaged.Verdict, vdDamaged) << VerdictName(damaged.Verdict);
      EXPECT_GE(damaged.BadOffset, 32u);
    }
  }
}

}  // namespace
}  // namespace vantrel
