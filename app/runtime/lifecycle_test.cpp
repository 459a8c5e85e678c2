#include "app/runtime/lifecycle.h"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "app/runtime/task.h"

namespace app_runtime {
namespace {

TEST(LifecycleTest, ASuspensionFinishesWhenEveryDeferralIsCompleted) {
  Lifecycle lifecycle;
  std::vector<std::string> calls;
  task_completion_event<void> release;
  lifecycle.Suspending([&](const SuspendingEventArgs&) { calls.push_back("plain"); });
  lifecycle.Suspending([&](const SuspendingEventArgs& args) {
    calls.push_back("deferred");
    auto deferral = args.SuspendingOperation().GetDeferral();
    // The work goes on after the handler returned, on another thread.
    task<void>(release).then([deferral]() mutable {
      deferral.Complete();
      deferral.Complete();  // a second completion changes nothing
    });
  });
  lifecycle.Resuming([&] { calls.push_back("resumed"); });

  EXPECT_FALSE(lifecycle.RaiseResuming()) << "nothing to resume from";
  const Suspension suspension = lifecycle.RaiseSuspending();
  EXPECT_TRUE(lifecycle.IsSuspended());
  EXPECT_FALSE(suspension.Finished());
  EXPECT_FALSE(suspension.WaitFor(std::chrono::milliseconds(20)));
  // Closing while a sleep suspension is under way waits for the same one.
  EXPECT_FALSE(lifecycle.RaiseSuspending().Finished());
  release.set();
  EXPECT_TRUE(suspension.WaitFor(std::chrono::seconds(10)));
  EXPECT_EQ(calls, (std::vector<std::string>{"plain", "deferred"}));

  EXPECT_TRUE(lifecycle.RaiseResuming());
  EXPECT_FALSE(lifecycle.IsSuspended());
  EXPECT_EQ(calls.back(), "resumed");
}

TEST(LifecycleTest, AWakeDuringTheSuspensionResumesOnlyOnceTheSuspensionHasFinished) {
  Lifecycle lifecycle;
  std::atomic<bool> saved{false};
  std::atomic<bool> resumedAfterSave{false};
  task_completion_event<void> release;
  lifecycle.Suspending([&](const SuspendingEventArgs& args) {
    task<void>(release).then([&, deferral = args.SuspendingOperation().GetDeferral()]() mutable {
      saved = true;
      deferral.Complete();
    });
  });
  lifecycle.Resuming([&] { resumedAfterSave = saved.load(); });
  lifecycle.RaiseSuspending();
  auto waking = create_task([&] { return lifecycle.RaiseResuming(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(waking.is_done()) << "the wake waits for the save";
  release.set();
  EXPECT_TRUE(waking.get());
  EXPECT_TRUE(resumedAfterSave);
}

TEST(LifecycleTest, ASuspensionWithoutDeferralsFinishesWhenItsHandlersReturn) {
  Lifecycle lifecycle;
  auto token = lifecycle.Suspending([](const SuspendingEventArgs&) {});
  EXPECT_TRUE(lifecycle.RaiseSuspending().Finished());
  lifecycle.Suspending(token);
}

}  // namespace
}  // namespace app_runtime
