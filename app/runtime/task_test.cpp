#include "app/runtime/task.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/runtime/dispatcher.h"
#include "app/testing/app_test.h"

namespace app_runtime {
namespace {

TEST(TaskTest, ContinuationsPassValuesOnAndFailuresReachTheWaiter) {
  auto chain =
      create_task([] { return 20; }).then([](int v) { return v + 1; }).then([](int v) { return std::to_string(v); });
  EXPECT_EQ(chain.get(), "21");

  // A failure skips the value-based continuations after it and reaches get().
  std::atomic<bool> ranAfterFailure{false};
  auto failed =
      create_task([]() -> int { throw std::runtime_error("step A"); }).then([&](int) { ranAfterFailure = true; });
  EXPECT_THROW(
      {
        try {
          failed.get();
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(), "step A");
          throw;
        }
      },
      std::runtime_error);
  EXPECT_FALSE(ranAfterFailure);

  // A task-based continuation runs whatever happened and may look at it.
  auto observed = create_task([] { throw std::logic_error("x"); }).then([](task<void> t) {
    try {
      t.get();
      return std::string("no failure");
    } catch (const std::logic_error&) {
      return std::string("saw the failure");
    }
  });
  EXPECT_EQ(observed.get(), "saw the failure");

  // A cancelled chain raises task_canceled, also through its continuations.
  auto cancelled = create_task([] { cancel_current_task(); }).then([] { return 1; });
  EXPECT_THROW(cancelled.get(), task_canceled);

  EXPECT_THROW(task<int>().get(), hresult_error) << "an empty task object";
}

TEST(TaskTest, TasksThatBlockOnOtherTasksNeverStarveThem) {
  // Each outer task blocks on an inner one, as a page's background read blocks on the
  // view model's chain: with a fixed pool of a few workers this would hang. The outer
  // tasks first wait until all twelve run at once, so the inner ones always meet a
  // pool whose every worker is blocked.
  constexpr int kOuter = 12;
  std::mutex m;
  std::condition_variable cv;
  int running = 0;
  std::vector<task<int>> outer;
  for (int i = 0; i < kOuter; ++i) {
    outer.push_back(create_task([&, i] {
      {
        std::unique_lock lock(m);
        ++running;
        cv.notify_all();
        if (!cv.wait_for(lock, std::chrono::seconds(10), [&] { return running == kOuter; })) return -1000;
      }
      return create_task([i] { return i * 2; }).then([](int v) { return v + 1; }).get();
    }));
  }
  int sum = 0;
  for (auto& t : outer) sum += t.get();
  EXPECT_EQ(sum, kOuter * (kOuter - 1) + kOuter);
  EXPECT_GE(ThreadPoolCounts().workers, kOuter + 1);
}

TEST(TaskTest, ACompletionEventFinishesItsTaskOnce) {
  task_completion_event<std::string> event;
  task<std::string> t(event);
  EXPECT_FALSE(t.is_done());
  std::thread setter([&] { EXPECT_TRUE(event.set("first")); });
  EXPECT_EQ(t.then([](const std::string& s) { return s + "!"; }).get(), "first!");
  setter.join();
  EXPECT_FALSE(event.set("second"));
  EXPECT_EQ(t.get(), "first");
}

TEST(DispatcherTest, WorkQueuedFromPoolThreadsRunsOnTheUiThreadInOrder) {
  auto& dispatcher = CoreDispatcher::ForUiThread();
  ASSERT_TRUE(dispatcher.HasThreadAccess());
  std::vector<int> order;  // touched only on the UI thread
  std::atomic<int> offUiThread{0};
  std::vector<task<void>> queued;
  const auto ui = std::this_thread::get_id();
  create_task([&] {
    for (int i = 0; i < 50; ++i) {
      queued.push_back(dispatcher.RunAsync([&, i] {
        if (std::this_thread::get_id() != ui) ++offUiThread;
        order.push_back(i);
      }));
    }
  }).get();
  auto failing = dispatcher.RunAsync([] { throw std::runtime_error("in the UI"); });
  EXPECT_FALSE(queued.back().is_done()) << "nothing runs before the UI thread's loop does";

  ASSERT_TRUE(testing::PumpUntil([&] { return failing.is_done(); }));
  EXPECT_EQ(offUiThread, 0);
  ASSERT_EQ(order.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
  EXPECT_THROW(failing.get(), std::runtime_error);
  EXPECT_FALSE(create_task([&] { return dispatcher.HasThreadAccess(); }).get());
}

}  // namespace
}  // namespace app_runtime
