// The sub-state machine of the top-level STOPPED state. The presence engine
// is suspended while it exists; it follows session, remote-desktop and
// display events until the user is back at an unlocked local session, then
// asks to run again (START_MACHINE). A reload is held back until then.
#pragma once

#include "device_interface.h"
#include "engine_callback_interface.h"
#include "events/event_queue.h"
#include "events/events.h"
#include "state_machines/nolvane/machine_links.h"
#include "state_machines/nolvane/sm_config.h"
#include "state_machines/nolvane/sub_state_machine_interface.h"

#include <cstdint>
#include <memory>
#include <string>

namespace ostrel {

class stopped_state_machine : public sub_state_machine_interface {
 public:
  enum states_t : uint8_t {
    LOCKED = 0,
    UNLOCKED = 1,
    MISCONFIGURED = 2,
    ABSENT = 3,
    LOCKED_ABSENT = 4,
    RELOAD_LOCKED = 5,
    RELOAD_ABSENT = 6,
    RELOAD_LOCKED_ABSENT = 7,
    RELOAD_UNLOCKED = 8,
    RELOAD_MISCONFIGURED = 9,
    SENSOR_UNAVAILABLE = 10,
  };
  // SENSOR_UNAVAILABLE, like any value above it, reads "unknown".
  static const char* state_name(states_t state);

  stopped_state_machine(const sm_config& config, std::weak_ptr<device_interface> device,
                        std::weak_ptr<event_queue> queue, std::weak_ptr<engine_callback_interface> engine);
  ~stopped_state_machine() override;
  stopped_state_machine(const stopped_state_machine&) = delete;
  stopped_state_machine& operator=(const stopped_state_machine&) = delete;

  bool is_active() const override { return true; }
  void handle_incoming_event(events_t event) override;
  std::string get_state_name() const override;
  float get_state_value() const override;

  // Whether the top level may start leave detection on `event` now: only
  // with the user back at an unlocked local session with the display on
  // (UNLOCKED), or, for a sensor that has come back, in SENSOR_UNAVAILABLE,
  // which only such a session reaches and keeps; never in a disabled load.
  bool allows_running_on(events_t event) const;

 private:
  // Keeps what the states alone cannot tell apart: why the session is away,
  // and whether the sensor is gone.
  void remember(events_t event);
  states_t next(states_t state, events_t event) const;
  void handle_state(states_t state);
  void suspend_engine();
  void turn_off_display_and_lock();

  const sm_config config_;
  const machine_links links_;
  states_t state_ = UNLOCKED;
  // The ABSENT states stand for a display that is off, a remote session, or
  // both; each comes back on its own event, and the user is back only when
  // neither holds.
  bool display_off_ = false;
  bool remote_ = false;
  // The sensor went away and has not come back; outlives a lock, so that the
  // user's return waits for the sensor instead of starting without it.
  bool sensor_unavailable_ = false;
  // The load is disabled; a lock, a dark display or a missing sensor may
  // have come first, so the unlocked session ends in MISCONFIGURED.
  bool misconfigured_ = false;
};

}  // namespace ostrel
