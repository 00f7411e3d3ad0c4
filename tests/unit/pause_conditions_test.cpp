#include "state_machines/nolvane/running_state_machine.h"

#include "state_machine_fakes.h"
#include "trace_capture.h"
#include "wait_for.h"

#include <gtest/gtest.h>
#include <winsim/machine.h>

#include <chrono>
#include <future>

namespace ostrel {
namespace {

using std::chrono::milliseconds;
using test::journal;
using test::trace_capture;
using test::wait_for;
using clock_type = std::chrono::steady_clock;

// How long a test waits for the task's next word: a poll comes every 2 s;
// the rest is room for a machine so loaded that the task's thread is not
// scheduled for seconds (seen under the sanitizers). Only a failing test
// waits this long.
constexpr milliseconds next_poll(15000);

class PauseConditionsTest : public ::testing::Test, protected test::collaborators {
 protected:
  void TearDown() override { rsm_.reset(); }

  void create(const sm_config& c) {
    rsm_ = std::make_unique<running_state_machine>(c, device_, engine_.callbacks, queue_.queue);
  }
  void deliver(events_t e) { rsm_->handle_incoming_event(e); }
  std::string state() const { return rsm_->get_state_name(); }
  // Waits until the task has finished `polls` polls' worth of queries (the
  // screen-off query is the last of each poll), plus a moment for its decision.
  void wait_polls(size_t polls) {
    ASSERT_TRUE(wait_for([&] { return log_.count("ask:IS_SCREEN_OFF_TIMER_ENABLED") >= polls; }, next_poll));
    const auto t = clock_type::now();
    wait_for([&] { return clock_type::now() - t > milliseconds(200); });
  }

