// The app's lifecycle: the Suspending and Resuming events of the application.
//
// On this desktop the app is suspended when it is closed (the last window closes or the
// app is asked to quit) and when the machine goes to sleep; it is resumed when the
// machine wakes. Sleep and wake are the login manager's PrepareForSleep(true/false)
// signal on the system bus; without a system bus (a container, CI) only closing
// suspends. Tests raise both events themselves with RaiseSuspending and RaiseResuming.
//
// A suspending handler that has work left takes a deferral and completes it when done;
// the suspension has finished when every handler has returned and every deferral taken
// has been completed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include <QObject>

#include "app/runtime/event.h"

namespace app_runtime {

namespace detail {
struct SuspensionState;
}

class SuspendingDeferral {
 public:
  explicit SuspendingDeferral(std::shared_ptr<detail::SuspensionState> state);
  // Completes the deferral; a second call does nothing.
  void Complete();

 private:
  std::shared_ptr<detail::SuspensionState> state_;
  std::shared_ptr<bool> completed_;
};

class SuspendingOperation {
 public:
  explicit SuspendingOperation(std::shared_ptr<detail::SuspensionState> state) : state_(std::move(state)) {}
  SuspendingDeferral GetDeferral() const { return SuspendingDeferral(state_); }

 private:
  std::shared_ptr<detail::SuspensionState> state_;
};

class SuspendingEventArgs {
 public:
  explicit SuspendingEventArgs(std::shared_ptr<detail::SuspensionState> state) : operation_(std::move(state)) {}
  const app_runtime::SuspendingOperation& SuspendingOperation() const { return operation_; }

 private:
  app_runtime::SuspendingOperation operation_;
};

// A suspension in progress: wait for its deferrals.
class Suspension {
 public:
  explicit Suspension(std::shared_ptr<detail::SuspensionState> state) : state_(std::move(state)) {}
  // Waits until every deferral has been completed; false when `limit` passed first.
  bool WaitFor(std::chrono::milliseconds limit) const;
  bool Finished() const;

 private:
  std::shared_ptr<detail::SuspensionState> state_;
};

class Lifecycle {
 public:
  static Lifecycle& Current();

  event_token Suspending(std::function<void(const SuspendingEventArgs&)> handler) {
    return suspending_.Add(std::move(handler));
  }
  void Suspending(event_token token) { suspending_.Remove(token); }
  event_token Resuming(std::function<void()> handler) { return resuming_.Add(std::move(handler)); }
  void Resuming(event_token token) { resuming_.Remove(token); }

  // Raises Suspending on this thread (once: a second call while suspended returns the
  // suspension already under way).
  Suspension RaiseSuspending();
  // Raises Resuming when the app is suspended, once its suspension has finished (or 10 s
  // have passed); false (and nothing raised) when it is not suspended.
  bool RaiseResuming();
  bool IsSuspended() const;

  // Subscribes to the desktop's signals: the application's end, and sleep and wake when
  // a system bus is there. Returns whether sleep and wake are watched.
  bool WatchDesktop();

 private:
  Event<const SuspendingEventArgs&> suspending_;
  Event<> resuming_;
  mutable std::mutex mutex_;
  std::shared_ptr<detail::SuspensionState> current_;
};

}  // namespace app_runtime
