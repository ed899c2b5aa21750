// Threads for work that divides. Every user (the entry pipeline, change detection's checksums,
// the driver's load of the replaced pack beside the scan) starts its threads here, so the
// fallback when the system has none left to give is written once: fewer threads start, and the
// calling thread does the rest, because every piece of work here can be done by the caller
// alone.
#pragma once

#include <functional>
#include <thread>
#include <vector>

namespace tarnix {

// Up to `count` threads running `body(index)`, index 1 to count in order, joined when the group
// goes or join() is called. Index 0 is left for the caller, which runs its share itself.
class ThreadGroup {
 public:
  ThreadGroup(unsigned count, const std::function<void(unsigned index)>& body);
  ~ThreadGroup() { join(); }
  ThreadGroup(const ThreadGroup&) = delete;
  ThreadGroup& operator=(const ThreadGroup&) = delete;

  // How many threads started: fewer than asked when the system refused one.
  unsigned started() const { return static_cast<unsigned>(threads_.size()); }
  void join();

 private:
  std::vector<std::thread> threads_;
};

}  // namespace tarnix
