#include "analysis/WebpCheck.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

#include "analysis/ClusterCoverage.h"
#include "analysis/FileBytes.h"
#include "analysis/WebpCodec.h"

namespace vantrel {
namespace {

using namespace std::string_view_literals;

// A bitstream larger than this is not held to be decoded; its file stays unchecked.
constexpr std::uint64_t kMaxStreamBytes = 256ull << 20;
// Nor are more chunks than this followed (an animation has one a frame).
constexpr std::size_t kMaxChunks = std::size_t{1} << 20;

struct TChunk {
  std::array<char, 4> id{};
  std::uint64_t at = 0;  // the chunk's header
  std::uint32_t size = 0;
  std::string_view Id() const { return {id.data(), 4}; }
  std::uint64_t Data() const { return at + 8; }
  std::uint64_t End() const { return at + 8 + size; }
};

// One picture: the still image of the file, or a frame of its animation.
struct TPicture {
  int width = 0, height = 0;  // 0: the picture tells its own size
  bool seen = false;          // its VP8 or VP8L chunk came
  bool hasAlpha = false;      // an ALPH chunk came before it
  bool alphaLossless = false;
  TChunk alpha;
  std::vector<std::uint8_t> alphaData;  // a lossless alpha plane, to be decoded with the picture's size
};

// The chunks are followed forward, each bitstream decoded as it comes, so
// that every cluster of the file is read once.
class TWebpCheck {
 public:
  explicit TWebpCheck(FileBytes& b) : b_(b), coverage_(b.ClusterSize()) {}

  std::uint64_t Size() {
    const std::uint32_t riff = b_.Le32(4);
    if (!b_.ok || riff < 4 || !b_.Is(8, "WEBP"sv)) return 0;
    const std::uint64_t end = 8ull + riff;
    const std::uint64_t size = end + (end & 1);
    if (end > b_.Limit()) return size;
    coverage_.CheckedRange(0, 12);
    TPicture still;
    if (!Chunks(12, end, true, still)) return size;
    if (!extended_ || !animated_) {
      if (!still.seen) return Damaged(12), size;
    } else if (frames_ == 0) {
      return Damaged(12), size;
    }
    if (extended_) {
      // Each flag says whether its chunk is there.
      if (((flags_ & 0x20) != 0) != seen("ICCP"sv) || ((flags_ & 0x08) != 0) != seen("EXIF"sv) ||
          ((flags_ & 0x04) != 0) != seen("XMP "sv) || animated_ != seen("ANIM"sv) || (alphaSeen_ && !(flags_ & 0x10)))
        return Damaged(20), size;
    }
    if (checked_ && b_.Verdict != vdDamaged && coverage_.Covers(size)) b_.Verified();
    return size;
  }

 private:
  static int Kind(std::string_view id) {
    return id == "ICCP"sv ? 1 : id == "EXIF"sv ? 2 : id == "XMP "sv ? 4 : id == "ANIM"sv ? 8 : 0;
  }
  bool seen(std::string_view id) const { return (seen_ & Kind(id)) != 0; }

  // The chunks from start to end, each header in its place, odd sizes
  // padded with a zero byte; top is the file's own list (not a frame's).
  bool Chunks(std::uint64_t start, std::uint64_t end, bool top, TPicture& picture) {
    std::uint64_t pos = start;
    while (pos + 8 <= end) {
      if (++chunks_ > kMaxChunks) return Fail();
      TChunk c;
      c.at = pos;
      c.size = b_.Le32(pos + 4);
      if (!b_.Get(pos, c.id.data(), 4) || !b_.ok) return Fail();
      for (char ch : c.id)
        if (ch < 0x20 || ch > 0x7E) return Damaged(pos);
      if (c.End() > end) return Damaged(pos + 4);
      coverage_.CheckedRange(pos, pos + 8);
      if (!Chunk(c, top, pos == start, picture)) return false;
      pos = c.End();
      if (c.size & 1) {
        if (pos < end) {
          const int pad = b_.Byte(pos);
          if (pad < 0) return Fail();
          if (pad != 0) return Damaged(pos);
          coverage_.Checked(pos);
        }
        ++pos;
      }
    }
    // A pad byte may be left out after the last chunk.
    if (pos != end && pos != end + 1) return Damaged(pos);
    return true;
  }

