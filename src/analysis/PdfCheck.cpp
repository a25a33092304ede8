#include "analysis/PdfCheck.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
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
    if (IsSpace(after)) break;  // not /Length1 of a font
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

// The integers of a dictionary's entry: "/Key 12" or "/Key [1 2 3]"; empty
// when the key is missing.
std::vector<std::int64_t> DictInts(std::string_view dict, std::string_view key) {
  std::vector<std::int64_t> out;
  std::size_t at = 0;
  for (;; at += key.size()) {
    at = dict.find(key, at);
    if (at == std::string_view::npos) return out;
    const char after = at + key.size() < dict.size() ? dict[at + key.size()] : ' ';
    if (IsSpace(after) || after == '[') break;  // not /Length1 for /Length
  }
  std::size_t i = at + key.size();
  while (i < dict.size() && IsSpace(dict[i])) ++i;
  const bool array = i < dict.size() && dict[i] == '[';
  if (array) ++i;
  for (;;) {
    while (i < dict.size() && IsSpace(dict[i])) ++i;
    if (i >= dict.size() || !IsDigit(dict[i])) break;
    std::int64_t v = 0;
    for (int k = 0; i < dict.size() && IsDigit(dict[i]) && k < 12; ++i, ++k) v = v * 10 + (dict[i] - '0');
    out.push_back(v);
    if (!array || out.size() > 4096) break;
  }
  return out;
}

// Inflates a zlib stream of the file into memory, no more than limit bytes.
bool InflateToMemory(FileBytes& b, std::uint64_t from, std::uint64_t to, std::size_t limit, std::string& out,
                     std::uint64_t& bad) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  std::array<char, 16384> chunk{};
  int rc = Z_OK;
  std::uint64_t pos = from;
  while (rc == Z_OK && pos < to) {
    std::size_t avail = 0;
    const std::uint8_t* p = b.At(pos, avail);
    if (!p) break;
    avail = static_cast<std::size_t>(std::min<std::uint64_t>(avail, to - pos));
    z.next_in = const_cast<Bytef*>(p);
    z.avail_in = static_cast<uInt>(avail);
    while (rc == Z_OK && (z.avail_in > 0 || z.avail_out == 0)) {
      z.next_out = reinterpret_cast<Bytef*>(chunk.data());
      z.avail_out = static_cast<uInt>(chunk.size());
      rc = inflate(&z, Z_NO_FLUSH);
      out.append(chunk.data(), chunk.size() - z.avail_out);
      if (rc == Z_BUF_ERROR) rc = z.avail_in == 0 ? Z_OK : Z_DATA_ERROR;
      if (out.size() > limit) rc = Z_MEM_ERROR;
      if (z.avail_out != 0 && z.avail_in == 0) break;
    }
    pos += avail - z.avail_in;
  }
  bad = pos;
  inflateEnd(&z);
  return rc == Z_STREAM_END;
}

