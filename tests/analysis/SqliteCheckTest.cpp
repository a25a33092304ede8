// Databases of many shapes made by sqlite3: page sizes from 512 bytes to
// 64 KiB, overflow chains, indexes, tables without row ids, a schema over
// several pages, a freelist, auto-vacuum's pointer maps. Whole, none is
// damaged; with any one cluster replaced, none is verified.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "analysis/FileSize.h"
#include "support/FoundExtent.h"
#include "support/LostImages.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

TFileExtent SqliteExtent(const std::string& bytes, std::uint32_t cluster) {
  return test::FoundExtent("SQLITE", bytes, cluster);
}

TEST(SqliteCheck, DatabasesOfEveryShapeAreNeverDamagedWholeAndNeverVerifiedWithAClusterReplaced) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  test::TempDir dir;
  const std::string rows = "with recursive c(x) as (select 1 union all select x + 1 from c where x < 300) ";
  const std::vector<std::string> scripts = {
      // Small pages: overflow chains, an index, pointer maps.
      "pragma page_size=512; pragma auto_vacuum=full; create table t(a integer primary key, b, c); "
      "create index i on t(c); " + rows + "insert into t select x, randomblob(x * 7 % 1500), hex(randomblob(x % 40)) from c;",
      // A schema of many tables over several pages, a table without row ids,
      // rows deleted onto the freelist.
      "pragma page_size=1024; create table w(k text primary key, v) without rowid; " + rows +
      "insert into w select hex(randomblob(12)), randomblob(x % 300) from c; " +
      [] {
        std::string s;
        for (int i = 0; i < 40; ++i) s += "create table t" + std::to_string(i) + "(a, b, c, d, e, f); ";
        return s;
      }() + rows + "insert into t3 select x, randomblob(900), x, x, x, x from c; delete from t3 where a % 3 = 0;",
      // Large pages and large blobs.
      "pragma page_size=65536; create table t(a, b); " + rows + "insert into t select x, randomblob(x * 37) from c;",
      "create table t(a, b); create index j on t(b); " + rows +
      "insert into t select x, randomblob(x * 41 % 9000) from c; delete from t where a > 200;",
  };
  int verified = 0, tried = 0, replaced = 0, caught = 0;
  for (std::size_t s = 0; s < scripts.size(); ++s) {
    const std::string db = dir / ("d" + std::to_string(s) + ".sqlite");
    test::ImageTool("sqlite3 " + test::ShellQuote(db) + " " + test::ShellQuote(scripts[s]));
    const std::string bytes = test::ReadFile(db);
    for (const std::uint32_t cluster : {512u, 4096u, 16384u}) {
      SCOPED_TRACE("database " + std::to_string(s) + ", clusters of " + std::to_string(cluster));
      const TFileExtent whole = SqliteExtent(bytes, cluster);
      ASSERT_EQ(whole.Size, bytes.size());
      EXPECT_TRUE(whole.Verdict == vdVerified || whole.Verdict == vdPlausible)
          << VerdictName(whole.Verdict) << " at " << whole.BadOffset;
      verified += whole.Verdict == vdVerified;
      ++tried;
      // Every cluster but the first in turn: bytes of text, then of noise.
      const std::size_t clusters = (bytes.size() + cluster - 1) / cluster;
      for (std::size_t c = 1; c < clusters; c += std::max<std::size_t>(1, clusters / 40)) {
        for (const std::string& piece : {std::string(cluster, 'x'), test::Pattern(static_cast<std::uint32_t>(c), cluster)}) {
          std::string broken = bytes;
          broken.replace(c * cluster, std::min<std::size_t>(cluster, bytes.size() - c * cluster), piece, 0,
                         std::min<std::size_t>(cluster, bytes.size() - c * cluster));
          const TFileExtent damaged = SqliteExtent(broken, cluster);
          EXPECT_NE(damaged.Verdict, vdVerified) << "cluster " << c;
          ++replaced;
          caught += damaged.Verdict == vdDamaged;
        }
      }
    }
  }
  std::printf("verified %d of %d whole, damaged %d of %d broken\n", verified, tried, caught, replaced);
  EXPECT_GT(verified, 0);
}

// A whole page of another database of the same table (clusters as large as
// pages): every structure in it holds, but its row ids are not those its
// parent's keys allow.
TEST(SqliteCheck, ALeafOfAnotherDatabaseIsDamageByItsRowIds) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  test::TempDir dir;
  const std::string rows = "with recursive c(x) as (select 1 union all select x + 1 from c where x < 300) ";
  test::ImageTool("sqlite3 " + test::ShellQuote(dir / "a.db") + " 'create table t(a, b); " + rows +
                  "insert into t select x, randomblob(200) from c;' && sqlite3 " + test::ShellQuote(dir / "b.db") +
                  " 'create table t(a, b); " + rows + "insert into t(rowid, a, b) select x + 5000, x, randomblob(200) from c;'");
  const std::string a = test::ReadFile(dir / "a.db"), b = test::ReadFile(dir / "b.db");
  constexpr std::size_t kPage = 4096;
  ASSERT_EQ(a.size(), b.size());
  ASSERT_EQ(a[5 * kPage], 13);  // a table leaf in both
  ASSERT_EQ(b[5 * kPage], 13);
  ASSERT_EQ(SqliteExtent(a, kPage).Verdict, vdVerified);
  std::string mixed = a;
  mixed.replace(5 * kPage, kPage, b, 5 * kPage, kPage);
  const TFileExtent e = SqliteExtent(mixed, kPage);
  EXPECT_EQ(e.Verdict, vdDamaged) << VerdictName(e.Verdict);
  EXPECT_EQ(e.BadOffset, 5 * kPage);
}

}  // namespace
}  // namespace vantrel
