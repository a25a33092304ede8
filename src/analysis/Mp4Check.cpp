#include "analysis/Mp4Check.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "analysis/AvcSliceCheck.h"
#include "analysis/SliceQueue.h"
#include "analysis/ClusterCoverage.h"
#include "analysis/FileBytes.h"
#include "analysis/H263Check.h"
#include "analysis/JpegScan.h"
#include "analysis/Mpeg4Check.h"

namespace vantrel {
namespace {

// More samples than this are not looked into: the file stays unverified.
constexpr std::uint64_t kMaxSamples = 1u << 22;
// Sample descriptions a track may have.
constexpr std::uint32_t kMaxEntries = 64;

constexpr std::uint32_t FourCC(const char (&s)[5]) {
  return static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[0])) << 24 |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[1])) << 16 |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[2])) << 8 | static_cast<std::uint8_t>(s[3]);
}

// Bits of a few bytes, most significant first; reading past them sets Over.
class TBits {
 public:
  TBits(const std::uint8_t* p, std::size_t n) : p_(p), bits_(static_cast<std::uint64_t>(n) * 8) {}
  std::uint32_t Get(int count) {
    std::uint32_t v = 0;
    for (; count > 0; --count) {
      v <<= 1;
      if (pos_ >= bits_) {
        Over = true;
        continue;
      }
      v |= p_[pos_ >> 3] >> (7 - (pos_ & 7)) & 1u;
      ++pos_;
    }
    return v;
  }
  void Skip(std::uint64_t count) {
    pos_ += count;
    if (pos_ > bits_) {
      Over = true;
      pos_ = bits_;
    }
  }
  void Align() { pos_ = std::min(bits_, (pos_ + 7) & ~std::uint64_t{7}); }
  // Exp-Golomb code of H.264/H.265; ~0u when longer than 31 bits.
  std::uint32_t Ue() {
    int zeros = 0;
    while (!Over && Get(1) == 0)
      if (++zeros > 31) return ~0u;
    return zeros == 0 ? 0 : (1u << zeros) - 1 + Get(zeros);
  }
  std::size_t BytesUsed() const { return static_cast<std::size_t>((pos_ + 7) / 8); }
  bool Over = false;

 private:
  const std::uint8_t* p_;
  std::uint64_t bits_;
  std::uint64_t pos_ = 0;
};

enum class TCodec : std::uint8_t { Unchecked, Avc, Hevc, Aac, H263, Mpeg4Video, Jpeg };

struct TSampleEntry {
  TCodec codec = TCodec::Unchecked;
  int nalLengthSize = 4;
  int aacChannels = 0;   // AAC's channel configuration
  int aacRateIndex = 0;  // AAC's sampling frequency index
  std::uint32_t width = 0, height = 0;
  // MPEG-4 video: the layer its decoder configuration describes, replaced
  // by one a sample carries.
  mutable TMpeg4VideoCheck mpeg4;
  // H.264: the parameter sets of the decoder configuration and the samples.
  std::shared_ptr<TAvcSliceCheck> avc;
};

struct TRange {
  std::uint64_t from = 0, to = 0;
};

struct TTrack {
  std::uint32_t id = 0;
  std::vector<TSampleEntry> entries;
  bool selfContained = true;
  bool hasSizes = false, hasRuns = false, hasChunks = false;
  std::uint32_t fixedSize = 0;
  std::uint64_t count = 0;
  std::vector<std::uint32_t> sizes;
  struct TRun {
    std::uint32_t firstChunk, perChunk, entry;
  };
  std::vector<TRun> runs;
  std::vector<std::uint64_t> chunks;
  std::uint64_t tablesAt = 0;    // where tables that disagree are damaged
  std::uint64_t chunksAt = 0;    // where chunk offsets that point wrong are
  std::vector<TRange> tables;    // the atoms of the tables, tested when they agree
};

struct TSample {
  std::uint64_t offset;
  std::uint32_t size;
  std::uint32_t track;
  std::uint32_t entry;  // in the track's descriptions; ~0u: a run of samples nothing looks into
};

// How many scale factor bands a long and a short window have, by AAC's
// sampling frequency index.
constexpr std::array<int, 13> kLongBands = {41, 41, 47, 49, 49, 51, 47, 47, 43, 43, 43, 40, 40};
constexpr std::array<int, 13> kShortBands = {12, 12, 12, 14, 14, 14, 15, 15, 15, 15, 15, 15, 15};

class TIsoMediaCheck {
 public:
  TIsoMediaCheck(FileBytes& b, std::uint64_t size) : b_(b), size_(size), cov_(b.ClusterSize(), size) {}

  void Run() {
    if (!TopLevel() || b_.Verdict == vdDamaged) return;
    if (!Samples() || b_.Verdict == vdDamaged) return;
    // A fragmented movie may end after any fragment: only its index tells
    // that none is missing.
    if (!moofs_.empty() && !indexed_) return;
    if (!incomplete_ && cov_.Covers(size_)) b_.Verified();
  }

 private:
  // An atom's header at pos inside [pos, to): its size (0 when it does not
  // fit) and the length of its header.
  std::uint64_t Atom(std::uint64_t pos, std::uint64_t to, std::uint32_t& type, std::uint64_t& header) {
    std::array<std::uint8_t, 16> h{};
    if (to - pos < 8 || !b_.Get(pos, h.data(), 8)) return 0;
    std::uint64_t size = static_cast<std::uint64_t>(h[0]) << 24 | h[1] << 16 | h[2] << 8 | h[3];
    type = static_cast<std::uint32_t>(h[4]) << 24 | h[5] << 16 | h[6] << 8 | h[7];
    header = 8;
    if (size == 1) {
      if (to - pos < 16 || !b_.Get(pos + 8, h.data() + 8, 8)) return 0;
      size = 0;
      for (int i = 8; i < 16; ++i) size = size << 8 | h[i];
      header = 16;
    }
    for (int i = 4; i < 8; ++i)
      if ((h[i] < 0x20 || h[i] > 0x7E) && h[i] != 0xA9) return 0;
    if (size < header || size > to - pos) return 0;
    return size;
  }

