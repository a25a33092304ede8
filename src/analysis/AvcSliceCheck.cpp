#include "analysis/AvcSliceCheck.h"

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstring>

#include "analysis/AvcCabac.h"
#include "analysis/FileBytes.h"
#include "analysis/VlcBits.h"

namespace vantrel {
namespace {

// NAL units larger than this are not looked into.
constexpr std::uint64_t kMaxNalSize = 32u << 20;
// The largest picture of the format's levels, in macroblocks.
constexpr std::uint32_t kMaxPictureMbs = 139264;
constexpr std::uint32_t kMaxMbWidth = 1024;

// coeff_token by TotalCoeff * 4 + TrailingOnes: the lengths and the codes for
// 0 <= nC < 2, 2 <= nC < 4, 4 <= nC < 8 and 8 <= nC.
constexpr std::uint8_t kCoeffTokenLength[4][68] = {
    {1,  0,  0,  0,  6,  2,  0,  0,  8,  6,  3,  0,  9,  8,  7,  5,  10, 9,  8,  6,  11, 10, 9,
     7,  13, 11, 10, 8,  13, 13, 11, 9,  13, 13, 13, 10, 14, 14, 13, 11, 14, 14, 14, 13, 15, 15,
     14, 14, 15, 15, 15, 14, 16, 15, 15, 15, 16, 16, 16, 15, 16, 16, 16, 16, 16, 16, 16, 16},
    {2,  0,  0,  0,  6,  2,  0,  0,  6,  5,  3,  0,  7,  6,  6,  4,  8,  6,  6,  4,  8,  7,  7,
     5,  9,  8,  8,  6,  11, 9,  9,  6,  11, 11, 11, 7,  12, 11, 11, 9,  12, 12, 12, 11, 12, 12,
     12, 11, 13, 13, 13, 12, 13, 13, 13, 13, 13, 14, 13, 13, 14, 14, 14, 13, 14, 14, 14, 14},
    {4, 0, 0, 0, 6, 4, 0, 0, 6, 5, 4, 0, 6, 5, 5, 4, 7, 5, 5, 4, 7, 5, 5, 4, 7, 6, 6, 4,
     7, 6, 6, 4, 8, 7, 7, 5, 8, 8, 7, 6, 9, 8, 8, 7, 9, 9, 8, 8, 9, 9, 9, 8, 10, 9, 9, 9,
     10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10},
    {6, 0, 0, 0, 6, 6, 0, 0, 6, 6, 6, 0, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6,
     6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6},
};
constexpr std::uint8_t kCoeffTokenCode[4][68] = {
    {1, 0, 0, 0, 5, 1, 0, 0, 7,  4,  1,  0, 7,  6,  5, 3, 7,  6, 5,  3,  7,  6, 5, 4,  15, 6,  5, 4,
     11, 14, 5, 4, 8, 10, 13, 4, 15, 14, 9, 4, 11, 10, 13, 12, 15, 14, 9, 12, 11, 10, 13, 8, 15, 1,
     9, 12, 11, 14, 13, 8, 7, 10, 9, 12, 4, 6, 5, 8},
    {3, 0, 0, 0, 11, 2, 0, 0, 7,  7,  3, 0,  7,  10, 9,  5,  7,  6,  5,  4,  4,  6,  5,  6,
     7, 6, 5, 8, 15, 6, 5, 4, 11, 14, 13, 4, 15, 10, 9, 4, 11, 14, 13, 12, 8, 10, 9, 8,
     15, 14, 13, 12, 11, 10, 9, 12, 7, 11, 6, 8, 9, 8, 10, 1, 7, 6, 5, 4},
    {15, 0, 0, 0, 15, 14, 0, 0, 11, 15, 13, 0, 8, 12, 14, 12, 15, 10, 11, 11, 11, 8, 9, 10,
     9, 14, 13, 9, 8, 10, 9, 8, 15, 14, 13, 13, 11, 14, 10, 12, 15, 10, 13, 12, 11, 14, 9, 12,
     8, 10, 13, 8, 13, 7, 9, 12, 9, 12, 11, 10, 5, 8, 7, 6, 1, 4, 3, 2},
    {3,  0,  0,  0,  0,  1,  0,  0,  4,  5,  6,  0,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18,
     19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41,
     42, 43, 44, 45, 46, 47, 48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63},
};
// coeff_token of the chroma DC block of 4:2:0 (nC = -1).
constexpr std::uint8_t kChromaDcTokenLength[1][20] = {{2, 0, 0, 0, 6, 1, 0, 0, 6, 6, 3, 0, 6, 7, 7, 6, 6, 8, 8, 7}};
constexpr std::uint8_t kChromaDcTokenCode[1][20] = {{1, 0, 0, 0, 7, 1, 0, 0, 4, 6, 1, 0, 3, 3, 2, 5, 2, 3, 2, 0}};
// total_zeros of 4x4 blocks by TotalCoeff - 1.
constexpr std::uint8_t kTotalZerosLength[15][16] = {
    {1, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 9}, {3, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 6, 6, 6, 6},
    {4, 3, 3, 3, 4, 4, 3, 3, 4, 5, 5, 6, 5, 6},       {5, 3, 4, 4, 3, 3, 3, 4, 3, 4, 5, 5, 5},
    {4, 4, 4, 3, 3, 3, 3, 3, 4, 5, 4, 5},             {6, 5, 3, 3, 3, 3, 3, 3, 4, 3, 6},
    {6, 5, 3, 3, 3, 2, 3, 4, 3, 6},                   {6, 4, 5, 3, 2, 2, 3, 3, 6},
    {6, 6, 4, 2, 2, 3, 2, 5},                         {5, 5, 3, 2, 2, 2, 4},
    {4, 4, 3, 3, 1, 3},                               {4, 4, 2, 1, 3},
    {3, 3, 1, 2},                                     {2, 2, 1},
    {1, 1},
};
constexpr std::uint8_t kTotalZerosCode[15][16] = {
    {1, 3, 2, 3, 2, 3, 2, 3, 2, 3, 2, 3, 2, 3, 2, 1}, {7, 6, 5, 4, 3, 5, 4, 3, 2, 3, 2, 3, 2, 1, 0},
    {5, 7, 6, 5, 4, 3, 4, 3, 2, 3, 2, 1, 1, 0},       {3, 7, 5, 4, 6, 5, 4, 3, 3, 2, 2, 1, 0},
    {5, 4, 3, 7, 6, 5, 4, 3, 2, 1, 1, 0},             {1, 1, 7, 6, 5, 4, 3, 2, 1, 1, 0},
    {1, 1, 5, 4, 3, 3, 2, 1, 1, 0},                   {1, 1, 1, 3, 3, 2, 2, 1, 0},
    {1, 0, 1, 3, 2, 1, 1, 1},                         {1, 0, 1, 3, 2, 1, 1},
    {0, 1, 1, 2, 1, 3},                               {0, 1, 1, 1, 1},
    {0, 1, 1, 1},                                     {0, 1, 1},
    {0, 1},
};
// total_zeros of the chroma DC block of 4:2:0 by TotalCoeff - 1.
constexpr std::uint8_t kChromaDcZerosLength[3][4] = {{1, 2, 3, 3}, {1, 2, 2, 0}, {1, 1, 0, 0}};
constexpr std::uint8_t kChromaDcZerosCode[3][4] = {{1, 1, 1, 0}, {1, 1, 0, 0}, {1, 0, 0, 0}};
// run_before by zerosLeft - 1 (the last for more than six).
constexpr std::uint8_t kRunLength[7][15] = {{1, 1},
                                            {1, 2, 2},
                                            {2, 2, 2, 2},
                                            {2, 2, 2, 3, 3},
                                            {2, 2, 3, 3, 3, 3},
                                            {2, 3, 3, 3, 3, 3, 3},
                                            {3, 3, 3, 3, 3, 3, 3, 4, 5, 6, 7, 8, 9, 10, 11}};
constexpr std::uint8_t kRunCode[7][15] = {{1, 0},
                                          {1, 1, 0},
                                          {3, 2, 1, 0},
                                          {3, 2, 1, 1, 0},
                                          {3, 2, 3, 2, 1, 0},
                                          {3, 0, 1, 3, 2, 5, 4},
                                          {7, 6, 5, 4, 3, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1}};

// coded_block_pattern by its code number: intra (Intra_4x4/8x8) and inter,
// with chroma and for monochrome.
constexpr std::uint8_t kIntraCbp[48] = {47, 31, 15, 0,  23, 27, 29, 30, 7,  11, 13, 14, 39, 43, 45, 46,
                                        16, 3,  5,  10, 12, 19, 21, 26, 28, 35, 37, 42, 44, 1,  2,  4,
                                        8,  17, 18, 20, 24, 6,  9,  22, 25, 32, 33, 34, 36, 40, 38, 41};
constexpr std::uint8_t kInterCbp[48] = {0,  16, 1,  2,  4,  8,  32, 3,  5,  10, 12, 15, 47, 7,  11, 13,
                                        14, 6,  9,  31, 35, 37, 42, 44, 33, 34, 36, 40, 39, 43, 45, 46,
                                        17, 18, 20, 24, 19, 21, 26, 28, 23, 27, 29, 30, 22, 25, 38, 41};
constexpr std::uint8_t kIntraCbpGray[16] = {15, 0, 7, 11, 13, 14, 3, 5, 10, 12, 1, 2, 4, 8, 6, 9};
constexpr std::uint8_t kInterCbpGray[16] = {0, 1, 2, 4, 8, 3, 5, 10, 12, 15, 7, 11, 13, 14, 6, 9};

// The prediction of each partition of B macroblock types 1 to 21: 1 list 0,
// 2 list 1, 3 both; the second partition's in the high nibble.
constexpr std::uint8_t kBPartPred[22] = {0,    1,    2,    3,    0x11, 0x11, 0x22, 0x22, 0x21, 0x21, 0x12,
                                         0x12, 0x31, 0x31, 0x32, 0x32, 0x13, 0x13, 0x23, 0x23, 0x33, 0x33};
// B sub-macroblock types 0 to 12: the prediction and the partition count.
constexpr std::uint8_t kBSubPred[13] = {0, 1, 2, 3, 1, 1, 2, 2, 3, 3, 1, 2, 3};
constexpr std::uint8_t kBSubParts[13] = {4, 1, 1, 1, 2, 2, 2, 2, 2, 2, 4, 4, 4};
constexpr std::uint8_t kPSubParts[4] = {1, 2, 2, 4};

// The position of each luma 4x4 block of a macroblock, in blocks.
constexpr std::uint8_t kBlockX[16] = {0, 1, 0, 1, 2, 3, 2, 3, 0, 1, 0, 1, 2, 3, 2, 3};
constexpr std::uint8_t kBlockY[16] = {0, 0, 1, 1, 0, 0, 1, 1, 2, 2, 3, 3, 2, 2, 3, 3};

// The suffixLength after a level of levelCode read with suffixLength.
int NextSuffixLength(int suffixLength, std::int64_t levelCode) {
  const std::int64_t magnitude = (levelCode + 2) >> 1;
  if (suffixLength == 0) suffixLength = 1;
  if (magnitude > (3 << (suffixLength - 1)) && suffixLength < 6) ++suffixLength;
  return suffixLength;
}

struct TCavlcTables {
  // coeff_token looked up in one step for 4 <= nC (by its next 10 or 6
  // bits) and the chroma DC block (8 bits), in two for nC < 4: the first 8
  // bits, then the next 8 in the part of tokenLong the entry names. An
  // entry holds the code's length in bits 0-4, TrailingOnes in 5-6 and
  // TotalCoeff in 7-11; 0 for no code, kLongToken | offset for a longer one.
  static constexpr std::uint16_t kLongToken = 0x8000;
  std::array<std::array<std::uint16_t, 256>, 2> tokenShort{};  // nC < 2, nC < 4
  std::vector<std::uint16_t> tokenLong;
  std::array<std::uint16_t, 1024> token4{};
  std::array<std::uint16_t, 64> token8{};
  std::array<std::uint16_t, 256> tokenDc{};
  // total_zeros by TotalCoeff - 1 and the next 9 bits (3 for the chroma DC
  // block): the length in the low nibble, the count in the high one; 0 for
  // no code.
  std::array<std::array<std::uint8_t, 512>, 15> zeros{};
  std::array<std::array<std::uint8_t, 8>, 3> zerosDc{};
  // Levels whose prefix and suffix fit in the next 8 bits, by suffixLength
  // * 2 + (whether 2 is added to the first one): the bits they take in the
  // low nibble, the next suffixLength in the high one; 0 for longer ones.
  std::array<std::array<std::uint8_t, 256>, 14> level{};
  // The same for two levels in a row, the second one's suffixLength in
  // bits 4-6 and bit 7 set; where only the first fits, its entry of level.
  std::array<std::array<std::uint8_t, 256>, 14> levelPair{};
  // run_before by zerosLeft - 1 up to 6 and its next 3 bits, and for more
  // by its next 11: the bits it takes in the low nibble, the run in the
  // high one; 0 for no code.
  std::array<std::array<std::uint8_t, 8>, 6> runShort{};
  std::array<std::uint8_t, 2048> runLong{};
  // Two run_before codes in a row by zerosLeft - 1 up to 6 and the next 6
  // bits: the bits they take in bits 0-2, the two runs in 3-5, bit 6 set;
  // 0 where the first leaves no zeros.
  std::array<std::array<std::uint8_t, 64>, 6> runPair{};
  TCavlcTables() {
    for (std::size_t z = 0; z < 7; ++z)
      for (std::size_t r = 0; r < 15; ++r) {
        const int length = kRunLength[z][r];
        if (length == 0) continue;
        const int width = z < 6 ? 3 : 11;
        const std::uint8_t entry = static_cast<std::uint8_t>(length | r << 4);
        for (int k = 0; k < 1 << (width - length); ++k) {
          const std::size_t at = static_cast<std::size_t>(kRunCode[z][r] << (width - length) | k);
          if (z < 6) runShort[z][at] = entry;
          else runLong[at] = entry;
        }
      }
    for (std::size_t z = 0; z < 6; ++z)
      for (std::size_t bits = 0; bits < 64; ++bits) {
        const std::uint8_t one = runShort[z][bits >> 3];
        const std::size_t left = z + 1 - static_cast<std::size_t>(one >> 4);
        if (left == 0) continue;
        const std::uint8_t two = runShort[left - 1][bits << (one & 15) >> 3 & 7];
        runPair[z][bits] = static_cast<std::uint8_t>(0x40 | ((one & 15) + (two & 15)) | ((one >> 4) + (two >> 4)) << 3);
      }
    for (int suffixLength = 0; suffixLength <= 6; ++suffixLength)
      for (int first = 0; first < 2; ++first)
        for (int bits = 1; bits < 256; ++bits) {
          const int prefix = std::countl_zero(static_cast<std::uint8_t>(bits));
          const int length = prefix + 1 + suffixLength;
          if (length > 8) continue;
          const int suffix = bits >> (8 - length) & ((1 << suffixLength) - 1);
          const int code = (prefix << suffixLength) + suffix + 2 * first;
          level[static_cast<std::size_t>(suffixLength * 2 + first)][static_cast<std::size_t>(bits)] =
              static_cast<std::uint8_t>(length | NextSuffixLength(suffixLength, code) << 4);
        }
    for (std::size_t state = 0; state < 14; ++state)
      for (std::size_t bits = 0; bits < 256; ++bits) {
        const std::uint8_t one = level[state][bits];
        levelPair[state][bits] = one;
        if (one == 0) continue;
        const int length = one & 15;
        const std::uint8_t two = level[static_cast<std::size_t>((one >> 4) * 2)][bits << length & 0xFF];
        if (two != 0 && (two & 15) <= 8 - length)
          levelPair[state][bits] = static_cast<std::uint8_t>(0x80 | (length + (two & 15)) | (two & 0x70));
      }
    for (std::size_t token = 0; token < 68; ++token) {
      const auto entry = [&](int length) {
        return static_cast<std::uint16_t>(length | (token & 3) << 5 | (token >> 2) << 7);
      };
      for (std::size_t row = 0; row < 2; ++row) {
        const int length = kCoeffTokenLength[row][token];
        if (length == 0) continue;
        const std::uint32_t code = kCoeffTokenCode[row][token];
        if (length <= 8) {
          Spread(tokenShort[row].data(), code, length, 8, entry(length));
          continue;
        }
        std::uint16_t& root = tokenShort[row][code >> (length - 8)];
        if (root == 0) {
          root = static_cast<std::uint16_t>(kLongToken | tokenLong.size());
          tokenLong.resize(tokenLong.size() + 256);
        }
        Spread(tokenLong.data() + (root & ~kLongToken), code & ((1u << (length - 8)) - 1), length - 8, 8,
               entry(length));
      }
      if (kCoeffTokenLength[2][token] != 0)
        Spread(token4.data(), kCoeffTokenCode[2][token], kCoeffTokenLength[2][token], 10,
               entry(kCoeffTokenLength[2][token]));
      if (kCoeffTokenLength[3][token] != 0)
        Spread(token8.data(), kCoeffTokenCode[3][token], kCoeffTokenLength[3][token], 6,
               entry(kCoeffTokenLength[3][token]));
      if (token < 20 && kChromaDcTokenLength[0][token] != 0)
        Spread(tokenDc.data(), kChromaDcTokenCode[0][token], kChromaDcTokenLength[0][token], 8,
               entry(kChromaDcTokenLength[0][token]));
    }
    for (std::size_t row = 0; row < 15; ++row)
      for (std::size_t n = 0; n < 16; ++n)
        if (kTotalZerosLength[row][n] != 0)
          Spread(zeros[row].data(), kTotalZerosCode[row][n], kTotalZerosLength[row][n], 9,
                 static_cast<std::uint8_t>(kTotalZerosLength[row][n] | n << 4));
    for (std::size_t row = 0; row < 3; ++row)
      for (std::size_t n = 0; n < 4; ++n)
        if (kChromaDcZerosLength[row][n] != 0)
          Spread(zerosDc[row].data(), kChromaDcZerosCode[row][n], kChromaDcZerosLength[row][n], 3,
                 static_cast<std::uint8_t>(kChromaDcZerosLength[row][n] | n << 4));
  }
  // entry at every index of width bits that starts with the code.
  template <class T>
  static void Spread(T* table, std::uint32_t code, int length, int width, T entry) {
    for (std::uint32_t k = 0; k < 1u << (width - length); ++k) table[code << (width - length) | k] = entry;
  }
};

const TCavlcTables& Tables() {
  static const TCavlcTables tables;
  return tables;
}

// The stop bit of rbsp_trailing_bits: the last bit set of the bytes, or ~0
// when none is. Zero bytes after it are left alone: muxers that take NAL
// units from a byte stream may keep its trailing zero bytes in them.
std::uint64_t StopBit(const std::vector<std::uint8_t>& rbsp, std::size_t bytes) {
  while (bytes > 0 && rbsp[bytes - 1] == 0) --bytes;
  if (bytes == 0) return ~0ull;
  return static_cast<std::uint64_t>(bytes - 1) * 8 + 7 - static_cast<std::uint64_t>(std::countr_zero(rbsp[bytes - 1]));
}

bool ScalingLists(TMemoryBits& bits, int count) {
  for (int i = 0; i < count; ++i) {
    if (!bits.Flag()) continue;
    int last = 8, next = 8;
    for (int j = 0; j < (i < 6 ? 16 : 64); ++j) {
      if (next != 0) {
        std::int32_t delta = 0;
        if (!bits.Se(-128, 127, delta)) return false;
        next = (last + delta + 256) % 256;
      }
      last = next == 0 ? last : next;
    }
  }
  return true;
}

// The non-zero coefficient counts of the blocks a macroblock's neighbours
// share with it: the right column of the one on the left, the bottom row of
// the one above (luma, then Cb and Cr).
struct TEdge {
  std::array<std::uint8_t, 4> luma{};
  std::array<std::array<std::uint8_t, 2>, 2> chroma{};
};

// One slice's macroblocks, parsed to its stop bit.
class TSliceData {
 public:
  TSliceData(TMemoryBits& bits, const TAvcSliceCheck::TSps& sps, const TAvcSliceCheck::TPps& pps, int type,
             std::uint32_t refL0, std::uint32_t refL1, std::uint32_t first)
      : bits_(bits), sps_(sps), pps_(pps), t_(Tables()), type_(type), refL0_(refL0), refL1_(refL1), first_(first),
        top_(sps.mbWidth) {
    // Levels of the profiles beyond these may take an escape of any length.
    maxLevelPrefix_ = sps.profile == 66 || sps.profile == 77 || sps.profile == 88 ? 15 : 31;
    qpOffset_ = 6 * (sps.bitDepthLuma - 8);
  }

