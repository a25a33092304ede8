#include "analysis/JpegScan.h"

#include <algorithm>

#include "analysis/ClusterCoverage.h"
#include "analysis/FileBytes.h"

namespace vantrel {

namespace {

// The bits of entropy-coded data, most significant first, with the stuffed
// zero byte after each FF taken out. A marker ends the bits: what is asked
// for after it reads as zeros, and using those bits is an overrun.
class ScanBits {
 public:
  ScanBits(FileBytes& b, std::uint64_t offset) : b_(b), offset_(offset) {}

  std::uint32_t Peek(int n) {
    if (count_ < n) More(n);
    return static_cast<std::uint32_t>(bits_ >> (count_ - n)) & ((1u << n) - 1);
  }
  // The bits above count_ are left in bits_: Peek masks them off.
  void Skip(int n) {
    count_ -= n;
    if (count_ < fake_) {
      overrun_ = true;
      fake_ = count_;
    }
  }
  std::uint32_t Get(int n) {
    if (n == 0) return 0;
    const std::uint32_t v = Peek(n);
    Skip(n);
    return v;
  }
  // The bits left of the current byte, which the encoder fills with ones.
  bool PaddingIsOnes() {
    const int left = (count_ - fake_) % 8;
    const bool ones = left == 0 || Peek(left + fake_) >> fake_ == (1u << left) - 1;
    Skip(left);
    return ones;
  }
  // The offset of the first byte whose bits are not used yet (near where a
  // decoding error is, exact at a byte boundary).
  std::uint64_t NextByteOffset() const {
    const int real = (count_ - fake_ + 7) / 8;
    if (real == 0) return markerAt_ != kNone ? markerAt_ : offset_;
    return ring_[(appended_ - static_cast<std::uint64_t>(real + fake_ / 8)) % ring_.size()];
  }
  bool Overrun() const { return overrun_; }
  bool Failed() const { return failed_; }
  // Goes on after the restart marker that must come next.
  bool Restart(int number) {
    const std::uint64_t at = NextByteOffset();
    if (b_.Byte(at) != 0xFF || b_.Byte(at + 1) != 0xD0 + number) return false;
    offset_ = at + 2;
    count_ = fake_ = 0;
    bits_ = 0;
    avail_ = 0;
    markerAt_ = kNone;
    return true;
  }

 private:
  static constexpr std::uint64_t kNone = ~0ull;
  // Bytes of the cluster at hand up to the next FF, several at a time: no
  // marker or stuffed byte among them, and nothing to read that could fail.
  void Refill() {
    while (count_ <= 48 && avail_ > 0 && markerAt_ == kNone && *p_ != 0xFF) {
      ring_[appended_++ % ring_.size()] = offset_;
      bits_ = bits_ << 8 | *p_++;
      --avail_;
      ++offset_;
      count_ += 8;
    }
  }
  // Out of line, so that Peek, called for every code, stays small enough to inline.
  __attribute__((noinline)) void More(int n) {
    Refill();
    while (count_ < n) Fill();
  }
  void Fill() {
    int c = 0;
    std::uint64_t at = offset_;
    if (markerAt_ == kNone) {
      c = Next();
      if (c == 0xFF && markerAt_ == kNone) {
        const int d = Next();
        if (d != 0x00 && markerAt_ == kNone) markerAt_ = offset_ - 2;
      }
    }
    if (markerAt_ != kNone) {
      c = 0;
      at = markerAt_;
      fake_ += 8;
    }
    ring_[appended_++ % ring_.size()] = at;
    bits_ = bits_ << 8 | static_cast<std::uint64_t>(c);
    count_ += 8;
  }
  int Next() {
    if (avail_ == 0) {
      p_ = b_.At(offset_, avail_);
      if (!p_) {
        failed_ = true;
        markerAt_ = offset_;
        return 0;
      }
    }
    --avail_;
    ++offset_;
    return *p_++;
  }

