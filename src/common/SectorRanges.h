#pragma once
// A set of sector numbers kept as sorted runs [first, end): a disk with a
// million bad sectors in one area costs one run, not a million entries.

#include <cstdint>
#include <iterator>
#include <map>

namespace vantrel {

class TSectorRanges {
 public:
  void Clear() { runs_.clear(); }
  bool Empty() const { return runs_.empty(); }
  // Runs kept: first sector → end (one past the last).
  const std::map<std::uint64_t, std::uint64_t>& Runs() const { return runs_; }

  void Add(std::uint64_t first, std::uint64_t count) {
    if (count == 0) return;
    std::uint64_t end = first + count;
    auto it = runs_.upper_bound(first);
    if (it != runs_.begin() && std::prev(it)->second >= first) {
      --it;
      first = it->first;
      if (it->second > end) end = it->second;
      it = runs_.erase(it);
    }
    while (it != runs_.end() && it->first <= end) {
      if (it->second > end) end = it->second;
      it = runs_.erase(it);
    }
    runs_[first] = end;
  }

  void Remove(std::uint64_t first, std::uint64_t count) {
    if (count == 0) return;
    const std::uint64_t end = first + count;
    auto it = runs_.upper_bound(first);
    if (it != runs_.begin()) --it;
    while (it != runs_.end() && it->first < end) {
      const std::uint64_t a = it->first, b = it->second;
      if (b <= first) {
        ++it;
        continue;
      }
      it = runs_.erase(it);
      if (a < first) runs_[a] = first;
      if (b > end) {
        runs_[end] = b;
        break;
      }
    }
  }

  bool Contains(std::uint64_t sector) const { return Intersects(sector, 1); }

  bool Intersects(std::uint64_t first, std::uint64_t count) const {
    if (count == 0) return false;
    auto it = runs_.upper_bound(first);
    if (it != runs_.begin() && std::prev(it)->second > first) return true;
    return it != runs_.end() && it->first < first + count;
  }

  // Sectors of the set among first .. first + count - 1.
  std::uint64_t CountIn(std::uint64_t first, std::uint64_t count) const {
    const std::uint64_t end = first + count;
    std::uint64_t n = 0;
    auto it = runs_.upper_bound(first);
    if (it != runs_.begin()) --it;
    for (; it != runs_.end() && it->first < end; ++it) {
      const std::uint64_t a = it->first > first ? it->first : first;
      const std::uint64_t b = it->second < end ? it->second : end;
      if (b > a) n += b - a;
    }
    return n;
  }

  std::uint64_t Size() const {
    std::uint64_t n = 0;
    for (const auto& [a, b] : runs_) n += b - a;
    return n;
  }

 private:
  std::map<std::uint64_t, std::uint64_t> runs_;
};

}  // namespace vantrel
