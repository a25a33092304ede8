// The check of a VP8 key frame: the boolean entropy decoder run through the
// first partition (segments, loop filter, quantisers, the token probability
// updates, every macroblock's modes) and through the token partitions (the
// coefficient tokens of every block with their contexts). A boolean decoder
// reads any bytes without fault, so what tells damage is where each
// partition's decoder ends: an encoder flushes a few bits past its last
// symbol, and a stream with wrong bytes inside ends elsewhere. Not always:
// a decoder put out of step can fall back in step with the encoder, or end
// by chance where the flush ends; over 4581 clusters of 64 lossy files
// replaced in turn by another file's, 2 went untold.

#include <algorithm>
#include <array>
#include <vector>

#include "analysis/Vp8Tables.h"
#include "analysis/WebpCodec.h"

namespace vantrel {
namespace {

// How many bits past its last symbol a partition may run on (the encoder's
// flush: libwebp writes 9 to 17 zero decisions, then the bits to the byte;
// measured, 8 to 23 bits are left), and how far past its end a decoder may
// read while it decodes.
constexpr std::int64_t kMaxTailBits = 24;
constexpr int kMinFlushZeros = 8;
constexpr std::int64_t kMaxOverBits = 16;

// For a range less one, the shifts that bring the range back to 128 or
// more, and the range less one after them.
struct TNormTables {
  std::array<std::uint8_t, 256> shift{}, range{};
  constexpr TNormTables() {
    for (int r = 0; r < 256; ++r) {
      int s = 0;
      while (((r + 1) << s) < 128) ++s;
      shift[static_cast<std::size_t>(r)] = static_cast<std::uint8_t>(s);
      range[static_cast<std::size_t>(r)] = static_cast<std::uint8_t>((((r + 1) << s) - 1) & 0xFF);
    }
  }
};
constexpr TNormTables kNorm;
constexpr const std::array<std::uint8_t, 256>& kShift = kNorm.shift;
constexpr const std::array<std::uint8_t, 256>& kNewRange = kNorm.range;

class TBoolDecoder {
 public:
  TBoolDecoder() = default;
  TBoolDecoder(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size), size_(size) {}

  int Bit(int prob) {
    if (bits_ < 0) Load();
    // range_ is the range less one (127 to 254), as is the split.
    const std::uint32_t split = (range_ * static_cast<std::uint32_t>(prob)) >> 8;
    const std::uint64_t big = static_cast<std::uint64_t>(split + 1) << bits_;
    int bit = 0;
    if (value_ >= big) {
      range_ -= split + 1;
      value_ -= big;
      bit = 1;
    } else {
      range_ = split;
    }
    // Back to a range of 128 or more.
    const int shift = kShift[range_];
    range_ = kNewRange[range_];
    bits_ -= shift;
    return bit;
  }
  std::uint32_t Literal(int n) {
    std::uint32_t v = 0;
    while (n-- > 0) v = v << 1 | static_cast<std::uint32_t>(Bit(128));
    return v;
  }
  void Signed(int n) {
    Literal(n);
    Bit(128);
  }
  bool Flag() { return Bit(128) != 0; }
  // The bits of the partition left after the symbols read so far (negative
  // when the decoder has run past its end).
  std::int64_t TailBits() const {
    const std::int64_t loaded = static_cast<std::int64_t>(size_) + over_ - (end_ - p_);
    return static_cast<std::int64_t>(size_) * 8 - (loaded * 8 - bits_);
  }
  std::size_t Size() const { return size_; }

 private:
  void Load() {
    // Seven bytes at once while the partition has them: value_ holds at
    // most seven bits here.
    if (end_ - p_ >= 7) {
      std::uint64_t v = 0;
      for (int i = 0; i < 7; ++i) v = v << 8 | p_[i];
      p_ += 7;
      value_ = value_ << 56 | v;
      bits_ += 56;
      return;
    }
    while (bits_ <= 48) {
      std::uint8_t byte = 0;
      if (p_ < end_) byte = *p_++;
      else ++over_;
      value_ = value_ << 8 | byte;
      bits_ += 8;
    }
  }

