#pragma once
// The checks of saved files run beside the copy: the saving thread hands each
// file's kept bytes to a small pool of workers and goes on with the next
// file; the results come back in the order the files were handed in.
//
// A worker sees only the kept bytes, the saved path and the size: it reads
// the rest of a large file back from the target folder, never the examined
// device. The bytes waiting for a worker are bounded; when they are full, the
// copy waits.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "analysis/FileSize.h"
#include "recovery/Saving.h"

namespace vantrel {

class TFATFile;

// One saved file on its way through the checks.
struct TSaveCheckJob {
  // Filled by the saving thread.
  TFATFile* File = nullptr;
  std::string Path;
  std::uint32_t ClusterSize = 0;
  std::uint64_t Written = 0;
  std::vector<std::uint8_t> Kept;  // the file's first bytes
  bool Check = false;              // compute the verdict of its format
  bool Hash = false;               // Kept holds the whole file: hash it here
  bool Truncated = false;
  std::vector<TByteRange> Lost;
  bool Record = false;  // Saved is the file's record for the report
  TSavedFile Saved;     // without its verdict (and without its hash when Hash)
  // Filled by the worker.
  TFileExtent Extent;
  std::string Sha256;
};

class TSaveChecks {
 public:
  // workers 0: one fewer than the machine's cores, at least one.
  explicit TSaveChecks(std::size_t inFlightLimit = std::size_t{64} << 20, unsigned workers = 0);
  ~TSaveChecks();
  TSaveChecks(const TSaveChecks&) = delete;
  TSaveChecks& operator=(const TSaveChecks&) = delete;

  // Queues a job. While the kept bytes already waiting and the job's own
  // would pass the limit, the calling thread checks waiting files itself
  // (or waits for the workers); a job larger than the limit alone waits for
  // an empty queue.
  void Submit(std::unique_ptr<TSaveCheckJob> job);
  // The oldest job not yet taken, when its checks are done (or, with wait,
  // once they are, the calling thread helping with them); null when none is.
  std::unique_ptr<TSaveCheckJob> TakeNext(bool wait);
  // Whether a job not yet taken names this saved path or this file.
  bool Holds(const std::string& path, const TFATFile* file) const;
  // An emptied buffer of a finished job with room for size bytes, for the
  // next file's bytes; an empty one when there is none.
  std::vector<std::uint8_t> SpareBuffer(std::size_t size);

  unsigned Workers() const { return static_cast<unsigned>(threads_.size()); }
  // The most kept bytes that were ever waiting at once (for the tests).
  std::size_t PeakInFlight() const;

 private:
  struct TSlot {
    std::unique_ptr<TSaveCheckJob> Job;
    bool Started = false, Done = false;
  };
  void Work();
  // Runs the oldest job nobody has started, with the lock held before and
  // after; false when there is none.
  bool RunOne(std::unique_lock<std::mutex>& lock);

  const std::size_t limit_;
  mutable std::mutex mutex_;
  std::condition_variable work_;  // a job queued, or the end
  std::condition_variable done_;  // a job done, or room in flight
  std::deque<TSlot> slots_;       // in the order handed in
  std::size_t inFlight_ = 0, peak_ = 0;
  std::vector<std::vector<std::uint8_t>> spares_;
  std::size_t spareBytes_ = 0;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace vantrel
