#include "analysis/AvcCabac.h"

#include <algorithm>
#include <array>
#include <bit>
#include <vector>

#include "analysis/AvcCabacTables.h"
#include "analysis/VlcBits.h"

namespace vantrel {
namespace {

using namespace cabac;

// What the contexts of the macroblocks after a macroblock take from it.
struct TMbInfo {
  bool skip = false, intra = false, pcm = false, intra16 = false, direct16 = false, t8 = false;
  std::uint8_t cbp = 0;         // luma in bits 0-3, chroma in 4-5
  std::uint8_t chromaPred = 0;
  // coded_block_flag: luma 4x4 blocks by x + 4y, then Cb and Cr by x + 2y
  // (bits 16 and 20 on), luma DC (24), Cb and Cr DC (25, 26).
  std::uint32_t cbf = 0;
  std::array<std::array<std::uint8_t, 4>, 2> ref{};                 // > 0 by list and 8x8 block
  std::array<std::array<std::array<std::uint8_t, 2>, 16>, 2> mvd{};  // |mvd| by list, 4x4 block, component
};

constexpr int kP = 0, kB = 1, kI = 2;
constexpr std::uint32_t kAllCoded = 0x7FFFFFF;
// How many bits before the stop bit the arithmetic decoder may end: encoders
// flush its last interval with a few bits more than it reads.
constexpr std::uint64_t kEndSlack = 24;

// The decoder's tables by a context's state << 1 | its most probable bin:
// the range of the less probable bin by (range >> 6) & 3, and the next
// state after the more (0) or the less (1) probable bin.
struct TTables {
  std::array<std::array<std::uint8_t, 128>, 4> lps{};
  std::array<std::array<std::uint8_t, 2>, 128> next{};
  constexpr TTables() {
    for (int s = 0; s < 128; ++s) {
      const int state = s >> 1, mps = s & 1;
      for (int q = 0; q < 4; ++q) lps[q][s] = kRangeLps[state][q];
      next[s][0] = static_cast<std::uint8_t>(std::min(state + 1, 62) << 1 | mps);
      next[s][1] = static_cast<std::uint8_t>(kLpsNext[state] << 1 | (state == 0 ? 1 - mps : mps));
    }
  }
};
constexpr TTables kTables{};

class TCabacSlice {
 public:
  TCabacSlice(TMemoryBits& bits, const TAvcSliceCheck::TSps& sps, const TAvcSliceCheck::TPps& pps, int type,
              std::uint32_t refL0, std::uint32_t refL1, std::uint32_t first)
      : bits_(bits), sps_(sps), pps_(pps), type_(type), refs_{refL0, refL1}, first_(first), top_(sps.mbWidth) {
    qpOffset_ = 6 * (sps.bitDepthLuma - 8);
  }

  bool Run(int qp, int initIdc, std::uint64_t stop) {
    const bool ok = Slice(qp, initIdc, stop);
    // The caller reads the first bad bit from the reader.
    bits_.Seek(Pos());
    return ok;
  }

 private:
  bool Slice(int qp, int initIdc, std::uint64_t stop) {
    // cabac_alignment_one_bit
    while (bits_.Pos() % 8 != 0)
      if (!bits_.Flag()) return false;
    InitContexts(qp, initIdc);
    if (!InitEngine()) return false;
    const std::uint32_t pictureMbs = sps_.mbWidth * sps_.mbHeight;
    for (std::uint32_t mb = first_;; ++mb) {
      if (mb >= pictureMbs || !Macroblock(mb)) return false;
      if (Pos() > stop + 1) return false;
      // end_of_slice_flag: its last bit is the stop bit.
      if (Terminate()) return Pos() <= stop + 1 && Pos() + kEndSlack >= stop + 1;
    }
  }

