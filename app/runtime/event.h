// An event with any number of handlers: Add returns a token that Remove takes back.
// Handlers run on the thread that raises the event, in the order they were added; a
// handler may remove itself (or another) while the event is raised.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace app_runtime {

struct event_token {
  std::int64_t value = 0;
  explicit operator bool() const { return value != 0; }
};

template <class... Args>
class Event {
 public:
  using Handler = std::function<void(Args...)>;

  event_token Add(Handler handler) {
    std::lock_guard lock(mutex_);
    handlers_.emplace_back(++last_, std::move(handler));
    return event_token{last_};
  }
  void Remove(event_token token) {
    std::lock_guard lock(mutex_);
    std::erase_if(handlers_, [&](const auto& h) { return h.first == token.value; });
  }
  bool Empty() const {
    std::lock_guard lock(mutex_);
    return handlers_.empty();
  }
  // Raises the event to a snapshot of the handlers taken when it starts.
  void operator()(Args... args) const {
    std::vector<std::pair<std::int64_t, Handler>> snapshot;
    {
      std::lock_guard lock(mutex_);
      snapshot = handlers_;
    }
    for (const auto& h : snapshot) h.second(args...);
  }

 private:
  mutable std::mutex mutex_;
  std::int64_t last_ = 0;
  std::vector<std::pair<std::int64_t, Handler>> handlers_;
};

}  // namespace app_runtime
