#include "state_machines/nolvane/running_state_machine.h"

#include "state_machine_fakes.h"
#include "trace_capture.h"
#include "wait_for.h"

#include <gtest/gtest.h>
#include <winsim/machine.h>

#include <atomic>
#include <chrono>
#include <future>

namespace ostrel {
namespace {

using std::chrono::milliseconds;
using test::journal;
using test::trace_capture;
using test::wait_for;
using clock_type = std::chrono::steady_clock;

sm_config short_timers(int64_t time_to_dim_ms = 100, int64_t dim_duration_ms = 150) {
  sm_config c;
  c.time_to_dim_ms = time_to_dim_ms;
  c.dim_duration_ms = dim_duration_ms;
  return c;
}

class RunningStateMachineTest : public ::testing::Test, protected test::collaborators {
 protected:
  void TearDown() override { rsm_.reset(); }

  void create(const sm_config& c) {
    rsm_ = std::make_unique<running_state_machine>(c, device_, engine_.callbacks, queue_.queue);
  }
  // A fresh machine brought to USER_PRESENT by its first pause-condition poll.
  void create_present(const sm_config& c) {
    create(c);
    ASSERT_TRUE(queue_.wait_delivered(START_SENSOR)) << capture_.dump();
    deliver(START_SENSOR);
    ASSERT_EQ(state(), "USER_PRESENT");
  }
  void deliver(events_t e) { rsm_->handle_incoming_event(e); }
  std::string state() const { return rsm_->get_state_name(); }
  // From USER_PRESENT through USER_ABSENT into DIMMING; returns when DIMMING was entered.
  clock_type::time_point enter_dimming() {
    const size_t from = queue_.delivered.size();
    deliver(PROXIMITY_FAR);
    EXPECT_TRUE(queue_.wait_delivered(TIMEOUT_DIM_SCREEN, milliseconds(5000), from));
    const auto entered = clock_type::now();
    deliver(TIMEOUT_DIM_SCREEN);
    EXPECT_EQ(state(), "DIMMING");
    return entered;
  }
  // While `hold` is set, stopping the watcher waits for the display-off
  // command or 1.5 s, as a slow daemon run does on a loaded machine. Set
  // before the machine's tasks exist: GoogleMock's setters are not thread-safe.
  void hold_watcher_stop_while(const std::atomic<bool>& hold) {
    ON_CALL(*device_, send_command(testing::Field(&output_signal_package::signal, output_signal::STOP_USER_ACTIVITY_PROCESS)))
        .WillByDefault([this, &hold](const output_signal_package&) {
          if (hold) log_.wait_for_entry("cmd:OS_VIDEO_TIMER_SCREEN_OFF", milliseconds(1500));
          log_.add("cmd:STOP_USER_ACTIVITY_PROCESS");
          return true;
        });
  }
  // QUIT empties the queue; a marker pushed before shows whether it came.
  void push_marker() { queue_.queue->add_event(LOCK_REQUESTED); }
  bool quit_came_after_marker() {
    const size_t before = queue_.count(LOCK_REQUESTED);
    queue_.drain();
    return queue_.count(LOCK_REQUESTED) == before;
  }

