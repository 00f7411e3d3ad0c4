// How long the user-activity watcher waits before it starts the next
// activity monitor. Any end of a monitor counts as activity, so a monitor
// that ends at once (GetLastInputInfo failing, the daemon missing, the
// process killed by security software) would otherwise be restarted, and
// reported as activity, in a tight loop.
#pragma once

#include <chrono>

namespace ostrel {

class activity_backoff {
 public:
  // A monitor that ends this soon after its start ended "at once".
  static constexpr std::chrono::milliseconds quick_end{200};
  // So many monitors in a row may end at once before the watcher waits.
  static constexpr int quick_ends_allowed = 3;
  // The wait doubles from the first up to the longest.
  static constexpr std::chrono::milliseconds first_wait{1000};
  static constexpr std::chrono::milliseconds longest_wait{30000};

  // Records a monitor that lived `lifetime`; answers how long to wait before
  // the next start (zero: start at once).
  std::chrono::milliseconds after_monitor(std::chrono::steady_clock::duration lifetime);

 private:
  int quick_ends_ = 0;
  std::chrono::milliseconds wait_{0};
};

}  // namespace ostrel