// The cross-reference stream of the object at pos: its entries, inflated
// and their PNG predictors undone, give the objects' offsets, each checked
// on its "obj"; prev is the section before (-1: none). False when it
// cannot be followed (or is damaged, which b then says).
bool XrefStream(FileBytes& b, std::uint64_t pos, std::uint64_t end, std::vector<std::uint64_t>& objects,
                std::vector<std::pair<std::int64_t, std::uint64_t>>& numbered, TClusterCoverage& tested,
                std::int64_t& prev) {
  std::string head(4096, '\0');
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(head.size(), end - pos));
  if (!b.Get(pos, head.data(), n)) return false;
  head.resize(n);
  const auto stream = head.find(">>\nstream") != std::string::npos ? head.find(">>\nstream") + 3
                      : head.find(">>\r\nstream") != std::string::npos ? head.find(">>\r\nstream") + 4
                      : head.find(">>stream") != std::string::npos ? head.find(">>stream") + 2 : std::string::npos;
  if (stream == std::string::npos) return false;
  const std::string_view dict(head.data(), stream);
  if (dict.find("/XRef") == std::string_view::npos) {
    b.Damaged(pos);
    return false;
  }
  const auto w = DictInts(dict, "/W"), size = DictInts(dict, "/Size");
  auto index = DictInts(dict, "/Index");
  const std::int64_t length = StreamLength(b, dict, pos, numbered);
  const auto predictor = DictInts(dict, "/Predictor"), columns = DictInts(dict, "/Columns");
  const std::string filter = FilterName(dict);
  if (w.size() != 3 || size.size() != 1 || length < 0 || (filter != "FlateDecode" && !filter.empty()) ||
      w[0] > 8 || w[1] > 8 || w[2] > 8)
    return false;
  if (index.empty()) index = {0, size[0]};
  if (index.size() % 2 != 0) return false;
  std::uint64_t data = pos + stream + 6;
  if (b.Byte(data) == '\r') ++data;
  if (b.Byte(data) == '\n') ++data;
  const std::uint64_t dataEnd = data + static_cast<std::uint64_t>(length);
  if (dataEnd > end) {
    b.Damaged(pos);
    return false;
  }
  std::uint64_t p = dataEnd;
  for (int k = 0; k < 2 && (b.Byte(p) == '\r' || b.Byte(p) == '\n'); ++k) ++p;
  if (!b.Is(p, "endstream")) {
    b.Damaged(dataEnd);
    return false;
  }
  std::string rows;
  if (filter.empty()) {
    rows.resize(static_cast<std::size_t>(std::min<std::int64_t>(length, 16 << 20)));
    if (!b.Get(data, rows.data(), rows.size())) return false;
  } else {
    std::uint64_t bad = 0;
    if (!InflateToMemory(b, data, dataEnd, 16u << 20, rows, bad)) {
      if (bad >= dataEnd || b.Byte(bad) >= 0) b.Damaged(bad);
      return false;
    }
  }
  tested.CheckedRange(pos, p + 9);
  const std::size_t width = static_cast<std::size_t>(w[0] + w[1] + w[2]);
  if (width == 0) return false;
  // PNG predictors: a filter byte before each row of Columns bytes.
  if (!predictor.empty() && predictor[0] >= 10) {
    const std::size_t cols = columns.empty() ? 1 : static_cast<std::size_t>(columns[0]);
    if (cols != width || rows.size() % (cols + 1) != 0) {
      b.Damaged(data);
      return false;
    }
    std::string plain;
    std::string above(cols, '\0');
    for (std::size_t r = 0; r < rows.size(); r += cols + 1) {
      const int type = static_cast<std::uint8_t>(rows[r]);
      std::string row = rows.substr(r + 1, cols);
      for (std::size_t i = 0; i < cols; ++i) {
        const int a = i > 0 ? static_cast<std::uint8_t>(row[i - 1]) : 0, up = static_cast<std::uint8_t>(above[i]),
                  c = i > 0 ? static_cast<std::uint8_t>(above[i - 1]) : 0;
        int add = 0;
        if (type == 1) add = a;
        else if (type == 2) add = up;
        else if (type == 3) add = (a + up) / 2;
        else if (type == 4) {
          const int pa = std::abs(up - c), pb = std::abs(a - c), pc = std::abs(a + up - 2 * c);
          add = pa <= pb && pa <= pc ? a : pb <= pc ? up : c;
        } else if (type != 0) {
          b.Damaged(data);
          return false;
        }
        row[i] = static_cast<char>(static_cast<std::uint8_t>(row[i]) + add);
      }
      plain += row;
      above = row;
    }
    rows.swap(plain);
  } else if (!predictor.empty() && predictor[0] != 1) {
    return false;
  }
  std::uint64_t count = 0;
  for (std::size_t i = 1; i < index.size(); i += 2) count += static_cast<std::uint64_t>(index[i]);
  if (count * width != rows.size()) {
    b.Damaged(data);
    return false;
  }
  auto field = [&](std::size_t row, std::size_t from, std::int64_t bytes) {
    std::uint64_t v = 0;
    for (std::int64_t k = 0; k < bytes; ++k) v = v << 8 | static_cast<std::uint8_t>(rows[row * width + from + static_cast<std::size_t>(k)]);
    return v;
  };
  std::size_t row = 0;
  for (std::size_t i = 0; i + 1 < index.size(); i += 2)
    for (std::int64_t k = 0; k < index[i + 1]; ++k, ++row) {
      const std::uint64_t type = w[0] == 0 ? 1 : field(row, 0, w[0]);
      if (type != 1) continue;  // free, or kept in an object stream
      const std::uint64_t offset = field(row, static_cast<std::size_t>(w[0]), w[1]);
      const std::int64_t number = index[i] + k;
      const std::int64_t generation = static_cast<std::int64_t>(field(row, static_cast<std::size_t>(w[0] + w[1]), w[2]));
      if (offset >= end || !ObjectAt(b, offset, number, generation)) {
        b.Damaged(offset < end ? offset : data);
        return false;
      }
      objects.push_back(offset);
      numbered.push_back({number, offset});
      tested.Checked(offset);
    }
  const auto before = DictInts(dict, "/Prev");
  prev = before.size() == 1 ? before[0] : -1;
  return true;
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
      // A cross-reference stream ("n g obj").
      std::uint64_t p = pos;
      const std::int64_t n = Number(b, p), g = Number(b, p);
      if (n < 0 || g < 0 || !ObjectAt(b, pos, n, g)) return b.Damaged(pos);
      const std::size_t before = objects.size();
      if (!XrefStream(b, pos, end, objects, numbered, tested, xref)) return;
      entries += objects.size() - before + 1;
      if (entries > 1000000) return;
      continue;
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