  // false at the first thing that cannot be; stop is the stop bit.
  bool Run(std::uint64_t stop) {
    const std::uint32_t pictureMbs = sps_.mbWidth * sps_.mbHeight;
    std::uint32_t mb = first_;
    for (;;) {
      if (type_ != kI) {
        const std::uint32_t skip = bits_.Ue();
        if (skip == TMemoryBits::kBad || skip > pictureMbs - mb) return false;
        for (std::uint32_t k = 0; k < skip; ++k) Uncoded(mb + k, 0);
        mb += skip;
        if (bits_.Pos() > stop) return false;
        if (skip > 0 && bits_.Pos() == stop) return true;
      }
      if (mb >= pictureMbs) return false;
      if (!Macroblock(mb)) return false;
      ++mb;
      if (bits_.Pos() >= stop) return bits_.Pos() == stop;
    }
  }

 private:
  static constexpr int kP = 0, kB = 1, kI = 2;

  // A skipped macroblock (count 0) or an I_PCM one (count 16).
  void Uncoded(std::uint32_t mb, std::uint8_t count) {
    TEdge e;
    e.luma.fill(count);
    for (auto& c : e.chroma) c.fill(count);
    left_ = e;
    top_[mb % sps_.mbWidth] = e;
  }

  // te(v) of a reference index below count.
  bool RefIdx(std::uint32_t count) {
    if (count <= 1) return true;
    if (count == 2) {
      bits_.Skip(1);
      return true;
    }
    const std::uint32_t v = bits_.Ue();
    return v < count;
  }
  bool Mvd() { return bits_.Se(-32768, 32767) && bits_.Se(-32768, 32767); }

