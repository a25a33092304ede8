// The check of a VP8L (lossless WebP) stream: its transforms, colour cache,
// prefix codes and every pixel's symbols, decoded as the format defines
// them. The pixels themselves are not rebuilt, but for the entropy image
// that tells which prefix codes each block of the picture uses.

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "analysis/WebpCodec.h"

namespace vantrel {
namespace {

constexpr int kMaxCodeLength = 15;
constexpr int kRootBits = 8;
constexpr int kMaxCacheBits = 11;
// Sub-images rebuilt pixel by pixel (the entropy image) and the prefix codes
// held at once are bounded; a stream that needs more stays unchecked.
constexpr std::size_t kMaxEntropyPixels = std::size_t{1} << 24;
constexpr std::size_t kMaxCodeSymbols = std::size_t{1} << 25;

struct TBadStream {};      // the stream breaks a rule of the format
struct TTooLarge {};       // the stream needs more than the check holds

// The bits of the stream, least significant first; bits past its end read as zeros.
class TLsbBits {
 public:
  TLsbBits(const std::uint8_t* data, std::size_t size) : p_(data), size_(size) {}

  std::uint32_t Peek(int n) {
    if (held_ < n) Fill();
    return static_cast<std::uint32_t>(acc_ & ((std::uint64_t{1} << n) - 1));
  }
  void Skip(int n) {
    acc_ >>= n;
    held_ -= n;
    pos_ += static_cast<std::uint64_t>(n);
  }
  std::uint32_t Get(int n) {
    if (n == 0) return 0;
    const std::uint32_t v = Peek(n);
    Skip(n);
    return v;
  }
  std::uint64_t Pos() const { return pos_; }
  bool Over() const { return pos_ > static_cast<std::uint64_t>(size_) * 8; }
  std::size_t Size() const { return size_; }

 private:
  void Fill() {
    if (next_ + 8 <= size_) {
      std::uint64_t v = 0;
      for (int i = 7; i >= 0; --i) v = v << 8 | p_[next_ + static_cast<std::size_t>(i)];
      const int take = (63 - held_) >> 3;
      v &= (std::uint64_t{1} << (8 * take)) - 1;
      acc_ |= v << held_;
      next_ += static_cast<std::size_t>(take);
      held_ += 8 * take;
      return;
    }
    while (held_ <= 56) {
      const std::uint64_t byte = next_ < size_ ? p_[next_] : 0;
      ++next_;
      acc_ |= byte << held_;
      held_ += 8;
    }
  }

  const std::uint8_t* p_;
  std::size_t size_;
  std::size_t next_ = 0;
  std::uint64_t acc_ = 0;
  int held_ = 0;
  std::uint64_t pos_ = 0;
};

// A canonical prefix code: codes of up to kRootBits bits looked up at once,
// longer ones walked bit by bit through the counts of each length.
class TPrefixCode {
 public:
  // False when the lengths make no code: none at all, over-subscribed, or
  // (with more than one symbol) incomplete.
  bool Build(const std::vector<std::uint8_t>& lengths) {
    count_.fill(0);
    int used = 0;
    single_ = -1;
    for (std::size_t s = 0; s < lengths.size(); ++s)
      if (lengths[s] != 0) {
        ++count_[lengths[s]];
        ++used;
        single_ = static_cast<int>(s);
      }
    if (used == 0) return false;
    if (used == 1) return true;  // one symbol takes no bits
    single_ = -1;
    int left = 1;
    for (int len = 1; len <= kMaxCodeLength; ++len) {
      left = 2 * left - count_[static_cast<std::size_t>(len)];
      if (left < 0) return false;
    }
    if (left != 0) return false;
    std::array<int, kMaxCodeLength + 2> offset{};
    for (int len = 1; len <= kMaxCodeLength; ++len)
      offset[static_cast<std::size_t>(len + 1)] = offset[static_cast<std::size_t>(len)] + count_[static_cast<std::size_t>(len)];
    symbols_.assign(static_cast<std::size_t>(used), 0);
    for (std::size_t s = 0; s < lengths.size(); ++s)
      if (lengths[s] != 0) symbols_[static_cast<std::size_t>(offset[lengths[s]]++)] = static_cast<std::uint16_t>(s);
    // The root table: each short code, its bits reversed, with every
    // continuation of the bits after it.
    root_.fill(0);
    int code = 0, index = 0;
    for (int len = 1; len <= kMaxCodeLength; ++len) {
      for (int i = 0; i < count_[static_cast<std::size_t>(len)]; ++i, ++code, ++index) {
        if (len > kRootBits) continue;
        int reversed = 0;
        for (int b = 0; b < len; ++b) reversed |= ((code >> b) & 1) << (len - 1 - b);
        for (int fill = reversed; fill < (1 << kRootBits); fill += 1 << len)
          root_[static_cast<std::size_t>(fill)] = static_cast<std::uint32_t>(symbols_[static_cast<std::size_t>(index)]) << 8 | static_cast<std::uint32_t>(len);
      }
      code <<= 1;
    }
    return true;
  }

