// H.264 movies made by ffmpeg with libx264, CAVLC and CABAC, in every shape
// it writes (I, P and B slices, one or several slices a frame, 8x8
// transforms, weighted prediction, monochrome): whole ones are verified
// through their slices' macroblocks, any cluster of them replaced is never
// verified and nearly always damaged; an interlaced movie, whose macroblocks
// are not parsed, is left as its headers show it, never taken for damaged.

#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <string>
#include <vector>

#include "analysis/AvcSliceCheck.h"
#include "analysis/FileBytes.h"
#include "analysis/FileSize.h"
#include "analysis/SliceQueue.h"
#include "support/FoundExtent.h"
#include "support/LostImages.h"
#include "support/TempDir.h"

namespace vantrel {
namespace {

constexpr std::uint32_t kCluster = 2048;

struct Movie {
  std::string name, bytes;
};

const std::vector<Movie>& Movies() {
  static const std::vector<Movie> movies = [] {
    const std::string dir = test::MadeOnce("avc-slices", [](const std::string& d) {
      const std::string ff = "cd " + test::ShellQuote(d) + " && ffmpeg -nostdin -loglevel error -y -fflags +bitexact ";
      // Moving noise over the test picture: frames of several clusters each.
      auto src = [](const char* size, const char* seconds) {
        return std::string("-f lavfi -i testsrc2=s=") + size + ":d=" + seconds + ",noise=alls=10:allf=t ";
      };
      const std::string x264 = "-c:v libx264 -pix_fmt yuv420p ";
      test::ImageTool(ff + src("256x192", "1") + "-f lavfi -i sine=f=300 -shortest " + x264 +
                      "-preset ultrafast -crf 18 -c:a aac u18.mp4");
      test::ImageTool(ff + src("176x144", "2") + x264 + "-preset ultrafast -crf 34 u34.mov");
      test::ImageTool(ff + src("208x120", "1") + x264 + "-profile:v baseline -crf 26 base.mp4");
      test::ImageTool(ff + src("256x192", "1") + x264 + "-preset ultrafast -crf 24 -x264-params slices=4 slices.mov");
      test::ImageTool(ff + src("256x144", "1") + x264 +
                      "-preset medium -crf 26 -x264-params cabac=0:bframes=2:ref=3:weightp=2 bframes.mp4");
      test::ImageTool(ff + src("160x96", "1") + x264 + "-preset ultrafast -crf 30 -g 1 intra.mp4");
      test::ImageTool(ff + src("160x128", "1") + "-c:v libx264 -pix_fmt gray -preset ultrafast -crf 28 gray.mp4");
      test::ImageTool(ff + src("256x144", "1") + x264 + "-preset veryfast -crf 24 cabac.mp4");
      test::ImageTool(ff + src("240x160", "1") + x264 +
                      "-preset slow -crf 22 -x264-params slices=2:b-pyramid=normal:weightp=2 cabac.mov");
      test::ImageTool(ff + src("160x128", "1") + "-c:v libx264 -pix_fmt gray -preset medium -crf 26 cabacgray.mp4");
      test::ImageTool(ff + src("256x144", "1") + x264 + "-preset veryfast -crf 24 -flags +ildct+ilme interlaced.mp4");
    });
    std::vector<Movie> out;
    for (const char* name : {"u18.mp4", "u34.mov", "base.mp4", "slices.mov", "bframes.mp4", "intra.mp4", "gray.mp4",
                             "cabac.mp4", "cabac.mov", "cabacgray.mp4", "interlaced.mp4"})
      out.push_back({name, test::ReadFile(dir + "/" + name)});
    return out;
  }();
  return movies;
}

std::string TypeOf(const std::string& name) { return name.ends_with(".mov") ? "MOV" : "MP4"; }

TFileExtent ExtentOf(const Movie& m, const std::string& bytes) { return test::FoundExtent(TypeOf(m.name), bytes, kCluster); }

TEST(AvcSliceCheck, WholeMoviesAreVerifiedAndNoClusterOfThemCanBeReplacedUnseen) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  std::mt19937 random(264);
  const auto& movies = Movies();
  for (std::size_t i = 0; i + 1 < movies.size(); ++i) {
    const Movie& m = movies[i];
    SCOPED_TRACE(m.name);
    const TFileExtent whole = ExtentOf(m, m.bytes);
    ASSERT_EQ(whole.Size, m.bytes.size());
    EXPECT_EQ(whole.Verdict, vdVerified) << VerdictName(whole.Verdict) << " at " << whole.BadOffset;
    // Every cluster in turn replaced: by noise, or by the same place of
    // another movie (valid slice data of another stream).
    const Movie& other = movies[(i + 1) % (movies.size() - 1)];
    const std::size_t clusters = (m.bytes.size() + kCluster - 1) / kCluster;
    ASSERT_GE(clusters, 8u);
    int damaged = 0, tried = 0;
    for (std::size_t c = 1; c < clusters; ++c) {
      std::string broken = m.bytes;
      const std::size_t from = c * kCluster, to = std::min(broken.size(), from + kCluster);
      for (std::size_t k = from; k < to; ++k)
        broken[k] = c % 2 == 0 || k >= other.bytes.size() ? static_cast<char>(random()) : other.bytes[k];
      if (broken == m.bytes) continue;
      ++tried;
      const TFileExtent e = ExtentOf(m, broken);
      EXPECT_NE(e.Verdict, vdVerified) << "cluster " << c;
      if (e.Verdict == vdDamaged) {
        ++damaged;
        EXPECT_LT(e.BadOffset, m.bytes.size());
      }
    }
    EXPECT_GE(damaged * 4, tried * 3) << damaged << " of " << tried << " damaged";
  }
}

// Slices parsed on the workers beside the reading, with few bytes let wait
// so that the reading waits for them too, give every movie with any
// cluster replaced the verdict and the first bad offset that parsing one
// slice after the other gives.
TEST(AvcSliceCheck, SlicesParsedBesideTheReadingFindWhatOneAfterTheOtherFinds) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  std::mt19937 random(265);
  const auto& movies = Movies();
  struct Reset {
    ~Reset() { TSliceQueue::SetParallel(true); }
  } reset;
  int compared = 0;
  for (std::size_t i = 0; i < movies.size(); ++i) {
    const Movie& m = movies[i];
    SCOPED_TRACE(m.name);
    const std::size_t clusters = (m.bytes.size() + kCluster - 1) / kCluster;
    for (std::size_t c = 0; c <= clusters; c += 3) {
      std::string broken = m.bytes;
      for (std::size_t k = c * kCluster; k < std::min(broken.size(), (c + 1) * kCluster); ++k)
        broken[k] = static_cast<char>(random());
      TSliceQueue::SetParallel(false);
      const TFileExtent serial = ExtentOf(m, broken);
      TSliceQueue::SetParallel(true, 3 * kCluster);
      const TFileExtent parallel = ExtentOf(m, broken);
      EXPECT_EQ(serial.Verdict, parallel.Verdict) << "cluster " << c;
      EXPECT_EQ(serial.BadOffset, parallel.BadOffset) << "cluster " << c;
      ++compared;
    }
  }
  EXPECT_GT(compared, 100);
}