  std::unique_ptr<running_state_machine> rsm_;
};

TEST_F(RunningStateMachineTest, FreshMachineRestoresTimersAndStartSensorResumesTheEngine) {
  create(short_timers());
  EXPECT_EQ(state(), "ENGINE_OFF");
  EXPECT_EQ(rsm_->get_state_value(), 0.0f);
  EXPECT_TRUE(rsm_->is_active());
  EXPECT_EQ(log_.entries().at(0), "cmd:OS_VIDEO_TIMER_RECOVER");
  EXPECT_TRUE(capture_.contains("[rsm] [running_state_machine] Enter"));
  EXPECT_TRUE(capture_.contains("[rsm] [reset_os_video_timers] ExitResult of resetting os video timer: True"));
  ASSERT_TRUE(queue_.wait_delivered(START_SENSOR));
  EXPECT_TRUE(capture_.contains("[rsm] Stop engine condition removed. Resuming enginen"));

  const size_t from = log_.size();
  deliver(START_SENSOR);
  EXPECT_EQ(state(), "USER_PRESENT");
  EXPECT_EQ(rsm_->get_state_value(), 1.0f);
  EXPECT_EQ(log_.commands_since(from), (std::vector<std::string>{"cmd:STOP_USER_ACTIVITY_PROCESS", "engine:resume"}));
  EXPECT_TRUE(capture_.contains("[rsm] stopping user activty proc: Success"));
  // There was no state object before, so no exit action ran.
  EXPECT_FALSE(capture_.contains("[rsm] Leaving engine_off"));

  // Unlisted events change nothing and run nothing.
  const size_t quiet = log_.size();
  for (events_t e : {SESSION_UNLOCK, TIMEOUT_DIM_SCREEN, START_SENSOR, NOISY_ENVIRONMENT, USER_IS_ACTIVE}) deliver(e);
  EXPECT_EQ(state(), "USER_PRESENT");
  EXPECT_TRUE(log_.commands_since(quiet).empty()) << log_.dump();

  EXPECT_STREQ(running_state_machine::state_name(static_cast<running_state_machine::states_t>(4)), "unknown");
}

TEST_F(RunningStateMachineTest, TypicalLeaveDimsThenTurnsTheDisplayOffAfterTheDimmingTime) {
  create_present(short_timers(100, 150));
  size_t from = log_.size();
  const auto left = clock_type::now();
  deliver(PROXIMITY_FAR);
  EXPECT_EQ(state(), "USER_ABSENT");
  EXPECT_EQ(log_.commands_since(from), (std::vector<std::string>{"ask:USER_ACTIVITY"}));
  EXPECT_TRUE(capture_.contains("[rsm] Starting user activity proc"));

  ASSERT_TRUE(queue_.wait_delivered(TIMEOUT_DIM_SCREEN));
  EXPECT_GE(clock_type::now() - left, milliseconds(100));
  from = log_.size();
  const auto dimmed = clock_type::now();
  deliver(TIMEOUT_DIM_SCREEN);
  EXPECT_EQ(state(), "DIMMING");
  EXPECT_EQ(rsm_->get_state_value(), 3.0f);
  // The pause conditions are asked first, then the overlay for the dimming time plus 3.5 s.
  auto entries = log_.entries();
  std::vector<std::string> dim_entry(entries.begin() + static_cast<std::ptrdiff_t>(from), entries.end());
  ASSERT_GE(dim_entry.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(dim_entry.begin(), dim_entry.begin() + 4),
            (std::vector<std::string>{"ask:IS_DISPLAY_REQUIRED", "ask:HAS_EXTERNAL_DISPLAY",
                                      "ask:IS_SCREEN_OFF_TIMER_ENABLED", "cmd:SHOW_DIM_SCREEN_OVERLAY:3650"}));
  EXPECT_TRUE(capture_.contains("[rsm] enter state_dimming"));
  EXPECT_TRUE(capture_.contains("[rsm] [dim_screen] Exit"));

  ASSERT_TRUE(log_.wait_for_entry("cmd:OS_VIDEO_TIMER_SCREEN_OFF", milliseconds(5000), from));
  EXPECT_GE(clock_type::now() - dimmed, milliseconds(150));
  EXPECT_TRUE(capture_.wait_for_line(
      "[rsm] [turn_off_screen_with_os_timers] ExitResult of overriding os video timer: True"));
  EXPECT_TRUE(capture_.contains("[rsm] Messaging OS to turn off display"));
  EXPECT_FALSE(log_.contains("cmd:LOCK_SCREEN"));
  EXPECT_FALSE(log_.contains("cmd:TURN_OFF_DISPLAY"));
  // The machine waits in DIMMING for the display-off notification.
  EXPECT_EQ(state(), "DIMMING");
}

TEST_F(RunningStateMachineTest, ProximityNearBringsTheUserBackFromAbsentAndDimming) {
  // On the way out of USER_ABSENT and of DIMMING, USER_PRESENT's first entry
  // action (stopping the watcher) is held until the state's timer would have
  // fired, as a slow daemon run does on a loaded machine: no dim time-out may
  // wait in the queue for the user's next leave, and the display must not go
  // off in front of the user who has just come back.
  std::atomic<bool> hold_watcher_stop{false};
  hold_watcher_stop_while(hold_watcher_stop);
  // Each return below must reach the machine before the state's timer runs
  // out: 1 s leaves this thread that much room on a loaded machine.
  create_present(short_timers(1000, 1000));
  deliver(PROXIMITY_FAR);
  const auto left = clock_type::now();
  size_t from = log_.size();
  hold_watcher_stop = true;
  deliver(PROXIMITY_NEAR);
  hold_watcher_stop = false;
  EXPECT_EQ(state(), "USER_PRESENT");
  EXPECT_EQ(log_.commands_since(from), (std::vector<std::string>{"cmd:STOP_USER_ACTIVITY_PROCESS", "engine:resume"}));
  // The USER_ABSENT timer stopped as the machine left the state.
  wait_for([&] { return clock_type::now() - left > milliseconds(1200); }, milliseconds(2000));
  EXPECT_EQ(queue_.drain(), std::vector<events_t>{});

  const auto dimmed = enter_dimming();
  from = log_.size();
  capture_.clear();
  hold_watcher_stop = true;
  deliver(PROXIMITY_NEAR);
  hold_watcher_stop = false;
  EXPECT_EQ(state(), "USER_PRESENT");
  // Entry of USER_PRESENT first, then the exit of DIMMING.
  EXPECT_EQ(log_.commands_since(from),
            (std::vector<std::string>{"cmd:STOP_USER_ACTIVITY_PROCESS", "engine:resume",
                                      "cmd:REMOVE_DIM_SCREEN_OVERLAY", "cmd:OS_VIDEO_TIMER_RECOVER"}));
  auto m = capture_.messages();
  auto leave = std::find(m.begin(), m.end(), "[rsm] leave state_dimming\n");
  auto leaving = std::find(m.begin(), m.end(), "[rsm] Leaving dimmed state\n");
  ASSERT_NE(leave, m.end());
  EXPECT_LT(leave, leaving);
  // The display-off timer died with DIMMING.
  wait_for([&] { return clock_type::now() - dimmed > milliseconds(1200); }, milliseconds(2000));
  EXPECT_FALSE(log_.contains("cmd:OS_VIDEO_TIMER_SCREEN_OFF"));
  rsm_.reset();  // its destructor stops the watcher through the action above, which reads this test's flag
}

TEST_F(RunningStateMachineTest, UserActivityRestartsTheDimTimerAndLeavesDimming) {
  // The activity comes 200 ms after the leave, 800 ms before the timer would
  // fire: room for this thread to be late on a loaded machine.
  create_present(short_timers(1000, 5000));
  deliver(PROXIMITY_FAR);
  const auto left = clock_type::now();
  wait_for([&] { return clock_type::now() - left >= milliseconds(200); });
  const size_t from = log_.size();
  const auto active = clock_type::now();
  deliver(USER_IS_ACTIVE);
  EXPECT_EQ(state(), "USER_ABSENT");
  EXPECT_TRUE(log_.commands_since(from).empty()) << log_.dump();
  EXPECT_TRUE(capture_.contains("[rsm] Resetting dim timer"));
  EXPECT_TRUE(capture_.contains("[rsm] Resetting dim timer done"));
  ASSERT_TRUE(queue_.wait_delivered(TIMEOUT_DIM_SCREEN));
  EXPECT_GE(clock_type::now() - active, milliseconds(1000));
  EXPECT_EQ(queue_.count(TIMEOUT_DIM_SCREEN), 1u);

  deliver(TIMEOUT_DIM_SCREEN);
  ASSERT_EQ(state(), "DIMMING");
  const size_t dim_from = log_.size();
  const size_t delivered_from = queue_.delivered.size();
  const auto back = clock_type::now();
  deliver(USER_IS_ACTIVE);
  EXPECT_EQ(state(), "USER_ABSENT");
  // A new watcher first (entry of USER_ABSENT), then the overlay goes and the timers are restored.
  EXPECT_EQ(log_.commands_since(dim_from), (std::vector<std::string>{"ask:USER_ACTIVITY", "cmd:REMOVE_DIM_SCREEN_OVERLAY",
                                                                     "cmd:OS_VIDEO_TIMER_RECOVER"}));
  ASSERT_TRUE(queue_.wait_delivered(TIMEOUT_DIM_SCREEN, milliseconds(5000), delivered_from));
  EXPECT_GE(clock_type::now() - back, milliseconds(1000));
}

TEST_F(RunningStateMachineTest, EachPauseReasonAtDimmingEntrySendsTheUserBackInsteadOfDimming) {
  struct reason {
    std::atomic<bool>* answer;
    bool holds;
    events_t pushed;
    const char* line;
  };
  const reason reasons[] = {
      {&answers_.display_required, true, DISPLAY_REQUIRED_TRUE, "[rsm] display required: resetting timers"},
      {&answers_.external_display, true, EXTERNAL_DISPLAY, "[rsm] external display: resetting timers"},
      {&answers_.screen_off_timer_enabled, false, OS_TIMERS_DISABLED,
       "[rsm] screen off timer disabled: resetting timers"},
  };
  create_present(short_timers(20, 5000));
  for (const auto& r : reasons) {
    SCOPED_TRACE(event_name(r.pushed));
    deliver(PROXIMITY_FAR);
    ASSERT_TRUE(queue_.wait_delivered(TIMEOUT_DIM_SCREEN, milliseconds(5000), queue_.delivered.size()));
    r.answer->store(r.holds);
    const size_t from = log_.size();
    const size_t delivered_from = queue_.delivered.size();
    deliver(TIMEOUT_DIM_SCREEN);
    EXPECT_EQ(state(), "DIMMING");
    EXPECT_TRUE(capture_.contains(r.line));
    EXPECT_FALSE(log_.contains("cmd:SHOW_DIM_SCREEN_OVERLAY:8500"));
    ASSERT_TRUE(queue_.wait_delivered(r.pushed, milliseconds(1000), delivered_from));
    deliver(r.pushed);
    EXPECT_EQ(state(), "USER_PRESENT");
    EXPECT_EQ(log_.index_of("cmd:REMOVE_DIM_SCREEN_OVERLAY", from) >= 0, true);
    r.answer->store(!r.holds);
  }
  // The first holding reason wins: display required before the external display.
  answers_.display_required = true;
  answers_.external_display = true;
  capture_.clear();
  deliver(PROXIMITY_FAR);
  ASSERT_TRUE(queue_.wait_delivered(TIMEOUT_DIM_SCREEN, milliseconds(5000), queue_.delivered.size()));
  deliver(TIMEOUT_DIM_SCREEN);
  EXPECT_TRUE(capture_.contains("[rsm] display required: resetting timers"));
  EXPECT_FALSE(capture_.contains("[rsm] external display: resetting timers"));
}

TEST_F(RunningStateMachineTest, SwitchedOffPauseReasonsDoNotStopDimming) {
  sm_config c = short_timers(20, 5000);
  c.allow_hpd_with_display_required = true;
  c.allow_leave_with_external_monitor = true;
  c.allow_hpd_when_system_timer_disabled = true;
  create_present(c);
  answers_.display_required = true;
  answers_.external_display = true;
  answers_.screen_off_timer_enabled = false;
  const size_t from = log_.size();
  enter_dimming();
  EXPECT_TRUE(log_.contains("cmd:SHOW_DIM_SCREEN_OVERLAY:8500"));
  // Switched-off queries are answered without asking the device.
  for (const char* ask : {"ask:IS_DISPLAY_REQUIRED", "ask:HAS_EXTERNAL_DISPLAY", "ask:IS_SCREEN_OFF_TIMER_ENABLED"}) {
    EXPECT_EQ(log_.index_of(ask, from), -1) << ask;
  }
}

TEST_F(RunningStateMachineTest, ForceFlagsLockFirstThenUseTheDaemonToTurnTheDisplayOff) {
  sm_config c = short_timers(20, 50);
  c.force_lock_after_display_off = true;
  c.force_sleep_after_display_off = true;
  create_present(c);
  const size_t from = log_.size();
  enter_dimming();
  ASSERT_TRUE(log_.wait_for_entry("cmd:TURN_OFF_DISPLAY", milliseconds(5000), from));
  const int lock = log_.index_of("cmd:LOCK_SCREEN", from);
  ASSERT_GE(lock, 0);
  EXPECT_LT(lock, log_.index_of("cmd:TURN_OFF_DISPLAY", from));
  EXPECT_FALSE(log_.contains("cmd:OS_VIDEO_TIMER_SCREEN_OFF"));
  EXPECT_TRUE(capture_.wait_for_line("[rsm] Messaging OS to lock workstation"));
  EXPECT_TRUE(capture_.contains("[rsm] Messaging OS to turn off display and sleep"));

  // Only the lock flag: lock, then the video time-outs do the rest.
  rsm_.reset();
  c.force_sleep_after_display_off = false;
  create_present(c);
  const size_t again = log_.size();
  enter_dimming();
  ASSERT_TRUE(log_.wait_for_entry("cmd:OS_VIDEO_TIMER_SCREEN_OFF", milliseconds(5000), again));
  EXPECT_LT(log_.index_of("cmd:LOCK_SCREEN", again), log_.index_of("cmd:OS_VIDEO_TIMER_SCREEN_OFF", again));
}

TEST_F(RunningStateMachineTest, ResetOsIdleTimerAndZeroDataMode) {
  sm_config c = short_timers(20, 5000);
  c.reset_os_idle_timer = true;
  create_present(c);
  size_t from = log_.size();
  deliver(PROXIMITY_NEAR);
  EXPECT_EQ(log_.commands_since(from), (std::vector<std::string>{"cmd:SET_DISPLAY_REQUIRED"}));
  // Before dimming, display-required is requested as well.
  from = log_.size();
  enter_dimming();
  auto cmds = log_.commands_since(from);
  auto req = std::find(cmds.begin(), cmds.end(), "cmd:SET_DISPLAY_REQUIRED");
  auto dim = std::find(cmds.begin(), cmds.end(), "cmd:SHOW_DIM_SCREEN_OVERLAY:8500");
  ASSERT_NE(req, cmds.end());
  EXPECT_LT(req, dim);
  deliver(PROXIMITY_NEAR);

  const std::string zero_line = "[rsm] Received 10 frames of zero data. Suspending engine";
  for (int i = 0; i < 9; ++i) deliver(ZERO_DATA);
  EXPECT_EQ(capture_.count(zero_line), 0u);
  deliver(ZERO_DATA);
  EXPECT_EQ(capture_.count(zero_line), 1u);
  for (int i = 0; i < 5; ++i) deliver(ZERO_DATA);
  EXPECT_EQ(capture_.count(zero_line), 1u);
  EXPECT_EQ(state(), "USER_PRESENT");

  from = log_.size();
  deliver(PROXIMITY_NEAR);
  enter_dimming();
  cmds = log_.commands_since(from);
  EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "cmd:SET_DISPLAY_REQUIRED"), 0) << log_.dump();
  EXPECT_NE(std::find(cmds.begin(), cmds.end(), "cmd:SHOW_DIM_SCREEN_OVERLAY:8500"), cmds.end());
}

