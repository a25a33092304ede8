#include "analysis/SliceQueue.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace vantrel {
namespace {

// Worker threads shared by every slice queue, one a core, started when the
// first slice comes; on a machine of one core there are none.
class TWorkers {
 public:
  static TWorkers& Shared() {
    static TWorkers workers;
    return workers;
  }
  bool Any() const { return !threads_.empty(); }
  void Post(std::function<void()> task) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
  }
  ~TWorkers() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) t.join();
  }

 private:
  TWorkers() {
    const unsigned cores = std::thread::hardware_concurrency();
    if (cores > 1)
      for (unsigned i = 0; i < cores; ++i) threads_.emplace_back([this] { Work(); });
  }
  void Work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stop_ || !tasks_.empty(); });
      if (stop_) return;
      std::function<void()> task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
      lock.lock();
    }
  }
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

std::atomic<int> gParallel{-1};  // -1: not yet decided
std::atomic<std::size_t> gLimit{TSliceQueue::kDefaultLimit};

bool Parallel() {
  int p = gParallel.load();
  if (p < 0) {
    const char* serial = std::getenv("VANTREL_SERIAL_SLICES");
    p = serial && *serial && *serial != '0' ? 0 : 1;
    gParallel.store(p);
  }
  return p == 1 && TWorkers::Shared().Any();
}

}  // namespace

struct TSliceQueue::TState {
  std::mutex mutex;
  std::condition_variable done;
  std::atomic<bool> damaged{false};  // a slice parsed so far is
};

struct TSliceQueue::TEntry {
  std::unique_ptr<TAvcSliceJob> Job;  // null once the result is known
  std::size_t Bytes = 0;
  // 0 waiting, 1 being parsed, 2 done: whoever moves it from 0 parses it.
  std::atomic<int> Stage{0};
  TDone Done;
  // Parses the slice unless somebody else has; true when this call did.
  bool Claim(TState& state) {
    int expected = 0;
    if (!Stage.compare_exchange_strong(expected, 1)) return false;
    TAvcSliceCheck::Run(*Job);
    Done.Result = Job->Result;
    Done.BadAt = Job->BadAt;
    Job.reset();
    if (Done.Result == TAvcResult::Damaged) state.damaged.store(true);
    {
      std::lock_guard<std::mutex> lock(state.mutex);
      Stage.store(2);
    }
    state.done.notify_all();
    return true;
  }
};

void TSliceQueue::SetParallel(bool on, std::size_t limit) {
  gParallel.store(on ? 1 : 0);
  gLimit.store(limit);
}

TSliceQueue::TSliceQueue(std::size_t limit)
    : limit_(limit != 0 ? limit : gLimit.load()), state_(std::make_shared<TState>()) {}

TSliceQueue::~TSliceQueue() { Drop(); }

void TSliceQueue::Drop() {
  // Those nobody has started are never parsed, and their bytes go now
  // rather than when a worker comes to them; a worker parsing one holds
  // what it needs and finishes on its own.
  for (auto& e : entries_) {
    int expected = 0;
    if (e->Stage.compare_exchange_strong(expected, 2)) e->Job.reset();
  }
  entries_.clear();
  waiting_ = 0;
  settled_ = 0;
}

void TSliceQueue::Complete(TEntry& e) {
  if (e.Claim(*state_)) return;
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->done.wait(lock, [&] { return e.Stage.load() == 2; });
}

bool TSliceQueue::Add(TAvcSliceCheck& avc, FileBytes& b, std::uint64_t offset, std::uint64_t size,
                      std::uint64_t from, std::uint64_t to) {
  auto e = std::make_shared<TEntry>();
  e->Done.From = from;
  e->Done.To = to;
  e->Job = avc.Take(b, offset, size, e->Done.Result, e->Done.BadAt);
  entries_.push_back(e);
  if (!e->Job) {
    e->Stage.store(2);
    if (e->Done.Result == TAvcResult::Damaged) state_->damaged.store(true);
    return !state_->damaged.load();
  }
  if (!Parallel()) {
    e->Claim(*state_);
    return !state_->damaged.load();
  }
  e->Bytes = e->Job->Rbsp.size();
  waiting_ += e->Bytes;
  TWorkers::Shared().Post([e, state = state_] { e->Claim(*state); });
  // Too many bytes waiting: the oldest ones are parsed here or waited for.
  while (waiting_ > limit_ && settled_ < entries_.size()) {
    TEntry& oldest = *entries_[settled_++];
    Complete(oldest);
    waiting_ -= oldest.Bytes;
  }
  return !state_->damaged.load();
}

bool TSliceQueue::NextReady(TDone& done) {
  if (entries_.empty() || entries_.front()->Stage.load() != 2) return false;
  const TEntry& e = *entries_.front();
  if (e.Done.Result == TAvcResult::Damaged) return false;
  done = e.Done;
  if (settled_ > 0) --settled_;
  else waiting_ -= e.Bytes;
  entries_.pop_front();
  return true;
}

std::vector<TSliceQueue::TDone> TSliceQueue::Finish() {
  std::vector<TDone> done;
  done.reserve(entries_.size());
  for (auto& e : entries_) {
    Complete(*e);
    done.push_back(e->Done);
    if (e->Done.Result == TAvcResult::Damaged) break;
  }
  // What comes after a damaged slice is not looked at.
  Drop();
  state_ = std::make_shared<TState>();
  return done;
}

}  // namespace vantrel