// One bit changed inside a slice larger than a cluster (where no NAL unit
// header nor slice header lies) is mostly damage inside that slice, after
// the bit (a changed sign or level parses as well as the right one).
TEST(AvcSliceCheck, ABitChangedInsideASliceIsDamageInThatSlice) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  const Movie& m = Movies()[0];
  ASSERT_EQ(m.name, "u18.mp4");
  // The first video sample (after audio): x264's SEI, then the IDR slice, each after its length.
  auto be32 = [&](std::size_t at) {
    std::uint32_t v = 0;
    for (int k = 0; k < 4; ++k) v = v << 8 | static_cast<std::uint8_t>(m.bytes[at + k]);
    return v;
  };
  std::size_t sliceAt = 0, sliceEnd = 0;
  for (std::size_t p = m.bytes.find("mdat"); sliceAt == 0 && p + 5 < m.bytes.size(); ++p) {
    if (m.bytes[p + 4] != 0x06 || be32(p) > m.bytes.size() - p - 9) continue;
    const std::size_t q = p + 4 + be32(p);
    if (m.bytes[q + 4] == 0x65 && be32(q) <= m.bytes.size() - q - 4) sliceAt = q, sliceEnd = q + 4 + be32(q);
  }
  ASSERT_GT(sliceEnd - sliceAt, 3 * kCluster);
  int damaged = 0, tried = 0;
  for (std::size_t at = sliceAt + 64; at + 64 < sliceEnd; at += 499, ++tried) {
    std::string broken = m.bytes;
    broken[at] = static_cast<char>(broken[at] ^ 0x10);
    const TFileExtent e = ExtentOf(m, broken);
    if (e.Verdict != vdDamaged) continue;
    ++damaged;
    EXPECT_GE(e.BadOffset, at);
    EXPECT_LT(e.BadOffset, sliceEnd);
  }
  EXPECT_GE(damaged * 2, tried) << damaged << " of " << tried << " damaged";
}