  // The arithmetic decoder. value_ holds the 9 bits of the decoder's offset
  // in bits 62..54 and the next ahead_ bits of the slice under them, so
  // that the offset compares with the range shifted up by 54 and a
  // renormalisation is a shift; bits come in by the word when fewer than 8
  // are ahead. Bit 63 stays clear: the offset is below the range, < 512.
  static constexpr int kRangeShift = 54;
  void InitContexts(int qp, int initIdc) {
    const int q = std::clamp(qp, 0, 51);
    states_.fill(0);
    for (const TInitRange& r : kInit[type_ == kI ? 0 : 1 + initIdc])
      for (int i = 0; i < r.count; ++i) {
        const int pre = std::clamp(((r.mn[i][0] * q) >> 4) + r.mn[i][1], 1, 126);
        states_[static_cast<std::size_t>(r.from + i)] =
            static_cast<std::uint8_t>(pre <= 63 ? (63 - pre) << 1 : (pre - 64) << 1 | 1);
      }
  }
  bool InitEngine() {
    range_ = 510;
    const std::uint32_t offset = bits_.Get(9);
    value_ = static_cast<std::uint64_t>(offset) << kRangeShift;
    next_ = bits_.Pos();
    ahead_ = 0;
    Refill();
    return offset < 510;
  }
  // The bits the decoder has taken into its offset, as a reader of one bit
  // at a time would stand.
  std::uint64_t Pos() const { return next_ - static_cast<std::uint64_t>(ahead_); }
  void Refill() {
    const int take = kRangeShift - ahead_;
    value_ |= bits_.BitsAt(next_) >> (64 - kRangeShift + ahead_);
    next_ += static_cast<std::uint64_t>(take);
    ahead_ = kRangeShift;
  }
  void Shift(int n) {
    range_ <<= n;
    value_ <<= n;
    ahead_ -= n;
    if (ahead_ < 8) Refill();
  }
  int Decision(int ctx) {
    std::uint8_t& s = states_[static_cast<std::size_t>(ctx)];
    const std::uint32_t lps = kTables.lps[(range_ >> 6) & 3][s];
    range_ -= lps;
    const std::uint64_t scaled = static_cast<std::uint64_t>(range_) << kRangeShift;
    const int isLps = value_ >= scaled ? 1 : 0;
    if (isLps) {
      value_ -= scaled;
      range_ = lps;
    }
    const int bin = (s & 1) ^ isLps;
    s = kTables.next[s][isLps];
    // A range of 256 or more has 23 leading zeros.
    Shift(std::countl_zero(range_) - 23);
    return bin;
  }
  int Bypass() {
    value_ <<= 1;
    if (--ahead_ < 8) Refill();
    const std::uint64_t scaled = static_cast<std::uint64_t>(range_) << kRangeShift;
    if (value_ >= scaled) {
      value_ -= scaled;
      return 1;
    }
    return 0;
  }
  int Terminate() {
    range_ -= 2;
    if (value_ >= static_cast<std::uint64_t>(range_) << kRangeShift) return 1;
    Shift(std::countl_zero(range_) - 23);
    return 0;
  }

  // Exp-Golomb bins of order k, bypass coded: false when longer than any value.
  bool ExpGolomb(int k, std::uint32_t& value) {
    while (Bypass()) {
      value += 1u << k;
      if (++k > 24) return false;
    }
    while (k-- > 0) value += static_cast<std::uint32_t>(Bypass()) << k;
    return true;
  }

  // The neighbours.
  const TMbInfo* Left() const { return leftAvail_ ? &left_ : nullptr; }
  const TMbInfo* Top() const { return topAvail_ ? &top_[mbX_] : nullptr; }
  // The macroblock holding the 4x4 block at (x, y) of the current one's
  // grid (x or y -1: the neighbour's), and the block's place in it.
  const TMbInfo* At(int& x, int& y) const {
    if (x >= 0 && y >= 0) return &cur_;
    if (x < 0) {
      x += 4;
      return Left();
    }
    y += 4;
    return Top();
  }

