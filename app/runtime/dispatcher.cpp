#include "app/runtime/dispatcher.h"

#include <QCoreApplication>

namespace app_runtime {

CoreDispatcher& CoreDispatcher::ForUiThread() {
  static CoreDispatcher* dispatcher = [] {
    auto* d = new CoreDispatcher();
    // Lives with the application object, on its thread.
    if (auto* app = QCoreApplication::instance()) d->setParent(app);
    return d;
  }();
  return *dispatcher;
}

CoreDispatcher::CoreDispatcher() : owner_(std::this_thread::get_id()) {}

task<void> CoreDispatcher::RunAsync(std::function<void()> work) {
  task_completion_event<void> done;
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    queue_.push_back({std::move(work), done});
    wake = !wakeQueued_;
    wakeQueued_ = true;
  }
  // One queued call drains everything queued until it runs; the items themselves go
  // through our own queue, so their order and their hand-over are ours to keep.
  if (wake) QMetaObject::invokeMethod(this, &CoreDispatcher::Drain, Qt::QueuedConnection);
  return task<void>(done);
}

void CoreDispatcher::Drain() {
  std::deque<Item> items;
  {
    std::lock_guard lock(mutex_);
    items.swap(queue_);
    wakeQueued_ = false;
  }
  for (auto& item : items) {
    try {
      item.work();
      item.done.set();
    } catch (...) {
      item.done.set_exception(std::current_exception());
    }
  }
}

}  // namespace app_runtime