  // The children of the atom whose contents are [from, to), each in its
  // place through the last byte (a terminator of four zero bytes aside).
  // visit gets each child's type, offset, header length and size; false
  // when the chain breaks off (marked damaged) or visit said so.
  bool Children(std::uint64_t from, std::uint64_t to,
                const std::function<bool(std::uint32_t, std::uint64_t, std::uint64_t, std::uint64_t)>& visit) {
    std::uint64_t pos = from;
    while (pos < to) {
      std::uint32_t type = 0;
      std::uint64_t header = 0;
      const std::uint64_t size = Atom(pos, to, type, header);
      if (size == 0) {
        if (to - pos == 4 && b_.Be32(pos) == 0 && b_.ok) return true;
        b_.Damaged(pos);
        return false;
      }
      cov_.CheckedRange(pos, pos + header);
      if (!visit(type, pos, header, size)) return false;
      pos += size;
    }
    return true;
  }

  bool TopLevel() {
    return Children(0, size_, [&](std::uint32_t type, std::uint64_t pos, std::uint64_t header, std::uint64_t size) {
      if (type == FourCC("mdat")) media_.push_back({pos + header, pos + size});
      if (type == FourCC("moov")) return Movie(pos + header, pos + size);
      if (type == FourCC("moof")) {
        moofs_.push_back(pos);
        return Fragment(pos, pos + header, pos + size);
      }
      if (type == FourCC("mfra")) return RandomAccess(pos, pos + header, pos + size);
      return true;
    });
  }

  // The index of a fragmented movie's fragments, after the last: its size
  // in its closing mfro, each entry at a fragment's start.
  bool RandomAccess(std::uint64_t mfra, std::uint64_t from, std::uint64_t to) {
    bool closed = false;
    const bool ok = Children(from, to, [&](std::uint32_t type, std::uint64_t pos, std::uint64_t header, std::uint64_t size) {
      const std::uint64_t in = pos + header, end = pos + size;
      if (type == FourCC("mfro")) {
        if (size < header + 8 || b_.Be32(in + 4) != to - mfra || end != to) return Fail(pos);
        closed = true;
      }
      if (type != FourCC("tfra")) return true;
      if (size < header + 16) return Fail(pos);
      const int version = b_.Byte(in);
      const std::uint32_t lengths = b_.Be32(in + 8);
      const std::uint64_t count = b_.Be32(in + 12);
      const std::uint64_t row = (version == 1 ? 16 : 8) + ((lengths >> 4 & 3) + 1) + ((lengths >> 2 & 3) + 1) + ((lengths & 3) + 1);
      if (!b_.ok) return Cut();
      if (count > (end - in - 16) / row) return Fail(pos);
      for (std::uint64_t k = 0; k < count; ++k) {
        const std::uint64_t at = in + 16 + k * row + (version == 1 ? 8 : 4);
        const std::uint64_t moof = version == 1 ? b_.Be64(at) : b_.Be32(at);
        if (!b_.ok) return Cut();
        if (!std::binary_search(moofs_.begin(), moofs_.end(), moof)) return Fail(at);
      }
      return true;
    });
    if (!ok) return false;
    if (!closed) return Fail(mfra);
    indexed_ = true;
    cov_.CheckedRange(mfra, to);
    return true;
  }