  bool Macroblock(std::uint32_t mb) {
    mbX_ = mb % sps_.mbWidth;
    leftAvail_ = mbX_ > 0 && mb - 1 >= first_;
    topAvail_ = mb >= sps_.mbWidth && mb - sps_.mbWidth >= first_;
    const TMbInfo* a = Left();
    const TMbInfo* b = Top();
    cur_ = TMbInfo{};
    if (type_ != kI) {
      const int ctx = (a && !a->skip) + (b && !b->skip);
      if (Decision((type_ == kP ? 11 : 24) + ctx)) {
        cur_.skip = true;
        cur_.direct16 = type_ == kB;
        prevQpDelta_ = false;
        return Store();
      }
    }
    int intra = -1, mbType = 0;
    if (type_ == kI) {
      intra = IntraType(3, true);
    } else if (type_ == kP) {
      if (!Decision(14)) mbType = !Decision(15) ? 3 * Decision(16) : 2 - Decision(17);
      else intra = IntraType(17, false);
    } else {
      const int ctx = (a && !a->direct16) + (b && !b->direct16);
      if (!Decision(27 + ctx)) {
        mbType = 0;
      } else if (!Decision(27 + 3)) {
        mbType = 1 + Decision(27 + 5);
      } else {
        int bits = Decision(27 + 4) << 3;
        bits |= Decision(27 + 5) << 2;
        bits |= Decision(27 + 5) << 1;
        bits |= Decision(27 + 5);
        if (bits < 8) mbType = bits + 3;
        else if (bits == 13) intra = IntraType(32, false);
        else if (bits == 14) mbType = 11;
        else if (bits == 15) mbType = 22;
        else mbType = (bits << 1 | Decision(27 + 5)) - 4;
      }
    }
    int cbpLuma = 0, cbpChroma = 0;
    if (intra == 25) return Pcm();
    if (intra >= 0) {
      cur_.intra = true;
      if (intra == 0) {
        if (pps_.transform8x8) cur_.t8 = Decision(399 + (a && a->t8) + (b && b->t8));
        for (int i = 0; i < (cur_.t8 ? 4 : 16); ++i)
          if (!Decision(68)) {
            Decision(69);
            Decision(69);
            Decision(69);
          }
      } else {
        cur_.intra16 = true;
        cbpLuma = intra >= 13 ? 15 : 0;
        cbpChroma = (intra - 1) / 4 % 3;
      }
      if (sps_.chromaFormat != 0) {
        const int ctx = (a && a->intra && !a->pcm && a->chromaPred != 0) + (b && b->intra && !b->pcm && b->chromaPred != 0);
        int mode = 0;
        if (Decision(64 + ctx)) mode = !Decision(67) ? 1 : !Decision(67) ? 2 : 3;
        cur_.chromaPred = static_cast<std::uint8_t>(mode);
      }
      if (intra == 0) Cbp(cbpLuma, cbpChroma);
    } else {
      bool small = false;
      if ((type_ == kP && mbType >= 3) || (type_ == kB && mbType == 22)) {
        if (!SubMacroblocks(type_ == kP && mbType == 4, small)) return false;
      } else if (type_ == kB && mbType == 0) {
        cur_.direct16 = true;
      } else if (!Partitions(mbType)) {
        return false;
      }
      Cbp(cbpLuma, cbpChroma);
      if (cbpLuma > 0 && pps_.transform8x8 && !small && (!cur_.direct16 || sps_.direct8x8Inference))
        cur_.t8 = Decision(399 + (a && a->t8) + (b && b->t8));
    }
    cur_.cbp = static_cast<std::uint8_t>(cbpLuma | cbpChroma << 4);
    if (cbpLuma == 0 && cbpChroma == 0 && !cur_.intra16) {
      prevQpDelta_ = false;
      return Store();
    }
    if (!QpDelta() || !Residual(cbpLuma, cbpChroma)) return false;
    return Store();
  }

  bool Store() {
    left_ = cur_;
    top_[mbX_] = cur_;
    return true;
  }

  // mb_type among the intra types (0 I_NxN, 1-24 Intra_16x16, 25 I_PCM),
  // its bins from the contexts at base.
  int IntraType(int base, bool intraSlice) {
    if (intraSlice) {
      const TMbInfo* a = Left();
      const TMbInfo* b = Top();
      const int ctx = (a && (a->intra16 || a->pcm)) + (b && (b->intra16 || b->pcm));
      if (!Decision(base + ctx)) return 0;
      base += 2;
    } else if (!Decision(base)) {
      return 0;
    }
    if (Terminate()) return 25;
    int type = 1 + 12 * Decision(base + 1);
    if (Decision(base + 2)) type += 4 + 4 * Decision(base + 2 + (intraSlice ? 1 : 0));
    type += 2 * Decision(base + 3 + (intraSlice ? 1 : 0));
    type += Decision(base + 3 + (intraSlice ? 2 : 0));
    return type;
  }

