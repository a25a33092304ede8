#include "analysis/AviCheck.h"

#include <algorithm>
#include <array>
#include <vector>

#include "analysis/ClusterCoverage.h"
#include "analysis/FileBytes.h"
#include "analysis/H263Check.h"
#include "analysis/JpegScan.h"
#include "analysis/Mpeg4Check.h"

namespace vantrel {
namespace {

constexpr std::uint32_t FourCC(const char (&s)[5]) {
  return static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[0])) |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[1])) << 8 |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[2])) << 16 |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[3])) << 24;
}

std::uint32_t Upper(std::uint32_t fourcc) {
  std::uint32_t out = 0;
  for (int i = 0; i < 4; ++i) {
    std::uint32_t c = fourcc >> (8 * i) & 0xFF;
    if (c >= 'a' && c <= 'z') c -= 'a' - 'A';
    out |= c << (8 * i);
  }
  return out;
}

enum class TAviCodec : std::uint8_t { Other, Mpeg4, H263, Jpeg };

struct TStream {
  bool video = false;
  TAviCodec codec = TAviCodec::Other;
  TMpeg4VideoCheck mpeg4;
};

struct TChunk {
  std::uint64_t pos;
  std::uint32_t id, size;
};

// No more streams than two digits name, no more chunks remembered for the
// index than this.
constexpr std::size_t kMaxStreams = 100;
constexpr std::size_t kMaxChunks = std::size_t{1} << 20;

class TAviChecker {
 public:
  TAviChecker(FileBytes& b, std::uint64_t end) : b_(b), end_(end), cov_(b.ClusterSize()) {}

  void Run() {
    cov_.CheckedRange(0, 12);
    List(12, end_, 0, 0);
    if (b_.Verdict != vdDamaged && b_.ok && cov_.Covers(end_)) b_.Verified();
  }

 private:
  // The chunks of a list of the given type from start to end, each in its
  // place, lists within lists.
  void List(std::uint64_t start, std::uint64_t end, std::uint32_t type, int depth) {
    std::uint64_t pos = start;
    while (pos + 8 <= end && b_.Verdict != vdDamaged) {
      const std::uint32_t id = b_.Le32(pos), size = b_.Le32(pos + 4);
      if (!b_.ok) return;
      for (int i = 0; i < 4; ++i)
        if ((id >> (8 * i) & 0xFF) < 0x20 || (id >> (8 * i) & 0xFF) > 0x7E) return b_.Damaged(pos);
      if (pos + 8 + size > end) return b_.Damaged(pos);
      cov_.CheckedRange(pos, pos + 8);
      if ((id == FourCC("LIST") || id == FourCC("RIFF")) && size >= 4 && depth < 8) {
        const std::uint32_t listType = b_.Le32(pos + 8);
        cov_.CheckedRange(pos + 8, pos + 12);
        if (listType == FourCC("movi")) moviAt_ = pos + 8;
        if (listType == FourCC("strl") && streams_.size() < kMaxStreams) streams_.emplace_back();
        List(pos + 12, pos + 8 + size, listType, depth + 1);
      } else {
        Chunk(pos, id, size, type);
      }
      pos += 8ull + size + (size & 1);
    }
    // A pad byte may be left out after the last chunk.
    if (pos != end && pos != end + 1 && b_.Verdict != vdDamaged && b_.ok) b_.Damaged(pos);
  }

  void Chunk(std::uint64_t pos, std::uint32_t id, std::uint32_t size, std::uint32_t listType) {
    const std::uint64_t data = pos + 8;
    if (id == FourCC("JUNK")) return Zeros(data, size);
    if (listType == FourCC("strl") && !streams_.empty()) return StreamHeader(streams_.back(), id, data, size);
    if (id == FourCC("idx1")) return Index(pos, size);
    if (listType == FourCC("movi") || listType == FourCC("rec ")) {
      if (chunks_.size() < kMaxChunks) chunks_.push_back({pos, id, size});
      else indexable_ = false;
      const int tens = static_cast<int>(id & 0xFF) - '0', ones = static_cast<int>(id >> 8 & 0xFF) - '0';
      const std::uint32_t kind = id >> 16;
      if (tens < 0 || tens > 9 || ones < 0 || ones > 9 || size == 0) return;
      const std::size_t n = static_cast<std::size_t>(tens * 10 + ones);
      if (n >= streams_.size() || !streams_[n].video) return;
      if (kind == ('d' | 'c' << 8) || kind == ('d' | 'b' << 8)) Frame(streams_[n], data, size);
    }
  }

  // The stream header tells video from the rest, the format of video its codec.
  void StreamHeader(TStream& s, std::uint32_t id, std::uint64_t data, std::uint32_t size) {
    if (id == FourCC("strh") && size >= 8) {
      s.video = b_.Le32(data) == FourCC("vids");
      s.codec = Codec(b_.Le32(data + 4));
    } else if (id == FourCC("strf") && s.video && size >= 40) {
      // The compression of the bitmap header is what decoders go by: a
      // handler of one name may carry frames of another codec.
      s.codec = Codec(b_.Le32(data + 16));
      // The decoder's configuration follows the bitmap header, counted in its size or not.
      const std::uint32_t header = b_.Le32(data);
      if (s.codec == TAviCodec::Mpeg4 && header > 40 && header <= size) s.mpeg4.Headers(b_, data + 40, header - 40);
      else if (s.codec == TAviCodec::Mpeg4 && size > 40) s.mpeg4.Headers(b_, data + 40, size - 40);
    }
  }

