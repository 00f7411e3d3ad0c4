// The event vocabulary: every stimulus reaches the state machines as one of
// these one-byte codes. The state machines, the engine and the device
// component each link this folder's library and none of each other's.
#pragma once

#include <cstdint>

namespace ostrel {

enum events_t : uint8_t {
  SESSION_LOCK = 0,
  SESSION_UNLOCK = 1,
  USER_IS_ACTIVE = 2,
  PROXIMITY_FAR = 3,
  PROXIMITY_NEAR = 4,
  PROXIMITY_INCONCLUSIVE = 5,
  TIMEOUT_ACTIVATE_SENSOR = 6,
  TIMEOUT_SUSPEND_SENSOR = 7,
  TIMEOUT_LOCK_SCREEN = 8,
  TIMEOUT_DIM_SCREEN = 9,
  TIMEOUT_ENGINE_ON = 10,
  TIMEOUT_DIMMING = 11,
  REMOTE_DESKTOP = 12,
  NOT_REMOTE_DESKTOP = 13,
  DISPLAY_OFF = 14,
  DISPLAY_ON = 15,
  DISPLAY_REQUIRED_TRUE = 16,
  DISPLAY_REQUIRED_FALSE = 17,
  NOISY_ENVIRONMENT = 18,
  NOT_NOISY_ENVIRONMENT = 19,
  STOP_SENSOR = 20,
  START_SENSOR = 21,
  START_MACHINE = 22,
  STOP_MISCONFIGURED = 23,
  USER_ACTIVITY_POLL_STOPPED = 24,
  QUIT = 25,
  RELOAD = 26,
  LOCK_REQUESTED = 27,
  ZERO_DATA = 28,
  OS_TIMERS_DISABLED = 29,
  EXTERNAL_DISPLAY = 30,
  SUSPEND_ENGINE = 31,
  HPD_SENSOR_AVAILABLE = 32,
  HPD_SENSOR_UNAVAILABLE = 33,
  NONE = 34,
};

// The enumerator's name; "unknown" above NONE.
const char* event_name(events_t event);

}  // namespace ostrel
