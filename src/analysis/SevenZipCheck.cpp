#include "analysis/SevenZipCheck.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <functional>
#include <utility>
#include <vector>

#ifdef VANTREL_HAVE_LZMA
#include <lzma.h>
#endif

#include "analysis/ClusterCoverage.h"
#include "analysis/FileBytes.h"
#include "analysis/Inflate.h"

namespace vantrel {

namespace {

// Headers are held in memory; larger ones are not read.
constexpr std::uint64_t kMaxHeader = 16u << 20;
// No coder is given a larger dictionary, nor a folder unpacked to more than
// this or to more than kMaxRatio times the archive.
constexpr std::uint32_t kMaxDictionary = 64u << 20;
constexpr std::uint64_t kMaxUnpacked = 1ull << 30;
constexpr std::uint64_t kMaxRatio = 64;

enum : std::uint8_t {
  kEnd = 0x00, kHeader = 0x01, kArchiveProperties = 0x02, kAdditionalStreamsInfo = 0x03, kMainStreamsInfo = 0x04,
  kPackInfo = 0x06, kUnpackInfo = 0x07, kSubStreamsInfo = 0x08, kSize = 0x09, kCrc = 0x0A, kFolder = 0x0B,
  kCodersUnpackSize = 0x0C, kNumUnpackStream = 0x0D, kEncodedHeader = 0x17,
};

// The numbers and bytes of a header held in memory; ok turns false for good
// at the first read past its end.
class THeaderReader {
 public:
  explicit THeaderReader(const std::vector<std::uint8_t>& data) : data_(data) {}
  bool ok = true;
  std::uint64_t Left() const { return data_.size() - pos_; }
  std::uint8_t Byte() {
    if (pos_ >= data_.size()) {
      ok = false;
      return 0;
    }
    return data_[pos_++];
  }
  // The variable-length number: as many bytes follow the first as it has
  // leading one bits.
  std::uint64_t Number() {
    const std::uint8_t first = Byte();
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
      const std::uint8_t mask = static_cast<std::uint8_t>(0x80 >> i);
      if (!(first & mask)) return value | static_cast<std::uint64_t>(first & (mask - 1)) << (8 * i);
      value |= static_cast<std::uint64_t>(Byte()) << (8 * i);
    }
    return value;
  }
  std::uint32_t U32() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(Byte()) << (8 * i);
    return v;
  }
  // A count of items each at least one byte long.
  std::uint64_t Count() {
    const std::uint64_t n = Number();
    if (n > Left() + 1) ok = false;
    return ok ? n : 0;
  }
  void Skip(std::uint64_t n) {
    if (n > Left()) {
      ok = false;
      pos_ = data_.size();
    } else {
      pos_ += static_cast<std::size_t>(n);
    }
  }

 private:
  const std::vector<std::uint8_t>& data_;
  std::size_t pos_ = 0;
};

struct TCoder {
  std::vector<std::uint8_t> id, properties;
  std::uint64_t in = 1, out = 1;
};

struct TFolder {
  std::vector<TCoder> coders;
  std::uint64_t packed = 1;            // its packed streams
  std::vector<std::uint64_t> unpacked;  // the size of every coder output
  std::uint64_t mainOut = 0;            // the output no bind pair takes: the folder's data
  bool chained = false;                 // two coders, one taking the other's output
  bool hasCrc = false;
  std::uint32_t crc = 0;
  std::vector<std::uint64_t> sizes;      // its files' sizes
  std::vector<bool> fileHasCrc;
  std::vector<std::uint32_t> fileCrcs;
  std::uint64_t Size() const { return mainOut < unpacked.size() ? unpacked[mainOut] : 0; }
};

struct TStreams {
  std::uint64_t packPos = 0;
  std::vector<std::uint64_t> packSizes;
  std::vector<TFolder> folders;
};

