#include "state_machines/nolvane/state_machine.h"

#include "common/process_flags.h"
#include "state_machine_fakes.h"
#include "trace_capture.h"
#include "wait_for.h"

#include <gtest/gtest.h>
#include <winsim/machine.h>

#include <algorithm>
#include <regex>
#include <stdexcept>

namespace ostrel {
namespace {

using test::journal;
using test::wait_for;
using test::trace_capture;

class StateMachineTest : public ::testing::Test, protected test::collaborators {
 protected:
  StateMachineTest() {
    sm_ = std::make_unique<state_machine>(device_, engine_.callbacks, queue_.queue, &stop_requested);
    EXPECT_TRUE(sm_->set_config(reader_));
  }
  void TearDown() override { sm_.reset(); }

  void deliver(events_t e) { sm_->handle_incoming_event(e); }
  std::string top() const { return state_machine::state_name(sm_->state()); }
  std::string sub() const { return sm_->sub_state_machine() ? sm_->sub_state_machine()->get_state_name() : "-"; }
  // Index of the first captured line equal to `line` (newline added), or -1.
  int line_index(const std::string& line) {
    auto m = capture_.messages();
    auto it = std::find(m.begin(), m.end(), line + "\n");
    return it == m.end() ? -1 : static_cast<int>(it - m.begin());
  }
  std::vector<float> last_vector() {
    auto all = engine_.sent();
    return all.empty() ? std::vector<float>{} : all.back();
  }

  // Every running machine restores the video time-outs first; while
  // `refuse` is set that throws (counted in `attempts`), so no running
  // machine can be built. Call before any machine's tasks exist: GoogleMock's
  // setters are not thread-safe.
  void refuse_running_machines_while(const std::atomic<bool>& refuse, std::atomic<int>& attempts) {
    ON_CALL(*device_,
            send_command(testing::Field(&output_signal_package::signal, output_signal::OS_VIDEO_TIMER_RECOVER)))
        .WillByDefault([&refuse, &attempts](const output_signal_package&) -> bool {
          if (!refuse) return true;
          ++attempts;
          throw std::runtime_error("no video timers");
        });
  }
  // A queue wired as in the service: its callback drives the machine.
  std::shared_ptr<event_queue> driving_queue() {
    auto queue = std::make_shared<event_queue>();
    queue->set_event_callback([this](events_t e) {
      ++handled_;
      sm_->handle_incoming_event(e);
    });
    sm_->set_event_queue(queue);
    return queue;
  }
  // Delivers what `queue` holds; the number of events handled.
  size_t drain(event_queue& queue) {
    const size_t before = handled_;
    while (queue.process_next_event()) {
      if (handled_ - before > 100) break;  // a busy loop: the caller's check tells
    }
    return handled_ - before;
  }