TEST_F(RunningStateMachineTest, ReloadPushesQuitInEveryStateWithoutAChange) {
  create(short_timers(20, 5000));
  auto reload_in = [&](const char* expected) {
    SCOPED_TRACE(expected);
    push_marker();
    deliver(RELOAD);
    EXPECT_TRUE(quit_came_after_marker());
    EXPECT_EQ(state(), expected);
  };
  reload_in("ENGINE_OFF");
  deliver(START_SENSOR);
  reload_in("USER_PRESENT");
  deliver(PROXIMITY_FAR);
  ASSERT_TRUE(queue_.wait_delivered(TIMEOUT_DIM_SCREEN));
  reload_in("USER_ABSENT");
  deliver(TIMEOUT_DIM_SCREEN);
  reload_in("DIMMING");
  EXPECT_EQ(capture_.count("[rsm] Adding QUIT from running state machine"), 4u);

  // Without a queue it is only logged.
  auto gone = std::weak_ptr<event_queue>();
  running_state_machine orphan(short_timers(), device_, engine_.callbacks, gone);
  orphan.handle_incoming_event(RELOAD);
  EXPECT_TRUE(capture_.contains("[rsm] Unabled to lock event queue when handling incoming event from rsm"));
}

TEST_F(RunningStateMachineTest, StopSensorAndPauseEventsFromEveryRunningState) {
  create_present(short_timers(20, 5000));
  size_t from = log_.size();
  deliver(STOP_SENSOR);
  EXPECT_EQ(state(), "ENGINE_OFF");
  EXPECT_EQ(log_.commands_since(from), (std::vector<std::string>{"cmd:STOP_USER_ACTIVITY_PROCESS", "engine:suspend"}));
  for (events_t e : {PROXIMITY_NEAR, PROXIMITY_FAR, DISPLAY_REQUIRED_TRUE, EXTERNAL_DISPLAY, OS_TIMERS_DISABLED}) {
    deliver(e);
    EXPECT_EQ(state(), "ENGINE_OFF") << event_name(e);
  }
  deliver(START_SENSOR);
  EXPECT_TRUE(capture_.contains("[rsm] Leaving engine_off"));
  deliver(PROXIMITY_FAR);
  deliver(STOP_SENSOR);
  EXPECT_EQ(state(), "ENGINE_OFF");
  deliver(START_SENSOR);
  enter_dimming();
  deliver(STOP_SENSOR);
  EXPECT_EQ(state(), "ENGINE_OFF");
  for (events_t e : {DISPLAY_REQUIRED_TRUE, EXTERNAL_DISPLAY, OS_TIMERS_DISABLED}) {
    deliver(START_SENSOR);
    deliver(PROXIMITY_FAR);
    deliver(e);
    EXPECT_EQ(state(), "USER_PRESENT") << event_name(e);
  }
}

