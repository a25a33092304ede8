#pragma once
// H.264 slices parsed beside the reading of their file: the reading thread
// takes each slice's bytes out and goes on with the file while workers
// shared by all checks parse them; the results come back in the order the
// slices were added, so that the first damaged one is the one a check of
// one slice after the other would find first. A slice's parse depends on
// nothing but its bytes and the parameter sets it was taken with.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "analysis/AvcSliceCheck.h"

namespace vantrel {

class TSliceQueue {
 public:
  // At most limit bytes of slices wait (by default 16 MiB, or what
  // SetParallel gave); past it Add parses or waits.
  explicit TSliceQueue(std::size_t limit = 0);
  ~TSliceQueue();
  TSliceQueue(const TSliceQueue&) = delete;
  TSliceQueue& operator=(const TSliceQueue&) = delete;

  // Takes the slice NAL unit of size bytes at offset out of b with avc's
  // parameter sets; [from, to) is what it vouches for when it is whole.
  // false once a slice added is known to be damaged: Finish tells which.
  bool Add(TAvcSliceCheck& avc, FileBytes& b, std::uint64_t offset, std::uint64_t size, std::uint64_t from,
           std::uint64_t to);
  bool Empty() const { return entries_.empty(); }

  struct TDone {
    TAvcResult Result = TAvcResult::Unchecked;
    std::uint64_t BadAt = 0, From = 0, To = 0;
  };
  // The oldest slice not yet given, when it is parsed and not damaged:
  // without waiting, so that a long movie's results need not pile up.
  bool NextReady(TDone& done);
  // The slices added since the last time, parsed, in the order they were
  // added, up to the first damaged one; those after it are dropped.
  std::vector<TDone> Finish();

  // Off: every slice is parsed in Add, on the calling thread (for the tests
  // and VANTREL_SERIAL_SLICES=1); on by default where there are several
  // cores. limit: the default bytes waiting of queues made after.
  static void SetParallel(bool on, std::size_t limit = kDefaultLimit);
  static constexpr std::size_t kDefaultLimit = std::size_t{16} << 20;

 private:
  struct TState;
  struct TEntry;
  void Complete(TEntry& e);
  // Forgets every entry.
  void Drop();

  std::size_t limit_;
  std::size_t waiting_ = 0;  // bytes of the entries not yet known to be done
  std::size_t settled_ = 0;  // entries before this one are known to be done
  std::shared_ptr<TState> state_;
  std::deque<std::shared_ptr<TEntry>> entries_;
};

}  // namespace vantrel