  std::map<std::string, int32_t> settings_;
  std::shared_ptr<testing::NiceMock<test::mock_reader>> reader_ = test::make_reader(settings_);
  std::unique_ptr<state_machine> sm_;
  size_t handled_ = 0;
};

TEST_F(StateMachineTest, InitialStateDecidesOnTheFirstDecidingEvent) {
  const std::vector<std::pair<events_t, std::string>> to_stopped = {{SESSION_LOCK, "LOCKED"},
                                                                     {REMOTE_DESKTOP, "ABSENT"},
                                                                     {DISPLAY_OFF, "ABSENT"},
                                                                     {STOP_MISCONFIGURED, "MISCONFIGURED"},
                                                                     {HPD_SENSOR_UNAVAILABLE, "unknown"}};
  for (const auto& [e, substate] : to_stopped) {
    SCOPED_TRACE(event_name(e));
    sm_ = std::make_unique<state_machine>(device_, engine_.callbacks, queue_.queue, &stop_requested);
    deliver(e);
    EXPECT_EQ(top(), "STOPPED");
    EXPECT_EQ(sub(), substate);
  }
  for (events_t e : {SESSION_UNLOCK, NOT_REMOTE_DESKTOP, DISPLAY_ON, START_MACHINE}) {
    SCOPED_TRACE(event_name(e));
    sm_ = std::make_unique<state_machine>(device_, engine_.callbacks, queue_.queue, &stop_requested);
    deliver(e);
    EXPECT_EQ(top(), "RUNNING");
    EXPECT_EQ(sub(), "ENGINE_OFF");
  }

  // Any other event leaves INITIAL; without a sub-machine only the engine hears of it.
  sm_ = std::make_unique<state_machine>(device_, engine_.callbacks, queue_.queue, &stop_requested);
  capture_.clear();
  engine_.send_cb.Call(0, nullptr, 0);  // a separator in the recorded vectors
  deliver(PROXIMITY_FAR);
  EXPECT_EQ(top(), "INITIAL");
  EXPECT_EQ(sub(), "-");
  EXPECT_EQ(last_vector(), (std::vector<float>{3, 0, 0, -1, -1}));
  EXPECT_EQ(engine_.ids.back(), 1407u);
  EXPECT_EQ(engine_.sizes.back(), 20u);
  EXPECT_EQ(capture_.messages(), std::vector<std::string>{"[sm] state_machine::handle_incoming_event: PROXIMITY_FAR\n"});

  // RELOAD ends the load at once.
  queue_.queue->add_event(LOCK_REQUESTED);
  deliver(RELOAD);
  EXPECT_EQ(top(), "INITIAL");
  EXPECT_TRUE(queue_.drain().empty());  // QUIT emptied the queue
  EXPECT_TRUE(capture_.contains("[sm] Adding QUIT from leave detection state machine"));

  EXPECT_STREQ(state_machine::state_name(static_cast<state_machine::states_t>(3)), "");
}

TEST_F(StateMachineTest, TransitionsBuildTheNewSubMachineBeforeTheOldOneGoes) {
  deliver(SESSION_UNLOCK);
  ASSERT_EQ(top(), "RUNNING");
  // RUNNING forwards everything else to the running machine.
  deliver(START_SENSOR);
  EXPECT_EQ(sub(), "USER_PRESENT");
  deliver(RELOAD);
  EXPECT_EQ(top(), "RUNNING");
  EXPECT_TRUE(capture_.contains("[rsm] Adding QUIT from running state machine"));

  // Each way into STOPPED, with the event that brings the user back.
  const std::pair<events_t, events_t> leaves[] = {{SESSION_LOCK, SESSION_UNLOCK},
                                                  {REMOTE_DESKTOP, NOT_REMOTE_DESKTOP},
                                                  {DISPLAY_OFF, DISPLAY_ON},
                                                  {HPD_SENSOR_UNAVAILABLE, HPD_SENSOR_AVAILABLE}};
  for (const auto& [leave, back] : leaves) {
    SCOPED_TRACE(event_name(leave));
    capture_.clear();
    deliver(leave);
    EXPECT_EQ(top(), "STOPPED");
    const int built = line_index("[ssm] stopped_state_machine::stopped_state_machine()");
    const int gone = line_index("[rsm] [~running_state_machine] Enter");
    ASSERT_GE(built, 0);
    ASSERT_GE(gone, 0);
    EXPECT_LT(built, gone);
    // The event reaches the new machine after the old one is gone.
    EXPECT_LT(gone, line_index(std::string("[ssm] Incoming event in Locked state ") + event_name(leave)));

    // STOPPED forwards everything else to the stopped machine.
    deliver(PROXIMITY_FAR);
    EXPECT_EQ(top(), "STOPPED");
    EXPECT_TRUE(capture_.contains("[ssm] Incoming event in Locked state PROXIMITY_FAR"));

    capture_.clear();
    if (back != HPD_SENSOR_AVAILABLE) {
      // The stopped machine answers the return with START_MACHINE (beside
      // whatever the old running machine's poll pushed).
      queue_.drain();
      deliver(back);
      EXPECT_EQ(top(), "STOPPED");
      const auto asked = queue_.drain();
      ASSERT_NE(std::find(asked.begin(), asked.end(), START_MACHINE), asked.end());
      deliver(START_MACHINE);
    } else {
      deliver(back);
    }
    EXPECT_EQ(top(), "RUNNING");
    EXPECT_EQ(sub(), "ENGINE_OFF");
    const int running_built = line_index("[rsm] [running_state_machine] Exit");
    const int stopped_gone = line_index("[ssm] [~stopped_state_machine] Enter");
    ASSERT_GE(running_built, 0);
    ASSERT_GE(stopped_gone, 0);
    EXPECT_LT(running_built, stopped_gone);
  }

  // Disabled: nothing but a reload ends it.
  deliver(STOP_MISCONFIGURED);
  EXPECT_EQ(sub(), "MISCONFIGURED");
  deliver(START_MACHINE);
  EXPECT_EQ(top(), "STOPPED");

  // A disabled load whose first event left for STOPPED before the one that
  // says it is disabled: the return does not start leave detection either.
  const std::vector<std::pair<events_t, events_t>> first_away = {
      {SESSION_LOCK, SESSION_UNLOCK}, {DISPLAY_OFF, DISPLAY_ON}, {HPD_SENSOR_UNAVAILABLE, HPD_SENSOR_AVAILABLE}};
  for (const auto& [leave, back] : first_away) {
    SCOPED_TRACE(event_name(leave));
    sm_->reset();
    for (events_t e : {leave, STOP_MISCONFIGURED, back, START_MACHINE}) deliver(e);
    EXPECT_EQ(top() + "/" + sub(), "STOPPED/MISCONFIGURED");
    deliver(RELOAD);
    EXPECT_EQ(sub(), "RELOAD_UNLOCKED");
  }
}

TEST_F(StateMachineTest, ResetKeepsTheSubMachineUntilTheNextTransition) {
  deliver(SESSION_UNLOCK);
  deliver(START_SENSOR);
  sm_->reset();
  EXPECT_EQ(top(), "INITIAL");
  deliver(PROXIMITY_FAR);  // forwarded to the running machine left from before
  EXPECT_EQ(top(), "INITIAL");
  EXPECT_EQ(sub(), "USER_ABSENT");
  EXPECT_EQ(last_vector(), (std::vector<float>{3, 0, 0, 2, 1}));
  deliver(SESSION_LOCK);
  EXPECT_EQ(top(), "STOPPED");
  EXPECT_EQ(sub(), "LOCKED");
}

TEST_F(StateMachineTest, TraceLineAndStateVectorAfterEveryEvent) {
  deliver(SESSION_UNLOCK);
  const std::regex first(
      R"(\[sm\] event:SESSION_UNLOCK state:RUNNING substate:ENGINE_OFF prev_event:NONE prev_state:INITIAL )"
      R"(prev_substate:none duration:[0-9.e-]+\n)");
  auto m = capture_.messages();
  EXPECT_EQ(std::count_if(m.begin(), m.end(), [&](const std::string& l) { return std::regex_match(l, first); }), 1)
      << capture_.dump();
  EXPECT_TRUE(capture_.contains("[sm] Start handling of sub-state machine of event: SESSION_UNLOCK"));
  EXPECT_TRUE(capture_.contains("[sm] End handling of sub-state machine of event: SESSION_UNLOCK"));
  EXPECT_EQ(last_vector(), (std::vector<float>{1, 2, 0, 0, 0}));

  deliver(START_SENSOR);
  EXPECT_EQ(last_vector(), (std::vector<float>{21, 2, 2, 1, 0}));
  EXPECT_EQ(capture_.count_containing(
                "[sm] event:START_SENSOR state:RUNNING substate:USER_PRESENT prev_event:SESSION_UNLOCK "
                "prev_state:RUNNING prev_substate:ENGINE_OFF duration:"),
            1u);

  // The same event again with no sub-state change: no lines, but the engine still hears of it.
  capture_.clear();
  const size_t vectors = engine_.sent().size();
  deliver(START_SENSOR);
  EXPECT_EQ(engine_.sent().size(), vectors + 1);
  // The running machine's pause task logs on its own thread whenever it likes.
  auto lines = capture_.messages();
  lines.erase(std::remove_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("[sm] ", 0) != 0; }),
              lines.end());
  EXPECT_EQ(lines, std::vector<std::string>{"[sm] state_machine::handle_incoming_event: START_SENSOR\n"});