TEST_F(RunningStateMachineTest, AStateThatCannotBeEnteredLeavesTheMachineInTheOldOne) {
  std::atomic<bool> refuse{false};
  ON_CALL(*device_, send_command(testing::Field(&output_signal_package::signal, output_signal::STOP_USER_ACTIVITY_PROCESS)))
      .WillByDefault([&](const output_signal_package&) -> bool {
        if (refuse) throw std::runtime_error("watcher cannot be stopped");
        log_.add("cmd:STOP_USER_ACTIVITY_PROCESS");
        return true;
      });
  create_present(short_timers(20, 5000));
  refuse = true;
  // ENGINE_OFF's entry action stops the watcher first, so its object cannot be built.
  EXPECT_THROW(deliver(STOP_SENSOR), std::runtime_error);
  EXPECT_EQ(state(), "USER_PRESENT");
  EXPECT_EQ(rsm_->get_state_value(), 1.0f);
  // State and object still agree: the machine goes on from USER_PRESENT.
  refuse = false;
  deliver(PROXIMITY_FAR);
  EXPECT_EQ(state(), "USER_ABSENT");
  deliver(PROXIMITY_NEAR);
  EXPECT_EQ(state(), "USER_PRESENT");
  rsm_.reset();  // its destructor stops the watcher through the action above, which reads this test's flag
}

