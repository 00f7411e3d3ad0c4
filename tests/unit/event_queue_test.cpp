#include "state_machines/nolvane/event_queue.h"

#include "trace_capture.h"
#include "wait_for.h"

#include <gtest/gtest.h>
#include <winsim/machine.h>

#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace ostrel {
namespace {

using test::trace_capture;
using test::wait_for;

class EventQueueTest : public ::testing::Test {
 protected:
  // Records every delivered event; safe to read from the test thread.
  void record_into_queue() {
    queue_.set_event_callback([this](events_t e) {
      std::lock_guard<std::mutex> lock(mutex_);
      delivered_.push_back(e);
    });
  }
  std::vector<events_t> delivered() {
    std::lock_guard<std::mutex> lock(mutex_);
    return delivered_;
  }

  winsim::machine::scoped_machine machine_;
  trace_capture trace_{0};
  event_queue queue_;
  std::mutex mutex_;
  std::vector<events_t> delivered_;
};

TEST(EventNames, EveryValueHasItsTextAndOthersAreUnknown) {
  EXPECT_STREQ(event_name(SESSION_LOCK), "SESSION_LOCK");
  EXPECT_STREQ(event_name(TIMEOUT_DIM_SCREEN), "TIMEOUT_DIM_SCREEN");
  EXPECT_STREQ(event_name(USER_ACTIVITY_POLL_STOPPED), "USER_ACTIVITY_POLL_STOPPED");
  EXPECT_STREQ(event_name(HPD_SENSOR_UNAVAILABLE), "HPD_SENSOR_UNAVAILABLE");
  EXPECT_STREQ(event_name(NONE), "NONE");
  EXPECT_STREQ(event_name(static_cast<events_t>(35)), "unknown");
  EXPECT_STREQ(event_name(static_cast<events_t>(200)), "unknown");
}

TEST_F(EventQueueTest, QuitDiscardsPendingEventsAndEndsTheLoop) {
  record_into_queue();
  for (events_t e : {SESSION_LOCK, SESSION_UNLOCK, PROXIMITY_FAR, PROXIMITY_NEAR, DISPLAY_ON}) queue_.add_event(e);
  queue_.add_event(QUIT);
  EXPECT_FALSE(queue_.process_next_event());
  EXPECT_TRUE(delivered().empty());
}

TEST_F(EventQueueTest, QuitFromInsideTheCallbackEndsTheLoopWithoutTheClosingLine) {
  queue_.set_event_callback([this](events_t e) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      delivered_.push_back(e);
    }
    if (e == DISPLAY_OFF) queue_.add_event(QUIT);
  });
  queue_.add_event(SESSION_UNLOCK);
  queue_.add_event(DISPLAY_OFF);
  queue_.add_event(DISPLAY_ON);  // discarded by the QUIT
  queue_.process_events();
  EXPECT_EQ(delivered(), (std::vector<events_t>{SESSION_UNLOCK, DISPLAY_OFF}));
  EXPECT_TRUE(trace_.contains("[runner] Start process events: 1"));
  EXPECT_FALSE(trace_.contains("[runner] Done processing events")) << trace_.dump();
}

TEST_F(EventQueueTest, QuitWhileTheLoopSleepsEndsItWithTheClosingLine) {
  record_into_queue();
  auto loop = std::async(std::launch::async, [this] { queue_.process_events(); });
  queue_.add_event(SESSION_LOCK);
  ASSERT_TRUE(wait_for([this] { return delivered().size() == 1; }));
  ASSERT_TRUE(trace_.wait_for_line("[runner] Start process events: 1"));
  queue_.add_event(QUIT);
  ASSERT_EQ(loop.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_TRUE(trace_.contains("[runner] Done processing events"));
}

TEST_F(EventQueueTest, WithoutCallbackReloadBecomesQuitAndOtherEventsAreDropped) {
  queue_.add_event(DISPLAY_OFF);
  EXPECT_FALSE(queue_.process_next_event());
  EXPECT_TRUE(trace_.contains("[runner] Event callback is nullptr"));

  queue_.add_event(DISPLAY_ON);
  queue_.add_event(RELOAD);
  queue_.process_events();  // DISPLAY_ON dropped, RELOAD ends the loop
  EXPECT_EQ(trace_.count("[runner] Event callback is nullptr"), 2u);
  EXPECT_TRUE(trace_.contains("[runner] Adding QUIT due to missing evebt_cb"));
  auto events = trace_.events();
  for (const auto& e : events) {
    if (e.message == "[runner] Event callback is nullptr\n") {
      EXPECT_EQ(e.level, 2);
    }
    if (e.message == "[runner] Adding QUIT due to missing evebt_cb\n") {
      EXPECT_EQ(e.level, 4);
    }
  }
}

TEST_F(EventQueueTest, EventsPushedAfterQuitWaitForTheNextLoop) {
  record_into_queue();
  queue_.add_event(QUIT);
  queue_.add_event(SESSION_UNLOCK);
  EXPECT_TRUE(queue_.process_next_event());
  EXPECT_EQ(delivered(), (std::vector<events_t>{SESSION_UNLOCK}));
}

TEST_F(EventQueueTest, EventsFromSeveralThreadsKeepEachProducersOrder) {
  record_into_queue();
  constexpr int producers = 4;
  constexpr int per_producer = 500;
  auto loop = std::async(std::launch::async, [this] { queue_.process_events(); });
  std::vector<std::future<void>> tasks;
  for (int p = 0; p < producers; ++p) {
    tasks.push_back(std::async(std::launch::async, [this, p] {
      // Each producer pushes only its own event, so per-producer order is
      // visible as a count and the total shows nothing was lost.
      for (int i = 0; i < per_producer; ++i) queue_.add_event(static_cast<events_t>(p));
    }));
  }
  for (auto& t : tasks) t.get();
  ASSERT_TRUE(wait_for([this] { return delivered().size() == producers * per_producer; }));
  queue_.add_event(QUIT);
  loop.get();
  std::vector<int> counts(producers, 0);
  for (events_t e : delivered()) ++counts.at(e);
  EXPECT_EQ(counts, std::vector<int>(producers, per_producer));
}

TEST_F(EventQueueTest, CallbackMayPushEventsWhileDelivering) {
  queue_.set_event_callback([this](events_t e) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      delivered_.push_back(e);
    }
    if (e == TIMEOUT_DIM_SCREEN) queue_.add_event(DISPLAY_REQUIRED_TRUE);
    if (e == DISPLAY_REQUIRED_TRUE) queue_.add_event(QUIT);
  });
  queue_.add_event(TIMEOUT_DIM_SCREEN);
  queue_.process_events();
  EXPECT_EQ(delivered(), (std::vector<events_t>{TIMEOUT_DIM_SCREEN, DISPLAY_REQUIRED_TRUE}));
}

TEST_F(EventQueueTest, DestroyingTheQueueWhileDrainingIsSafe) {
  auto queue = std::make_unique<event_queue>();
  queue->add_event(SESSION_LOCK);
  queue->add_event(SESSION_UNLOCK);
  queue.reset();  // pending events and no callback: nothing delivered, nothing leaked
  SUCCEED();
}

}  // namespace
}  // namespace ostrel
