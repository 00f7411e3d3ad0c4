#include "events/event_queue.h"

#include "trace_capture.h"
#include "wait_for.h"

#include <gtest/gtest.h>
#include <winsim/machine.h>

#include <algorithm>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace ostrel {

// Failure messages name the events instead of printing them as characters.
void PrintTo(events_t event, std::ostream* os) { *os << event_name(event); }

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
  // Nothing is pushed before the QUIT: after a delivery nothing shows when
  // the loop is back in its wait, and a QUIT that comes before that ends it
  // silently (the case above). With nothing pending the loop only waits.
  auto loop = std::async(std::launch::async, [this] { queue_.process_events(); });
  ASSERT_TRUE(trace_.wait_for_line("[runner] Start process events: 1"));
  // The loop sets its running flag after that line, undoing a QUIT that came
  // in between; so the QUIT is repeated until the loop has ended.
  EXPECT_TRUE(wait_for([&] {
    queue_.add_event(QUIT);
    return loop.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  }));
  EXPECT_TRUE(delivered().empty());
  EXPECT_EQ(trace_.count("[runner] Done processing events"), 1u) << trace_.dump();
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
  // Each producer cycles through values of its own, so its events can be
  // told apart from the others' and a reordering within one producer shows
  // as a broken cycle. All values lie below QUIT.
  constexpr int producers = 4;
  constexpr int values_per_producer = 6;
  constexpr int per_producer = 600;
  static_assert(producers * values_per_producer <= QUIT);
  const auto value_of = [](int producer, int i) {
    return static_cast<events_t>(producer * values_per_producer + i % values_per_producer);
  };
  auto loop = std::async(std::launch::async, [this] { queue_.process_events(); });
  std::vector<std::future<void>> tasks;
  for (int p = 0; p < producers; ++p) {
    tasks.push_back(std::async(std::launch::async, [this, p, value_of] {
      for (int i = 0; i < per_producer; ++i) queue_.add_event(value_of(p, i));
    }));
  }
  for (auto& t : tasks) t.get();
  ASSERT_TRUE(wait_for([this] { return delivered().size() == producers * per_producer; })) << delivered().size();
  queue_.add_event(QUIT);
  loop.get();

  std::vector<std::vector<events_t>> by_producer(producers);
  for (events_t e : delivered()) by_producer.at(e / values_per_producer).push_back(e);
  for (int p = 0; p < producers; ++p) {
    std::vector<events_t> pushed;
    for (int i = 0; i < per_producer; ++i) pushed.push_back(value_of(p, i));
    ASSERT_EQ(by_producer[p].size(), pushed.size()) << "producer " << p;
    const auto first_difference = std::mismatch(pushed.begin(), pushed.end(), by_producer[p].begin()).first;
    EXPECT_EQ(first_difference, pushed.end())
        << "producer " << p << " out of order at its event " << (first_difference - pushed.begin());
  }
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
  // As in the service: the draining thread co-owns the queue and a producer
  // holds it too; the creator lets go while an event is being delivered.
  auto queue = std::make_shared<event_queue>();
  auto callback_state = std::make_shared<int>(0);
  const std::weak_ptr<int> callback_alive = callback_state;
  std::promise<void> delivering;
  std::promise<void> go_on;
  std::shared_future<void> may_go_on = go_on.get_future().share();
  queue->set_event_callback([this, callback_state, &delivering, may_go_on](events_t e) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      delivered_.push_back(e);
    }
    if (e == SESSION_LOCK) {
      delivering.set_value();
      may_go_on.wait();
    }
  });
  callback_state.reset();
  auto loop = std::async(std::launch::async, [drained = queue]() mutable {
    drained->process_events();
    drained.reset();
  });
  std::shared_ptr<event_queue> producer = queue;
  queue->add_event(SESSION_LOCK);
  queue->add_event(SESSION_UNLOCK);
  const bool was_delivering = delivering.get_future().wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  queue.reset();  // mid-delivery: the loop and the producer keep it alive
  go_on.set_value();
  EXPECT_TRUE(was_delivering);
  EXPECT_TRUE(wait_for([this] { return delivered().size() == 2; }));
  producer->add_event(QUIT);
  ASSERT_EQ(loop.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  // Pushed after the QUIT: they die with the queue, undelivered.
  producer->add_event(DISPLAY_OFF);
  producer->add_event(RELOAD);
  EXPECT_FALSE(callback_alive.expired());
  producer.reset();  // the last owner: destroys the callback and the pending events

  EXPECT_EQ(delivered(), (std::vector<events_t>{SESSION_LOCK, SESSION_UNLOCK}));
  EXPECT_TRUE(callback_alive.expired());
}

}  // namespace
}  // namespace ostrel
