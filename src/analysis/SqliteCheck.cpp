#include "analysis/SqliteCheck.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "analysis/ClusterCoverage.h"
#include "analysis/FileBytes.h"

namespace vantrel {

namespace {

// Databases of more pages are sized, not checked: the page table stays small.
constexpr std::uint64_t kMaxPages = 1u << 20;
constexpr std::uint64_t kNone = ~0ull;

std::uint32_t Be16(const std::uint8_t* p) { return static_cast<std::uint32_t>(p[0] << 8 | p[1]); }
std::uint32_t Be32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

enum TEdgeKind : std::uint8_t { ekTableChild, ekIndexChild, ekOverflow, ekRoot };

struct TEdge {
  std::uint32_t page;
  std::uint32_t count;  // overflow pages of the chain
  TEdgeKind kind;
  // A table's child holds the keys up to key; the right-most one those
  // above the page's last.
  std::int64_t key = 0;
  bool rightMost = false;
};

enum TPageState : std::uint8_t { psFree = 0, psBtree, psOverflow, psTrunk, psLeaf, psPointerMap };

struct TPage {
  std::uint8_t type = 0;     // the b-tree page type its bytes parse as (2, 5, 10, 13); 0 when they do not
  std::uint8_t state = psFree;
  std::uint32_t next = 0;    // its first four bytes: the next page of an overflow chain
  std::uint32_t bad = 0;     // where in the page the parse failed
  std::uint64_t tested = 0;  // the pieces of the page (clusters, or the page) a check read
  std::uint32_t edges = 0;   // its first edge
  bool rootsUnknown = false;  // a row that may be the schema's has its root page beyond what the page holds
  bool keyed = false;         // a table page with cells: their first and last keys
  std::int64_t low = 0, high = 0;
};

class TSqliteCheck {
 public:
  TSqliteCheck(FileBytes& b, std::uint32_t pageSize, std::uint32_t usable, std::uint64_t pages)
      : b_(b), pageSize_(pageSize), usable_(usable), pages_(pages),
        piece_(std::min<std::uint32_t>(pageSize, b.ClusterSize())), table_(pages + 2) {}

  void Run(std::uint32_t firstTrunk, std::uint32_t freePages, bool autoVacuum) {
    std::vector<std::uint8_t> page(pageSize_);
    // Every page in the order of the file, each parsed for what its own
    // bytes say; which of them the structure reaches is known at the end.
    for (std::uint64_t p = 1; p <= pages_; ++p) {
      table_[p].edges = static_cast<std::uint32_t>(edges_.size());
      if (!b_.Get((p - 1) * pageSize_, page.data(), pageSize_)) return;
      table_[p].next = Be32(page.data());
      Parse(p, page.data());
      if (edges_.size() > 4 * pages_ + 64) return;  // no database claims this much
    }
    table_[pages_ + 1].edges = static_cast<std::uint32_t>(edges_.size());
    // Pages that belong to no tree: the pointer maps of an auto-vacuum
    // database and the page of the lock byte.
    if (autoVacuum)
      for (std::uint64_t p = 2; p <= pages_; p += usable_ / 5 + 1) table_[p] = TPage{0, psPointerMap, 0, 0, 0, table_[p].edges};
    const std::uint64_t lockPage = 0x40000000ull / pageSize_ + 1;
    if (lockPage <= pages_) table_[lockPage] = TPage{0, psPointerMap, 0, 0, 0, table_[lockPage].edges};
    Walk();
    Freelist(firstTrunk, freePages);
    if (!rootsKnown_) return Finish(false);
    for (std::uint64_t p = 1; p <= pages_; ++p)
      if (table_[p].state == psFree) Bad((p - 1) * pageSize_);  // a page that nothing claims
    Finish(true);
  }

 private:
  void Bad(std::uint64_t offset) { firstBad_ = std::min(firstBad_, offset); }
  std::uint64_t Offset(std::uint64_t p) const { return (p - 1) * pageSize_; }