  std::unique_ptr<running_state_machine> rsm_;
};

struct condition_case {
  const char* name;
  std::atomic<bool> test::device_answers::*answer;
  bool holds;  // the answer under which the condition holds
  bool sm_config::*switch_off;
  const char* ask;
};

const condition_case cases[] = {
    {"display_required", &test::device_answers::display_required, true, &sm_config::allow_hpd_with_display_required,
     "ask:IS_DISPLAY_REQUIRED"},
    {"external_display_connected", &test::device_answers::external_display, true,
     &sm_config::allow_leave_with_external_monitor, "ask:HAS_EXTERNAL_DISPLAY"},
    {"system_timer_disabled", &test::device_answers::screen_off_timer_enabled, false,
     &sm_config::allow_hpd_when_system_timer_disabled, "ask:IS_SCREEN_OFF_TIMER_ENABLED"},
};

class PauseConditionCaseTest : public PauseConditionsTest, public ::testing::WithParamInterface<condition_case> {};

TEST_P(PauseConditionCaseTest, ConditionKeepsTheEngineOffAndSuspendsARunningMachine) {
  const condition_case& c = GetParam();
  (answers_.*c.answer) = c.holds;
  create(sm_config{});
  // A fresh machine with a condition: nothing is pushed, it stays in ENGINE_OFF
  // without suspending the engine itself.
  wait_polls(1);
  EXPECT_TRUE(queue_.drain().empty());
  EXPECT_EQ(state(), "ENGINE_OFF");
  EXPECT_FALSE(log_.contains("engine:suspend"));

  // The condition goes: the next poll asks for the engine.
  (answers_.*c.answer) = !c.holds;
  ASSERT_TRUE(queue_.wait_delivered(START_SENSOR, next_poll));
  EXPECT_TRUE(capture_.contains("[rsm] Stop engine condition removed. Resuming enginen"));
  deliver(START_SENSOR);
  EXPECT_EQ(state(), "USER_PRESENT");
  EXPECT_TRUE(log_.contains("engine:resume"));

  // It comes back while the user is present: the engine is suspended.
  (answers_.*c.answer) = c.holds;
  ASSERT_TRUE(queue_.wait_delivered(STOP_SENSOR, next_poll));
  EXPECT_TRUE(capture_.contains(std::string("[rsm] Condition: ") + c.name + " true. Suspending engine"));
  deliver(STOP_SENSOR);
  EXPECT_EQ(state(), "ENGINE_OFF");
  EXPECT_TRUE(log_.contains("engine:suspend"));
}

TEST_P(PauseConditionCaseTest, SwitchedOffConditionNeverHoldsAndIsNotAsked) {
  const condition_case& c = GetParam();
  (answers_.*c.answer) = c.holds;
  sm_config config;
  config.*c.switch_off = true;
  create(config);
  ASSERT_TRUE(queue_.wait_delivered(START_SENSOR));
  deliver(START_SENSOR);
  // Through a whole further poll nothing is pushed and the device is not asked.
  const size_t first = log_.count("ask:HAS_EXTERNAL_DISPLAY") + log_.count("ask:IS_DISPLAY_REQUIRED");
  ASSERT_TRUE(wait_for(
      [&] { return log_.count("ask:HAS_EXTERNAL_DISPLAY") + log_.count("ask:IS_DISPLAY_REQUIRED") > first; },
      next_poll));
  wait_for([] { return false; }, milliseconds(200));
  EXPECT_TRUE(queue_.drain().empty());
  EXPECT_FALSE(log_.contains(c.ask));
  EXPECT_EQ(capture_.count_containing("[rsm] Condition: "), 0u);
}

INSTANTIATE_TEST_SUITE_P(EachCondition, PauseConditionCaseTest, ::testing::ValuesIn(cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PauseConditionsTest, OnlyTheFirstHoldingConditionIsNamedAndItRepeatsUntilEngineOff) {
  create(sm_config{});
  ASSERT_TRUE(queue_.wait_delivered(START_SENSOR));
  deliver(START_SENSOR);
  answers_.display_required = true;
  answers_.external_display = true;
  ASSERT_TRUE(queue_.wait_delivered(STOP_SENSOR, next_poll));
  EXPECT_EQ(capture_.count("[rsm] Condition: display_required true. Suspending engine"), 1u);
  EXPECT_EQ(capture_.count_containing("external_display_connected"), 0u);
  // Not handled yet: the next poll pushes it again.
  ASSERT_TRUE(wait_for(
      [&] {
        queue_.drain();
        return queue_.count(STOP_SENSOR) == 2;
      },
      next_poll));
  EXPECT_EQ(capture_.count("[rsm] Condition: display_required true. Suspending engine"), 2u);
  EXPECT_STREQ(run_sensor_condition_name(static_cast<run_sensor_condition>(3)), "Unkownon run_sensor_condition");
}

TEST_F(PauseConditionsTest, GoneDeviceInterfaceMeansTheScreenOffTimerCountsAsDisabled) {
  create(sm_config{});
  ASSERT_TRUE(queue_.wait_delivered(START_SENSOR));
  deliver(START_SENSOR);
  device_.reset();
  ASSERT_TRUE(queue_.wait_delivered(STOP_SENSOR, next_poll));
  EXPECT_TRUE(capture_.contains("[rsm] Condition: system_timer_disabled true. Suspending engine"));
  EXPECT_TRUE(capture_.contains("[rsm] Unable to lock device interface for display required"));
  EXPECT_TRUE(capture_.contains("[rsm] Unable to lock device interface for external display"));
  EXPECT_TRUE(capture_.contains("[rsm] Unable to lock device interface for screen off timer enabled"));
  deliver(STOP_SENSOR);
  EXPECT_EQ(state(), "ENGINE_OFF");
  rsm_.reset();

  // Unless that condition is switched off.
  sm_config c;
  c.allow_hpd_when_system_timer_disabled = true;
  const size_t starts = queue_.count(START_SENSOR);
  create(c);
  ASSERT_TRUE(wait_for(
      [&] {
        queue_.drain();
        return queue_.count(START_SENSOR) > starts;
      },
      next_poll));
}

TEST_F(PauseConditionsTest, GoneQueueIsLoggedByThePoll) {
  std::weak_ptr<event_queue> gone;
  running_state_machine rsm(sm_config{}, device_, engine_.callbacks, gone);
  EXPECT_TRUE(capture_.wait_for_line("[rsm] Unable to lock event queue to resume sensor"));
  rsm.handle_incoming_event(START_SENSOR);
  answers_.external_display = true;
  EXPECT_TRUE(capture_.wait_for_line("[rsm] Unable to lock event queue to stop sensor", next_poll));
  // Information, not errors: the poll meets a gone queue at every pass until it is stopped.
  EXPECT_EQ(capture_.level_of("[rsm] Unable to lock event queue to resume sensor"), 4);
  EXPECT_EQ(capture_.level_of("[rsm] Unable to lock event queue to stop sensor"), 4);
}

TEST_F(PauseConditionsTest, StopDuringTheWaitInterruptsIt) {
  create(sm_config{});
  wait_polls(1);
  capture_.clear();
  const auto start = clock_type::now();
  rsm_.reset();
  EXPECT_LT(clock_type::now() - start, milliseconds(1500));
  auto m = capture_.messages();
  std::vector<std::string> task_lines;
  for (const auto& line : m) {
    for (const char* wanted :
         {"[rsm] Stopping check pause conditions\n", "[rsm] Notified check pause conditions\n",
          "[rsm] Waiting for check pause conditions to stop\n", "[rsm] Wait interuped by stop signal\n",
          "[rsm] Exiting check pause conditions async\n", "[rsm] Wait done\n"}) {
      if (line == wanted) task_lines.push_back(line);
    }
  }
  // The task's two lines come from its own thread between "Notified" and "Wait done".
  ASSERT_EQ(task_lines.size(), 6u) << capture_.dump();
  EXPECT_EQ(task_lines.front(), "[rsm] Stopping check pause conditions\n");
  EXPECT_EQ(task_lines.back(), "[rsm] Wait done\n");
  auto at = [&](const char* l) { return std::find(task_lines.begin(), task_lines.end(), l) - task_lines.begin(); };
  EXPECT_LT(at("[rsm] Wait interuped by stop signal\n"), at("[rsm] Exiting check pause conditions async\n"));
}

TEST_F(PauseConditionsTest, StopDuringASlowQueryEndsRightAfterTheQueries) {
  std::promise<void> release;
  auto released = release.get_future().share();
  std::atomic<bool> asked{false};
  ON_CALL(*device_, register_callback(
                        testing::Field(&input_signal_package::signal, input_signal::IS_DISPLAY_REQUIRED)))
      .WillByDefault([&](const input_signal_package&) {
        asked = true;
        released.wait();
        log_.add("ask:IS_DISPLAY_REQUIRED");
        return false;
      });
  create(sm_config{});
  ASSERT_TRUE(wait_for([&] { return asked.load(); }));
  auto destroyer = std::async(std::launch::async, [&] { rsm_.reset(); });
  ASSERT_TRUE(capture_.wait_for_line("[rsm] Waiting for check pause conditions to stop"));
  EXPECT_EQ(destroyer.wait_for(milliseconds(100)), std::future_status::timeout);
  const auto released_at = clock_type::now();
  release.set_value();
  destroyer.get();
  // The stop that came during the queries is seen before the next pause, not
  // after a further two seconds.
  EXPECT_LT(clock_type::now() - released_at, milliseconds(1500));
  EXPECT_TRUE(log_.contains("ask:HAS_EXTERNAL_DISPLAY"));
  EXPECT_TRUE(capture_.contains("[rsm] Wait interuped by stop signal"));
  EXPECT_TRUE(capture_.contains("[rsm] Exiting check pause conditions async"));
}

}  // namespace
}  // namespace ostrel