TEST_F(RunningStateMachineTest, ZeroTimeToDimPushesTheTimeoutAtOnceFromTheMachineThread) {
  create_present(short_timers(0, 5000));
  queue_.drain();
  deliver(PROXIMITY_FAR);
  // Already in the queue when the call returns: pushed on this thread.
  EXPECT_EQ(queue_.drain(), std::vector<events_t>{TIMEOUT_DIM_SCREEN});
  EXPECT_EQ(state(), "USER_ABSENT");
}

TEST_F(RunningStateMachineTest, DestructionInDimmingBrightensAndRestoresTwiceAndJoinsEverything) {
  // The teardown's first step (stopping the watcher) is held past the end of
  // the dimming time, as a slow daemon run does on a loaded machine: the
  // display must not go off while the machine ends (a lock while dimming).
  std::atomic<bool> hold_watcher_stop{false};
  hold_watcher_stop_while(hold_watcher_stop);
  // The teardown starts within 1 s of dimming: room for a late test thread.
  create_present(short_timers(20, 1000));
  enter_dimming();
  const size_t from = log_.size();
  capture_.clear();
  hold_watcher_stop = true;
  rsm_.reset();
  EXPECT_EQ(log_.commands_since(from),
            (std::vector<std::string>{"cmd:STOP_USER_ACTIVITY_PROCESS", "cmd:REMOVE_DIM_SCREEN_OVERLAY",
                                      "cmd:OS_VIDEO_TIMER_RECOVER", "teardown", "cmd:REMOVE_DIM_SCREEN_OVERLAY",
                                      "cmd:OS_VIDEO_TIMER_RECOVER"}));
  auto m = capture_.messages();
  auto exit_line = std::find(m.begin(), m.end(), "[rsm] [~running_state_machine] Exit\n");
  auto leave = std::find(m.begin(), m.end(), "[rsm] leave state_dimming\n");
  ASSERT_NE(exit_line, m.end());
  EXPECT_LT(exit_line, leave);
  EXPECT_TRUE(capture_.contains("[rsm] Exiting check pause conditions async"));
  EXPECT_TRUE(capture_.contains("[rsm] Wait done"));
}

