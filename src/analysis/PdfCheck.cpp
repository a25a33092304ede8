#include "analysis/PdfCheck.h"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "analysis/ClusterCoverage.h"
#include "analysis/FileBytes.h"
#include "analysis/Inflate.h"
#include "analysis/JpegScan.h"

namespace vantrel {

namespace {

bool IsDigit(int c) { return c >= '0' && c <= '9'; }
bool IsSpace(int c) { return c == ' ' || c == '\r' || c == '\n' || c == '\t' || c == '\f' || c == 0; }

// A decimal number at pos, after white space; pos moves past it. -1 when none.
std::int64_t Number(FileBytes& b, std::uint64_t& pos) {
  int c;
  for (int i = 0; i < 64 && IsSpace(c = b.Byte(pos)); ++i) ++pos;
  std::int64_t v = -1;
  for (int i = 0; i < 12 && IsDigit(c = b.Byte(pos)); ++i, ++pos) v = (v < 0 ? 0 : v * 10) + (c - '0');
  return v;
}

// "n g obj" at pos (white space before it allowed).
bool ObjectAt(FileBytes& b, std::uint64_t pos, std::int64_t number, std::int64_t generation) {
  if (Number(b, pos) != number || Number(b, pos) != generation) return false;
  while (IsSpace(b.Byte(pos))) ++pos;
  return b.Is(pos, "obj");
}

// A name that follows key in a dictionary ("/Filter /FlateDecode" or
// "/Filter [/FlateDecode]"); empty when there is none, "?" when the array
// holds more than one.
std::string FilterName(std::string_view dict) {
  const auto at = dict.find("/Filter");
  if (at == std::string_view::npos) return {};
  std::size_t i = at + 7;
  while (i < dict.size() && IsSpace(dict[i])) ++i;
  const bool array = i < dict.size() && dict[i] == '[';
  if (array) ++i;
  while (i < dict.size() && IsSpace(dict[i])) ++i;
  if (i >= dict.size() || dict[i] != '/') return "?";
  std::size_t j = i + 1;
  while (j < dict.size() && !IsSpace(dict[j]) && dict[j] != '/' && dict[j] != ']' && dict[j] != '>' &&
         dict[j] != '[' && dict[j] != '(' && dict[j] != '<')
    ++j;
  std::string name(dict.substr(i + 1, j - i - 1));
  if (array) {
    while (j < dict.size() && IsSpace(dict[j])) ++j;
    if (j >= dict.size() || dict[j] != ']') return "?";
  }
  return name;
}

// The value of /Length: a number, or "n g R" resolved through the table; -1
// when there is none or it cannot be resolved.
std::int64_t StreamLength(FileBytes& b, std::string_view dict, std::uint64_t dictAt,
                          const std::vector<std::pair<std::int64_t, std::uint64_t>>& numbered) {
  std::size_t at = 0;
  for (;; at += 7) {
    at = dict.find("/Length", at);
    if (at == std::string_view::npos) return -1;
    const char after = at + 7 < dict.size() ? dict[at + 7] : ' ';
    if (IsSpace(after) || IsDigit(after)) break;  // not /Length1 of a font
  }
  std::uint64_t p = dictAt + at + 7;
  const std::int64_t value = Number(b, p);
  std::uint64_t q = p;
  const std::int64_t generation = Number(b, q);
  while (IsSpace(b.Byte(q))) ++q;
  if (value < 0 || generation < 0 || b.Byte(q) != 'R') return value;
  // An indirect length: the object that holds it (numbered is sorted).
  auto it = std::lower_bound(numbered.begin(), numbered.end(), std::pair<std::int64_t, std::uint64_t>{value, 0});
  for (int tries = 0; it != numbered.end() && it->first == value && !ObjectAt(b, it->second, value, generation) && tries < 8; ++tries)
    ++it;
  if (it == numbered.end() || it->first != value) return -1;
  std::uint64_t r = it->second;
  if (!ObjectAt(b, r, value, generation)) return -1;
  Number(b, r);
  Number(b, r);
  while (IsSpace(b.Byte(r))) ++r;
  r += 3;  // "obj"
  return Number(b, r);
}

// The JPEG of a /DCTDecode stream from data to its EOI: 1 with eoi past it
// when every scan decodes, 0 with bad where one fails, -1 when a scan cannot
// be decoded (a progressive image) or the bytes end.
int JpegStream(FileBytes& b, std::uint64_t data, std::uint64_t limit, std::uint64_t& eoi, std::uint64_t& bad) {
  if (b.Be16(data) != 0xFFD8) {
    bad = data;
    return b.ok ? 0 : -1;
  }
  TJpegScanCheck check;
  std::uint64_t pos = data + 2;
  while (pos < limit) {
    if (b.Byte(pos) != 0xFF) {
      bad = pos;
      return 0;
    }
    int m;
    while ((m = b.Byte(pos)) == 0xFF) ++pos;
    if (m < 0) return -1;
    ++pos;
    if (m == 0xD9) {
      eoi = pos;
      return check.SawFrame() ? 1 : -1;
    }
    if (m == 0x01 || (m >= 0xD0 && m <= 0xD7)) continue;
    const std::uint32_t length = b.Be16(pos);
    if (!b.ok) return -1;
    if (m == 0x00 || length < 2) {
      bad = pos;
      return 0;
    }
    const std::uint64_t segment = pos;
    pos += length;
    if (m != 0xDA) {
      check.Segment(b, m, segment, length);
      continue;
    }
    std::uint64_t end = 0;
    const int decoded = check.Scan(b, segment, pos, end, bad);
    if (decoded != 1) return decoded;
    pos = end;
  }
  bad = limit;
  return 0;
}

// Each stream of the objects: its data /Length long, then "endstream";
// a /FlateDecode one inflates to its end with its Adler-32 and a /DCTDecode
// one decodes, which covers its bytes. Other streams leave their bytes
// unchecked. Verified when every cluster holds a tested byte.
void CheckPdfStreams(FileBytes& b, std::uint64_t end, std::vector<std::uint64_t>& objects,
                     std::vector<std::pair<std::int64_t, std::uint64_t>>& numbered, TClusterCoverage& tested) {
  std::sort(objects.begin(), objects.end());
  std::sort(numbered.begin(), numbered.end());
  objects.push_back(end);
  for (std::size_t i = 0; i + 1 < objects.size(); ++i) {
    const std::uint64_t start = objects[i], next = objects[i + 1];
    std::string head(4096, '\0');
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(head.size(), next - start));
    if (!b.Get(start, head.data(), n)) return;
    head.resize(n);
    // "stream" after the dictionary, before the object ends.
    std::size_t stream = std::string::npos;
    for (std::size_t at = head.find("stream"); at != std::string::npos; at = head.find("stream", at + 6)) {
      if (at >= 3 && head.compare(at - 3, 3, "end") == 0) continue;
      std::size_t k = at;
      while (k > 0 && IsSpace(head[k - 1])) --k;
      if (k >= 2 && head.compare(k - 2, 2, ">>") == 0) stream = at;
      break;
    }
    const auto endobj = head.find("endobj");
    if (stream == std::string::npos || (endobj != std::string::npos && endobj < stream)) continue;
    const std::string_view dict(head.data(), stream);
    tested.CheckedRange(start, start + stream + 6);
    std::uint64_t data = start + stream + 6;
    if (b.Byte(data) == '\r') ++data;
    if (b.Byte(data) == '\n') ++data;
    const std::int64_t length = StreamLength(b, dict, start, numbered);
    if (length < 0 || static_cast<std::uint64_t>(length) > next - data) {
      if (length >= 0) b.Damaged(start);
      continue;  // a length that cannot be resolved leaves the stream unchecked
    }
    const std::uint64_t dataEnd = data + static_cast<std::uint64_t>(length);
    std::uint64_t p = dataEnd;
    for (int k = 0; k < 2 && (b.Byte(p) == '\r' || b.Byte(p) == '\n'); ++k) ++p;
    if (!b.Is(p, "endstream")) {
      if (b.Byte(p) >= 0 && b.Byte(p + 8) >= 0) b.Damaged(dataEnd);  // not where the bytes end
      return;
    }
    tested.CheckedRange(dataEnd, p + 9);
    const std::string filter = FilterName(dict);
    if (filter == "FlateDecode") {
      const TInflated out = InflateAt(b, data, dataEnd - data, true);
      if (!out.Ok) {
        if (!out.RanOut || out.End >= dataEnd) b.Damaged(out.BadAt);
        continue;
      }
      tested.CheckedRange(data, out.End);
    } else if (filter == "DCTDecode") {
      std::uint64_t eoi = 0, bad = 0;
      const int decoded = JpegStream(b, data, dataEnd, eoi, bad);
      if (decoded == 0) b.Damaged(bad);
      else if (decoded == 1 && eoi <= dataEnd) tested.CheckedRange(data, eoi);
    }
  }
  if (tested.Covers(end)) b.Verified();
}

}  // namespace

