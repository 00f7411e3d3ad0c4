// The dim overlay as the desktop journal shows it: a window of the overlay's
// class is up from its window_shown until it ends, whether the daemon
// destroys it or it goes with the daemon's process.
#pragma once

#include <winsim/machine.h>

#include <set>
#include <vector>

namespace nolvane_sim {

class overlay_watch {
 public:
  // The class the daemon registers for its overlay window.
  static constexpr const char* window_class = "KeltDimOverlayWindow";

  struct change {
    bool shown = false;  // false: gone
    int pid = 0;         // the process whose window it is
    unsigned long long time_us = 0;
  };

  // Follows the journal entries after those seen before; the overlay's
  // changes among them, in order.
  std::vector<change> update(const std::vector<winsim::machine::desktop_entry>& entries);
  bool shown() const { return !showing_.empty(); }

 private:
  std::set<int> showing_;  // processes whose overlay is up
};

}  // namespace nolvane_sim
