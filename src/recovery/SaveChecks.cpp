#include "recovery/SaveChecks.h"

#include <algorithm>

#include "common/Sha256.h"
#include "recovery/SavedFileCheck.h"

namespace vantrel {

namespace {

// Emptied buffers kept for the next files: a few, and not the largest ones,
// so that a save of a few big files does not hold their memory to the end.
constexpr std::size_t kSpareCount = 16;
constexpr std::size_t kSpareBytes = std::size_t{64} << 20;

unsigned WorkerCount(unsigned asked) {
  if (asked > 0) return asked;
  // The saving thread copies on one core; the checks take the others.
  const unsigned cores = std::thread::hardware_concurrency();
  return std::clamp(cores > 1 ? cores - 1 : 1u, 1u, 8u);
}

void RunJob(TSaveCheckJob& job) {
  try {
    if (job.Check)
      job.Extent = CheckSavedFile(job.Path, job.ClusterSize, job.Written, job.Kept.data(), job.Kept.size());
    if (job.Hash) {
      TSha256 digest;
      const std::size_t size = std::min<std::size_t>(job.Kept.size(), job.Written);
      if (size > 0) digest.Update(job.Kept.data(), size);  // an empty file keeps no buffer at all
      job.Sha256 = digest.HexDigest();
    }
  } catch (...) {
    // No memory for the checks: the file keeps no verdict, as a type
    // without checks would.
    job.Extent = TFileExtent{};
  }
}

}  // namespace

TSaveChecks::TSaveChecks(std::size_t inFlightLimit, unsigned workers) : limit_(inFlightLimit) {
  const unsigned count = WorkerCount(workers);
  threads_.reserve(count);
  for (unsigned i = 0; i < count; ++i) threads_.emplace_back([this] { Work(); });
}

TSaveChecks::~TSaveChecks() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  work_.notify_all();
  for (auto& thread : threads_) thread.join();
}

void TSaveChecks::Submit(std::unique_ptr<TSaveCheckJob> job) {
  const std::size_t bytes = job->Kept.capacity();
  {
    std::unique_lock<std::mutex> lock(mutex_);
    // Rather than wait for room, the saving thread checks a file itself.
    while (inFlight_ != 0 && inFlight_ + bytes > limit_)
      if (!RunOne(lock)) done_.wait(lock);
    inFlight_ += bytes;
    peak_ = std::max(peak_, inFlight_);
    slots_.push_back({std::move(job), false, false});
  }
  work_.notify_one();
}

std::unique_ptr<TSaveCheckJob> TSaveChecks::TakeNext(bool wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (wait)
    while (!slots_.empty() && !slots_.front().Done)
      if (!RunOne(lock)) done_.wait(lock);
  if (slots_.empty() || !slots_.front().Done) return nullptr;
  std::unique_ptr<TSaveCheckJob> job = std::move(slots_.front().Job);
  slots_.pop_front();
  return job;
}

bool TSaveChecks::Holds(const std::string& path, const TFATFile* file) const {
  std::lock_guard<std::mutex> lock(mutex_);
  // The saving thread alone changes a job's path and file, and only before
  // handing it in: reading them here is safe while a worker checks it.
  for (const TSlot& slot : slots_)
    if (slot.Job->File == file || slot.Job->Path == path) return true;
  return false;
}

std::vector<std::uint8_t> TSaveChecks::SpareBuffer(std::size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  // The smallest that holds size, and not far larger (a buffer counts with
  // all its room among the bytes in flight): fresh memory costs a fault on
  // every page.
  auto best = spares_.end();
  for (auto it = spares_.begin(); it != spares_.end(); ++it)
    if (it->capacity() >= size && it->capacity() / 4 <= size &&
        (best == spares_.end() || it->capacity() < best->capacity()))
      best = it;
  if (best == spares_.end()) return {};
  std::vector<std::uint8_t> buffer = std::move(*best);
  spares_.erase(best);
  spareBytes_ -= buffer.capacity();
  return buffer;
}

std::size_t TSaveChecks::PeakInFlight() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return peak_;
}

void TSaveChecks::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    work_.wait(lock, [&] {
      return stop_ || std::any_of(slots_.begin(), slots_.end(), [](const TSlot& s) { return !s.Started; });
    });
    if (stop_) return;
    RunOne(lock);
  }
}

bool TSaveChecks::RunOne(std::unique_lock<std::mutex>& lock) {
  const auto next = std::find_if(slots_.begin(), slots_.end(), [](const TSlot& s) { return !s.Started; });
  if (next == slots_.end()) return false;
  next->Started = true;
  TSaveCheckJob* job = next->Job.get();
  lock.unlock();
  RunJob(*job);
  // The kept bytes are no longer needed: their memory goes back.
  std::vector<std::uint8_t> kept = std::move(job->Kept);
  job->Kept = {};
  const std::size_t bytes = kept.capacity();
  lock.lock();
  inFlight_ -= bytes;
  // The newest buffers are kept, the oldest given up for them.
  while (bytes > 0 && bytes <= kSpareBytes && !spares_.empty() &&
         (spares_.size() >= kSpareCount || spareBytes_ + bytes > kSpareBytes)) {
    spareBytes_ -= spares_.front().capacity();
    spares_.erase(spares_.begin());
  }
  if (bytes > 0 && spares_.size() < kSpareCount && spareBytes_ + bytes <= kSpareBytes) {
    kept.clear();
    spareBytes_ += bytes;
    spares_.push_back(std::move(kept));
  }
  // The slot may have moved in the deque since: find it again by its job.
  for (TSlot& slot : slots_)
    if (slot.Job.get() == job) slot.Done = true;
  done_.notify_all();
  return true;
}

}  // namespace vantrel
