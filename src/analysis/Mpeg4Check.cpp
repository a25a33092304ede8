#include "analysis/Mpeg4Check.h"

#include <array>
#include <string_view>

#include "analysis/FileBytes.h"
#include "analysis/VlcBits.h"

namespace vantrel {
namespace {

// Intra transform coefficients (LAST, RUN, LEVEL): the 67 codes of LAST 0,
// the 35 of LAST 1, then ESCAPE; a sign bit follows all but ESCAPE.
constexpr std::array<TCode, 103> kIntraTcoef = {{
    {0x2, 2},   {0x6, 3},   {0xf, 4},   {0xd, 5},   {0xc, 5},   {0x15, 6},  {0x13, 6},  {0x12, 6},  {0x17, 7},
    {0x1f, 8},  {0x1e, 8},  {0x1d, 8},  {0x25, 9},  {0x24, 9},  {0x23, 9},  {0x21, 9},  {0x21, 10}, {0x20, 10},
    {0xf, 10},  {0xe, 10},  {0x7, 11},  {0x6, 11},  {0x20, 11}, {0x21, 11}, {0x50, 12}, {0x51, 12}, {0x52, 12},
    {0xe, 4},   {0x14, 6},  {0x16, 7},  {0x1c, 8},  {0x20, 9},  {0x1f, 9},  {0xd, 10},  {0x22, 11}, {0x53, 12},
    {0x55, 12}, {0xb, 5},   {0x15, 7},  {0x1e, 9},  {0xc, 10},  {0x56, 12}, {0x11, 6},  {0x1b, 8},  {0x1d, 9},
    {0xb, 10},  {0x10, 6},  {0x22, 9},  {0xa, 10},  {0xd, 6},   {0x1c, 9},  {0x8, 10},  {0x12, 7},  {0x1b, 9},
    {0x54, 12}, {0x14, 7},  {0x1a, 9},  {0x57, 12}, {0x19, 8},  {0x9, 10},  {0x18, 8},  {0x23, 11}, {0x17, 8},
    {0x19, 9},  {0x18, 9},  {0x7, 10},  {0x58, 12}, {0x7, 4},   {0xc, 6},   {0x16, 8},  {0x17, 9},  {0x6, 10},
    {0x5, 11},  {0x4, 11},  {0x59, 12}, {0xf, 6},   {0x16, 9},  {0x5, 10},  {0xe, 6},   {0x4, 10},  {0x11, 7},
    {0x24, 11}, {0x10, 7},  {0x25, 11}, {0x13, 7},  {0x5a, 12}, {0x15, 8},  {0x5b, 12}, {0x14, 8},  {0x13, 8},
    {0x1a, 8},  {0x15, 9},  {0x14, 9},  {0x13, 9},  {0x12, 9},  {0x11, 9},  {0x26, 11}, {0x27, 11}, {0x5c, 12},
    {0x5d, 12}, {0x5e, 12}, {0x5f, 12}, {0x3, 7},
}};
constexpr int kIntraTcoefLast = 67;

// The RUN of each intra coefficient code.
std::array<std::uint8_t, 102> IntraTcoefRuns() {
  static constexpr std::array<int, 15> kLast0 = {27, 10, 5, 4, 3, 3, 3, 3, 2, 2, 1, 1, 1, 1, 1};
  static constexpr std::array<int, 21> kLast1 = {8, 3, 2, 2, 2, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
  std::array<std::uint8_t, 102> runs{};
  std::size_t i = 0;
  for (std::size_t run = 0; run < kLast0.size(); ++run)
    for (int k = 0; k < kLast0[run]; ++k) runs[i++] = static_cast<std::uint8_t>(run);
  for (std::size_t run = 0; run < kLast1.size(); ++run)
    for (int k = 0; k < kLast1[run]; ++k) runs[i++] = static_cast<std::uint8_t>(run);
  return runs;
}

// The sizes of intra DC differences, 0 to 12, of luminance and chrominance blocks.
constexpr std::array<TCode, 13> kDcLuma = {
    {{3, 3}, {3, 2}, {2, 2}, {2, 3}, {1, 3}, {1, 4}, {1, 5}, {1, 6}, {1, 7}, {1, 8}, {1, 9}, {1, 10}, {1, 11}}};
constexpr std::array<TCode, 13> kDcChroma = {
    {{3, 2}, {2, 2}, {1, 2}, {1, 3}, {1, 4}, {1, 5}, {1, 6}, {1, 7}, {1, 8}, {1, 9}, {1, 10}, {1, 11}, {1, 12}}};

constexpr std::uint64_t kNone = FileBytes::npos;

// The next start code at or after from, below to.
std::uint64_t NextStartCode(FileBytes& b, std::uint64_t from, std::uint64_t to) {
  return b.Find(from, to, std::string_view("\0\0\1", 3));
}

}  // namespace

void TMpeg4VideoCheck::Headers(FileBytes& b, std::uint64_t offset, std::uint64_t size) {
  const std::uint64_t end = offset + size;
  for (std::uint64_t pos = NextStartCode(b, offset, end); pos != kNone && pos + 4 <= end;
       pos = NextStartCode(b, pos + 4, end)) {
    const int code = b.Byte(pos + 3);
    if (code >= 0x20 && code <= 0x2F) {
      std::uint64_t bad = 0;
      const std::uint64_t next = NextStartCode(b, pos + 4, end);
      Layer(b, pos + 4, (next == kNone ? end : next) - pos - 4, bad);
    }
  }
}

TMpeg4Result TMpeg4VideoCheck::Frame(FileBytes& b, std::uint64_t offset, std::uint64_t size, std::uint64_t& badAt,
                                     std::uint64_t& vopAt) {
  const std::uint64_t end = offset + size;
  std::uint64_t pos = offset;
  // Headers, each at a start code, up to the VOP.
  for (int headers = 0; headers < 16; ++headers) {
    if (pos + 4 > end) return TMpeg4Result::Unchecked;
    const std::uint32_t start = b.Be32(pos);
    if (!b.ok) return TMpeg4Result::Unchecked;
    // A picture with the short header of H.263 is another syntax.
    if (pos == offset && start >> 10 == 0x20) return TMpeg4Result::Unchecked;
    if (start >> 8 != 1) {
      badAt = pos;
      return TMpeg4Result::Damaged;
    }
    const std::uint32_t code = start & 0xFF;
    if (code == 0xB6) {
      vopAt = pos;
      return Vop(b, pos + 4, end - pos - 4, badAt);
    }
    const std::uint64_t next = NextStartCode(b, pos + 4, end);
    if (code >= 0x20 && code <= 0x2F) {
      const TMpeg4Result layer = Layer(b, pos + 4, (next == kNone ? end : next) - pos - 4, badAt);
      if (layer == TMpeg4Result::Damaged) return layer;
    } else if (code >= 0xB7 && code != 0xB2 && code != 0xB3 && code != 0xB5 && code != 0xB0 && code != 0xB1) {
      return TMpeg4Result::Unchecked;  // a start code of another stream
    }
    if (next == kNone) return TMpeg4Result::Unchecked;
    pos = next;
  }
  return TMpeg4Result::Unchecked;
}

TMpeg4Result TMpeg4VideoCheck::Layer(FileBytes& b, std::uint64_t offset, std::uint64_t size, std::uint64_t& badAt) {
  TStreamBits bits(b, offset, size);
  TLayer layer;
  layer.seen = true;
  auto marker = [&] { return bits.Get(1) == 1; };
  auto damaged = [&] {
    badAt = offset;
    layer_ = TLayer{};
    return TMpeg4Result::Damaged;
  };
  auto unchecked = [&] {
    layer_ = layer;
    return TMpeg4Result::Unchecked;
  };
  bits.Get(1);  // random accessible
  bits.Get(8);  // object type
  int verid = 1;
  if (bits.Get(1)) {
    verid = static_cast<int>(bits.Get(4));
    bits.Get(3);
  }
  if (bits.Get(4) == 15) bits.Get(16);  // extended pixel aspect ratio
  if (bits.Get(1)) {                    // control parameters
    if (bits.Get(2) != 1) return unchecked();  // chroma other than 4:2:0
    bits.Get(1);                               // low delay
    if (bits.Get(1)) {                         // VBV parameters, each half followed by a marker
      for (int half : {15, 15, 15}) {
        bits.Get(half);
        if (!marker()) return damaged();
      }
      bits.Get(3);
      bits.Get(11);
      if (!marker()) return damaged();
      bits.Get(15);
      if (!marker()) return damaged();
    }
  }
  if (bits.Get(2) != 0) return unchecked();  // shapes other than a rectangle
  if (!marker()) return damaged();
  const std::uint32_t resolution = bits.Get(16);
  if (resolution == 0) return damaged();
  if (!marker()) return damaged();
  while (layer.timeBits < 16 && (1u << layer.timeBits) < resolution) ++layer.timeBits;
  if (bits.Get(1)) bits.Get(layer.timeBits);  // fixed VOP time increment
  if (!marker()) return damaged();
  const std::uint32_t width = bits.Get(13);
  if (!marker()) return damaged();
  const std::uint32_t height = bits.Get(13);
  if (!marker()) return damaged();
  if (width == 0 || height == 0) return damaged();
  layer.mbWidth = static_cast<int>((width + 15) / 16);
  layer.mbHeight = static_cast<int>((height + 15) / 16);
  if (bits.Get(1)) return unchecked();              // interlaced
  if (!bits.Get(1)) return unchecked();             // overlapped block motion compensation
  if (bits.Get(verid == 1 ? 1 : 2)) return unchecked();  // sprites and global motion compensation
  if (bits.Get(1)) return unchecked();              // not 8 bits
  if (bits.Get(1)) return unchecked();              // MPEG quantisation matrices
  if (verid != 1 && bits.Get(1)) return unchecked();  // quarter-pel motion
  if (!bits.Get(1)) return unchecked();             // complexity estimation
  layer.resync = bits.Get(1) == 0;
  if (bits.Get(1)) return unchecked();  // data partitioning
  if (verid != 1 && bits.Get(2)) return unchecked();  // new prediction, reduced resolution
  if (bits.Get(1)) return unchecked();  // scalability
  if (bits.Over() || bits.Unreadable) return bits.Unreadable ? unchecked() : damaged();
  layer.decodable = true;
  layer_ = layer;
  return TMpeg4Result::Whole;
}

TMpeg4Result TMpeg4VideoCheck::Vop(FileBytes& b, std::uint64_t offset, std::uint64_t size, std::uint64_t& badAt) {
  static const TVlc intraMcbpc(kIntraMcbpc, 9), interMcbpc(kInterMcbpc, 9), cbpyVlc(kCbpy, 6), mvd(kMvd, 12),
      interTcoef(kTcoef, 13, true), intraTcoef(kIntraTcoef, 13, true), dcLuma(kDcLuma, 11), dcChroma(kDcChroma, 12);
  static const std::array<std::uint8_t, 102> interRuns = TcoefRuns(), intraRuns = IntraTcoefRuns();
  if (!layer_.seen || !layer_.decodable) return TMpeg4Result::Unchecked;
  TStreamBits bits(b, offset, size);
  std::uint64_t at = 0;  // the bit where the code being decoded starts
  auto damaged = [&] {
    if (bits.Unreadable) return TMpeg4Result::Unchecked;
    badAt = offset + std::min<std::uint64_t>(at / 8, size == 0 ? 0 : size - 1);
    return TMpeg4Result::Damaged;
  };
  auto failed = [&] { return bits.Over() || bits.Unreadable; };
  const std::uint32_t type = bits.Get(2);
  if (type >= 2) return TMpeg4Result::Unchecked;  // B- and sprite VOPs
  const bool inter = type == 1;
  for (int seconds = 0; bits.Get(1) != 0; ++seconds)
    if (seconds > 65535 || failed()) return damaged();
  if (bits.Get(1) != 1) return damaged();
  bits.Get(layer_.timeBits);
  if (bits.Get(1) != 1) return damaged();
  bool coded = bits.Get(1) != 0;
  int dcThreshold = 0, fcode = 1;
  if (coded) {
    if (inter) bits.Get(1);  // rounding type
    dcThreshold = static_cast<int>(bits.Get(3));
    if (bits.Get(5) == 0) return damaged();  // quantiser
    if (inter) {
      fcode = static_cast<int>(bits.Get(3));
      if (fcode == 0) return damaged();
    }
  }
  // The DC of intra blocks has its own code at a threshold of 0; at 7 it is
  // a coefficient like the others; in between it depends on the running
  // quantiser, which this check does not follow.
  if (dcThreshold != 0 && dcThreshold != 7) return TMpeg4Result::Unchecked;
  const bool dcCode = dcThreshold == 0;
  const int mbs = coded ? layer_.mbWidth * layer_.mbHeight : 0;
  int mbBits = 1;
  while ((1 << mbBits) < mbs) ++mbBits;
  // Reads a block's coefficients from index i; false on a code no table holds.
  auto coefficients = [&](const TVlc& vlc, const std::array<std::uint8_t, 102>& runs, int lastFrom, int i) {
    for (;;) {
      at = bits.Pos();
      int c = vlc.Read(bits);
      if (c < 0) return false;
      bool last = false;
      int run = 0;
      if (c == kTcoefEscape) {
        if (bits.Get(1) == 0 || bits.Get(1) == 0) {
          // A code whose level or run is offset by the largest of its kind.
          c = vlc.Read(bits);
          if (c < 0 || c == kTcoefEscape) return false;
          last = c >= lastFrom;
          run = runs[static_cast<std::size_t>(c)];
        } else {
          last = bits.Get(1) != 0;
          run = static_cast<int>(bits.Get(6));
          if (bits.Get(1) != 1) return false;
          if (bits.Get(12) == 0) return false;
          if (bits.Get(1) != 1) return false;
        }
      } else {
        last = c >= lastFrom;
        run = runs[static_cast<std::size_t>(c)];
      }
      i += run + 1;
      if (i > 64) return false;
      if (last) return true;
      if (failed()) return false;
    }
  };
  for (int mb = 0; mb < mbs; ++mb) {
    if (failed()) return damaged();
    at = bits.Pos();
    if (layer_.resync && mb > 0) {
      // A video packet starts with stuffing to a byte and a resync marker,
      // which no macroblock code begins with, then the number of its first
      // macroblock and its quantiser, and may repeat the VOP's header.
      const int k = static_cast<int>(8 - bits.Pos() % 8), zeros = inter ? 15 + fcode : 16;
      if (bits.Peek(k) == (1u << (k - 1)) - 1) {
        TStreamBits ahead = bits;
        ahead.Skip(k);
        if (ahead.Peek(zeros + 1) == 1) {
          bits.Skip(k + zeros + 1);
          at = bits.Pos();
          if (static_cast<int>(bits.Get(mbBits)) != mb) return damaged();
          if (bits.Get(5) == 0) return damaged();
          if (bits.Get(1)) {  // header extension
            for (int seconds = 0; bits.Get(1) != 0; ++seconds)
              if (seconds > 65535 || failed()) return damaged();
            if (bits.Get(1) != 1) return damaged();
            bits.Get(layer_.timeBits);
            if (bits.Get(1) != 1) return damaged();
            if (bits.Get(2) != type) return damaged();
            if (static_cast<int>(bits.Get(3)) != dcThreshold) return TMpeg4Result::Unchecked;
            if (inter && static_cast<int>(bits.Get(3)) != fcode) return TMpeg4Result::Unchecked;
          }
        }
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
      if (code < 0 || failed()) return damaged();
    } while (code == (inter ? kInterStuffing : kIntraStuffing));
    if (code == -2) continue;
    const int mbType = inter ? code / 4 : 3 + code / 4;
    const bool intra = mbType >= 3;
    if (intra) bits.Get(1);  // AC prediction
    at = bits.Pos();
    int cbpy = cbpyVlc.Read(bits);
    if (cbpy < 0) return damaged();
    if (!intra) cbpy ^= 0xF;
    if (mbType == 1 || mbType == 4) bits.Get(2);  // DQUANT
    if (!intra)
      for (int v = 0; v < (mbType == 2 ? 8 : 2); ++v) {
        at = bits.Pos();
        const int m = mvd.Read(bits);
        if (m < 0) return damaged();
        if (m != 0) bits.Get(fcode);  // the sign, then the residual of fcode - 1 bits
      }
    const int cbp = cbpy << 2 | (code % 4);
    for (int block = 0; block < 6; ++block) {
      at = bits.Pos();
      if (intra && dcCode) {
        const int dcSize = (block < 4 ? dcLuma : dcChroma).Read(bits);
        if (dcSize < 0) return damaged();
        if (dcSize > 0) bits.Get(dcSize);
        if (dcSize > 8 && bits.Get(1) != 1) return damaged();
      }
      if ((cbp >> (5 - block) & 1) == 0) continue;
      const bool ok = intra ? coefficients(intraTcoef, intraRuns, kIntraTcoefLast, dcCode ? 1 : 0)
                            : coefficients(interTcoef, interRuns, kTcoefLast, 0);
      if (!ok) return damaged();
    }
  }
  at = bits.Pos();
  if (bits.Unreadable) return TMpeg4Result::Unchecked;
  if (bits.Over()) return damaged();
  // A zero, then ones to the byte boundary, and nothing after.
  const std::uint64_t rest = size * 8 - bits.Pos();
  const int k = static_cast<int>(8 - bits.Pos() % 8);
  if (rest < static_cast<std::uint64_t>(k) || bits.Peek(k) != (1u << (k - 1)) - 1) return damaged();
  if (rest > static_cast<std::uint64_t>(k)) return TMpeg4Result::Unchecked;  // more VOPs in the frame
  return TMpeg4Result::Whole;
}

}  // namespace vantrel