// The slice check on its own, over NAL units taken from a movie: zero bytes
// after the trailing bits (which muxers that take NAL units from a byte
// stream keep) leave a slice whole; a slice cut short, or one whose
// parameter sets are missing, is not.
TEST(AvcSliceCheck, ASliceEndsAtItsTrailingBitsWhateverZeroBytesFollow) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  const std::string& movie = Movies()[1].bytes;
  ASSERT_EQ(Movies()[1].name, "u34.mov");
  auto be = [&](std::size_t at, int bytes) {
    std::uint32_t v = 0;
    for (int k = 0; k < bytes; ++k) v = v << 8 | static_cast<std::uint8_t>(movie[at + k]);
    return v;
  };
  // The parameter sets of the avcC record, then the first IDR slice after an SEI.
  const std::size_t avcc = movie.find("avcC") + 4;
  ASSERT_EQ(be(avcc + 5, 1) & 0x1F, 1u);
  const std::size_t spsLength = be(avcc + 6, 2), ppsAt = avcc + 8 + spsLength + 1;
  const std::string sps = movie.substr(avcc + 8, spsLength), pps = movie.substr(ppsAt + 2, be(ppsAt, 2));
  std::string slice;
  for (std::size_t p = movie.find("mdat"); slice.empty() && p + 5 < movie.size(); ++p) {
    if (movie[p + 4] != 0x06 || be(p, 4) > movie.size() - p - 9) continue;
    const std::size_t q = p + 4 + be(p, 4);
    if (movie[q + 4] == 0x65 && be(q, 4) <= movie.size() - q - 4) slice = movie.substr(q + 4, be(q, 4));
  }
  ASSERT_GT(slice.size(), 100u);
  auto check = [&](const std::string& nal, bool withSets) {
    const std::string bytes = sps + pps + nal;
    TMemoryClusterSource source(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), kCluster);
    FileBytes b(source);
    TAvcSliceCheck avc;
    if (withSets) {
      avc.ParameterSet(b, 0, sps.size());
      avc.ParameterSet(b, sps.size(), pps.size());
    }
    std::uint64_t bad = 0;
    return avc.Slice(b, sps.size() + pps.size(), nal.size(), bad);
  };
  EXPECT_EQ(check(slice, true), TAvcResult::Whole);
  EXPECT_EQ(check(slice + std::string(3, '\0'), true), TAvcResult::Whole);
  EXPECT_EQ(check(slice, false), TAvcResult::Unchecked);
  EXPECT_EQ(check(slice.substr(0, slice.size() - 1), true), TAvcResult::Damaged);
  EXPECT_EQ(check(slice.substr(0, slice.size() / 2), true), TAvcResult::Damaged);
  // A start code inside a NAL unit is damage where it lies.
  std::string started = slice;
  started.replace(slice.size() / 2, 3, std::string("\0\0\1", 3));
  EXPECT_EQ(check(started, true), TAvcResult::Damaged);
}

// NAL units written bit by bit: a picture of one macroblock (Intra_16x16
// with no coefficients) parses whole; a picture too large for any level
// forgets its parameter sets, and a macroblock type, a first macroblock or
// bits that cannot be are damage.
class TBitWriter {
 public:
  void Bits(std::uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) Bit(v >> i & 1);
  }
  void Ue(std::uint32_t v) {
    const std::uint32_t x = v + 1;
    const int n = 32 - std::countl_zero(x);
    Bits(0, n - 1);
    Bits(x, n);
  }
  std::string Nal() {
    Bit(1);  // the stop bit
    while (bits_ % 8 != 0) Bit(0);
    return bytes_;
  }

 private:
  void Bit(std::uint32_t b) {
    if (bits_ % 8 == 0) bytes_.push_back('\0');
    if (b) bytes_.back() = static_cast<char>(bytes_.back() | 0x80 >> (bits_ % 8));
    ++bits_;
  }
  std::string bytes_;
  std::size_t bits_ = 0;
};

std::string Sps(std::uint32_t widthMbs, std::uint32_t heightMbs, bool frameMbsOnly = true) {
  TBitWriter w;
  w.Bits(0x67, 8);
  w.Bits(66, 8);  // Baseline
  w.Bits(0, 8);
  w.Bits(30, 8);
  w.Ue(0);  // seq_parameter_set_id
  w.Ue(0);  // log2_max_frame_num_minus4
  w.Ue(2);  // pic_order_cnt_type
  w.Ue(1);  // max_num_ref_frames
  w.Bits(0, 1);
  w.Ue(widthMbs - 1);
  w.Ue(heightMbs - 1);
  w.Bits(frameMbsOnly ? 1 : 0, 1);
  if (!frameMbsOnly) w.Bits(0, 1);
  w.Bits(1, 1);  // direct_8x8_inference_flag
  w.Bits(0, 2);  // no cropping, no VUI
  return w.Nal();
}

