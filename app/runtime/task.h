// Background tasks with continuations, the shape the app's data layer is written in:
//
//   auto chain = create_task([] { ...step A... }).then([] { ...step B... });
//   chain.get();   // blocks until B has run; an exception of A or B is raised here
//
// Tasks run on the runtime's pool, which starts a new worker whenever a task finds
// none idle: a task that blocks on another task (as the view model's reads do when a
// page runs them in the background) never starves it. A continuation runs on the pool
// once its antecedent has finished. A value-based continuation (taking the antecedent's
// value, or nothing for task<void>) is skipped when the antecedent failed or was
// cancelled, and the failure passes on to it; a task-based continuation (taking the
// antecedent task itself) always runs.
#pragma once

#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "app/runtime/errors.h"

namespace app_runtime {

namespace detail {

// Queues `work` on the pool.
void RunOnPool(std::function<void()> work);

template <class T>
using Stored = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

template <class T>
struct TaskState {
  std::mutex mutex;
  std::condition_variable doneChanged;
  bool done = false;
  bool finishing = false;  // a task_completion_event is finishing it
  bool canceled = false;
  std::optional<Stored<T>> value;
  std::exception_ptr error;
  std::vector<std::function<void()>> continuations;

  void Finish(std::optional<Stored<T>> result, std::exception_ptr failure, bool wasCanceled) {
    std::vector<std::function<void()>> next;
    {
      std::lock_guard lock(mutex);
      value = std::move(result);
      error = failure;
      canceled = wasCanceled;
      done = true;
      next.swap(continuations);
    }
    doneChanged.notify_all();
    for (auto& c : next) RunOnPool(std::move(c));
  }
  // Runs `body` and finishes the state with what it returned or raised.
  template <class F>
  void RunAndFinish(F& body) {
    try {
      if constexpr (std::is_void_v<T>) {
        body();
        Finish(std::monostate{}, nullptr, false);
      } else {
        Finish(body(), nullptr, false);
      }
    } catch (const task_canceled&) {
      Finish(std::nullopt, nullptr, true);
    } catch (...) {
      Finish(std::nullopt, std::current_exception(), false);
    }
  }
  void Wait() {
    std::unique_lock lock(mutex);
    doneChanged.wait(lock, [&] { return done; });
  }
  // Runs `c` on the pool once the task is done (at once when it already is).
  void OnDone(std::function<void()> c) {
    {
      std::lock_guard lock(mutex);
      if (!done) {
        continuations.push_back(std::move(c));
        return;
      }
    }
    RunOnPool(std::move(c));
  }
};

}  // namespace detail

template <class T>
class task;

// A task that finishes when someone sets it: the bridge from work that ends outside the
// pool (on the UI thread, in a callback) to the task world.
template <class T>
class task_completion_event {
 public:
  task_completion_event() : state_(std::make_shared<detail::TaskState<T>>()) {}
  // Each finishes the task once; later calls do nothing and return false.
  template <class U = T>
  bool set(U value) const requires(!std::is_void_v<T>) {
    return Finish(std::optional<detail::Stored<T>>(std::move(value)), nullptr);
  }
  bool set() const requires std::is_void_v<T> { return Finish(std::monostate{}, nullptr); }
  bool set_exception(std::exception_ptr error) const { return Finish(std::nullopt, error); }

 private:
  friend class task<T>;
  bool Finish(std::optional<detail::Stored<T>> value, std::exception_ptr error) const {
    {
      std::lock_guard lock(state_->mutex);
      if (state_->done || state_->finishing) return false;
      state_->finishing = true;
    }
    state_->Finish(std::move(value), error, false);
    return true;
  }
  std::shared_ptr<detail::TaskState<T>> state_;
};

template <class F>
auto create_task(F body) -> task<std::invoke_result_t<F>>;

template <class T>
class task {
 public:
  using result_type = T;

  task() = default;
  // The task that finishes when `event` is set.
  explicit task(const task_completion_event<T>& event) : state_(event.state_) {}

  // Waits for the task; returns its value, or raises its exception (task_canceled when
  // it was cancelled).
  T get() const {
    Valid();
    state_->Wait();
    if (state_->canceled) throw task_canceled();
    if (state_->error) std::rethrow_exception(state_->error);
    if constexpr (!std::is_void_v<T>) return *state_->value;
  }
  // Waits for the task to finish, whatever its outcome.
  void wait() const {
    Valid();
    state_->Wait();
  }
  bool is_done() const {
    Valid();
    std::lock_guard lock(state_->mutex);
    return state_->done;
  }

  template <class F>
  auto then(F continuation) const {
    Valid();
    if constexpr (std::is_invocable_v<F, task<T>>) {
      using R = std::invoke_result_t<F, task<T>>;
      auto next = std::make_shared<detail::TaskState<R>>();
      state_->OnDone([self = *this, next, continuation = std::move(continuation)]() mutable {
        auto body = [&] { return continuation(self); };
        next->RunAndFinish(body);
      });
      return task<R>(next);
    } else {
      using R = decltype(Invoke(continuation, std::declval<detail::TaskState<T>&>()));
      auto next = std::make_shared<detail::TaskState<R>>();
      state_->OnDone([antecedent = state_, next, continuation = std::move(continuation)]() mutable {
        if (antecedent->canceled) return next->Finish(std::nullopt, nullptr, true);
        if (antecedent->error) return next->Finish(std::nullopt, antecedent->error, false);
        auto body = [&] { return Invoke(continuation, *antecedent); };
        next->RunAndFinish(body);
      });
      return task<R>(next);
    }
  }

 private:
  template <class U>
  friend class task;
  template <class F>
  friend auto create_task(F body) -> task<std::invoke_result_t<F>>;

  explicit task(std::shared_ptr<detail::TaskState<T>> state) : state_(std::move(state)) {}
  void Valid() const {
    if (!state_) throw hresult_error(E_ILLEGAL_METHOD_CALL, QStringLiteral("the task object holds no task"));
  }
  template <class F>
  static decltype(auto) Invoke(F& continuation, detail::TaskState<T>& antecedent) {
    if constexpr (std::is_void_v<T>) {
      return continuation();
    } else {
      return continuation(*antecedent.value);
    }
  }

  std::shared_ptr<detail::TaskState<T>> state_;
};

// Starts `body` on the pool.
template <class F>
auto create_task(F body) -> task<std::invoke_result_t<F>> {
  using R = std::invoke_result_t<F>;
  auto state = std::make_shared<detail::TaskState<R>>();
  detail::RunOnPool([state, body = std::move(body)]() mutable { state->RunAndFinish(body); });
  return task<R>(state);
}

// How many workers the pool has started so far, and how many are busy (for tests).
struct PoolCounts {
  int workers = 0;
  int busy = 0;
};
PoolCounts ThreadPoolCounts();

}  // namespace app_runtime
