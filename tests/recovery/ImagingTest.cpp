// Imaging a disk held in memory with bad sectors: every good byte rescued,
// no bad sector read more than twice, the chosen areas first, and a run
// stopped part way resumed from its map.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "recovery/Imaging.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

class MemorySource : public IImagingSource {
 public:
  MemorySource(std::uint64_t sectors, std::set<std::uint64_t> bad) : data_(test::Pattern(7, sectors * 512)), bad_(std::move(bad)) {}
  std::uint64_t Size() const override { return data_.size(); }
  std::uint32_t SectorSize() const override { return 512; }
  bool Read(std::uint64_t pos, std::uint32_t size, std::uint8_t* buffer) override {
    order.push_back(pos);
    bool ok = true;
    for (std::uint64_t s = pos / 512; s < (pos + size) / 512; ++s) {
      ++reads[s];
      if (bad_.count(s)) ok = false;
    }
    if (ok) std::copy_n(data_.data() + pos, size, buffer);
    return ok;
  }
  std::string data_;
  std::set<std::uint64_t> bad_;
  std::map<std::uint64_t, unsigned> reads;
  std::vector<std::uint64_t> order;
};

std::set<std::uint64_t> BadSectors() {
  std::set<std::uint64_t> bad{5, 700, 701, 702, 4095};
  for (std::uint64_t s = 2000; s < 2300; ++s) bad.insert(s);  // a large bad area
  return bad;
}

void ExpectRescued(const MemorySource& source, const std::string& image, const TRescueMap& map) {
  const std::string got = test::ReadFile(image);
  ASSERT_EQ(got.size(), source.data_.size());
  for (std::uint64_t s = 0; s < source.Size() / 512; ++s) {
    const bool bad = source.bad_.count(s) != 0;
    EXPECT_EQ(map.StatusAt(s * 512), bad ? rsBadSector : rsFinished) << "sector " << s;
    if (!bad) {
      EXPECT_EQ(got.compare(s * 512, 512, source.data_, s * 512, 512), 0) << "sector " << s;
    }
  }
}

TEST(Imaging, EveryGoodByteIsRescuedAndNoBadSectorReadMoreThanTwice) {
  test::TempDir dir;
  MemorySource source(4096, BadSectors());
  TRescueMap map(source.Size());
  TImagingOptions options;
  options.MapPath = dir / "m.map";
  TImager imager(source, dir / "m.img", map, options);
  ASSERT_TRUE(imager.OpenTarget(true));
  EXPECT_EQ(imager.Run(), TImagingResult::Finished);
  ExpectRescued(source, dir / "m.img", map);
  for (auto s : source.bad_) EXPECT_LE(source.reads[s], 2u) << "sector " << s;
  EXPECT_EQ(map.BadAreas(), 4u);
  // The map on disk is the final one.
  TRescueMap saved;
  std::string error;
  ASSERT_TRUE(TRescueMap::Load(dir / "m.map", source.Size(), saved, error)) << error;
  EXPECT_EQ(saved.BytesWith(rsBadSector), source.bad_.size() * 512);
}

TEST(Imaging, ChosenAreasComeFirstAndAStoppedRunResumesFromItsMap) {
  test::TempDir dir;
  MemorySource source(4096, BadSectors());
  TRescueMap map(source.Size());
  TImagingOptions options;
  options.MapPath = dir / "r.map";
  options.First = {{3000 * 512, 64 * 512}, {1000 * 512, 8 * 512}};
  int reads = 0;
  options.Cancelled = [&] { return ++reads >= 20; };
  {
    TImager imager(source, dir / "r.img", map, options);
    ASSERT_TRUE(imager.OpenTarget(true));
    EXPECT_EQ(imager.Run(), TImagingResult::Cancelled);
  }
  // The chosen areas in order of position, before anything else.
  ASSERT_GE(source.order.size(), 2u);
  EXPECT_EQ(source.order[0], 1000u * 512);
  EXPECT_EQ(source.order[1], 3000u * 512);
  TRescueMap resumed;
  std::string error;
  ASSERT_TRUE(TRescueMap::Load(dir / "r.map", source.Size(), resumed, error)) << error;
  EXPECT_EQ(resumed.StatusAt(3000 * 512), rsFinished);
  EXPECT_LT(resumed.BytesWith(rsFinished), source.Size() / 2);
  options.Cancelled = nullptr;
  TImager again(source, dir / "r.img", resumed, options);
  ASSERT_TRUE(again.OpenTarget(false));
  EXPECT_EQ(again.Run(), TImagingResult::Finished);
  ExpectRescued(source, dir / "r.img", resumed);
  for (auto s : source.bad_) EXPECT_LE(source.reads[s], 2u) << "sector " << s;
}

}  // namespace
}  // namespace vantrel
