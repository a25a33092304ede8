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
// Nor are more chunks than this listed (an animation has one a frame).
constexpr std::size_t kMaxChunks = std::size_t{1} << 20;

struct TChunk {
  std::array<char, 4> id{};
  std::uint64_t at = 0;  // the chunk's header
  std::uint32_t size = 0;
  std::string_view Id() const { return {id.data(), 4}; }
  std::uint64_t Data() const { return at + 8; }
  std::uint64_t End() const { return at + 8 + size; }
};

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
    std::vector<TChunk> chunks;
    if (!Chunks(12, end, chunks)) return size;
    Image(chunks);
    if (checked_ && b_.Verdict != vdDamaged && coverage_.Covers(size)) b_.Verified();
    return size;
  }

 private:
  // The chunks from start to end, each header in its place, odd sizes
  // padded with a zero byte; false when one is not.
  bool Chunks(std::uint64_t start, std::uint64_t end, std::vector<TChunk>& out) {
    std::uint64_t pos = start;
    while (pos + 8 <= end) {
      if (out.size() >= kMaxChunks) return Fail();
      TChunk c;
      c.at = pos;
      c.size = b_.Le32(pos + 4);
      if (!b_.Get(pos, c.id.data(), 4) || !b_.ok) return Fail();
      for (char ch : c.id)
        if (ch < 0x20 || ch > 0x7E) return Damaged(pos);
      if (c.End() > end) return Damaged(pos + 4);
      coverage_.CheckedRange(pos, pos + 8);
      // A chunk of no kind the format knows: its bytes are nobody's to check.
      static constexpr std::array<std::string_view, 10> kKnown = {"VP8 ", "VP8L", "VP8X", "ALPH", "ANIM",
                                                                  "ANMF", "ICCP", "EXIF", "XMP ", "FRGM"};
      if (std::find(kKnown.begin(), kKnown.end(), c.Id()) == kKnown.end()) checked_ = false;
      out.push_back(c);
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

  void Image(const std::vector<TChunk>& chunks) {
    if (chunks.empty()) {
      Damaged(12);
      return;
    }
    const TChunk& head = chunks[0];
    if (head.Id() == "VP8 "sv || head.Id() == "VP8L"sv) {
      // A simple file: one picture and nothing else to know.
      Frame(chunks, 0, chunks.size(), 0, 0);
      return;
    }
    if (head.Id() != "VP8X"sv) {
      Damaged(head.at);
      return;
    }
    if (head.size < 10) {
      Damaged(head.at + 4);
      return;
    }
    std::array<std::uint8_t, 10> x{};
    if (!b_.Get(head.Data(), x.data(), x.size())) return (void)Fail();
    coverage_.CheckedRange(head.Data(), head.Data() + 10);
    const int flags = x[0];
    alphaFlag_ = (flags & 0x10) != 0;
    const std::uint64_t width = (x[4] | x[5] << 8 | x[6] << 16) + 1ull, height = (x[7] | x[8] << 8 | x[9] << 16) + 1ull;
    // Reserved bits are zero, and the canvas holds no more than 2^32 pixels.
    if ((flags & 0xC1) != 0 || x[1] != 0 || x[2] != 0 || x[3] != 0 || width * height > 0xFFFFFFFFull) {
      Damaged(head.Data());
      return;
    }
    auto has = [&](std::string_view id) {
      for (const TChunk& c : chunks)
        if (c.Id() == id) return true;
      return false;
    };
    // Each flag says whether its chunk is there.
    const bool animated = (flags & 0x02) != 0;
    if (((flags & 0x20) != 0) != has("ICCP"sv) || ((flags & 0x08) != 0) != has("EXIF"sv) ||
        ((flags & 0x04) != 0) != has("XMP "sv) || animated != has("ANIM"sv) || (has("ALPH"sv) && !(flags & 0x10))) {
      Damaged(head.Data());
      return;
    }
    if (!animated) {
      Frame(chunks, 1, chunks.size(), static_cast<int>(width), static_cast<int>(height));
      return;
    }
    int frames = 0;
    for (const TChunk& c : chunks) {
      if (c.Id() == "ANIM"sv && c.size < 6) return (void)Damaged(c.at + 4);
      if (c.Id() != "ANMF"sv) continue;
      if (c.size < 16 + 8) return (void)Damaged(c.at + 4);
      std::array<std::uint8_t, 16> f{};
      if (!b_.Get(c.Data(), f.data(), f.size())) return (void)Fail();
      coverage_.CheckedRange(c.Data(), c.Data() + 16);
      auto u24 = [&](int i) { return static_cast<std::uint64_t>(f[i] | f[i + 1] << 8 | f[i + 2] << 16); };
      const std::uint64_t fx = 2 * u24(0), fy = 2 * u24(3), fw = u24(6) + 1, fh = u24(9) + 1;
      // The frame lies within the canvas; the reserved bits of its flags are zero.
      if (fx + fw > width || fy + fh > height || (f[15] & 0xFC) != 0) return (void)Damaged(c.Data());
      std::vector<TChunk> inner;
      if (!Chunks(c.Data() + 16, c.End(), inner)) return;
      Frame(inner, 0, inner.size(), static_cast<int>(fw), static_cast<int>(fh));
      if (b_.Verdict == vdDamaged) return;
      ++frames;
    }
    if (frames == 0) Damaged(head.at);
  }

  // The picture of chunks [from, to): an optional ALPH, then VP8 or VP8L,
  // of width x height (0 when the picture tells its own size).
  void Frame(const std::vector<TChunk>& chunks, std::size_t from, std::size_t to, int width, int height) {
    const TChunk* alpha = nullptr;
    for (std::size_t i = from; i < to; ++i) {
      const TChunk& c = chunks[i];
      if (c.Id() == "ALPH"sv && !alpha) alpha = &c;
      if (c.Id() != "VP8 "sv && c.Id() != "VP8L"sv) continue;
      const bool lossy = c.Id() == "VP8 "sv;
      std::vector<std::uint8_t> data;
      if (!Load(c, data)) return;
      const TCodecCheck r = lossy ? CheckVp8Frame(data.data(), data.size()) : CheckVp8lImage(data.data(), data.size());
      if (!Take(c, r, lossy)) return;
      if (width != 0 && (r.Width != width || r.Height != height)) return (void)Damaged(c.Data());
      if (lossy && alpha) Alpha(*alpha, r.Width, r.Height);
      // A lossy picture the flags give an alpha plane it does not have.
      else if (lossy && alphaFlag_) checked_ = false;
      return;
    }
    // No picture at all.
    Damaged(to > from ? chunks[from].at : 12);
  }

  void Alpha(const TChunk& c, int width, int height) {
    if (c.size < 1) return (void)Damaged(c.at + 4);
    const int header = b_.Byte(c.Data());
    if (header < 0) return (void)Fail();
    // Packing 0 or 1, filter 0 to 3, pre-processing 0 or 1, reserved bits zero.
    if ((header & 3) > 1 || ((header >> 4) & 3) > 1 || (header >> 6) != 0) return (void)Damaged(c.Data());
    coverage_.Checked(c.Data());
    if ((header & 3) == 0) {
      // The plane as it is: its bytes cannot be told from others.
      if (c.size - 1ull < static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height)) Damaged(c.at + 4);
      checked_ = false;
      return;
    }
    std::vector<std::uint8_t> data;
    if (!Load(c, data)) return;
    TCodecCheck r = CheckVp8lAlpha(data.data() + 1, data.size() - 1, width, height);
    if (r.Result == TCodecResult::Damaged) ++r.BadAt;
    Take(c, r, false);
  }

  bool Load(const TChunk& c, std::vector<std::uint8_t>& data) {
    if (c.size > kMaxStreamBytes) {
      checked_ = false;
      return false;
    }
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
  // Bytes that cannot be read: nothing more is known.
  bool Fail() {
    checked_ = false;
    return false;
  }

  FileBytes& b_;
  TClusterCoverage coverage_;
  bool checked_ = true;
  bool alphaFlag_ = false;
};

}  // namespace

std::uint64_t WebpSize(FileBytes& b) { return TWebpCheck(b).Size(); }

}  // namespace vantrel