  FileBytes& b_;
  std::uint64_t offset_;
  const std::uint8_t* p_ = nullptr;
  std::size_t avail_ = 0;
  std::uint64_t bits_ = 0;
  int count_ = 0;
  int fake_ = 0;  // zero bits after the marker, at the low end of bits_
  std::uint64_t markerAt_ = kNone;
  std::array<std::uint64_t, 8> ring_{};  // file offsets of the bytes put into bits_ last
  std::uint64_t appended_ = 0;
  bool failed_ = false;
  bool overrun_ = false;
};

// A Huffman code longer than 9 bits.
__attribute__((noinline)) int DecodeLong(const TJpegScanCheck::Table& t, ScanBits& s) {
  const std::uint32_t bits = s.Peek(16);
  for (int len = 10; len <= 16; ++len) {
    const auto code = static_cast<std::int32_t>(bits >> (16 - len));
    if (t.maxCode[len] >= 0 && code <= t.maxCode[len] && code >= t.minCode[len]) {
      s.Skip(len);
      return t.symbols[static_cast<std::size_t>(t.valPtr[len] + code - t.minCode[len])];
    }
  }
  return -1;
}

// The next Huffman symbol, or -1 when the bits make no code of the table.
inline int Decode(const TJpegScanCheck::Table& t, ScanBits& s) {
  const std::uint16_t fast = t.fast[s.Peek(9)];
  if (fast != 0) {
    s.Skip(fast >> 8);
    return fast & 0xFF;
  }
  return DecodeLong(t, s);
}

bool BuildTable(TJpegScanCheck::Table& t) {
  int code = 0, k = 0;
  t.fast.fill(0);
  t.maxCode.fill(-1);
  for (int len = 1; len <= 16; ++len) {
    const int n = t.counts[static_cast<std::size_t>(len - 1)];
    t.valPtr[len] = k;
    t.minCode[len] = code;
    for (int i = 0; i < n; ++i, ++code, ++k) {
      if (code >= (1 << len)) return false;  // over-subscribed
      if (len <= 9) {
        const int shift = 9 - len;
        for (int f = code << shift; f < (code + 1) << shift; ++f)
          t.fast[static_cast<std::size_t>(f)] = static_cast<std::uint16_t>(len << 8 | t.symbols[static_cast<std::size_t>(k)]);
      }
    }
    if (n > 0) t.maxCode[len] = code - 1;
    code <<= 1;
  }
  return true;
}

}  // namespace

void TJpegScanCheck::Segment(FileBytes& b, int marker, std::uint64_t pos, std::uint32_t length) {
  const std::uint64_t end = pos + length;
  if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
    frame_ = true;
    decodable_ = marker == 0xC0 || marker == 0xC1;
    precision_ = b.Byte(pos + 2);
    height_ = b.Be16(pos + 3);
    width_ = b.Be16(pos + 5);
    count_ = b.Byte(pos + 7);
    if (!b.ok || count_ < 1 || count_ > 4 || height_ == 0 || width_ == 0) {
      decodable_ = false;
      return;
    }
    hMax_ = vMax_ = 1;
    for (int i = 0; i < count_; ++i) {
      const std::uint64_t at = pos + 8 + 3ull * static_cast<unsigned>(i);
      Component& c = components_[static_cast<std::size_t>(i)];
      c.id = b.Byte(at);
      const int hv = b.Byte(at + 1);
      c.h = hv >> 4;
      c.v = hv & 15;
      if (c.h < 1 || c.h > 4 || c.v < 1 || c.v > 4) decodable_ = false;
      hMax_ = std::max(hMax_, c.h);
      vMax_ = std::max(vMax_, c.v);
    }
  } else if (marker == 0xC4) {
    std::uint64_t at = pos + 2;
    while (at < end && b.ok) {
      const int tc = b.Byte(at);
      if (tc < 0 || (tc >> 4) > 1 || (tc & 15) > 3) return;
      Table& t = ((tc >> 4) == 0 ? dc_ : ac_)[static_cast<std::size_t>(tc & 15)];
      if (!b.Get(at + 1, t.counts.data(), 16)) return;
      int total = 0;
      for (auto n : t.counts) total += n;
      if (total > 256 || !b.Get(at + 17, t.symbols.data(), static_cast<std::size_t>(total))) return;
      t.set = BuildTable(t);
      at += 17ull + static_cast<unsigned>(total);
    }
  } else if (marker == 0xDD) {
    restartInterval_ = b.Be16(pos + 2);
  }
}