  bool Chunk(const TChunk& c, bool top, bool first, TPicture& picture) {
    const std::string_view id = c.Id();
    if (top && first) {
      if (id == "VP8X"sv) return Extended(c, picture);
      if (id != "VP8 "sv && id != "VP8L"sv) return Damaged(c.at);
    }
    if (id == "VP8 "sv || id == "VP8L"sv) {
      if (picture.seen || (top && animated_)) return Unchecked();  // a second picture: nobody's to check
      picture.seen = true;
      return Picture(c, picture);
    }
    if (id == "ALPH"sv) {
      alphaSeen_ = true;
      if (picture.seen || picture.hasAlpha) return Unchecked();
      return Alpha(c, picture);
    }
    if (top && id == "ANMF"sv) return Frame(c);
    if (top && (id == "ICCP"sv || id == "EXIF"sv || id == "XMP "sv || id == "ANIM"sv)) {
      if (id == "ANIM"sv && c.size < 6) return Damaged(c.at + 4);
      seen_ |= Kind(id);
      return true;
    }
    // A chunk of no kind the format knows here: its bytes are nobody's to check.
    return Unchecked();
  }

  bool Extended(const TChunk& c, TPicture& still) {
    if (c.size < 10) return Damaged(c.at + 4);
    std::array<std::uint8_t, 10> x{};
    if (!b_.Get(c.Data(), x.data(), x.size())) return Fail();
    coverage_.CheckedRange(c.Data(), c.Data() + 10);
    flags_ = x[0];
    width_ = (x[4] | x[5] << 8 | x[6] << 16) + 1ull;
    height_ = (x[7] | x[8] << 8 | x[9] << 16) + 1ull;
    // Reserved bits are zero, and the canvas holds no more than 2^32 pixels.
    if ((flags_ & 0xC1) != 0 || x[1] != 0 || x[2] != 0 || x[3] != 0 || width_ * height_ > 0xFFFFFFFFull)
      return Damaged(c.Data());
    extended_ = true;
    animated_ = (flags_ & 0x02) != 0;
    still.width = static_cast<int>(width_);
    still.height = static_cast<int>(height_);
    return true;
  }

  // A frame of an animation: where it lies on the canvas, then its chunks.
  bool Frame(const TChunk& c) {
    if (!animated_) return Unchecked();
    if (c.size < 16 + 8) return Damaged(c.at + 4);
    std::array<std::uint8_t, 16> f{};
    if (!b_.Get(c.Data(), f.data(), f.size())) return Fail();
    coverage_.CheckedRange(c.Data(), c.Data() + 16);
    auto u24 = [&](int i) { return static_cast<std::uint64_t>(f[i] | f[i + 1] << 8 | f[i + 2] << 16); };
    const std::uint64_t fx = 2 * u24(0), fy = 2 * u24(3), fw = u24(6) + 1, fh = u24(9) + 1;
    // The frame lies within the canvas; the reserved bits of its flags are zero.
    if (fx + fw > width_ || fy + fh > height_ || (f[15] & 0xFC) != 0) return Damaged(c.Data());
    TPicture frame;
    frame.width = static_cast<int>(fw);
    frame.height = static_cast<int>(fh);
    if (!Chunks(c.Data() + 16, c.End(), false, frame)) return false;
    if (!frame.seen) return Damaged(c.Data() + 16);
    ++frames_;
    return true;
  }