  bool Pcm() {
    bits_.Seek(Pos());
    const int align = static_cast<int>((8 - (bits_.Pos() & 7)) & 7);
    if (bits_.Get(align) != 0) return false;
    const int chromaSamples = sps_.chromaFormat == 0 ? 0 : 128;
    bits_.Skip(256 * sps_.bitDepthLuma + chromaSamples * sps_.bitDepthChroma);
    cur_.intra = cur_.pcm = true;
    cur_.cbp = 0x2F;
    cur_.cbf = kAllCoded;
    prevQpDelta_ = false;
    if (!InitEngine()) return false;
    return Store();
  }

  void Cbp(int& luma, int& chroma) {
    const TMbInfo* a = Left();
    const TMbInfo* b = Top();
    // A neighbour's 8x8 block whose bit is clear: 1 (none, or I_PCM: 0).
    auto clear = [](const TMbInfo* n, int b8) {
      if (!n || n->pcm) return 0;
      if (n->skip) return 1;
      return (n->cbp >> b8 & 1) == 0 ? 1 : 0;
    };
    luma = 0;
    for (int b8 = 0; b8 < 4; ++b8) {
      const int condA = (b8 & 1) ? ((luma >> (b8 - 1) & 1) == 0) : clear(a, b8 + 1);
      const int condB = (b8 & 2) ? ((luma >> (b8 - 2) & 1) == 0) : clear(b, b8 + 2);
      luma |= Decision(73 + condA + 2 * condB) << b8;
    }
    chroma = 0;
    if (sps_.chromaFormat == 0) return;
    auto has = [](const TMbInfo* n, int atLeast) {
      if (!n) return 0;
      if (n->pcm) return 1;
      return !n->skip && (n->cbp >> 4) >= atLeast ? 1 : 0;
    };
    if (!Decision(77 + has(a, 1) + 2 * has(b, 1))) return;
    chroma = 1 + Decision(77 + 4 + has(a, 2) + 2 * has(b, 2));
  }

  bool QpDelta() {
    if (!Decision(60 + (prevQpDelta_ ? 1 : 0))) {
      prevQpDelta_ = false;
      return true;
    }
    const int limit = 2 * (26 + qpOffset_ / 2) + 1;
    int k = 1;
    for (int ctx = 62; Decision(ctx); ctx = 63)
      if (++k > limit) return false;
    prevQpDelta_ = true;
    return true;
  }

  // ref_idx of list for the partition whose first 4x4 block is (x, y), over w x h blocks.
  bool RefIdx(int list, int x, int y, int w, int h) {
    int value = 0;
    if (refs_[list] > 1) {
      auto cond = [&](int nx, int ny) {
        const TMbInfo* n = At(nx, ny);
        return n && n->ref[static_cast<std::size_t>(list)][static_cast<std::size_t>(ny / 2 * 2 + nx / 2)] > 0 ? 1 : 0;
      };
      int ctx = cond(x - 1, y) + 2 * cond(x, y - 1);
      while (Decision(54 + ctx)) {
        ctx = ctx < 4 ? 4 : 5;
        if (static_cast<std::uint32_t>(++value) >= refs_[list]) return false;
      }
    }
    for (int j = y; j < y + h; j += 2)
      for (int i = x; i < x + w; i += 2)
        cur_.ref[static_cast<std::size_t>(list)][static_cast<std::size_t>(j / 2 * 2 + i / 2)] =
            static_cast<std::uint8_t>(std::min(value, 1));
    return true;
  }