  const std::uint8_t* p_ = nullptr;
  const std::uint8_t* end_ = nullptr;
  std::size_t size_ = 0;
  std::int64_t over_ = 0;
  std::uint64_t value_ = 0;
  int bits_ = -8;  // value_ holds 8 + bits_ bits not yet taken
  std::uint32_t range_ = 254;
};

// After the last symbol, the rest of a partition is the encoder's flush:
// decisions at even odds, each a zero, to the partition's end. After
// libwebp's flush, 8 or more of them are read back from no more than 24
// bits. A stream whose flush is shorter (libvpx leaves one to eight bits)
// or longer is read but not vouched for: a decoder put out of step by a
// wrong cluster ends at random, and a short flush tests too few bits to
// tell it.
enum class TFlush : std::uint8_t { Whole, Unsure, Wrong };
TFlush Flushed(TBoolDecoder t) {
  const std::int64_t tail = t.TailBits();
  if (tail < 0) return TFlush::Wrong;
  int zeros = 0;
  for (; t.TailBits() > 0; ++zeros)
    if (t.Bit(128)) return TFlush::Wrong;
  return zeros >= kMinFlushZeros && tail <= kMaxTailBits ? TFlush::Whole : TFlush::Unsure;
}

class TVp8Frame {
 public:
  TCodecCheck Check(const std::uint8_t* d, std::size_t n);

 private:
  const std::uint8_t* Probs(int type, int coeff, int ctx) const {
    return bands_[static_cast<std::size_t>(type)][static_cast<std::size_t>(coeff)] + ctx * vp8::kNodes;
  }
  int Coeffs(TBoolDecoder& br, int type, int ctx, int n) const;
  void Modes(int mbx, bool& i4, bool& skip);
  void Residuals(TBoolDecoder& br, int mbx, bool i4);

