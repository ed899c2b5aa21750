#include "base/thread_group.h"

#include <system_error>

namespace tarnix {

ThreadGroup::ThreadGroup(unsigned count, const std::function<void(unsigned index)>& body) {
  threads_.reserve(count);
  for (unsigned i = 1; i <= count; ++i) {
    try {
      threads_.emplace_back(body, i);
    } catch (const std::system_error&) {
      break;  // no more threads to be had: the ones there are, and the caller, do the work
    }
  }
}

void ThreadGroup::join() {
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

}  // namespace tarnix