  // The same event again but with a sub-state change: the trace line comes, the handling lines do not.
  deliver(PROXIMITY_FAR);
  deliver(PROXIMITY_NEAR);
  deliver(STOP_SENSOR);
  capture_.clear();
  deliver(STOP_SENSOR);  // ENGINE_OFF stays: nothing
  EXPECT_EQ(capture_.count_containing("[sm] event:"), 0u);
}

TEST_F(StateMachineTest, ARunningMachineThatCannotBeBuiltIsRetriedThenLeftStopped) {
  std::atomic<bool> refuse{true};
  std::atomic<int> attempts{0};
  refuse_running_machines_while(refuse, attempts);
  // A pause condition holds, so that a running machine's polls push nothing.
  answers_.display_required = true;
  auto queue = driving_queue();
  auto drain = [&] { return this->drain(*queue); };
  const std::string failed = "[sm] Handle incoming event failed: no video timers";
  const std::string gave_up =
      "ERROR: Unable to create running state machine. Leave detection stays stopped until the service reloads\n";

  // The user is back; the build fails. No busy loop: the stopped machine's
  // request is not answered with another, and nothing is pushed to the engine
  // that would say RUNNING.
  queue->add_event(SESSION_LOCK);
  queue->add_event(SESSION_UNLOCK);
  EXPECT_LE(drain(), 4u);
  EXPECT_EQ(attempts, 1);
  EXPECT_EQ(top() + "/" + sub(), "STOPPED/UNLOCKED");
  EXPECT_EQ(last_vector().at(1), 1.0f);
  EXPECT_EQ(log_.count("engine:resume"), 0u);
  queue->add_event(PROXIMITY_NEAR);  // any event: the stopped machine asks again, and is not heard
  EXPECT_LE(drain(), 2u);
  EXPECT_EQ(attempts, 1);

  // The retry comes after the pause, and succeeds.
  refuse = false;
  ASSERT_TRUE(wait_for([&] {
    drain();
    return sm_->state() == state_machine::RUNNING;
  }));
  EXPECT_EQ(sub(), "ENGINE_OFF");
  EXPECT_EQ(capture_.count(failed), 1u);

  // Failing for good: logged once, retried three times a pause apart, then
  // left in STOPPED with the engine suspended, and the event log says so.
  queue->add_event(SESSION_LOCK);
  drain();
  refuse = true;  // after the running machine has gone: its destructor restores the time-outs too
  attempts = 0;
  const auto first = std::chrono::steady_clock::now();
  queue->add_event(SESSION_UNLOCK);
  drain();
  ASSERT_TRUE(wait_for(
      [&] {
        drain();
        return capture_.count_containing("Unable to create running state machine. Leave detection stays") > 0;
      },
      std::chrono::seconds(15)))
      << capture_.dump();
  EXPECT_GE(std::chrono::steady_clock::now() - first, 3 * running_machine_retry_delay);
  EXPECT_EQ(attempts, 1 + running_machine_retries);
  EXPECT_EQ(capture_.count(failed), 2u);
  EXPECT_EQ(top() + "/" + sub(), "STOPPED/UNLOCKED");
  EXPECT_EQ(log_.last_starting_with("engine:"), "engine:suspend");
  std::vector<std::string> event_log;
  for (const auto& entry : winsim::machine::event_log()) event_log.push_back(entry.strings.at(1));
  EXPECT_EQ(event_log, std::vector<std::string>{gave_up});
  // Given up: nothing more is tried, whatever comes.
  queue->add_event(SESSION_LOCK);
  queue->add_event(SESSION_UNLOCK);
  queue->add_event(HPD_SENSOR_AVAILABLE);
  EXPECT_LE(drain(), 6u);
  wait_for([] { return false; }, running_machine_retry_delay * 3 / 2);
  EXPECT_EQ(drain(), 0u);
  EXPECT_EQ(attempts, 1 + running_machine_retries);

  // A reload is carried out (the user is at an unlocked session), and the
  // next load tries again.
  queue->add_event(RELOAD);
  queue->add_event(LOCK_REQUESTED);
  drain();
  EXPECT_TRUE(capture_.contains("[ssm] Adding QUIT from stopped state machine"));
  refuse = false;
  sm_->reset();
  queue->add_event(SESSION_UNLOCK);
  drain();
  EXPECT_EQ(top(), "RUNNING");
  // The running machine's destructor restores the time-outs through the
  // action above, which reads `refuse` and `attempts`: it must go while they
  // still exist, not in TearDown.
  sm_.reset();
}