std::string Pps() {
  TBitWriter w;
  w.Bits(0x68, 8);
  w.Ue(0);
  w.Ue(0);
  w.Bits(0, 2);  // CAVLC, no bottom field order
  w.Ue(0);       // one slice group
  w.Ue(0);
  w.Ue(0);
  w.Bits(0, 3);
  w.Ue(0);  // pic_init_qp_minus26, pic_init_qs_minus26, chroma_qp_index_offset: se 0
  w.Ue(0);
  w.Ue(0);
  w.Bits(1, 1);  // deblocking_filter_control_present_flag
  w.Bits(0, 2);
  return w.Nal();
}

// An IDR I slice from firstMb of macroblocks of mbType, Intra_16x16 with
// no coefficients: chroma prediction, mb_qp_delta and an empty DC block.
std::string Slice(std::uint32_t firstMb, int macroblocks, std::uint32_t mbType = 1, bool extraBit = false) {
  TBitWriter w;
  w.Bits(0x65, 8);
  w.Ue(firstMb);
  w.Ue(7);  // I, every slice of the picture
  w.Ue(0);
  w.Bits(0, 4);  // frame_num
  w.Ue(0);       // idr_pic_id
  w.Bits(0, 2);  // dec_ref_pic_marking
  w.Ue(0);       // slice_qp_delta
  w.Ue(1);       // disable_deblocking_filter_idc
  for (int i = 0; i < macroblocks; ++i) {
    w.Ue(mbType);
    w.Ue(0);
    w.Ue(0);
    w.Bits(1, 1);  // coeff_token: no coefficients
  }
  if (extraBit) w.Bits(1, 1);
  return w.Nal();
}

TEST(AvcSliceCheck, HandWrittenSlicesParseToTheirEndAndNoFurther) {
  auto check = [](const std::string& sps, const std::string& slice) {
    const std::string pps = Pps(), bytes = sps + pps + slice;
    TMemoryClusterSource source(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), 512);
    FileBytes b(source);
    TAvcSliceCheck avc;
    avc.ParameterSet(b, 0, sps.size());
    avc.ParameterSet(b, sps.size(), pps.size());
    std::uint64_t bad = 0;
    return avc.Slice(b, sps.size() + pps.size(), slice.size(), bad);
  };
  EXPECT_EQ(check(Sps(1, 1), Slice(0, 1)), TAvcResult::Whole);
  EXPECT_EQ(check(Sps(4, 2), Slice(0, 8)), TAvcResult::Whole);
  EXPECT_EQ(check(Sps(4, 2), Slice(5, 3)), TAvcResult::Whole);
  // A macroblock past the picture, a slice starting past it, a type no I slice has.
  EXPECT_EQ(check(Sps(4, 2), Slice(5, 4)), TAvcResult::Damaged);
  EXPECT_EQ(check(Sps(4, 2), Slice(8, 1)), TAvcResult::Damaged);
  EXPECT_EQ(check(Sps(1, 1), Slice(0, 1, 26)), TAvcResult::Damaged);
  // A bit left over after the last macroblock.
  EXPECT_EQ(check(Sps(1, 1), Slice(0, 1, 1, true)), TAvcResult::Damaged);
  // Pictures larger than any level holds, and interlaced ones, are not parsed.
  EXPECT_EQ(check(Sps(1000, 1000), Slice(0, 1)), TAvcResult::Unchecked);
  EXPECT_EQ(check(Sps(5000, 1), Slice(0, 1)), TAvcResult::Unchecked);
  EXPECT_EQ(check(Sps(1, 1, false), Slice(0, 1)), TAvcResult::Unchecked);
}

// Interlaced pictures are not parsed: frames larger than a cluster leave the
// movie unverified, and it is never taken for damaged.
TEST(AvcSliceCheck, InterlacedSlicesAreLeftUncheckedNeverDamaged) {
  VANTREL_SKIP_WITHOUT_HOST_TOOLS();
  const Movie& m = Movies().back();
  ASSERT_EQ(m.name, "interlaced.mp4");
  const TFileExtent e = ExtentOf(m, m.bytes);
  EXPECT_EQ(e.Size, m.bytes.size());
  EXPECT_EQ(e.Verdict, vdPlausible) << VerdictName(e.Verdict);
}

}  // namespace
}  // namespace vantrel