TEST_F(RunningStateMachineTest, DestructionInEngineOffLeavesEngineOff) {
  create_present(short_timers());
  deliver(STOP_SENSOR);
  capture_.clear();
  rsm_.reset();
  auto m = capture_.messages();
  auto exit_line = std::find(m.begin(), m.end(), "[rsm] [~running_state_machine] Exit\n");
  auto leaving = std::find(m.begin(), m.end(), "[rsm] Leaving engine_off\n");
  ASSERT_NE(leaving, m.end());
  EXPECT_LT(exit_line, leaving);
}

TEST_F(RunningStateMachineTest, DisplayOffTimerCannotFireOnceTheUserIsBack) {
  // Brightening takes longer than the rest of the dimming time: the display
  // must still not be turned off in front of the returning user.
  std::promise<void> release;
  auto released = release.get_future().share();
  std::atomic<bool> brightening{false};
  // Set before the machine's tasks exist: GoogleMock's setters are not thread-safe.
  ON_CALL(*device_, send_command(testing::Field(&output_signal_package::signal, output_signal::REMOVE_DIM_SCREEN_OVERLAY)))
      .WillByDefault([&](const output_signal_package&) {
        brightening = true;
        released.wait();
        log_.add("cmd:REMOVE_DIM_SCREEN_OVERLAY");
        return true;
      });
  // The user is back within 1 s of dimming (room for a late test thread);
  // brightening then holds on past the end of the dimming time.
  create_present(short_timers(20, 1000));
  const auto dimmed = enter_dimming();
  auto back = std::async(std::launch::async, [&] { deliver(PROXIMITY_NEAR); });
  ASSERT_TRUE(wait_for([&] { return brightening.load(); }));
  wait_for([&] { return clock_type::now() - dimmed > milliseconds(1200); }, milliseconds(2000));
  release.set_value();
  back.get();
  EXPECT_EQ(state(), "USER_PRESENT");
  EXPECT_FALSE(log_.contains("cmd:OS_VIDEO_TIMER_SCREEN_OFF")) << log_.dump();
  rsm_.reset();  // its destructor brightens through the action above, which uses this test's locals
}