  // A movie fragment's track runs: the samples they lay out, from the
  // fragment's start, a base the track fragment names, or on from the
  // previous run.
  bool Fragment(std::uint64_t moof, std::uint64_t from, std::uint64_t to) {
    std::uint64_t dataEnd = moof;
    return Children(from, to, [&](std::uint32_t type, std::uint64_t pos, std::uint64_t header, std::uint64_t size) {
      if (type != FourCC("traf")) return true;
      TTrack* track = nullptr;
      std::uint32_t track_index = 0, entry = 1, defaultSize = 0;
      std::uint64_t base = dataEnd, next = dataEnd;
      return Children(pos + header, pos + size, [&](std::uint32_t t, std::uint64_t at, std::uint64_t h, std::uint64_t n) {
        const std::uint64_t in = at + h, end = at + n;
        if (t == FourCC("tfhd")) {
          if (n < h + 8) return Fail(at);
          const std::uint32_t flags = b_.Be32(in) & 0xFFFFFF, id = b_.Be32(in + 4);
          track = nullptr;
          for (std::uint32_t i = 0; i < tracks_.size(); ++i)
            if (tracks_[i].id == id) track = &tracks_[i], track_index = i;
          if (!track) return Fail(at);  // a fragment of no track of the movie
          entry = 1;
          defaultSize = 0;
          for (const TTrex& x : trex_)
            if (x.id == id) entry = x.entry, defaultSize = x.size;
          base = flags & 0x20000 ? moof : dataEnd;
          std::uint64_t field = in + 8;
          if (flags & 0x01) base = b_.Be64(field), field += 8;
          if (flags & 0x02) entry = b_.Be32(field), field += 4;
          if (flags & 0x08) field += 4;
          if (flags & 0x10) defaultSize = b_.Be32(field), field += 4;
          if (flags & 0x20) field += 4;
          if (!b_.ok) return Cut();
          if (field > end) return Fail(at);
          next = base;
          return true;
        }
        if (t != FourCC("trun")) return true;
        if (!track || n < h + 8) return Fail(at);
        const std::uint32_t flags = b_.Be32(in) & 0xFFFFFF;
        const std::uint64_t count = b_.Be32(in + 4);
        std::uint64_t field = in + 8;
        std::uint64_t offset = next;
        if (flags & 0x01) offset = base + static_cast<std::int64_t>(static_cast<std::int32_t>(b_.Be32(field))), field += 4;
        if (flags & 0x04) field += 4;
        const int perSample = 4 * (((flags >> 8) & 1) + ((flags >> 9) & 1) + ((flags >> 10) & 1) + ((flags >> 11) & 1));
        if (!b_.ok) return Cut();
        if (count * static_cast<std::uint64_t>(perSample) > (end > field ? end - field : 0)) return Fail(at);
        if (fragmentSamples_ + count > kMaxSamples) return Incomplete();
        fragmentSamples_ += count;
        const std::uint32_t entryIndex = entry - 1;
        const bool looked = entryIndex < track->entries.size() && track->entries[entryIndex].codec != TCodec::Unchecked;
        if (entry == 0 || entry > std::max<std::size_t>(1, track->entries.size())) return Fail(at);
        std::vector<std::uint8_t> row(static_cast<std::size_t>(perSample));
        for (std::uint64_t k = 0; k < count; ++k, field += static_cast<std::uint64_t>(perSample)) {
          if (perSample > 0 && !b_.Get(field, row.data(), row.size())) return Cut();
          std::uint32_t sampleSize = defaultSize;
          if (flags & 0x200) {
            const std::size_t i = (flags & 0x100) ? 4 : 0;
            sampleSize = static_cast<std::uint32_t>(row[i]) << 24 | row[i + 1] << 16 | row[i + 2] << 8 | row[i + 3];
          }
          if (offset > size_ || sampleSize > size_ - offset) return Fail(at);
          if (sampleSize != 0) fragments_.push_back({offset, sampleSize, track_index, looked ? entryIndex : ~0u});
          offset += sampleSize;
        }
        if (track) track->tables.push_back({at, end});
        next = offset;
        dataEnd = std::max(dataEnd, offset);
        return true;
      });
    });
  }

  bool Movie(std::uint64_t from, std::uint64_t to) {
    return Children(from, to, [&](std::uint32_t type, std::uint64_t pos, std::uint64_t header, std::uint64_t size) {
      if (type == FourCC("mvex")) return Extends(pos + header, pos + size);
      if (type != FourCC("trak")) return true;
      tracks_.emplace_back();
      return Nested(pos + header, pos + size, 0);
    });
  }

  // The defaults of each track's fragments.
  bool Extends(std::uint64_t from, std::uint64_t to) {
    return Children(from, to, [&](std::uint32_t type, std::uint64_t pos, std::uint64_t header, std::uint64_t size) {
      if (type == FourCC("trex") && size >= header + 24) trex_.push_back({b_.Be32(pos + header + 4),
                                                                          b_.Be32(pos + header + 8),
                                                                          b_.Be32(pos + header + 16)});
      return true;
    });
  }

  // trak, mdia, minf and stbl down to the tables.
  // level: 0 in trak, 1 in mdia, 2 in minf, 3 in stbl; atoms elsewhere
  // than their place are not read.
  bool Nested(std::uint64_t from, std::uint64_t to, int level) {
    return Children(from, to, [&](std::uint32_t type, std::uint64_t pos, std::uint64_t header, std::uint64_t size) {
      const std::uint64_t in = pos + header, end = pos + size;
      TTrack& t = tracks_.back();
      static constexpr std::array<std::uint32_t, 3> kInner = {FourCC("mdia"), FourCC("minf"), FourCC("stbl")};
      if (level < 3 && type == kInner[static_cast<std::size_t>(level)]) return Nested(in, end, level + 1);
      if (level == 2 && type == FourCC("dinf")) return DataInformation(in, end);
      if (level < 3) {
        if (level > 0 || type != FourCC("tkhd") || size < header + 24) return true;
        const int version = b_.Byte(in);
        t.id = b_.Be32(in + (version == 1 ? 20 : 12));
        return true;
      }
      if (type == FourCC("stsd")) return Descriptions(in, end);
      if (type == FourCC("stsz") || type == FourCC("stz2") || type == FourCC("stsc") || type == FourCC("stco") ||
          type == FourCC("co64")) {
        t.tables.push_back({pos, end});
        if (t.tablesAt == 0) t.tablesAt = pos;
        if (type == FourCC("stco") || type == FourCC("co64")) t.chunksAt = pos;
        const bool ok = type == FourCC("stsc") ? Runs(t, in, end)
                        : type == FourCC("stco") || type == FourCC("co64") ? Chunks(t, in, end, type == FourCC("co64"))
                                                                             : Sizes(t, in, end, type == FourCC("stz2"));
        if (!ok && b_.Verdict != vdDamaged) b_.Damaged(pos);
        return ok;
      }
      return true;
    });
  }

  // Samples of a track whose data reference names another file lie there.
  bool DataInformation(std::uint64_t from, std::uint64_t to) {
    return Children(from, to, [&](std::uint32_t type, std::uint64_t pos, std::uint64_t header, std::uint64_t size) {
      if (type != FourCC("dref") || size < header + 20) return true;
      const std::uint32_t flags = b_.Be32(pos + header + 16);
      if (b_.ok && (flags & 1) == 0) tracks_.back().selfContained = false;
      return true;
    });
  }