// CRCs of count items, each there or not.
void Digests(THeaderReader& r, std::uint64_t count, std::vector<bool>& defined, std::vector<std::uint32_t>& crcs) {
  defined.assign(count, true);
  if (r.Byte() == 0) {
    std::uint8_t bits = 0;
    for (std::uint64_t i = 0; i < count && r.ok; ++i) {
      if (i % 8 == 0) bits = r.Byte();
      defined[i] = (bits >> (7 - i % 8)) & 1;
    }
  }
  crcs.assign(count, 0);
  for (std::uint64_t i = 0; i < count && r.ok; ++i)
    if (defined[i]) crcs[i] = r.U32();
}

bool ReadFolder(THeaderReader& r, TFolder& f) {
  const std::uint64_t coders = r.Count();
  if (coders == 0 || coders > 64) return false;
  std::uint64_t ins = 0, outs = 0;
  for (std::uint64_t i = 0; i < coders && r.ok; ++i) {
    TCoder c;
    const std::uint8_t flags = r.Byte();
    if (flags & 0xC0) return false;  // alternative methods: never written
    c.id.resize(flags & 0x0F);
    for (auto& x : c.id) x = r.Byte();
    if (flags & 0x10) {
      c.in = r.Number();
      c.out = r.Number();
      if (c.in == 0 || c.in > 64 || c.out == 0 || c.out > 64) return false;
    }
    if (flags & 0x20) {
      const std::uint64_t n = r.Count();
      c.properties.resize(static_cast<std::size_t>(n));
      for (auto& x : c.properties) x = r.Byte();
    }
    ins += c.in;
    outs += c.out;
    f.coders.push_back(std::move(c));
  }
  std::vector<bool> boundOut(outs, false), boundIn(ins, false);
  for (std::uint64_t i = 0; i + 1 < outs && r.ok; ++i) {
    const std::uint64_t in = r.Number(), out = r.Number();
    if (in >= ins || out >= outs) return false;
    boundIn[in] = true;
    boundOut[out] = true;
    f.chained = coders == 2 && ins == 2 && outs == 2 && in + out == 1;
  }
  if (ins < outs - 1) return false;
  f.packed = ins - (outs - 1);
  if (f.packed > 1)
    for (std::uint64_t i = 0; i < f.packed && r.ok; ++i) r.Number();
  f.mainOut = static_cast<std::uint64_t>(std::find(boundOut.begin(), boundOut.end(), false) - boundOut.begin());
  f.unpacked.assign(outs, 0);
  return r.ok;
}

