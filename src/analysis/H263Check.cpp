#include "analysis/H263Check.h"

#include <array>

#include "analysis/FileBytes.h"
#include "analysis/VlcBits.h"

namespace vantrel {

TH263Result CheckH263Picture(FileBytes& b, std::uint64_t offset, std::uint64_t size, std::uint64_t& badAt) {
  static const TVlc intraMcbpc(kIntraMcbpc, 9), interMcbpc(kInterMcbpc, 9), cbpyVlc(kCbpy, 6), mvd(kMvd, 12),
      tcoef(kTcoef, 13, true);
  static const std::array<std::uint8_t, 102> runs = TcoefRuns();
  TStreamBits bits(b, offset, size);
  std::uint64_t at = 0;  // the bit where the code being decoded starts
  auto damaged = [&] {
      if (bits.Unreadable) return TH263Result::Unchecked;
    badAt = offset + std::min<std::uint64_t>(at / 8, size == 0 ? 0 : size - 1);
    return TH263Result::Damaged;
  };
  if (bits.Get(22) != 0x20) return damaged();
  bits.Get(8);  // temporal reference
  if (bits.Get(2) != 2) return damaged();
  bits.Get(3);  // split screen, document camera, freeze picture release
  const std::uint32_t format = bits.Get(3);
  if (format == 0 || format == 6) return damaged();
  if (format == 7) return TH263Result::Unchecked;  // the extended type of H.263 version 2
  const bool inter = bits.Get(1) != 0;
  // Unrestricted vectors, arithmetic coding, advanced prediction, PB-frames.
  if (bits.Get(4) != 0) return TH263Result::Unchecked;
  if (bits.Get(5) == 0) return damaged();  // PQUANT
  if (bits.Get(1) != 0) return TH263Result::Unchecked;  // continuous presence multipoint
  while (bits.Get(1) != 0) {  // PEI and PSPARE
    bits.Get(8);
    if (bits.Over() || bits.Unreadable) return damaged();
  }
  static constexpr std::array<int, 6> kMbWidth = {0, 8, 11, 22, 44, 88}, kMbHeight = {0, 6, 9, 18, 36, 72};
  const int mbWidth = kMbWidth[format], mbs = mbWidth * kMbHeight[format];
  const int perGob = mbWidth * (format == 4 ? 2 : format == 5 ? 4 : 1);
  for (int mb = 0; mb < mbs; ++mb) {
    if (bits.Over() || bits.Unreadable) return damaged();
    at = bits.Pos();
    if (mb > 0 && mb % perGob == 0) {
      // A group of blocks may start with its header, byte-aligned by zeros or not.
      const int align = static_cast<int>((8 - bits.Pos() % 8) % 8);
      int skip = -1;
      if (bits.Peek(17) == 1) skip = 17;
      else if (align > 0 && bits.Peek(align + 17) == 1) skip = align + 17;
      if (skip > 0) {
        bits.Skip(skip);
        if (static_cast<int>(bits.Get(5)) != mb / perGob) return damaged();
        bits.Get(2);                           // GFID
        if (bits.Get(5) == 0) return damaged();  // GQUANT
      }
    }
    int code = 0;
    do {
      at = bits.Pos();
      if (inter && bits.Get(1) != 0) {  // not coded
        code = -2;
        break;
      }
      code = (inter ? interMcbpc : intraMcbpc).Read(bits);
      if (code < 0) return damaged();
      if (bits.Over() || bits.Unreadable) return damaged();
    } while (code == (inter ? kInterStuffing : kIntraStuffing));
    if (code == -2) continue;
    const int type = inter ? code / 4 : 3 + code / 4;
    const bool intra = type >= 3;
    at = bits.Pos();
    int cbpy = cbpyVlc.Read(bits);
    if (cbpy < 0) return damaged();
    if (!intra) cbpy ^= 0xF;
    if (type == 1 || type == 4) bits.Get(2);  // DQUANT
    if (!intra)
      for (int v = 0; v < (type == 2 ? 8 : 2); ++v) {
        at = bits.Pos();
        const int m = mvd.Read(bits);
        if (m < 0) return damaged();
        if (m != 0) bits.Get(1);
      }
    const int cbp = cbpy << 2 | (code % 4);
    for (int block = 0; block < 6; ++block) {
      at = bits.Pos();
      if (intra) {
        const std::uint32_t dc = bits.Get(8);
        if (dc == 0 || dc == 128) return damaged();
      }
      if ((cbp >> (5 - block) & 1) == 0) continue;
      for (int i = intra ? 1 : 0;;) {
        at = bits.Pos();
        const int c = tcoef.Read(bits);
        if (c < 0) return damaged();
        bool last = false;
        int run = 0;
        if (c == kTcoefEscape) {
          last = bits.Get(1) != 0;
          run = static_cast<int>(bits.Get(6));
          const std::uint32_t level = bits.Get(8);
          if (level == 0 || level == 128) return damaged();
        } else {
          last = c >= kTcoefLast;
          run = runs[static_cast<std::size_t>(c)];
        }
        i += run + 1;
        if (i > 64) return damaged();
        if (last) break;
        if (bits.Over() || bits.Unreadable) return damaged();
      }
    }
  }
  at = bits.Pos();
  if (bits.Unreadable) return TH263Result::Unchecked;
  if (bits.Over()) return damaged();
  // Zeros to the byte boundary, and nothing after.
  const std::uint64_t rest = size * 8 - bits.Pos();
  if (rest >= 8 || (rest > 0 && bits.Peek(static_cast<int>(rest)) != 0)) return damaged();
  return TH263Result::Whole;
}

}  // namespace vantrel