  void Finish(bool complete) {
    if (firstBad_ != kNone) return b_.Damaged(firstBad_);
    if (!complete) return;
    TClusterCoverage coverage(b_.ClusterSize());
    coverage.CheckedRange(0, 100);
    const std::uint32_t pieces = pageSize_ / piece_;
    for (std::uint64_t p = 1; p <= pages_; ++p)
      for (std::uint32_t i = 0; i < pieces && i < 64; ++i)
        if (table_[p].tested >> i & 1) coverage.Checked(Offset(p) + std::uint64_t{i} * piece_);
    if (pieces <= 64 && coverage.Covers(pages_ * pageSize_)) b_.Verified();
  }

  // Marks [from, to) of the page being parsed as tested.
  void Tested(std::uint64_t& mask, std::uint32_t from, std::uint32_t to) {
    for (std::uint32_t i = from / piece_; i <= (to - 1) / piece_ && i < 64; ++i) mask |= 1ull << i;
  }

  // A varint at pos, not beyond end; false when it runs past end.
  static bool Varint(const std::uint8_t* page, std::uint32_t& pos, std::uint32_t end, std::uint64_t& v) {
    v = 0;
    for (int i = 0; i < 9; ++i) {
      if (pos >= end) return false;
      const std::uint8_t c = page[pos++];
      if (i == 8) {
        v = v << 8 | c;
        return true;
      }
      v = v << 7 | (c & 0x7F);
      if (!(c & 0x80)) return true;
    }
    return true;
  }

  // The bytes a record's value of serial type t takes; -1 for the reserved types.
  static std::int64_t ValueSize(std::uint64_t t) {
    static constexpr std::int64_t kFixed[12] = {0, 1, 2, 3, 4, 6, 8, 8, 0, 0, -1, -1};
    if (t < 12) return kFixed[t];
    return static_cast<std::int64_t>((t - 12) / 2);
  }

  // The record of a payload whose local part is [at, at + local): its header's
  // serial types add up to the payload. Schema records give their root page.
  bool Record(const std::uint8_t* page, std::uint32_t at, std::uint32_t local, std::uint64_t payload, bool schema,
              std::uint64_t& mask) {
    std::uint32_t pos = at;
    const std::uint32_t end = at + local;
    std::uint64_t headerSize = 0;
    if (!Varint(page, pos, end, headerSize)) {
      rootsUnknown_ = rootsUnknown_ || schema;
      return payload > local;  // a header beyond the local part cannot be read here
    }
    if (headerSize < pos - at || headerSize > payload) return false;
    if (headerSize > local) {
      rootsUnknown_ = rootsUnknown_ || schema;
      return true;
    }
    const std::uint32_t headerEnd = at + static_cast<std::uint32_t>(headerSize);
    std::uint64_t sum = headerSize;
    std::uint64_t types[5] = {};
    int columns = 0;
    while (pos < headerEnd) {
      std::uint64_t t = 0;
      if (!Varint(page, pos, headerEnd, t)) return false;
      const std::int64_t size = ValueSize(t);
      if (size < 0) return false;
      if (columns < 5) types[columns] = t;
      ++columns;
      sum += static_cast<std::uint64_t>(size);
      if (sum > payload) return false;
    }
    if (pos != headerEnd || sum != payload) return false;
    Tested(mask, at, headerEnd);
    // A schema row: type, name, table name, root page, SQL.
    if (schema && columns == 5 && types[0] >= 13 && (types[0] & 1)) {
      std::uint64_t value = headerSize;
      const std::uint64_t typeLength = (types[0] - 13) / 2;
      std::uint64_t rootAt = value + typeLength;
      for (int c = 1; c < 3; ++c) rootAt += static_cast<std::uint64_t>(ValueSize(types[c]));
      const std::int64_t rootSize = ValueSize(types[3]);
      if (types[3] > 6 && types[3] != 8 && types[3] != 9) return true;  // not an integer: no row of the schema
      if (rootAt + static_cast<std::uint64_t>(rootSize) > local) {
        rootsUnknown_ = true;
        return true;
      }
      std::uint64_t root = types[3] == 9 ? 1 : 0;
      for (std::int64_t i = 0; i < rootSize; ++i) root = root << 8 | page[at + rootAt + static_cast<std::uint64_t>(i)];
      if (root != 0) edges_.push_back({static_cast<std::uint32_t>(std::min<std::uint64_t>(root, 0xFFFFFFFFu)), 0, ekRoot});
    }
    return true;
  }

