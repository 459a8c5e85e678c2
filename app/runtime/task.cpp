#include "app/runtime/task.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace app_runtime {
namespace {

// Workers are started on demand and kept: the app's peak of concurrent background work
// is small (a page read, a launch, a log handover), and a blocked task never waits for
// a free worker.
class Pool {
 public:
  ~Pool() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    workAdded_.notify_all();
    for (auto& t : workers_) t.join();
  }

  void Run(std::function<void()> work) {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(work));
    if (idle_ < static_cast<int>(queue_.size())) {
      workers_.emplace_back([this] { Work(); });
    } else {
      workAdded_.notify_one();
    }
  }

  PoolCounts Counts() {
    std::lock_guard lock(mutex_);
    return {static_cast<int>(workers_.size()), static_cast<int>(workers_.size()) - idle_};
  }

 private:
  void Work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      ++idle_;
      workAdded_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      --idle_;
      if (queue_.empty()) return;  // stopping with nothing left to do
      auto work = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      work();
      work = nullptr;  // what the work captured goes before the worker counts as idle
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable workAdded_;
  std::deque<std::function<void()>> queue_;
  std::vector<std::thread> workers_;
  int idle_ = 0;
  bool stopping_ = false;
};

Pool& ThePool() {
  static Pool pool;
  return pool;
}

}  // namespace

namespace detail {
void RunOnPool(std::function<void()> work) {
  ThePool().Run(std::move(work));
}
}  // namespace detail

PoolCounts ThreadPoolCounts() {
  return ThePool().Counts();
}

}  // namespace app_runtime
