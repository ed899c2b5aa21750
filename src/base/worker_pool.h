// A pool of threads for items that finish in any order but are taken back in the caller's
// order: the entry pipeline's chunks.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

#include "base/thread_group.h"

namespace tarnix {

// Works through items on `threads - 1` helpers and on the caller while it waits. Items finish in
// any order; the caller takes them back in its own order with waitFor, and works on queued ones
// itself meanwhile, so that `threads` threads in all do the work and none sits idle.
//
// Each thread has its own `State` (a codec, say), made on that thread. `process` must not throw.
// An Item has a `bool ready`, which only the pool touches, under its mutex: submit() clears it,
// the thread that processed the item sets it, and waitFor() returns once it is set, after which
// the caller owns the item again. submit, markReady and waitFor belong to one thread, the one
// that made the pool; destroying the pool drops queued items and joins the helpers, so items
// must outlive it.
template <class Item, class State>
class WorkerPool {
 public:
  using Process = std::function<void(State& state, Item* item)>;

  WorkerPool(unsigned threads, Process process)
      : process_(std::move(process)),
        helpers_(threads > 1 ? threads - 1 : 0, [this](unsigned) { run(); }) {}
  ~WorkerPool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      queue_.clear();
    }
    workCv_.notify_all();
    helpers_.join();  // before the members the helpers use go
  }

  void submit(Item* item) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      item->ready = false;
      queue_.push_back(item);
    }
    if (helpers_.started() > 0) workCv_.notify_one();
  }

  // An item that needs no work, handed back in turn like the others.
  void markReady(Item* item) {
    std::lock_guard<std::mutex> lock(mutex_);
    item->ready = true;
  }

  void waitFor(Item* item) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!item->ready) {
      if (!queue_.empty()) {
        processNext(callerState_, lock);
        continue;
      }
      callerWaiting_ = true;
      doneCv_.wait(lock);
      callerWaiting_ = false;
    }
  }

 private:
  void run() {
    State state;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      workCv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      processNext(state, lock);
      // Waking the caller costs a context switch; only do it when it is waiting.
      if (callerWaiting_) doneCv_.notify_one();
    }
  }

  // Takes the first queued item and processes it with the lock released; `lock` holds the
  // pool's mutex on entry and on return.
  void processNext(State& state, std::unique_lock<std::mutex>& lock) {
    Item* item = queue_.front();
    queue_.pop_front();
    lock.unlock();
    process_(state, item);
    lock.lock();
    item->ready = true;
  }

  // Declared before the helpers, which use them from the moment they start.
  const Process process_;
  State callerState_;
  std::mutex mutex_;
  std::condition_variable workCv_;
  std::condition_variable doneCv_;
  std::deque<Item*> queue_;
  bool stopping_ = false;
  bool callerWaiting_ = false;
  ThreadGroup helpers_;
};

}  // namespace tarnix