  bool Macroblock(std::uint32_t mb) {
    mbX_ = mb % sps_.mbWidth;
    leftAvail_ = mbX_ > 0 && mb - 1 >= first_;
    topAvail_ = mb >= sps_.mbWidth && mb - sps_.mbWidth >= first_;
    const std::uint32_t mbType = bits_.Ue();
    if (mbType == TMemoryBits::kBad) return false;
    std::uint32_t intra = ~0u;  // the type among the intra ones
    if (type_ == kI) intra = mbType;
    else if (type_ == kP && mbType >= 5) intra = mbType - 5;
    else if (type_ == kB && mbType >= 23) intra = mbType - 23;
    if (intra != ~0u && intra > 25) return false;

    int cbpLuma = 0, cbpChroma = 0;
    bool intra16 = false;
    if (intra == 25) {
      // I_PCM: zero bits to the byte's end, then the samples.
      const int align = static_cast<int>((8 - (bits_.Pos() & 7)) & 7);
      if (bits_.Get(align) != 0) return false;
      const int chromaSamples = sps_.chromaFormat == 0 ? 0 : 128;
      bits_.Skip(256 * sps_.bitDepthLuma + chromaSamples * sps_.bitDepthChroma);
      Uncoded(mb, 16);
      return true;
    }
    if (intra != ~0u) {
      if (intra == 0) {
        const bool t8 = pps_.transform8x8 && bits_.Flag();
        for (int i = 0; i < (t8 ? 4 : 16); ++i)
          if (!bits_.Flag()) bits_.Skip(3);
      } else {
        intra16 = true;
        cbpLuma = intra >= 13 ? 15 : 0;
        cbpChroma = static_cast<int>((intra - 1) / 4 % 3);
      }
      if (sps_.chromaFormat != 0 && bits_.Ue() > 3) return false;
      if (intra == 0 && !Cbp(true, cbpLuma, cbpChroma)) return false;
    } else {
      bool small = false;  // a sub-macroblock partition below 8x8
      bool direct16 = false;
      if ((type_ == kP && mbType >= 3) || (type_ == kB && mbType == 22)) {
        if (!SubMacroblocks(type_ == kP && mbType == 4, small)) return false;
      } else if (type_ == kB && mbType == 0) {
        direct16 = true;
      } else {
        int parts = 1;
        std::uint8_t pred = 1;
        if (type_ == kP) {
          parts = mbType == 0 ? 1 : 2;
          pred = parts == 1 ? 0x01 : 0x11;
        } else {
          parts = mbType <= 3 ? 1 : 2;
          pred = kBPartPred[mbType];
        }
        for (int list = 0; list < 2; ++list)
          for (int p = 0; p < parts; ++p)
            if ((pred >> (4 * p) & (list + 1)) && !RefIdx(list == 0 ? refL0_ : refL1_)) return false;
        for (int list = 0; list < 2; ++list)
          for (int p = 0; p < parts; ++p)
            if ((pred >> (4 * p) & (list + 1)) && !Mvd()) return false;
      }
      if (!Cbp(false, cbpLuma, cbpChroma)) return false;
      if (cbpLuma > 0 && pps_.transform8x8 && !small && (!direct16 || sps_.direct8x8Inference)) bits_.Skip(1);
    }
    if (cbpLuma == 0 && cbpChroma == 0 && !intra16) {
      Uncoded(mb, 0);
      return true;
    }
    if (!bits_.Se(-(26 + qpOffset_ / 2), 25 + qpOffset_ / 2)) return false;
    return Residual(intra16, cbpLuma, cbpChroma);
  }