int TJpegScanCheck::Scan(FileBytes& b, std::uint64_t pos, std::uint64_t data, std::uint64_t& end,
                          std::uint64_t& bad) {
  bad = data;
  const int n = b.Byte(pos + 2);
  if (!decodable_ || n < 1 || n > count_) return -1;
  struct Member {
    const Component* c;
    const Table* dc;
    const Table* ac;
    int pred;
  };
  std::array<Member, 4> members{};
  for (int i = 0; i < n; ++i) {
    const int id = b.Byte(pos + 3 + 2ull * static_cast<unsigned>(i)), tables = b.Byte(pos + 4 + 2ull * static_cast<unsigned>(i));
    if (id < 0 || tables < 0 || (tables >> 4) > 3 || (tables & 15) > 3) return -1;
    const Component* c = nullptr;
    for (int k = 0; k < count_; ++k)
      if (components_[static_cast<std::size_t>(k)].id == id) c = &components_[static_cast<std::size_t>(k)];
    const Table& dc = dc_[static_cast<std::size_t>(tables >> 4)];
    const Table& ac = ac_[static_cast<std::size_t>(tables & 15)];
    if (!c || !dc.set || !ac.set) return -1;
    members[static_cast<std::size_t>(i)] = {c, &dc, &ac, 0};
  }
  // Blocks: one component alone covers its own extent; several go in MCUs.
  std::uint64_t mcus;
  if (n == 1) {
    const Component& c = *members[0].c;
    const std::uint64_t w = (static_cast<std::uint64_t>(width_) * c.h + hMax_ - 1) / hMax_;
    const std::uint64_t h = (static_cast<std::uint64_t>(height_) * c.v + vMax_ - 1) / vMax_;
    mcus = ((w + 7) / 8) * ((h + 7) / 8);
  } else {
    mcus = ((width_ + 8ull * hMax_ - 1) / (8ull * hMax_)) * ((height_ + 8ull * vMax_ - 1) / (8ull * vMax_));
  }
  const int dcLimit = precision_ == 8 ? 11 : 15;
  ScanBits s(b, data);
  int restart = 0;
  for (std::uint64_t m = 0; m < mcus; ++m) {
    if (restartInterval_ != 0 && m != 0 && m % restartInterval_ == 0) {
      if (!s.PaddingIsOnes() || !s.Restart(restart)) {
        bad = s.NextByteOffset();
        return s.Failed() ? -1 : 0;
      }
      restart = (restart + 1) & 7;
      for (auto& member : members) member.pred = 0;
    }
    for (int i = 0; i < n; ++i) {
      Member& member = members[static_cast<std::size_t>(i)];
      const int blocks = n == 1 ? 1 : member.c->h * member.c->v;
      for (int k = 0; k < blocks; ++k) {
        const int t = Decode(*member.dc, s);
        if (t < 0 || t > dcLimit || s.Overrun()) {
          bad = s.NextByteOffset();
          return s.Failed() ? -1 : 0;
        }
        std::int32_t diff = static_cast<std::int32_t>(s.Get(t));
        if (t != 0 && diff < (1 << (t - 1))) diff -= (1 << t) - 1;
        member.pred += diff;
        if (precision_ == 8 && (member.pred > 2047 || member.pred < -2048)) {
          bad = s.NextByteOffset();
          return s.Failed() ? -1 : 0;
        }
        for (int z = 1; z < 64;) {
          const int rs = Decode(*member.ac, s);
          if (rs < 0) {
            bad = s.NextByteOffset();
            return s.Failed() ? -1 : 0;
          }
          const int r = rs >> 4, size = rs & 15;
          if (size == 0) {
            if (r != 15) break;  // end of block
            z += 16;
          } else {
            z += r;
            if (z > 63) {
              bad = s.NextByteOffset();
              return s.Failed() ? -1 : 0;
            }
            s.Get(size);
            ++z;
          }
          if (z > 64) {
            bad = s.NextByteOffset();
            return s.Failed() ? -1 : 0;
          }
        }
        if (s.Overrun()) {
          bad = s.NextByteOffset();
          return s.Failed() ? -1 : 0;
        }
      }
    }
  }
  // The last block ends the data: only the padding of its byte is left
  // before the marker that follows.
  if (s.Failed() || s.Overrun() || !s.PaddingIsOnes()) {
    bad = s.NextByteOffset();
    return s.Failed() ? -1 : 0;
  }
  const std::uint64_t next = s.NextByteOffset();
  const int m = b.Byte(next + 1);
  if (b.Byte(next) != 0xFF || m == 0x00 || (m >= 0xD0 && m <= 0xD7)) {
    bad = next;
    return s.Failed() ? -1 : 0;
  }
  end = next;
  return 1;
}

int CheckJpegImage(FileBytes& b, std::uint64_t start, std::uint64_t end, std::uint64_t& imageEnd, std::uint64_t& bad) {
  const auto damaged = [&](std::uint64_t at) {
    if (!b.ok) return -2;
    bad = std::min(at, end - 1);
    return 0;
  };
  if (end < start + 4) return damaged(start);
  if (b.Be16(start) != 0xFFD8) return damaged(start);
  std::uint64_t pos = start + 2;
  TJpegScanCheck check;
  // An application segment or comment that holds a whole cluster: nothing
  // looks into it, so the image cannot vouch for that cluster.
  bool unlooked = false;
  for (;;) {
    int m = 0;
    if (pos >= end) return damaged(pos);
    if (b.Byte(pos) != 0xFF) return b.Byte(pos) < 0 ? -2 : damaged(pos);
    while (pos < end && (m = b.Byte(pos)) == 0xFF) ++pos;
    if (m < 0) return -2;
    if (pos >= end) return damaged(pos);
    ++pos;
    if (m == 0xD9) {
      imageEnd = pos;
      return unlooked ? -1 : 1;
    }
    if (m == 0x00 || m == 0x01 || (m >= 0xD0 && m <= 0xD7)) return damaged(pos - 1);
    const std::uint32_t length = b.Be16(pos);
    if (!b.ok) return -2;
    if (length < 2 || length > end - pos) return damaged(pos);
    const std::uint64_t segment = pos;
    pos += length;
    if (m != 0xDA) {
      if (IsUncheckedSegment(m) && HoldsWholeCluster(segment + 2, pos, b.ClusterSize())) unlooked = true;
      check.Segment(b, m, segment, length);
      continue;
    }
    std::uint64_t scanEnd = 0, scanBad = 0;
    const int result = check.Scan(b, segment, pos, scanEnd, scanBad);
    if (result == 0) return damaged(scanBad);
    if (result < 0) return -1;
    if (scanEnd > end) return damaged(end - 1);
    pos = scanEnd;
  }
}