  bool Mvd(int list, int x, int y, int w, int h) {
    std::array<std::uint8_t, 2> stored{};
    for (int comp = 0; comp < 2; ++comp) {
      auto abs = [&](int nx, int ny) {
        const TMbInfo* n = At(nx, ny);
        return n ? n->mvd[static_cast<std::size_t>(list)][static_cast<std::size_t>(nx + 4 * ny)][static_cast<std::size_t>(comp)] : 0;
      };
      const int sum = abs(x - 1, y) + abs(x, y - 1);
      const int base = comp == 0 ? 40 : 47;
      std::uint32_t value = 0;
      if (Decision(base + (sum > 2) + (sum > 32))) {
        value = 1;
        static constexpr std::array<int, 9> kInc = {0, 3, 4, 5, 6, 6, 6, 6, 6};
        while (value < 9 && Decision(base + kInc[value])) ++value;
        if (value >= 9 && !ExpGolomb(3, value)) return false;
        if (value > 32768) return false;
        Bypass();  // the sign
      }
      stored[static_cast<std::size_t>(comp)] = static_cast<std::uint8_t>(std::min<std::uint32_t>(value, 70));
    }
    for (int j = y; j < y + h; ++j)
      for (int i = x; i < x + w; ++i) cur_.mvd[static_cast<std::size_t>(list)][static_cast<std::size_t>(i + 4 * j)] = stored;
    return true;
  }

  // The prediction of 16x16, 16x8 and 8x16 macroblocks.
  bool Partitions(int mbType) {
    int parts = 1, w = 4, h = 4;
    std::uint8_t pred = 0x01;
    static constexpr std::uint8_t kBPred[22] = {0,    1,    2,    3,    0x11, 0x11, 0x22, 0x22, 0x21, 0x21, 0x12,
                                                0x12, 0x31, 0x31, 0x32, 0x32, 0x13, 0x13, 0x23, 0x23, 0x33, 0x33};
    if (type_ == kP) {
      parts = mbType == 0 ? 1 : 2;
      pred = parts == 1 ? 0x01 : 0x11;
      if (mbType == 1) h = 2;
      if (mbType == 2) w = 2;
    } else {
      parts = mbType <= 3 ? 1 : 2;
      pred = kBPred[mbType];
      if (parts == 2) (mbType % 2 == 0 ? h : w) = 2;  // even types 16x8, odd 8x16
    }
    auto origin = [&](int p, int& x, int& y) {
      x = p == 1 && w == 2 ? 2 : 0;
      y = p == 1 && h == 2 ? 2 : 0;
    };
    for (int list = 0; list < 2; ++list)
      for (int p = 0; p < parts; ++p)
        if (pred >> (4 * p) & (list + 1)) {
          int x = 0, y = 0;
          origin(p, x, y);
          if (!RefIdx(list, x, y, w, h)) return false;
        }
    for (int list = 0; list < 2; ++list)
      for (int p = 0; p < parts; ++p)
        if (pred >> (4 * p) & (list + 1)) {
          int x = 0, y = 0;
          origin(p, x, y);
          if (!Mvd(list, x, y, w, h)) return false;
        }
    return true;
  }

  bool SubMacroblocks(bool ref0, bool& small) {
    std::array<int, 4> sub{};
    for (int& s : sub) {
      if (type_ == kP) {
        s = Decision(21) ? 0 : !Decision(22) ? 1 : Decision(23) ? 2 : 3;
      } else if (!Decision(36)) {
        s = 0;
      } else if (!Decision(37)) {
        s = 1 + Decision(39);
      } else {
        int t = 3;
        if (Decision(38)) {
          if (Decision(39)) {
            s = 11 + Decision(39);
            continue;
          }
          t += 4;
        }
        t += 2 * Decision(39);
        t += Decision(39);
        s = t;
      }
    }
    // The prediction (1 list 0, 2 list 1, 3 both) and shape (0 8x8, 1 8x4, 2 4x8, 3 4x4) of each.
    static constexpr std::uint8_t kBPred[13] = {0, 1, 2, 3, 1, 1, 2, 2, 3, 3, 1, 2, 3};
    static constexpr std::uint8_t kBShape[13] = {0, 0, 0, 0, 1, 2, 1, 2, 1, 2, 3, 3, 3};
    auto pred = [&](int s) { return type_ == kP ? 1 : kBPred[s]; };
    auto shape = [&](int s) { return type_ == kP ? s : kBShape[s]; };
    for (int b8 = 0; b8 < 4; ++b8) {
      if (type_ == kB && sub[static_cast<std::size_t>(b8)] == 0) {
        if (!sps_.direct8x8Inference) small = true;
      } else if (shape(sub[static_cast<std::size_t>(b8)]) != 0) {
        small = true;
      }
    }
    for (int list = 0; list < 2; ++list)
      for (int b8 = 0; b8 < 4; ++b8) {
        const int s = sub[static_cast<std::size_t>(b8)];
        if (!(pred(s) & (list + 1))) continue;
        if (ref0 && list == 0) continue;
        if (!RefIdx(list, (b8 & 1) * 2, (b8 >> 1) * 2, 2, 2)) return false;
      }
    for (int list = 0; list < 2; ++list)
      for (int b8 = 0; b8 < 4; ++b8) {
        const int s = sub[static_cast<std::size_t>(b8)];
        if (!(pred(s) & (list + 1))) continue;
        const int x0 = (b8 & 1) * 2, y0 = (b8 >> 1) * 2, sh = shape(s);
        const int w = sh == 0 || sh == 1 ? 2 : 1, h = sh == 0 || sh == 2 ? 2 : 1;
        for (int j = 0; j < 2; j += h)
          for (int i = 0; i < 2; i += w)
            if (!Mvd(list, x0 + i, y0 + j, w, h)) return false;
      }
    return true;
  }