  static TAviCodec Codec(std::uint32_t fourcc) {
    switch (Upper(fourcc)) {
      case FourCC("FMP4"):
      case FourCC("XVID"):
      case FourCC("DIVX"):
      case FourCC("DX50"):
      case FourCC("MP4V"):
        return TAviCodec::Mpeg4;
      case FourCC("H263"):
        return TAviCodec::H263;
      case FourCC("MJPG"):
        return TAviCodec::Jpeg;
      default:
        return TAviCodec::Other;
    }
  }

  // A video frame decoded to its last byte covers its bytes.
  void Frame(TStream& s, std::uint64_t data, std::uint32_t size) {
    std::uint64_t bad = 0, from = data, to = data + size;
    if (s.codec == TAviCodec::Mpeg4) {
      const TMpeg4Result r = s.mpeg4.Frame(b_, data, size, bad, from);
      if (r == TMpeg4Result::Damaged) return b_.Damaged(bad);
      if (r != TMpeg4Result::Whole) return;
    } else if (s.codec == TAviCodec::H263) {
      const TH263Result r = CheckH263Picture(b_, data, size, bad);
      if (r == TH263Result::Damaged) return b_.Damaged(bad);
      if (r != TH263Result::Whole) return;
    } else if (s.codec == TAviCodec::Jpeg) {
      if (!JpegImage(data, size, from, to)) return;
    } else {
      return;
    }
    // The headers before a VOP are seen only at their start codes; the
    // cluster they lie in is checked by the frame's first bytes.
    cov_.CheckedRange(data, data + 4);
    cov_.CheckedRange(from, to);
  }

  // A Motion JPEG frame: one image, its markers in order, its scans decoded
  // to the end of image; false when it cannot be decoded here (a frame that
  // relies on default Huffman tables) or on damage. The checked bytes are
  // [from, to): padding after the end of image is not among them.
  bool JpegImage(std::uint64_t data, std::uint32_t size, std::uint64_t& from, std::uint64_t& to) {
    from = data;
    std::uint64_t bad = 0;
    const int result = CheckJpegImage(b_, data, data + size, to, bad);
    if (result == 0) b_.Damaged(bad);
    return result == 1;
  }

  // Padding that holds nothing but zeros is what its writer left; so is the
  // room kept for an index of indexes that was never used (four longs an
  // entry, no entries, the chunk id it is for).
  void Zeros(std::uint64_t data, std::uint32_t size) {
    std::uint64_t pos = data;
    if (size >= 24 && b_.Le32(data) == 4 && b_.Le32(data + 4) == 0 && b_.ok) pos = data + 12;
    const std::uint64_t end = data + size;
    while (pos < end) {
      std::size_t avail = 0;
      const std::uint8_t* p = b_.At(pos, avail);
      if (!p) return;
      avail = static_cast<std::size_t>(std::min<std::uint64_t>(avail, end - pos));
      if (std::any_of(p, p + avail, [](std::uint8_t c) { return c != 0; })) return;
      pos += avail;
    }
    cov_.CheckedRange(data, end);
  }

  // Each entry of the index names a chunk of the movie list by its id, its
  // place (from the list's type or from the file's start) and its size.
  void Index(std::uint64_t pos, std::uint32_t size) {
    const std::uint64_t data = pos + 8;
    if (!indexable_ || moviAt_ == 0 || chunks_.empty() || size == 0) return;
    if (size % 16 != 0) return b_.Damaged(pos);
    const std::uint64_t entries = size / 16;
    std::uint64_t base = ~0ull;
    for (std::uint64_t i = 0; i < entries; ++i) {
      const std::uint64_t e = data + i * 16;
      const std::uint32_t id = b_.Le32(e), offset = b_.Le32(e + 8), length = b_.Le32(e + 12);
      if (!b_.ok) return;
      if (id == FourCC("LIST")) continue;  // a 'rec ' list
      if (base == ~0ull) base = Find(moviAt_ + offset) ? moviAt_ : Find(offset) ? 0 : ~0ull;
      if (base == ~0ull) return;  // places counted from somewhere else
      const TChunk* c = Find(base + offset);
      if (!c || c->id != id || c->size != length) return b_.Damaged(e);
      ++matched_;
    }
    if (matched_ == chunks_.size()) cov_.CheckedRange(data, data + size);
  }

  const TChunk* Find(std::uint64_t pos) const {
    auto it = std::lower_bound(chunks_.begin(), chunks_.end(), pos,
                               [](const TChunk& c, std::uint64_t p) { return c.pos < p; });
    return it != chunks_.end() && it->pos == pos ? &*it : nullptr;
  }

  FileBytes& b_;
  std::uint64_t end_;
  TClusterCoverage cov_;
  std::vector<TStream> streams_;
  std::vector<TChunk> chunks_;
  std::uint64_t moviAt_ = 0;
  std::uint64_t matched_ = 0;
  bool indexable_ = true;
};

}  // namespace

std::uint64_t AviSize(FileBytes& b) {
  const std::uint32_t size = b.Le32(4);
  if (!b.ok || size < 4) return 0;
  const std::uint64_t end = 8ull + size;
  if (end <= b.Limit()) TAviChecker(b, end).Run();
  return end + (end & 1);
}

}  // namespace vantrel