  bool Picture(const TChunk& c, TPicture& picture) {
    const bool lossy = c.Id() == "VP8 "sv;
    std::vector<std::uint8_t> data;
    if (!Load(c, data)) return true;  // unchecked, and followed on
    const TCodecCheck r = lossy ? CheckVp8Frame(data.data(), data.size()) : CheckVp8lImage(data.data(), data.size());
    if (!Take(c, r, lossy)) return r.Result != TCodecResult::Damaged;
    if (picture.width != 0 && (r.Width != picture.width || r.Height != picture.height)) return Damaged(c.Data());
    if (!lossy) return true;
    if (picture.hasAlpha && picture.alphaLossless) {
      if (picture.alphaData.empty()) return Unchecked();  // not held
      TCodecCheck a = CheckVp8lAlpha(picture.alphaData.data() + 1, picture.alphaData.size() - 1, r.Width, r.Height);
      if (a.Result == TCodecResult::Damaged) ++a.BadAt;
      return Take(picture.alpha, a, false) || a.Result != TCodecResult::Damaged;
    }
    if (picture.hasAlpha) {
      // The plane as it is: its bytes cannot be told from others.
      if (picture.alpha.size - 1ull < static_cast<std::uint64_t>(r.Width) * static_cast<std::uint64_t>(r.Height))
        return Damaged(picture.alpha.at + 4);
      return Unchecked();
    }
    // A lossy picture the flags give an alpha plane it does not have.
    if (flags_ & 0x10) return Unchecked();
    return true;
  }

  // The alpha plane before a lossy picture: its header now, its stream
  // held for the picture's size.
  bool Alpha(const TChunk& c, TPicture& picture) {
    if (c.size < 1) return Damaged(c.at + 4);
    const int header = b_.Byte(c.Data());
    if (header < 0) return Fail();
    // Packing 0 or 1, filter 0 to 3, pre-processing 0 or 1, reserved bits zero.
    if ((header & 3) > 1 || ((header >> 4) & 3) > 1 || (header >> 6) != 0) return Damaged(c.Data());
    coverage_.Checked(c.Data());
    picture.hasAlpha = true;
    picture.alpha = c;
    picture.alphaLossless = (header & 3) == 1;
    if (picture.alphaLossless && !Load(c, picture.alphaData)) picture.alphaData.clear();
    return true;
  }

  // The chunk's bytes; false (and the file unchecked) when they are too
  // many to hold or cannot be read.
  bool Load(const TChunk& c, std::vector<std::uint8_t>& data) {
    if (c.size > kMaxStreamBytes) return Fail();
    data.resize(c.size);
    if (!b_.Get(c.Data(), data.data(), data.size())) return Fail();
    return true;
  }

  // The result of a bitstream's decoding. A VP8 frame vouches for its bytes:
  // a partition with a wrong cluster inside ends away from its last byte.
  // A VP8L stream does not: its prefix codes are complete, so any bits
  // decode, and after a wrong cluster the decoder falls back in step with
  // the symbols that follow; measured on every cluster of real files
  // replaced in turn, the pixel count came out right, to the last byte, for
  // up to a third of them. Its damage is told, but its clusters count as
  // tested only by the chunk headers in them.
  bool Take(const TChunk& c, const TCodecCheck& r, bool vouches) {
    if (r.Result == TCodecResult::Damaged) return Damaged(c.Data() + r.BadAt);
    if (r.Result == TCodecResult::Unchecked) {
      checked_ = false;
      return false;
    }
    if (vouches) coverage_.CheckedRange(c.Data(), c.End());
    return true;
  }

  bool Damaged(std::uint64_t at) {
    b_.Damaged(at);
    return false;
  }
  // Bytes this check does not test: the file goes on being followed, but
  // cannot be verified.
  bool Unchecked() {
    checked_ = false;
    return true;
  }
  // Bytes that cannot be read: nothing more is known.
  bool Fail() {
    checked_ = false;
    return false;
  }

  FileBytes& b_;
  TClusterCoverage coverage_;
  bool checked_ = true;
  bool extended_ = false, animated_ = false, alphaSeen_ = false;
  int flags_ = 0;
  std::uint64_t width_ = 0, height_ = 0;
  int frames_ = 0;
  std::size_t chunks_ = 0;
  int seen_ = 0;  // the metadata and animation chunks there, by Kind
};

}  // namespace

std::uint64_t WebpSize(FileBytes& b) { return TWebpCheck(b).Size(); }

}  // namespace vantrel