  bool Cbp(bool intra, int& luma, int& chroma) {
    const std::uint32_t code = bits_.Ue();
    int cbp = 0;
    if (sps_.chromaFormat == 0) {
      if (code >= 16) return false;
      cbp = intra ? kIntraCbpGray[code] : kInterCbpGray[code];
    } else {
      if (code >= 48) return false;
      cbp = intra ? kIntraCbp[code] : kInterCbp[code];
    }
    luma = cbp & 15;
    chroma = cbp >> 4;
    return true;
  }

  bool SubMacroblocks(bool ref0, bool& small) {
    std::array<std::uint32_t, 4> sub{};
    for (auto& s : sub) {
      s = bits_.Ue();
      if (s >= (type_ == kP ? 4u : 13u)) return false;
      const int parts = type_ == kP ? kPSubParts[s] : kBSubParts[s];
      if (type_ == kB && s == 0) {
        if (!sps_.direct8x8Inference) small = true;
      } else if (parts > 1) {
        small = true;
      }
    }
    auto pred = [&](std::uint32_t s) { return type_ == kP ? 1 : kBSubPred[s]; };
    for (int list = 0; list < 2; ++list)
      for (std::uint32_t s : sub)
        if ((pred(s) & (list + 1)) && !(ref0 && list == 0) && !RefIdx(list == 0 ? refL0_ : refL1_)) return false;
    for (int list = 0; list < 2; ++list)
      for (std::uint32_t s : sub)
        if (pred(s) & (list + 1))
          for (int p = 0; p < (type_ == kP ? kPSubParts[s] : kBSubParts[s]); ++p)
            if (!Mvd()) return false;
    return true;
  }

