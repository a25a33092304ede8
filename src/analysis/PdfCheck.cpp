#include "analysis/PdfCheck.h"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/FileBytes.h"
#include "analysis/Inflate.h"

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
        if (e[17] == 'n') objects.push_back(static_cast<std::uint64_t>(offset));
        if (entries > 1000000) return;
      }
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
    const auto prev = dict.find("/Prev");
    if (prev == std::string::npos || (close != std::string::npos && prev > close)) break;
    std::uint64_t p = pos + prev + 5;
    xref = Number(b, p);
    if (xref < 0) return b.Damaged(pos);
  }
  if (entries == 0) return;
  // Objects longer than a cluster are covered by their compressed stream,
  // which inflates with its Adler-32; a long one without is not checked.
  std::sort(objects.begin(), objects.end());
  objects.push_back(end);
  bool covered = true;
  for (std::size_t i = 0; i + 1 < objects.size(); ++i) {
    const std::uint64_t start = objects[i], next = objects[i + 1];
    if (next - start <= b.ClusterSize()) continue;
    std::string head(1024, '\0');
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(head.size(), next - start));
    if (!b.Get(start, head.data(), n)) return;
    head.resize(n);
    const auto stream = head.find("stream");
    if (stream == std::string::npos || head.find("/FlateDecode") > stream) {
      covered = false;
      continue;
    }
    std::uint64_t data = start + stream + 6;
    if (b.Byte(data) == '\r') ++data;
    if (b.Byte(data) == '\n') ++data;
    const TInflated out = InflateAt(b, data, next - data, true);
    if (!out.Ok) return out.RanOut ? void() : b.Damaged(out.BadAt);
    // What follows the stream is the object's end.
    std::uint64_t p = out.End;
    while (p < next && IsSpace(b.Byte(p))) ++p;
    if (!b.Is(p, "endstream")) return b.Damaged(p);
    if (next - (p + 9) > b.ClusterSize()) covered = false;
  }
  if (covered) b.Verified();
}

}  // namespace vantrel