void CheckExifThumbnail(FileBytes& b, std::uint64_t from, std::uint64_t to, TClusterCoverage& coverage) {
  if (to < from + 14 || !b.Is(from, std::string_view("Exif\0\0", 6))) return;
  const std::uint64_t tiff = from + 6;
  const bool little = b.Is(tiff, "II*\0");
  if (!little && !b.Is(tiff, std::string_view("MM\0*", 4))) return;
  const auto u16 = [&](std::uint64_t o) { return little ? b.Le16(o) : b.Be16(o); };
  const auto u32 = [&](std::uint64_t o) { return little ? b.Le32(o) : b.Be32(o); };
  // IFD0, and after it IFD1, which names the thumbnail.
  const std::uint64_t ifd0 = tiff + u32(tiff + 4);
  if (!b.ok || ifd0 < tiff + 8 || ifd0 + 2 > to) return;
  const std::uint64_t next = ifd0 + 2 + 12ull * u16(ifd0);
  if (!b.ok || next + 4 > to) return;
  const std::uint32_t ifd1Offset = u32(next);
  const std::uint64_t ifd1 = tiff + ifd1Offset;
  if (!b.ok || ifd1Offset < 8 || ifd1 + 2 > to) return;
  const std::uint32_t entries = u16(ifd1);
  if (!b.ok || ifd1 + 2 + 12ull * entries > to) return;
  std::uint64_t at = 0, length = 0;
  for (std::uint32_t i = 0; i < entries; ++i) {
    const std::uint64_t e = ifd1 + 2 + 12ull * i;
    const std::uint32_t tag = u16(e);
    if (tag == 0x0201) at = tiff + u32(e + 8);
    if (tag == 0x0202) length = u32(e + 8);
  }
  if (!b.ok) {
    b.ok = true;
    return;
  }
  if (at <= tiff || length < 4 || at + length > to) return;
  std::uint64_t imageEnd = 0, bad = 0;
  if (CheckJpegImage(b, at, at + length, imageEnd, bad) == 1) coverage.CheckedRange(at, imageEnd);
  b.ok = true;
}

std::vector<TMpfImage> MpfImages(FileBytes& b, std::uint64_t from, std::uint64_t to) {
  std::vector<TMpfImage> images;
  if (to < from + 12 || !b.Is(from, std::string_view("MPF\0", 4))) return images;
  const std::uint64_t header = from + 4;
  const bool little = b.Is(header, "II*\0");
  if (!little && !b.Is(header, std::string_view("MM\0*", 4))) return images;
  const auto u16 = [&](std::uint64_t o) { return little ? b.Le16(o) : b.Be16(o); };
  const auto u32 = [&](std::uint64_t o) { return little ? b.Le32(o) : b.Be32(o); };
  const std::uint64_t ifd = header + u32(header + 4);
  if (!b.ok || ifd < header + 8 || ifd + 2 > to) return {};
  const std::uint32_t entries = u16(ifd);
  if (!b.ok || ifd + 2 + 12ull * entries > to) return {};
  std::uint64_t list = 0, listSize = 0;
  for (std::uint32_t i = 0; i < entries; ++i) {
    const std::uint64_t e = ifd + 2 + 12ull * i;
    if (u16(e) != 0xB002) continue;
    listSize = u32(e + 4);
    list = header + u32(e + 8);
  }
  constexpr std::uint64_t kMaxImages = 64;
  if (!b.ok || list < header + 8 || listSize % 16 != 0 || listSize > 16 * kMaxImages || list + listSize > to) return {};
  // The first entry is the image the segment is in, at offset 0.
  for (std::uint64_t e = list + 16; e < list + listSize; e += 16) {
    const std::uint32_t size = u32(e + 4), offset = u32(e + 8);
    if (offset != 0 && size != 0) images.push_back({header + offset, size});
  }
  if (!b.ok) images.clear();
  b.ok = true;
  return images;
}

}  // namespace vantrel
