#pragma once
// Reading the variable-length codes of H.263 and MPEG-4 video: the bits of
// a range of a found file, a code looked up by its next bits, and the
// tables the two formats share.

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "analysis/FileBytes.h"

namespace vantrel {

// The bits of [from, from + size) of the file, most significant first, read
// through its clusters as they come; bits past the end read as zeros.
class TStreamBits {
 public:
  TStreamBits(FileBytes& b, std::uint64_t from, std::uint64_t size) : b_(b), from_(from), size_(size) {}

  // n from 1 to 32.
  std::uint32_t Peek(int n) {
    if (held_ < n) Fill();
    return static_cast<std::uint32_t>(acc_ >> (64 - n));
  }
  void Skip(int n) {
    if (held_ < n) Fill();
    acc_ <<= n;
    held_ -= n;
    pos_ += static_cast<std::uint64_t>(n);
  }
  std::uint32_t Get(int n) {
    const std::uint32_t v = Peek(n);
    Skip(n);
    return v;
  }
  std::uint64_t Pos() const { return pos_; }
  bool Over() const { return pos_ > size_ * 8; }
  bool Unreadable = false;

 private:
  void Fill() {
    // Eight bytes at once where the cluster at hand has them: the bits past
    // the bytes counted are those of the next byte, taken again next time.
    if (avail_ >= 8 && size_ - next_ >= 8) {
      std::uint64_t v = 0;
      for (int i = 0; i < 8; ++i) v = v << 8 | p_[i];
      const int take = (63 - held_) >> 3;
      acc_ |= v >> held_;
      p_ += take;
      avail_ -= static_cast<std::size_t>(take);
      next_ += static_cast<std::uint64_t>(take);
      held_ += take * 8;
      return;
    }
    // Whole bytes from the cluster at hand, then one at a time.
    while (held_ <= 56 && avail_ > 0 && next_ < size_) {
      acc_ |= static_cast<std::uint64_t>(*p_++) << (56 - held_);
      --avail_;
      ++next_;
      held_ += 8;
    }
    while (held_ <= 56) {
      std::uint8_t byte = 0;
      if (next_ < size_) {
        if (avail_ == 0) {
          p_ = b_.At(from_ + next_, avail_);
          if (!p_) {
            Unreadable = true;
            avail_ = 0;
          }
        }
        if (avail_ > 0) {
          byte = *p_++;
          --avail_;
        }
      }
      ++next_;
      acc_ |= static_cast<std::uint64_t>(byte) << (56 - held_);
      held_ += 8;
    }
  }

  FileBytes& b_;
  std::uint64_t from_, size_;
  std::uint64_t next_ = 0;  // the next byte to take into acc_
  std::uint64_t acc_ = 0;
  int held_ = 0;
  std::uint64_t pos_ = 0;
  const std::uint8_t* p_ = nullptr;
  std::size_t avail_ = 0;
};

// The bits of bytes in memory, most significant first, with Exp-Golomb
// codes; the bytes must be followed by kPadding readable zero bytes, and bits
// past the end read as zeros.
class TMemoryBits {
 public:
  static constexpr std::size_t kPadding = 8;
  TMemoryBits(const std::uint8_t* p, std::size_t bytes) : p_(p), bytes_(bytes) { Refill(); }