  // coded_block_flag's context from the blocks left of and above a block:
  // bit is the flag's bit in a macroblock, leftBit/topBit where the
  // neighbour's lies when it is in another macroblock.
  int CbfCtx(int cat, bool leftInside, int leftBit, bool topInside, int topBit) const {
    auto cond = [&](bool inside, int bit, const TMbInfo* n) {
      if (inside) return static_cast<int>(cur_.cbf >> bit & 1);
      if (!n) return cur_.intra ? 1 : 0;
      if (n->pcm) return 1;
      if (n->skip) return 0;
      return static_cast<int>(n->cbf >> bit & 1);
    };
    static constexpr std::array<int, 5> kOffset = {0, 4, 8, 12, 16};
    return 85 + kOffset[static_cast<std::size_t>(cat)] + cond(leftInside, leftBit, Left()) + 2 * cond(topInside, topBit, Top());
  }

  // One residual block: false when it cannot be; coded tells whether it has coefficients.
  bool Block(int cat, int maxCoeff, int cbfCtx, bool& coded) {
    coded = true;
    if (cat != 5 && !Decision(cbfCtx)) {
      coded = false;
      return true;
    }
    static constexpr std::array<int, 5> kSig = {0, 15, 29, 44, 47};
    static constexpr std::array<int, 5> kAbs = {0, 10, 20, 30, 39};
    const int sigBase = cat == 5 ? 402 : 105 + kSig[static_cast<std::size_t>(cat)];
    const int lastBase = cat == 5 ? 417 : 166 + kSig[static_cast<std::size_t>(cat)];
    const int absBase = cat == 5 ? 426 : 227 + kAbs[static_cast<std::size_t>(cat)];
    int count = 0;
    bool last = false;
    for (int i = 0; i < maxCoeff - 1; ++i) {
      const int sig = cat == 5 ? kSig8x8[i] : i;
      const int lastInc = cat == 5 ? kLast8x8[i] : i;
      if (Decision(sigBase + sig)) {
        ++count;
        if (Decision(lastBase + lastInc)) {
          last = true;
          break;
        }
      }
    }
    if (!last) ++count;
    int eq1 = 0, gt1 = 0;
    for (int k = 0; k < count; ++k) {
      std::uint32_t value = 0;  // coeff_abs_level_minus1
      if (Decision(absBase + (gt1 != 0 ? 0 : std::min(4, 1 + eq1)))) {
        const int ctx = absBase + 5 + std::min(4 - (cat == 3 ? 1 : 0), gt1);
        value = 1;
        while (value < 14 && Decision(ctx)) ++value;
        if (value >= 14 && !ExpGolomb(0, value)) return false;
      }
      Bypass();  // the sign
      if (value == 0) ++eq1;
      else ++gt1;
    }
    return true;
  }