  // nC of a block from the counts of its left and upper neighbours (-1 for none).
  static int Predicted(int left, int top) {
    if (left >= 0 && top >= 0) return (left + top + 1) >> 1;
    if (left >= 0) return left;
    if (top >= 0) return top;
    return 0;
  }

  bool Residual(bool intra16, int cbpLuma, int cbpChroma) {
    // The reader is worked on in a copy the compiler keeps in registers.
    TMemoryBits bits = bits_;
    const bool whole = Residual(bits, intra16, cbpLuma, cbpChroma);
    bits_ = bits;
    return whole;
  }
  bool Residual(TMemoryBits& bits, bool intra16, int cbpLuma, int cbpChroma) {
    std::array<std::array<std::uint8_t, 4>, 4> luma{};  // [y][x]
    std::array<std::array<std::array<std::uint8_t, 2>, 2>, 2> chroma{};  // [component][y][x]
    const TEdge& above = top_[mbX_];
    auto lumaNc = [&](int x, int y) {
      const int left = x > 0 ? luma[y][x - 1] : leftAvail_ ? left_.luma[y] : -1;
      const int top = y > 0 ? luma[y - 1][x] : topAvail_ ? above.luma[x] : -1;
      return Predicted(left, top);
    };
    if (intra16 && ReadBlock(bits, lumaNc(0, 0), 16) < 0) return false;
    for (int i = 0; i < 16; ++i) {
      if (!(cbpLuma >> (i / 4) & 1)) continue;
      const int x = kBlockX[i], y = kBlockY[i];
      const int n = ReadBlock(bits, lumaNc(x, y), intra16 ? 15 : 16);
      if (n < 0) return false;
      luma[y][x] = static_cast<std::uint8_t>(n);
    }
    if (sps_.chromaFormat != 0) {
      if (cbpChroma & 3)
        for (int c = 0; c < 2; ++c)
          if (ReadBlock(bits, -1, 4) < 0) return false;
      if (cbpChroma & 2)
        for (int c = 0; c < 2; ++c)
          for (int i = 0; i < 4; ++i) {
            const int x = i & 1, y = i >> 1;
            const int left = x > 0 ? chroma[c][y][0] : leftAvail_ ? left_.chroma[c][y] : -1;
            const int top = y > 0 ? chroma[c][0][x] : topAvail_ ? above.chroma[c][x] : -1;
            const int n = ReadBlock(bits, Predicted(left, top), 15);
            if (n < 0) return false;
            chroma[c][y][x] = static_cast<std::uint8_t>(n);
          }
    }
    TEdge e;
    for (int k = 0; k < 4; ++k) {
      e.luma[k] = luma[k][3];
      top_[mbX_].luma[k] = luma[3][k];
    }
    for (int c = 0; c < 2; ++c)
      for (int k = 0; k < 2; ++k) {
        e.chroma[c][k] = chroma[c][k][1];
        top_[mbX_].chroma[c][k] = chroma[c][1][k];
      }
    left_ = e;
    return true;
  }

