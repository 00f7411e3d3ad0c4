#include "events/events.h"

namespace ostrel {

const char* event_name(events_t event) {
  static const char* const names[] = {
      "SESSION_LOCK",          "SESSION_UNLOCK",         "USER_IS_ACTIVE",
      "PROXIMITY_FAR",         "PROXIMITY_NEAR",         "PROXIMITY_INCONCLUSIVE",
      "TIMEOUT_ACTIVATE_SENSOR", "TIMEOUT_SUSPEND_SENSOR", "TIMEOUT_LOCK_SCREEN",
      "TIMEOUT_DIM_SCREEN",    "TIMEOUT_ENGINE_ON",      "TIMEOUT_DIMMING",
      "REMOTE_DESKTOP",        "NOT_REMOTE_DESKTOP",     "DISPLAY_OFF",
      "DISPLAY_ON",            "DISPLAY_REQUIRED_TRUE",  "DISPLAY_REQUIRED_FALSE",
      "NOISY_ENVIRONMENT",     "NOT_NOISY_ENVIRONMENT",  "STOP_SENSOR",
      "START_SENSOR",          "START_MACHINE",          "STOP_MISCONFIGURED",
      "USER_ACTIVITY_POLL_STOPPED", "QUIT",              "RELOAD",
      "LOCK_REQUESTED",        "ZERO_DATA",              "OS_TIMERS_DISABLED",
      "EXTERNAL_DISPLAY",      "SUSPEND_ENGINE",         "HPD_SENSOR_AVAILABLE",
      "HPD_SENSOR_UNAVAILABLE", "NONE",
  };
  static_assert(sizeof(names) / sizeof(names[0]) == NONE + 1, "one name per event");
  return event <= NONE ? names[event] : "unknown";
}

}  // namespace ostrel