  bool Descriptions(std::uint64_t from, std::uint64_t to) {
    TTrack& t = tracks_.back();
    if (to - from < 8) return Fail(from);
    const std::uint32_t count = b_.Be32(from + 4);
    if (!b_.ok) return Cut();
    if (count > kMaxEntries) return Fail(from);
    std::uint64_t pos = from + 8;
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint32_t type = 0;
      std::uint64_t header = 0;
      const std::uint64_t size = Atom(pos, to, type, header);
      if (size == 0) return Fail(pos);
      cov_.CheckedRange(pos, pos + header);
      t.entries.push_back(Entry(type, pos, pos + size));
      pos += size;
    }
    return true;
  }

  // What a sample description tells of its samples' starts.
  TSampleEntry Entry(std::uint32_t type, std::uint64_t pos, std::uint64_t end) {
    TSampleEntry e;
    const bool avc = type == FourCC("avc1") || type == FourCC("avc3");
    const bool hevc = type == FourCC("hvc1") || type == FourCC("hev1");
    if (avc || hevc) {
      // The visual sample entry's fields, then its atoms.
      Boxes(pos + 86, end, [&](std::uint32_t child, std::uint64_t in, std::uint64_t size) {
        if (avc && child == FourCC("avcC") && size >= 5) {
          const int c = b_.Byte(in + 4);
          if (c >= 0 && (c & 3) != 2) {
            e.codec = TCodec::Avc;
            e.nalLengthSize = (c & 3) + 1;
            e.avc = std::make_shared<TAvcSliceCheck>();
            AvcParameterSets(in, in + size, *e.avc);
          }
        }
        if (hevc && child == FourCC("hvcC") && size >= 22) {
          const int c = b_.Byte(in + 21);
          if (c >= 0 && (c & 3) != 2) {
            e.codec = TCodec::Hevc;
            e.nalLengthSize = (c & 3) + 1;
          }
        }
      });
    } else if (type == FourCC("s263") || type == FourCC("h263") || type == FourCC("mp4v")) {
      e.codec = type == FourCC("mp4v") ? TCodec::Mpeg4Video : TCodec::H263;
      e.width = b_.Be16(pos + 32);
      e.height = b_.Be16(pos + 34);
      if (!b_.ok) e.codec = TCodec::Unchecked;
      if (e.codec == TCodec::Mpeg4Video)
        Boxes(pos + 86, end, [&](std::uint32_t child, std::uint64_t at, std::uint64_t size) {
          if (child == FourCC("esds")) VideoConfig(at + 4, at + size, e);
        });
    } else if (type == FourCC("jpeg") || type == FourCC("mjpa")) {
      e.codec = TCodec::Jpeg;
    } else if (type == FourCC("mp4a")) {
      // A sound description of version 1 or 2 (QuickTime) has more fields.
      const std::uint32_t version = b_.Be16(pos + 16);
      const std::uint64_t in = pos + 36 + (version == 1 ? 16 : version == 2 ? 36 : 0);
      // The esds atom, or the one in a QuickTime wave atom (one level down only).
      const auto esds = [&](std::uint32_t child, std::uint64_t at, std::uint64_t size) {
        if (child == FourCC("esds")) AudioConfig(at + 4, at + size, e);
      };
      const auto find = [&](std::uint32_t child, std::uint64_t at, std::uint64_t size) {
        if (child == FourCC("wave")) Boxes(at, at + size, esds);
        esds(child, at, size);
      };
      if (b_.ok) Boxes(in, end, find);
    }
    return e;
  }

  // The sequence and picture parameter sets of an avcC record, each after
  // its 16-bit length.
  void AvcParameterSets(std::uint64_t pos, std::uint64_t end, TAvcSliceCheck& avc) {
    if (end - pos < 6) return;
    int count = b_.Byte(pos + 5) & 0x1F;
    pos += 6;
    for (int list = 0; list < 2; ++list) {
      for (int i = 0; i < count; ++i) {
        if (end - pos < 2) return;
        const std::uint64_t length = b_.Be16(pos);
        if (!b_.ok || length > end - pos - 2) return;
        avc.ParameterSet(b_, pos + 2, length);
        pos += 2 + length;
      }
      if (list == 1 || pos >= end) return;
      count = b_.Byte(pos++);
      if (count < 0) return;
    }
  }

  // The atoms inside a sample description, as far as they chain: nothing
  // there is damage when it does not.
  void Boxes(std::uint64_t from, std::uint64_t to,
             const std::function<void(std::uint32_t, std::uint64_t, std::uint64_t)>& visit) {
    for (std::uint64_t pos = from; pos < to;) {
      std::uint32_t type = 0;
      std::uint64_t header = 0;
      const std::uint64_t size = Atom(pos, to, type, header);
      if (size == 0) return;
      visit(type, pos + header, size - header);
      pos += size;
    }
  }

  // The MPEG-4 descriptors of an esds atom down to the decoder's
  // configuration of MPEG-4 video: its video object layer header.
  void VideoConfig(std::uint64_t pos, std::uint64_t end, TSampleEntry& e) {
    auto descriptor = [&](int tag, std::uint64_t& length) {
      if (pos >= end || b_.Byte(pos) != tag) return false;
      ++pos;
      length = 0;
      for (int k = 0; k < 4 && pos < end; ++k) {
        const int c = b_.Byte(pos++);
        if (c < 0) return false;
        length = length << 7 | static_cast<std::uint64_t>(c & 0x7F);
        if ((c & 0x80) == 0) return true;
      }
      return false;
    };
    std::uint64_t length = 0;
    if (!descriptor(3, length)) return;
    const int flags = b_.Byte(pos + 2);
    pos += 3;
    if (flags & 0x80) pos += 2;
    if (flags & 0x40) pos += 1 + static_cast<std::uint64_t>(std::max(0, b_.Byte(pos)));
    if (flags & 0x20) pos += 2;
    if (flags < 0 || !descriptor(4, length)) return;
    pos += 13;
    if (descriptor(5, length) && pos + length <= end) e.mpeg4.Headers(b_, pos, length);
  }

  // The MPEG-4 descriptors of an esds atom down to the AudioSpecificConfig.
  void AudioConfig(std::uint64_t pos, std::uint64_t end, TSampleEntry& e) {
    std::array<std::uint8_t, 64> d{};
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(d.size(), end > pos ? end - pos : 0));
    if (n == 0 || !b_.Get(pos, d.data(), n)) return;
    std::size_t i = 0;
    // A descriptor's tag and length; the index of its contents.
    auto descriptor = [&](int tag, std::size_t& length) {
      if (i >= n || d[i] != tag) return false;
      ++i;
      length = 0;
      for (int k = 0; k < 4 && i < n; ++k) {
        length = length << 7 | (d[i] & 0x7F);
        if ((d[i++] & 0x80) == 0) return true;
      }
      return false;
    };
    std::size_t length = 0;
    if (!descriptor(3, length) || i + 3 > n) return;
    const std::uint8_t flags = d[i + 2];
    i += 3;
    if (flags & 0x80) i += 2;
    if ((flags & 0x40) && i < n) i += 1 + d[i];
    if (flags & 0x20) i += 2;
    if (!descriptor(4, length) || i + 13 > n) return;
    const std::uint8_t object = d[i];
    i += 13;
    if (object != 0x40 && object != 0x67) return;  // MPEG-4 audio, MPEG-2 AAC LC
    if (!descriptor(5, length) || i + 2 > n) return;
    TBits bits(d.data() + i, n - i);
    int aot = static_cast<int>(bits.Get(5));
    if (aot == 31) aot = 32 + static_cast<int>(bits.Get(6));
    const int rate = static_cast<int>(bits.Get(4));
    const int channels = static_cast<int>(bits.Get(4));
    if (bits.Over || aot != 2 || rate >= static_cast<int>(kLongBands.size()) || channels > 7) return;
    e.codec = TCodec::Aac;
    e.aacRateIndex = rate;
    e.aacChannels = channels;
  }

  // stsz and stz2: the size of every sample.
  bool Sizes(TTrack& t, std::uint64_t from, std::uint64_t to, bool compact) {
    if (t.hasSizes || to - from < 12) return false;
    t.hasSizes = true;
    const std::uint32_t field = compact ? b_.Be32(from + 4) & 0xFF : 32;
    t.fixedSize = compact ? 0 : b_.Be32(from + 4);
    t.count = b_.Be32(from + 8);
    if (!b_.ok) return Cut();
    if (t.fixedSize != 0) return t.count <= size_;
    if (field != 4 && field != 8 && field != 16 && field != 32) return false;
    if (t.count * field > (to - from - 12) * 8) return false;
    if (t.count > kMaxSamples) return Incomplete();
    t.sizes.reserve(static_cast<std::size_t>(t.count));
    return Table(from + 12, (t.count * field + 7) / 8, [&](const std::uint8_t* p, std::size_t n) {
      for (std::size_t bit = 0; bit + field <= n * 8 && t.sizes.size() < t.count; bit += field) {
        const std::size_t k = bit / 8;
        std::uint32_t v = 0;
        if (field == 4) v = bit % 8 == 0 ? p[k] >> 4 : p[k] & 0x0F;
        else for (std::uint32_t j = 0; j < field / 8; ++j) v = v << 8 | p[k + j];
        t.sizes.push_back(v);
      }
    }, field);
  }

  // stsc: how many samples each chunk holds.
  bool Runs(TTrack& t, std::uint64_t from, std::uint64_t to) {
    if (t.hasRuns || to - from < 8) return false;
    t.hasRuns = true;
    const std::uint64_t count = b_.Be32(from + 4);
    if (!b_.ok) return Cut();
    if (count > (to - from - 8) / 12) return false;
    return Table(from + 8, count * 12, [&](const std::uint8_t* p, std::size_t n) {
      for (std::size_t k = 0; k + 12 <= n; k += 12) {
        auto be = [&](std::size_t at) {
          return static_cast<std::uint32_t>(p[at]) << 24 | p[at + 1] << 16 | p[at + 2] << 8 | p[at + 3];
        };
        t.runs.push_back({be(k), be(k + 4), be(k + 8)});
      }
    }, 96);
  }

  // stco and co64: where each chunk starts.
  bool Chunks(TTrack& t, std::uint64_t from, std::uint64_t to, bool wide) {
    if (t.hasChunks || to - from < 8) return false;
    t.hasChunks = true;
    const std::uint64_t count = b_.Be32(from + 4);
    const std::uint32_t width = wide ? 8 : 4;
    if (!b_.ok) return Cut();
    if (count > (to - from - 8) / width) return false;
    if (count > kMaxSamples) return Incomplete();
    return Table(from + 8, count * width, [&](const std::uint8_t* p, std::size_t n) {
      for (std::size_t k = 0; k + width <= n; k += width) {
        std::uint64_t v = 0;
        for (std::uint32_t j = 0; j < width; ++j) v = v << 8 | p[k + j];
        t.chunks.push_back(v);
      }
    }, width * 8);
  }

  // Hands the bytes [from, from + length) to take in pieces of whole records
  // of recordBits each.
  bool Table(std::uint64_t from, std::uint64_t length, const std::function<void(const std::uint8_t*, std::size_t)>& take,
             std::uint32_t recordBits) {
    const std::size_t record = std::max<std::size_t>(1, recordBits / 8);
    std::vector<std::uint8_t> buf(record * std::max<std::size_t>(1, 4096 / record));
    while (length > 0) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), length));
      if (!b_.Get(from, buf.data(), n)) return Cut();
      take(buf.data(), n);
      from += n;
      length -= n;
    }
    return true;
  }

  bool Fail(std::uint64_t at) {
    if (!SettleSlices()) return false;
    b_.Damaged(at);
    return false;
  }
  // The bytes cannot be read on: the file stays unverified.
  bool Cut() {
    if (!SettleSlices()) return false;
    incomplete_ = true;
    return false;
  }
  // Waits for the slices parsed beside the reading; false when one of them
  // is damaged (the first in the file), which is then what the file is.
  bool SettleSlices() {
    if (slices_.Empty()) return true;
    for (const TSliceQueue::TDone& d : slices_.Finish()) {
      if (d.Result == TAvcResult::Damaged) {
        b_.Damaged(d.BadAt);
        return false;
      }
      if (d.Result == TAvcResult::Whole) cov_.CheckedRange(d.From, d.To);
    }
    return true;
  }
  bool Incomplete() {
    incomplete_ = true;
    return true;
  }

  // The samples of every track, in the order they lie.
  bool Layout(std::vector<TSample>& out) {
    std::uint64_t total = 0;
    for (std::uint32_t ti = 0; ti < tracks_.size(); ++ti) {
      TTrack& t = tracks_[ti];
      if (!t.hasSizes && !t.hasRuns && !t.hasChunks) {
        // A track without tables has its samples in fragments, or none known.
        if (moofs_.empty()) incomplete_ = true;
        continue;
      }
      if (!t.hasSizes || !t.hasRuns || !t.hasChunks) return Fail(t.tablesAt);
      if (t.count == 0) continue;
      if (!t.selfContained || (t.fixedSize == 0 && t.sizes.size() != t.count)) {
        incomplete_ = true;
        continue;
      }
      // The runs start at the first chunk and go up; each names a description.
      if (t.runs.empty() || t.runs[0].firstChunk != 1) return Fail(t.tablesAt);
      for (std::size_t r = 0; r < t.runs.size(); ++r)
        if (t.runs[r].perChunk == 0 || t.runs[r].entry == 0 || t.runs[r].entry > std::max<std::size_t>(1, t.entries.size()) ||
            (r > 0 && t.runs[r].firstChunk <= t.runs[r - 1].firstChunk))
          return Fail(t.tablesAt);
      std::uint64_t sample = 0;
      std::size_t run = 0;
      for (std::uint64_t c = 0; c < t.chunks.size(); ++c) {
        while (run + 1 < t.runs.size() && t.runs[run + 1].firstChunk <= c + 1) ++run;
        const std::uint32_t entryIndex = t.runs[run].entry - 1;
        const bool looked = entryIndex < t.entries.size() && t.entries[entryIndex].codec != TCodec::Unchecked;
        const std::uint64_t per = t.runs[run].perChunk;
        if (per > t.count - sample) return Fail(t.tablesAt);
        std::uint64_t offset = t.chunks[c];
        if (offset > size_) return Fail(t.chunksAt);
        if (!looked && t.fixedSize != 0) {
          // Samples of one size that nothing looks into: one run.
          if (per * t.fixedSize > size_ - offset) return Fail(t.chunksAt);
          out.push_back({offset, static_cast<std::uint32_t>(per * t.fixedSize), ti, ~0u});
          sample += per;
          continue;
        }
        for (std::uint64_t k = 0; k < per; ++k, ++sample) {
          const std::uint32_t s = t.fixedSize != 0 ? t.fixedSize : t.sizes[static_cast<std::size_t>(sample)];
          if (s > size_ - offset) return Fail(t.chunksAt);
          if (++total > kMaxSamples) {
            incomplete_ = true;
            return true;
          }
          if (s != 0) out.push_back({offset, s, ti, looked ? entryIndex : ~0u});
          offset += s;
        }
      }
      if (sample != t.count) return Fail(t.tablesAt);
    }
    if (out.size() + fragments_.size() > kMaxSamples) {
      incomplete_ = true;
      return true;
    }
    out.insert(out.end(), fragments_.begin(), fragments_.end());
    std::sort(out.begin(), out.end(), [](const TSample& a, const TSample& c) { return a.offset < c.offset; });
    // Every sample inside the media data, none over another.
    std::sort(media_.begin(), media_.end(), [](const TRange& a, const TRange& c) { return a.from < c.from; });
    std::size_t m = 0;
    std::uint64_t end = 0;
    for (const TSample& s : out) {
      if (s.offset < end) return Fail(s.offset);
      while (m < media_.size() && media_[m].to <= s.offset) ++m;
      if (m == media_.size() || s.offset < media_[m].from || s.offset + s.size > media_[m].to)
        return Fail(tracks_[s.track].chunksAt);
      end = s.offset + s.size;
    }
    // The tables agree with the media data: their bytes are tested.
    for (const TTrack& t : tracks_)
      for (const TRange& r : t.tables) cov_.CheckedRange(r.from, r.to);
    return true;
  }

  bool Samples() {
    std::vector<TSample> samples;
    if (!Layout(samples)) return false;
    for (const TSample& s : samples) {
      if (s.entry == ~0u) continue;
      const TSampleEntry& e = tracks_[s.track].entries[s.entry];
      const bool ok = e.codec == TCodec::Avc || e.codec == TCodec::Hevc ? NalUnits(s, e)
                      : e.codec == TCodec::Jpeg                         ? JpegImages(s)
                                                                        : SampleStart(s, e);
      if (!ok) return false;
    }
    return SettleSlices();
  }

  // The NAL units of an H.264/H.265 sample, each length prefix leading to
  // the next and the last to the sample's end.
  bool NalUnits(const TSample& s, const TSampleEntry& e) {
    const std::uint64_t end = s.offset + s.size;
    const auto prefix = static_cast<std::uint64_t>(e.nalLengthSize);
    for (std::uint64_t pos = s.offset; pos < end;) {
      std::array<std::uint8_t, 8> h{};
      const std::uint64_t header = prefix + (e.codec == TCodec::Hevc ? 2 : 1);
      if (end - pos < header) return Fail(pos);
      if (!b_.Get(pos, h.data(), static_cast<std::size_t>(header))) return Cut();
      std::uint64_t length = 0;
      for (std::uint64_t i = 0; i < prefix; ++i) length = length << 8 | h[i];
      if (length == 0 || length > end - pos - prefix) return Fail(pos);
      const std::uint8_t first = h[prefix];
      if (first & 0x80) return Fail(pos + prefix);
      if (e.codec == TCodec::Avc) {
        const int type = first & 0x1F, ref = first >> 5 & 3;
        const bool valid = type >= 1 && type <= 21 && !(type == 5 && ref == 0) &&
                           !((type == 6 || (type >= 9 && type <= 12)) && ref != 0);
        if (!valid) return Fail(pos + prefix);
        // A slice header begins with its first macroblock, its type and
        // its picture parameter set.
        if ((type == 1 || type == 5) && length >= 4) {
          std::array<std::uint8_t, 4> head{};
          if (!b_.Get(pos + prefix + 1, head.data(), head.size())) return Cut();
          TBits bits(head.data(), head.size());
          const std::uint32_t mb = bits.Ue(), sliceType = bits.Ue(), pps = bits.Ue();
          if (!bits.Over && (mb == ~0u || sliceType > 9 || pps > 255)) return Fail(pos + prefix + 1);
          if (!bits.Over) cov_.CheckedRange(pos + prefix + 1, pos + prefix + 1 + bits.BytesUsed());
          // A slice that holds a whole cluster, where no other NAL unit
          // starts, is parsed through its macroblocks to its trailing bits
          // and then vouches for all of it; smaller ones are seen by the
          // NAL units around them.
          const std::uint64_t cluster = b_.ClusterSize(), nalEnd = pos + prefix + length;
          if (e.avc && nalEnd / cluster > (pos + cluster - 1) / cluster) {
            if (!slices_.Add(*e.avc, b_, pos + prefix, length, pos, nalEnd) && !SettleSlices()) return false;
            for (TSliceQueue::TDone d; slices_.NextReady(d);)
              if (d.Result == TAvcResult::Whole) cov_.CheckedRange(d.From, d.To);
          }
        }
        if ((type == 7 || type == 8) && e.avc) e.avc->ParameterSet(b_, pos + prefix, length);
      } else {
        const int type = first >> 1 & 0x3F, temporal = h[prefix + 1] & 7;
        const bool reserved = (type >= 10 && type <= 15) || (type >= 22 && type <= 31) || (type >= 41 && type <= 47);
        if (reserved || temporal == 0) return Fail(pos + prefix);
      }
      cov_.CheckedRange(pos, pos + header);
      pos += prefix + length;
    }
    return true;
  }

  // The JPEG images of a Motion JPEG sample (two fields in format A), their
  // markers in order and their scans decoded to the end of image.
  bool JpegImages(const TSample& s) {
    const std::uint64_t end = s.offset + s.size;
    std::uint64_t pos = s.offset;
    for (int image = 0; image < 2 && pos < end; ++image) {
      if (end - pos < 4 || b_.Be16(pos) != 0xFFD8) {
        if (!b_.ok) return Cut();
        if (image == 0) return Fail(pos);
        break;  // what follows the last image
      }
      std::uint64_t imageEnd = 0, bad = 0;
      const int result = CheckJpegImage(b_, pos, end, imageEnd, bad);
      if (result == 0) return Fail(bad);
      if (result == -2) return Cut();
      // One not decodable here leaves the image's bytes unlooked into.
      if (result < 0) break;
      cov_.CheckedRange(pos, imageEnd);
      pos = imageEnd;
    }
    return true;
  }

  bool SampleStart(const TSample& s, const TSampleEntry& e) {
    std::array<std::uint8_t, 512> buf{};
    const std::size_t want = e.codec == TCodec::Aac ? buf.size() : 8;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(want, s.size));
    if (!b_.Get(s.offset, buf.data(), n)) return Cut();
    std::size_t tested = 0;
    const int bad = e.codec == TCodec::Aac ? AacFrame(buf.data(), n, n == s.size, e, tested)
                    : e.codec == TCodec::H263 ? H263Picture(buf.data(), n, e, tested)
                                              : Mpeg4Start(buf.data(), n, tested);
    if (bad > 0) return Fail(s.offset);
    if (bad == 0) cov_.CheckedRange(s.offset, s.offset + tested);
    // A picture that holds a whole cluster, where no other sample starts, is
    // decoded to its end; smaller ones are seen by the starts around them.
    const std::uint64_t cluster = b_.ClusterSize();
    if (bad == 0 && e.codec == TCodec::H263 && (s.offset + s.size) / cluster > (s.offset + cluster - 1) / cluster) {
      std::uint64_t badAt = 0;
      const TH263Result picture = CheckH263Picture(b_, s.offset, s.size, badAt);
      if (picture == TH263Result::Damaged) return Fail(badAt);
      if (picture == TH263Result::Whole) cov_.CheckedRange(s.offset, s.offset + s.size);
    }
    if (bad == 0 && e.codec == TCodec::Mpeg4Video && (s.offset + s.size) / cluster > (s.offset + cluster - 1) / cluster) {
      std::uint64_t badAt = 0, vopAt = s.offset;
      const TMpeg4Result vop = e.mpeg4.Frame(b_, s.offset, s.size, badAt, vopAt);
      if (vop == TMpeg4Result::Damaged) return Fail(badAt);
      if (vop == TMpeg4Result::Whole) cov_.CheckedRange(vopAt, s.offset + s.size);
    }
    return true;
  }

  // The syntax elements of an AAC raw data block up to the first channel's
  // window: 1 when they cannot be, 0 when they hold (tested set to the bytes
  // they took), -1 when the bytes at hand run out before (a long fill).
  static int AacFrame(const std::uint8_t* p, std::size_t n, bool whole, const TSampleEntry& e, std::size_t& tested) {
    TBits bits(p, n);
    enum { SCE = 0, CPE = 1, DSE = 4, FIL = 6 };
    for (int element = 0; element < 8; ++element) {
      const std::uint32_t id = bits.Get(3);
      if (id == FIL) {
        std::uint32_t count = bits.Get(4);
        if (count == 15) count += bits.Get(8) - 1;
        bits.Skip(count * 8ull);
      } else if (id == DSE) {
        bits.Get(4);
        const bool align = bits.Get(1);
        std::uint32_t count = bits.Get(8);
        if (count == 255) count += bits.Get(8);
        if (align) bits.Align();
        bits.Skip(count * 8ull);
      } else {
        // The first channel element is the one the configuration begins with.
        const bool expected = e.aacChannels == 0 ? (id == SCE || id == CPE)
                                                 : id == (e.aacChannels == 2 ? CPE : SCE);
        if (!expected) return bits.Over && !whole ? -1 : 1;
        bits.Get(4);  // element_instance_tag
        bool common = true;
        if (id == CPE) common = bits.Get(1);
        if (!common || id == SCE) bits.Get(8);  // global_gain
        if (bits.Get(1) != 0) return bits.Over && !whole ? -1 : 1;  // ics_reserved_bit
        const std::uint32_t window = bits.Get(2);
        bits.Get(1);
        const auto rate = static_cast<std::size_t>(e.aacRateIndex);
        if (window == 2) {
          if (static_cast<int>(bits.Get(4)) > kShortBands[rate]) return 1;
          bits.Get(7);
        } else {
          if (static_cast<int>(bits.Get(6)) > kLongBands[rate]) return 1;
          if (bits.Get(1) != 0) return 1;  // no prediction in the low complexity profile
        }
        if (id == CPE && common && bits.Get(2) == 3) return 1;  // ms_mask_present
        if (bits.Over) return whole ? 1 : -1;
        tested = bits.BytesUsed();
        return 0;
      }
      if (bits.Over) return whole ? 1 : -1;
    }
    return -1;  // fill on fill: nothing to test
  }

  // An H.263 picture's start code and type, in the format of the description.
  static int H263Picture(const std::uint8_t* p, std::size_t n, const TSampleEntry& e, std::size_t& tested) {
    if (n < 5 || p[0] != 0 || p[1] != 0 || (p[2] & 0xFC) != 0x80) return 1;
    if ((p[3] & 0x02) == 0 || (p[3] & 0x01) != 0) return 1;
    const int format = p[4] >> 2 & 7;
    static constexpr std::array<std::uint32_t, 6> kWidth = {0, 128, 176, 352, 704, 1408};
    static constexpr std::array<std::uint32_t, 6> kHeight = {0, 96, 144, 288, 576, 1152};
    if (format == 0 || format == 6) return 1;
    if (format <= 5 && e.width != 0 && (e.width != kWidth[format] || e.height != kHeight[format])) return 1;
    tested = 5;
    return 0;
  }

  // An MPEG-4 part 2 sample begins with a start code of the visual layers.
  static int Mpeg4Start(const std::uint8_t* p, std::size_t n, std::size_t& tested) {
    if (n < 4 || p[0] != 0 || p[1] != 0 || p[2] != 1) return 1;
    const std::uint8_t c = p[3];
    if (!(c <= 0x2F || c == 0xB0 || c == 0xB2 || c == 0xB3 || c == 0xB5 || c == 0xB6)) return 1;
    tested = 4;
    return 0;
  }

  FileBytes& b_;
  std::uint64_t size_;
  TClusterCoverage cov_;
  std::vector<TRange> media_;
  std::vector<TTrack> tracks_;
  struct TTrex {
    std::uint32_t id, entry, size;
  };
  std::vector<TTrex> trex_;
  std::vector<TSample> fragments_;
  std::uint64_t fragmentSamples_ = 0;
  std::vector<std::uint64_t> moofs_;  // where each fragment starts, in order
  bool indexed_ = false;
  bool incomplete_ = false;
  TSliceQueue slices_;
};

}  // namespace

void CheckIsoMedia(FileBytes& b, std::uint64_t size) {
  if (size == 0 || size > b.Limit()) return;
  // The chain of top-level atoms ended on a read that failed.
  b.ok = true;
  TIsoMediaCheck(b, size).Run();
}

}  // namespace vantrel