  // n from 0 to 32.
  std::uint32_t Peek(int n) const { return n == 0 ? 0 : static_cast<std::uint32_t>(cache_ >> (64 - n)); }
  void Skip(int n) {
    pos_ += static_cast<std::uint64_t>(n);
    if (n < held_ - 32) {
      cache_ <<= n;
      held_ -= n;
    } else {
      Refill();
    }
  }
  std::uint32_t Get(int n) {
    const std::uint32_t v = Peek(n);
    Skip(n);
    return v;
  }
  bool Flag() { return Get(1) != 0; }
  // An unsigned Exp-Golomb code; kBad when none of 32 bits or fewer starts here.
  static constexpr std::uint32_t kBad = ~0u;
  std::uint32_t Ue() {
    const std::uint32_t v = Peek(32);
    if (v == 0) {
      Skip(32);
      return kBad;
    }
    const int zeros = LeadingZeros(v);
    if (zeros < 16) {
      Skip(2 * zeros + 1);
      return (v >> (31 - 2 * zeros)) - 1;
    }
    Skip(zeros);
    return Get(zeros + 1) - 1;
  }
  // A signed one; false when there is none, or it lies outside [low, high].
  bool Se(std::int32_t low, std::int32_t high, std::int32_t& value) {
    const std::uint32_t k = Ue();
    if (k == kBad) return false;
    const std::int64_t v = (k & 1) ? (static_cast<std::int64_t>(k) + 1) / 2 : -static_cast<std::int64_t>(k / 2);
    if (v < low || v > high) return false;
    value = static_cast<std::int32_t>(v);
    return true;
  }
  bool Se(std::int32_t low, std::int32_t high) {
    std::int32_t v = 0;
    return Se(low, high, v);
  }
  static int LeadingZeros(std::uint32_t v) { return std::countl_zero(v); }
  std::uint64_t Pos() const { return pos_; }
  // To bit position pos, for a reader that took the bits on by itself.
  void Seek(std::uint64_t pos) {
    pos_ = pos;
    Refill();
  }
  // The 64 bits from bit pos on, past the end zeros: for readers of their own.
  std::uint64_t BitsAt(std::uint64_t pos) const {
    const std::size_t at = static_cast<std::size_t>(pos >> 3);
    if (at >= bytes_) return 0;
    return Load(at) << (pos & 7);
  }

 private:
  // The bits from pos_ on into cache_: at least 57 of them.
  void Refill() {
    const std::size_t at = static_cast<std::size_t>(pos_ >> 3);
    if (at >= bytes_) {
      cache_ = 0;
      held_ = 64;
      return;
    }
    cache_ = Load(at) << (pos_ & 7);
    held_ = 64 - static_cast<int>(pos_ & 7);
  }
  // The eight bytes from at on, the first one most significant.
  std::uint64_t Load(std::size_t at) const {
    std::uint64_t v = 0;
#if defined(__GNUC__)
    std::memcpy(&v, p_ + at, sizeof v);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
#else
    for (int i = 0; i < 8; ++i) v = v << 8 | p_[at + static_cast<std::size_t>(i)];
#endif
    return v;
  }