TEST_F(RunningStateMachineTest, GoneCollaboratorsAreLoggedAndSkipped) {
  // A failing watcher start, for the last part. Set before any machine's
  // pause task can call the mock: GoogleMock's setters are not thread-safe.
  ON_CALL(*device_, register_callback(testing::Field(&input_signal_package::signal, input_signal::USER_ACTIVITY)))
      .WillByDefault([](const input_signal_package&) -> bool { throw std::runtime_error("no watcher"); });
  {
    auto device = test::make_device(log_, answers_);
    auto engine = std::make_shared<engine_callback_interface>();  // both callables empty
    sm_config c = short_timers(0, 0);  // both timers fire at once on this thread
    c.allow_hpd_when_system_timer_disabled = true;  // or the missing device would pause dimming
    running_state_machine rsm(c, device, engine, queue_.queue);
    ASSERT_TRUE(queue_.wait_delivered(START_SENSOR));
    rsm.handle_incoming_event(START_SENSOR);
    EXPECT_TRUE(capture_.contains("[rsm] Engine interface suspend callback is nullptr"));
    device.reset();
    rsm.handle_incoming_event(PROXIMITY_FAR);  // time_to_dim 0: TIMEOUT_DIM_SCREEN at once
    rsm.handle_incoming_event(TIMEOUT_DIM_SCREEN);
    EXPECT_EQ(rsm.get_state_name(), "DIMMING");
    engine.reset();
    rsm.handle_incoming_event(STOP_SENSOR);
    EXPECT_EQ(rsm.get_state_name(), "ENGINE_OFF");
  }
  for (const char* line : {
           "[rsm] Unable to lock device interface for wait for activity",
           "[rsm] Unable to lock device interface for display required",
           "[rsm] Unable to lock device interface for external display",
           "[rsm] Unable to lock device interface for dim screen",
           "[rsm] Unable to lock device interface for overriding os video timer",
           "[rsm] Unable to lock device interface for brighten screen",
           "[rsm] Unable to lock device interface for resetting os video timer",
           "[rsm] Unable to lock device interface for stopping user activity proc",
           "[rsm] Unable to lock device interface in running destructor",
           "[rsm] Unable to lock engine interface from running state machine",
       }) {
    EXPECT_TRUE(capture_.contains(line)) << line;
  }
  EXPECT_EQ(capture_.count_containing("WARNING: Unable to create running state machine, failed to start activity process"),
            1u);
  EXPECT_TRUE(capture_.contains("[rsm] [turn_off_screen_with_os_timers] ExitResult of overriding os video timer: False"));

  // An engine that refuses.
  engine_.state_result = false;
  create_present(short_timers());
  deliver(STOP_SENSOR);
  EXPECT_TRUE(capture_.contains("[rsm] Could not resume engine"));
  EXPECT_TRUE(capture_.contains("[rsm] Could not suspend engine"));
  // A refusal is information here (the stopped machine's is an error); a gone collaborator is an error.
  EXPECT_EQ(capture_.level_of("[rsm] Could not resume engine"), 4);
  EXPECT_EQ(capture_.level_of("[rsm] Could not suspend engine"), 4);
  EXPECT_EQ(capture_.level_of("[rsm] Unable to lock engine interface from running state machine"), 2);
  // A failing watcher start is caught and counted as a failure.
  engine_.state_result = true;
  deliver(START_SENSOR);
  deliver(PROXIMITY_FAR);
  EXPECT_EQ(state(), "USER_ABSENT");
  EXPECT_TRUE(capture_.contains("[rsm] Failed to start activity proc"));
  EXPECT_EQ(capture_.count_containing("WARNING: Unable to create running state machine, failed to start activity process"),
            2u);
}

}  // namespace
}  // namespace ostrel