  // One residual block of up to maxCoeff coefficients: its TotalCoeff, or
  // -1 when it cannot be. nC -1 is the chroma DC block.
#if defined(__GNUC__)
  [[gnu::always_inline]]
#endif
  inline int ReadBlock(TMemoryBits& bits, int nC, int maxCoeff) const {
    std::uint32_t entry = 0;
    if (nC < 0) {
      entry = t_.tokenDc[bits.Peek(8)];
    } else if (nC >= 8) {
      entry = t_.token8[bits.Peek(6)];
    } else if (nC >= 4) {
      entry = t_.token4[bits.Peek(10)];
    } else {
      entry = t_.tokenShort[nC < 2 ? 0 : 1][bits.Peek(8)];
      if (entry & TCavlcTables::kLongToken)
        entry = t_.tokenLong[(entry & ~TCavlcTables::kLongToken) + (bits.Peek(16) & 0xFF)];
    }
    if (entry == 0) return -1;
    const int length = static_cast<int>(entry & 31);
    const int total = static_cast<int>(entry >> 7), ones = static_cast<int>(entry >> 5 & 3);
    if (total == 0 || total > maxCoeff) {
      bits.Skip(length);
      return total == 0 ? 0 : -1;
    }
    // The signs of the trailing ones go with the code.
    bits.Skip(length + ones);
    int suffixLength = total > 10 && ones < 3 ? 1 : 0;
    for (int i = ones; i < total; ++i) {
      const int first = i == ones && ones < 3 ? 1 : 0;
      const std::size_t state = static_cast<std::size_t>(suffixLength * 2 + first);
      if (i + 1 < total) {
        const std::uint8_t pair = t_.levelPair[state][bits.Peek(8)];
        if (pair & 0x80) {
          bits.Skip(pair & 15);
          suffixLength = pair >> 4 & 7;
          ++i;
          continue;
        }
        if (pair != 0) {
          bits.Skip(pair & 15);
          suffixLength = pair >> 4;
          continue;
        }
      } else {
        const std::uint8_t fast = t_.level[state][bits.Peek(8)];
        if (fast != 0) {
          bits.Skip(fast & 15);
          suffixLength = fast >> 4;
          continue;
        }
      }
      const std::uint32_t v = bits.Peek(32);
      if (v == 0) return -1;
      const int prefix = TMemoryBits::LeadingZeros(v);
      if (prefix > maxLevelPrefix_) return -1;
      bits.Skip(prefix + 1);
      std::int64_t code = static_cast<std::int64_t>(std::min(15, prefix)) << suffixLength;
      if (suffixLength > 0 || prefix >= 14) {
        const int size = prefix == 14 && suffixLength == 0 ? 4 : prefix >= 15 ? prefix - 3 : suffixLength;
        code += bits.Get(size);
      }
      if (prefix >= 15 && suffixLength == 0) code += 15;
      if (prefix >= 16) code += (std::int64_t{1} << (prefix - 3)) - 4096;
      code += 2 * first;
      suffixLength = NextSuffixLength(suffixLength, code);
    }
    int zeros = 0;
    if (total < maxCoeff) {
      const std::uint8_t e = maxCoeff == 4 ? t_.zerosDc[static_cast<std::size_t>(total - 1)][bits.Peek(3)]
                                           : t_.zeros[static_cast<std::size_t>(total - 1)][bits.Peek(9)];
      if (e == 0) return -1;
      bits.Skip(e & 15);
      zeros = e >> 4;
      if (zeros > maxCoeff - total) return -1;
    }
    for (int i = 0; i < total - 1 && zeros > 0; ++i) {
      if (zeros < 7 && i + 2 < total) {
        // Every 3 bits start a code where 6 zeros or fewer are left.
        const std::uint8_t pair = t_.runPair[static_cast<std::size_t>(zeros - 1)][bits.Peek(6)];
        if (pair != 0) {
          bits.Skip(pair & 7);
          zeros -= pair >> 3 & 7;
          ++i;
          continue;
        }
      }
      const std::uint8_t e = zeros < 7 ? t_.runShort[static_cast<std::size_t>(zeros - 1)][bits.Peek(3)]
                                       : t_.runLong[bits.Peek(11)];
      const int run = e >> 4;
      if (e == 0 || run > zeros) return -1;
      bits.Skip(e & 15);
      zeros -= run;
    }
    return total;
  }

  TMemoryBits& bits_;
  const TAvcSliceCheck::TSps& sps_;
  const TAvcSliceCheck::TPps& pps_;
  const TCavlcTables& t_;
  int type_;
  std::uint32_t refL0_, refL1_, first_;
  int maxLevelPrefix_ = 15;
  int qpOffset_ = 0;
  std::uint32_t mbX_ = 0;
  bool leftAvail_ = false, topAvail_ = false;
  TEdge left_;
  std::vector<TEdge> top_;
};

}  // namespace

bool TAvcSliceCheck::Load(FileBytes& b, std::uint64_t offset, std::uint64_t size, bool& startCode,
                          std::uint64_t& startCodeAt) {
  startCode = false;
  if (size == 0 || size > kMaxNalSize) return false;
  rbsp_.resize(static_cast<std::size_t>(size) + TMemoryBits::kPadding);
  removed_.clear();
  std::size_t n = 0, startCodeIndex = 0;
  int zeros = 0;
  for (std::uint64_t pos = offset; pos < offset + size;) {
    std::size_t avail = 0;
    const std::uint8_t* p = b.At(pos, avail);
    if (!p) return false;
    avail = static_cast<std::size_t>(std::min<std::uint64_t>(avail, offset + size - pos));
    for (std::size_t i = 0; i < avail; ++i) {
      if (zeros == 0) {
        // The bytes before the next zero byte are taken as they are.
        const void* zero = std::memchr(p + i, 0, avail - i);
        const std::size_t end = zero ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - p) : avail;
        std::memcpy(rbsp_.data() + n, p + i, end - i);
        n += end - i;
        i = end;
        if (i == avail) break;
      }
      const std::uint8_t c = p[i];
      if (zeros >= 2 && c <= 3) {
        if (c == 3) {
          removed_.push_back(n);
          zeros = 0;
          continue;
        }
        if (!startCode) startCodeAt = pos + i, startCodeIndex = n;
        startCode = true;
      }
      zeros = c == 0 ? zeros + 1 : 0;
      rbsp_[n++] = c;
    }
    pos += avail;
  }
  std::fill(rbsp_.begin() + static_cast<std::ptrdiff_t>(n), rbsp_.end(), 0);
  rbsp_.resize(n + TMemoryBits::kPadding);
  // Three zero bytes among the trailing ones are no start code.
  if (startCode && std::all_of(rbsp_.begin() + static_cast<std::ptrdiff_t>(startCodeIndex), rbsp_.end(),
                               [](std::uint8_t c) { return c == 0; }))
    startCode = false;
  return true;
}

namespace {

// Where the rbsp byte at index of the NAL unit at offset lies in the file,
// removed the indexes before which an emulation prevention byte was.
std::uint64_t FileOffset(const std::vector<std::uint64_t>& removed, std::uint64_t offset, std::uint64_t index) {
  const auto before = std::upper_bound(removed.begin(), removed.end(), index) - removed.begin();
  return offset + index + static_cast<std::uint64_t>(before);
}

TAvcResult ParseSlice(const std::vector<std::uint8_t>& rbsp, const std::vector<TAvcSliceCheck::TSps>& sps,
                      const std::vector<TAvcSliceCheck::TPps>& pps, std::uint64_t& badIndex);

}  // namespace

void TAvcSliceCheck::ParameterSet(FileBytes& b, std::uint64_t offset, std::uint64_t size) {
  // Slices taken out before this one keep the sets they were read with.
  params_.reset();
  bool startCode = false;
  std::uint64_t at = 0;
  if (size < 2 || size > 4096 || !Load(b, offset, size, startCode, at) || startCode) return;
  const std::size_t bytes = rbsp_.size() - TMemoryBits::kPadding;
  const std::uint64_t stop = StopBit(rbsp_, bytes);
  if (stop == ~0ull) return;
  const int type = rbsp_[0] & 0x1F;
  if (type == 7) Sps(bytes, stop);
  if (type == 8) Pps(bytes, stop);
}