  // The page as a b-tree page; on failure type stays 0 and bad says where.
  void Parse(std::uint64_t p, const std::uint8_t* page) {
    TPage& info = table_[p];
    const std::uint32_t edgeStart = static_cast<std::uint32_t>(edges_.size());
    std::uint32_t bad = 0;
    rootsUnknown_ = false;
    const int type = ParseBtree(p, page, info.tested, bad);
    info.rootsUnknown = rootsUnknown_;
    if (type == 0) {
      edges_.resize(edgeStart);
      info.tested = 0;
      info.bad = bad;
    }
    info.type = static_cast<std::uint8_t>(type);
  }

  int ParseBtree(std::uint64_t p, const std::uint8_t* page, std::uint64_t& mask, std::uint32_t& bad) {
    const std::uint32_t hdr = p == 1 ? 100 : 0, U = usable_;
    bad = hdr;
    const int type = page[hdr];
    if (type != 2 && type != 5 && type != 10 && type != 13) return 0;
    const bool interior = type == 2 || type == 5, table = type == 5 || type == 13;
    const std::uint32_t headerSize = interior ? 12 : 8;
    const std::uint32_t firstFree = Be16(page + hdr + 1), cells = Be16(page + hdr + 3);
    std::uint32_t content = Be16(page + hdr + 5);
    if (content == 0) content = 65536;
    const std::uint32_t fragmented = page[hdr + 7];
    const std::uint64_t pointersEnd = std::uint64_t{hdr} + headerSize + 2ull * cells;
    if (pointersEnd > content || content > U) return 0;
    Tested(mask, hdr, static_cast<std::uint32_t>(pointersEnd));
    if (interior) edges_.push_back({Be32(page + hdr + 8), 0, table ? ekTableChild : ekIndexChild, 0, true});
    // Where a payload's local part ends, by the b-tree's kind.
    const std::uint64_t maxLocal = table && !interior ? U - 35 : (U - 12) * 64 / 255 - 23;
    const std::uint64_t minLocal = (U - 12) * 32 / 255 - 23;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> used;
    used.reserve(cells);
    // The row ids of a table's cells ascend in the order of their pointers.
    bool firstKey = true;
    std::int64_t lastKey = 0;
    TPage& self = table_[p];
    auto ascending = [&](std::uint64_t key) {
      const bool ok = firstKey || static_cast<std::int64_t>(key) > lastKey;
      if (firstKey) self.low = static_cast<std::int64_t>(key);
      firstKey = false;
      lastKey = self.high = static_cast<std::int64_t>(key);
      self.keyed = true;
      return ok;
    };
    for (std::uint32_t i = 0; i < cells; ++i) {
      const std::uint32_t at = hdr + headerSize + 2 * i;
      const std::uint32_t cell = Be16(page + at);
      bad = at;
      if (cell < content || cell >= U) return 0;
      bad = cell;
      std::uint32_t pos = cell;
      if (interior) {
        if (cell + 4 > U) return 0;
        edges_.push_back({Be32(page + cell), 0, table ? ekTableChild : ekIndexChild});
        pos += 4;
      }
      std::uint64_t v = 0;
      if (type == 5) {
        if (!Varint(page, pos, U, v) || !ascending(v)) return 0;  // the key
        edges_.back().key = static_cast<std::int64_t>(v);
        used.push_back({cell, pos});
        Tested(mask, cell, pos);
        continue;
      }
      std::uint64_t payload = 0;
      if (!Varint(page, pos, U, payload)) return 0;
      if (type == 13 && (!Varint(page, pos, U, v) || !ascending(v))) return 0;  // the row id
      std::uint64_t local = payload;
      if (payload > maxLocal) {
        const std::uint64_t k = minLocal + (payload - minLocal) % (U - 4);
        local = k <= maxLocal ? k : minLocal;
      }
      std::uint64_t end = pos + local + (local < payload ? 4 : 0);
      if (end - cell < 4) end = cell + 4;
      if (end > U) return 0;
      Tested(mask, cell, pos);
      // Which table leaves hold the schema is known at the end: any may.
      if (!Record(page, pos, static_cast<std::uint32_t>(local), payload, type == 13, mask)) return 0;
      if (local < payload) {
        const std::uint32_t first = Be32(page + pos + local);
        const std::uint64_t count = (payload - local + U - 5) / (U - 4);
        edges_.push_back({first, static_cast<std::uint32_t>(std::min<std::uint64_t>(count, 0xFFFFFFFFu)), ekOverflow});
        Tested(mask, static_cast<std::uint32_t>(pos + local), static_cast<std::uint32_t>(pos + local + 4));
      }
      used.push_back({cell, static_cast<std::uint32_t>(end)});
    }
    // The chain of free blocks, in order of their offsets.
    for (std::uint32_t block = firstFree, n = 0; block != 0; ++n) {
      bad = block;
      if (n > U / 4 || block < content || block + 4 > U) return 0;
      const std::uint32_t next = Be16(page + block), size = Be16(page + block + 2);
      if (size < 4 || block + size > U || (next != 0 && next < block + size)) return 0;
      Tested(mask, block, block + 4);
      used.push_back({block, block + size});
      block = next;
    }
    // The content area is cells, free blocks and the fragments the header counts.
    std::sort(used.begin(), used.end());
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < used.size(); ++i) {
      if (i > 0 && used[i].first < used[i - 1].second) {
        bad = used[i].first;
        return 0;
      }
      total += used[i].second - used[i].first;
    }
    if (total + fragmented != U - content) {
      bad = content < U ? content : hdr;
      return 0;
    }
    return type;
  }