TEST_F(StateMachineTest, AFailedBuildAfterAReloadWaitsWithTheNewLoadsStoppedMachine) {
  std::atomic<bool> refuse{false};
  std::atomic<int> attempts{0};
  refuse_running_machines_while(refuse, attempts);
  answers_.display_required = true;
  // A load that ends in a reload once the user is back: its stopped machine
  // is left in RELOAD_UNLOCKED.
  auto queue = driving_queue();
  for (events_t e : {SESSION_LOCK, RELOAD, SESSION_UNLOCK}) queue->add_event(e);
  drain(*queue);
  ASSERT_EQ(sub(), "RELOAD_UNLOCKED");

  // The next load, with its own engine and queue (the old queue is gone):
  // its first build fails. The machine waits with this load's engine
  // suspended, and the retry after the pause builds the running machine.
  test::journal next_log;
  test::fake_engine next_engine{next_log};
  sm_->set_engine_interface(next_engine.callbacks);
  queue = driving_queue();
  sm_->reset();
  refuse = true;
  queue->add_event(SESSION_UNLOCK);
  drain(*queue);
  EXPECT_EQ(attempts, 1);
  EXPECT_EQ(top() + "/" + sub(), "STOPPED/UNLOCKED");
  EXPECT_EQ(next_log.last_starting_with("engine:"), "engine:suspend");
  refuse = false;
  EXPECT_TRUE(wait_for([&] {
    drain(*queue);
    return sm_->state() == state_machine::RUNNING;
  }));
  sm_.reset();  // its running machine restores the time-outs through the action above, which reads `refuse`
}