  const std::uint8_t* p_;
  std::size_t bytes_;
  std::uint64_t pos_ = 0;
  std::uint64_t cache_ = 0;  // the next bits, most significant first
  int held_ = 0;             // how many of them are the bytes'
};

struct TCode {
  std::uint16_t code;
  std::uint8_t length;
};

// A variable-length code looked up by its next maxLength bits: the index of
// the code in its table and its length (0: no code starts so).
class TVlc {
 public:
  // signedCodes: a sign bit follows every code but the last, and is read with it.
  template <std::size_t N>
  TVlc(const std::array<TCode, N>& codes, int maxLength, bool signedCodes = false)
      : TVlc(codes.data(), N, maxLength, signedCodes) {}
  // Codes of length 0 are symbols the table does not have. rootBits, when
  // given, splits a table of long codes in two levels: the first rootBits
  // bits, then the rest for the codes longer than that.
  TVlc(const TCode* codes, std::size_t n, int maxLength, bool signedCodes = false, int rootBits = 0)
      : maxLength_(maxLength), rootBits_(rootBits <= 0 || rootBits >= maxLength ? maxLength : rootBits),
        subMask_((1u << (maxLength - rootBits_)) - 1), lut_(std::size_t{1} << rootBits_) {
    for (std::size_t i = 0; i < n; ++i) {
      if (codes[i].length == 0) continue;
      const bool sign = signedCodes && i + 1 < n;
      const int length = codes[i].length + (sign ? 1 : 0);
      for (std::uint32_t bit = 0; bit < (sign ? 2u : 1u); ++bit) {
        const std::size_t code = sign ? static_cast<std::size_t>(codes[i].code) << 1 | bit : codes[i].code;
        const TCode entry = {static_cast<std::uint16_t>(i), static_cast<std::uint8_t>(length)};
        if (length <= rootBits_) {
          Fill(code << (rootBits_ - length), rootBits_ - length, entry);
          continue;
        }
        // A code longer than the first level: in the table of its first bits.
        const std::size_t prefix = code >> (length - rootBits_);
        if (lut_[prefix].length != kSubTable) {
          lut_[prefix] = {static_cast<std::uint16_t>(lut_.size()), kSubTable};
          lut_.resize(lut_.size() + subMask_ + 1);
        }
        const std::size_t rest = code & ((std::size_t{1} << (length - rootBits_)) - 1);
        Fill(lut_[prefix].code + (rest << (maxLength - length)), maxLength - length, entry);
      }
    }
  }
  // The index of the next code, or -1 when none starts there.
  template <class TBitsIn>
  int Read(TBitsIn& bits) const {
    const TCode* e = &lut_[bits.Peek(rootBits_)];
    if (e->length == kSubTable) e = &lut_[e->code + (bits.Peek(maxLength_) & subMask_)];
    if (e->length == 0) return -1;
    bits.Skip(e->length);
    return e->code;
  }

