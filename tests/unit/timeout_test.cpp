#include "state_machines/nolvane/timeout.h"

#include "wait_for.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;
using std::chrono::milliseconds;
using ostrel::test::wait_for;

// Lets the clock run to `t`; timers are what is under test here, so the
// passing of time is the condition waited for.
void wait_until(clock_type::time_point t) {
  wait_for([t] { return clock_type::now() >= t; }, milliseconds(10000));
}

struct firings {
  std::mutex mutex;
  std::vector<clock_type::time_point> at;
  std::vector<std::thread::id> on;
  timeout::action_t action() {
    return [this] {
      std::lock_guard<std::mutex> lock(mutex);
      at.push_back(clock_type::now());
      on.push_back(std::this_thread::get_id());
    };
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mutex);
    return at.size();
  }
  clock_type::time_point first() {
    std::lock_guard<std::mutex> lock(mutex);
    return at.front();
  }
};

TEST(TimeoutTest, FiresOnceAfterItsTimeOnItsOwnThread) {
  firings f;
  const auto start = clock_type::now();
  {
    timeout t(50, f.action());
    ASSERT_TRUE(wait_for([&] { return f.count() == 1; }));
    EXPECT_GE(f.first() - start, milliseconds(50));
    EXPECT_NE(f.on.front(), std::this_thread::get_id());
    // A one-shot timer: nothing more comes, and a restart after firing does nothing.
    t.restart();
    wait_until(clock_type::now() + milliseconds(150));
  }
  EXPECT_EQ(f.count(), 1u);
}

TEST(TimeoutTest, ZeroRunsTheActionAtOnceOnTheCallingThread) {
  firings f;
  timeout t(0, f.action());
  ASSERT_EQ(f.count(), 1u);
  EXPECT_EQ(f.on.front(), std::this_thread::get_id());
}

TEST(TimeoutTest, RestartPushesTheDeadlineFromNow) {
  firings f;
  const auto start = clock_type::now();
  // Restarted every 50 ms for 400 ms. Should this thread be held up for more
  // than the timer's 250 ms, the timer may rightly fire in between; what must
  // hold in every case is that it fires 250 ms after the last restart that
  // reached it, and once.
  struct restart_call {
    clock_type::time_point called;
    clock_type::time_point returned;
  };
  std::vector<restart_call> restarts;
  {
    timeout t(250, f.action());
    for (int i = 1; i <= 8; ++i) {
      wait_until(start + milliseconds(50 * i));
      const auto called = clock_type::now();
      t.restart();
      restarts.push_back({called, clock_type::now()});
    }
    ASSERT_TRUE(wait_for([&] { return f.count() == 1; }));
  }
  EXPECT_EQ(f.count(), 1u);
  // A restart that returned before the firing was seen by the timer (it
  // fires under the lock that restart takes), so the deadline came after it.
  const auto fired = f.first();
  clock_type::time_point reference = start;
  for (const auto& r : restarts) {
    if (r.returned < fired) reference = r.called;
  }
  EXPECT_GE(fired - reference, milliseconds(250));
}

TEST(TimeoutTest, DestroyedBeforeFiringRunsNothingAndReturnsAtOnce) {
  firings f;
  const auto start = clock_type::now();
  // Far below the timer's 10 s, far above a thread start and join on a
  // loaded machine.
  { timeout t(10000, f.action()); }
  EXPECT_LT(clock_type::now() - start, milliseconds(5000));
  // The destructor joined the timer's task: nothing can fire any more.
  EXPECT_EQ(f.count(), 0u);
}

TEST(TimeoutTest, DestructionWhileTheActionRunsWaitsForIt) {
  std::promise<void> action_started;
  std::promise<void> release_action;
  auto release = release_action.get_future().share();
  std::atomic<bool> action_done{false};
  auto t = std::make_unique<timeout>(10, [&] {
    action_started.set_value();
    release.wait();
    action_done = true;
  });
  action_started.get_future().wait();
  std::atomic<bool> destroyed{false};
  auto destroyer = std::async(std::launch::async, [&] {
    t.reset();
    destroyed = true;
  });
  // The destructor must not return while the action is still running.
  EXPECT_EQ(destroyer.wait_for(milliseconds(100)), std::future_status::timeout);
  EXPECT_FALSE(destroyed);
  release_action.set_value();
  destroyer.get();
  EXPECT_TRUE(action_done);
}

TEST(TimeoutTest, ManyTimersFireIndependently) {
  firings f;
  std::vector<std::unique_ptr<timeout>> timers;
  for (int i = 0; i < 20; ++i) timers.push_back(std::make_unique<timeout>(static_cast<uint32_t>(5 + i), f.action()));
  ASSERT_TRUE(wait_for([&] { return f.count() == 20; }));
  timers.clear();
  EXPECT_EQ(f.count(), 20u);
}

}  // namespace