  int Read(TLsbBits& bits) const {
    if (single_ >= 0) return single_;
    const std::uint32_t e = root_[bits.Peek(kRootBits)];
    if ((e & 0xFF) != 0) {
      bits.Skip(static_cast<int>(e & 0xFF));
      return static_cast<int>(e >> 8);
    }
    // A code longer than the root table.
    int code = 0, first = 0, index = 0;
    for (int len = 1; len <= kMaxCodeLength; ++len) {
      code |= static_cast<int>(bits.Get(1));
      const int count = count_[static_cast<std::size_t>(len)];
      if (code - count < first) return symbols_[static_cast<std::size_t>(index + code - first)];
      index += count;
      first = (first + count) << 1;
      code <<= 1;
    }
    throw TBadStream{};  // cannot be for a complete code
  }

  std::size_t Symbols() const { return symbols_.size(); }
  // The one symbol of a code that takes no bits, or -1.
  int Single() const { return single_; }

 private:
  std::array<int, kMaxCodeLength + 1> count_{};
  std::array<std::uint32_t, 1 << kRootBits> root_{};
  std::vector<std::uint16_t> symbols_;
  int single_ = -1;
};

// The five codes of a group: green with lengths and cache indices, red, blue, alpha, distance.
struct TCodeGroup {
  std::array<TPrefixCode, 5> codes;
  // Every code takes no bits and the pixel is no copy: such pixels read nothing.
  bool free = false;
};

constexpr std::array<std::uint8_t, 120> kCodeToPlane = {
    0x18, 0x07, 0x17, 0x19, 0x28, 0x06, 0x27, 0x29, 0x16, 0x1a, 0x26, 0x2a, 0x38, 0x05, 0x37, 0x39, 0x15, 0x1b, 0x36, 0x3a,
    0x25, 0x2b, 0x48, 0x04, 0x47, 0x49, 0x14, 0x1c, 0x35, 0x3b, 0x46, 0x4a, 0x24, 0x2c, 0x58, 0x45, 0x4b, 0x34, 0x3c, 0x03,
    0x57, 0x59, 0x13, 0x1d, 0x56, 0x5a, 0x23, 0x2d, 0x44, 0x4c, 0x55, 0x5b, 0x33, 0x3d, 0x68, 0x02, 0x67, 0x69, 0x12, 0x1e,
    0x66, 0x6a, 0x22, 0x2e, 0x54, 0x5c, 0x43, 0x4d, 0x65, 0x6b, 0x32, 0x3e, 0x78, 0x01, 0x77, 0x79, 0x53, 0x5d, 0x11, 0x1f,
    0x64, 0x6c, 0x42, 0x4e, 0x76, 0x7a, 0x21, 0x2f, 0x75, 0x7b, 0x31, 0x3f, 0x63, 0x6d, 0x52, 0x5e, 0x00, 0x74, 0x7c, 0x41,
    0x4f, 0x10, 0x20, 0x62, 0x6e, 0x30, 0x73, 0x7d, 0x51, 0x5f, 0x40, 0x72, 0x7e, 0x61, 0x6f, 0x50, 0x71, 0x7f, 0x60, 0x70};

constexpr std::array<std::uint8_t, 19> kCodeLengthOrder = {17, 18, 0, 1, 2, 3, 4, 5, 16, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

int SubSample(int size, int bits) { return (size + (1 << bits) - 1) >> bits; }

class TVp8lStream {
 public:
  TVp8lStream(const std::uint8_t* data, std::size_t size) : bits_(data, size) {}

  TLsbBits& Bits() { return bits_; }

  // An image stream of width x height: with transforms and an entropy image
  // when it is the picture itself (level 0); the pixels go to argb when it
  // is given.
  void Image(int width, int height, bool level0, std::vector<std::uint32_t>* argb) {
    int xsize = width;
    if (level0) {
      unsigned seen = 0;
      while (bits_.Get(1)) {
        const std::uint32_t type = bits_.Get(2);
        if (seen & (1u << type)) throw TBadStream{};  // each transform once
        seen |= 1u << type;
        if (type == 0 || type == 1) {  // predictor, colour
          const int b = static_cast<int>(bits_.Get(3)) + 2;
          Image(SubSample(xsize, b), SubSample(height, b), false, nullptr);
        } else if (type == 3) {  // colour indexing
          const int colours = static_cast<int>(bits_.Get(8)) + 1;
          Image(colours, 1, false, nullptr);
          xsize = SubSample(xsize, colours > 16 ? 0 : colours > 4 ? 1 : colours > 2 ? 2 : 3);
        }
        Check();
      }
    }
    int cacheBits = 0;
    if (bits_.Get(1)) {
      cacheBits = static_cast<int>(bits_.Get(4));
      if (cacheBits < 1 || cacheBits > kMaxCacheBits) throw TBadStream{};
    }
    // The entropy image: each block's group of prefix codes in its red and green.
    int metaBits = 0, metaWidth = 0;
    std::vector<std::uint32_t> meta;
    std::size_t groups = 1;
    if (level0 && bits_.Get(1)) {
      metaBits = static_cast<int>(bits_.Get(3)) + 2;
      metaWidth = SubSample(xsize, metaBits);
      const std::size_t pixels = static_cast<std::size_t>(metaWidth) * static_cast<std::size_t>(SubSample(height, metaBits));
      if (pixels > kMaxEntropyPixels) throw TTooLarge{};
      meta.reserve(pixels);
      Image(metaWidth, SubSample(height, metaBits), false, &meta);
      for (std::uint32_t& m : meta) {
        m = (m >> 8) & 0xFFFF;
        groups = std::max<std::size_t>(groups, m + 1);
      }
    }
    std::vector<TCodeGroup> codes(groups);
    std::size_t held = 0;
    for (TCodeGroup& g : codes) {
      for (int c = 0; c < 5; ++c) {
        const int alphabet = c == 0 ? 256 + 24 + (cacheBits > 0 ? 1 << cacheBits : 0) : c == 4 ? 40 : 256;
        ReadCode(alphabet, g.codes[static_cast<std::size_t>(c)]);
        held += g.codes[static_cast<std::size_t>(c)].Symbols() + 256;
      }
      if (held > kMaxCodeSymbols) throw TTooLarge{};
      g.free = std::all_of(g.codes.begin(), g.codes.end(), [](const TPrefixCode& c) { return c.Single() >= 0; }) &&
               (g.codes[0].Single() < 256 || g.codes[0].Single() >= 256 + 24);
      Check();
    }
    Pixels(xsize, height, codes, meta, metaBits, metaWidth, cacheBits, argb);
  }

  // Ran past the stream's end: the bytes after it are not its own.
  void Check() const {
    if (bits_.Over()) throw TBadStream{};
  }

 private:
  void ReadCode(int alphabet, TPrefixCode& code) {
    lengths_.assign(static_cast<std::size_t>(alphabet), 0);
    if (bits_.Get(1)) {  // one or two symbols, given as they are
      const int symbols = static_cast<int>(bits_.Get(1)) + 1;
      const int first = static_cast<int>(bits_.Get(bits_.Get(1) ? 8 : 1));
      if (first >= alphabet) throw TBadStream{};
      lengths_[static_cast<std::size_t>(first)] = 1;
      if (symbols == 2) {
        const int second = static_cast<int>(bits_.Get(8));
        if (second >= alphabet) throw TBadStream{};
        lengths_[static_cast<std::size_t>(second)] = 1;
      }
    } else {
      std::vector<std::uint8_t> lengthLengths(19, 0);
      const int count = static_cast<int>(bits_.Get(4)) + 4;
      for (int i = 0; i < count; ++i) lengthLengths[kCodeLengthOrder[static_cast<std::size_t>(i)]] = static_cast<std::uint8_t>(bits_.Get(3));
      TPrefixCode lengthCode;
      if (!lengthCode.Build(lengthLengths)) throw TBadStream{};
      int maxSymbol = alphabet;
      if (bits_.Get(1)) {
        const int n = 2 + 2 * static_cast<int>(bits_.Get(3));
        maxSymbol = 2 + static_cast<int>(bits_.Get(n));
        if (maxSymbol > alphabet) throw TBadStream{};
      }
      int symbol = 0;
      std::uint8_t previous = 8;
      while (symbol < alphabet) {
        if (maxSymbol-- == 0) break;
        const int len = lengthCode.Read(bits_);
        if (len < 16) {
          lengths_[static_cast<std::size_t>(symbol++)] = static_cast<std::uint8_t>(len);
          if (len != 0) previous = static_cast<std::uint8_t>(len);
        } else {
          static constexpr std::array<int, 3> kExtra = {2, 3, 7}, kOffset = {3, 3, 11};
          const int repeat = static_cast<int>(bits_.Get(kExtra[static_cast<std::size_t>(len - 16)])) + kOffset[static_cast<std::size_t>(len - 16)];
          if (symbol + repeat > alphabet) throw TBadStream{};
          const std::uint8_t value = len == 16 ? previous : 0;
          std::fill_n(lengths_.begin() + symbol, repeat, value);
          symbol += repeat;
        }
        Check();
      }
    }
    Check();
    if (!code.Build(lengths_)) throw TBadStream{};
  }

  int Prefixed(int symbol) {
    if (symbol < 4) return symbol + 1;
    const int extra = (symbol - 2) >> 1;
    const int offset = (2 + (symbol & 1)) << extra;
    return offset + static_cast<int>(bits_.Get(extra)) + 1;
  }

  void Pixels(int width, int height, const std::vector<TCodeGroup>& codes, const std::vector<std::uint32_t>& meta,
              int metaBits, int metaWidth, int cacheBits, std::vector<std::uint32_t>* argb) {
    const std::size_t total = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    std::vector<std::uint32_t> cache;
    if (argb && cacheBits > 0) cache.assign(std::size_t{1} << cacheBits, 0);
    auto insert = [&](std::uint32_t c) {
      if (!cache.empty()) cache[(0x1E35A7BDu * c) >> (32 - cacheBits)] = c;
    };
    std::size_t pos = 0;
    int col = 0, row = 0;
    const TCodeGroup* g = &codes[0];
    // One pixel more, with its colour where the picture is kept.
    auto emit = [&](std::uint32_t c) {
      if (argb) {
        argb->push_back(c);
        insert(c);
      }
      ++pos;
      if (++col == width) {
        col = 0;
        ++row;
      }
    };
    auto groupAt = [&] {
      if (!meta.empty()) g = &codes[meta[static_cast<std::size_t>(row >> metaBits) * static_cast<std::size_t>(metaWidth) + static_cast<std::size_t>(col >> metaBits)]];
    };
    const int mask = metaBits == 0 ? 0 : (1 << metaBits) - 1;
    while (pos < total) {
      if ((col & mask) == 0) groupAt();
      if (g->free && !argb) {
        // The pixels up to the end of the block's row read no bits: a
        // picture of such codes is counted through, not walked pixel by pixel.
        const int step = (meta.empty() ? width : std::min(width, (col | mask) + 1)) - col;
        pos += static_cast<std::size_t>(step);
        col += step;
        if (col == width) {
          col = 0;
          ++row;
        }
        continue;
      }
      const int green = g->codes[0].Read(bits_);
      if (green < 256) {
        const int red = g->codes[1].Read(bits_);
        const int blue = g->codes[2].Read(bits_);
        const int alpha = g->codes[3].Read(bits_);
        emit(static_cast<std::uint32_t>(alpha) << 24 | static_cast<std::uint32_t>(red) << 16 |
             static_cast<std::uint32_t>(green) << 8 | static_cast<std::uint32_t>(blue));
      } else if (green < 256 + 24) {
        const std::size_t length = static_cast<std::size_t>(Prefixed(green - 256));
        const int code = Prefixed(g->codes[4].Read(bits_));
        std::size_t dist = 0;
        if (code > 120) {
          dist = static_cast<std::size_t>(code - 120);
        } else {
          const int plane = kCodeToPlane[static_cast<std::size_t>(code - 1)];
          const long d = static_cast<long>(plane >> 4) * width + 8 - (plane & 0xF);
          dist = d >= 1 ? static_cast<std::size_t>(d) : 1;
        }
        // A copy from before the picture's start, or past its end.
        if (dist > pos || length > total - pos) throw TBadStream{};
        if (argb)
          for (std::size_t i = 0; i < length; ++i) {
            const std::uint32_t c = (*argb)[pos + i - dist];
            argb->push_back(c);
            insert(c);
          }
        pos += length;
        col += static_cast<int>(length % static_cast<std::size_t>(width));
        row += static_cast<int>(length / static_cast<std::size_t>(width));
        if (col >= width) {
          col -= width;
          ++row;
        }
        if (pos < total) groupAt();
      } else {  // a colour from the cache
        emit(argb ? cache[static_cast<std::size_t>(green - 256 - 24)] : 0);
      }
      if (bits_.Over()) throw TBadStream{};
    }
  }

  TLsbBits bits_;
  std::vector<std::uint8_t> lengths_;
};

TCodecCheck Run(const std::uint8_t* data, std::size_t size, std::size_t headerBytes, int width, int height) {
  TCodecCheck out;
  out.Width = width;
  out.Height = height;
  TVp8lStream stream(data, size);
  try {
    stream.Bits().Get(static_cast<int>(headerBytes * 8 / 2));
    stream.Bits().Get(static_cast<int>(headerBytes * 8 - headerBytes * 8 / 2));
    stream.Image(width, height, true, nullptr);
    // The stream ends with its bytes: only the last byte's unused bits are left.
    if ((stream.Bits().Pos() + 7) / 8 != size) throw TBadStream{};
    out.Result = TCodecResult::Whole;
  } catch (const TBadStream&) {
    out.Result = TCodecResult::Damaged;
    out.BadAt = size == 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(stream.Bits().Pos() / 8), size - 1);
  } catch (const TTooLarge&) {
    out.Result = TCodecResult::Unchecked;
  }
  return out;
}

}  // namespace

TCodecCheck CheckVp8lImage(const std::uint8_t* data, std::size_t size) {
  TCodecCheck out;
  if (size < 5 || data[0] != 0x2F || (data[4] >> 5) != 0) {
    out.Result = TCodecResult::Damaged;
    return out;
  }
  const std::uint32_t h = data[1] | data[2] << 8 | data[3] << 16 | static_cast<std::uint32_t>(data[4]) << 24;
  const int width = static_cast<int>(h & 0x3FFF) + 1, height = static_cast<int>((h >> 14) & 0x3FFF) + 1;
  // The header is skipped as whole bytes: the signature and the 32 bits after it.
  TCodecCheck r = Run(data + 1, size - 1, 4, width, height);
  if (r.Result == TCodecResult::Damaged) ++r.BadAt;
  return r;
}

TCodecCheck CheckVp8lAlpha(const std::uint8_t* data, std::size_t size, int width, int height) {
  if (width <= 0 || height <= 0) return {TCodecResult::Damaged, 0, width, height};
  return Run(data, size, 0, width, height);
}

}  // namespace vantrel
