// os_timer_manager_windows: lets Windows turn the display off by shortening
// the video time-out of the AC and DC power policies to one second, and puts
// the user's values back afterwards.
#pragma once

#include "signals.h"

#include <cstdint>
#include <mutex>
#include <optional>

namespace ostrel {

class os_timer_manager_windows {
 public:
  // The time-out that makes the idle display go dark at once. A policy found
  // at this value is taken to be overridden by this service.
  static constexpr uint32_t override_seconds = 1;
  // Restored when no user value was stored ("AC: 5 min, DC: 3 min").
  static constexpr uint32_t default_ac_seconds = 300;
  static constexpr uint32_t default_dc_seconds = 180;

  os_timer_manager_windows();
  // Always attempts a reset, so a normal end never leaves a 1-second time-out.
  ~os_timer_manager_windows();
  os_timer_manager_windows(const os_timer_manager_windows&) = delete;
  os_timer_manager_windows& operator=(const os_timer_manager_windows&) = delete;

  // The video time-out (seconds) of the AC or DC policy.
  std::optional<uint32_t> get_os_video_timer(signal_tag tag);
  bool set_os_video_timer(signal_tag tag, uint32_t seconds);
  // Remembers both current time-outs unless they are already overridden.
  bool store_os_video_timers();
  bool turn_off_screen_with_os_timers();
  bool reset_os_video_timer(signal_tag tag);
  bool reset_os_video_timers();

 private:
  // The state-machine thread and the activity watcher call in at the same
  // time; each public operation holds this for its whole read-modify-write
  // (recursive: operations are built from one another).
  std::recursive_mutex mutex_;
  std::optional<uint32_t> stored_ac_;
  std::optional<uint32_t> stored_dc_;
};

}  // namespace ostrel