TEST_F(StateMachineTest, SetConfigReadsChecksAndComputesTheTimers) {
  EXPECT_EQ(sm_->config().time_to_dim_ms, 40000);  // defaults: 45 s to lock, 5 s dimming
  EXPECT_EQ(sm_->config().dim_duration_ms, 5000);

  settings_["LockScreenTimeout"] = 10;
  settings_["DimDuration"] = 8;
  settings_["EnableAlwaysRequireSignIn"] = 1;
  settings_["LockAfterDisplayOff"] = 1;
  ASSERT_TRUE(sm_->set_config(reader_));
  EXPECT_EQ(sm_->config().time_to_dim_ms, 5000);
  EXPECT_EQ(sm_->config().dim_duration_ms, 8000);
  EXPECT_TRUE(sm_->config().always_require_sign_in);
  EXPECT_TRUE(sm_->config().force_lock_after_display_off);
  EXPECT_FALSE(sm_->config().force_sleep_after_display_off);
  EXPECT_FALSE(sm_->config().allow_leave_with_external_monitor);

  settings_["LockScreenTimeout"] = 60;
  settings_["DimDuration"] = 10;
  ASSERT_TRUE(sm_->set_config(reader_));
  EXPECT_EQ(sm_->config().time_to_dim_ms, 50000);  // display off 60 s after leaving
  EXPECT_EQ(sm_->config().dim_duration_ms, 10000);

  // Invalid values: every check is made, the old settings stay.
  settings_["LockScreenTimeout"] = -1;
  settings_["ResetOsIdleTimer"] = 2;
  settings_["SleepAfterDisplayOff"] = -1;  // above 1 when read unsigned
  capture_.clear();
  EXPECT_FALSE(sm_->set_config(reader_));
  EXPECT_EQ(capture_.messages(),
            (std::vector<std::string>{"[sm] CONFIG ERROR: 'lock_screen_timeout' is negative\n",
                                      "[sm] CONFIG ERROR: 'reset_os_idle_timer' is not boolean\n",
                                      "[sm] CONFIG ERROR: 'force_sleep_after_display_off' is not boolean\n"}));
  EXPECT_EQ(sm_->config().time_to_dim_ms, 50000);
  EXPECT_FALSE(sm_->config().reset_os_idle_timer);

  // Extreme values cannot overflow the arithmetic.
  settings_.clear();
  settings_["DimDuration"] = 0x7FFFFFFF;
  ASSERT_TRUE(sm_->set_config(reader_));
  EXPECT_EQ(sm_->config().time_to_dim_ms, 5000);
  EXPECT_EQ(sm_->config().dim_duration_ms, int64_t{0x7FFFFFFF} * 1000);

  // Each new sub-machine takes the settings of its time.
  settings_["DimDuration"] = 5;
  settings_["LockScreenTimeout"] = 0;
  ASSERT_TRUE(sm_->set_config(reader_));
  EXPECT_EQ(sm_->config().time_to_dim_ms, 5000);

  reader_.reset();
  EXPECT_FALSE(sm_->set_config(nullptr));
  EXPECT_TRUE(capture_.contains("[sm] CONFIG ERROR: Unable to lock config reader when reading SM config"));
}

