#include "state_machines/nolvane/stopped_state_machine.h"

#include "state_machine_fakes.h"
#include "trace_capture.h"

#include <gtest/gtest.h>
#include <winsim/machine.h>

#include <map>
#include <utility>
#include <vector>

namespace ostrel {
namespace {

using ssm = stopped_state_machine;
using test::journal;
using test::trace_capture;

// The transition table, written out independently of the machine:
// (state, event) -> next state; every other pair leaves the state alone. An
// away state is left only by the event that ends the reason its path (below)
// gave: DISPLAY_ON after DISPLAY_OFF, NOT_REMOTE_DESKTOP after REMOTE_DESKTOP.
std::map<std::pair<ssm::states_t, events_t>, ssm::states_t> transitions() {
  std::map<std::pair<ssm::states_t, events_t>, ssm::states_t> t;
  auto row = [&t](ssm::states_t s, std::vector<events_t> events, ssm::states_t n) {
    for (events_t e : events) t[{s, e}] = n;
  };
  row(ssm::LOCKED, {SESSION_UNLOCK}, ssm::UNLOCKED);
  row(ssm::LOCKED, {REMOTE_DESKTOP, DISPLAY_OFF}, ssm::LOCKED_ABSENT);
  row(ssm::LOCKED, {RELOAD}, ssm::RELOAD_LOCKED);
  row(ssm::UNLOCKED, {SESSION_LOCK}, ssm::LOCKED);
  row(ssm::UNLOCKED, {REMOTE_DESKTOP, DISPLAY_OFF}, ssm::ABSENT);
  row(ssm::UNLOCKED, {STOP_MISCONFIGURED}, ssm::MISCONFIGURED);
  row(ssm::UNLOCKED, {HPD_SENSOR_UNAVAILABLE}, ssm::SENSOR_UNAVAILABLE);
  row(ssm::UNLOCKED, {RELOAD}, ssm::RELOAD_UNLOCKED);
  row(ssm::MISCONFIGURED, {RELOAD}, ssm::RELOAD_UNLOCKED);
  row(ssm::ABSENT, {SESSION_LOCK}, ssm::LOCKED_ABSENT);
  row(ssm::ABSENT, {DISPLAY_ON}, ssm::UNLOCKED);
  row(ssm::ABSENT, {RELOAD}, ssm::RELOAD_ABSENT);
  row(ssm::LOCKED_ABSENT, {SESSION_UNLOCK}, ssm::ABSENT);
  row(ssm::LOCKED_ABSENT, {NOT_REMOTE_DESKTOP}, ssm::LOCKED);
  row(ssm::LOCKED_ABSENT, {RELOAD}, ssm::RELOAD_LOCKED_ABSENT);
  row(ssm::RELOAD_LOCKED, {SESSION_UNLOCK}, ssm::RELOAD_UNLOCKED);
  row(ssm::RELOAD_LOCKED, {REMOTE_DESKTOP, DISPLAY_OFF}, ssm::RELOAD_LOCKED_ABSENT);
  row(ssm::RELOAD_ABSENT, {SESSION_LOCK}, ssm::RELOAD_LOCKED_ABSENT);
  row(ssm::RELOAD_ABSENT, {NOT_REMOTE_DESKTOP}, ssm::RELOAD_UNLOCKED);
  row(ssm::RELOAD_LOCKED_ABSENT, {SESSION_UNLOCK}, ssm::RELOAD_ABSENT);
  row(ssm::RELOAD_LOCKED_ABSENT, {DISPLAY_ON}, ssm::RELOAD_LOCKED);
  row(ssm::SENSOR_UNAVAILABLE, {HPD_SENSOR_AVAILABLE}, ssm::UNLOCKED);
  row(ssm::SENSOR_UNAVAILABLE, {SESSION_LOCK}, ssm::LOCKED);
  row(ssm::SENSOR_UNAVAILABLE, {REMOTE_DESKTOP, DISPLAY_OFF}, ssm::ABSENT);
  row(ssm::SENSOR_UNAVAILABLE, {RELOAD}, ssm::RELOAD_UNLOCKED);
  // A disabled load stays disabled, whichever way the user is back.
  row(ssm::SENSOR_UNAVAILABLE, {STOP_MISCONFIGURED}, ssm::MISCONFIGURED);
  row(ssm::ABSENT, {STOP_MISCONFIGURED}, ssm::MISCONFIGURED);
  return t;
}

// How each state is reached from the machine's initial UNLOCKED.
// RELOAD_MISCONFIGURED has no way in.
const std::vector<std::pair<ssm::states_t, std::vector<events_t>>> paths = {
    {ssm::LOCKED, {SESSION_LOCK}},
    {ssm::UNLOCKED, {}},
    {ssm::MISCONFIGURED, {STOP_MISCONFIGURED}},
    {ssm::ABSENT, {DISPLAY_OFF}},
    {ssm::LOCKED_ABSENT, {SESSION_LOCK, REMOTE_DESKTOP}},
    {ssm::RELOAD_LOCKED, {SESSION_LOCK, RELOAD}},
    {ssm::RELOAD_ABSENT, {REMOTE_DESKTOP, RELOAD}},
    {ssm::RELOAD_LOCKED_ABSENT, {SESSION_LOCK, DISPLAY_OFF, RELOAD}},
    {ssm::RELOAD_UNLOCKED, {STOP_MISCONFIGURED, RELOAD}},
    {ssm::SENSOR_UNAVAILABLE, {HPD_SENSOR_UNAVAILABLE}},
};

class StoppedStateMachineTest : public ::testing::Test, protected test::collaborators {
 protected:
  std::unique_ptr<ssm> create(bool always_require_sign_in = false) {
    sm_config c;
    c.always_require_sign_in = always_require_sign_in;
    return std::make_unique<ssm>(c, device_, queue_.queue, engine_.callbacks);
  }
  // What one event did: START_MACHINE pushed, QUIT pushed, workstation locked.
  struct actions {
    bool start_machine;
    bool quit;
    bool locked;
  };
  actions deliver(ssm& m, events_t e) {
    queue_.drain();
    queue_.queue->add_event(LOCK_REQUESTED);  // QUIT empties the queue: this marker shows it
    const size_t locks = log_.count("cmd:TURN_OFF_DISPLAY_AND_LOCK");
    const size_t markers = queue_.count(LOCK_REQUESTED);
    const size_t starts = queue_.count(START_MACHINE);
    m.handle_incoming_event(e);
    queue_.drain();
    return {queue_.count(START_MACHINE) > starts, queue_.count(LOCK_REQUESTED) == markers,
            log_.count("cmd:TURN_OFF_DISPLAY_AND_LOCK") > locks};
  }
  ssm::states_t state_of(const ssm& m) { return static_cast<ssm::states_t>(m.get_state_value()); }

};

TEST_F(StoppedStateMachineTest, ConstructionSuspendsTheEngineAndDestructionResumesNothing) {
  {
    auto m = create();
    EXPECT_EQ(log_.entries(), (std::vector<std::string>{"engine:suspend"}));
    EXPECT_EQ(m->get_state_name(), "UNLOCKED");
    EXPECT_EQ(m->get_state_value(), 1.0f);
    EXPECT_TRUE(m->is_active());
  }
  EXPECT_EQ(log_.entries(), (std::vector<std::string>{"engine:suspend"}));
  EXPECT_EQ(capture_.messages(), (std::vector<std::string>{
                                     "[ssm] stopped_state_machine::stopped_state_machine()\n",
                                     "[ssm] [suspend_engine] Enter\n",
                                     "[ssm] [suspend_engine] Exit\n",
                                     "[ssm] [~stopped_state_machine] Enter\n",
                                     "[ssm] [~stopped_state_machine] Exit\n",
                                 }));
  EXPECT_STREQ(ssm::state_name(ssm::SENSOR_UNAVAILABLE), "unknown");
  EXPECT_STREQ(ssm::state_name(static_cast<ssm::states_t>(11)), "unknown");
  EXPECT_STREQ(ssm::state_name(ssm::RELOAD_MISCONFIGURED), "RELOAD_MISCONFIGURED");
}

TEST_F(StoppedStateMachineTest, EveryStateAndEventFollowsTheTableWithItsArrivalAction) {
  const auto table = transitions();
  for (bool sign_in : {false, true}) {
    for (const auto& [start, path] : paths) {
      for (int ev = 0; ev <= NONE; ++ev) {
        const auto e = static_cast<events_t>(ev);
        SCOPED_TRACE(std::string(ssm::state_name(start)) + " + " + event_name(e) + (sign_in ? " (sign-in)" : ""));
        auto m = create(sign_in);
        for (events_t step : path) m->handle_incoming_event(step);
        ASSERT_EQ(state_of(*m), start);

        const actions done = deliver(*m, e);
        const auto it = table.find({start, e});
        const ssm::states_t expected = it == table.end() ? start : it->second;
        EXPECT_EQ(state_of(*m), expected);
        EXPECT_EQ(done.start_machine, expected == ssm::UNLOCKED);
        EXPECT_EQ(done.quit, expected == ssm::RELOAD_UNLOCKED);
        EXPECT_EQ(done.locked, sign_in && expected == ssm::ABSENT);
      }
    }
  }
  EXPECT_GT(capture_.count("[ssm] Incoming event in Locked state PROXIMITY_NEAR"), 0u);
}

TEST_F(StoppedStateMachineTest, AbsentWithSignInLocksOnEveryEventThatKeepsIt) {
  auto m = create(true);
  EXPECT_TRUE(deliver(*m, DISPLAY_OFF).locked);
  EXPECT_TRUE(deliver(*m, DISPLAY_OFF).locked);
  EXPECT_TRUE(deliver(*m, PROXIMITY_FAR).locked);
  EXPECT_EQ(capture_.count_containing("Locking screen because always_require_sign_in is set"), 3u);
  EXPECT_TRUE(capture_.contains("[ssm] [turn_off_display_and_lock] Enter"));
  // Locked lines carry their source location.
  EXPECT_EQ(capture_.count_containing("[ssm] [stopped_state_machine.cpp:"), 3u);
  const actions back = deliver(*m, DISPLAY_ON);
  EXPECT_TRUE(back.start_machine);
  EXPECT_FALSE(back.locked);

  // A disabled load never locks, also when it learnt so behind a lock.
  m = create(true);
  for (events_t e : {SESSION_LOCK, STOP_MISCONFIGURED, DISPLAY_OFF}) deliver(*m, e);
  const actions unlocked = deliver(*m, SESSION_UNLOCK);
  EXPECT_FALSE(unlocked.locked);
  EXPECT_FALSE(unlocked.start_machine);
  EXPECT_EQ(m->get_state_name(), "MISCONFIGURED");
}

TEST_F(StoppedStateMachineTest, ReloadIsHeldBackUntilTheUserIsBack) {
  auto m = create();
  deliver(*m, SESSION_LOCK);
  deliver(*m, DISPLAY_OFF);
  EXPECT_EQ(m->get_state_name(), "LOCKED_ABSENT");
  EXPECT_FALSE(deliver(*m, RELOAD).quit);
  EXPECT_EQ(m->get_state_name(), "RELOAD_LOCKED_ABSENT");
  EXPECT_FALSE(deliver(*m, DISPLAY_ON).quit);
  EXPECT_EQ(m->get_state_name(), "RELOAD_LOCKED");
  const actions unlocked = deliver(*m, SESSION_UNLOCK);
  EXPECT_TRUE(unlocked.quit);
  EXPECT_FALSE(unlocked.start_machine);
  EXPECT_EQ(m->get_state_name(), "RELOAD_UNLOCKED");
  EXPECT_TRUE(capture_.contains("[ssm] Adding QUIT from stopped state machine"));
  // Every later event asks again.
  for (events_t e : {SESSION_LOCK, PROXIMITY_NEAR, START_MACHINE}) {
    EXPECT_TRUE(deliver(*m, e).quit) << event_name(e);
    EXPECT_EQ(m->get_state_name(), "RELOAD_UNLOCKED");
  }
}

TEST_F(StoppedStateMachineTest, TheUserIsBackOnlyWithTheDisplayOnAndTheSessionLocal) {
  // Display off and a remote session that ends: the display is still off.
  auto m = create();
  deliver(*m, DISPLAY_OFF);
  EXPECT_FALSE(deliver(*m, NOT_REMOTE_DESKTOP).start_machine);
  EXPECT_EQ(m->get_state_name(), "ABSENT");
  // Both at once, ending in either order.
  EXPECT_FALSE(deliver(*m, REMOTE_DESKTOP).start_machine);
  EXPECT_FALSE(deliver(*m, DISPLAY_ON).start_machine);
  EXPECT_EQ(m->get_state_name(), "ABSENT");
  EXPECT_TRUE(deliver(*m, NOT_REMOTE_DESKTOP).start_machine);
  EXPECT_EQ(m->get_state_name(), "UNLOCKED");

  // The same behind a lock, and with a reload pending.
  m = create();
  for (events_t e : {SESSION_LOCK, REMOTE_DESKTOP, DISPLAY_OFF, DISPLAY_ON}) deliver(*m, e);
  EXPECT_EQ(m->get_state_name(), "LOCKED_ABSENT");
  deliver(*m, NOT_REMOTE_DESKTOP);
  EXPECT_EQ(m->get_state_name(), "LOCKED");
  m = create();
  for (events_t e : {DISPLAY_OFF, REMOTE_DESKTOP, RELOAD}) deliver(*m, e);
  EXPECT_FALSE(deliver(*m, NOT_REMOTE_DESKTOP).quit);
  EXPECT_EQ(m->get_state_name(), "RELOAD_ABSENT");
  EXPECT_TRUE(deliver(*m, DISPLAY_ON).quit);
}

TEST_F(StoppedStateMachineTest, OnlyAnUnlockedSessionLetsLeaveDetectionRun) {
  for (const auto& [state, path] : paths) {
    SCOPED_TRACE(ssm::state_name(state));
    auto m = create();
    for (events_t step : path) m->handle_incoming_event(step);
    EXPECT_EQ(m->allows_running_on(START_MACHINE), state == ssm::UNLOCKED);
    EXPECT_EQ(m->allows_running_on(HPD_SENSOR_AVAILABLE),
              state == ssm::UNLOCKED || state == ssm::SENSOR_UNAVAILABLE);
  }

  // A sensor lost while the session is locked is still missed after the
  // unlock, however the session came back: no START_MACHINE until it returns.
  for (const std::vector<events_t>& away : {std::vector<events_t>{SESSION_LOCK, HPD_SENSOR_UNAVAILABLE, SESSION_UNLOCK},
                                            std::vector<events_t>{HPD_SENSOR_UNAVAILABLE, DISPLAY_OFF, DISPLAY_ON}}) {
    auto m = create();
    actions last{};
    for (events_t e : away) last = deliver(*m, e);
    EXPECT_FALSE(last.start_machine);
    EXPECT_EQ(state_of(*m), ssm::SENSOR_UNAVAILABLE);
    EXPECT_FALSE(m->allows_running_on(START_MACHINE));
    EXPECT_TRUE(deliver(*m, HPD_SENSOR_AVAILABLE).start_machine);
    EXPECT_EQ(state_of(*m), ssm::UNLOCKED);
  }
  // One that came back while locked is remembered too.
  auto m = create();
  for (events_t e : {SESSION_LOCK, HPD_SENSOR_UNAVAILABLE, HPD_SENSOR_AVAILABLE}) deliver(*m, e);
  EXPECT_TRUE(deliver(*m, SESSION_UNLOCK).start_machine);
  EXPECT_EQ(state_of(*m), ssm::UNLOCKED);
}

TEST_F(StoppedStateMachineTest, UnrelatedEventsWhileUnlockedAskToRunAgain) {
  auto m = create();
  EXPECT_TRUE(deliver(*m, PROXIMITY_NEAR).start_machine);
  EXPECT_TRUE(deliver(*m, START_MACHINE).start_machine);
  EXPECT_FALSE(deliver(*m, SESSION_LOCK).start_machine);
}

TEST_F(StoppedStateMachineTest, GoneCollaboratorsAreLoggedAndTheStateChangesAnyway) {
  {
    std::weak_ptr<event_queue> no_queue;
    std::weak_ptr<device_interface> no_device;
    std::weak_ptr<engine_callback_interface> no_engine;
    sm_config c;
    c.always_require_sign_in = true;
    ssm m(c, no_device, no_queue, no_engine);
    m.handle_incoming_event(PROXIMITY_NEAR);  // UNLOCKED: START_MACHINE cannot be pushed
    m.handle_incoming_event(DISPLAY_OFF);     // ABSENT: cannot lock
    EXPECT_EQ(m.get_state_name(), "ABSENT");
    m.handle_incoming_event(SESSION_LOCK);
    m.handle_incoming_event(RELOAD);
    m.handle_incoming_event(SESSION_UNLOCK);  // RELOAD_ABSENT
    m.handle_incoming_event(DISPLAY_ON);      // RELOAD_UNLOCKED: QUIT cannot be pushed
    EXPECT_EQ(m.get_state_name(), "RELOAD_UNLOCKED");
  }
  EXPECT_TRUE(capture_.contains("[ssm] Unable to lock engine interface from stopped state machine"));
  EXPECT_TRUE(capture_.contains("[ssm] Unable to lock device interface for turn off display"));
  EXPECT_EQ(capture_.count("[ssm] Unabled to lock event queue when handling next state from ldsm"), 2u);

  auto empty = std::make_shared<engine_callback_interface>();
  { ssm m(sm_config{}, device_, queue_.queue, empty); }
  EXPECT_TRUE(capture_.contains("[ssm] Engine interface suspend callback is nullptr"));
  engine_.state_result = false;
  { auto m = create(); }
  EXPECT_TRUE(capture_.contains("[ssm] Could not suspend engine"));
  // The stopped machine reports a refusal as an error (the running one as info).
  EXPECT_EQ(capture_.level_of("[ssm] Could not suspend engine"), 2);
  EXPECT_EQ(capture_.level_of("[ssm] Unabled to lock event queue when handling next state from ldsm"), 2);
}

}  // namespace
}  // namespace ostrel