  bool Residual(int cbpLuma, int cbpChroma) {
    bool coded = false;
    const TMbInfo* a = Left();
    const TMbInfo* b = Top();
    if (cur_.intra16) {
      // The DC block of a neighbour is there only when that one is Intra_16x16.
      auto dc = [&](const TMbInfo* n) {
        if (!n) return cur_.intra ? 1 : 0;
        if (n->pcm) return 1;
        return n->intra16 ? static_cast<int>(n->cbf >> 24 & 1) : 0;
      };
      if (!Block(0, 16, 85 + dc(a) + 2 * dc(b), coded)) return false;
      if (coded) cur_.cbf |= 1u << 24;
    }
    for (int b8 = 0; b8 < 4; ++b8) {
      if (!(cbpLuma >> b8 & 1)) continue;
      const int x0 = (b8 & 1) * 2, y0 = (b8 >> 1) * 2;
      if (cur_.t8) {
        if (!Block(5, 64, 0, coded)) return false;
        for (int j = 0; j < 2; ++j)
          for (int i = 0; i < 2; ++i) cur_.cbf |= 1u << (x0 + i + 4 * (y0 + j));
        continue;
      }
      for (int i4 = 0; i4 < 4; ++i4) {
        const int x = x0 + (i4 & 1), y = y0 + (i4 >> 1);
        const int cat = cur_.intra16 ? 1 : 2;
        const int ctx = CbfCtx(cat, x > 0, x > 0 ? x - 1 + 4 * y : 3 + 4 * y, y > 0, y > 0 ? x + 4 * (y - 1) : x + 12);
        if (!Block(cat, cur_.intra16 ? 15 : 16, ctx, coded)) return false;
        if (coded) cur_.cbf |= 1u << (x + 4 * y);
      }
    }
    if (sps_.chromaFormat == 0) return true;
    if (cbpChroma & 3)
      for (int c = 0; c < 2; ++c) {
        auto dc = [&](const TMbInfo* n) {
          if (!n) return cur_.intra ? 1 : 0;
          if (n->pcm) return 1;
          if (n->skip) return 0;
          return static_cast<int>(n->cbf >> (25 + c) & 1);
        };
        if (!Block(3, 4, 85 + 12 + dc(a) + 2 * dc(b), coded)) return false;
        if (coded) cur_.cbf |= 1u << (25 + c);
      }
    if (cbpChroma & 2)
      for (int c = 0; c < 2; ++c)
        for (int i = 0; i < 4; ++i) {
          const int x = i & 1, y = i >> 1, base = 16 + 4 * c;
          const int ctx = CbfCtx(4, x > 0, base + (x > 0 ? 2 * y : 1 + 2 * y), y > 0, base + (y > 0 ? x : 2 + x));
          if (!Block(4, 15, ctx, coded)) return false;
          if (coded) cur_.cbf |= 1u << (base + x + 2 * y);
        }
    return true;
  }

  TMemoryBits& bits_;
  const TAvcSliceCheck::TSps& sps_;
  const TAvcSliceCheck::TPps& pps_;
  int type_;
  std::array<std::uint32_t, 2> refs_;
  std::uint32_t first_;
  int qpOffset_ = 0;
  std::array<std::uint8_t, kContexts> states_{};
  std::uint32_t range_ = 510;
  std::uint64_t value_ = 0;
  std::uint64_t next_ = 0;  // the next bit of the slice to come into value_
  int ahead_ = 0;
  bool prevQpDelta_ = false;
  std::uint32_t mbX_ = 0;
  bool leftAvail_ = false, topAvail_ = false;
  TMbInfo cur_, left_;
  std::vector<TMbInfo> top_;
};

}  // namespace

bool ParseCabacSlice(TMemoryBits& bits, const TAvcSliceCheck::TSps& sps, const TAvcSliceCheck::TPps& pps, int type,
                     std::uint32_t refL0, std::uint32_t refL1, std::uint32_t first, int qp, int initIdc,
                     std::uint64_t stop) {
  TCabacSlice slice(bits, sps, pps, type, refL0, refL1, first);
  return slice.Run(qp, initIdc, stop);
}

}  // namespace vantrel