TEST_F(StateMachineTest, SensorAvailabilityKeepsDeviceCompatibilityInStep) {
  settings_["DeviceCompatibility"] = 1;
  EXPECT_CALL(*reader_, write_dword(testing::Field(&config::dword_entry::name, testing::StrEq("DeviceCompatibility")),
                                    testing::_))
      .Times(2);
  deliver(SESSION_UNLOCK);
  deliver(HPD_SENSOR_UNAVAILABLE);
  EXPECT_EQ(settings_["DeviceCompatibility"], 0);
  EXPECT_EQ(top(), "STOPPED");
  EXPECT_EQ(sub(), "unknown");
  EXPECT_EQ(capture_.count_containing("] Setting device compatability to 0"), 1u);
  EXPECT_EQ(capture_.count_containing("[sm] [state_machine.cpp:"), 2u);  // both lines located
  deliver(HPD_SENSOR_UNAVAILABLE);  // already 0: no write
  deliver(HPD_SENSOR_AVAILABLE);
  EXPECT_EQ(settings_["DeviceCompatibility"], 1);
  EXPECT_EQ(top(), "RUNNING");
  deliver(HPD_SENSOR_AVAILABLE);  // already 1: no write
  EXPECT_EQ(top(), "RUNNING");
  testing::Mock::VerifyAndClearExpectations(reader_.get());

  reader_.reset();
  deliver(HPD_SENSOR_UNAVAILABLE);
  EXPECT_EQ(capture_.count_containing(
                "] CONFIG WARNING: Unable to lock config reader when setting device compatability"),
            1u);
  EXPECT_EQ(top(), "STOPPED");
}

TEST_F(StateMachineTest, DisplayEventsRestoreTheVideoTimeouts) {
  deliver(SESSION_UNLOCK);
  size_t from = log_.size();
  deliver(DISPLAY_OFF);
  EXPECT_EQ(top(), "STOPPED");
  EXPECT_EQ(sub(), "ABSENT");
  // Restored before the transition, then the running machine restores its own on the way out.
  EXPECT_EQ(log_.commands_since(from).at(0), "cmd:OS_VIDEO_TIMER_RECOVER");
  EXPECT_TRUE(capture_.contains("[sm] [reset_os_video_timers] ExitResult of resetting os video timer: True"));

  from = log_.size();
  queue_.drain();
  deliver(DISPLAY_ON);
  EXPECT_EQ(top(), "STOPPED");
  EXPECT_EQ(sub(), "UNLOCKED");
  EXPECT_EQ(log_.commands_since(from), std::vector<std::string>{"cmd:OS_VIDEO_TIMER_RECOVER"});
  EXPECT_EQ(queue_.drain(), std::vector<events_t>{START_MACHINE});

  answers_.commands_succeed = false;
  deliver(DISPLAY_OFF);
  EXPECT_EQ(capture_.count_containing("] WARNING: Failed to reset os video timers"), 1u);
  device_.reset();
  deliver(DISPLAY_ON);
  EXPECT_TRUE(capture_.contains("[sm] Unable to lock device interface for resetting os video timer"));
  EXPECT_EQ(capture_.count_containing("] WARNING: Failed to reset os video timers"), 2u);
}

TEST_F(StateMachineTest, StartAsksForTheSessionOrGoesStopped) {
  EXPECT_TRUE(sm_->start());
  EXPECT_EQ(log_.entries(), (std::vector<std::string>{"ask:IS_USER_TOKEN_AVAILABLE", "ask:IS_SESSION_LOCKED",
                                                       "ask:IS_REMOTE_SESSION"}));
  EXPECT_TRUE(capture_.contains("[sm] Leave detection state machine has started"));
  EXPECT_TRUE(queue_.drain().empty());

  answers_.user_token_available = false;
  EXPECT_TRUE(sm_->start());
  EXPECT_TRUE(capture_.contains("[sm] User token is not available, going into stopped state"));
  EXPECT_EQ(queue_.drain(), std::vector<events_t>{SESSION_LOCK});
  deliver(SESSION_LOCK);
  EXPECT_EQ(top(), "STOPPED");
  EXPECT_EQ(sub(), "LOCKED");

  // A user at the lock screen: the device interface pushes nothing for a
  // locked session, so start does, or a display event would start leave
  // detection from INITIAL.
  answers_.user_token_available = true;
  answers_.session_locked = true;
  sm_ = std::make_unique<state_machine>(device_, engine_.callbacks, queue_.queue, &stop_requested);
  EXPECT_TRUE(sm_->start());
  EXPECT_TRUE(capture_.contains("[sm] Session is locked, going into stopped state"));
  EXPECT_EQ(queue_.drain(), std::vector<events_t>{SESSION_LOCK});
  deliver(SESSION_LOCK);
  deliver(DISPLAY_ON);
  EXPECT_EQ(top(), "STOPPED");
  EXPECT_EQ(sub(), "LOCKED");

  device_.reset();
  EXPECT_TRUE(sm_->start());
  EXPECT_TRUE(capture_.contains("[sm] Unable to lock device interface for user token available"));
  queue_.queue.reset();
  EXPECT_FALSE(sm_->start());
  EXPECT_TRUE(capture_.contains("[sm] Unable to lock event queue when starting ldsm"));
}

