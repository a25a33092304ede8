// TAR archives of every format tar writes: many small members, whose
// headers lie in every cluster, are verified; one long member leaves its
// clusters unchecked; a cluster of headers replaced, or a pax record whose
// length misses, is damage.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "analysis/FileSize.h"
#include "support/FoundExtent.h"
#include "support/LostImages.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

constexpr std::uint32_t kCluster = 2048;

TFileExtent TarExtent(const std::string& bytes) { return test::FoundExtent("TAR", bytes, kCluster); }

TEST(TarCheck, HeadersInEveryClusterVerifyTheArchiveAndABrokenOneIsDamage) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  test::TempDir dir;
  // Small files with names past 100 characters (a GNU long name, a pax path).
  const std::string deep = std::string(60, 'd') + "/" + std::string(70, 'e');
  test::ImageTool("mkdir -p " + test::ShellQuote(dir / ("t/" + deep)) + " && for i in $(seq 1 40); do seq $i 3 $((i * 20)) > " +
                  test::ShellQuote(dir / ("t/" + deep)) + "/file-$i.txt; done");
  test::WriteFile(dir / "big.bin", test::Pattern(9, 20000));
  for (const std::string format : {"ustar", "gnu", "pax"}) {
    SCOPED_TRACE(format);
    const std::string small = dir / ("s-" + format + ".tar"), large = dir / ("l-" + format + ".tar");
    test::ImageTool("tar --format=" + format + " -C " + test::ShellQuote(dir / "t") + " -cf " + test::ShellQuote(small) +
                    " . && tar --format=" + format + " -C " + test::ShellQuote(dir.Path().string()) + " -cf " +
                    test::ShellQuote(large) + " big.bin");
    const std::string bytes = test::ReadFile(small);
    const TFileExtent whole = TarExtent(bytes);
    ASSERT_EQ(whole.Size, bytes.size());
    EXPECT_EQ(whole.Verdict, vdVerified) << VerdictName(whole.Verdict);
    EXPECT_EQ(TarExtent(test::ReadFile(large)).Verdict, vdPlausible);
    std::string broken = bytes;
    broken.replace(3 * kCluster, kCluster, test::Pattern(5, kCluster));
    const TFileExtent damaged = TarExtent(broken);
    EXPECT_EQ(damaged.Verdict, vdDamaged) << VerdictName(damaged.Verdict);
    EXPECT_GE(damaged.BadOffset, 3u * kCluster);
    if (format == "pax") {
      // A record's length one more, its header's checksum made to match.
      const std::size_t record = bytes.find(" path=");
      ASSERT_NE(record, std::string::npos);
      std::string longer = bytes;
      std::size_t digit = record - 1;
      longer[digit] = static_cast<char>(longer[digit] + 1);
      const std::size_t header = digit / 512 * 512 - 512;
      unsigned sum = 0;
      for (std::size_t i = 0; i < 512; ++i) sum += (i >= 148 && i < 156) ? ' ' : static_cast<std::uint8_t>(longer[header + i]);
      char field[8];
      std::snprintf(field, sizeof field, "%06o", sum);
      longer.replace(header + 148, 6, field, 6);
      const TFileExtent e = TarExtent(longer);
      EXPECT_EQ(e.Verdict, vdDamaged);
      EXPECT_EQ(e.BadOffset, header + 512);
    }
  }
}

}  // namespace
}  // namespace vantrel