bool ReadStreams(THeaderReader& r, TStreams& s) {
  for (std::uint8_t id = r.Byte(); r.ok && id != kEnd; id = r.Byte()) {
    if (id == kPackInfo) {
      s.packPos = r.Number();
      s.packSizes.assign(r.Count(), 0);
      for (std::uint8_t p = r.Byte(); r.ok && p != kEnd; p = r.Byte()) {
        if (p == kSize) {
          for (auto& size : s.packSizes) size = r.Number();
        } else if (p == kCrc) {
          std::vector<bool> defined;
          std::vector<std::uint32_t> crcs;
          Digests(r, s.packSizes.size(), defined, crcs);
        } else {
          return false;
        }
      }
    } else if (id == kUnpackInfo) {
      if (r.Byte() != kFolder) return false;
      s.folders.assign(r.Count(), TFolder{});
      if (r.Byte() != 0) return false;  // folders kept elsewhere
      for (auto& f : s.folders)
        if (!ReadFolder(r, f)) return false;
      if (r.Byte() != kCodersUnpackSize) return false;
      for (auto& f : s.folders)
        for (auto& size : f.unpacked) size = r.Number();
      for (std::uint8_t p = r.Byte(); r.ok && p != kEnd; p = r.Byte()) {
        if (p != kCrc) return false;
        std::vector<bool> defined;
        std::vector<std::uint32_t> crcs;
        Digests(r, s.folders.size(), defined, crcs);
        for (std::size_t i = 0; i < s.folders.size(); ++i) {
          s.folders[i].hasCrc = defined[i];
          s.folders[i].crc = crcs[i];
        }
      }
    } else if (id == kSubStreamsInfo) {
      for (auto& f : s.folders) f.sizes.assign(1, 0);
      std::uint8_t p = r.Byte();
      if (p == kNumUnpackStream) {
        // Each file takes a byte of the header at least: no more files in all.
        std::uint64_t files = 0;
        for (auto& f : s.folders) {
          const std::uint64_t n = r.Count();
          if ((files += n) > r.Left() + s.folders.size() * 8) return false;
          f.sizes.assign(n, 0);
        }
        p = r.Byte();
      }
      if (p == kSize) {
        for (auto& f : s.folders) {
          std::uint64_t sum = 0;
          for (std::size_t i = 0; i + 1 < f.sizes.size() && sum <= f.Size(); ++i) sum += f.sizes[i] = r.Number();
          if (!f.sizes.empty()) f.sizes.back() = f.Size() - sum;
          if (sum > f.Size()) return false;
        }
        p = r.Byte();
      } else {
        for (auto& f : s.folders)
          if (f.sizes.size() == 1) f.sizes[0] = f.Size();
          else if (!f.sizes.empty()) return false;
      }
      std::uint64_t unknown = 0;
      for (auto& f : s.folders) {
        f.fileHasCrc.assign(f.sizes.size(), false);
        f.fileCrcs.assign(f.sizes.size(), 0);
        if (f.sizes.size() == 1 && f.hasCrc) {
          f.fileHasCrc[0] = true;
          f.fileCrcs[0] = f.crc;
        } else {
          unknown += f.sizes.size();
        }
      }
      for (; r.ok && p != kEnd; p = r.Byte()) {
        if (p != kCrc) return false;
        std::vector<bool> defined;
        std::vector<std::uint32_t> crcs;
        Digests(r, unknown, defined, crcs);
        std::size_t k = 0;
        for (auto& f : s.folders) {
          if (f.sizes.size() == 1 && f.hasCrc) continue;
          for (std::size_t i = 0; i < f.sizes.size() && k < defined.size(); ++i, ++k) {
            f.fileHasCrc[i] = defined[k];
            f.fileCrcs[i] = crcs[k];
          }
        }
      }
    } else {
      return false;
    }
  }
  if (!r.ok) return false;
  // Without substreams, every folder is one file with the folder's CRC.
  for (auto& f : s.folders)
    if (f.fileHasCrc.empty()) {
      f.sizes.assign(1, f.Size());
      f.fileHasCrc.assign(1, f.hasCrc);
      f.fileCrcs.assign(1, f.crc);
    }
  return true;
}

enum TUnpack { upFailed, upDone, upUnsupported };