TEST_F(StateMachineTest, LockAndUnlockThroughTheQueue) {
  // The real wiring: the queue's callback drives the machine. A pause
  // condition holds, so the running machines stay in ENGINE_OFF and their
  // polls push nothing that could interleave with the events below.
  answers_.display_required = true;
  auto queue = std::make_shared<event_queue>();
  sm_->set_event_queue(queue);
  std::vector<std::string> path;
  queue->set_event_callback([&](events_t e) {
    sm_->handle_incoming_event(e);
    path.push_back(top() + "/" + sub());
  });
  queue->add_event(SESSION_UNLOCK);
  queue->add_event(SESSION_LOCK);
  queue->add_event(SESSION_UNLOCK);  // the stopped machine answers with START_MACHINE
  while (queue->process_next_event()) {
  }
  EXPECT_EQ(path, (std::vector<std::string>{"RUNNING/ENGINE_OFF", "STOPPED/LOCKED", "STOPPED/UNLOCKED",
                                            "RUNNING/ENGINE_OFF"}));
  EXPECT_EQ(log_.count("engine:suspend"), 1u);
  // RELOAD while running ends the load: the QUIT it pushes empties the queue.
  queue->add_event(RELOAD);
  queue->add_event(LOCK_REQUESTED);
  EXPECT_TRUE(queue->process_next_event());
  EXPECT_FALSE(queue->process_next_event());
}

TEST_F(StateMachineTest, GoneEngineAndDestructionOrder) {
  auto empty = std::make_shared<engine_callback_interface>();
  sm_->set_engine_interface(empty);
  deliver(PROXIMITY_FAR);
  EXPECT_TRUE(capture_.contains("[sm] Engine interface sensor input callback is nullptr"));
  empty.reset();
  deliver(PROXIMITY_FAR);
  EXPECT_TRUE(capture_.contains("[sm] Unable to lock engine interface from push states to engine"));

  deliver(SESSION_LOCK);
  capture_.clear();
  sm_.reset();
  EXPECT_EQ(capture_.messages().at(0), "[sm] state_machine::~state_machine\n");
  EXPECT_EQ(capture_.messages().at(1), "[ssm] [~stopped_state_machine] Enter\n");
}

TEST_F(StateMachineTest, NeitherALateSensorNorAStaleStartRunsLeaveDetectionOnALockedSession) {
  // The real wiring, with a pause condition holding so that the running
  // machines' polls push nothing into the sequences below.
  answers_.display_required = true;
  auto queue = std::make_shared<event_queue>();
  sm_->set_event_queue(queue);
  queue->set_event_callback([&](events_t e) { sm_->handle_incoming_event(e); });
  auto run = [&](std::initializer_list<events_t> queued_together) {
    for (events_t e : queued_together) queue->add_event(e);
    while (queue->process_next_event()) {
    }
  };
  run({SESSION_UNLOCK});
  run({START_SENSOR});  // the engine resumed; the pause condition may stop it again at any time
  ASSERT_EQ(top(), "RUNNING");
  ASSERT_TRUE(log_.contains("engine:resume"));

  // A report that was on its way when the session locked.
  run({SESSION_LOCK, HPD_SENSOR_AVAILABLE});
  EXPECT_EQ(top() + "/" + sub(), "STOPPED/LOCKED");
  // A quick unlock and relock: the START_MACHINE the unlock asks for comes after the lock.
  run({SESSION_UNLOCK, SESSION_LOCK});
  EXPECT_EQ(top() + "/" + sub(), "STOPPED/LOCKED");
  // The display comes on and the session locks at once.
  run({DISPLAY_OFF});
  run({DISPLAY_ON, SESSION_LOCK});
  EXPECT_EQ(top() + "/" + sub(), "STOPPED/LOCKED");
  EXPECT_EQ(log_.last_starting_with("engine:"), "engine:suspend");

  // The sensor that came back while locked is remembered: the unlock starts as usual.
  run({SESSION_UNLOCK});
  EXPECT_EQ(top() + "/" + sub(), "RUNNING/ENGINE_OFF");
}