void CheckPdfXref(FileBytes& b, std::uint64_t end) {
  // "startxref" and its offset in the last kilobyte.
  const std::uint64_t from = end > 1024 ? end - 1024 : 0;
  std::string tail(static_cast<std::size_t>(end - from), '\0');
  if (!b.Get(from, tail.data(), tail.size())) return;
  const auto at = tail.rfind("startxref");
  if (at == std::string::npos) return b.Damaged(end);
  std::uint64_t pos = from + at + 9;
  std::int64_t xref = Number(b, pos);
  std::uint64_t entries = 0;
  std::vector<std::uint64_t> objects;
  std::vector<std::pair<std::int64_t, std::uint64_t>> numbered;  // object number, offset
  TClusterCoverage tested(b.ClusterSize());
  tested.Checked(0);
  tested.CheckedRange(from + at, end);
  for (int sections = 0; xref >= 0; ++sections) {
    if (sections == 64 || static_cast<std::uint64_t>(xref) >= end) return b.Damaged(from + at);
    pos = static_cast<std::uint64_t>(xref);
    if (!b.Is(pos, "xref")) {
      // A cross-reference stream ("n g obj"), compressed: not followed.
      std::uint64_t p = pos;
      const std::int64_t n = Number(b, p), g = Number(b, p);
      if (n >= 0 && g >= 0 && ObjectAt(b, pos, n, g)) return;
      return b.Damaged(pos);
    }
    pos += 4;
    // Subsections "first count", then 20-byte entries.
    for (;;) {
      std::uint64_t p = pos;
      const std::int64_t first = Number(b, p), count = Number(b, p);
      if (first < 0 || count < 0) break;
      while (IsSpace(b.Byte(p))) ++p;
      for (std::int64_t i = 0; i < count; ++i, p += 20) {
        std::array<char, 20> e{};
        if (!b.Get(p, e.data(), e.size())) return;
        std::uint64_t q = p;
        const std::int64_t offset = Number(b, q), generation = Number(b, q);
        if (offset < 0 || generation < 0 || (e[17] != 'n' && e[17] != 'f')) return b.Damaged(p);
        if (e[17] == 'n' && (static_cast<std::uint64_t>(offset) >= end || !ObjectAt(b, static_cast<std::uint64_t>(offset), first + i, generation)))
          return b.Damaged(static_cast<std::uint64_t>(offset) < end ? static_cast<std::uint64_t>(offset) : p);
        ++entries;
        if (e[17] == 'n') {
          objects.push_back(static_cast<std::uint64_t>(offset));
          numbered.push_back({first + i, static_cast<std::uint64_t>(offset)});
          tested.Checked(static_cast<std::uint64_t>(offset));
        }
        if (entries > 1000000) return;
      }
      tested.CheckedRange(pos, p);
      pos = p;
    }
    // The trailer, and the table of the revision before.
    while (IsSpace(b.Byte(pos))) ++pos;
    if (!b.Is(pos, "trailer")) return b.Damaged(pos);
    std::string dict(2048, '\0');
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(dict.size(), end - pos));
    if (!b.Get(pos, dict.data(), n)) return;
    dict.resize(n);
    const auto close = dict.find(">>");
    tested.CheckedRange(pos, close == std::string::npos ? pos + 7 : pos + close + 2);
    const auto prev = dict.find("/Prev");
    if (prev == std::string::npos || (close != std::string::npos && prev > close)) break;
    std::uint64_t p = pos + prev + 5;
    xref = Number(b, p);
    if (xref < 0) return b.Damaged(pos);
  }
  if (entries == 0) return;
  CheckPdfStreams(b, end, objects, numbered, tested);
}

}  // namespace vantrel