// Unpacks a folder of one coder from its packed stream [at, at + packed) and
// hands its output to sink; bad is where the coder failed.
TUnpack Unpack(FileBytes& b, const TFolder& f, std::uint64_t at, std::uint64_t packed,
               const std::function<void(const std::uint8_t*, std::size_t, std::uint64_t)>& sink, std::uint64_t& bad) {
  bad = at;
  if ((f.coders.size() != 1 && !f.chained) || f.packed != 1) return upUnsupported;
  // Of two coders, the one whose output is the folder's is the converter.
  const TCoder& c = f.chained ? f.coders[f.mainOut == 0 ? 1 : 0] : f.coders[0];
  const std::uint64_t size = f.Size();
  if (c.id == std::vector<std::uint8_t>{0x00} && f.coders.size() == 1) {
    if (size != packed) return upFailed;
    for (std::uint64_t pos = at; pos < at + packed;) {
      std::size_t avail = 0;
      const std::uint8_t* p = b.At(pos, avail);
      if (!p) return upUnsupported;
      avail = static_cast<std::size_t>(std::min<std::uint64_t>(avail, at + packed - pos));
      sink(p, avail, pos + avail);
      pos += avail;
    }
    return upDone;
  }
#ifdef VANTREL_HAVE_LZMA
  const bool lzma1 = c.id == std::vector<std::uint8_t>{0x03, 0x01, 0x01};
  const bool lzma2 = c.id == std::vector<std::uint8_t>{0x21};
  if (!lzma1 && !lzma2) return upUnsupported;
  std::array<lzma_filter, 3> filters{};
  std::size_t coder = 0;
  if (f.chained) {
    // A branch converter of executables before the coder.
    static const std::array<std::pair<std::array<std::uint8_t, 4>, lzma_vli>, 6> kBranch = {{
        {{3, 3, 1, 3}, LZMA_FILTER_X86}, {{3, 3, 2, 5}, LZMA_FILTER_POWERPC}, {{3, 3, 4, 1}, LZMA_FILTER_IA64},
        {{3, 3, 5, 1}, LZMA_FILTER_ARM}, {{3, 3, 7, 1}, LZMA_FILTER_ARMTHUMB}, {{3, 3, 8, 5}, LZMA_FILTER_SPARC}}};
    const TCoder& first = f.coders[f.mainOut == 0 ? 0 : 1];
    const auto it = std::find_if(kBranch.begin(), kBranch.end(), [&](const auto& k) {
      return first.id.size() == 4 && std::equal(k.first.begin(), k.first.end(), first.id.begin());
    });
    if (it == kBranch.end() || !first.properties.empty()) return upUnsupported;
    filters[0].id = it->second;
    coder = 1;
  }
  filters[coder].id = lzma1 ? LZMA_FILTER_LZMA1 : LZMA_FILTER_LZMA2;
  filters[coder + 1].id = LZMA_VLI_UNKNOWN;
  if (lzma_properties_decode(&filters[coder], nullptr, c.properties.data(), c.properties.size()) != LZMA_OK)
    return upFailed;
  // A dictionary no larger than the data it unpacks to is as good as the
  // one it claims.
  auto* options = static_cast<lzma_options_lzma*>(filters[coder].options);
  const std::uint64_t needed = std::max<std::uint64_t>(LZMA_DICT_SIZE_MIN, (size + 4095) / 4096 * 4096);
  options->dict_size = static_cast<std::uint32_t>(std::min<std::uint64_t>(options->dict_size, needed));
  if (options->dict_size < LZMA_DICT_SIZE_MIN) options->dict_size = LZMA_DICT_SIZE_MIN;
  if (options->dict_size > kMaxDictionary) {
    std::free(options);
    return upUnsupported;
  }
  lzma_stream z = LZMA_STREAM_INIT;
  const lzma_ret init = lzma_raw_decoder(&z, filters.data());
  std::free(options);
  if (init != LZMA_OK) return init == LZMA_OPTIONS_ERROR ? upFailed : upUnsupported;
  static thread_local std::array<std::uint8_t, 65536> out;
  std::uint64_t pos = at, made = 0;
  TUnpack result = upFailed;
  lzma_ret rc = LZMA_OK;
  while (made < size) {
    if (z.avail_in == 0 && pos < at + packed) {
      std::size_t avail = 0;
      const std::uint8_t* p = b.At(pos, avail);
      if (!p) {
        result = upUnsupported;
        break;
      }
      avail = static_cast<std::size_t>(std::min<std::uint64_t>(avail, at + packed - pos));
      z.next_in = p;
      z.avail_in = avail;
      pos += avail;
    }
    z.next_out = out.data();
    z.avail_out = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), size - made));
    rc = lzma_code(&z, pos < at + packed ? LZMA_RUN : LZMA_FINISH);
    const std::size_t n = static_cast<std::size_t>(z.next_out - out.data());
    made += n;
    if (n) sink(out.data(), n, pos - z.avail_in);
    if (rc == LZMA_STREAM_END) break;
    if (rc != LZMA_OK || (n == 0 && z.avail_in == 0 && pos >= at + packed)) break;
  }
  if (made == size && result != upUnsupported) result = upDone;
  if (result == upFailed) bad = pos - z.avail_in;
  lzma_end(&z);
  return result;
#else
  return upUnsupported;
#endif
}