  // The trees from page 1, each page reached once and of its tree's kind.
  void Walk() {
    struct TStep {
      std::uint64_t page, from;
      TEdgeKind kind;
      bool schema;
      // The keys a table page may hold: above low, up to high.
      bool hasLow = false, hasHigh = false;
      std::int64_t low = 0, high = 0;
    };
    std::vector<TStep> stack{{1, 1, ekTableChild, true}};
    while (!stack.empty()) {
      const TStep s = stack.back();
      stack.pop_back();
      if (s.page == 0 || s.page > pages_) {
        Bad(Offset(s.from));
        continue;
      }
      TPage& info = table_[s.page];
      const bool tableKind = info.type == 5 || info.type == 13;
      if (info.state != psFree || info.type == 0 || (s.kind == ekTableChild && !tableKind) ||
          (s.kind == ekIndexChild && tableKind)) {
        Bad(Offset(s.page) + (info.state == psFree && info.type == 0 ? info.bad : 0));
        continue;
      }
      info.state = psBtree;
      if (s.schema && info.rootsUnknown) rootsKnown_ = false;
      // A table page's keys lie between those of its parent's cells.
      if (tableKind && info.keyed && ((s.hasLow && info.low <= s.low) || (s.hasHigh && info.high > s.high)))
        Bad(Offset(s.page));
      bool hasLow = s.hasLow;
      std::int64_t low = s.low;
      for (std::uint32_t e = info.edges; e < table_[s.page + 1].edges; ++e) {
        const TEdge& edge = edges_[e];
        if (edge.kind == ekOverflow) Overflow(s.page, edge.page, edge.count);
        else if (edge.kind == ekRoot) {
          if (s.schema && info.type == 13) stack.push_back({edge.page, s.page, ekRoot, false});
        } else if (edge.kind == ekTableChild && edge.rightMost) {
          stack.push_back({edge.page, s.page, edge.kind, s.schema, info.keyed || s.hasLow,
                           s.hasHigh, info.keyed ? info.high : s.low, s.high});
        } else if (edge.kind == ekTableChild) {
          stack.push_back({edge.page, s.page, edge.kind, s.schema, hasLow, true, low, edge.key});
          hasLow = true;
          low = edge.key;
        } else {
          stack.push_back({edge.page, s.page, edge.kind, s.schema});
        }
      }
    }
  }

