// The UI thread's dispatcher: work queued from any thread runs on the thread that made
// the dispatcher (the UI thread), in order, from its event loop.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include <QObject>

#include "app/runtime/task.h"

namespace app_runtime {

class CoreDispatcher : public QObject {
  Q_OBJECT

 public:
  // The dispatcher of the thread that first asks for it (the UI thread).
  static CoreDispatcher& ForUiThread();

  CoreDispatcher();

  bool HasThreadAccess() const { return std::this_thread::get_id() == owner_; }
  // Queues `work` to the UI thread; the task finishes when it has run (with its
  // exception, if it raised one).
  task<void> RunAsync(std::function<void()> work);

 private:
  struct Item {
    std::function<void()> work;
    task_completion_event<void> done;
  };
  void Drain();

  std::thread::id owner_;
  std::mutex mutex_;
  std::deque<Item> queue_;
  bool wakeQueued_ = false;
};

}  // namespace app_runtime