void TAvcSliceCheck::Sps(std::size_t bytes, std::uint64_t stopBit) {
  TMemoryBits bits(rbsp_.data(), bytes);
  bits.Skip(8);
  TSps s;
  s.profile = static_cast<int>(bits.Get(8));
  bits.Skip(16);  // constraint flags, level
  const std::uint32_t id = bits.Ue();
  if (id >= sps_.size()) return;
  sps_[id] = TSps{};
  static constexpr std::array<int, 13> kHigh = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};
  if (std::find(kHigh.begin(), kHigh.end(), s.profile) != kHigh.end()) {
    s.chromaFormat = static_cast<int>(bits.Ue());
    if (s.chromaFormat > 3) return;
    bool separatePlanes = false;
    if (s.chromaFormat == 3) separatePlanes = bits.Flag();
    const std::uint32_t luma = bits.Ue(), chroma = bits.Ue();
    if (luma > 6 || chroma > 6 || separatePlanes) return;
    s.bitDepthLuma = 8 + static_cast<int>(luma);
    s.bitDepthChroma = 8 + static_cast<int>(chroma);
    bits.Skip(1);  // qpprime_y_zero_transform_bypass_flag
    if (bits.Flag() && !ScalingLists(bits, s.chromaFormat != 3 ? 8 : 12)) return;
  }
  const std::uint32_t frameNum = bits.Ue();
  s.pocType = static_cast<int>(bits.Ue());
  if (frameNum > 12 || s.pocType > 2) return;
  s.log2MaxFrameNum = static_cast<int>(frameNum) + 4;
  if (s.pocType == 0) {
    const std::uint32_t lsb = bits.Ue();
    if (lsb > 12) return;
    s.log2MaxPocLsb = static_cast<int>(lsb) + 4;
  } else if (s.pocType == 1) {
    s.deltaPocAlwaysZero = bits.Flag();
    if (!bits.Se(INT32_MIN + 1, INT32_MAX) || !bits.Se(INT32_MIN + 1, INT32_MAX)) return;
    const std::uint32_t cycle = bits.Ue();
    if (cycle > 255) return;
    for (std::uint32_t i = 0; i < cycle; ++i)
      if (!bits.Se(INT32_MIN + 1, INT32_MAX)) return;
  }
  if (bits.Ue() > 16) return;  // max_num_ref_frames
  bits.Skip(1);
  const std::uint32_t w = bits.Ue(), h = bits.Ue();
  if (w >= kMaxMbWidth || h >= kMaxMbWidth) return;
  s.mbWidth = w + 1;
  s.mbHeight = h + 1;
  const bool frameMbsOnly = bits.Flag();
  if (!frameMbsOnly) bits.Skip(1);
  s.direct8x8Inference = bits.Flag();
  if (bits.Pos() > stopBit) return;
  s.valid = true;
  s.decodable = frameMbsOnly && s.chromaFormat <= 1 && s.mbWidth * s.mbHeight <= kMaxPictureMbs;
  sps_[id] = s;
}

void TAvcSliceCheck::Pps(std::size_t bytes, std::uint64_t stopBit) {
  TMemoryBits bits(rbsp_.data(), bytes);
  bits.Skip(8);
  TPps p;
  const std::uint32_t id = bits.Ue();
  if (id >= pps_.size()) return;
  pps_[id] = TPps{};
  p.sps = bits.Ue();
  if (p.sps >= sps_.size()) return;
  p.cabac = bits.Flag();
  p.bottomFieldPoc = bits.Flag();
  const std::uint32_t groups = bits.Ue();
  if (groups > 7) return;
  p.decodable = groups == 0;
  if (groups > 0) {
    // Slice groups are not parsed; the rest of the set is not needed.
    p.valid = true;
    pps_[id] = p;
    return;
  }
  const std::uint32_t l0 = bits.Ue(), l1 = bits.Ue();
  if (l0 > 31 || l1 > 31) return;
  p.refL0 = l0 + 1;
  p.refL1 = l1 + 1;
  p.weighted = bits.Flag();
  p.weightedBipred = static_cast<int>(bits.Get(2));
  std::int32_t qp = 0;
  if (p.weightedBipred == 3 || !bits.Se(-26 - 36, 25, qp) || !bits.Se(-26, 25) || !bits.Se(-12, 12)) return;
  p.initQp = 26 + qp;
  p.deblockingControl = bits.Flag();
  bits.Skip(1);  // constrained_intra_pred_flag
  p.redundantPicCnt = bits.Flag();
  if (bits.Pos() < stopBit) p.transform8x8 = bits.Flag();
  if (bits.Pos() > stopBit) return;
  p.valid = true;
  pps_[id] = p;
}

TAvcResult TAvcSliceCheck::Slice(FileBytes& b, std::uint64_t offset, std::uint64_t size, std::uint64_t& badAt) {
  TAvcResult now = TAvcResult::Unchecked;
  const std::unique_ptr<TAvcSliceJob> job = Take(b, offset, size, now, badAt);
  if (!job) return now;
  Run(*job);
  if (job->Result == TAvcResult::Damaged) badAt = job->BadAt;
  return job->Result;
}

std::unique_ptr<TAvcSliceJob> TAvcSliceCheck::Take(FileBytes& b, std::uint64_t offset, std::uint64_t size,
                                                   TAvcResult& now, std::uint64_t& badAt) {
  bool startCode = false;
  std::uint64_t startCodeAt = 0;
  now = TAvcResult::Unchecked;
  if (size < 2 || !Load(b, offset, size, startCode, startCodeAt)) return nullptr;
  if (startCode) {
    badAt = startCodeAt;
    now = TAvcResult::Damaged;
    return nullptr;
  }
  if (!params_) params_ = std::make_shared<const TAvcParams>(TAvcParams{sps_, pps_});
  auto job = std::make_unique<TAvcSliceJob>();
  job->Params = params_;
  job->Offset = offset;
  job->Rbsp = std::move(rbsp_);
  job->Removed = std::move(removed_);
  rbsp_.clear();
  removed_.clear();
  return job;
}

void TAvcSliceCheck::Run(TAvcSliceJob& job) {
  std::uint64_t badIndex = 0;
  job.Result = ParseSlice(job.Rbsp, job.Params->Sps, job.Params->Pps, badIndex);
  if (job.Result == TAvcResult::Damaged) job.BadAt = FileOffset(job.Removed, job.Offset, badIndex);
  job.Rbsp = {};
  job.Removed = {};
}