  // An overflow chain of count pages from first, its last page's next 0.
  void Overflow(std::uint64_t from, std::uint64_t page, std::uint64_t count) {
    for (std::uint64_t i = 0; i < count; ++i) {
      if (page == 0 || page > pages_ || table_[page].state != psFree) return Bad(Offset(from));
      TPage& info = table_[page];
      info.state = psOverflow;
      info.tested = 1;
      from = page;
      page = info.next;
    }
    if (page != 0) Bad(Offset(from));
  }

  // The trunk pages from the header's first, each listing its leaves; as many
  // pages in all as the header counts. Trunks are read again where they lie.
  void Freelist(std::uint64_t trunk, std::uint64_t count) {
    std::uint64_t seen = 0, from = 1;
    std::vector<std::uint8_t> head(8);
    while (trunk != 0) {
      if (trunk > pages_ || table_[trunk].state != psFree || seen >= count) return Bad(Offset(from));
      TPage& info = table_[trunk];
      info.state = psTrunk;
      ++seen;
      if (!b_.Get(Offset(trunk), head.data(), head.size())) return;
      const std::uint32_t leaves = Be32(head.data() + 4);
      if (leaves > usable_ / 4 - 2 || seen + leaves > count) return Bad(Offset(trunk) + 4);
      std::vector<std::uint8_t> list(4ull * leaves);
      if (!list.empty() && !b_.Get(Offset(trunk) + 8, list.data(), list.size())) return;
      info.tested = 0;
      Tested(info.tested, 0, 8 + 4 * leaves);
      for (std::uint32_t i = 0; i < leaves; ++i) {
        const std::uint32_t leaf = Be32(list.data() + 4 * i);
        if (leaf == 0 || leaf > pages_ || table_[leaf].state != psFree) return Bad(Offset(trunk) + 8 + 4 * i);
        table_[leaf].state = psLeaf;
        table_[leaf].tested = 0;  // what a free page holds is not checked
      }
      seen += leaves;
      from = trunk;
      trunk = Be32(head.data());
    }
    if (seen != count) Bad(Offset(from));
  }

  FileBytes& b_;
  std::uint32_t pageSize_, usable_;
  std::uint64_t pages_;
  std::uint32_t piece_;
  std::vector<TPage> table_;
  std::vector<TEdge> edges_;
  std::uint64_t firstBad_ = kNone;
  // Whether every schema row's root page could be read: without, a page
  // nothing seems to claim may belong to a tree not followed.
  bool rootsKnown_ = true;
  bool rootsUnknown_ = false;  // of the page being parsed
};

}  // namespace

void CheckSqlite(FileBytes& b, std::uint64_t size) {
  std::uint8_t header[100];
  if (!b.Get(0, header, sizeof header)) return;
  std::uint32_t pageSize = Be16(header + 16);
  if (pageSize == 1) pageSize = 65536;
  const std::uint64_t pages = Be32(header + 28);
  if (pageSize < 512 || pages == 0 || pages * pageSize != size) return;
  // Versions, payload fractions, schema format and text encoding.
  if (header[18] < 1 || header[18] > 2 || header[19] < 1 || header[19] > 2) return b.Damaged(18);
  if (header[21] != 64 || header[22] != 32 || header[23] != 32) return b.Damaged(21);
  if (Be32(header + 44) > 4) return b.Damaged(44);
  if (Be32(header + 56) > 3) return b.Damaged(56);
  if (std::any_of(header + 72, header + 92, [](std::uint8_t c) { return c != 0; })) return b.Damaged(72);
  const std::uint32_t usable = pageSize - header[20];
  const std::uint32_t firstTrunk = Be32(header + 32), freePages = Be32(header + 36);
  if (usable < 480 || freePages >= pages || firstTrunk > pages || (firstTrunk == 0) != (freePages == 0))
    return b.Damaged(20);
  if (pages > kMaxPages) return;
  TSqliteCheck check(b, pageSize, usable, pages);
  check.Run(firstTrunk, freePages, Be32(header + 52) != 0);
}

}  // namespace vantrel