 private:
  static constexpr std::uint8_t kSubTable = 0xFF;  // code: where the second level starts
  void Fill(std::size_t first, int free, TCode entry) {
    for (std::size_t s = 0; s < (std::size_t{1} << free); ++s) lut_[first + s] = entry;
  }
  int maxLength_;
  int rootBits_;
  std::uint32_t subMask_;
  std::vector<TCode> lut_;  // code: the index in the table
};

// MCBPC of intra pictures: macroblock types 3 and 4 with CBPC 0..3, then stuffing.
inline constexpr std::array<TCode, 9> kIntraMcbpc = {{{1, 1}, {1, 3}, {2, 3}, {3, 3}, {1, 4}, {1, 6}, {2, 6}, {3, 6}, {1, 9}}};
inline constexpr int kIntraStuffing = 8;
// MCBPC of inter pictures: types 0..4 with CBPC 0..3, then stuffing.
inline constexpr std::array<TCode, 21> kInterMcbpc = {{{1, 1}, {3, 4}, {2, 4}, {5, 6}, {3, 3}, {7, 7}, {6, 7},
                                                {5, 9}, {2, 3}, {5, 7}, {4, 7}, {5, 8}, {3, 5}, {4, 8},
                                                {3, 8}, {3, 7}, {4, 6}, {4, 9}, {3, 9}, {2, 9}, {1, 9}}};
inline constexpr int kInterStuffing = 20;
// CBPY by its value for intra macroblocks (inverted for inter ones).
inline constexpr std::array<TCode, 16> kCbpy = {{{3, 4}, {5, 5}, {4, 5}, {9, 4}, {3, 5}, {7, 4}, {2, 6}, {11, 4},
                                          {2, 5}, {3, 6}, {5, 4}, {10, 4}, {4, 4}, {8, 4}, {6, 4}, {3, 2}}};
// Motion vector differences by magnitude in half pixels; a sign bit follows all but 0.
inline constexpr std::array<TCode, 33> kMvd = {{{1, 1},   {1, 2},   {1, 3},   {1, 4},   {3, 6},   {5, 7},   {4, 7},
                                         {3, 7},   {11, 9},  {10, 9},  {9, 9},   {17, 10}, {16, 10}, {15, 10},
                                         {14, 10}, {13, 10}, {12, 10}, {11, 10}, {10, 10}, {9, 10},  {8, 10},
                                         {7, 10},  {6, 10},  {5, 10},  {4, 10},  {7, 11},  {6, 11},  {5, 11},
                                         {4, 11},  {3, 11},  {2, 11},  {3, 12},  {2, 12}}};
// Transform coefficients (LAST, RUN, LEVEL): the 58 codes of LAST 0, the 44
// of LAST 1, then ESCAPE; a sign bit follows all but ESCAPE.
inline constexpr std::array<TCode, 103> kTcoef = {{
    {0x2, 2},   {0xf, 4},   {0x15, 6},  {0x17, 7},  {0x1f, 8},  {0x25, 9},  {0x24, 9},  {0x21, 10}, {0x20, 10},
    {0x7, 11},  {0x6, 11},  {0x20, 11}, {0x6, 3},   {0x14, 6},  {0x1e, 8},  {0xf, 10},  {0x21, 11}, {0x50, 12},
    {0xe, 4},   {0x1d, 8},  {0xe, 10},  {0x51, 12}, {0xd, 5},   {0x23, 9},  {0xd, 10},  {0xc, 5},   {0x22, 9},
    {0x52, 12}, {0xb, 5},   {0xc, 10},  {0x53, 12}, {0x13, 6},  {0xb, 10},  {0x54, 12}, {0x12, 6},  {0xa, 10},
    {0x11, 6},  {0x9, 10},  {0x10, 6},  {0x8, 10},  {0x16, 7},  {0x55, 12}, {0x15, 7},  {0x14, 7},  {0x1c, 8},
    {0x1b, 8},  {0x21, 9},  {0x20, 9},  {0x1f, 9},  {0x1e, 9},  {0x1d, 9},  {0x1c, 9},  {0x1b, 9},  {0x1a, 9},
    {0x22, 11}, {0x23, 11}, {0x56, 12}, {0x57, 12}, {0x7, 4},   {0x19, 9},  {0x5, 11},  {0xf, 6},   {0x4, 11},
    {0xe, 6},   {0xd, 6},   {0xc, 6},   {0x13, 7},  {0x12, 7},  {0x11, 7},  {0x10, 7},  {0x1a, 8},  {0x19, 8},
    {0x18, 8},  {0x17, 8},  {0x16, 8},  {0x15, 8},  {0x14, 8},  {0x13, 8},  {0x18, 9},  {0x17, 9},  {0x16, 9},
    {0x15, 9},  {0x14, 9},  {0x13, 9},  {0x12, 9},  {0x11, 9},  {0x7, 10},  {0x6, 10},  {0x5, 10},  {0x4, 10},
    {0x24, 11}, {0x25, 11}, {0x26, 11}, {0x27, 11}, {0x58, 12}, {0x59, 12}, {0x5a, 12}, {0x5b, 12}, {0x5c, 12},
    {0x5d, 12}, {0x5e, 12}, {0x5f, 12}, {0x3, 7},
}};
inline constexpr int kTcoefLast = 58;
inline constexpr int kTcoefEscape = 102;

// The RUN of each coefficient code: how many codes each run has, in order.
inline std::array<std::uint8_t, 102> TcoefRuns() {
  std::array<std::uint8_t, 102> runs{};
  static constexpr std::array<int, 11> kFirst = {12, 6, 4, 3, 3, 3, 3, 2, 2, 2, 2};  // LAST 0, runs 0..10
  std::size_t i = 0;
  for (std::size_t run = 0; run < 27; ++run)
    for (int k = 0; k < (run < kFirst.size() ? kFirst[run] : 1); ++k) runs[i++] = static_cast<std::uint8_t>(run);
  for (std::size_t run = 0; run < 41; ++run)
    for (int k = 0; k < (run == 0 ? 3 : run == 1 ? 2 : 1); ++k) runs[i++] = static_cast<std::uint8_t>(run);
  return runs;
}

}  // namespace vantrel