namespace {

// A slice NAL unit's rbsp (with its padding) parsed with the parameter sets
// sps and pps; on damage, badIndex is the rbsp byte where parsing failed.
TAvcResult ParseSlice(const std::vector<std::uint8_t>& rbsp, const std::vector<TAvcSliceCheck::TSps>& spsSets,
                      const std::vector<TAvcSliceCheck::TPps>& ppsSets, std::uint64_t& badIndex) {
  using TSps = TAvcSliceCheck::TSps;
  using TPps = TAvcSliceCheck::TPps;
  const std::size_t bytes = rbsp.size() - TMemoryBits::kPadding;
  const std::uint64_t stop = StopBit(rbsp, bytes);
  auto damaged = [&](std::uint64_t bit) {
    badIndex = std::min<std::uint64_t>(bit / 8, bytes - 1);
    return TAvcResult::Damaged;
  };
  if (stop == ~0ull) return damaged(bytes * 8 - 1);
  const int nalType = rbsp[0] & 0x1F, refIdc = rbsp[0] >> 5 & 3;
  TMemoryBits bits(rbsp.data(), bytes);
  bits.Skip(8);
  const std::uint32_t first = bits.Ue(), sliceType = bits.Ue(), ppsId = bits.Ue();
  if (first == TMemoryBits::kBad || sliceType > 9 || ppsId > 255) return damaged(8);
  const TPps& pps = ppsSets[ppsId];
  if (!pps.valid || !pps.decodable || !spsSets[pps.sps].valid) return TAvcResult::Unchecked;
  const TSps& sps = spsSets[pps.sps];
  if (!sps.decodable) return TAvcResult::Unchecked;
  const int type = static_cast<int>(sliceType % 5);
  if (type > 2) return TAvcResult::Unchecked;  // SP and SI slices
  if (first >= sps.mbWidth * sps.mbHeight) return damaged(8);
  const bool p = type == 0, bSlice = type == 1;
  const int chromaArrayType = sps.chromaFormat;

  bits.Skip(sps.log2MaxFrameNum);
  if (nalType == 5 && bits.Ue() > 65535) return damaged(bits.Pos());
  if (sps.pocType == 0) {
    bits.Skip(sps.log2MaxPocLsb);
    if (pps.bottomFieldPoc && !bits.Se(INT32_MIN + 1, INT32_MAX)) return damaged(bits.Pos());
  }
  if (sps.pocType == 1 && !sps.deltaPocAlwaysZero) {
    if (!bits.Se(INT32_MIN + 1, INT32_MAX)) return damaged(bits.Pos());
    if (pps.bottomFieldPoc && !bits.Se(INT32_MIN + 1, INT32_MAX)) return damaged(bits.Pos());
  }
  if (pps.redundantPicCnt && bits.Ue() > 127) return damaged(bits.Pos());
  if (bSlice) bits.Skip(1);  // direct_spatial_mv_pred_flag
  std::uint32_t refL0 = pps.refL0, refL1 = pps.refL1;
  if (p || bSlice) {
    if (bits.Flag()) {
      refL0 = bits.Ue() + 1;
      if (bSlice) refL1 = bits.Ue() + 1;
      if (refL0 == 0 || refL0 > 32 || refL1 == 0 || refL1 > 32) return damaged(bits.Pos());
    }
  }
  // ref_pic_list_modification
  for (int list = 0; list < (bSlice ? 2 : p ? 1 : 0); ++list) {
    if (!bits.Flag()) continue;
    for (std::uint32_t k = 0;; ++k) {
      const std::uint32_t idc = bits.Ue();
      if (idc == 3) break;
      if (idc > 2 || k > 32 || bits.Ue() == TMemoryBits::kBad) return damaged(bits.Pos());
    }
  }
  // pred_weight_table
  if ((pps.weighted && p) || (pps.weightedBipred == 1 && bSlice)) {
    const std::int32_t offsetRange = std::max(128, 1 << (std::max(sps.bitDepthLuma, sps.bitDepthChroma) - 1));
    if (bits.Ue() > 7) return damaged(bits.Pos());
    if (chromaArrayType != 0 && bits.Ue() > 7) return damaged(bits.Pos());
    for (int list = 0; list < (bSlice ? 2 : 1); ++list)
      for (std::uint32_t i = 0; i < (list == 0 ? refL0 : refL1); ++i) {
        // A weight, then an offset (wider for more than 8 bits a sample).
        if (bits.Flag() && (!bits.Se(-128, 127) || !bits.Se(-offsetRange, offsetRange - 1))) return damaged(bits.Pos());
        if (chromaArrayType != 0 && bits.Flag())
          for (int k = 0; k < 4; ++k)
            if (!bits.Se(k % 2 == 0 ? -128 : -offsetRange, k % 2 == 0 ? 127 : offsetRange - 1)) return damaged(bits.Pos());
      }
  }
  // dec_ref_pic_marking
  if (refIdc != 0) {
    if (nalType == 5) {
      bits.Skip(2);
    } else if (bits.Flag()) {
      for (int k = 0;; ++k) {
        const std::uint32_t op = bits.Ue();
        if (op == 0) break;
        if (op > 6 || k > 66) return damaged(bits.Pos());
        if ((op == 1 || op == 3 || op == 2 || op == 4) && bits.Ue() == TMemoryBits::kBad) return damaged(bits.Pos());
        if ((op == 3 || op == 6) && bits.Ue() == TMemoryBits::kBad) return damaged(bits.Pos());
      }
    }
  }
  int initIdc = 0;
  if (pps.cabac && type != 2) {
    const std::uint32_t idc = bits.Ue();
    if (idc > 2) return damaged(bits.Pos());
    initIdc = static_cast<int>(idc);
  }
  const int qpOffset = 6 * (sps.bitDepthLuma - 8);
  std::int32_t qpDelta = 0;
  if (!bits.Se(-87, 87, qpDelta) || pps.initQp + qpDelta < -qpOffset || pps.initQp + qpDelta > 51)
    return damaged(bits.Pos());
  if (pps.deblockingControl) {
    const std::uint32_t idc = bits.Ue();
    if (idc > 2) return damaged(bits.Pos());
    if (idc != 1 && (!bits.Se(-6, 6) || !bits.Se(-6, 6))) return damaged(bits.Pos());
  }
  if (bits.Pos() > stop) return damaged(stop);
  if (pps.cabac) {
    if (!ParseCabacSlice(bits, sps, pps, type, refL0, refL1, first, pps.initQp + qpDelta, initIdc, stop))
      return damaged(std::min(bits.Pos(), stop));
    return TAvcResult::Whole;
  }
  TSliceData data(bits, sps, pps, type, refL0, refL1, first);
  if (!data.Run(stop)) return damaged(std::min(bits.Pos(), stop));
  return TAvcResult::Whole;
}

}  // namespace

}  // namespace vantrel