  TBoolDecoder first_;
  vp8::TCoeffTable probs_{};
  // The probabilities of each block type by coefficient position, through its band.
  std::array<std::array<const std::uint8_t*, 17>, vp8::kTypes> bands_{};
  std::array<int, 3> segmentProbs_{255, 255, 255};
  bool updateMap_ = false, useSkip_ = false;
  int skipProb_ = 0;
  // The 4x4 modes and the non-zero flags of the blocks above (per macroblock
  // column) and to the left; the left ones start afresh on every row.
  std::vector<std::array<std::uint8_t, 4>> topModes_;
  std::array<std::uint8_t, 4> leftModes_{};
  struct TNonZero {
    std::array<std::uint8_t, 4> y{};
    std::array<std::uint8_t, 2> u{}, v{};
    std::uint8_t dc = 0;
  };
  std::vector<TNonZero> topNz_;
  TNonZero leftNz_;
};

int TVp8Frame::Coeffs(TBoolDecoder& br, int type, int ctx, int n) const {
  const std::uint8_t* p = Probs(type, n, ctx);
  for (; n < 16; ++n) {
    if (!br.Bit(p[0])) return n;  // end of block
    while (!br.Bit(p[1])) {       // a zero coefficient
      if (++n == 16) return 16;
      p = Probs(type, n, 0);
    }
    int next = 1;
    if (br.Bit(p[2])) {
      next = 2;
      if (!br.Bit(p[3])) {
        if (br.Bit(p[4])) br.Bit(p[5]);
      } else if (!br.Bit(p[6])) {
        if (!br.Bit(p[7])) {
          br.Bit(159);
        } else {
          br.Bit(165);
          br.Bit(145);
        }
      } else {
        const int bit1 = br.Bit(p[8]);
        const int bit0 = br.Bit(p[9 + bit1]);
        switch (2 * bit1 + bit0) {
          case 0:
            for (std::uint8_t q : vp8::kCat3) br.Bit(q);
            break;
          case 1:
            for (std::uint8_t q : vp8::kCat4) br.Bit(q);
            break;
          case 2:
            for (std::uint8_t q : vp8::kCat5) br.Bit(q);
            break;
          default:
            for (std::uint8_t q : vp8::kCat6) br.Bit(q);
        }
      }
    }
    br.Bit(128);  // sign
    p = Probs(type, n + 1, next);
  }
  return 16;
}

void TVp8Frame::Modes(int mbx, bool& i4, bool& skip) {
  TBoolDecoder& br = first_;
  if (updateMap_) {
    if (!br.Bit(segmentProbs_[0])) br.Bit(segmentProbs_[1]);
    else br.Bit(segmentProbs_[2]);
  }
  skip = useSkip_ && br.Bit(skipProb_);
  auto& top = topModes_[static_cast<std::size_t>(mbx)];
  i4 = !br.Bit(145);
  if (!i4) {
    // DC, V, H or TM for the whole macroblock; the blocks take it as their mode.
    const std::uint8_t mode = br.Bit(156) ? (br.Bit(128) ? 1 : 3) : (br.Bit(163) ? 2 : 0);
    top.fill(mode);
    leftModes_.fill(mode);
  } else {
    for (int y = 0; y < 4; ++y) {
      int left = leftModes_[static_cast<std::size_t>(y)];
      for (int x = 0; x < 4; ++x) {
        const std::uint8_t* prob =
            vp8::kBModeProbs.data() + (top[static_cast<std::size_t>(x)] * vp8::kBModes + left) * (vp8::kBModes - 1);
        int i = vp8::kBModeTree[static_cast<std::size_t>(br.Bit(prob[0]))];
        while (i > 0) i = vp8::kBModeTree[static_cast<std::size_t>(2 * i + br.Bit(prob[i]))];
        left = -i;
        top[static_cast<std::size_t>(x)] = static_cast<std::uint8_t>(left);
      }
      leftModes_[static_cast<std::size_t>(y)] = static_cast<std::uint8_t>(left);
    }
  }
  if (br.Bit(142) && br.Bit(114)) br.Bit(183);  // the chroma mode
}

void TVp8Frame::Residuals(TBoolDecoder& br, int mbx, bool i4) {
  TNonZero& top = topNz_[static_cast<std::size_t>(mbx)];
  TNonZero& left = leftNz_;
  int first = 0, type = 3;
  if (!i4) {  // the second-order block of the luma DCs
    const int nz = Coeffs(br, 1, top.dc + left.dc, 0);
    top.dc = left.dc = nz > 0;
    first = 1;
    type = 0;
  }
  for (std::size_t y = 0; y < 4; ++y)
    for (std::size_t x = 0; x < 4; ++x) {
      const int nz = Coeffs(br, type, left.y[y] + top.y[x], first);
      left.y[y] = top.y[x] = nz > first;
    }
  for (auto plane : {&TNonZero::u, &TNonZero::v}) {
    auto& t = top.*plane;
    auto& l = left.*plane;
    for (std::size_t y = 0; y < 2; ++y)
      for (std::size_t x = 0; x < 2; ++x) {
        const int nz = Coeffs(br, 2, l[y] + t[x], 0);
        l[y] = t[x] = nz > 0;
      }
  }
}

TCodecCheck TVp8Frame::Check(const std::uint8_t* d, std::size_t n) {
  TCodecCheck out;
  auto damaged = [&](std::size_t at) {
    out.Result = TCodecResult::Damaged;
    out.BadAt = std::min(at, n == 0 ? 0 : n - 1);
    return out;
  };
  if (n < 10) return damaged(0);
  const std::uint32_t tag = d[0] | d[1] << 8 | d[2] << 16;
  // A WebP holds one key frame, shown, of one of the four profiles.
  if ((tag & 1) != 0 || ((tag >> 1) & 7) > 3 || ((tag >> 4) & 1) == 0) return damaged(0);
  if (d[3] != 0x9D || d[4] != 0x01 || d[5] != 0x2A) return damaged(3);
  out.Width = (d[6] | d[7] << 8) & 0x3FFF;
  out.Height = (d[8] | d[9] << 8) & 0x3FFF;
  if (out.Width == 0 || out.Height == 0) return damaged(6);
  const std::size_t firstSize = tag >> 5;
  if (firstSize == 0 || firstSize > n - 10) return damaged(0);
  first_ = TBoolDecoder(d + 10, firstSize);
  TBoolDecoder& br = first_;
  br.Flag();  // colour space
  br.Flag();  // clamping
  if (br.Flag()) {  // segments
    updateMap_ = br.Flag();
    if (br.Flag()) {  // segment data
      br.Flag();
      for (int i = 0; i < 4; ++i)
        if (br.Flag()) br.Signed(7);
      for (int i = 0; i < 4; ++i)
        if (br.Flag()) br.Signed(6);
    }
    if (updateMap_)
      for (int& p : segmentProbs_) p = br.Flag() ? static_cast<int>(br.Literal(8)) : 255;
  }
  br.Flag();      // simple filter
  br.Literal(6);  // level
  br.Literal(3);  // sharpness
  if (br.Flag() && br.Flag())
    for (int i = 0; i < 8; ++i)
      if (br.Flag()) br.Signed(6);
  const std::size_t parts = std::size_t{1} << br.Literal(2);
  // The sizes of all token partitions but the last follow the first partition.
  const std::size_t sizesAt = 10 + firstSize;
  if (n - sizesAt < 3 * (parts - 1)) return damaged(sizesAt);
  std::vector<TBoolDecoder> tokens;
  std::size_t at = sizesAt + 3 * (parts - 1);
  for (std::size_t p = 0; p < parts; ++p) {
    std::size_t size = n - at;
    if (p + 1 < parts) {
      const std::uint8_t* s = d + sizesAt + 3 * p;
      size = s[0] | s[1] << 8 | s[2] << 16;
      if (size > n - at) return damaged(sizesAt + 3 * p);
    }
    if (p + 1 == parts && size == 0) return damaged(n);
    tokens.emplace_back(d + at, size);
    at += size;
  }
  br.Literal(7);  // base quantiser
  for (int i = 0; i < 5; ++i)
    if (br.Flag()) br.Signed(4);
  br.Flag();  // whether the probabilities are kept for the next frame
  for (std::size_t i = 0; i < probs_.size(); ++i)
    probs_[i] = br.Bit(vp8::kCoeffUpdateProbs[i]) ? static_cast<std::uint8_t>(br.Literal(8)) : vp8::kDefaultCoeffProbs[i];
  for (int type = 0; type < vp8::kTypes; ++type)
    for (std::size_t coeff = 0; coeff < 17; ++coeff)
      bands_[static_cast<std::size_t>(type)][coeff] =
          probs_.data() + (type * vp8::kBands + vp8::kCoeffBands[coeff]) * vp8::kContexts * vp8::kNodes;
  useSkip_ = br.Flag();
  if (useSkip_) skipProb_ = static_cast<int>(br.Literal(8));

  const int mbw = (out.Width + 15) / 16, mbh = (out.Height + 15) / 16;
  topModes_.assign(static_cast<std::size_t>(mbw), {});
  topNz_.assign(static_cast<std::size_t>(mbw), {});
  std::size_t partAt = sizesAt + 3 * (parts - 1);
  std::vector<std::size_t> partStart;
  for (const auto& t : tokens) {
    partStart.push_back(partAt);
    partAt += t.Size();
  }
  for (int mby = 0; mby < mbh; ++mby) {
    leftModes_.fill(0);
    leftNz_ = {};
    const std::size_t p = static_cast<std::size_t>(mby) & (parts - 1);
    TBoolDecoder& tb = tokens[p];
    for (int mbx = 0; mbx < mbw; ++mbx) {
      bool i4 = false, skip = false;
      Modes(mbx, i4, skip);
      if (!skip) {
        Residuals(tb, mbx, i4);
      } else {
        TNonZero& top = topNz_[static_cast<std::size_t>(mbx)];
        const std::uint8_t dc = top.dc, leftDc = leftNz_.dc;
        top = {};
        leftNz_ = {};
        if (i4) {
          top.dc = dc;
          leftNz_.dc = leftDc;
        }
      }
    }
    // A partition read past its end has bytes that are not its own.
    if (br.TailBits() < -kMaxOverBits) return damaged(10 + firstSize - 1);
    if (tb.TailBits() < -kMaxOverBits) return damaged(partStart[p] + tb.Size() - 1);
  }
  // Every decoder ends with its partition's bytes but for the encoder's
  // flush: zero decisions at even odds to the last byte.
  bool shortFlush = false;
  for (std::size_t p = 0; p <= tokens.size(); ++p) {
    const TBoolDecoder& t = p == 0 ? br : tokens[p - 1];
    const std::size_t start = p == 0 ? 10 : partStart[p - 1];
    const TFlush f = Flushed(t);
    if (f == TFlush::Wrong) {
      const std::int64_t back = std::clamp<std::int64_t>(t.TailBits() / 8, 0, static_cast<std::int64_t>(t.Size()) - 1);
      return damaged(start + t.Size() - 1 - static_cast<std::size_t>(back));
    }
    shortFlush = shortFlush || f == TFlush::Unsure;
  }
  if (shortFlush) return out;  // unchecked
  out.Result = TCodecResult::Whole;
  return out;
}

}  // namespace

TCodecCheck CheckVp8Frame(const std::uint8_t* data, std::size_t size) {
  TVp8Frame frame;
  return frame.Check(data, size);
}

}  // namespace vantrel