// One load of the top-level machine with fake collaborators, driven through
// its queue. Checks after each step, once the queue is drained, that a lock
// leaves leave detection stopped and the engine suspended.
class locked_session_check {
 public:
  locked_session_check() {
    answers_.display_required = true;  // the running machines' polls push nothing that matters
    queue_->set_event_callback([this](events_t e) {
      if (e == SESSION_LOCK) locked_ = true;
      if (e == SESSION_UNLOCK) locked_ = false;
      sm_.handle_incoming_event(e);
    });
  }
  // Queues the events together, drains the queue; returns how many events
  // were handled, the ones they asked for included.
  size_t step(const std::vector<events_t>& together) {
    path_ += "[";
    for (events_t e : together) {
      path_ += std::string(" ") + event_name(e);
      queue_->add_event(e);
    }
    path_ += " ]";
    size_t handled = 0;
    while (queue_->process_next_event()) ++handled;
    const bool resumed = log_.last_starting_with("engine:") == "engine:resume";
    if (locked_ && (sm_.state() == state_machine::RUNNING || resumed)) {
      ADD_FAILURE() << "locked, yet " << state_machine::state_name(sm_.state())
                    << (resumed ? " with the engine resumed" : "") << " after" << path_;
      ++failures;
    }
    return handled;
  }
  static inline size_t failures = 0;

 private:
  test::journal log_;
  test::device_answers answers_;
  std::shared_ptr<testing::NiceMock<test::mock_device>> device_ = test::make_device(log_, answers_);
  test::fake_engine engine_{log_};
  std::shared_ptr<event_queue> queue_ = std::make_shared<event_queue>();
  state_machine sm_{device_, engine_.callbacks, queue_, &stop_requested};
  bool locked_ = false;
  std::string path_;
};

// Every sequence of up to three of the events that move the top-level and
// stopped machines or resume the engine, from INITIAL and from a running
// machine with the engine resumed, delivered one at a time or with two of
// them queued together (the second comes before what the first asked for,
// such as the START_MACHINE of an unlock, is handled): a lock always leaves
// leave detection stopped and the engine suspended. Queued together differs
// from one at a time only when the first event asks for more, so the other
// pairs are not run twice. Left out: RELOAD and STOP_MISCONFIGURED, which end
// or begin a load, and REMOTE_DESKTOP and NOT_REMOTE_DESKTOP, another reason
// to be away that moves the machines as DISPLAY_OFF and DISPLAY_ON do.
TEST(StateMachineProperty, NoEventSequenceRunsLeaveDetectionOnALockedSession) {
  const events_t alphabet[] = {SESSION_LOCK,  SESSION_UNLOCK,       DISPLAY_OFF,            DISPLAY_ON,
                               START_MACHINE, HPD_SENSOR_AVAILABLE, HPD_SENSOR_UNAVAILABLE, START_SENSOR};
  const std::vector<events_t> starts[] = {{}, {SESSION_UNLOCK, START_SENSOR}};
  using steps = std::vector<std::vector<events_t>>;
  // Runs a sequence from a start; the number of events each step handled.
  auto run = [](const std::vector<events_t>& start, const steps& sequence) {
    locked_session_check check;
    for (events_t e : start) check.step({e});
    std::vector<size_t> handled;
    for (const auto& together : sequence) handled.push_back(check.step(together));
    return handled;
  };
  size_t runs = 0;
  for (const auto& start : starts) {
    for (events_t a : alphabet) {
      const bool a_asks = run(start, {{a}}).at(0) > 1;
      for (events_t b : alphabet) {
        const bool b_asks = run(start, {{a}, {b}}).at(1) > 1;
        if (a_asks) run(start, {{a, b}});
        for (events_t c : alphabet) {
          run(start, {{a}, {b}, {c}});
          if (a_asks) run(start, {{a, b}, {c}});
          if (b_asks) run(start, {{a}, {b, c}});
          runs += 1 + a_asks + b_asks;
          if (locked_session_check::failures >= 10) return;
        }
      }
    }
  }
  RecordProperty("sequences_of_three", static_cast<int>(runs));
}

}  // namespace
}  // namespace ostrel