// Unpacks every folder and compares its files' CRCs; folders whose every
// file's CRC held cover their packed streams.
void CheckFolders(FileBytes& b, const TStreams& s, std::uint64_t size, TClusterCoverage& coverage, bool& all,
                  std::vector<std::uint8_t>* keep) {
  std::uint64_t at = 32 + s.packPos, stream = 0;
  for (const TFolder& f : s.folders) {
    if (stream + f.packed > s.packSizes.size()) return b.Damaged(32);
    std::uint64_t packed = 0;
    for (std::uint64_t i = 0; i < f.packed; ++i) packed += s.packSizes[stream + i];
    stream += f.packed;
    if (packed > size || at + packed > size) return b.Damaged(32);
    const std::uint64_t unpacked = f.Size();
    if (unpacked > kMaxUnpacked || unpacked > kMaxRatio * size || (keep && unpacked > kMaxHeader)) {
      all = false;
      at += packed;
      continue;
    }
    // The files of the folder one after another, each with its CRC.
    std::size_t file = 0;
    std::uint64_t left = f.sizes.empty() ? 0 : f.sizes[0], firstBad = FileBytes::npos, fileStart = at;
    std::uint32_t crc = 0;
    bool crcs = true;
    auto close = [&](std::uint64_t where) {
      if (!f.fileHasCrc[file]) crcs = false;
      else if (crc != f.fileCrcs[file] && firstBad == FileBytes::npos) firstBad = fileStart;
      crc = 0;
      fileStart = where;
      ++file;
      left = file < f.sizes.size() ? f.sizes[file] : 0;
    };
    while (file < f.sizes.size() && left == 0) close(at);
    std::uint32_t whole = 0;
    std::uint64_t bad = 0;
    const TUnpack result = Unpack(
        b, f, at, packed,
        [&](const std::uint8_t* p, std::size_t n, std::uint64_t where) {
          whole = Crc32(whole, p, n);
          if (keep) keep->insert(keep->end(), p, p + n);
          while (n > 0 && file < f.sizes.size()) {
            const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(left, n));
            crc = Crc32(crc, p, take);
            p += take;
            n -= take;
            left -= take;
            while (file < f.sizes.size() && left == 0) close(where);
          }
        },
        bad);
    if (result == upFailed) return b.Damaged(bad);
    if (result == upUnsupported) {
      all = false;
    } else {
      if (f.hasCrc && whole != f.crc) return b.Damaged(at);
      if (firstBad != FileBytes::npos) return b.Damaged(firstBad);
      if (crcs || f.hasCrc) coverage.CheckedRange(at, at + packed);
      else all = false;
    }
    at += packed;
  }
}

}  // namespace

void CheckSevenZip(FileBytes& b, std::uint64_t size) {
  const std::uint64_t offset = b.Le64(12), headerSize = b.Le64(20);
  if (!b.ok || headerSize == 0 || headerSize > kMaxHeader || 32 + offset + headerSize != size) return;
  std::vector<std::uint8_t> header(static_cast<std::size_t>(headerSize));
  if (!b.Get(32 + offset, header.data(), header.size())) return;
  TClusterCoverage coverage(b.ClusterSize());
  coverage.CheckedRange(0, 32);
  coverage.CheckedRange(32 + offset, size);
  bool all = true;
  // The header as archivers write it: packed itself, in a folder of its own.
  for (int round = 0; round < 4 && !header.empty() && header[0] == kEncodedHeader; ++round) {
    THeaderReader r(header);
    r.Byte();
    TStreams s;
    if (!ReadStreams(r, s) || s.folders.size() != 1) return;
    std::vector<std::uint8_t> unpacked;
    CheckFolders(b, s, size, coverage, all, &unpacked);
    if (b.Verdict == vdDamaged || !all) return;
    header.swap(unpacked);
  }
  THeaderReader r(header);
  if (r.Byte() != kHeader) return b.Damaged(32 + offset);
  std::uint8_t id = r.Byte();
  if (id == kArchiveProperties) {
    for (std::uint64_t type = r.Number(); r.ok && type != 0; type = r.Number()) r.Skip(r.Number());
    id = r.Byte();
  }
  if (id == kAdditionalStreamsInfo) return;
  if (id == kMainStreamsInfo) {
    TStreams s;
    if (!ReadStreams(r, s)) return;
    CheckFolders(b, s, size, coverage, all, nullptr);
  }
  if (!r.ok || b.Verdict == vdDamaged) return;
  if (all && coverage.Covers(size)) b.Verified();
}

}  // namespace vantrel
