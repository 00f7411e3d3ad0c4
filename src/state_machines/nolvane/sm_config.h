// The state machines' settings: read and checked by the top-level machine,
// copied by value into every sub-state machine when it is built.
#pragma once

#include <cstdint>

namespace ostrel {

struct sm_config {
  int64_t time_to_dim_ms = 0;    // entering USER_ABSENT until TIMEOUT_DIM_SCREEN
  int64_t dim_duration_ms = 0;   // entering DIMMING until the display-off action
  bool allow_leave_with_external_monitor = false;
  bool allow_hpd_with_display_required = false;
  bool always_require_sign_in = false;
  bool reset_os_idle_timer = false;
  bool allow_hpd_when_system_timer_disabled = false;
  bool force_sleep_after_display_off = false;
  bool force_lock_after_display_off = false;
};

}  // namespace ostrel
