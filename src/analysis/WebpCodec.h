#pragma once
// What the checks of a WebP image's bitstreams (VP8 and VP8L) tell: whether
// the stream decoded to its last byte, and its picture's size.

#include <cstddef>
#include <cstdint>

namespace vantrel {

enum class TCodecResult : std::uint8_t {
  Whole,      // every symbol decoded, ending with the stream's bytes
  Damaged,    // a code no table holds, a reference outside the picture, or an end that misses
  Unchecked,  // a stream this check cannot follow (too large to hold, a feature it leaves alone)
};

struct TCodecCheck {
  TCodecResult Result = TCodecResult::Unchecked;
  std::size_t BadAt = 0;  // on damage, the byte of the stream where decoding failed
  int Width = 0, Height = 0;
};

// A VP8 key frame (the payload of a "VP8 " chunk): its header, the modes of
// its first partition and the tokens of every macroblock in its token
// partitions, each partition's decoder ending close to its last byte.
TCodecCheck CheckVp8Frame(const std::uint8_t* data, std::size_t size);

// A VP8L image (the payload of a "VP8L" chunk, with its header): transforms,
// colour cache, prefix codes and every pixel's symbols, to its last byte.
TCodecCheck CheckVp8lImage(const std::uint8_t* data, std::size_t size);

// The alpha plane of an "ALPH" chunk packed losslessly: a VP8L stream
// without its header, of the picture's width and height.
TCodecCheck CheckVp8lAlpha(const std::uint8_t* data, std::size_t size, int width, int height);

}  // namespace vantrel
