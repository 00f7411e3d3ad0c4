#include "device/activity_backoff.h"

#include <algorithm>

namespace ostrel {

std::chrono::milliseconds activity_backoff::after_monitor(std::chrono::steady_clock::duration lifetime) {
  if (lifetime >= quick_end) {
    // A monitor that really watched: the daemon works again.
    quick_ends_ = 0;
    wait_ = std::chrono::milliseconds(0);
    return wait_;
  }
  if (++quick_ends_ < quick_ends_allowed) return std::chrono::milliseconds(0);
  wait_ = wait_.count() == 0 ? first_wait : std::min(wait_ * 2, longest_wait);
  return wait_;
}

}  // namespace ostrel
